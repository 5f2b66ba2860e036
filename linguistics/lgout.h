// lg text output: writes spurts as key-and-value lines describing sentences,
// their phrases, words and syllables, with phones and POS tags mapped to
// numeric codes through the database's LG maps (as the per-spurt output
// does). Spurts are collected until a sentence ends (a break of type 4) or a
// sentence limit would be passed; then the whole sentence is written. No
// channel type creates this stage: the caller drives it, e.g. from the
// phrase callback. A spurt ending in a sentence break is written at once,
// also when it is the first of a sentence begun by a limit.
//
// The limits (section "lgout") are decimal text read as atoi reads it: "0"
// or text that is no number gives 0, which cuts everything, with a report.
//
// The stage keeps copies of what it writes of pending spurts, since the
// channel releases its spurts after every pass.
#pragma once

#include "foundation/dystr.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"

struct channel;
struct lgout_sentence;

struct lgout {
    const char* name;               // "lgout"
    channel* ch;                    // borrowed
    int state;                      // 1 after new and reset, else the last call's final flag
    dystr* output;                  // the sentences written by the last call
    lgout_sentence* pending;        // copies of the spurts of the unfinished sentence
    dystr* scratch;
    int words;                      // running counts of the pending sentence
    int syls;
    int phrases;
    int sentence;                   // sentences written since the last reset
    const hashstrarray* phone_map;  // borrowed from the database, may be NULL
    const hashstrarray* pos_map;
    // Limits, section "lgout" of the channel's settings.
    int max_phone_word;
    int max_chars_word;
    int max_pos_word;
    int max_phrase_sentence;
    int max_word_sentence;
    int max_syllable_sentence;
};

// Create, reset, free
lgout* QLTP_lgout_new(channel* ch);
void QLTP_lgout_reset(lgout* stage);
void QLTP_lgout_delete(lgout* stage);

// Collects the spurts and gives the sentences completed during this call
// (valid until the next call). A final call does not write an unfinished
// sentence.
const char* QLTP_lgout_process(lgout* stage, const toxspstream* spurts, int final);
