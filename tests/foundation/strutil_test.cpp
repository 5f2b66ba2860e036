#include "foundation/strutil.h"

#include <gtest/gtest.h>

#include "huge_text.h"
#include "scratch_dir.h"

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

// Runs the Python reference script over the given input lines and returns
// its answers, one per line.
std::vector<std::string> python_reference(const std::vector<std::string>& lines) {
  orvelle_test::ScratchDir dir;
  std::string in = dir.Path("strutil_reference_in.txt");
  {
    std::ofstream f(in);
    for (const auto& l : lines) f << l << '\n';
  }
  std::string cmd = std::string(ORVELLE_PYTHON) + " " + ORVELLE_SOURCE_DIR +
                    "/tests/foundation/reference.py < " + in;
  std::vector<std::string> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char line[256];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    out.push_back(s);
  }
  pclose(p);
  return out;
}

// A heap copy of exactly the given bytes, with no terminating NUL, so that
// AddressSanitizer catches any read past the length.
std::vector<char> exact(const std::string& s) { return std::vector<char>(s.begin(), s.end()); }

}  // namespace

// ---- allocation ------------------------------------------------------------

TEST(AllocTest, BlocksAreZeroFilled) {
  auto* p = static_cast<unsigned char*>(QLTP_malloc(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
  QLTP_free(p);
  auto* q = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), 10));
  ASSERT_NE(q, nullptr);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(q[i], 0);
  q[9] = 7;  // the whole size x count block is usable
  QLTP_free(q);
  void* z = QLTP_malloc(0);
  EXPECT_NE(z, nullptr);
  QLTP_free(z);
  QLTP_free(nullptr);
  QLTP_free_fixed(&z);
}

TEST(AllocTest, CallocRefusesOverflowingSizeTimesCount) {
  size_t huge = std::numeric_limits<size_t>::max() / 2 + 1;
  EXPECT_EQ(QLTP_calloc(huge, 2), nullptr);
  EXPECT_EQ(QLTP_calloc(16, std::numeric_limits<size_t>::max() / 8), nullptr);
}

// ---- character sets and membership -----------------------------------------

TEST(CharsetTest, SetsHoldExactlyTheirMembers) {
  EXPECT_STREQ(QLTP_WSPACE, " \n\t\r");
  EXPECT_STREQ(QLTP_NEWLINE, "\n\r");
  EXPECT_STREQ(QLTP_EOL, "\n");
  EXPECT_STREQ(QLTP_QUOTE, "\"'");
  EXPECT_STREQ(QLTP_HYPHEN, "-");
  EXPECT_STREQ(QLTP_HASH, "#");
  EXPECT_STREQ(QLTP_EMPTY_STRING, "");
  EXPECT_EQ(sizeof QLTP_EMPTY_STRING, 1u);
}

TEST(CharsetTest, MembershipTestsOverAllBytes) {
  for (int b = 0; b < 256; ++b) {
    char c = static_cast<char>(b);
    SCOPED_TRACE(b);
    EXPECT_EQ(QLTP_is_whitespace(c), b == ' ' || b == '\n' || b == '\t' || b == '\r');
    EXPECT_EQ(QLTP_is_newline(c), b == '\n' || b == '\r');
    EXPECT_EQ(QLTP_is_eol(c), b == '\n');
    EXPECT_EQ(QLTP_is_quote(c), b == '"' || b == '\'');
    EXPECT_EQ(QLTP_is_matching_quote(c), (b == '"' || b == '\'') ? b : 0);
    EXPECT_EQ(QLTP_is_digit(c), b >= '0' && b <= '9');
  }
}

// ---- scanners ----------------------------------------------------------------

