// Part-of-speech data: the POS dictionary ("TPOBJ_POSTAGS:DEFAULT" and
// "TPOBJ_POSTAGS:PRENORM") gives a word its tag from affix rules, the word
// itself or a context key around it; the POS-set map ("TPOBJ_POSSETS:...",
// a string map) gives a tag its POS set.
//
// Context keys, written with escaped parts ('#', '&', ':', '_' and '|' as
// "&#35;", "&amp;", "&#58;", "&#95;", "&#124;"):
//   «<previous tag>_<word>»  «<word>_[<next tag>]»  «(<previous word>)_<word>»
//   «<word>_(<next word>)»   «<previous tag>_<word>_[<next tag>]»
//
// Stored form, after the object's size word: default tag (length byte and
// bytes), affix patterns and affix tags (packed string arrays: int32 byte
// length, records), keys (compact dictionary), tag strings (int32 count,
// int32 byte total, NUL-terminated strings).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/numarray.h"
#include "foundation/strarray.h"
#include "foundation/strmap.h"
#include "foundation/voidparray.h"

struct channel;
struct normalise;
struct tpdb;
struct QLTP_fixedbuf;

// Affix pattern i is a kind letter ('W' whole word, 'P' prefix, 'S' suffix)
// and the affix; affix tag i is its tag. Key id k owns tag string k - 1.
struct pos {
  char* default_tag;
  dystrarray* affix_patterns;
  dystrarray* affix_tags;
  dict* keys;
  strarray* tags;
  dystr* scratch;
  int32_t context_keys;  // keys holding '_': none means no context key can match
};

// Create and free
pos* QLTP_pos_new();
void QLTP_pos_delete(pos* dictionary);

// Text form: sections separated by empty and '#' lines: 0 the default tag
// (field 1), 1 affix rules «<kind> <affix> <tag>», 2 not read, 3 entries
// «<word> N:TAGS|FORM ...» where FORM is N '_'-separated parts and "X"
// stands for the word. A bad item is reported on standard error and
// skipped; a key given again takes the later tag string.
pos* QLTP_deserialise_pos(const char* text);
pos* QLTP_postags_readtxt(const char* path);

// The word alone (mode 0) takes the default tag, then that of the first
// matching affix rule, then that of its own key: the word as written, or
// failing that its escaped form (the form a text file gives such keys).
//
// Lookups that work on a word and its left tag: getpos gives the tag of the
// word alone through out and returns the tag of «<previous tag>_<word>»
// when that key is there, else the same tag. regexpostagger_match returns
// the tag of the first pattern the word matches (kind 2 whole word, 0
// prefix, 1 suffix shorter than the word), else "".
const char* QLTP_pos_getpos(dystr* scratch, const pos* dictionary, const char* previous_tag, const char* word,
                            const char** out);
const char* QLTP_regexpostagger_match(const char* word, const strarray* patterns, const intarray* kinds,
                                      const strarray* tags);

// Stored form. The reader refuses (NULL) a dictionary without one tag per
// affix pattern and one tag string per key; the QLTPPy_ forms read and write
// files of the host's byte order.
pos* QLTP_pos_read(FILE* file, int swap);
pos* QLTPPy_pos_load(const char* path);
int QLTPPy_postags_write(const pos* dictionary, QLTP_fixedbuf* buffer);

// Registry operations of TPOBJ_POSTAGS and TPOBJ_POSSETS. The writers give
// the byte size without a destination (0 for a dictionary with no stored
// form: a default tag over 255 bytes or a key over 254), else write and give 1.
void* QLTP_tpobj_postags_load(tpdb* db, int32_t offset);
int QLTP_tpobj_postags_pstload(tpdb* db, void* object);
void QLTP_tpobj_postags_delete(void* object);
int32_t QLTP_tpobj_postags_write(void* object, char* destination, int swap);
void* QLTP_tpobj_possets_load(tpdb* db, int32_t offset);
int QLTP_tpobj_possets_pstload(tpdb* db, void* object);
void QLTP_tpobj_possets_delete(void* object);
int32_t QLTP_tpobj_possets_write(void* object, char* destination, int swap);

// Tagging context: the window around one token. Words and tags are borrowed;
// outside the stream the word and tag are "^" before the first token and
// "$" after the last. loaded is the index loaded, -1 for none.
struct pos_ctxt {
  int loaded;
  const char* previous_word;
  const char* word;
  const char* next_word;
  const char* previous_tag;
  const char* tag;
  const char* next_tag;
};

void QLTP_pos_init_ctxt(pos_ctxt* context);
// Fills the window around token `index` of the tokens: words from the token
// text (use_token_text) or the normalised text, tags from tags[i].
void QLTP_pos_load_ctxt(pos_ctxt* context, const voidparray* tokens, const std::vector<std::string>& tags,
                        int use_token_text, int index);
// The tag of the context's word in one mode (0 the word alone; 1 to 5 the
// context keys above; above 5 the current tag), also stored as the
// context's tag; scratch holds it. NULL words and tags read as "". With a
// normaliser that has a rule set (the pre-normalisation pass) the word is
// first mapped: characters through the lookup table "utfpunc2ascii", then
// capture group 2 of the expression "punc_strip" when it matches.
const char* QLTP_pos_getpos_ctxt(dystr* scratch, const normalise* normaliser, const pos* dictionary,
                                 pos_ctxt* context, int mode);

// POS tagger stage: tags every token ("pos" of a given "lex" tag stays) in
// iterations + 1 passes of modes 0, 1, ... over the pending tokens, then
// sets the token's POS to «<tag>_<POS set>» ("3" without a set). A call that
// is not final holds its last token back for its right context.
struct postagger {
  const char* name;  // "postagger"
  channel* ch;       // borrowed
  int state;         // 1 after new and reset, else the last call's final flag
  dystr* scratch;
  std::vector<std::string> tags;  // of the pending tokens
  std::vector<char> to_tag;       // of the pending tokens
  voidparray* pending;
  voidparray* output;
  dystr* module_log;  // only with module logging
  const pos* dictionary;  // borrowed from the database, as the three below
  const hashstrarray* possets;
  const pos* prenorm_dictionary;
  const hashstrarray* prenorm_possets;
  int iterations;
};

// Create ("iterations" of section "postagger", 2 when absent), reset, free
postagger* QLTP_postagger_new(channel* ch);
void QLTP_postagger_reset(postagger* tagger);
void QLTP_postagger_reset_tpdb(postagger* tagger, channel* ch);
void QLTP_postagger_delete(postagger* tagger);

// The main pass over normalised tokens, and the pre-normalisation pass over
// the token text (the PRENORM objects, the normaliser's rule set for the
// character mapping); each returns the tokens handed on.
voidparray* QLTP_postagger_process(postagger* tagger, voidparray* tokens, int final);
voidparray* QLTP_postagger_process_prenorm(postagger* tagger, const normalise* normaliser, voidparray* tokens,
                                           int final);
// The POS set of a tag from the main pass's map, "" when there is none.
const char* QLTP_postagger_posset(const postagger* tagger, const char* tag);
