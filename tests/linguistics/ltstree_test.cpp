#include "linguistics/ltstree.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/tpdb.h"
#include "lts_data.h"

namespace {

using orvelle_test::NodeSpec;
using orvelle_test::TreeSpec;

// A tree set read from bytes through a file, as the file reader sees it.
lts* LoadBytes(const std::string& bytes, int swap = 0) {
  FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  lts* set = QLTP_lts_load(f, swap);
  std::fclose(f);
  return set;
}

std::string Phones(lts* set, const std::string& word, logger* log = nullptr) {
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  const char* r = QLTP_runlts(set, word.c_str(), log, 0, padded, out);
  std::string result = r ? r : "<none>";
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  return result;
}

struct Case {
  const char* word;
  const char* phones;
};

TEST(LtsTreeTest, RunsTheTreesOfEachLetterInBothByteOrders) {
  for (bool swap : {false, true}) {
    SCOPED_TRACE(swap);
    lts* set = LoadBytes(orvelle_test::TreeSetBytes(orvelle_test::SmallTrees(), swap), swap);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->context, 1);
    const Case cases[] = {{"ab", "ae1 b"}, {"tat", "t ey0 t"}, {"a", "ey1"}, {"ba", "b ey1"},
                          {"tt", "t"},     {"", ""},           {"ttab", "t ae1 b"}};
    for (const auto& c : cases) EXPECT_EQ(Phones(set, c.word), c.phones) << c.word;
    QLTP_lts_delete(set);
  }
}

TEST(LtsTreeTest, RecordsGiveTerminalOutputsAndNodeLinksAfterTheBias) {
  lts* set = LoadBytes(orvelle_test::TreeSetBytes(orvelle_test::SmallTrees()));
  ASSERT_NE(set, nullptr);
  auto* a = static_cast<ltstree*>(QLTP_voidparray_idx(set->trees, 0));
  ltsrecord r;
  ASSERT_TRUE(QLTP_ltstree_get_record(a, 2, &r));
  EXPECT_STREQ(r.question, "#");
  EXPECT_EQ(r.yes, -1);
  EXPECT_STREQ(r.output, "ey0");
  ASSERT_TRUE(QLTP_ltstree_get_record(a, 4, &r));
  EXPECT_STREQ(r.question, "p.name");
  EXPECT_STREQ(r.value, "t");
  EXPECT_EQ(r.yes, 2);
  EXPECT_EQ(r.no, 1);
  EXPECT_STREQ(r.output, "#");
  EXPECT_FALSE(QLTP_ltstree_get_record(a, 5, &r));
  QLTP_lts_delete(set);
}

// Repeats, "#" outputs, lone terminals and the left context at the word's
// start, each with the trees that show it.
TEST(LtsTreeTest, DropsRepeatedPhonesAndSilentLetters) {
  struct Set {
    std::vector<TreeSpec> trees;
    std::vector<Case> cases;
  };
  const Set sets[4] = {
      {{{"h", {"#"}, {}}, {"x", {"#", "k"}, {{"n.name", "x", 0, 1}}}}, {{"hh", ""}, {"xx", "k"}, {"hxh", "k"}}},
      {{{"e", {"iy1", "iy0", "iy"}, {{"n.name", "e", 0, 4}, {"n.name", "x", 2, 1}}}, {"x", {"k_s"}, {}}},
       {{"ee", "iy1"}, {"eex", "iy1 iy k s"}, {"e", "iy0"}}},
      // Width 2: "pp" tests two places back, "#" at the word's start.
      {{{"o", {"ow1", "aa1"}, {{"p.p.name", "#", 0, 1}}}, {"s", {"s"}, {}}}, {{"o", "ow1"}, {"so", "s ow1"}, {"sso", "s aa1"}}},
      // The window steps whole characters of the padded word.
      {{{"\xc3\xa9", {"ey1"}, {}}, {"a", {"x", "y"}, {{"p.name", "\xc3\xa9", 0, 1}}}},
       {{"\xc3\xa9" "a", "ey1 x"}, {"a\xc3\xa9" "a", "y ey1 x"}, {"\xc3\xa9\xc3\xa9" "a", "ey1 x"}}},
  };
  // A string table longer than any line buffer is read whole.
  std::string long_output = "ah";
  while (long_output.size() < 400) long_output += "_ah";
  std::string long_phones = long_output;
  for (char& ch : long_phones)
    if (ch == '_') ch = ' ';
  const Set long_line{{{"a", {long_output}, {}}}, {{"a", long_phones.c_str()}}};
  for (const auto* set_ptr : {&sets[0], &sets[1], &sets[2], &sets[3], &long_line}) {
    const Set& s = *set_ptr;
    lts* set = LoadBytes(orvelle_test::TreeSetBytes(s.trees));
    ASSERT_NE(set, nullptr);
    for (const auto& c : s.cases) EXPECT_EQ(Phones(set, c.word), c.phones) << c.word;
    QLTP_lts_delete(set);
  }
}

