#include "client/inline_tokeniser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Mark(int chars_at, int bytes_at, int chars, int bytes) {
  return "<mark name=\"qrlntk_" + std::to_string(chars_at) + "_" + std::to_string(bytes_at) + "_" +
         std::to_string(chars) + "_" + std::to_string(bytes) + "\"/>";
}

std::string Tokenise(std::string_view text, bool xml) {
  InlineTokeniser t;
  t.TokeniseText(text, xml, true, 0);
  return t.tokenised_out();
}

int CountLeadBytes(std::string_view s) {
  int n = 0;
  for (unsigned char c : s)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

// Removes the token marks from markup output, checking on the way that each
// mark names the offsets and sizes of the input bytes that follow it.
std::string StripMarks(const std::string& out, const std::string& input) {
  static const std::string open = "<mark name=\"qrlntk_";
  std::string rest;
  std::size_t at = 0;
  while (at < out.size()) {
    if (out.compare(at, open.size(), open) != 0) {
      rest += out[at++];
      continue;
    }
    std::size_t end = out.find("\"/>", at);
    EXPECT_NE(end, std::string::npos);
    if (end == std::string::npos) return rest;
    std::string numbers = out.substr(at + open.size(), end - at - open.size());
    int chars_at = 0, bytes_at = 0, chars = 0, bytes = 0;
    EXPECT_EQ(std::sscanf(numbers.c_str(), "%d_%d_%d_%d", &chars_at, &bytes_at, &chars, &bytes), 4);
    EXPECT_EQ(static_cast<std::size_t>(bytes_at), rest.size());
    EXPECT_EQ(chars_at, CountLeadBytes(rest));
    std::string run = input.substr(rest.size(), static_cast<std::size_t>(bytes));
    EXPECT_EQ(chars, CountLeadBytes(run));
    at = end + 3;
  }
  return rest;
}

TEST(InlineTokeniserTest, CompilesEveryPattern) {
  InlineTokeniser t;
  EXPECT_TRUE(t.ok()) << t.pattern_error();
}

TEST(InlineTokeniserTest, WrapsEscapesAndMarksPlainText) {
  EXPECT_EQ(Tokenise("a<b", false), "<parent>" + Mark(0, 0, 1, 1) + "a&lt;" + Mark(2, 2, 1, 1) + "b</parent>");
  EXPECT_EQ(Tokenise("x & y>", false),
            "<parent>" + Mark(0, 0, 1, 1) + "x " + Mark(2, 2, 1, 1) + "&amp; " + Mark(4, 4, 2, 2) + "y&gt;</parent>");
  EXPECT_EQ(Tokenise("", false), "<parent></parent>");
}

TEST(InlineTokeniserTest, KeepsMarkupAndMarksOnlyTextRuns) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"<s a='1'>hi</s><br/>", "<s a='1'>" + Mark(9, 9, 2, 2) + "hi</s><br/>"},
      {"<?xml version=\"1.0\"?>\n<speak>ok</speak>", "<?xml version=\"1.0\"?>\n<speak>" + Mark(29, 29, 2, 2) + "ok</speak>"},
      {"<!-- hi -->x", "<!-- hi -->" + Mark(11, 11, 1, 1) + "x"},
      {"<![CDATA[a ]]> c", "<![CDATA[a ]]> " + Mark(15, 15, 1, 1) + "c"},
      {"< b", "< " + Mark(2, 2, 1, 1) + "b"},
      // A tag ends at its first '>' outside quotes, never at a later "/>".
      {"<s a='x>y'>z<b/>", "<s a='x>y'>" + Mark(11, 11, 1, 1) + "z<b/>"},
      {"<p>q</p>", "<p>" + Mark(3, 3, 1, 1) + "q</p>"},
      {"<a x=\"1\" y='2' / >", "<a x=\"1\" y='2' / >"},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokenise(c.in, true), c.out) << c.in;
}

TEST(InlineTokeniserTest, CountsCharactersAndBytesOfMultiByteText) {
  // U+2003 (em space) separates runs like any other white space.
  EXPECT_EQ(Tokenise("\xC3\xA9t\xC3\xA9\xE2\x80\x83" "b", true),
            Mark(0, 0, 3, 5) + "\xC3\xA9t\xC3\xA9\xE2\x80\x83" + Mark(4, 8, 1, 1) + "b");
}

TEST(InlineTokeniserTest, CommentsAndCdataSuppressMarksButAdvanceOffsets) {
  InlineTokeniser t;
  t.TokeniseText("<!-- a", true, false, 1);
  t.TokeniseText("", true, false, 1);
  EXPECT_EQ(t.TokeniseChunk(t.pending_in(), -1, true), 6u);
  EXPECT_TRUE(t.in_comment());
  EXPECT_EQ(t.tokenised_out(), "<!-- a");
  EXPECT_EQ(t.byte_offset(), 6);
  EXPECT_EQ(t.char_offset(), 6);
  EXPECT_EQ(t.TokeniseChunk(" --> b", -1, true), 6u);
  EXPECT_FALSE(t.in_comment());
  EXPECT_EQ(t.tokenised_out(), "<!-- a --> " + Mark(11, 11, 1, 1) + "b");
}

