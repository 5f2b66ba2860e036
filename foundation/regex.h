// Regular expressions: the library's one gateway to PCRE2 (8-bit).
//
// Every pattern is compiled in UTF-8 mode (optionally dot-all) and run with a
// match limit and a heap limit, so hostile input costs bounded time and
// memory; hitting a limit is reported as "no match". Compiled patterns can be
// exported as images and read back by the same PCRE2 build only.
#pragma once

#include <cstdint>

struct QLTP_regex;

// Compile options.
inline constexpr int QLTP_REGEX_DOTALL = 1;  // '.' also matches line breaks
// For an anchored pattern tried at every position of a long text: no search
// ahead for a character that every match needs (a tag's ">"), which costs up
// to 5,000 bytes per try where the pattern itself fails at once.
inline constexpr int QLTP_REGEX_NO_START_SCAN = 2;

// Match options.
inline constexpr int QLTP_REGEX_VALID_UTF8 = 1;  // the caller has validated the text

// Offset vector: 15 (start, end) pairs; unset pairs hold -1.
inline constexpr int QLTP_REGEX_OVECSIZE = 30;

// Limits applied to every match.
inline constexpr uint32_t QLTP_REGEX_MATCH_LIMIT = 1000000;
inline constexpr uint32_t QLTP_REGEX_HEAP_LIMIT_KIB = 16384;

// Compile and free. `len` < 0: up to the NUL. On failure NULL, and when `err`
// is given a message ("<reason> at offset <n>") of at most errlen - 1 bytes.
QLTP_regex* QLTP_regex_compile(const char* pattern, int len, int options, char* err = nullptr,
                               int errlen = 0);
void QLTP_regex_free(QLTP_regex* re);

// Fixed pattern sets shared by the whole process. The first call for a set
// compiles its `count` patterns, thread-safely; every later call returns the
// same table (the patterns and a NULL entry), which is only read from then
// on and never freed, so any number of threads match with it at once. The
// specs array names the set: pass the same static array each time. NULL while
// a pattern does not compile (only memory can fail for a fixed pattern), with
// "pattern <index>: <reason>" in `err`; the next call tries again.
struct QLTP_regex_spec {
  const char* pattern;
  int options;
};
QLTP_regex* const* QLTP_regex_shared_set(const QLTP_regex_spec* specs, int count,
                                         char* err = nullptr, int errlen = 0);

// Matching. Runs `re` on `len` bytes of text (len < 0: up to the NUL) from byte
// offset `start`; fills `ovector` (QLTP_REGEX_OVECSIZE ints, may be NULL).
// Returns the match count (1 + highest group set, at most 15), or 0 when
// nothing matched, a limit was hit or the text is not valid UTF-8. Pass
// QLTP_REGEX_VALID_UTF8 only for text that was validated where it entered.
int QLTP_regex_exec(const QLTP_regex* re, const char* text, int len, int start, int* ovector,
                    int options = 0);

// Pattern facts.
int QLTP_regex_capture_count(const QLTP_regex* re);

// Compiled images: a self-checking copy of the compiled pattern, valid only for
// the PCRE2 build that wrote it. image_sz gives the bytes image needs (0 on
// failure); image writes them into dst (dstlen bytes) and returns the count,
// or 0 when dst is too small. from_image refuses a damaged or foreign image
// with NULL and a message in `err`.
int32_t QLTP_regex_image_sz(const QLTP_regex* re);
int32_t QLTP_regex_image(const QLTP_regex* re, void* dst, int32_t dstlen);
QLTP_regex* QLTP_regex_from_image(const void* src, int32_t len, char* err = nullptr,
                                  int errlen = 0);
