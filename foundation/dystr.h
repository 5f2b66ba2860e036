#pragma once
// Dynamic string: a byte array that always ends in a NUL, which its count
// includes (an empty string has count 1). The content holds at most INT_MAX
// bytes: an operation that would make it longer, or that is given a text of
// more than INT_MAX bytes, returns 0 (NULL) and changes nothing.

#include <cstdint>

#include "foundation/array.h"

struct dystr {
    array chars;
};

// Create and free
dystr* QLTP_dystr_new(const char* s, int len);
dystr* QLTP_dystr_newcustom(const char* s, int len, uint32_t increment, uint32_t keep);
void QLTP_dystr_delete(dystr* d);
void QLTP_dystr_clear(dystr* d);
int QLTP_dystr_extend(dystr* d, int n);

// Access
int QLTP_dystr_sz(const dystr* d);
char* QLTP_dystr_cstr(const dystr* d);

// Append and replace (a negative length means up to the NUL)
int QLTP_dystr_append(dystr* d, const char* s, int len);
int QLTP_dystr_append2(dystr* d, const char* s1, int len1, const char* s2, int len2);
int QLTP_dystr_append3(dystr* d, const char* s1, int len1, const char* s2, int len2,
                       const char* s3, int len3);
int QLTP_dystr_append4(dystr* d, const char* s1, int len1, const char* s2, int len2,
                       const char* s3, int len3, const char* s4, int len4);
int QLTP_dystr_appendint(dystr* d, int32_t v);
int QLTP_dystr_appendfloat(dystr* d, float v, int ndig, char fmt);
int QLTP_dystr_append2intCR(dystr* d, const char* s, int len, int32_t v);
int QLTP_dystr_replace(dystr* d, const char* s, int len);
const char* QLTP_dystr_readline(dystr* d, const char* src);

// Cut and insert
int QLTP_dystr_truncate(dystr* d, int n);
int QLTP_dystr_delete_upto(dystr* d, int n);
int QLTP_dystr_delete_range(dystr* d, int pos, int n);
int QLTP_dystr_insert_range(dystr* d, const char* s, int len, int pos);

// ASCII rewriting in place
void QLTP_dystr_asciilower(dystr* d);
void QLTP_dystr_asciiupper(dystr* d);
void QLTP_dystr_asciireplace(dystr* d, char from, char to);
void QLTP_dystr_asciistrip(dystr* d, char c);
void QLTP_dystr_remove_non_ascii(dystr* d);

// Output
void QLTP_dystr_printf(const dystr* d);