TEST(ScannerTest, CountLeadingBytesWithinBound) {
  struct Case {
    const char* name;
    int (*fn)(const char*, int);
    const char* s;
    int max;
    int expected;
  };
  const Case cases[] = {
      {"strnlen", QLTP_strnlen, "abcdef", 4, 4},
      {"strnlen", QLTP_strnlen, "abc", 10, 3},
      {"strnlen", QLTP_strnlen, "abc", -5, 3},
      {"strnlen", QLTP_strnlen, "abc", 0, 0},
      {"ws", QLTP_strlen_ws, " \t\r\nx", 10, 4},
      {"ws", QLTP_strlen_ws, "\f\v", 10, 0},
      {"ws", QLTP_strlen_ws, "   ", 2, 2},
      {"ws", QLTP_strlen_ws, "  ", -1, 0},
      {"nws", QLTP_strlen_nws, "ab cd", 10, 2},
      {"nws", QLTP_strlen_nws, "a\fb\tc", 10, 3},
      {"newline", QLTP_strlen_newline, "ab\rc", 10, 2},
      {"newline", QLTP_strlen_newline, "ab c", 10, 4},
      {"eol", QLTP_strlen_eol, "abc\ndef", -1, 3},
      {"eol", QLTP_strlen_eol, "abc\rdef", -1, 7},
      {"eol", QLTP_strlen_eol, "abcdef", -2, 0},
      {"eol", QLTP_strlen_eol, "abcdef", 2, 2},
      {"quote", QLTP_strlen_quote, "ab'c", -1, 2},
      {"quote", QLTP_strlen_quote, "a\"b", 10, 1},
      {"quote", QLTP_strlen_quote, "abc", -3, 0},
      {"equals", QLTP_strlen_equals, "key=value", 20, 3},
      {"colon", QLTP_strlen_colon, "a:b", 20, 1},
      {"comma", QLTP_strlen_comma, "abc,d", 2, 2},
      {"digit", QLTP_strlen_digit, "ab1", 10, 2},
      {"digit", QLTP_strlen_digit, "abc", 10, 3},
      {"nondigit", QLTP_strlen_nondigit, "1239", 10, 3},
      {"nondigit", QLTP_strlen_nondigit, "0123", 10, 0},
      {"nondigit", QLTP_strlen_nondigit, "12345678x", 10, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " \"" + c.s + "\" max " + std::to_string(c.max));
    EXPECT_EQ(c.fn(c.s, c.max), c.expected);
    EXPECT_EQ(c.fn(nullptr, c.max), 0);
  }
  EXPECT_EQ(QLTP_strlen_char("abcabc", -1, 'c'), 2);
  EXPECT_EQ(QLTP_strlen_char("abcabc", -2, 'c'), 0);
  EXPECT_EQ(QLTP_strlen_char("abcabc", 1, 'c'), 1);
}

TEST(ScannerTest, StopAtLengthWithoutReadingFurther) {
  auto buf = exact("abcdef");
  EXPECT_EQ(QLTP_strnlen(buf.data(), 6), 6);
  EXPECT_EQ(QLTP_strlen_nws(buf.data(), 6), 6);
  EXPECT_EQ(QLTP_strlen_digit(buf.data(), 6), 6);
}

// ---- searches and copies ------------------------------------------------------

TEST(SearchTest, StrnchrLooksOnlyWithinLength) {
  const char s[] = "ab\0cd";
  EXPECT_EQ(QLTP_strnchr(s, 5, 'd'), s + 4);  // NUL is not special
  EXPECT_EQ(QLTP_strnchr(s, 4, 'd'), nullptr);
  EXPECT_EQ(QLTP_strnchr(s, 0, 'a'), nullptr);
  EXPECT_EQ(QLTP_strnchr(nullptr, 5, 'a'), nullptr);
}