TEST(InlineTokeniserTest, FlushEndsAnOpenCommentSoTheNextRequestIsMarked) {
  InlineTokeniser t;
  t.TokeniseText("<!-- never closed", true, true, 0);
  EXPECT_FALSE(t.in_comment());
  EXPECT_EQ(t.byte_offset(), 0);
  t.TokeniseText("a", true, true, 0);
  EXPECT_EQ(t.tokenised_out(), Mark(0, 0, 1, 1) + "a");
}

TEST(InlineTokeniserTest, WrapsRunsInSigOnlyWhenProsodyIsSet) {
  InlineTokeniser t;
  t.TokeniseText("hi", true, true, 0);
  EXPECT_EQ(t.tokenised_out(), Mark(0, 0, 2, 2) + "hi");
  t.SetProsody(1.5f, -1.0f, 150.0f, -1.0f);
  t.TokeniseText("hi <b/>", true, true, 0);
  EXPECT_EQ(t.tokenised_out(), "<sig rate=\"1.50\" f0range=\"150.00\">" + Mark(0, 0, 2, 2) + "hi</sig> <b/>");
  t.SetProsody(-1.0f, 0.0f, -1.0f, -2.25f);
  t.TokeniseText("x", true, true, 0);
  EXPECT_EQ(t.tokenised_out(), "<sig f0=\"0.00\" amplitude=\"-2.25\">" + Mark(0, 0, 1, 1) + "x</sig>");
}

TEST(InlineTokeniserTest, EscapingStopsAtNulButOffsetsCountEveryByte) {
  std::string text("ab\0c d", 6);
  EXPECT_EQ(Tokenise(text, false), "<parent>" + Mark(0, 0, 4, 4) + "ab " + Mark(5, 5, 1, 1) + "d</parent>");
  EXPECT_EQ(Tokenise(text, true), Mark(0, 0, 4, 4) + text.substr(0, 5) + Mark(5, 5, 1, 1) + "d");
}

TEST(InlineTokeniserTest, BrokenUtf8BytesBecomeUnmarkedTokens) {
  EXPECT_EQ(Tokenise("a\xFF" "b \xC3", true), Mark(0, 0, 1, 1) + "a\xFF" + Mark(2, 2, 1, 1) + "b \xC3");
  EXPECT_EQ(Tokenise("\xE2\x82<x>", false), "<parent>\xE2\x82&lt;x&gt;</parent>");
}

TEST(InlineTokeniserTest, ChunkStopsAfterWholeTokensPastTheLimit) {
  InlineTokeniser t;
  EXPECT_EQ(t.TokeniseChunk("one two three", 2, true), 3u);
  EXPECT_EQ(t.tokenised_out(), Mark(0, 0, 3, 3) + "one");
  EXPECT_EQ(t.TokeniseChunk("one two three", 4, true), 4u);
  // A character whose last bytes have not arrived waits for them.
  InlineTokeniser u;
  EXPECT_EQ(u.TokeniseChunk("ab \xE2\x80", 5, true), 3u);
  EXPECT_EQ(u.TokeniseChunk("ab \xE2\x80", -1, true), 5u);
}

TEST(InlineTokeniserTest, StreamingMatchesOneShotOutput) {
  std::string text;
  std::mt19937 rng(7);
  const char* words[] = {"alpha", "b\xC3\xA9ta", "<i>", "</i>", "g&mma", "\xE2\x80\x83", "\n", "<br/>"};
  while (text.size() < 30000) {
    text += words[rng() % 8];
    text += ' ';
  }
  std::string one_shot = Tokenise(text, true);

  InlineTokeniser t;
  std::string streamed;
  for (std::size_t at = 0; at < text.size(); at += 999) {
    t.TokeniseText(std::string_view(text).substr(at, 999), true, false, 1);
    streamed += t.tokenised_out();
    EXPECT_LE(t.pending_in().size(), InlineTokeniser::pending_limit + 999);
  }
  t.TokeniseText("", true, true, 1);
  streamed += t.tokenised_out();
  EXPECT_EQ(streamed, one_shot);
  EXPECT_EQ(StripMarks(streamed, text), text);
}

TEST(InlineTokeniserTest, StreamingNeverSplitsACharacter) {
  InlineTokeniser t;
  std::string run;
  for (int i = 0; i < 4600; ++i) run += "\xC3\xA9";
  t.TokeniseText("x " + run + "\xC3", true, false, 1);
  EXPECT_EQ(t.pending_in(), "\xC3");
  std::string out = t.tokenised_out();
  t.TokeniseText("\xA9", true, true, 1);
  out += t.tokenised_out();
  EXPECT_EQ(out, Mark(0, 0, 1, 1) + "x " + Mark(2, 2, 4600, 9200) + run + Mark(4602, 9202, 1, 2) + "\xC3\xA9");
}

