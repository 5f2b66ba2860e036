#include "linguistics/reduction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/strmap.h"
#include "spurt_stage.h"
#include "textproc/nrules.h"

namespace {

using orvelle_test::SpurtStage;
using orvelle_test::Word;

const char kVowelRules[] = R"(<?xml version='1.0'?>
<rules>
<regex name='reduction_vowels'><![CDATA[^[aeiou]]]></regex>
</rules>
)";

// A stage on a database holding the reduction table given as text, and the
// rule set above.
struct Reducer {
  hashstrarray* table;
  nrules* rules = QLTP_deserialise_nrules(nullptr, kVowelRules);
  SpurtStage stage;
  reduction* reducer;
  explicit Reducer(const char* text, int tags = 64)
      : table(QLTP_deserialise_hashstrarray(text)),
        stage({{"TPOBJ_RRULES:DEFAULT", table}, {"TPOBJ_NRULES:DEFAULT", rules}}, tags),
        reducer(QLTP_reduction_new(stage.ch)) {}
  ~Reducer() {
    QLTP_reduction_delete(reducer);
    QLTP_hashstrarray_delete(table);
    QLTP_nrules_delete(rules);
  }

  // The entries of a spurt's words after one final call, joined by " ".
  std::string Entries(const std::vector<std::string>& words) {
    QLTP_voidparray_clear(stage.spurts);
    std::vector<Word> list;
    for (const auto& w : words) list.push_back({w});
    toxspurt* spurt = stage.Spurt(list);
    voidparray* out = QLTP_reduction_process(reducer, stage.spurts, 1);
    EXPECT_EQ(QLTP_voidparray_sz(out), 1);
    std::string entries;
    for (size_t i = 1; i <= words.size(); ++i)
      entries += (i > 1 ? " " : "") + SpurtStage::Entry(SpurtStage::Token(spurt, static_cast<int>(i)));
    return entries;
  }
};

TEST(ReductionTest, FieldsDecideByPositionInTheSpurt) {
  struct Case {
    const char* table;
    std::vector<std::string> words;
    const char* entries;
  };
  const Case cases[] = {
      {"FIELDS reduce_mid,full_end\nthe tt\n", {"see", "the", "cat"}, "- reduced -"},
      {"FIELDS reduce_mid,full_end\nthe tt\n", {"see", "the"}, "- full"},
      {"FIELDS reduce_mid,full_end\nthe tt\n", {"the"}, "full"},
      {"FIELDS reduce_mid,full_end\nthe tf\n", {"the"}, "-"},                  // 'f': not this field
      {"FIELDS reduce_mid,full_end\nthe t\n", {"see", "the"}, "- -"},          // a short value leaves fields out
      {"FIELDS reduce_mid\nthe tt\n", {"see", "the"}, "- -"},                  // a long one is read to the fields
      {"FIELDS mono_full,reduce_start\na tt\n", {"a"}, "full"},
      {"FIELDS mono_full,reduce_start\na tt\n", {"a", "cat"}, "reduced -"},
      {"FIELDS full_start\nto t\n", {"to", "go", "to"}, "full - -"},
      {"FIELDS full\nto t\n", {"to", "go"}, "full -"},                          // a beginning selects full_start
      {"FIELDS pre_red_full,reduce_mid\nof tt\nthe tt\n", {"all", "of", "the", "cats"}, "- full reduced -"},
      {"FIELDS full_before_vowel,reduce_mid\nthe tt\n", {"see", "the", "owl", "x"}, "- full - -"},
      {"FIELDS full_before_vowel,reduce_mid\nthe tt\n", {"see", "the", "cat", "x"}, "- reduced - -"},
      {"FIELDS full_end,nonsense,reduce_mid\nthe ftt\n", {"see", "the", "cat"}, "- reduced -"},
      {"FIELDS full_end,nonsense,reduce_mid\nthe ftt\n", {"see", "the"}, "- -"},
      {"FIELDS pre_red_full\nof t\n", {"of", "FIELDS"}, "- -"},              // the field list is not a word
  };
  for (const Case& c : cases) {
    std::string trace = c.table;
    for (const auto& w : c.words) trace += " " + w;
    SCOPED_TRACE(trace);
    Reducer r(c.table);
    EXPECT_EQ(r.Entries(c.words), c.entries);
  }
}