TEST(SearchTest, StrnstrFindsFirstMatchWithinLength) {
  const char* h = "hello world";
  EXPECT_EQ(QLTP_strnstr(h, 11, "world", -1), h + 6);
  EXPECT_EQ(QLTP_strnstr(h, 10, "world", -1), nullptr);
  EXPECT_EQ(QLTP_strnstr(h, 11, "o", 1), h + 4);
  EXPECT_EQ(QLTP_strnstr(h, 11, "wox", 2), h + 6);
  EXPECT_EQ(QLTP_strnstr(h, 11, "", -1), h);
  EXPECT_EQ(QLTP_strnstr(h, 11, nullptr, 3), h);
  EXPECT_EQ(QLTP_strnstr(h, 2, "hello", -1), nullptr);
  EXPECT_EQ(QLTP_strnstr(nullptr, 5, "a", 1), nullptr);
  const char nul_inside[] = "ab\0cd";
  EXPECT_EQ(QLTP_strnstr(nul_inside, 5, "cd", 2), nul_inside + 3);
  EXPECT_EQ(QLTP_strnstr(nul_inside, 5, "b", 2), nul_inside + 1);  // compared up to the NUL
  auto buf = exact("xxab");
  EXPECT_EQ(QLTP_strnstr(buf.data(), 4, "ab", 2), buf.data() + 2);
  EXPECT_EQ(QLTP_strnstr(buf.data(), 4, "abc", 3), nullptr);
  // Lengths beyond an int: a 2 GiB needle is in no text; a haystack length
  // near INT_MIN gives no start position.
  HugeText huge((uint64_t{1} << 31) + 5);
  EXPECT_EQ(QLTP_strnstr("aaaaa", 5, huge.data(), -1), nullptr);
  EXPECT_EQ(QLTP_strnstr(h, std::numeric_limits<int>::min() + 1, "world", 5), nullptr);
}

TEST(CopyTest, CopiesStopAtSeparatorOrBound) {
  char dst[16];
  EXPECT_EQ(QLTP_strcpy_ws(dst, "word rest", 15), 4);
  EXPECT_STREQ(dst, "word");
  EXPECT_EQ(QLTP_strcpy_ws(dst, "longword", 4), 4);
  EXPECT_STREQ(dst, "long");
  std::memset(dst, 'x', sizeof dst);
  QLTP_strcpy_ws(dst, "abc", 0);
  EXPECT_STREQ(dst, "");
  QLTP_strcpy_ws(dst, nullptr, 5);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(QLTP_strcpy_newline(dst, "a line\r\nnext", 15), 6);
  EXPECT_STREQ(dst, "a line");
}

TEST(CopyTest, StrndupAllocatesWhatItCopies) {
  char* a = QLTP_strndup("abc", 10);
  EXPECT_STREQ(a, "abc");
  char* b = QLTP_strndup("abcdef", 2);
  EXPECT_STREQ(b, "ab");
  char* c = QLTP_strndup("abc", 0);
  EXPECT_STREQ(c, "");
  char* d = QLTP_strndup("abc", -1);
  EXPECT_STREQ(d, "abc");
  auto buf = exact("xyz");
  char* e = QLTP_strndup(buf.data(), 3);  // no NUL in the source
  EXPECT_STREQ(e, "xyz");
  EXPECT_EQ(QLTP_strndup(nullptr, 5), nullptr);
  for (char* p : {a, b, c, d, e}) QLTP_free(p);
}

TEST(CopyTest, CharcountAndAsciiMapping) {
  EXPECT_EQ(QLTP_charcount("banana", -1, 'a'), 3);
  EXPECT_EQ(QLTP_charcount("banana", 3, 'a'), 1);
  EXPECT_EQ(QLTP_charcount("ba\0na", 5, 'a'), 1);
  EXPECT_EQ(QLTP_charcount("banana", 0, 'a'), 0);
  EXPECT_EQ(QLTP_charcount(nullptr, 4, 'a'), 0);
  char s[] = "Hello, W\xC3\x89rld [z]";
  QLTP_asciiupper(s);
  EXPECT_STREQ(s, "HELLO, W\xC3\x89RLD [Z]");
  QLTP_asciilower(s);
  EXPECT_STREQ(s, "hello, w\xC3\x89rld [z]");
  QLTP_asciireplace(s, 'l', 'L');
  EXPECT_STREQ(s, "heLLo, w\xC3\x89rLd [z]");
  QLTP_asciilower(nullptr);
  QLTP_asciiupper(nullptr);
  QLTP_asciireplace(nullptr, 'a', 'b');
}

// ---- case-blind equality ------------------------------------------------------

