#include "linguistics/phoneset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/tpdb_kinds.h"
#include "test_db.h"
#include "test_phoneset.h"

namespace {

using orvelle_test::kTestPhoneSet;

struct Set {
  phoneset* ps = QLTP_phoneset_new();
  ~Set() { QLTP_phoneset_delete(ps); }
};

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string Convert(phoneset* ps, const std::string& text) {
  dystr* d = QLTP_dystr_new(text.c_str(), static_cast<int>(text.size()));
  EXPECT_EQ(QLTP_phoneset_parse(ps, d, 0, -1), 1);
  std::string out = QLTP_dystr_cstr(d);
  QLTP_dystr_delete(d);
  return out;
}

TEST(PhoneSetTest, LoadsTheTestSetAndAnswersLookups) {
  Set s;
  ASSERT_EQ(QLTP_phoneset_load_file(s.ps, kTestPhoneSet), 1);
  EXPECT_EQ(QLTP_phoneset_nr_phones(s.ps), 4);
  EXPECT_EQ(QLTP_phoneset_nr_modifiers(s.ps), 4);
  EXPECT_EQ(QLTP_phoneset_nr_questions(s.ps), 1);
  EXPECT_EQ(QLTP_phoneset_nr_stresses(s.ps), 2);
  EXPECT_EQ(QLTP_phoneset_nr_features(s.ps), 8);
  EXPECT_EQ(QLTP_phoneset_nr_qrlnphone(s.ps), 4);

  struct Lookup {
    const char* what;
    int got, want;
  };
  const Lookup lookups[] = {
      {"phone k", QLTP_phoneset_find_phone(s.ps, "k", -1), 1},
      {"phone ɑ", QLTP_phoneset_find_phone(s.ps, "ɑ", -1), 4},
      {"phone of 1 char", QLTP_phoneset_find_phone(s.ps, "ɑk", 1), 4},
      {"absent phone", QLTP_phoneset_find_phone(s.ps, "x", -1), 0},
      {"qrln aa", QLTP_phoneset_find_qrlnphone_id(s.ps, "aa", -1), 4},
      {"qrln a of 1 byte", QLTP_phoneset_find_qrlnphone_id(s.ps, "aa", 1), 3},
      {"absent qrln", QLTP_phoneset_find_qrlnphone_id(s.ps, "zz", -1), 0},
      {"feature long", QLTP_phoneset_featurename_lookup(s.ps, "long", -1), 8},
      {"vowel a", QLTP_phoneset_phone_has_onset_feature(s.ps, 3, 1), 1},
      {"vowel k", QLTP_phoneset_phone_has_onset_feature(s.ps, 1, 1), 0},
      {"6 fields: offset is onset", QLTP_phoneset_phone_has_offset_feature(s.ps, 3, 8), 0},
      {"7 fields: own offset", QLTP_phoneset_phone_has_offset_feature(s.ps, 4, 8), 1},
      {"feature out of range", QLTP_phoneset_phone_has_onset_feature(s.ps, 3, 9), 0},
      {"phone out of range", QLTP_phoneset_phone_has_onset_feature(s.ps, 5, 1), 0},
      {"modifier ː", QLTP_phoneset_find_one_modifier(s.ps, "ː", -1), 4},
      {"modifier by chars", QLTP_phoneset_find_one_modifier(s.ps, "ˌk", 1), 2},
      {"name", QLTP_phoneset_chk_name(s.ps, "IPA"), 1},
      {"other name", QLTP_phoneset_chk_name(s.ps, "x-sampa"), 0},
      {"pid of qrln entry", QLTP_phoneset_pid_from_qrlnphone(s.ps, 3), 4},
  };
  for (const Lookup& l : lookups) EXPECT_EQ(l.got, l.want) << l.what;
  EXPECT_STREQ(QLTP_phoneset_featurename(s.ps, 3), "breaking symbol");
  EXPECT_EQ(QLTP_phoneset_featurename(s.ps, 0), nullptr);
  EXPECT_EQ(QLTP_phoneset_featurename(s.ps, 9), nullptr);
  EXPECT_STREQ(QLTP_phoneset_qrlnphone_symbol(s.ps, 3), "aa");
  EXPECT_EQ(QLTP_phoneset_get_phone_id(s.ps, 0), nullptr);
  EXPECT_EQ(QLTP_phoneset_find_qrlnphone(s.ps, "t", -1), QLTP_phoneset_get_phone_id(s.ps, 2));
  const phoneset_phone* a = QLTP_phoneset_get_phone_id(s.ps, 3);
  EXPECT_TRUE(a->is_vowel && a->is_basephone && a->resolved);
  EXPECT_FALSE(QLTP_phoneset_get_phone_id(s.ps, 1)->is_vowel);

  for (const char* own : {"quorlane", "QRLN", "default", "Vendor", ""}) EXPECT_EQ(QLTP_phoneset_chk_qorlname(own), 1);
  for (const char* other : {"ipa", "x-sampa", static_cast<const char*>(nullptr)}) EXPECT_EQ(QLTP_phoneset_chk_qorlname(other), 0);
  EXPECT_EQ(QLTP_phoneset_nr_phones(nullptr), 0);
  EXPECT_EQ(QLTP_phoneset_find_phone(nullptr, "k", -1), 0);
}

TEST(PhoneSetTest, ConvertsIpaIntoQrlnPhones) {
  Set s;
  ASSERT_EQ(QLTP_phoneset_load_file(s.ps, kTestPhoneSet), 1);
  const struct {
    const char* ipa;
    const char* qrln;
  } cases[] = {
      {"ˈkaːt", "k aa1 t"},  // ː reaches ɑ through the question tree
      {"kat", "k a0 t"},
      {"ˌtɑ", "t aa2"},
      {"ka.ta", "k a0 .t a0"},
      {"kaˌta", "k a0 t a2"},
      {"xyz", ""},
      {"", ""},
      {"ka.", "k a0 "},   // the output's last character goes, here a syllable mark
      {".", ""},
      {"xa", "a0"},       // characters that match nothing are dropped
  };
  for (const auto& c : cases) EXPECT_EQ(Convert(s.ps, c.ipa), c.qrln) << c.ipa;

  // A stress found before a consonant waits for the next vowel, even in
  // the next call.
  EXPECT_EQ(Convert(s.ps, "ˈk"), "k");
  EXPECT_EQ(Convert(s.ps, "a"), "a1");
  EXPECT_EQ(Convert(s.ps, "a"), "a0");

  // Only the span changes.
  const std::string span = "<ˈkaːt>";
  dystr* d = QLTP_dystr_new(span.c_str(), static_cast<int>(span.size()));
  EXPECT_EQ(QLTP_phoneset_parse(s.ps, d, 1, static_cast<int>(std::strlen("ˈkaːt"))), 1);
  EXPECT_STREQ(QLTP_dystr_cstr(d), "<k aa1 t>");
  QLTP_dystr_delete(d);
}

TEST(PhoneSetTest, RefusesBrokenTextsAndKeepsNothing) {
  const std::string good = kTestPhoneSet;
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"5 phone fields", Replace(good, "k 107 107", "k 107")},
      {"8 phone fields", Replace(good, "k 107 107", "k 107 107 1 2")},
      {"3 modifier fields", Replace(good, "2C0000000000000000000000 1", "2C0000000000000000000000")},
      {"2 question fields", Replace(good, "010000000000000000000000 aa a", "010000000000000000000000 aa")},
      {"4 stress fields", Replace(good, "000000000000000000000000 1\n", "1\n")},
      {"16 feature bytes", Replace(good, "NR_FEATURE_BYTES 12", "NR_FEATURE_BYTES 16")},
      {"no stress marker", Replace(Replace(good, "stress marker\n", "stressed\n"), "", "")},
      {"negative count", Replace(good, "NR_NAMES 2", "NR_NAMES -1")},
      {"count beyond the text", good + "NR_NAMES 3\nipa2\n"},
      {"question link out of range", Replace(good, "010000000000000000000000 aa a", "010000000000000000000000 2 a")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Set s;
    EXPECT_EQ(QLTP_phoneset_load_file(s.ps, c.text.c_str()), 0);
    EXPECT_EQ(QLTP_phoneset_nr_phones(s.ps), 0);
    EXPECT_EQ(QLTP_phoneset_find_phone(s.ps, "k", -1), 0);
    EXPECT_EQ(Convert(s.ps, "ka"), "");
  }
  Set s;
  EXPECT_EQ(QLTP_phoneset_load_file(s.ps, nullptr), 0);
}

