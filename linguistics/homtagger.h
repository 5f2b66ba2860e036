// Homograph tagger: picks the lexicon entry of words whose pronunciation
// depends on context from a table of context keys ("TPOBJ_HOMTAGS:DEFAULT",
// a string map), writing it into the token's "lex" tag as "entry". A choice
// may also join the word with its neighbours (token feature 7) and cut its
// normalised text into several tokens.
//
// Keys, tried for a token whose "[norm]" is in the table (POS up to its first
// '_'): «[norm]<next word>», «<previous word>[norm]», «[norm]<next POS>»,
// «<previous POS>[norm]», «[norm<POS>]», then «[norm]» itself.
// Choice: ["+"] entry ["+"] [","p1[","p2...]]: '+' in front joins with the
// previous word, '+' behind with the next; p1 < p2 < ... (at most 9) are
// character positions inside the normalised text where it is cut.
#pragma once

#include <cstdint>

#include "foundation/dystr.h"
#include "foundation/strmap.h"
#include "foundation/voidparray.h"

struct channel;
struct tpdb;

inline constexpr int QLTP_HOMTAGGER_MAX_SPLITS = 9;
inline constexpr int QLTP_HOMTAGGER_CONTEXT = 32;

struct homtagger {
  const char* name;  // "homtagger"
  channel* ch;       // borrowed
  int state;         // 1 after new and reset, else the last call's final flag
  char previous_pos[QLTP_HOMTAGGER_CONTEXT];
  char previous_word[QLTP_HOMTAGGER_CONTEXT];
  int split_count;
  int splits[QLTP_HOMTAGGER_MAX_SPLITS];
  dystr* scratch;
  voidparray* output;        // the spurts of the last call
  dystr* module_log;         // only with module logging
  const hashstrarray* table; // borrowed from the database; NULL: the stage passes spurts through
};

// Create, reset, free
homtagger* QLTP_homtagger_new(channel* ch);
void QLTP_homtagger_reset(homtagger* stage);
void QLTP_homtagger_reset_tpdb(homtagger* stage, channel* ch);
void QLTP_homtagger_delete(homtagger* stage);

// Tags the tokens of a stream of spurts in place and returns the spurts
// (the input array itself when there is no table).
voidparray* QLTP_homtagger_process(homtagger* stage, voidparray* spurts, int final);

// Registry operations of TPOBJ_HOMTAGS (a string map).
void* QLTP_tpobj_homtags_load(tpdb* db, int32_t offset);
int QLTP_tpobj_homtags_pstload(tpdb* db, void* object);
void QLTP_tpobj_homtags_delete(void* object);
int32_t QLTP_tpobj_homtags_write(void* object, char* destination, int swap);