TEST(NocaseTest, EqualityByThirtyTwoApartSignedBytes) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;
  };
  const Case cases[] = {
      {"Hello", "hELLO", true},   {"x[", "X{", true},        {"]", "}", true},
      {"\x01", "!", true},        {"ab", "abc", false},      {"", "", true},
      {"abc", "abd", false},      {"\xA0", "\x80", true},    {"\xA0", "\xC0", true},
      {"\x60", "\x80", false},    {"\x7F", "\x9F", false},   {"@", "`", true},
      {"a", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(QLTP_strcmp_nocase(c.a, c.b) != 0, c.equal);
    EXPECT_EQ(QLTP_strcmp_nocase(c.b, c.a) != 0, c.equal);
  }
  EXPECT_EQ(QLTP_strcmp_nocase(nullptr, "a"), 0);
  EXPECT_EQ(QLTP_strcmp_nocase("a", nullptr), 0);
}

// ---- whitespace fields ----------------------------------------------------------

TEST(FieldTest, FindsFieldsByIndex) {
  const char* s = "  one two  three";
  int flen = -1;
  EXPECT_EQ(QLTP_strfield(s, 16, 2, &flen), s + 11);
  EXPECT_EQ(flen, 5);
  EXPECT_EQ(QLTP_strfield(s, 16, 0, &flen), s + 2);
  EXPECT_EQ(flen, 3);
  EXPECT_EQ(QLTP_strfield(s, 16, 3, &flen), nullptr);
  EXPECT_EQ(flen, 0);
  EXPECT_EQ(QLTP_strfield(s, 13, 2, &flen), s + 11);  // cut by the length
  EXPECT_EQ(flen, 2);
  EXPECT_EQ(QLTP_strfield(nullptr, 16, 0, &flen), nullptr);
  EXPECT_EQ(flen, 0);
  EXPECT_EQ(QLTP_strfield_len(s, 16), 3);
  EXPECT_EQ(QLTP_strfield_len(s, 0), 0);
  EXPECT_EQ(QLTP_strfield_len(nullptr, 16), 0);
  EXPECT_EQ(QLTP_strfield_len("a b\0c d", 7), 2);
  EXPECT_EQ(QLTP_no_strings(s, 16), 3);
  EXPECT_EQ(QLTP_no_strings(s, -1), 3);
}

TEST(FieldTest, NextFieldFromPosition) {
  const char* s = "ab  cd";
  int flen = -1;
  EXPECT_EQ(QLTP_strfield_next(s, 6, s + 2, &flen), s + 4);
  EXPECT_EQ(flen, 2);
  EXPECT_EQ(QLTP_strfield_next(s, 6, s + 6, &flen), nullptr);
  EXPECT_EQ(flen, 0);
  EXPECT_EQ(QLTP_strfield_next(s, 3, s + 2, &flen), nullptr);  // whitespace to the end
  const char t[] = "ab  \0cd";
  EXPECT_EQ(QLTP_strfield_next(t, 7, t + 2, &flen), t + 4);  // the NUL, length 0
  EXPECT_EQ(flen, 0);
}

TEST(FieldTest, ReadsFloatFields) {
  float v[4] = {};
  EXPECT_EQ(QLTP_strfield_floats(" 1.5 -2 3e1 4 5", -1, 4, v), 4);
  EXPECT_FLOAT_EQ(v[0], 1.5f);
  EXPECT_FLOAT_EQ(v[1], -2.0f);
  EXPECT_FLOAT_EQ(v[2], 30.0f);
  EXPECT_FLOAT_EQ(v[3], 4.0f);
  EXPECT_EQ(QLTP_strfield_floats("1 2 3", 3, 4, v), 2);
  EXPECT_EQ(QLTP_strfield_floats("   ", -1, 4, v), 0);
  EXPECT_EQ(QLTP_strfield_floats("", -1, 4, v), 0);
  EXPECT_EQ(QLTP_strfield_floats("1 2", -1, 0, v), 0);
  EXPECT_EQ(QLTP_strfield_floats(nullptr, 5, 4, v), 0);
  EXPECT_EQ(QLTP_strfield_floats(nullptr, -1, 4, v), 0);
}

// ---- integer readers ---------------------------------------------------------------