TEST(PhoneSetTest, ReadsLinesWholeAndLoadsAgainCleanly) {
  Set s;
  // A long name stays one name; a cyclic tree loads and answers nothing.
  const std::string long_name(300, 'n');
  std::string text = Replace(kTestPhoneSet, "NR_NAMES 2\nipa\n", "NR_NAMES 3\nipa\n" + long_name + "\n");
  text = Replace(text, "NR_QUESTIONS 1\n010000000000000000000000 aa a",
                 "NR_QUESTIONS 2\n010000000000000000000000 2 a\n800000000000000000000000 b 1");
  testing::internal::CaptureStderr();
  text = Replace(text, "long\n", "long\nLong\n");
  text = Replace(text, "NR_FEATURES 8", "NR_FEATURES 9");
  ASSERT_EQ(QLTP_phoneset_load_file(s.ps, text.c_str()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(QLTP_phoneset_chk_name(s.ps, long_name.c_str()), 1);
  EXPECT_EQ(QLTP_phoneset_chk_name(s.ps, "x-test"), 1);
  EXPECT_EQ(Convert(s.ps, "aː"), "");  // long: question 2 asks vowel, yes goes back to 1

  testing::internal::CaptureStderr();
  ASSERT_EQ(QLTP_phoneset_load_file(s.ps, Replace(kTestPhoneSet, "long\n", "vowel\n").c_str()), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "WARN: Duplicate feature in phoneset: 'vowel', This voice will not load in future versions.\n");
  EXPECT_EQ(QLTP_phoneset_nr_features(s.ps), 8);
  EXPECT_EQ(QLTP_phoneset_chk_name(s.ps, long_name.c_str()), 0);
  EXPECT_EQ(QLTP_phoneset_nr_questions(s.ps), 1);
}

TEST(PhoneSetTest, PrintsRecordsAndTheSet) {
  Set s;
  ASSERT_EQ(QLTP_phoneset_load_file(s.ps, kTestPhoneSet), 1);
  testing::internal::CaptureStdout();
  QLTP_phoneset_phone_printf(QLTP_phoneset_get_phone_id(s.ps, 4));
  phoneset_modifier* m = QLTP_phoneset_modifier_new();
  ASSERT_EQ(QLTP_phoneset_modifier_set_from_str(m, "eX - 0A 0"), 1);
  QLTP_phoneset_modifier_printf(m);
  phoneset_question* q = QLTP_phoneset_question_new();
  ASSERT_EQ(QLTP_phoneset_question_set_from_str(q, "zz 3 no"), 1);
  QLTP_phoneset_question_printf(q);
  phoneset_stress* st = QLTP_phoneset_stress_new();
  ASSERT_EQ(QLTP_phoneset_stress_set_from_str(st, "01 02 03 04 1"), 1);
  QLTP_phoneset_stress_set_id(st, 2);
  QLTP_phoneset_stress_printf(st);
  QLTP_phoneset_phone_printf(nullptr);
  QLTP_phoneset_modifier_printf(nullptr);
  QLTP_phoneset_stress_printf(nullptr);
  const std::string z22(22, '0');
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "id: 4 symbol: ɑ onset features: C0" + z22 + " offset features: C1" + z22 +
                " onset ipa: 593 offset ipa: 593 qrln: aa\n"
                "id: 0 symbol: eX features to change: 0A" + z22 + " value:FALSE breaking:FALSE \n"
                "id: 0 query: " + std::string(24, '0') + " yes:3 no:no \n"
                "id: 2 stress: 1  feature sequence: 01" + z22 + " 02" + z22 + " 03" + z22 + " 04" + z22 + " \n"
                "phone not found\nmodifier not found\nstress not found\n");
  EXPECT_STREQ(QLTP_phoneset_modifier_symbol(m), "X");
  EXPECT_EQ(QLTP_phoneset_modifier_set_id(m, 0), 0);
  EXPECT_EQ(QLTP_phoneset_modifier_set_from_str(m, "eX - 0A"), 0);
  EXPECT_EQ(QLTP_phoneset_modifier_symbol(m), nullptr);
  QLTP_phoneset_modifier_delete(m);
  QLTP_phoneset_question_delete(q);
  QLTP_phoneset_stress_delete(st);

  testing::internal::CaptureStdout();
  QLTP_phoneset_printf(s.ps);
  const std::string all = testing::internal::GetCapturedStdout();
  EXPECT_EQ(all.substr(0, all.find("    id: 1")),
            "Phone set version: 1.0\nNumber of names: 2\n    \"ipa\"\n    \"x-test\"\nNumber of phone symbols: 4\n");
  for (const char* line : {"Number of modifier symbols: 4\n", "Number of questions: 1\n",
                           "Number of stress lookups: 2\n", "Number of feature names: 8\n    \"vowel\"\n"})
    EXPECT_NE(all.find(line), std::string::npos) << line;
  Set empty;
  testing::internal::CaptureStdout();
  QLTP_phoneset_printf(empty.ps);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Phone set version: \nNo phoneset names found\nNo phones found\nNo modifiers found\n"
            "No questions found\nNo stress lookups found\nNo feature names found\n");
}

