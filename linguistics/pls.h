#pragma once
// PLS reader: turns a pronunciation lexicon document (W3C Pronunciation
// Lexicon Specification markup) into lexicon lines, one per grapheme and
// pronunciation, converting pronunciations written in a phone set's
// alphabet into qrln phones. Problems are collected as text in `errors`,
// never logged; they do not stop the scan.

#include <cstdint>

struct dystr;
struct intarray;
struct logger;
struct phoneset;
struct strarray;
struct voidparray;
struct QLTP_tpxml;

struct pls {
    int32_t nr_phonesets;
    char* language;  // the lexicon's "xml:lang", or NULL
    logger* log;     // borrowed
    dystr* errors;   // messages of the last load
    QLTP_tpxml* scanner;
    voidparray* phonesets;       // alphabets the reader converts
    intarray* owned;             // parallel: nonzero when the reader deletes the phone set
    phoneset* lexicon_alphabet;  // NULL: the voice's own alphabet
    phoneset* phoneme_alphabet;
    dystr* roles;         // the lexeme's qrln roles, blank-separated
    strarray* graphemes;  // the lexeme's graphemes, lower-cased
    strarray* phonemes;   // the lexeme's pronunciations, phones joined by '_'
    dystr* line;
    dystr* phoneme_text;
    dystr* grapheme_text;
    int32_t in_metadata;
    int32_t in_lexicon;
    int32_t in_lexeme;
    int32_t in_grapheme;
    int32_t in_phoneme;
    int32_t prefer_count;
    int32_t refused[5];  // refused start tags still open, per element
    strarray* lines;     // lexicon lines of the last scan, in document order
};

// Create and free
pls* QLTP_pls_new();
void QLTP_pls_clear(pls* reader);
void QLTP_pls_delete(pls* reader);

// Alphabets: level 0 the lexicon's, level 1 the current phoneme's
int QLTP_pls_addphoneset(pls* reader, phoneset* ps, int owned);
int QLTP_pls_setalphabet(pls* reader, int level, const char* name);
pls* QLTP_pls_setlogger(pls* reader, logger* lg);

// Scanning: reads a whole document into `lines` and `errors`; 1, or 0 when
// the scanner fails.
int QLTP_pls_scan(pls* reader, const char* text, int len);