TEST(AtoiTest, SignsWhitespaceAndBounds) {
  struct Case {
    const char* s;
    int len;
    int32_t expected;
    int64_t expected64;
  };
  const Case cases[] = {
      {"  -+42", 6, -42, -42},   {"+", 1, 0, 0},        {"12abc", -1, 12, 12},  {"   ", 3, 0, 0},
      {"  7", -1, 0, 0},         {"  7", 3, 7, 7},      {"123", 2, 12, 12},     {"-", 1, 0, 0},
      {"-5", 1, 0, 0},           {"+9", 2, 9, 9},       {"x1", 2, 0, 0},        {"123", 0, 0, 0},
      {"007", -1, 7, 7},         {"-0", -1, 0, 0},      {"\t\r\n5", 4, 5, 5},   {"\f5", 2, 0, 0},
      {"2147483647", -1, 2147483647, 2147483647},
      {"-2147483648", -1, INT32_MIN, INT32_MIN},
      // Past the 32-bit range the value wraps.
      {"2147483648", -1, INT32_MIN, 2147483648LL},
      {"4294967297", -1, 1, 4294967297LL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.s) + " len " + std::to_string(c.len));
    EXPECT_EQ(QLTP_atoi(c.s, c.len), c.expected);
    EXPECT_EQ(QLTP_atol(c.s, c.len), c.expected64);
  }
  EXPECT_EQ(QLTP_atoi(nullptr, 5), 0);
  EXPECT_EQ(QLTP_atoi(nullptr, -1), 0);
  EXPECT_EQ(QLTP_atol(nullptr, 5), 0);
}

TEST(AtoiTest, SixtyFourBitRangeWrapsWithoutUndefinedBehaviour) {
  EXPECT_EQ(QLTP_atol("9223372036854775807", -1), INT64_MAX);
  EXPECT_EQ(QLTP_atol("-9223372036854775808", -1), INT64_MIN);
  EXPECT_EQ(QLTP_atol("9223372036854775808", -1), INT64_MIN);
  EXPECT_EQ(QLTP_atol("18446744073709551617", -1), 1);
  // A long run of digits keeps wrapping (checked under UBSan).
  EXPECT_EQ(QLTP_atoi(std::string(200, '9').c_str(), -1), QLTP_atoi(std::string(200, '9').c_str(), 200));
}

TEST(AtoiTest, SeparatorsAmongDigitsAreSkipped) {
  EXPECT_EQ(QLTP_atoisep("1,234,567", 9, ','), 1234567);
  EXPECT_EQ(QLTP_atoisep("1,234,567", 5, ','), 1234);
  EXPECT_EQ(QLTP_atoisep("-1.000 rest", -1, '.'), -1000);
  EXPECT_EQ(QLTP_atoisep(",5", -1, ','), 0);
  EXPECT_EQ(QLTP_atoisep("12;3", -1, ','), 12);
  EXPECT_EQ(QLTP_atolsep("9,000,000,000", -1, ','), 9000000000LL);
  EXPECT_EQ(QLTP_atoisep("12", -1, '\0'), 12);  // NUL is never a separator
}

TEST(AtoiTest, FixedPointScalesAndSaturates) {
  struct Case {
    const char* s;
    int len;
    int ndec;
    int32_t expected;
  };
  const Case cases[] = {
      {"3.14159", 7, 2, 314},          {"2", 1, 3, 2000},           {"-1.5", -1, 2, -150},
      {" 0.25", 5, 1, 2},              {"12.", -1, 1, 120},         {".5", -1, 1, 5},
      {"1234567890", -1, 0, 999999999}, {"-123456789", -1, 1, -999999999},
      {"123456789", -1, 0, 123456789},  {"0.5", -1, 9, 500000000},  {"0.5", -1, 12, 999999999},
      {"0", -1, 12, 0},                 {"abc", -1, 2, 0},          {"1.2.3", -1, 2, 120},
      {"000000000001", -1, 2, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.s) + " ndec " + std::to_string(c.ndec));
    EXPECT_EQ(QLTP_atoifp(c.s, c.len, c.ndec), c.expected);
  }
  EXPECT_EQ(QLTP_atoifp(nullptr, 4, 2), 0);
}

