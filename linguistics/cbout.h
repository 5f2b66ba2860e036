// Per-spurt output: the last stage of the full, sentence and server channel
// types hands each finished spurt to the channel's phrase callback. The
// accessors below let the callback read a spurt's tokens as numbers: phones
// and POS tags mapped to one-byte codes through the database's LG maps
// ("TPOBJ_LGPHONEMAP:DEFAULT", "TPOBJ_LGPOSMAP:DEFAULT"; string maps of
// decimal codes), stress digits, phone types, syllables and word positions.
//
// A spron (the "lex" tag's "spron") is phones, each followed by its stress
// digit when it has one, and a separator: '|' ends a syllable, '+' marks a
// change of phone role, '_' separates other phones.
//
// The spurts belong to the channel and are released after each pass: a
// callback copies what it keeps. It may stop delivery of the pass's other
// spurts by setting the stage's state (the stop word) to non-zero.
#pragma once

#include <cstdint>

#include "foundation/dystr.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"

struct channel;
struct tpdb;

struct cbout {
    const char* name;               // "cbout"
    channel* ch;                    // borrowed
    int state;                      // 1 after new and reset; the stop word during delivery
    const hashstrarray* phone_map;  // borrowed from the database, may be NULL
    const hashstrarray* pos_map;
    dystr* module_log;              // only with module logging
};

// Create, reset, free
cbout* QLTP_cbout_new(channel* ch);
void QLTP_cbout_reset(cbout* stage);
void QLTP_cbout_reset_tpdb(cbout* stage, channel* ch);
void QLTP_cbout_delete(cbout* stage);

// Hands each spurt to the phrase callback; the last spurt of a final call
// gets last = 1. Returns 0.
int QLTP_cbout_process(cbout* stage, toxspstream* spurts, int final);

// Accessors for the phrase callback. Buffers take one byte per tag or phone.
voidparray* QLTP_cbout_tokens(const toxspurt* spurt);
int QLTP_cbout_sptid(const toxspurt* spurt);
const char* QLTP_cbout_tpc_jobid(const cbout* stage);
int QLTP_cbout_isempty(const toxtoken* token);
int QLTP_cbout_nsyl(const toxtoken* token);
int QLTP_cbout_pos(cbout* stage, const toxtoken* token, unsigned char* buf, int size);
int QLTP_cbout_bidx(const toxtoken* token);
void QLTP_cbout_stress(cbout* stage, const toxtoken* token, unsigned char* buf, int size);
void QLTP_cbout_phtype(cbout* stage, const toxtoken* token, unsigned char* buf, int size);
int QLTP_cbout_phones(cbout* stage, const toxtoken* token, unsigned char* buf, int size);
int QLTP_cbout_wordpos(const toxtoken* token, int16_t* first, int16_t* second);
const char* QLTP_cbout_syl(const toxtoken* token, int16_t* count, const char* position);

// Database kinds TPOBJ_LGPHONEMAP and TPOBJ_LGPOSMAP (string maps).
void* QLTP_tpobj_lgphonemap_load(tpdb* db, int32_t offset);
int QLTP_tpobj_lgphonemap_pstload(tpdb* db, void* object);
void QLTP_tpobj_lgphonemap_delete(void* object);
int32_t QLTP_tpobj_lgphonemap_write(void* object, char* destination, int swap);
void* QLTP_tpobj_lgposmap_load(tpdb* db, int32_t offset);
int QLTP_tpobj_lgposmap_pstload(tpdb* db, void* object);
void QLTP_tpobj_lgposmap_delete(void* object);
int32_t QLTP_tpobj_lgposmap_write(void* object, char* destination, int swap);

// Spron reading shared with the lg writer: the phones of a spron in order,
// each with the separator that follows it ('\0' for none).
struct QLTP_spron_phone {
    const char* text;
    int len;
    char separator;
};
int QLTP_spron_phones(const char* spron, QLTP_spron_phone* out, int max);
// A map's code of a key as a byte: 0..255, else -1 (missing or not a byte).
int QLTP_lgmap_code(const hashstrarray* map, const char* key, int len);