// Stray and cut UTF-8 bytes on trees that test only the current letter
// add no phone and move no window: the word gives what its letters give,
// read directly and through the database.
TEST(LtsTreeTest, StrayBytesLeaveTheLettersPhones) {
  const std::vector<TreeSpec> trees = {
      {"a", {"ae1"}, {}}, {"b", {"b"}, {}}, {"x", {"k_s", "z"}, {{"name", "x", 0, 1}}}};
  std::string letters;
  while (letters.size() < 40) letters += "abxba";
  const std::pair<std::string, std::string> cases[] = {
      {"\xff\xff" "ab", "ab"},         {"a\xe2", "a"},
      {"xab\xe2\x82", "xab"},          {letters + "\xe2", letters},
      {letters + "\xff\xff\xff\xff\xff", letters}, {letters + "\xf0\x9f\x98", letters},
  };
  orvelle_test::LoadedDb d("stray.tpdb", {{"TPOBJ_CARTLTS:DEFAULT", orvelle_test::TreeSetBytes(trees)}});
  lts* set = LoadBytes(orvelle_test::TreeSetBytes(trees));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->context, 0);
  for (const auto& [word, clean] : cases) {
    SCOPED_TRACE(clean);
    const std::string want = Phones(set, clean);
    EXPECT_NE(want, "");
    EXPECT_EQ(Phones(set, word), want);
    const char* r = QLTP_lts_test(d.db, word.c_str(), 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r, want);
  }
  QLTP_lts_delete(set);
}

TEST(LtsTreeTest, LetterWithoutTreeIsReportedWithTheRestOfTheWord) {
  lts* set = LoadBytes(orvelle_test::TreeSetBytes(orvelle_test::SmallTrees()));
  ASSERT_NE(set, nullptr);
  logger* log = QLTP_logger_new("TEST", 4, nullptr);
  QLTP_logger_set_store(log);
  EXPECT_EQ(Phones(set, "bqa", log), "b ey1");
  ASSERT_NE(QLTP_logger_msg(log, 0), nullptr);
  EXPECT_NE(std::string(QLTP_logger_msg(log, 0)).find("Bad LTS starting : qa"), std::string::npos);
  QLTP_logger_delete(log);
  QLTP_lts_delete(set);
}

TEST(LtsTreeTest, QuestionsPastThePaddedWordTestHash) {
  // Built by hand with no context: "n.name" looks past the word's end.
  lts* set = QLTP_lts_new();
  const std::string bytes = orvelle_test::TreeBytes({"a", {"ae1", "ah0"}, {{"n.name", "#", 0, 1}}});
  ltstree* tree = QLTP_deserialise_ltstree(bytes.data(), static_cast<int32_t>(bytes.size()), 0);
  ASSERT_NE(tree, nullptr);
  ASSERT_TRUE(QLTP_lts_addtree(set, tree));
  EXPECT_EQ(set->context, 0);
  EXPECT_EQ(Phones(set, "a"), "ae1");
  EXPECT_EQ(Phones(set, "aa"), "ah0 ae1");
  QLTP_lts_delete(set);
}

