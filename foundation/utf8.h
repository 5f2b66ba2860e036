// UTF-8 helpers over byte strings: sequence lengths, stepping, character
// counts and positions, validation, code point conversion. Nothing here
// allocates; positions are byte indexes. Steppers stop at a NUL and never
// copy or step past a truncated sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes that follow a lead byte in its sequence (0 for 0x00-0xBF, 1 to 5 for
// 0xC0-0xFF).
extern const unsigned char trailingBytesForUTF8[256];

// Sequence length and stepping.
int QLTP_u8_seqlen(const char* s);
void QLTP_u8_inc(const char* s, int* i);
void QLTP_u8_dec(const char* s, int* i, int len);

// Character counts and positions in NUL-terminated text; a count or byte
// length beyond INT_MAX gives 0.
int QLTP_u8_strlen(const char* s);
char* QLTP_u8_at(const char* s, int n);
int QLTP_u8_bytelen(const char* s, int n);

// Validation: offset of the first bad sequence (size in *n), or -1 (n = -1)
// when all len bytes are valid UTF-8 without NUL.
int QLTP_check_utf8(const char* s, int len, int* n);
// Length (1 to 4) of the well-formed sequence at p with n > 0 bytes
// available; 0 when it is not well-formed (overlong, surrogate, beyond
// U+10FFFF); -1 when it is a well-formed prefix cut by the end of the bytes.
int QLTP_utf8_sequence(const unsigned char* p, size_t n);
// Continuation bytes, and the characters of n bytes (counted by their lead
// bytes; a NUL counts as a character).
inline bool QLTP_u8_is_cont(unsigned char c) { return (c & 0xC0) == 0x80; }
inline int64_t QLTP_u8_count(const char* p, size_t n) {
  int64_t count = 0;
  for (size_t i = 0; i < n; ++i) count += !QLTP_u8_is_cont(static_cast<unsigned char>(p[i]));
  return count;
}
// Size of the ill-formed sequence at p (n > 0 bytes available): the lead byte
// and the bytes that could still belong to it, so that a good byte after a
// broken sequence is never swallowed.
int QLTP_utf8_bad_length(const unsigned char* p, size_t n);

// 1 when len bytes of s (-1: up to the NUL) are a markup name: a letter,
// '_' or ':' (or a letter-like character beyond ASCII) first, then those,
// digits, '-', '.' and combining marks; 0 for anything else, an empty name
// or bytes that are not UTF-8.
int QLTP_xml_name(const char* s, int len);

// Conversions. out holds 5 bytes for QLTP_unicode2utf8, 3 for
// QLTP_utf82ISO88591 (which returns 1 when it wrote two bytes).
int QLTP_utf82unicode(uint32_t* cp, const char* p);
int QLTP_unicode2utf8(uint32_t cp, char* out);
// Appends the UTF-8 bytes of cp (up to U+10FFFF; others append nothing).
void QLTP_utf8_append(std::string& out, uint32_t cp);
int QLTP_utf82ISO88591(unsigned char b, char* out);

// Copies. QLTP_next_utf8_char copies the sequence at p (at most 4 bytes) and a
// NUL into buf (5 bytes) and returns its length; QLTP_utf8_strncpy copies
// whole characters that fit in limit bytes and returns the bytes copied.
int QLTP_next_utf8_char(const char* p, char* buf);
int QLTP_utf8_strncpy(char* dst, const char* src, int limit);
