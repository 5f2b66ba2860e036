// Phrase-break data: the break table ("TPOBJ_PBREAK:DEFAULT") maps a key
// (punctuation, a strength name such as "strong", or "DEFAULT", "FORCED",
// "\n") to a break level and a break time in milliseconds, once for the key
// standing after a word (post) and once before the next word (pre); the
// pair-weight table ("TPOBJ_PRULES:DEFAULT") maps «<left>_<right>» to a
// weight times 1000.
//
// Stored forms, after the object's size word: break table = keys (compact
// dictionary), time_pre, time_post, level_pre, level_post (int32 count and
// values each); pair weights = keys, weights.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/dict.h"
#include "foundation/numarray.h"

struct tpdb;
struct QLTP_fixedbuf;

// The four columns are indexed by key id - 1 and hold one value per key.
struct pbreak {
  dict* keys;
  intarray* level_pre;
  intarray* level_post;
  intarray* time_pre;
  intarray* time_post;
  int32_t longest;  // bytes of the longest key: no longer substring can match
};

struct prules {
  dict* keys;
  intarray* weights;
};

// Break table: create, copy (always writable, even of a stored table) and free
pbreak* QLTP_pbreak_new(int hint);
pbreak* QLTP_pbreak_copy(const pbreak* table);
void QLTP_pbreak_delete(pbreak* table);

// Break table from text: lines «<key> <level_post> <time_post> <level_pre>
// <time_pre>», times in seconds with up to 3 decimals; '#' lines, lines under
// 2 bytes and lines with fewer than five fields are skipped. "newline" and
// "newlineX2" also set "\n" and "\n\n". add_rules merges a file into a table
// (a new one when NULL) and returns the table; a key a stored table cannot
// take is skipped.
pbreak* QLTP_pbreak_readtxt(const char* path);
pbreak* QLTP_deserialise_pbreak(const char* text);
pbreak* QLTP_pbreak_add_rules(pbreak* table, const char* path);

// Pair-weight table: create, read from text («<key> <weight>» lines; a key
// given again replaces its weight), free
prules* QLTP_prules_new(int hint);
prules* QLTP_prules_readtxt(const char* path);
prules* QLTP_deserialise_prules(const char* text);
void QLTP_prules_delete(prules* table);

// Lookups. get_break: outputs start as level and time and rise to the key's
// pre (pre != 0) or post values; 1 when the key is there. punc_break: the
// maxima over every substring of the pre-punctuation (pre columns) and the
// post-punctuation (post columns); 1 when any key matched. get_prule: the
// weight of a pair key, 0 when absent.
int QLTP_prules_get_break(const pbreak* table, const char* key, int len, int pre, int32_t level, int32_t time,
                          int32_t* level_out, int32_t* time_out);
int QLTP_prules_punc_break(const pbreak* table, const char* post, const char* pre, int32_t* level, int32_t* time);
int32_t QLTP_prules_get_prule(const prules* table, const char* key);

// Stored forms. The readers refuse (NULL) a table whose columns do not hold
// one value per key; the QLTPPy_ forms read and write files of the host's
// byte order.
pbreak* QLTP_pbreak_load(FILE* file, int swap);
prules* QLTP_prules_load(FILE* file, int swap);
pbreak* QLTPPy_pbreak_load(const char* path);
prules* QLTPPy_prules_load(const char* path);
int QLTPPy_pbreak_write(const pbreak* table, QLTP_fixedbuf* buffer);
int QLTPPy_prules_write(const prules* table, QLTP_fixedbuf* buffer);

// Registry operations of TPOBJ_PBREAK and TPOBJ_PRULES. The writers give the
// byte size without a destination (0 when a key is too long to store), else
// write and give 1.
void* QLTP_tpobj_pbreak_load(tpdb* db, int32_t offset);
int QLTP_tpobj_pbreak_pstload(tpdb* db, void* object);
void QLTP_tpobj_pbreak_delete(void* object);
int32_t QLTP_tpobj_pbreak_write(void* object, char* destination, int swap);
void* QLTP_tpobj_prules_load(tpdb* db, int32_t offset);
int QLTP_tpobj_prules_pstload(tpdb* db, void* object);
void QLTP_tpobj_prules_delete(void* object);
int32_t QLTP_tpobj_prules_write(void* object, char* destination, int swap);
