// Reduction stage: for function words with a full and a reduced
// pronunciation, writes "full" or "reduced" into the token's "lex" tag as
// "entry". The table ("TPOBJ_RRULES:DEFAULT", a string map) holds under
// "FIELDS" a comma-separated list of rule names; every other key is a word
// whose value has one character per field, 't' where that field's rule may
// apply. A word's fields are tried in order; the first rule that applies
// decides.
#pragma once

#include <cstdint>

#include "foundation/dystr.h"
#include "foundation/numarray.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"
#include "foundation/voidparray.h"

struct channel;
struct nrules;
struct tpdb;

struct reduction {
  const char* name;           // "reduction"
  channel* ch;                // borrowed
  int state;                  // 1 after new and reset, else the last call's final flag
  intarray* field_rules;      // per field of "FIELDS": its rule's index, -1 for none
  voidparray* output;         // the spurts of the last call
  dystr* module_log;          // only with module logging
  const hashstrarray* table;  // borrowed; NULL (no table, or no "FIELDS"): the stage passes spurts through
  const nrules* rules;        // "TPOBJ_NRULES:DEFAULT", borrowed
};

// The position rules, in table order: each takes the stage, a spurt and a
// token index, and gives 1 when it applies (having set the entry unless one
// was there).
using QLTP_rrule_fn = int (*)(reduction* stage, toxspurt* spurt, int index);
inline constexpr int QLTP_RRULE_COUNT = 8;
extern const char* const QLTP_RRULE_NAMES[QLTP_RRULE_COUNT];
extern const QLTP_rrule_fn QLTP_RRULES[QLTP_RRULE_COUNT];

int QLTP_rrule_mono_full(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_pre_red_full(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_reduce_start(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_reduce_mid(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_full_start(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_full_end(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_full_before_vowel(reduction* stage, toxspurt* spurt, int index);
int QLTP_rrule_it_reduce_numbers(reduction* stage, toxspurt* spurt, int index);

// Create, reset, free. reset_tpdb fetches the table and reads its fields.
reduction* QLTP_reduction_new(channel* ch);
void QLTP_reduction_reset(reduction* stage);
void QLTP_reduction_reset_tpdb(reduction* stage, channel* ch);
void QLTP_reduction_delete(reduction* stage);

// Sets the entries of the tokens of a stream of spurts in place and returns
// the spurts (the input array itself when the stage is off).
voidparray* QLTP_reduction_process(reduction* stage, voidparray* spurts, int final);

// Registry operations of TPOBJ_RRULES (a string map).
void* QLTP_tpobj_rrules_load(tpdb* db, int32_t offset);
int QLTP_tpobj_rrules_pstload(tpdb* db, void* object);
void QLTP_tpobj_rrules_delete(void* object);
int32_t QLTP_tpobj_rrules_write(void* object, char* destination, int swap);