TEST(InlineTokeniserTest, TotokenCountsBytesBeyondOneSlice) {
  EXPECT_EQ(totoken("", 0), 0);
  EXPECT_EQ(totoken("", 4096), 0);
  EXPECT_EQ(totoken("", 5000), 904);
}

TEST(InlineTokeniserTest, FormatsNumbersWithTwoDecimals) {
  struct Case {
    float value;
    const char* text;
  } cases[] = {
      {1.5f, "1.50"},   {150.0f, "150.00"}, {0.0f, "0.00"},   {-2.25f, "-2.25"}, {0.05f, "0.05"},
      {0.004f, "0.00"}, {9.999f, "10.0"},   {0.999f, "1.0"},  {0.0999f, "0.1"},  {123.456f, "123.46"},
      {-0.5f, "-0.50"}, {1e-30f, "0.00"},   {99.995f, "100.0"},
  };
  for (const Case& c : cases) {
    char buffer[ftoa_buffer_size];
    EXPECT_EQ(QRLN_ftoa(buffer, sizeof buffer, c.value), 1) << c.text;
    EXPECT_STREQ(buffer, c.text);
  }
}

TEST(InlineTokeniserTest, NumberFormattingStaysInsideItsBuffer) {
  char buffer[ftoa_buffer_size];
  ASSERT_EQ(QRLN_ftoa(buffer, sizeof buffer, -FLT_MAX), 1);
  EXPECT_EQ(std::string(buffer).size(), 1u + 39u + 3u);
  EXPECT_EQ(std::string(buffer).substr(0, 5), "-3402");
  EXPECT_EQ(QRLN_ftoa(buffer, sizeof buffer, std::nanf("")), 0);
  EXPECT_STREQ(buffer, "nan");
  EXPECT_EQ(QRLN_ftoa(buffer, sizeof buffer, -INFINITY), 0);
  EXPECT_STREQ(buffer, "-inf");
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(QRLN_ftoa(small, sizeof small, 12.5f), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(QRLN_ftoa(small, sizeof small, 1.0f), 0);
  char exact[5];
  EXPECT_EQ(QRLN_ftoa(exact, sizeof exact, 1.0f), 1);
  EXPECT_STREQ(exact, "1.00");
}

TEST(InlineTokeniserTest, RandomInputAlwaysProgressesAndKeepsEveryByte) {
  const char* pieces[] = {"<", ">", "/", "!", "--", "-->", "<!--", "[", "]]>", "<![CDATA[", "?", "<?",
                          "=", "'", "\"", " ", "\n", "\t", "a", "word", "&", "\xC3\xA9", "\xE2\x80\x83",
                          "\xFF", "\xC3", "\x80", "(NUL)", "<!DOCTYPE ", "<x y='1'"};
  std::mt19937 rng(20240611);
  auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    int n = static_cast<int>(rng() % 60);
    for (int i = 0; i < n; ++i) {
      std::size_t k = rng() % std::size(pieces);
      input += (k == 26) ? std::string("\0", 1) : std::string(pieces[k]);
    }
    InlineTokeniser t;
    std::size_t consumed = t.TokeniseChunk(input, -1, true);
    ASSERT_EQ(consumed, input.size());
    EXPECT_EQ(t.byte_offset(), static_cast<int32_t>(input.size()));
    EXPECT_EQ(t.char_offset(), CountLeadBytes(input));
    ASSERT_EQ(StripMarks(t.tokenised_out(), input), input);
    InlineTokeniser plain;
    plain.TokeniseText(input, false, true, 0);
    // Escaped text leaves only the markup the tokeniser wrote itself.
    const std::string& out = plain.tokenised_out();
    std::size_t marks = 0;
    for (std::size_t at = out.find("<mark "); at != std::string::npos; at = out.find("<mark ", at + 1)) ++marks;
    EXPECT_EQ(std::count(out.begin(), out.end(), '<'), static_cast<std::ptrdiff_t>(marks + 2));
    EXPECT_EQ(std::count(out.begin(), out.end(), '>'), static_cast<std::ptrdiff_t>(marks + 2));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

TEST(InlineTokeniserTest, HostileMarkupFinishesInBoundedTime) {
  std::string input;
  for (int i = 0; i < 2000; ++i) input += "< a='x' b=\"";
  auto started = std::chrono::steady_clock::now();
  InlineTokeniser t;
  EXPECT_EQ(t.TokeniseChunk(input, -1, true), input.size());
  EXPECT_EQ(StripMarks(t.tokenised_out(), input), input);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

}  // namespace
