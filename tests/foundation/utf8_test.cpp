#include "foundation/utf8.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "huge_text.h"
#include "scratch_dir.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

std::string hex(const Bytes& b) {
  std::string s;
  char two[3];
  for (unsigned char c : b) {
    std::snprintf(two, sizeof two, "%02x", c);
    s += two;
  }
  return s;
}

// Offsets of the first sequence Python's strict decoder rejects (-1: valid).
std::vector<int> python_utf8_offsets(const std::vector<Bytes>& cases) {
  orvelle_test::ScratchDir dir;
  std::string in = dir.Path("utf8_reference_in.txt");
  {
    std::ofstream f(in);
    for (const auto& c : cases) f << "utf8 " << hex(c) << '\n';
  }
  std::string cmd = std::string(ORVELLE_PYTHON) + " " + ORVELLE_SOURCE_DIR +
                    "/tests/foundation/reference.py < " + in;
  std::vector<int> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  int v;
  while (std::fscanf(p, "%d", &v) == 1) out.push_back(v);
  pclose(p);
  return out;
}

int check(const Bytes& b, int* n) {
  // An exact-size heap copy: any read past the length is an ASan report.
  std::vector<char> buf(b.begin(), b.end());
  return QLTP_check_utf8(buf.data(), static_cast<int>(buf.size()), n);
}

const char* cstr(const Bytes& b) { return reinterpret_cast<const char*>(b.data()); }

}  // namespace

TEST(Utf8Test, TrailingByteTable) {
  for (int b = 0; b < 256; ++b) {
    int expected = b < 0xC0 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : b < 0xF8 ? 3 : b < 0xFC ? 4 : 5;
    EXPECT_EQ(trailingBytesForUTF8[b], expected) << b;
    char s[2] = {static_cast<char>(b), 0};
    EXPECT_EQ(QLTP_u8_seqlen(s), expected + 1) << b;
  }
}

// ---- validation ----------------------------------------------------------------

TEST(Utf8CheckTest, OffsetAndSizeOfFirstBadSequence) {
  struct Case {
    Bytes bytes;
    int offset;
    int size;
  };
  const Case cases[] = {
      {{'a', 'b', 'c'}, -1, -1},
      {{'a', 0xC3}, 1, 1},                // cut by the end
      {{0xE0, 0x80, 0x80}, 0, 2},         // overlong
      {{0xED, 0xA0, 0x80}, 0, 2},         // surrogate
      {{0xF4, 0x90, 0x80, 0x80}, 0, 3},   // above U+10FFFF
      {{0x80}, 0, 1},                     // stray continuation
      {{0xE2, 0x82, 0x41}, 0, 1},
      {{0xC1, 0xBF}, 0, 1},               // overlong two-byte lead
      {{'x', 0x00, 'y'}, 1, 1},           // a NUL inside the text
      {{0xFF, 'a', 'b'}, 0, 2},
      {{'a', 0xFF}, 1, 1},                // the size stays inside the text
      {{0xF5, 0x80, 0x80, 0x80}, 0, 3},
      {{0xF0, 0x80, 0x80, 0x80}, 0, 3},
      {{0xF0, 0x9F, 0x98}, 0, 3},         // cut four-byte sequence: len 3
      {{0xF0, 0x9F, 0x41, 0x80}, 0, 2},
      {{0xF0, 0x9F, 0x98, 0x41}, 0, 1},
      {{0xC3, 'a'}, 0, 1},
      {{0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 'z'}, -1, -1},
      {{0xEF, 0xBF, 0xBF, 0xF4, 0x8F, 0xBF, 0xBF}, -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hex(c.bytes));
    int n = 99;
    EXPECT_EQ(check(c.bytes, &n), c.offset);
    EXPECT_EQ(n, c.size);
  }
  int n = 0;
  EXPECT_EQ(QLTP_check_utf8(nullptr, 5, &n), -1);
  EXPECT_EQ(QLTP_check_utf8("\xC3", 0, &n), -1);
  EXPECT_EQ(QLTP_check_utf8("abc", 3, nullptr), -1);
}

