#include "linguistics/homtagger.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/strmap.h"
#include "foundation/utf8.h"
#include "spurt_stage.h"

namespace {

using orvelle_test::SpurtStage;
using orvelle_test::Word;

const char kHomographs[] =
    "[lead] noun\n"
    "[lead]the verb\n"
    "to[lead] verb2\n"
    "[lead]nn cpos\n"
    "dt[lead] dpos\n"
    "[leadvb] epos\n"
    "[read]book past\n"
    "[wanna] +verb\n"
    "[ice] noun+\n"
    "[abcdef] noun,2,4\n"
    "[ghijkl] noun+,4,2,9,0,6\n"
    "[\xc3\xa9\xc3\xa0\xc3\xbc] x,1,2\n"
    "[given] other\n";

// "norm/POS|break" -> Word.
std::vector<Word> Words(const std::vector<std::string>& choices) {
  std::vector<Word> words;
  for (const std::string& s : choices) {
    Word w;
    size_t bar = s.find('|'), slash = s.find('/');
    w.norm = s.substr(0, std::min(bar, slash));
    if (slash != std::string::npos) w.pos = s.substr(slash + 1, bar == std::string::npos ? bar : bar - slash - 1);
    if (bar != std::string::npos) w.break_type = s.substr(bar + 1);
    words.push_back(w);
  }
  return words;
}

// The normalised texts of a token's chain: "ab+cd+ef"; a '*' after a token
// with feature 7.
std::string Chain(const toxtoken* t) {
  std::string out;
  for (; t; t = t->next) {
    out += QLTP_toxtoken_getnorm(t);
    if (QLTP_toxtoken_getfeat(t, QLTP_FEAT_WORD_CONTINUES)) out += '*';
    if (t->next) out += '+';
  }
  return out;
}

struct HomtaggerTest : testing::Test {
  hashstrarray* table = QLTP_deserialise_hashstrarray(kHomographs);
  SpurtStage stage{{{"TPOBJ_HOMTAGS:DEFAULT", table}}};
  homtagger* tagger = QLTP_homtagger_new(stage.ch);
  ~HomtaggerTest() override {
    QLTP_homtagger_delete(tagger);
    QLTP_hashstrarray_delete(table);
  }
};

TEST_F(HomtaggerTest, ChoosesEntriesJoinsAndSplitsByContext) {
  struct Case {
    std::vector<std::string> words;
    int target;  // 1-based word
    const char* entry;
    const char* chains;  // every word's chain, joined by " "
  };
  const Case cases[] = {
      {{"lead"}, 1, "noun", "lead"},
      {{"lead", "the"}, 1, "verb", "lead the"},                // next word
      {{"to", "lead", "x/nn"}, 2, "verb2", "to lead x"},       // previous word
      {{"lead", "dog/nn_3"}, 1, "cpos", "lead dog"},           // next POS without its set
      {{"a/dt_1", "lead"}, 2, "dpos", "a lead"},               // previous POS
      {{"lead/vb"}, 1, "epos", "lead"},                        // own POS
      {{"to|4", "lead"}, 2, "noun", "to lead"},                // a sentence break resets the left context
      {{"lead|3", "the"}, 1, "noun", "lead the"},              // ... and hides the next word
      {{"read", "book"}, 1, "-", "read book"},                 // "[read]" itself is not there
      {{"I", "wanna"}, 2, "verb", "I* wanna"},                 // '+' in front joins the previous word
      {{"ice", "cream"}, 1, "noun", "ice* cream"},             // '+' behind joins the next
      {{"abcdef"}, 1, "noun", "ab+cd+ef"},
      {{"ghijkl", "x"}, 1, "noun", "ghij+kl* x"},              // bad positions ignored; the join moves last
      {{"\xc3\xa9\xc3\xa0\xc3\xbc"}, 1, "x", "\xc3\xa9+\xc3\xa0+\xc3\xbc"},  // positions count characters
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const auto& w : c.words) trace += w + " ";
    SCOPED_TRACE(trace);
    QLTP_voidparray_clear(stage.spurts);
    toxspurt* spurt = stage.Spurt(Words(c.words));
    voidparray* out = QLTP_homtagger_process(tagger, stage.spurts, 1);
    ASSERT_EQ(QLTP_voidparray_sz(out), 1);
    EXPECT_EQ(QLTP_voidparray_idx(out, 0), spurt);
    EXPECT_EQ(SpurtStage::Entry(SpurtStage::Token(spurt, c.target)), c.entry);
    std::string chains;
    for (size_t i = 1; i <= c.words.size(); ++i) chains += (i > 1 ? " " : "") + Chain(SpurtStage::Token(spurt, int(i)));
    EXPECT_EQ(chains, c.chains);
  }
}

TEST_F(HomtaggerTest, EachSpurtStartsAfreshAndGivenEntriesStay) {
  toxspurt* first = stage.Spurt(Words({"to"}));
  toxspurt* second = stage.Spurt(Words({"lead", "given"}));
  toxtoken* given = SpurtStage::Token(second, 2);
  toxtag* lex = QLTP_toxpool_tag(stage.pool);
  QLTP_toxtag_init(lex, given, "lex", 3, QLTP_TAG_STARTEND);
  QLTP_toxtag_set_attrib(lex, "entry", -1, "markup", -1);
  QLTP_toxtoken_addtag(given, lex);
  voidparray* out = QLTP_homtagger_process(tagger, stage.spurts, 0);
  ASSERT_EQ(QLTP_voidparray_sz(out), 2);
  EXPECT_EQ(QLTP_voidparray_idx(out, 0), first);
  EXPECT_EQ(SpurtStage::Entry(SpurtStage::Token(second, 1)), "noun");
  EXPECT_EQ(SpurtStage::Entry(given), "markup");
  EXPECT_EQ(QLTP_toxtoken_notags(given), 1);

  // A reset after a call that was not final reports the lost context.
  QLTP_homtagger_reset(tagger);
  EXPECT_TRUE(stage.Reported(QLTP_ERROR_RESET_DATA_LOSS, "Homtagger context lost"));
}