TEST(AtoiTest, UnpackReadsOneFieldAndSkipsToTheNext) {
  const char* s = " 1.25x  -3 .";
  int32_t v = 0;
  int empty = -1;
  const char* p = QLTP_unpack_noseq(s, -1, 2, &v, &empty);
  EXPECT_EQ(v, 125);
  EXPECT_EQ(empty, 0);
  EXPECT_EQ(p, s + 8);
  p = QLTP_unpack_noseq(p, static_cast<int>(s + 12 - p), 2, &v, &empty);
  EXPECT_EQ(v, -300);
  EXPECT_EQ(p, s + 11);
  p = QLTP_unpack_noseq(p, 1, 2, &v, &empty);
  EXPECT_EQ(v, 0);
  EXPECT_EQ(empty, 1);
  EXPECT_EQ(p, s + 12);
  EXPECT_EQ(QLTP_unpack_noseq(nullptr, 3, 2, &v, &empty), nullptr);
}

// ---- float reader --------------------------------------------------------------------

TEST(AtofTest, EvaluatesFieldsAsDocumented) {
  struct Case {
    const char* s;
    int len;
    float expected;
  };
  const Case cases[] = {
      {"1.5e2", 5, 150.0f},     {"  -0.25 x", 9, -0.25f}, {"1.5e-2", 6, 0.015f},
      {"42", 2, 42.0f},         {"42", 1, 4.0f},          {"0.1", 3, 0.1f},
      {"1,5", 3, 15.0f},        {"  ", 2, 0.0f},          {"7", 0, 0.0f},
      {"3.14159265", -1, 0.0f}, {"-", 1, 0.0f},           {"12E1", 4, 120.0f},
      {"123456789", 9, 123456789.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.s) + " len " + std::to_string(c.len));
    EXPECT_EQ(QLTP_atof(c.s, c.len), c.expected);
  }
  EXPECT_EQ(QLTP_atof(nullptr, 5), 0.0f);
}

TEST(AtofTest, ManySignificantDigitsConvertExactly) {
  EXPECT_EQ(QLTP_atof("1234567890123", 13), 1234567890123.0f);
  EXPECT_EQ(QLTP_atof("3.14159265358979", 16), 3.14159265358979f);
  EXPECT_EQ(QLTP_atof("0.000000000001234567891", 23), 1.234567891e-12f);
  std::string long_int = "1" + std::string(30, '0');
  EXPECT_EQ(QLTP_atof(long_int.c_str(), static_cast<int>(long_int.size())), 1e30f);
  std::string huge = "1" + std::string(5000, '0');
  EXPECT_EQ(QLTP_atof(huge.c_str(), static_cast<int>(huge.size())), std::numeric_limits<float>::infinity());
  std::string tiny = "0." + std::string(5000, '0') + "1";
  EXPECT_EQ(QLTP_atof(tiny.c_str(), static_cast<int>(tiny.size())), 0.0f);
  EXPECT_EQ(QLTP_atof("1e99999999999999999999", 22), std::numeric_limits<float>::infinity());
  EXPECT_EQ(QLTP_atof("1e-99999999999999999999", 23), 0.0f);
}

TEST(AtofTest, IgnoresTheProcessLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8");
  EXPECT_EQ(QLTP_atof("2.5", 3), 2.5f);
  char buf[31];
  ASSERT_EQ(QLTP_ftoa(2.5f, buf, sizeof buf, 2, 'f'), 1);
  EXPECT_STREQ(buf, "2.50");
  std::setlocale(LC_NUMERIC, saved.c_str());
  if (!comma) GTEST_LOG_(INFO) << "no comma locale installed; ran in the C locale";
}

// ---- integer writers ---------------------------------------------------------------

TEST(ItoaTest, WritesDecimalTextPaddedToThirtyBytes) {
  char buf[40];
  std::memset(buf, 'x', sizeof buf);
  ASSERT_EQ(QLTP_itoa(0, buf, 31), 1);
  EXPECT_STREQ(buf, "0");
  for (int i = 1; i <= 30; ++i) EXPECT_EQ(buf[i], '\0') << i;
  EXPECT_EQ(buf[31], 'x');
  ASSERT_EQ(QLTP_itoa(INT32_MIN, buf, 31), 1);
  EXPECT_STREQ(buf, "-2147483648");
  ASSERT_EQ(QLTP_itoa(2147483647, buf, 40), 1);
  EXPECT_STREQ(buf, "2147483647");
  ASSERT_EQ(QLTP_ltoa(INT64_MIN, buf, 31), 1);
  EXPECT_STREQ(buf, "-9223372036854775808");
  ASSERT_EQ(QLTP_ltoa(-42, buf, 31), 1);
  EXPECT_STREQ(buf, "-42");
}