TEST(Utf8CheckTest, AgreesWithPythonDecoderOnRandomAndMalformedBytes) {
  std::mt19937 rng(12345);
  // Byte classes that make malformed sequences likely: ASCII, continuation
  // bytes, every kind of lead, the edges of the overlong and surrogate ranges.
  const Bytes pool = {'a',  'Z',  ' ',  0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                      0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1,
                      0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFE, 0xFF, 0x00};
  std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
  std::uniform_int_distribution<int> any(0, 255);
  std::uniform_int_distribution<int> len(0, 12);
  std::uniform_int_distribution<uint32_t> cp(0, 0x10FFFF);
  std::vector<Bytes> cases;
  for (int k = 0; k < 3000; ++k) {
    Bytes b;
    int n = len(rng);
    if (k % 3 == 0) {
      // Valid text with one byte replaced.
      for (int j = 0; j < n; ++j) {
        uint32_t c = cp(rng);
        if (c >= 0xD800 && c <= 0xDFFF) c = 'q';
        if (c == 0) c = 'z';
        char out[5];
        QLTP_unicode2utf8(c, out);
        for (int m = 0; m < 4 && out[m]; ++m) b.push_back(static_cast<unsigned char>(out[m]));
      }
      if (!b.empty() && k % 2) b[static_cast<size_t>(any(rng)) % b.size()] = pool[pick(rng)];
    } else {
      for (int j = 0; j < n; ++j) b.push_back(k % 3 == 1 ? pool[pick(rng)] : static_cast<unsigned char>(any(rng)));
    }
    cases.push_back(b);
  }
  auto ref = python_utf8_offsets(cases);
  ASSERT_EQ(ref.size(), cases.size()) << "python reference failed";
  int invalid = 0;
  for (size_t k = 0; k < cases.size(); ++k) {
    // Python accepts U+0000; here a NUL is an error at its own offset.
    int expected = ref[k];
    for (size_t j = 0; j < cases[k].size(); ++j) {
      if (cases[k][j] == 0) {
        if (expected < 0 || static_cast<int>(j) < expected) expected = static_cast<int>(j);
        break;
      }
    }
    int n = 0;
    int got = check(cases[k], &n);
    EXPECT_EQ(got, expected) << hex(cases[k]);
    if (got >= 0) {
      ++invalid;
      EXPECT_GE(n, 1) << hex(cases[k]);
      EXPECT_LE(got + n, static_cast<int>(cases[k].size())) << hex(cases[k]);
    } else {
      EXPECT_EQ(n, -1);
    }
  }
  EXPECT_GT(invalid, 500);
  EXPECT_LT(invalid, 2900);
}

// ---- conversions -----------------------------------------------------------------

TEST(Utf8ConvertTest, EncodeDecodeRoundTrip) {
  char out[5];
  ASSERT_EQ(QLTP_unicode2utf8(0x20AC, out), 1);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{0xE2, 0x82, 0xAC, 0, 0}));
  std::memset(out, 'x', 5);
  EXPECT_EQ(QLTP_unicode2utf8(0x110000, out), 0);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{0, 0, 0, 0, 0}));
  for (uint32_t cp : {0x0u, 0x41u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    SCOPED_TRACE(cp);
    ASSERT_EQ(QLTP_unicode2utf8(cp, out), 1);
    int len = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    if (cp != 0) {
      EXPECT_EQ(static_cast<int>(std::strlen(out)), len);
    }
    uint32_t back = 12345;
    ASSERT_EQ(QLTP_utf82unicode(&back, out), 1);
    EXPECT_EQ(back, cp);
  }
}

TEST(Utf8ConvertTest, DecodeRejectsBadLeadAndMissingContinuation) {
  uint32_t cp = 0;
  EXPECT_EQ(QLTP_utf82unicode(&cp, "\x80"), 0);
  EXPECT_EQ(QLTP_utf82unicode(&cp, "\xF8\x80\x80\x80\x80"), 0);
  EXPECT_EQ(QLTP_utf82unicode(&cp, "\xE2\x82"), 0);  // stops at the NUL
  EXPECT_EQ(QLTP_utf82unicode(&cp, "\xE2\x41\xAC"), 0);
  ASSERT_EQ(QLTP_utf82unicode(&cp, "\xC0\x80"), 1);  // overlong forms decode
  EXPECT_EQ(cp, 0u);
  EXPECT_EQ(QLTP_utf82unicode(nullptr, "a"), 0);
  EXPECT_EQ(QLTP_utf82unicode(&cp, nullptr), 0);
  // Exact-size buffer: a cut sequence is not read past its end.
  std::vector<char> cut = {'\xF0', '\x9F', '\0'};
  EXPECT_EQ(QLTP_utf82unicode(&cp, cut.data()), 0);
}

