#pragma once
// Maximum-onset syllabification and the syllabify stage. The data holds the
// voice's legal onsets and nuclei as dictionaries of keys: phone names joined
// by '_' (nucleus phones with their stress digits when the stress flag is
// set), with "_SB" appended when a given syllable break lies inside the
// window, else "_WB" when a word boundary does. The stage syllabifies each
// spurt's phonemes, writes every word's "lex" "spron", plays the slang games
// and counts words and syllables per spurt and utterance.

#include <cstdint>
#include <cstdio>

struct channel;
struct dict;
struct dystr;
struct phonearray;
struct tpdb;
struct voidparray;
struct QLTP_fixedbuf;

// Stored form: int32 stress flag, max onset, max nucleus, then the onset and
// the nucleus dictionaries.
struct maxonset {
    int32_t stress;
    int32_t max_onset;
    dict* onsets;
    int32_t max_nucleus;
    dict* nuclei;
};

// Create and free
maxonset* QLTP_maxonset_new();
void QLTP_maxonset_delete(maxonset* data);

// Text form: one key a line, "N_<key>" for a nucleus, '#' comment lines; a
// bare "N_" line (a nucleus without a key) is skipped. readtxt prints
// "Can't open file: <path>" and gives NULL when it cannot read.
maxonset* QLTP_deserialise_maxonset(const char* text);
maxonset* QLTP_maxonset_readtxt(const char* path);

// Stored form. The readers give NULL for bytes a writer did not produce.
// The writer gives the size without a destination, sizes a destination
// without a buffer, and gives 0 (writing nothing) for a buffer too small.
maxonset* QLTP_maxonset_load(FILE* file, int swap);
maxonset* QLTPPy_maxonset_load(const char* path);
int QLTPPy_maxonset_write(const maxonset* data, QLTP_fixedbuf* destination);

// Database kind TPOBJ_SYLMAX
void* QLTP_tpobj_sylmax_load(tpdb* db, int32_t offset);
int QLTP_tpobj_sylmax_pstload(tpdb* db, void* object);
void QLTP_tpobj_sylmax_delete(void* object);
int32_t QLTP_tpobj_sylmax_write(void* object, char* destination, int swap);

// Marks roles (1 nucleus, 2 onset), syllable ends and role changes in the
// array; 0 (nothing marked) without data, else 1. `scratch` (may be NULL)
// receives the last key tried.
int QLTP_maxonset_syllabify(const maxonset* data, dystr* scratch, phonearray* phones);

// The stage
struct syllabify {
    const char* name;
    channel* ch;
    int state;
    dystr* spare;
    dystr* spron;
    voidparray* input;
    voidparray* output;
    const char* accent;
    const char* slang;
    const maxonset* data;
    phonearray* phones;
    dystr* trace;
};

syllabify* QLTP_syllabify_new(channel* ch);
void QLTP_syllabify_reset(syllabify* stage);
void QLTP_syllabify_reset_tpdb(syllabify* stage, channel* ch);
void QLTP_syllabify_delete(syllabify* stage);
// Takes an array of toxspurt* and gives the stage's own output array.
voidparray* QLTP_syllabify_process(syllabify* stage, voidparray* spurts, int final);
