// The Java binding's native pieces that run without a virtual machine: the
// UTF-8/UTF-16 conversions and the phoneme_data record natives.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "client/orvelle.h"
#include "java/jni_support.h"

using orvelle_java::utf16_to_utf8;
using orvelle_java::utf8_to_utf16;

extern "C" {
jlong Java_com_quorlane_orvelle_orvelleJNI_new_1phoneme_1data(JNIEnv*, jclass);
void Java_com_quorlane_orvelle_orvelleJNI_delete_1phoneme_1data(JNIEnv*, jclass, jlong);
void Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1sample_1rate_1set(JNIEnv*, jclass, jlong, jobject, jlong);
jlong Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1sample_1rate_1get(JNIEnv*, jclass, jlong, jobject);
void Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1struct_1size_1set(JNIEnv*, jclass, jlong, jobject, jlong);
jlong Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1struct_1size_1get(JNIEnv*, jclass, jlong, jobject);
void Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1next_1sapi_1viseme_1set(JNIEnv*, jclass, jlong, jobject,
                                                                                jlong);
jlong Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1next_1sapi_1viseme_1get(JNIEnv*, jclass, jlong, jobject);
}

namespace {

const std::u16string kEmoji = u"\U0001F600";

TEST(JniStringTest, ConvertsEveryPlaneBothWays) {
  struct Case {
    std::u16string text;
    std::string bytes;
  } cases[] = {
      {u"", ""},
      {u"abc", "abc"},
      {u"caf\u00e9", "caf\xc3\xa9"},
      {u"\u20ac", "\xe2\x82\xac"},
      {kEmoji, "\xf0\x9f\x98\x80"},
      {u"a" + kEmoji + u"\U0010FFFF", "a\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
      // U+0000 in the virtual machine's form: a C string keeps what follows.
      {std::u16string(u"nul\0after", 9) + u'\0', "nul\xc0\x80" "after\xc0\x80"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf16_to_utf8(c.text), c.bytes);
    EXPECT_EQ(utf8_to_utf16(c.bytes), c.text);
  }
}

TEST(JniStringTest, UnpairedSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xD83D')), "\xef\xbf\xbd");
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xDE00') + u"x"), "\xef\xbf\xbdx");
  // A low half before its high half is two unpaired halves.
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'\xDE00', u'\xD83D'}), "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(JniStringTest, MalformedBytesBecomeReplacementCharacters) {
  const std::u16string r(1, u'\xFFFD');
  EXPECT_EQ(utf8_to_utf16("\xc0\x81"), r + r);          // overlong, not the form of U+0000
  EXPECT_EQ(utf8_to_utf16("\xc0"), r);                  // the form of U+0000 cut short
  EXPECT_EQ(utf8_to_utf16("\xe0\x80\x80"), r);          // overlong
  EXPECT_EQ(utf8_to_utf16("\xed\xa0\xbd\xed\xb8\x80"),  // surrogate halves encoded one by one
            r + r);
  EXPECT_EQ(utf8_to_utf16("\xf4\x90\x80\x80"), r);      // above U+10FFFF
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f\x98"), r);          // cut short at the end
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f" "a"), r + u"a");   // cut short before a letter
  EXPECT_EQ(utf8_to_utf16("\x80" "b\xff"), r + u"b" + r);
}

TEST(JniStringTest, RandomBytesDecodeToWellFormedText) {
  std::mt19937 rng(20240601);
  for (int round = 0; round < 5000; ++round) {
    std::string bytes(rng() % 48, '\0');
    for (char& b : bytes) {
      // Mostly bytes that start or continue sequences.
      b = static_cast<char>(rng() % 3 == 0 ? rng() % 0x80 : 0x80 + rng() % 0x80);
    }
    const std::u16string text = utf8_to_utf16(bytes);
    EXPECT_LE(text.size(), bytes.size());
    // Well formed: re-encoding and decoding again changes nothing.
    EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(text)), text) << round;
  }
}

TEST(JniStringTest, RandomTextRoundTrips) {
  std::mt19937 rng(7);
  for (int round = 0; round < 2000; ++round) {
    std::u16string text;
    for (int n = rng() % 16; n > 0; --n) {
      char32_t c = rng() % 0x110000;
      if (c >= 0xD800 && c <= 0xDFFF) c = 'x';
      if (c >= 0x10000) {
        c -= 0x10000;
        text += static_cast<char16_t>(0xD800 + (c >> 10));
        text += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
      } else {
        text += static_cast<char16_t>(c);
      }
    }
    EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(text)), text) << round;
  }
}

TEST(PhonemeDataNativesTest, NewRecordHoldsTheWholeStructZeroed) {
  const jlong cptr = Java_com_quorlane_orvelle_orvelleJNI_new_1phoneme_1data(nullptr, nullptr);
  ASSERT_NE(cptr, 0);
  const auto* record = reinterpret_cast<const phoneme_data*>(static_cast<std::uintptr_t>(cptr));
  EXPECT_EQ(record->phoneme, nullptr);
  EXPECT_EQ(record->next_phoneme, nullptr);
  // The last fields lie beyond 44 bytes on this platform; writing them must
  // stay inside the allocation (AddressSanitizer checks it).
  Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1struct_1size_1set(nullptr, nullptr, cptr, nullptr, 0x1FFFFFFFFLL);
  Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1next_1sapi_1viseme_1set(nullptr, nullptr, cptr, nullptr, 9);
  EXPECT_EQ(Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1struct_1size_1get(nullptr, nullptr, cptr, nullptr),
            0xFFFFFFFFLL);
  EXPECT_EQ(record->struct_size, 0xFFFFFFFFu);
  EXPECT_EQ(record->next_sapi_viseme, 9u);
  Java_com_quorlane_orvelle_orvelleJNI_delete_1phoneme_1data(nullptr, nullptr, cptr);
}

TEST(PhonemeDataNativesTest, NullRecordIsIgnored) {
  Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1sample_1rate_1set(nullptr, nullptr, 0, nullptr, 5);
  EXPECT_EQ(Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1sample_1rate_1get(nullptr, nullptr, 0, nullptr), 0);
  Java_com_quorlane_orvelle_orvelleJNI_delete_1phoneme_1data(nullptr, nullptr, 0);
}

}  // namespace
