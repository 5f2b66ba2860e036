#pragma once
// PLS reader: turns a pronunciation lexicon document (W3C Pronunciation
// Lexicon Specification markup) into a plain lexicon, one line per grapheme
// and pronunciation, converting pronunciations written in a phone set's
// alphabet into qrln phones. Problems are collected as text in `errors`,
// never logged; they do not stop the scan. A grapheme holding white space
// cannot be a lexicon line's headword: it is skipped with a warning. A
// lexeme whose end tag is missing ends where the next lexeme starts or where
// the lexicon or the document ends; a grapheme or phoneme left open in it is
// dropped. So a missing end tag costs at most its own lexeme; a metadata
// element never closed costs none. Attribute values decode references as
// text does.

#include <cstdint>
#include <cstdio>

struct dystr;
struct intarray;
struct lexhash;
struct channel;
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
    // A metadata element between lexemes is read on trial: the lexemes in it
    // go to `pending` and are dropped with its messages at its end tag, or
    // kept when it turns out never to be closed.
    int32_t metadata_trial;
    int32_t metadata_errors;      // size of the messages when it began
    int32_t metadata_refused[5];  // refused counts when it began
    strarray* pending;            // lexicon lines read inside it
    lexhash* result;     // the lexicon being filled; the caller's once a load returns
};

// Create and free
pls* QLTP_pls_new();
void QLTP_pls_clear(pls* reader);
void QLTP_pls_delete(pls* reader);

// Alphabets: level 0 the lexicon's, level 1 the current phoneme's
int QLTP_pls_addphoneset(pls* reader, phoneset* ps, int owned);
int QLTP_pls_setalphabet(pls* reader, int level, const char* name);
pls* QLTP_pls_setlogger(pls* reader, logger* lg);

// Loading: a new plain lexicon of the document, the caller's to free, or
// NULL when the scanner fails; messages do not fail a load. The file forms
// give NULL for a NULL reader or a file that cannot be read or opened.
lexhash* QLTP_pls_load_pls(pls* reader, const char* text);
lexhash* QLTP_pls_load_pls_file(pls* reader, FILE* file);
lexhash* QLTP_pls_load_pls_filename(pls* reader, const char* path);

// Tool entry: reads a phone-set file and a PLS file and prints the messages
// of reading the document; 1 when both were read.
int QLTP_pls_convert_and_display(const char* phoneset_path, const char* pls_path);