TEST(HomtaggerStageTest, WithoutTableOrTagsTheStreamPassesThrough) {
  hashstrarray* table = QLTP_deserialise_hashstrarray(kHomographs);
  {
    // No tags in the pool: the entry cannot be set and is reported.
    SpurtStage stage({{"TPOBJ_HOMTAGS:DEFAULT", table}}, 0);
    homtagger* tagger = QLTP_homtagger_new(stage.ch);
    toxspurt* spurt = stage.Spurt(Words({"lead"}));
    QLTP_homtagger_process(tagger, stage.spurts, 1);
    EXPECT_EQ(SpurtStage::Entry(SpurtStage::Token(spurt, 1)), "-");
    EXPECT_TRUE(stage.Reported(QLTP_MESSAGE_WARN, "No tags available homograph lexical entry not set : noun"));
    QLTP_homtagger_delete(tagger);
  }
  {
    hashstrarray* other = QLTP_deserialise_hashstrarray("[x] y\n");
    SpurtStage stage({{"TPOBJ_HOMTAGS:OTHER", other}});
    homtagger* tagger = QLTP_homtagger_new(stage.ch);
    stage.Spurt(Words({"lead"}));
    EXPECT_EQ(QLTP_homtagger_process(tagger, stage.spurts, 0), stage.spurts);
    EXPECT_EQ(tagger->state, 1);
    QLTP_homtagger_reset(tagger);
    EXPECT_FALSE(stage.Reported(QLTP_ERROR_RESET_DATA_LOSS, "Homtagger context lost"));
    QLTP_homtagger_delete(tagger);
    QLTP_hashstrarray_delete(other);
  }
  QLTP_hashstrarray_delete(table);
  QLTP_homtagger_delete(nullptr);
}

// write -> database (both byte orders) -> load -> write gives the same bytes;
// a cut object is refused with code 13.
TEST(HomtaggerStageTest, TableRoundTripsThroughDatabases) {
  hashstrarray* table = QLTP_deserialise_hashstrarray(kHomographs);
  std::string image = orvelle_test::KindImage("TPOBJ_HOMTAGS:X", table, false);
  ASSERT_FALSE(image.empty());
  for (bool swapped : {false, true}) {
    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("homtags.tpdb");
    orvelle_test::WriteTestDb(path, {{"TPOBJ_HOMTAGS:DEFAULT", table},
                                     {"TPOBJ_HOMTAGS:CUT", nullptr, image.substr(0, image.size() - 3)}},
                              swapped);
    orvelle_test::LoadedDb db(path);
    auto* loaded = db.Get<hashstrarray>("TPOBJ_HOMTAGS:DEFAULT");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(orvelle_test::KindImage("TPOBJ_HOMTAGS:X", loaded, false), image);
    EXPECT_STREQ(QLTP_hashstrarray_lookup(loaded, "[ghijkl]", -1), "noun+,4,2,9,0,6");
    EXPECT_EQ(db.Get<void>("TPOBJ_HOMTAGS:CUT"), nullptr);
    EXPECT_TRUE(db.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_HOMTAGS"));
    std::remove(path.c_str());
  }
  QLTP_hashstrarray_delete(table);
}

// Random choices on random words: whatever the positions, the pieces of a word
// put back together give the word, cut only between characters.
TEST(HomtaggerStageTest, RandomChoicesNeverLoseOrBreakText) {
  std::mt19937 rng(6124);
  const std::vector<std::string> chars = {"a", "b", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x99\x82", "_", "+"};
  for (int round = 0; round < 200; ++round) {
    std::string word, choice = rng() % 2 ? "+" : "";
    for (int i = 0, n = 1 + static_cast<int>(rng() % 8); i < n; ++i) word += chars[rng() % chars.size()];
    choice += "e";
    if (rng() % 2) choice += "+";
    for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i)
      choice += "," + (rng() % 8 ? std::to_string(static_cast<int>(rng() % 12) - 1) : std::string("x9"));
    hashstrarray* table = QLTP_hashstrarray_new(1);
    QLTP_hashstrarray_add(table, ("[" + word + "]").c_str(), -1, choice.c_str(), -1);
    SpurtStage stage({{"TPOBJ_HOMTAGS:DEFAULT", table}});
    homtagger* tagger = QLTP_homtagger_new(stage.ch);
    toxspurt* spurt = stage.Spurt({{"x"}, {word}, {"y"}});
    QLTP_homtagger_process(tagger, stage.spurts, 1);
    std::string joined;
    int pieces = 0;
    for (const toxtoken* t = SpurtStage::Token(spurt, 2); t; t = t->next, ++pieces) {
      std::string piece = QLTP_toxtoken_getnorm(t);
      ASSERT_FALSE(piece.empty()) << choice;
      ASSERT_FALSE(QLTP_u8_is_cont(static_cast<unsigned char>(piece[0]))) << choice;
      joined += piece;
    }
    ASSERT_EQ(joined, word) << choice;
    ASSERT_LE(pieces, QLTP_HOMTAGGER_MAX_SPLITS + 1);
    QLTP_homtagger_delete(tagger);
    QLTP_hashstrarray_delete(table);
  }
}

}  // namespace