TEST(PhoneSetTest, DebugLookupsLogJsonDetails) {
  logger* lg = QLTP_logger_new("TPC", 3, nullptr);
  QLTP_logger_set_store(lg);
  QLTP_logger_set_level(lg, QLTP_LOGGER_DEBUG);
  Set s;
  ASSERT_EQ(QLTP_phoneset_load_file(s.ps, Replace(kTestPhoneSet, "k - 4", "k\"\\ - 4").c_str()), 1);
  QLTP_phoneset_set_logger(s.ps, lg);
  // a and a combining tilde are looked up as the one character ã.
  EXPECT_EQ(QLTP_phoneset_find_phone_nondecomposed(s.ps, "k\"\\"), 1);
  EXPECT_EQ(QLTP_phoneset_find_phone_nondecomposed(s.ps, "a\xCC\x83"), 0);
  EXPECT_EQ(Convert(s.ps, "ˈta"), "t a1");
  std::string log;
  for (int i = 0; QLTP_logger_msg(lg, i); ++i) log += std::string(QLTP_logger_msg(lg, i)) + "\n";
  EXPECT_NE(log.find(R"({"original phone":"k\"\\","decomposed":"k\"\\","pid":1})"), std::string::npos) << log;
  EXPECT_NE(log.find("{\"original phone\":\"a\xCC\x83\",\"decomposed\":\"\xC3\xA3\",\"pid\":0}"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(R"(converted  "ˈta" from "ipa")"), std::string::npos) << log;
  EXPECT_NE(log.find(R"({"phoneset lookups":[{"t":"t"},{"a":"a1"}]})"), std::string::npos) << log;
  QLTP_logger_delete(lg);
}

TEST(PhoneSetTest, DatabaseObjectKeepsTheTextAndLoadsAPhoneSet) {
  orvelle_test::LoadedDb d("phoneset.tpdb", {{"TPOBJ_PHONESET:DEFAULT", orvelle_test::TextObject(kTestPhoneSet)}});
  void* object = QLTP_tpdb_get_tpdata(d.db, "TPOBJ_PHONESET:DEFAULT");
  ASSERT_NE(object, nullptr);
  // Written back it gives the stored bytes.
  const int slot = QLTP_tpobj_kind_of("TPOBJ_PHONESET", -1);
  const int32_t size = QLTP_TPOBJ_WRITE[slot](object, nullptr, 0);
  std::string bytes(static_cast<size_t>(size), '\0');
  EXPECT_EQ(QLTP_TPOBJ_WRITE[slot](object, bytes.data(), 0), 1);
  EXPECT_EQ(bytes, orvelle_test::TextObject(kTestPhoneSet));

  phoneset* ps = QLTP_tpdb_get_ipa(d.db);
  ASSERT_NE(ps, nullptr);
  EXPECT_EQ(Convert(ps, "ˈkaːt"), "k aa1 t");
  QLTP_phoneset_delete(ps);
  EXPECT_EQ(QLTP_tpdb_get_ipa(nullptr), nullptr);

  orvelle_test::LoadedDb bad("bad.tpdb", {{"TPOBJ_PHONESET:DEFAULT", orvelle_test::TextObject("VERSION 1\n")}});
  EXPECT_EQ(QLTP_tpdb_get_ipa(bad.db), nullptr);
}

// Mutated phone-set texts load or fail whole; a loaded one keeps its
// invariants and converts without harm.
TEST(PhoneSetTest, RandomMutationsLoadConsistentlyOrFail) {
  const std::string good = kTestPhoneSet;
  const std::string alphabet = " \n\r\t#0123456789abcdefABCDEFeˈː.-_NR_PHONES";
  std::mt19937 rng(140);
  int loaded = 0;
  Set s;
  for (int round = 0; round < 3000; ++round) {
    std::string text = good;
    for (int n = 1 + rng() % 4; n > 0; --n) {
      const size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: text.erase(at, 1 + rng() % 8); break;
        case 2: text.insert(at, 1, static_cast<char>(rng() % 256)); break;
        default: text.insert(at, text.substr(rng() % text.size(), rng() % 40)); break;
      }
      if (text.empty()) text = "x";
    }
    if (QLTP_phoneset_load_file(s.ps, text.c_str())) {
      ++loaded;
      for (int id = 1; id <= QLTP_phoneset_nr_phones(s.ps); ++id) {
        const phoneset_phone* p = QLTP_phoneset_get_phone_id(s.ps, id);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->id, id);
        ASSERT_TRUE(p->resolved);
        ASSERT_GE(QLTP_phoneset_find_phone(s.ps, p->symbol, -1), 1);
      }
      Convert(s.ps, "ˈkaːt.ˌtɑk");
    } else {
      ASSERT_EQ(QLTP_phoneset_nr_phones(s.ps), 0);
    }
  }
  EXPECT_GT(loaded, 100);
}

}  // namespace