TEST(ReductionTest, NumbersGoingOnReduceAndGivenEntriesStay) {
  Reducer r("FIELDS it_reduce_numbers,full_end\nuno tt\n");
  std::vector<Word> words = {{"uno"}, {"uno"}, {"uno"}};
  toxspurt* spurt = r.stage.Spurt(words);
  // say-as number over the first two words, ending on the second.
  toxtoken* first = SpurtStage::Token(spurt, 1);
  toxtoken* second = SpurtStage::Token(spurt, 2);
  toxtag* start = QLTP_toxpool_tag(r.stage.pool);
  QLTP_toxtag_init(start, first, "say-as", -1, QLTP_TAG_START);
  QLTP_toxtag_set_attrib(start, "internal", -1, "number", -1);
  QLTP_toxtoken_addtag(first, start);
  toxtag* end = QLTP_toxpool_tag(r.stage.pool);
  QLTP_toxtag_init(end, second, "say-as", -1, QLTP_TAG_END);
  QLTP_toxtag_set_attrib(end, "internal", -1, "number", -1);
  QLTP_toxtoken_addtag(second, end);
  // The last word's entry was given in the markup.
  toxtoken* third = SpurtStage::Token(spurt, 3);
  toxtag* lex = QLTP_toxpool_tag(r.stage.pool);
  QLTP_toxtag_init(lex, third, "lex", -1, QLTP_TAG_STARTEND);
  QLTP_toxtag_set_attrib(lex, "entry", -1, "markup", -1);
  QLTP_toxtoken_addtag(third, lex);

  QLTP_reduction_process(r.reducer, r.stage.spurts, 0);
  EXPECT_EQ(SpurtStage::Entry(first), "reduced");
  EXPECT_EQ(SpurtStage::Entry(second), "-");
  EXPECT_EQ(SpurtStage::Entry(third), "markup");
  QLTP_reduction_reset(r.reducer);
  EXPECT_TRUE(r.stage.Reported(QLTP_ERROR_RESET_DATA_LOSS, "Reduction context lost"));
}

TEST(ReductionTest, UnknownFieldsAndMissingFieldListAreReported) {
  {
    Reducer r("FIELDS full_end,nonsense,reduce_mid\nthe ftt\n");
    EXPECT_TRUE(r.stage.Reported(QLTP_MESSAGE_WARN, "reduction rule not implemented : nonsense"));
    ASSERT_EQ(QLTP_intarray_sz(r.reducer->field_rules), 3);
    EXPECT_EQ(QLTP_intarray_idx(r.reducer->field_rules, 1), -1);
    EXPECT_EQ(QLTP_intarray_idx(r.reducer->field_rules, 2), 3);
  }
  {
    Reducer r("the tt\n");
    EXPECT_TRUE(r.stage.Reported(QLTP_MESSAGE_ERROR, "No field names set - reduction module will not run"));
    r.stage.Spurt({{"the"}});
    EXPECT_EQ(QLTP_reduction_process(r.reducer, r.stage.spurts, 0), r.stage.spurts);
    EXPECT_EQ(r.reducer->state, 1);
  }
  {
    // No tags in the pool: the rule counts as applied, the entry is not set.
    Reducer r("FIELDS full_end,mono_full\nthe tt\n", 0);
    EXPECT_EQ(r.Entries({"the"}), "-");
    EXPECT_TRUE(r.stage.Reported(QLTP_MESSAGE_WARN, "No tags available homograph lexical entry not set : full"));
  }
  QLTP_reduction_delete(nullptr);
}

TEST(ReductionTest, TableRoundTripsThroughDatabases) {
  hashstrarray* table = QLTP_deserialise_hashstrarray("FIELDS reduce_mid,full_end\nthe tt\nof tf\n");
  std::string image = orvelle_test::KindImage("TPOBJ_RRULES:X", table, false);
  ASSERT_FALSE(image.empty());
  for (bool swapped : {false, true}) {
    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("rrules.tpdb");
    orvelle_test::WriteTestDb(path, {{"TPOBJ_RRULES:DEFAULT", table},
                                     {"TPOBJ_RRULES:CUT", nullptr, image + "?"}},
                              swapped);
    orvelle_test::LoadedDb db(path);
    auto* loaded = db.Get<hashstrarray>("TPOBJ_RRULES:DEFAULT");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(orvelle_test::KindImage("TPOBJ_RRULES:X", loaded, false), image);
    EXPECT_STREQ(QLTP_hashstrarray_lookup(loaded, "of", -1), "tf");
    EXPECT_EQ(db.Get<void>("TPOBJ_RRULES:CUT"), nullptr);
    EXPECT_TRUE(db.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_RRULES"));
    std::remove(path.c_str());
  }
  QLTP_hashstrarray_delete(table);
}

}  // namespace
