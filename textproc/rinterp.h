// Rule interpreter: applies the rules of a rule set to one token of the
// normaliser's buffer, seen through a window of neighbouring slots.
//
// What the interpreter borrows from its normaliser comes as a context that
// the normaliser (or a test) fills: the token pool, the scratch string, the
// rule set and, for lexicon tests, a lexicon manager and its lookup state.
#pragma once

#include <cstdint>

#include "foundation/array.h"
#include "foundation/regex.h"

struct dystr;
struct intarray;
struct logger;
struct nrules;
struct voidparray;
struct toxpool;
struct toxtoken;
struct lexmgr;
struct nrule;
using dystrarray = array;

struct rinterp_context {
  toxpool* pool;
  dystr* scratch;
  nrules* rules;
  lexmgr* lexicons;  // NULL: lexicon tests fail
  void* lexlookup;
  // Whether `word` is in the lexicon named `lexicon`; given with the lexicons
  // by the layer that holds them.
  int (*lexicon_test)(lexmgr* lexicons, void* lexlookup, const char* lexicon, const char* word);
};

struct rinterp {
  rinterp_context* ctx;  // borrowed
  int32_t maxcomp;       // number of component outputs
  int32_t winsz;         // maxpos - minpos + 1
  int32_t current;       // -minpos: the slot of the token the rules apply to
  voidparray* outputs;   // maxcomp dystrarray*
  voidparray* window;    // winsz token pointers, NULL where there is none
  intarray* marks;       // -1, or the component that last wrote the slot
  dystrarray* attributes;
  int32_t ovector[QLTP_REGEX_OVECSIZE];
  nrules* rules;         // borrowed, set by QLTP_rinterp_apply_rules
  logger* log;           // borrowed
  dystr* trace;          // only while tracing
  int32_t failed;
  int32_t ncomp;         // -1 before a rule's first component
  int32_t handover;      // a "variant" hand-over is running
  void* compiled;        // match halves read once per rule set, owned
};

// Relative prosody values are mapped through a range record.
struct rinterp_range {
  float in_low = 0, in_high = 1, out_low = 0, out_high = 1;
};

// Create, free, clear the per-rule state
rinterp* QLTP_rinterp_new(rinterp_context* ctx, int maxcomp, int minpos, int maxpos, int tracing,
                          logger* log);
void QLTP_rinterp_delete(rinterp* interp);
void QLTP_rinterp_clear(rinterp* interp);

// Rules. The caller fills the window (slot j: the token at relative
// position j - current, or NULL) before applying a group (voidparray of
// nrule*): the first rule whose match half holds has its replace half run.
// Each gives 1 when the rule matched (replace: when it ran), else 0.
int QLTP_rinterp_apply_rules(rinterp* interp, nrules* rules, const voidparray* group);
int QLTP_nrule_apply_match(rinterp* interp, const nrule* rule);
int QLTP_nrule_apply_replace(rinterp* interp, const nrule* rule);

// Tracing, logged to the interpreter's logger while on.
void QLTP_rinterp_set_tracing(rinterp* interp, int on);
void QLTP_rinterp_trace_rule(rinterp* interp, const char* name, const char* type);
void QLTP_rinterp_trace_com_match(rinterp* interp, const char* spec, const char* text, const dystrarray* output);
void QLTP_rinterp_trace_com_replace(rinterp* interp, const char* spec, const char* text, const dystrarray* output,
                                    const toxtoken* token);

// Relative values ("+10%", "200Hz", "6dB", "-2st", "50"): writes the
// converted form into buf (bufsz bytes, NUL-terminated) and returns its
// length.
int QLTP_rinterp_convert_relative(const char* text, const rinterp_range* range, char* buf, int bufsz);
