#pragma once
// Phone set: a voice's phone inventory read from the phone-set text (phones
// with 96-bit feature vectors, modifiers that switch feature bits, a tree of
// yes/no questions, stress patterns, feature names). It checks phone and
// alphabet names, maps phones to the voice's own (qrln) phone names and
// converts pronunciations written in another alphabet into qrln phones.
//
// Feature n (0-based, the position of its name in the features section) is
// bit 0x80 >> (n % 8) of byte n / 8 of a 12-byte vector.

#include <cstdint>

struct dystr;
struct logger;
struct tpdb;

inline constexpr int QLTP_PHONESET_FEATURE_BYTES = 12;

// The names under which pronunciations are already in qrln phones.
extern const char* const QLTP_QUORLANE_ALPHABET_NAMES[5];

struct phoneset_phone {
    int32_t id;  // 1-based position in the phones section
    int32_t is_basephone;
    int32_t is_vowel;
    int32_t resolved;
    char* qrln;  // NULL when the file gives "0"; several qrln phones joined by '_'
    char* symbol;
    unsigned char onset[QLTP_PHONESET_FEATURE_BYTES];
    unsigned char offset[QLTP_PHONESET_FEATURE_BYTES];
    int32_t onset_ipa;
    int32_t offset_ipa;
};

struct phoneset_modifier {
    int32_t id;
    int32_t is_breaking;
    int32_t is_syllable_break;
    int32_t is_stress_marker;
    int32_t resolved;
    char* symbol;
    unsigned char mask[QLTP_PHONESET_FEATURE_BYTES];
    int32_t value;  // nonzero sets the mask's bits, zero clears them
};

struct phoneset_question {
    int32_t id;
    unsigned char mask[QLTP_PHONESET_FEATURE_BYTES];
    int32_t yes;  // question id, 0 when the answer is a string
    int32_t no;
    char* yes_answer;
    char* no_answer;
};

struct phoneset_stress {
    int32_t id;
    unsigned char sequence[4][QLTP_PHONESET_FEATURE_BYTES];
    char* symbol;
};

struct phoneset;

// Create, clear, free, load
phoneset* QLTP_phoneset_new();
void QLTP_phoneset_clear(phoneset* ps);
void QLTP_phoneset_delete(phoneset* ps);
int QLTP_phoneset_load_file(phoneset* ps, const char* text);  // lines of any length are read whole
phoneset* QLTP_tpdb_get_ipa(tpdb* db);
void QLTP_phoneset_set_logger(phoneset* ps, logger* lg);

// Alphabet names
int QLTP_phoneset_chk_name(const phoneset* ps, const char* name);
int QLTP_phoneset_chk_qorlname(const char* name);

// Phones (len < 0: up to the NUL; else a count of UTF-8 characters)
int QLTP_phoneset_find_phone(const phoneset* ps, const char* s, int len);
int QLTP_phoneset_find_phone_nondecomposed(phoneset* ps, const char* s);
phoneset_phone* QLTP_phoneset_get_phone_id(const phoneset* ps, int id);
int QLTP_phoneset_phone_has_onset_feature(const phoneset* ps, int id, int n);
int QLTP_phoneset_phone_has_offset_feature(const phoneset* ps, int id, int n);

// qrln phones (len < 0: up to the NUL; else bytes)
phoneset_phone* QLTP_phoneset_find_qrlnphone(const phoneset* ps, const char* name, int len);
int QLTP_phoneset_find_qrlnphone_id(const phoneset* ps, const char* name, int len);
phoneset_phone* QLTP_phoneset_qrlnphone_by_id(const phoneset* ps, int id);
int QLTP_phoneset_nr_qrlnphone(const phoneset* ps);
const char* QLTP_phoneset_qrlnphone_symbol(const phoneset* ps, int i);
int QLTP_phoneset_pid_from_qrlnphone(const phoneset* ps, int i);

// Features and counts
const char* QLTP_phoneset_featurename(const phoneset* ps, int n);
int QLTP_phoneset_featurename_lookup(const phoneset* ps, const char* name, int len);
int QLTP_phoneset_nr_phones(const phoneset* ps);
int QLTP_phoneset_nr_features(const phoneset* ps);
int QLTP_phoneset_nr_modifiers(const phoneset* ps);
int QLTP_phoneset_nr_questions(const phoneset* ps);
int QLTP_phoneset_nr_stresses(const phoneset* ps);

// Modifiers
int QLTP_phoneset_find_one_modifier(const phoneset* ps, const char* s, int len);
void QLTP_phoneset_modifier_apply(const phoneset_modifier* m, unsigned char* vector);

// Conversion of a span of text (len < 0: to the end) in place into qrln
// phones, each followed by a blank, syllable breaks written as '.'; the
// output's last character (that blank or a final '.') is cut.
int QLTP_phoneset_parse(phoneset* ps, dystr* text, int start, int len);
void QLTP_phoneset_printf(const phoneset* ps);

// Record families: one section line each; set_from_str clears the record and
// gives 0 on a bad line.
phoneset_phone* QLTP_phoneset_phone_new();
void QLTP_phoneset_phone_clear(phoneset_phone* p);
void QLTP_phoneset_phone_delete(phoneset_phone* p);
int QLTP_phoneset_phone_set_from_str(phoneset_phone* p, const char* line);
int QLTP_phoneset_phone_set_id(phoneset_phone* p, int id);
const char* QLTP_phoneset_phone_symbol(const phoneset_phone* p);
int QLTP_phoneset_phone_is_match(const phoneset_phone* p, const char* s, int len);
void QLTP_phoneset_phone_printf(const phoneset_phone* p);

phoneset_modifier* QLTP_phoneset_modifier_new();
void QLTP_phoneset_modifier_clear(phoneset_modifier* m);
void QLTP_phoneset_modifier_delete(phoneset_modifier* m);
int QLTP_phoneset_modifier_set_from_str(phoneset_modifier* m, const char* line);
int QLTP_phoneset_modifier_set_id(phoneset_modifier* m, int id);
const char* QLTP_phoneset_modifier_symbol(const phoneset_modifier* m);
int QLTP_phoneset_modifier_is_match(const phoneset_modifier* m, const char* s, int len);
void QLTP_phoneset_modifier_printf(const phoneset_modifier* m);

phoneset_question* QLTP_phoneset_question_new();
void QLTP_phoneset_question_clear(phoneset_question* q);
void QLTP_phoneset_question_delete(phoneset_question* q);
int QLTP_phoneset_question_set_from_str(phoneset_question* q, const char* line);
int QLTP_phoneset_question_set_id(phoneset_question* q, int id);
void QLTP_phoneset_question_printf(const phoneset_question* q);

phoneset_stress* QLTP_phoneset_stress_new();
void QLTP_phoneset_stress_clear(phoneset_stress* s);
void QLTP_phoneset_stress_delete(phoneset_stress* s);
int QLTP_phoneset_stress_set_from_str(phoneset_stress* s, const char* line);
int QLTP_phoneset_stress_set_id(phoneset_stress* s, int id);
void QLTP_phoneset_stress_printf(const phoneset_stress* s);