TEST(Utf8ConvertTest, Latin1ByteToUtf8) {
  struct Case {
    unsigned char b;
    int result;
    Bytes out;
  };
  const Case cases[] = {{0xE9, 1, {0xC3, 0xA9, 0}}, {0xA0, 1, {0xC2, 0xA0, 0}},
                        {0x41, 0, {0x41, 0, 0}},    {0xFF, 1, {0xC3, 0xBF, 0}},
                        {0x80, 1, {0xC2, 0x80, 0}}, {0xC0, 1, {0xC3, 0x80, 0}}};
  for (const auto& c : cases) {
    char out[3] = {'x', 'x', 'x'};
    EXPECT_EQ(QLTP_utf82ISO88591(c.b, out), c.result) << int(c.b);
    EXPECT_EQ(Bytes(out, out + 3), c.out) << int(c.b);
  }
}

// ---- stepping and counting ----------------------------------------------------------

TEST(Utf8StepTest, CountsAndPositions) {
  const Bytes s = {'h', 0xC3, 0xA9, 'l', 'l', 'o', 0};
  EXPECT_EQ(QLTP_u8_strlen(cstr(s)), 5);
  EXPECT_EQ(QLTP_u8_bytelen(cstr(s), 2), 3);
  EXPECT_EQ(QLTP_u8_bytelen(cstr(s), 5), 6);
  EXPECT_EQ(QLTP_u8_bytelen(cstr(s), 9), 0);
  EXPECT_EQ(QLTP_u8_bytelen(cstr(s), 0), 0);
  EXPECT_EQ(QLTP_u8_at(cstr(s), 2), cstr(s) + 3);
  EXPECT_EQ(QLTP_u8_at(cstr(s), 5), cstr(s) + 6);
  EXPECT_EQ(QLTP_u8_at(cstr(s), 50), cstr(s) + 6);
  EXPECT_EQ(QLTP_u8_at(cstr(s), -1), cstr(s));
  EXPECT_EQ(QLTP_u8_strlen(""), 0);
  EXPECT_EQ(QLTP_u8_strlen(nullptr), 0);
  EXPECT_EQ(QLTP_u8_at(nullptr, 2), nullptr);
  // A lead byte followed by five continuation bytes counts as two characters.
  EXPECT_EQ(QLTP_u8_strlen("\xFC\x80\x80\x80\x80\x80"), 2);
  // More characters than an int holds: refused with 0.
  HugeText huge((uint64_t{1} << 31) + 5);
  EXPECT_EQ(QLTP_u8_strlen(huge.data()), 0);
}

TEST(Utf8StepTest, IncAndDec) {
  const Bytes s = {'a', 0xE2, 0x82, 0xAC, 'b', 0};
  int i = 1;
  QLTP_u8_inc(cstr(s), &i);
  EXPECT_EQ(i, 4);
  QLTP_u8_inc(cstr(s), &i);
  EXPECT_EQ(i, 5);
  i = 4;
  QLTP_u8_dec(cstr(s), &i, 4);
  EXPECT_EQ(i, 1);
  i = 0;
  QLTP_u8_dec(cstr(s), &i, 4);
  EXPECT_EQ(i, -1);
  i = 7;
  QLTP_u8_dec(cstr(s), &i, 5);
  EXPECT_EQ(i, 6);
  // At most four bytes back.
  const Bytes cont = {'a', 0x80, 0x80, 0x80, 0x80, 0x80, 0};
  i = 6;
  QLTP_u8_dec(cstr(cont), &i, 6);
  EXPECT_EQ(i, 2);
  // A cut sequence at the end: inc stops at the NUL.
  std::vector<char> cut = {'\xE2', '\x82', '\0'};
  i = 0;
  QLTP_u8_inc(cut.data(), &i);
  EXPECT_EQ(i, 2);
  i = 2;  // on the NUL: one step, nothing after it is read
  QLTP_u8_inc(cut.data(), &i);
  EXPECT_EQ(i, 3);
}

// ---- copies -----------------------------------------------------------------------

