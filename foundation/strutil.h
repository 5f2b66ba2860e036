// Character-class and string helpers: allocation wrappers, character sets,
// bounded scanners, case-blind equality, whitespace fields, number readers
// and writers. Strings are byte strings passed as (pointer, length); unless an
// operation says otherwise a negative length means "up to the NUL". Every
// function accepts NULL strings and then returns 0, NULL or an empty string.
#pragma once

#include <cstddef>
#include <cstdint>

// Allocation: every record of the library is allocated zero-filled through
// these. QLTP_calloc takes the element size first, then the count; it returns
// NULL when size x count overflows. Both return NULL on failure.
void* QLTP_malloc(size_t size);
void* QLTP_calloc(size_t size, size_t count);
void QLTP_free(void* p);
void QLTP_free_fixed(void* p);
void* QLTP_memcpy(void* dst, const void* src, size_t n);
void* QLTP_memmove(void* dst, const void* src, size_t n);
void* QLTP_memset(void* dst, int ch, size_t n);

// Character sets (NUL-terminated; the NUL is never a member).
inline constexpr char QLTP_QUOTE[] = "\"'";
inline constexpr char QLTP_HYPHEN[] = "-";
inline constexpr char QLTP_EMPTY_STRING[] = "";
inline constexpr char QLTP_EOL[] = "\n";
inline constexpr char QLTP_NEWLINE[] = "\n\r";
inline constexpr char QLTP_WSPACE[] = " \n\t\r";
inline constexpr char QLTP_HASH[] = "#";

// Membership tests; QLTP_is_matching_quote returns ch itself for a quote.
int QLTP_is_whitespace(char ch);
int QLTP_is_newline(char ch);
int QLTP_is_eol(char ch);
int QLTP_is_quote(char ch);
int QLTP_is_matching_quote(char ch);
int QLTP_is_digit(char ch);

// Bounded scanners: count leading bytes, stop at NUL, never exceed max.
// max < 1 gives 0, except: QLTP_strnlen treats any negative max as no bound,
// and the three marked "-1" treat exactly -1 as no bound.
int QLTP_strnlen(const char* s, int max);
// The length of a NUL-terminated string, or -1 when it is longer than
// INT_MAX bytes, which no int length carries: callers refuse such a text.
int QLTP_strlen_int(const char* s);
int QLTP_strlen_ws(const char* s, int max);
int QLTP_strlen_nws(const char* s, int max);
int QLTP_strlen_newline(const char* s, int max);
int QLTP_strlen_eol(const char* s, int max);            // -1
int QLTP_strlen_quote(const char* s, int max);          // -1
int QLTP_strlen_char(const char* s, int max, char ch);  // -1
int QLTP_strlen_equals(const char* s, int max);
int QLTP_strlen_colon(const char* s, int max);
int QLTP_strlen_comma(const char* s, int max);
int QLTP_strlen_digit(const char* s, int max);
int QLTP_strlen_nondigit(const char* s, int max);  // run of '1'..'8'

// Searches, copies and in-place ASCII mapping. The copies NUL-terminate and
// return the number of bytes copied; dst holds max + 1 bytes.
char* QLTP_strnchr(const char* s, int len, char ch);
// NULL for a needle longer than INT_MAX bytes and for hlen below the needle's
// length (a negative hlen included).
char* QLTP_strnstr(const char* h, int hlen, const char* needle, int nlen);
int QLTP_strcpy_ws(char* dst, const char* s, int max);
int QLTP_strcpy_newline(char* dst, const char* s, int max);
char* QLTP_strndup(const char* s, int len);
int QLTP_charcount(const char* s, int len, char ch);
void QLTP_asciilower(char* s);
void QLTP_asciiupper(char* s);
void QLTP_asciireplace(char* s, char from, char to);

// Case-blind equality (nonzero when equal): bytes match when equal or when
// they differ by exactly 32 as signed 8-bit numbers.
int QLTP_strcmp_nocase(const char* a, const char* b);

// Whitespace fields within the first len bytes (stopping at a NUL).
int QLTP_strfield_len(const char* s, int len);
char* QLTP_strfield(const char* s, int len, int n, int* flen);
char* QLTP_strfield_next(const char* s, int len, const char* p, int* flen);
int QLTP_strfield_floats(const char* s, int len, int n, float* values);
int QLTP_no_strings(const char* s, int len);

// Number readers: decimal digits only, independent of the process locale.
// Integer readers wrap on overflow; QLTP_atoifp saturates at +-999999999.
int32_t QLTP_atoi(const char* s, int len);
int64_t QLTP_atol(const char* s, int len);
int32_t QLTP_atoisep(const char* s, int len, char sep);
int64_t QLTP_atolsep(const char* s, int len, char sep);
int32_t QLTP_atoifp(const char* s, int len, int ndec);
float QLTP_atof(const char* s, int len);
char* QLTP_unpack_noseq(const char* s, int len, int ndec, int32_t* value, int* empty);

// Number writers: 1 on success; 0 with "TO_SHORT" (when it fits) for a buffer
// below 31 bytes (itoa/ltoa) or 30 bytes / too small for the text (ftoa).
// QLTP_ftoa prints ndig decimals ('f'/'F') or ndig + 1 significant digits,
// rounded correctly from the float's exact value: the digits are not made by
// repeated single-precision multiplications by 10, whose rounding errors can
// change the last digits.
int QLTP_itoa(int32_t v, char* buf, int buflen);
int QLTP_ltoa(int64_t v, char* buf, int buflen);
int QLTP_ftoa(float v, char* buf, int buflen, int ndig, char fmt);
