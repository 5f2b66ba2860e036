#pragma once
// Pronunciation stage: gives every word token of a spurt its qrln phonemes
// (the "phonemes" attribute of its "lex" tag, phones separated by blanks,
// vowels with stress digits) from a given pronunciation (converted from
// another alphabet when needed), the channel's lexicons, spelling letter by
// letter, or the letter-to-sound models; Japanese tokens also get their
// accent type and mora count.

#include "foundation/voidparray.h"

struct channel;
struct ccart;
struct complkp_lkp;
struct dystr;
struct lexmgr;
struct logger;
struct ltsmgr;
struct nrules;
struct phoneset;
struct pls;

struct pronounce {
    const char* name;  // "pronounce"
    channel* ch;       // borrowed
    int state;         // final flag of the last call
    logger* log;       // the channel's
    phoneset* ipa;     // own; NULL when the database has none that loads
    pls* reader;       // own, holding the phone set; NULL without one
    dystr* scratch;
    dystr* word;
    dystr* letter;
    voidparray* output;  // the spurts of the last call
    voidparray* spare;
    dystr* work1;        // lent to the letter-to-sound models
    dystr* work2;
    lexmgr* lexicons;    // the channel's
    ltsmgr* lts;         // the channel's, or NULL
    ccart* default_trees;  // the database's, used without a letter-to-sound manager
    complkp_lkp* cursor;
    dystr* trace;        // only while the logger writes module traces
    nrules* rules;       // the database's
    int novowel_spell;
    char* slang;
    const char* language;  // the database header's
};

// Create, reset, free
pronounce* QLTP_pronounce_new(channel* ch);
void QLTP_pronounce_reset(pronounce* stage, channel* ch);
void QLTP_pronounce_reset_tpdb(pronounce* stage, channel* ch);
void QLTP_pronounce_delete(pronounce* stage);

// Processing: every spurt of the input, changed in place, in the output array
voidparray* QLTP_pronounce_process(pronounce* stage, voidparray* spurts, int final);

// The stage's phone set, and a PLS document added to the channel's lexicons
// under a name at a position (-1: at the end); NULL or 0 when a piece is
// missing or the document does not load.
phoneset* QLTP_tpc_get_ipa(channel* ch);
int QLTP_tpc_add_pls(channel* ch, const char* path, const char* name, int position);
