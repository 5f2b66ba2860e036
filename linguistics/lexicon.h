#pragma once
// Lexicons: a headword maps to one or more entries, each a line of
// whitespace-separated fields, the first the pronunciation, the others tags.
// A tag "entry_<type>" gives the entry's type ("full", "reduced" ...); an
// entry without one matches every type.
//
// Plain lexicons (`lexhash`) are read from text: database objects
// "TPOBJ_LEXHASH:<NAME>" or custom files. Compressed lexicons are compressed
// lookup tables (`complkp`), database objects "TPOBJ_LEXCOMP:<NAME>".
// Text lines of any length are read whole.
//
// Lookups go through a `complkp_lkp` cursor. For a plain lexicon its position
// holds the headword id of the search (-1 none) and `entry` the number of the
// headword's entries given so far; for a compressed one the position is the
// scan position. Either way `value` is the current entry and `word` the
// cursor's own copy of the search word, so that an empty word continues the
// search whatever became of the caller's string.

#include <cstdint>
#include <cstdio>

#include "foundation/complkp.h"

struct dict;
struct voidparray;

struct lexhash {
  dict* headwords;       // headword -> 1-based id, in order of first appearance
  voidparray* entries;   // element id - 1: the headword's dystrarray of entries
};

// Create and free
lexhash* QLTP_lexhash_new(int n);
void QLTP_lexhash_delete(lexhash* lex);

// Read. loadline: 1 for an added, empty or comment line, 0 for a line
// without an entry. loadcustom reads a file from its current position up to
// the byte limit (-1: to its end); deserialise reads database text, whose
// first line is skipped.
int QLTP_lexhash_loadline(lexhash* lex, const char* line, int len);
lexhash* QLTP_lexhash_loadcustom(FILE* file, int32_t limit);
lexhash* QLTP_deserialise_lexhash(const char* text);

// Plain lookups: a non-empty word starts a search, an empty or absent word
// continues the cursor's with the next entry (of the type, when one is
// given). Typed lookups with a cursor compare the type exactly;
// QLTP_lexhash_lookup gives the first entry whose type equals as many first
// characters of the requested type.
const char* QLTP_lexhashlkp_lookup(const lexhash* lex, complkp_lkp* cursor, const char* word, const char* type);
const char* QLTP_lexhash_lookup(const lexhash* lex, const char* word, const char* type);
const char* QLTP_lexhash_longestword_lookup(const lexhash* lex, const char* word, int* len);

// Compressed lookups.
const char* QLTP_lexcomp_lookup(const complkp* table, complkp_lkp* cursor, const char* word, const char* type);
const char* QLTP_lexcomp_longestword_lookup(const complkp* table, complkp_lkp* cursor, const char* word,
                                            int* len);

// Entries: the length of the first field, and whether the entry matches a
// type (none matches everything; `prefix` compares only the entry type's
// length of characters).
int QLTP_lexentry_pronlen(const char* entry);
int QLTP_lexentry_has_type(const char* entry, const char* type, int prefix);

// Resets a cursor between lexicons: no search, no current entry.
void QLTP_lexicon_reset_cursor(complkp_lkp* cursor);