// A tree made with the building operations answers from its records, and
// gives nothing when its fields do not fit them.
TEST(LtsTreeTest, BuiltTreesAnswerOnlyWhenTheirFieldsFit) {
  for (int width : {1, 2, 4}) {
    SCOPED_TRACE(width);
    lts* set = QLTP_lts_new();
    ltstree* tree = QLTP_ltstree_new();
    ltsfield* field = QLTP_ltsfield_new(1, width);
    ASSERT_TRUE(QLTP_ltsfield_addlookup(field, "k_s x", -1));
    ASSERT_TRUE(QLTP_ltstree_addterminalfield(tree, field));
    const char record[2] = {0, 0};
    EXPECT_EQ(QLTP_ltstree_addterminalnodes(tree, 1, 2, record), record + 2);
    ASSERT_TRUE(QLTP_ltstree_addltr(tree, "x\n"));
    ASSERT_TRUE(QLTP_lts_addtree(set, tree));
    EXPECT_EQ(Phones(set, "x"), width <= 2 ? "k s" : "");
    QLTP_lts_delete(set);
  }
}

// Damaged sets, each built from the good one: all refused.
TEST(LtsTreeTest, RefusesShortAndInconsistentSets) {
  const std::string good = orvelle_test::TreeSetBytes(orvelle_test::SmallTrees());
  for (size_t cut = 0; cut + 1 < good.size(); ++cut) {
    lts* set = LoadBytes(good.substr(0, cut));
    EXPECT_EQ(set, nullptr) << "cut at " << cut;
    QLTP_lts_delete(set);
  }
  auto with = [](std::vector<TreeSpec> trees) { return orvelle_test::TreeSetBytes(trees); };
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    size_t at = s.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return s.replace(at, from.size(), to);
  };
  const std::pair<const char*, std::string> damaged[] = {
      {"yes node outside the tree", with({{"a", {"x"}, {{"n.name", "b", 7, 0}}}})},
      {"letter given twice", with({{"a", {"x"}, {}}, {"a", {"y"}, {}}})},
      {"fields wider than the record", replaced("N\n2\n10\n", "N\n4\n10\n")},
      {"output index outside the table", replaced("S\n1\nae1 ey1 ey0\n", "S\n1\nae1 ey1\n")},
      {"string field in a node place gives 999", replaced("N\n1\n0\n", "S\n1\nx\n")},
      {"negative count", replaced("3\n2\n1\n", "-3\n2\n1\n")},
  };
  for (const auto& [what, bytes] : damaged) {
    lts* set = LoadBytes(bytes);
    EXPECT_EQ(set, nullptr) << what;
    QLTP_lts_delete(set);
  }
}

TEST(LtsTreeTest, WalkThatCyclesGivesNoPhone) {
  lts* set = LoadBytes(orvelle_test::TreeSetBytes({{"a", {"x", "y"}, {{"n.name", "z", 2, 3}, {"p.name", "z", 3, 2}}}}));
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(Phones(set, "a"), "");
  QLTP_lts_delete(set);
}

TEST(LtsTreeTest, DatabaseObjectRunsAsTheDefaultSet) {
  orvelle_test::LoadedDb d(
      "lts.tpdb", {{"TPOBJ_CARTLTS:DEFAULT", orvelle_test::TreeSetBytes(orvelle_test::SmallTrees())}});
  const char* r = QLTP_lts_test(d.db, "tat", 0);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r, "t ey0 t");
  EXPECT_EQ(QLTP_lts_test(d.db, "ab", 0), std::string("ae1 b"));
}

TEST(LtsTreeTest, MutatedSetsLoadOrAreRefusedWithoutHarm) {
  const std::string good = orvelle_test::TreeSetBytes(orvelle_test::SmallTrees());
  std::mt19937 rng(16);
  int loaded = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string bytes = good;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % bytes.size();
      switch (rng() % 3) {
        case 0: bytes[at] = static_cast<char>(rng()); break;
        case 1: bytes.erase(at, 1 + rng() % 3); break;
        default: bytes.insert(at, 1, static_cast<char>("0123456789\nS#"[rng() % 13])); break;
      }
      if (bytes.empty()) bytes = "x";
    }
    lts* set = LoadBytes(bytes);
    if (set) {
      ++loaded;
      for (const char* w : {"ab", "tat", "bbt"}) Phones(set, w);
    }
    QLTP_lts_delete(set);
  }
  EXPECT_GT(loaded, 0);
}

}  // namespace