TEST(Utf8CopyTest, NextCharCopiesOneSequence) {
  char buf[5];
  EXPECT_EQ(QLTP_next_utf8_char("\xE2\x82\xAC!", buf), 3);
  EXPECT_STREQ(buf, "\xE2\x82\xAC");
  EXPECT_EQ(QLTP_next_utf8_char("A", buf), 1);
  EXPECT_STREQ(buf, "A");
  EXPECT_EQ(QLTP_next_utf8_char("\x82\xAC", buf), 1);  // continuation byte: itself
  // A truncated sequence stops at the NUL (exact-size buffer).
  std::vector<char> cut = {'\xF0', '\x9F', '\0'};
  EXPECT_EQ(QLTP_next_utf8_char(cut.data(), buf), 2);
  EXPECT_STREQ(buf, "\xF0\x9F");
  EXPECT_EQ(QLTP_next_utf8_char("\xE2" "A", buf), 1);
  // Never more than four bytes, even after a six-byte lead.
  std::vector<char> out(5, 'x');
  EXPECT_EQ(QLTP_next_utf8_char("\xFC\x80\x80\x80\x80\x80", out.data()), 4);
  EXPECT_EQ(out[4], '\0');
  EXPECT_EQ(QLTP_next_utf8_char(nullptr, buf), 0);
}

TEST(Utf8CopyTest, StrncpyCopiesWholeCharacters) {
  char dst[8];
  std::memset(dst, 'x', sizeof dst);
  EXPECT_EQ(QLTP_utf8_strncpy(dst, "a\xC3\xA9", 2), 1);
  EXPECT_EQ(std::string(dst, 2), std::string("a\0", 2));
  std::memset(dst, 'x', sizeof dst);
  EXPECT_EQ(QLTP_utf8_strncpy(dst, "a\xC3\xA9", 3), 3);  // fills the limit: no NUL
  EXPECT_EQ(std::string(dst, 4), "a\xC3\xA9x");
  std::memset(dst, 'x', sizeof dst);
  EXPECT_EQ(QLTP_utf8_strncpy(dst, "ab", 6), 2);
  EXPECT_STREQ(dst, "ab");
  std::memset(dst, 'x', sizeof dst);
  EXPECT_EQ(QLTP_utf8_strncpy(dst, "\xE2\x82\xAC", 2), 0);
  EXPECT_EQ(dst[0], '\0');
  std::memset(dst, 'x', sizeof dst);
  EXPECT_EQ(QLTP_utf8_strncpy(dst, "abc", 0), 0);
  EXPECT_EQ(dst[0], 'x');
  // A cut sequence at the end of the source is copied up to its NUL only.
  std::vector<char> cut = {'a', '\xE2', '\x82', '\0'};
  std::memset(dst, 'x', sizeof dst);
  EXPECT_EQ(QLTP_utf8_strncpy(dst, cut.data(), 7), 3);
  EXPECT_EQ(std::string(dst, 4), std::string("a\xE2\x82\0", 4));
}

TEST(Utf8RandomInputTest, SteppersStayInsideTheText) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> any(1, 255);
  std::uniform_int_distribution<int> len(0, 16);
  for (int k = 0; k < 3000; ++k) {
    std::vector<char> s(static_cast<size_t>(len(rng)) + 1);
    for (size_t j = 0; j + 1 < s.size(); ++j) s[j] = static_cast<char>(any(rng) | (k % 2 ? 0x80 : 0));
    s.back() = '\0';
    const char* p = s.data();
    int chars = QLTP_u8_strlen(p);
    EXPECT_LE(chars, static_cast<int>(s.size()) - 1);
    EXPECT_EQ(QLTP_u8_bytelen(p, chars), static_cast<int>(s.size()) - 1);
    EXPECT_EQ(QLTP_u8_at(p, chars), p + s.size() - 1);
    char buf[5];
    for (const char* q = p; *q; q += QLTP_next_utf8_char(q, buf)) {
    }
    uint32_t cp;
    for (const char* q = p; *q; ++q) (void)QLTP_utf82unicode(&cp, q);
    char dst[17];
    int copied = QLTP_utf8_strncpy(dst, p, 16);
    EXPECT_LE(copied, 16);
    int i = static_cast<int>(s.size()) - 1;
    while (i > 0) {
      int before = i;
      QLTP_u8_dec(p, &i, static_cast<int>(s.size()) - 1);
      EXPECT_LT(i, before);
      EXPECT_GE(i, 0);
    }
  }
}

