// The phone set of the linguistic tests: base phones k and t, vowels a and
// ɑ (qrln k, t, a, aa); modifiers ˈ and ˌ (stress markers), "." (syllable
// break) and ː (long); one question (long gives "aa", else "a"); stresses
// primary "1" and secondary "2".
#pragma once

namespace orvelle_test {

inline constexpr char kTestPhoneSet[] =
    "# A small IPA phone set: k, t and the vowels a and ɑ\n"
    "VERSION 1.0\n"
    "NR_FEATURE_BYTES 12\n"
    "NR_NAMES 2\n"
    "ipa\n"
    "x-test\n"
    "NR_FEATURES 8\n"
    "vowel\n"
    "basephone\n"
    "breaking symbol\n"
    "syllable break\n"
    "stress marker\n"
    "primary\n"
    "secondary\n"
    "long\n"
    "NR_PHONES 4\n"
    "k - 400000000000000000000000 k 107 107\n"
    "t - 400000000000000000000000 t 116 116\n"
    "a - C00000000000000000000000 a 97 97\n"
    "ɑ - C00000000000000000000000 C10000000000000000000000 aa 593 593\n"
    "NR_MODIFIERS 4\n"
    "eˈ - 2C0000000000000000000000 1\n"
    "eˌ - 2A0000000000000000000000 1\n"
    "e. - 300000000000000000000000 1\n"
    "eː - 010000000000000000000000 1\n"
    "NR_QUESTIONS 1\n"
    "010000000000000000000000 aa a\n"
    "NR_STRESSES 2\n"
    "040000000000000000000000 000000000000000000000000 000000000000000000000000 000000000000000000000000 1\n"
    "020000000000000000000000 000000000000000000000000 000000000000000000000000 000000000000000000000000 2\n";

}  // namespace orvelle_test