TEST(ItoaTest, ShortBufferGetsToShortOnlyWhereItFits) {
  char buf[40];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(QLTP_itoa(5, buf, 30), 0);
  EXPECT_STREQ(buf, "TO_SHORT");
  EXPECT_EQ(QLTP_ltoa(5, buf, 9), 0);
  EXPECT_STREQ(buf, "TO_SHORT");
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(QLTP_itoa(5, buf, 4), 0);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(buf[1], 'x');
  EXPECT_EQ(QLTP_itoa(5, buf, 0), 0);
  EXPECT_EQ(QLTP_itoa(5, nullptr, 31), 0);
}

// ---- float writer ------------------------------------------------------------------

TEST(FtoaTest, FixedAndScientificText) {
  struct Case {
    float v;
    int ndig;
    char fmt;
    const char* expected;
  };
  const Case cases[] = {
      {3.14159f, 2, 'f', "3.14"},   {0.05f, 2, 'f', "0.05"},     {0.006f, 2, 'f', "0.01"},
      {9.999f, 1, 'f', "10.0"},     {9.999f, 2, 'F', "10.00"},   {0.0f, 0, 'f', "0.000000"},
      {-0.0f, 2, 'f', "0.00"},      {-2.5f, 1, 'f', "-2.5"},     {-0.001f, 2, 'f', "-0.00"},
      {1234.5f, 2, 'e', "1.23E3"},  {0.00123f, 2, 'e', "1.23E-3"}, {1.5f, 2, 'e', "1.50"},
      {9.999f, 2, 'x', "1.00E1"},   {0.0f, 3, 'e', "0.000"},     {-1e20f, 1, 'e', "-1.0E20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.expected));
    char buf[31];
    ASSERT_EQ(QLTP_ftoa(c.v, buf, sizeof buf, c.ndig, c.fmt), 1);
    EXPECT_STREQ(buf, c.expected);
  }
  char buf[31];
  ASSERT_EQ(QLTP_ftoa(123456.0f, buf, sizeof buf, 30, 'f'), 1);  // at most 22 decimals
  EXPECT_EQ(std::string(buf), "123456." + std::string(22, '0'));
}

TEST(FtoaTest, NonFiniteValues) {
  char buf[31];
  QLTP_ftoa(std::numeric_limits<float>::quiet_NaN(), buf, 31, 2, 'f');
  EXPECT_STREQ(buf, "nan");
  QLTP_ftoa(-std::numeric_limits<float>::quiet_NaN(), buf, 31, 2, 'e');
  EXPECT_STREQ(buf, "nan");
  QLTP_ftoa(std::numeric_limits<float>::infinity(), buf, 31, 2, 'f');
  EXPECT_STREQ(buf, "inf");
  QLTP_ftoa(-std::numeric_limits<float>::infinity(), buf, 31, 2, 'f');
  EXPECT_STREQ(buf, "-inf");
}

TEST(FtoaTest, NeverWritesPastTheBuffer) {
  // 1e30 in fixed notation with 6 decimals needs 38 bytes.
  std::vector<char> small(31, 'x');
  EXPECT_EQ(QLTP_ftoa(1e30f, small.data(), 31, 6, 'f'), 0);
  EXPECT_STREQ(small.data(), "TO_SHORT");
  std::vector<char> big(64);
  EXPECT_EQ(QLTP_ftoa(1e30f, big.data(), 64, 6, 'f'), 1);
  EXPECT_STREQ(big.data(), "1000000015047466219876688855040.000000");
  std::vector<char> tiny(5, 'x');
  EXPECT_EQ(QLTP_ftoa(1.0f, tiny.data(), 5, 2, 'f'), 0);
  EXPECT_EQ(tiny[0], '\0');
  EXPECT_EQ(QLTP_ftoa(1.0f, small.data(), 29, 2, 'f'), 0);
  EXPECT_STREQ(small.data(), "TO_SHORT");
  std::vector<char> exact_fit(30);
  EXPECT_EQ(QLTP_ftoa(-3.4028235e38f, exact_fit.data(), 30, 22, 'e'), 1);
  EXPECT_STREQ(exact_fit.data(), "-3.4028234663852885981170E38");
}

TEST(FtoaTest, MatchesPythonOnRandomFloats) {
  std::mt19937 rng(20240611);
  std::vector<std::string> lines;
  std::vector<float> values;
  std::vector<int> decimals;
  std::vector<char> fmts;
  std::uniform_int_distribution<int> exp10(-12, 8);
  std::uniform_real_distribution<double> mant(-10.0, 10.0);
  std::uniform_int_distribution<int> ndig(1, 8);
  for (int k = 0; k < 400; ++k) {
    float v = static_cast<float>(mant(rng) * std::pow(10.0, exp10(rng)));
    if (k % 10 == 0) v = static_cast<float>(std::round(mant(rng) * 1000) / 1000);  // ties and carries
    int d = ndig(rng);
    char f = (k % 2) ? 'f' : 'e';
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", bits);
    lines.push_back(std::string("ftoa ") + hex + " " + std::to_string(d) + " " + f);
    values.push_back(v);
    decimals.push_back(d);
    fmts.push_back(f);
  }
  auto ref = python_reference(lines);
  ASSERT_EQ(ref.size(), lines.size()) << "python reference failed";
  for (size_t k = 0; k < lines.size(); ++k) {
    std::string expected = ref[k];
    if (fmts[k] == 'e') {
      // "1.23e-03" -> "1.23E-3", "1.50e+00" -> "1.50"
      size_t e = expected.find('e');
      int x = std::stoi(expected.substr(e + 1));
      expected = expected.substr(0, e) + (x ? "E" + std::to_string(x) : "");
    }
    if (expected.rfind("-0", 0) == 0 && values[k] == 0.0f) expected.erase(0, 1);
    char buf[64];
    ASSERT_EQ(QLTP_ftoa(values[k], buf, sizeof buf, decimals[k], fmts[k]), 1) << lines[k];
    EXPECT_EQ(std::string(buf), expected) << lines[k];
  }
}

// ---- untrusted input ---------------------------------------------------------------

TEST(RandomInputTest, ReadersStayWithinTheGivenBytes) {
  std::mt19937 rng(7);
  const std::string alphabet = "0123456789+-.eE, \t\n\r\0xA\xC3\xFF";
  std::uniform_int_distribution<int> len_dist(1, 40);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  for (int k = 0; k < 3000; ++k) {
    std::string s(static_cast<size_t>(len_dist(rng)), ' ');
    for (auto& ch : s) ch = alphabet[pick(rng)];
    auto buf = exact(s);
    int n = static_cast<int>(buf.size());
    const char* p = buf.data();
    (void)QLTP_atoi(p, n);
    (void)QLTP_atol(p, n);
    (void)QLTP_atoisep(p, n, ',');
    (void)QLTP_atoifp(p, n, k % 12);
    float f = QLTP_atof(p, n);
    (void)f;
    float vals[8];
    EXPECT_LE(QLTP_strfield_floats(p, n, 8, vals), 8);
    EXPECT_LE(QLTP_strfield_len(p, n), n);
    int32_t v;
    int empty;
    const char* next = QLTP_unpack_noseq(p, n, 2, &v, &empty);
    EXPECT_TRUE(next >= p && next <= p + n);
    const char* hit = QLTP_strnstr(p, n, "e-", 2);
    EXPECT_TRUE(hit == nullptr || (hit >= p && hit + 2 <= p + n && hit[0] == 'e' && hit[1] == '-'));
    char* dup = QLTP_strndup(p, n);  // stops at a NUL or at n
    EXPECT_LE(static_cast<int>(std::strlen(dup)), n);
    QLTP_free(dup);
  }
}