TEST(Utf8SequenceTest, LengthOfWellFormedCutAndBadSequences) {
  struct Case { const char* bytes; size_t n; int want; };
  const Case cases[] = {
      {"a", 1, 1},           {"\0", 1, 1},            {"\xC3\xA9", 2, 2},
      {"\xC3", 1, -1},       {"\xE2\x82\xAC", 3, 3},  {"\xE2\x82", 2, -1},
      {"\xF0\x9F\x98\x80", 4, 4}, {"\xF0\x9F\x98", 3, -1},
      {"\xC0\xAF", 2, 0},    {"\xE0\x80\xAF", 3, 0},  {"\xED\xA0\x80", 3, 0},
      {"\xF4\x90\x80\x80", 4, 0}, {"\x80", 1, 0},     {"\xFF", 1, 0},
      {"\xC3\x41", 2, 0},    {"\xE2\x82\x41", 3, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(c.bytes), c.n), c.want)
        << "case with " << c.n << " bytes starting " << std::hex
        << (static_cast<unsigned>(static_cast<unsigned char>(c.bytes[0])));
}

TEST(Utf8SequenceTest, AppendRoundTripsThroughDecoder) {
  for (uint32_t cp : {0x41u, 0xE9u, 0x7FFu, 0x800u, 0x20ACu, 0xFFFFu, 0x10000u, 0x1F600u, 0x10FFFFu}) {
    std::string out;
    QLTP_utf8_append(out, cp);
    uint32_t back = 0;
    ASSERT_GT(QLTP_utf82unicode(&back, out.c_str()), 0) << cp;
    EXPECT_EQ(back, cp);
    EXPECT_EQ(QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(out.data()), out.size()),
              static_cast<int>(out.size()));
  }
  std::string none;
  QLTP_utf8_append(none, 0x110000);
  EXPECT_TRUE(none.empty());
}

// Markup names: what the XML reader takes as an element name is a name, and
// nothing else is, for names built from characters of every class.
TEST(Utf8NameTest, MarkupNamesAreWhatTheXmlReaderTakes) {
  const std::pair<const char*, int> known[] = {
      {"b", 1},          {"say-as", 1},          {"xml:lang", 1},   {"_x.1", 1},          {"voic\xc3\xa9" "e", 1},
      {"x\xc2\xb7", 1},  {"\xf0\x90\x80\x80", 1}, {"b[", 0},         {"1x", 0},            {"-a", 0},
      {"", 0},           {"voic\xe9\xe9" "e", 0}, {"a b", 0},        {"\xc2\xb7x", 0},     {"a\xc3\x97", 0},
      {"a\xef\xbf\xbe", 0}, {"ti]e", 0},          {"a\xed\xa0\x80", 0}};
  for (const auto& [name, want] : known) EXPECT_EQ(QLTP_xml_name(name, -1), want) << name;
  EXPECT_EQ(QLTP_xml_name("ab[", 2), 1);
  EXPECT_EQ(QLTP_xml_name(nullptr, -1), 0);

  // Every character class a name may or may not hold; ':' is left out, as
  // the reader checks prefixes beyond the name itself.
  const std::vector<std::string> pieces = {"a", "Z", "_", "-", ".", "0", " ", "[", "'", "\xc3\xa9", "\xc2\xb7",
                                           "\xcc\x81", "\xe2\x80\xbf", "\xe2\x80\x8c", "\xc3\x97", "\xef\xbf\xbe",
                                           "\xf0\x90\x80\x80", "\xff", "\xe3\x80\x80", "\xe3\x80\x81"};
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    std::string name;
    for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) name += pieces[rng() % pieces.size()];
    const std::string doc = "<" + name + "/>";
    xmlDoc* parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), nullptr, "UTF-8",
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    const xmlNode* root = parsed ? xmlDocGetRootElement(parsed) : nullptr;
    const bool taken = root && name == reinterpret_cast<const char*>(root->name);
    xmlFreeDoc(parsed);
    EXPECT_EQ(QLTP_xml_name(name.data(), static_cast<int>(name.size())), taken ? 1 : 0) << name;
  }
}
