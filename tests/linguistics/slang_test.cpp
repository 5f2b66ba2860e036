#include "linguistics/slang.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "spurt_builder.h"

namespace {

using namespace orvelle_test;

std::string Repeat(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

// The spron with its blanks-and-full-stops phonemes, as the transforms write them.
std::string PhonemesOf(const std::string& spron) {
  std::string out;
  for (char c : spron) out += c == '|' ? std::string(" . ") : (c == '+' || c == '_') ? std::string(" ") : std::string(1, c);
  return out;
}

TEST(SlangTest, TransformsSpronsByAccent) {
  const std::string long_word = Repeat("a1_", 42) + "t";  // 127 bytes, 43 phones
  struct Case {
    const char* accent;
    const char* name;
    std::string spron;
    std::string want;  // empty: unchanged
  } cases[] = {
      {"ga", "piglatin", "k+a1+t|", "a1+t|k+ey1|"},
      {"ga", "gibberish", "k+a1+t|", "k+ah1+v+ax0|g+a1+t|"},
      {"ga", "ubbidubbi", "s_t+r+i1|", "s_t+r+ah1|b+i1|"},
      {"rp", "piglatin", "a1+t|", "a1+t|w+ei1|"},
      {"rpx", "piglatin", "s_t+r+i1|k+ax0|", "i1|k+ax0|s_t+r+ei1|"},
      {"ca", "ubbidubbi", "k+a1+t|", "k+u1|b+a1+t|"},
      {"ca", "piglatin", "k+a1+t|", "a1+t|k+e1_i0|"},
      {"it", "gibberish", "y+@1|", "y+u1+v+a0|g+@1|"},
      {"ga", "piglatin", "y2+e1|", "y2+e1|w+ey1|"},
      {"ga", "piglatin", "", "w+ey1|"},
      {"ga", "piglatin", "k_a1_t", "a1_t|k_ey1|"},  // unsyllabified: a syllable end is put in
      {"ga", "piglatin", "a1_t", "a1_t|w+ey1|"},
      // The word goes on in the next token: its open last syllable joins the one before.
      {"ga", "piglatin", "k+e1|s", "e1+s|k+ey1|"},
      {"ga", "piglatin", "s_t+r+e1|s", "e1+s|s_t+r+ey1|"},
      {"ga", "piglatin", "k+a1+t|s_t", "a1+t_s_t|k+ey1|"},
      {"ga", "piglatin", "a1|s", "a1+s|w+ey1|"},
      {"ga", "gibberish", long_word, Repeat("ah1+v+ax0|g+a1_", 42) + "t"},
      // Left unchanged.
      {"ga", "PigLatin", "k+a1+t|", ""},
      {"xx", "piglatin", "k+a1+t|", ""},
      {"ga", "piglatin", "s_t_r|", ""},
      {"ga", "piglatin", Repeat("k+a1|", 17), ""},
      {"ga", "ubbidubbi", Repeat("k_", 64) + "a1|", ""},
      {"ga", "gibberish", long_word + "|", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.accent) + " " + c.name + " " + c.spron);
    SpurtBuilder b;
    toxtoken* t = b.Word("w", "orig");
    QLTP_toxtag_set_attrib(QLTP_toxtoken_gettag(t, "lex"), "spron", -1, c.spron.c_str(), -1);
    EXPECT_EQ(QLTP_slang(c.accent, c.name, t), c.want.empty() ? 0 : 1);
    EXPECT_EQ(TagVal(t, "lex", "spron"), c.want.empty() ? c.spron : c.want);
    EXPECT_EQ(TagVal(t, "lex", "phonemes"), c.want.empty() ? "orig" : PhonemesOf(c.want));
    if (c.want.empty() || std::string(c.name) != "piglatin") continue;
    // Every syllable the game makes holds a vowel.
    spron made;
    const std::string spron_made = TagVal(t, "lex", "spron");
    ASSERT_EQ(QLTP_spron_fill(&made, spron_made.c_str()), 1);
    for (int syl = 0, phone = 0; syl < made.nsyl; ++syl) {
      bool vowel = false;
      for (; phone < made.nphone && made.phone[phone] < made.syl[syl] + made.syl_len[syl]; ++phone)
        vowel = vowel || std::strchr("aeiou@", made.phone[phone][0]) || (made.phone[phone][0] == 'y' && made.phone_len[phone] > 1);
      EXPECT_TRUE(vowel) << "syllable " << std::string(made.syl[syl], static_cast<size_t>(made.syl_len[syl]));
    }
  }
}

TEST(SlangTest, PigLatinPhonemesEndEachSyllableWithAFullStop) {
  SpurtBuilder b;
  toxtoken* t = b.Word("cat", "k a1 t");
  QLTP_toxtag_set_attrib(QLTP_toxtoken_gettag(t, "lex"), "spron", -1, "k+a1+t|", -1);
  ASSERT_EQ(QLTP_slang("ga", "piglatin", t), 1);
  EXPECT_EQ(TagVal(t, "lex", "phonemes"), "a1 t . k ey1 . ");
}

TEST(SlangTest, VoiceTagChoosesTheGameWhenNoneIsSet) {
  SpurtBuilder b;
  toxtoken* inside = b.Word("cat", "k a1 t");
  b.Tag(inside, "voice", {{"slang", "piglatin"}});
  toxtoken* outside = b.Word("cat", "k a1 t");
  for (toxtoken* t : {inside, outside})
    QLTP_toxtag_set_attrib(QLTP_toxtoken_gettag(t, "lex"), "spron", -1, "k+a1+t|", -1);
  EXPECT_EQ(QLTP_slang("ga", "", inside), 1);
  EXPECT_EQ(QLTP_slang("ga", nullptr, outside), 0);
  EXPECT_EQ(TagVal(inside, "lex", "spron"), "a1+t|k+ey1|");
  EXPECT_EQ(TagVal(outside, "lex", "spron"), "k+a1+t|");
  // The channel's setting wins over the tag.
  QLTP_toxtag_set_attrib(QLTP_toxtoken_gettag(outside, "lex"), "spron", -1, "k+a1+t|", -1);
  b.Tag(outside, "voice", {{"slang", "piglatin"}});
  EXPECT_EQ(QLTP_slang("ga", "gibberish", outside), 1);
  EXPECT_EQ(TagVal(outside, "lex", "spron"), "k+ah1+v+ax0|g+a1+t|");
}

TEST(SlangTest, ParsesSyllablesAndPhones) {
  spron* s = QLTP_spron_new();
  ASSERT_EQ(QLTP_spron_fill(s, "s_t+r+i1|k+ax0|"), 1);
  EXPECT_EQ(s->nsyl, 2);
  EXPECT_EQ(std::string(s->syl[1], static_cast<size_t>(s->syl_len[1])), "k+ax0");
  ASSERT_EQ(s->nphone, 6);
  EXPECT_EQ(std::string(s->phone[4], static_cast<size_t>(s->phone_len[4])), "k");
  EXPECT_EQ(std::string(s->phone[5], static_cast<size_t>(s->phone_len[5])), "ax0");
  EXPECT_EQ(QLTP_spron_fill(s, nullptr), 1);
  EXPECT_EQ(s->nsyl + s->nphone, 0);
  EXPECT_EQ(QLTP_spron_fill(s, Repeat("a1|", 17).c_str()), 0);
  EXPECT_EQ(QLTP_spron_fill(s, (Repeat("k_", 64) + "a1").c_str()), 0);
  QLTP_spron_delete(s);
  QLTP_spron_delete(nullptr);
}

}  // namespace
