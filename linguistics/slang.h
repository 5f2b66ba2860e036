#pragma once
// Slang transforms: word games played on a token's syllabified pronunciation
// ("spron"), rewriting its "lex" "spron" and "phonemes". The inserted
// syllables follow the voice's accent.

struct toxtoken;

// A parsed spron: syllables are the stretches between '|' marks, phones end
// at '_', '+', '|' or the end (stress digit included). The pointers point
// into the parsed string.
struct spron {
    const char* text;
    int nsyl;
    const char* syl[16];
    int syl_len[16];
    int nphone;
    const char* phone[64];
    int phone_len[64];
};

// Accent codes selecting the table columns ("ga", "rp", "sc", "ie", "ca",
// "hd", "fr", "it"); only an accent's first two letters are compared.
extern const char* const QRLN_SLANG_VOWEL_ACCENTS[8];
// Per column, in spron form.
extern const char* const QRLN_SLANG_WAY[8];
extern const char* const QRLN_SLANG_AY[8];
extern const char* const QRLN_SLANG_UB[8];
extern const char* const QRLN_SLANG_UVERG[8];

// Parsed spron records. fill gives 0 for more than 16 syllables or 64 phones,
// else 1; a NULL or empty spron gives zero counts.
spron* QLTP_spron_new();
void QLTP_spron_delete(spron* record);
int QLTP_spron_fill(spron* record, const char* text);

// Applies "piglatin", "ubbidubbi" or "gibberish" (exact names) to the token.
// With a NULL or empty name the "slang" attribute of the token's "voice" tag
// is used. 1 when the token was transformed, else 0 (and it is unchanged).
// Pig latin ends the word's syllable with '|' before what it appends when
// the spron (one written without syllable marks) ends in no separator.
int QLTP_slang(const char* accent, const char* name, toxtoken* token);
