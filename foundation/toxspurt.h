#pragma once
// Spurts, the token pool and token streams. Tokens travel between stages in a
// toxstream until the phrasing stage groups them into toxspurts, one per
// phrase. Every spurt, token and tag of a channel comes from one toxpool,
// which recycles objects instead of freeing them: an object is free exactly
// when its parent is NULL, and whoever takes one sets its parent before
// taking the next object of that kind.

#include <cstdint>

#include "foundation/dystr.h"
#include "foundation/toxtoken.h"
#include "foundation/voidparray.h"

struct toxspurt {
    void* parent;             // owner; NULL = free
    int id;
    char* jobid;              // borrowed from the channel
    int words;
    int syls;
    int phrases;              // 0 = unphrased
    int phrase;
    int utt_words;
    int utt_syls;
    int pre_syls;
    int pre_words;
    int pst_syls;
    int pst_words;
    int last;
    voidparray* tokens;       // toxtoken*; token 0 is the leading pause token
    toxpool* home;
    int slot;                 // index among the home pool's spurts
};

// One kind of pooled object: the objects, the cursor of the next hand-out,
// and how many were released (made free by the library) since the last
// search that found nothing free, so that a growing pool does not search.
// Once a search has found nothing free, the only objects that can be free
// are the ones released or handed out since: those are kept in `suspects`,
// and later searches look at them alone rather than at the whole pool.
struct toxpool_kind {
    voidparray* objects;
    int cursor;
    uint64_t releases;
    uint64_t releases_at_full;
    int full;
    int used;                 // objects past this index are free since the last clear
    voidparray* suspects;     // objects that may be free while full is set
    int found_suspect;        // the last search found a suspect free
};

struct toxpool {
    toxpool_kind spurts;
    toxpool_kind tokens;
    toxpool_kind tags;
};

using toxstream = voidparray;
using toxspstream = voidparray;

// Spurts
toxspurt* QLTP_toxspurt_new();
void QLTP_toxspurt_delete(toxspurt* spurt);
void QLTP_toxspurt_clear(toxspurt* spurt);
void QLTP_toxspurt_setparent(toxspurt* spurt, void* parent);
void QLTP_toxspurt_setid(toxspurt* spurt, int id);
void QLTP_toxspurt_set_jobid(toxspurt* spurt, char* jobid);
int QLTP_toxspurt_getid(const toxspurt* spurt);
char* QLTP_toxspurt_get_jobid(const toxspurt* spurt);
voidparray* QLTP_toxspurt_tokens(const toxspurt* spurt);
int QLTP_toxspurt_add(toxspurt* spurt, toxtoken* token);
inline toxspurt* QLTP_toxspurt_cast(void* p) { return static_cast<toxspurt*>(p); }

// Pool: create, free, hand out, clear. A hand-out never returns an owned
// object; what it returns is cleared. NULL only for a kind created empty.
toxpool* QLTP_toxpool_new(int spurts, int tokens, int tags);
void QLTP_toxpool_delete(toxpool* pool);
toxspurt* QLTP_toxpool_spurt(toxpool* pool);
toxtoken* QLTP_toxpool_token(toxpool* pool);
toxtag* QLTP_toxpool_tag(toxpool* pool);
void QLTP_toxpool_clear(toxpool* pool);
// Bookkeeping of the release paths: an object of the pool became free.
void QLTP_toxpool_released(toxpool* pool, toxpool_kind toxpool::*kind, void* object);

// Streams of tokens
int QLTP_toxstream_print(const toxstream* stream, dystr* out);
int QLTP_toxstream_printf(const toxstream* stream);
int QLTP_toxstream_last_realtk(const toxstream* stream);
toxtoken* QLTP_toxstream_next_realtk(const toxstream* stream, int i);
int QLTP_toxstream_next_realtkidx(const toxstream* stream, int i);
toxtoken* QLTP_toxstream_prev_realtk(const toxstream* stream, int i);
int QLTP_toxstream_release_tox(toxstream* stream);

// Spurt XML: clears out and writes the spurt as one <spurt> element (pause,
// speech, pause); nothing for a spurt without tokens. Text and attribute
// values are escaped, so the fragment is well-formed for any token text.
int QLTP_toxspurt_xml(toxspurt* spurt, dystr* out);

// Streams of spurts
int QLTP_toxspstream_print(const toxspstream* spstream, dystr* out);
int QLTP_toxspstream_printf(const toxspstream* spstream);
int QLTP_toxspstream_release_tox(toxspstream* spstream);
// A stage's pass over a stream of spurts: clears output, then hands each
// spurt (NULLs skipped) to each(spurt) and adds it to output. An exception
// (running out of memory) ends the pass early; the spurts handed on keep
// what was done to them so far.
template <typename Each>
void QLTP_toxspstream_each(const toxspstream* spstream, voidparray* output, Each&& each) {
  QLTP_voidparray_clear(output);
  try {
    for (int i = 0, n = QLTP_voidparray_sz(spstream); i < n; ++i) {
      auto* spurt = static_cast<toxspurt*>(QLTP_voidparray_idx(spstream, i));
      if (!spurt) continue;
      each(spurt);
      QLTP_voidparray_add(output, spurt);
    }
  } catch (...) {
  }
}
