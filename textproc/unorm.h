#pragma once
// Unicode normalisation of UTF-8 text to NFC or NFKC (canonical or
// compatibility decomposition, canonical reordering, canonical composition,
// Hangul included). Text that passes the quick check is copied unchanged.

#include <cstdint>

#include "foundation/dystr.h"

// Normalise input (*len bytes) into output (cleared first); compat 0 gives
// NFC, non-zero NFKC. Without final, stops before a trailing segment that
// more input could change. *len receives the bytes consumed; returns the
// bytes written.
int QLTP_utf8_normalise_composed(const char* input, dystr* output, int* len, int compat, int final);
int QLTP_utf8_normalise_decomposed(const char* input, dystr* output, int* len, int compat, int final);

// Character properties: the record of a code point (NULL above U+10FFFF).
struct QLTP_unicode_record {
    uint8_t category;
    uint8_t combining;
    uint8_t bidirectional;
    uint8_t mirrored;
    uint8_t east_asian_width;
    uint8_t normalization_quick_check;
};
const QLTP_unicode_record* QLTP_unicode_getrecord(uint32_t cp);

// Quick-check masks of normalization_quick_check: a character with bits set
// under the mask may change under that form.
constexpr uint8_t QLTP_NFC_QC_MASK = 0x30;
constexpr uint8_t QLTP_NFKC_QC_MASK = 0xC0;

// Generated character tables (textproc/unorm_tables.cpp).
struct QLTP_comp_range {
    uint32_t start;
    uint32_t count;
    uint32_t index;
};
extern const int QLTP_UNICODE_RECORD_COUNT;
extern const int QLTP_NFC_FIRST_COUNT;
extern const int QLTP_NFC_LAST_COUNT;
extern const int QLTP_DECOMP_PREFIX_COUNT;
extern const int QLTP_DECOMP_LONGEST;
extern const int QLTP_DECOMP_LONGEST_FULL;
extern const uint32_t QLTP_NFC_MIN_LOOKUP;
extern const uint32_t QLTP_NFKC_MIN_LOOKUP;
extern const char* const QLTP_PyUnicode_CategoryNames[];
extern const char* const QLTP_PyUnicode_BidirectionalNames[];
extern const char* const QLTP_PyUnicode_EastAsianWidthNames[];
extern const char* const QLTP_decomp_prefix[];
extern const QLTP_unicode_record QLTP_PyUnicode_Database_Records[];
extern const uint16_t QLTP_index1[];
extern const uint16_t QLTP_index2[];
extern const uint16_t QLTP_decomp_index1[];
extern const uint16_t QLTP_decomp_index2[];
extern const uint32_t QLTP_decomp_data[];
extern const QLTP_comp_range QLTP_nfc_first[];
extern const QLTP_comp_range QLTP_nfc_last[];
// One bit per BMP code point that passes the quick check with class 0.
extern const uint64_t QLTP_nfc_simple[];
extern const uint64_t QLTP_nfkc_simple[];
// Per UTF-8 byte: 1 when no sequence it starts needs work.
extern const uint8_t QLTP_nfc_simple_lead[];
extern const uint8_t QLTP_nfkc_simple_lead[];
extern const uint16_t QLTP_comp_index[];
extern const uint32_t QLTP_comp_data[];
