#include "linguistics/archiphone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/strmap.h"
#include "cpu_time.h"
#include "peak_memory.h"
#include "spurt_builder.h"
#include "test_db.h"

namespace {

using namespace orvelle_test;

using Rules = std::vector<std::pair<std::string, std::string>>;

struct Word {
  std::string norm;
  std::string phonemes;
  std::string pos = "";
  bool sentence_end = false;
};

// A database whose rule map holds the rules, in this order.
std::unique_ptr<LoadedDb> RulesDb(const Rules& rules, bool swapped = false, const std::string& config = "") {
  hashstrarray* m = QLTP_hashstrarray_new(16);
  for (const auto& [k, v] : rules) QLTP_hashstrarray_add(m, k.c_str(), -1, v.c_str(), -1);
  ScratchDir dir;
  const std::string path = dir.Path("archis.tpdb");
  std::vector<DbObject> objects = {{"TPOBJ_ARCHIS:DEFAULT", m}};
  if (!config.empty()) objects.push_back({"TPOBJ_CONFIG:DEFAULT", nullptr, TextObject(config)});
  WriteTestDb(path, objects, swapped);
  QLTP_hashstrarray_delete(m);
  auto db = std::make_unique<LoadedDb>(path);
  std::remove(path.c_str());
  EXPECT_TRUE(db->loaded());
  return db;
}

// Runs the stage over one spurt of the words; gives their phonemes and the
// channel's reports.
std::vector<std::string> Resolve(const Rules& rules, const std::vector<Word>& words, std::string* log = nullptr,
                                 const std::string& config = "") {
  auto db = RulesDb(rules, false, config);
  BareChannel ch(db->db);
  QLTP_logger_set_store(ch.ch->log);
  archiphone* stage = QLTP_archiphone_new(ch.ch);
  SpurtBuilder b;
  std::vector<toxtoken*> tokens;
  for (const Word& w : words) {
    tokens.push_back(b.Word(w.norm, w.phonemes.c_str(), w.pos));
    if (w.sentence_end) b.Tag(tokens.back(), "break", {{"type", "4"}});
  }
  QLTP_archiphone_process(stage, b.stream(), 1);
  std::vector<std::string> out;
  for (toxtoken* t : tokens) out.push_back(TagVal(t, "lex", "phonemes"));
  for (int i = 0; log && QLTP_logger_msg(ch.ch->log, i); ++i) *log += QLTP_logger_msg(ch.ch->log, i);
  QLTP_archiphone_delete(stage);
  return out;
}

TEST(ArchiphoneTest, ResolvesByTheMostSpecificRule) {
  const Rules nasal = {{"N+p", "m"}, {"N+", "n"}};
  struct Case {
    const char* name;
    Rules rules;
    std::vector<Word> words;
    std::vector<std::string> want;
  } cases[] = {
      {"before p", nasal, {{"in", "i N"}, {"pan", "p a n"}}, {"i m", "p a n"}},
      {"before a vowel", nasal, {{"in", "i N"}, {"at", "a t"}}, {"i n", "a t"}},
      {"stress digit off the key phone", nasal, {{"in", "i N"}, {"pan", "p0 a1 n"}}, {"i m", "p0 a1 n"}},
      {"the next word named wins", {{"N+p", "m"}, {"N+p(pan)", "ng"}, {"N+", "n"}}, {{"in", "i N"}, {"pan", "p a n"}},
       {"i ng", "p a n"}},
      {"POS of this word", {{"N+", "n"}, {"N[vb]+p", "m"}}, {{"in", "i N", "vb"}, {"pan", "p a n"}}, {"i m", "p a n"}},
      {"no rule removes it", {{"X+", "x"}}, {{"in", "i N"}, {"at", "a t"}}, {"i", "a t"}},
      {"0 deletes it", {{"N+p", "0"}}, {{"in", "i . N"}, {"pan", "p a n"}}, {"i", "p a n"}},
      {"two phones", {{"N+p", "a_b"}}, {{"in", "i N"}, {"pan", "p a n"}}, {"i a b", "p a n"}},
      {"sentence end", {{"N+($)", "n_d"}, {"N+", "n"}}, {{"in", "i N", "", true}, {"pan", "p a n"}},
       {"i n d", "p a n"}},
      {"spurt end", {{"N+($)", "n_d"}, {"N+", "n"}}, {{"in", "i N"}}, {"i n d"}},
      {"word-initial after a start", {{"(^)-N", "m"}, {"-N", "n"}}, {{"Nat", "N a t"}}, {"m a t"}},
      {"word-initial after a word", {{"(^)-N", "m"}, {"-N", "n"}, {"a-N", "e"}}, {{"ka", "k a1"}, {"Nat", "N a t"}},
       {"k a1", "e a t"}},
      {"after a sentence end", {{"(^)-N", "m"}, {"a-N", "e"}}, {{"ka", "k a1", "", true}, {"Nat", "N a t"}},
       {"k a1", "m a t"}},
      {"the resolved previous phone", {{"N+", "n"}, {"n-N", "d"}}, {{"in", "i N"}, {"Nat", "N a t"}},
       {"i n", "d a t"}},
      // Key patterns
      {"phones forward in the next word", {{"|N|+|p|", "m"}}, {{"in", "i N"}, {"pan", "p a n"}}, {"i m", "p a n"}},
      {"phones backward in this word", {{"|a N|+(pan)", "o_m"}}, {{"an", "a N"}, {"pan", "p a n"}},
       {"o m", "p a n"}},
      {"looked for through the next word", {{"|N|+|n|", "m"}}, {{"in", "i N"}, {"pan", "p a n"}}, {"i m", "p a n"}},
      {"absent from the next word", {{"|N|+|t|", "m"}}, {{"in", "i N"}, {"pan", "p a n"}}, {"i", "p a n"}},
      {"question mark", {{"|i ?|+|p|", "e_m"}}, {{"in", "i N"}, {"pan", "p a n"}}, {"e m", "p a n"}},
      {"stress digits stepped over", {{"|i N|", "i1_m"}}, {{"in", "i1 N"}}, {"i1 m"}},
      {"a digit in the pattern is exact", {{"|i0 N|", "x"}}, {{"in", "i1 N"}}, {"i1"}},
      {"phone boundaries", {{"|a N|", "x"}}, {{"in", "ta N"}}, {"ta"}},
      {"negation", {{"|N|+^(pan)", "n"}}, {{"in", "i N"}, {"pin", "p i n"}}, {"i n", "p i n"}},
      {"negation fails", {{"|N|+^(pan)", "n"}}, {{"in", "i N"}, {"pan", "p a n"}}, {"i", "p a n"}},
      {"alternatives and wildcards", {{"|N|+(x|pa*)[*nn]", "m"}}, {{"in", "i N"}, {"pan", "p a n", "nn"}},
       {"i m", "p a n"}},
      {"POS cut at its underscore", {{"|N|+[nn]", "m"}}, {{"in", "i N"}, {"pan", "p a n", "nn_sg"}},
       {"i m", "p a n"}},
      {"backreference", {{"(*)-(\\1)|N|", "ng"}}, {{"in", "i n"}, {"in", "i N"}}, {"i n", "i ng"}},
      {"backreference differs", {{"(*)-(\\1)|N|", "ng"}}, {{"on", "o n"}, {"in", "i N"}}, {"o n", "i"}},
      {"backreference not yet met", {{"(\\1)|N|", "ng"}}, {{"in", "i N"}}, {"i"}},
      {"two tokens ahead", {{"|N|++(x)", "m"}}, {{"in", "i N"}, {"a", "a"}, {"x", "k s"}}, {"i m", "a", "k s"}},
      {"beyond the spurt", {{"|N|++($)", "m"}}, {{"in", "i N"}, {"a", "a"}}, {"i m", "a"}},
      {"no sequence rewrites nothing", {{"(in)", "x"}, {"N+", "n"}}, {{"in", "i N"}}, {"i n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Resolve(c.rules, c.words), c.want);
  }
}

TEST(ArchiphoneTest, ReportsBrokenAndLoopingRules) {
  std::string log;
  EXPECT_EQ(Resolve({{"|N|+(pan", "m"}, {"N+", "n"}}, {{"in", "i N"}, {"pan", "p a n"}}, &log),
            (std::vector<std::string>{"i n", "p a n"}));
  EXPECT_NE(log.find("Illegal archiphoneme rule, ignored."), std::string::npos) << log;

  log.clear();
  EXPECT_EQ(Resolve({{"|N|", "M"}, {"|M|", "N"}, {"N+", "n"}}, {{"in", "i N"}}, &log),
            (std::vector<std::string>{"i n"}));
  EXPECT_NE(log.find("archiphone rule loop"), std::string::npos) << log;

  log.clear();
  EXPECT_EQ(Resolve({{"|N0123456789012345678|", "m"}}, {{"in", "i N"}}, &log), (std::vector<std::string>{"i"}));
  EXPECT_NE(log.find("phonetic match too long in archiphone rule, truncated."), std::string::npos) << log;
}

TEST(ArchiphoneTest, MatchesAllPhonesOnlyWhenSetExactly) {
  const Rules rules = {{"|k|+|p|", "g"}};
  const std::vector<Word> words = {{"ak", "a k"}, {"pa", "p a"}};
  for (const char* setting : {"True", "False", "yes", ""}) {
    SCOPED_TRACE(setting);
    const std::string config = std::string("<tpconfig><archiphone match_all_phones='") + setting + "'/></tpconfig>";
    const bool on = std::string(setting) == "True";
    EXPECT_EQ(Resolve(rules, words, nullptr, config)[0], on ? "a g" : "a k");
  }
}

TEST(ArchiphoneTest, CountsDashesOutsideBrackets) {
  struct Case {
    const char* key;
    int want;
  } cases[] = {{"a-N", 1}, {"(a-b)-N", 1}, {"[x-y]--N", 2}, {"N+p", 0}, {"", 0}};
  for (const Case& c : cases) EXPECT_EQ(_getwcor(c.key, -1), c.want) << c.key;
}

TEST(ArchiphoneTest, RuleMapRoundTripsThroughDatabase) {
  const Rules rules = {{"N+p", "m"}, {"N+", "n"}, {"(^)-N", "m"}};
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    auto db = RulesDb(rules, swapped);
    auto* m = db->Get<hashstrarray>("TPOBJ_ARCHIS:DEFAULT");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(QLTP_hashstrarray_sz(m), 3);
    for (const auto& [k, v] : rules) EXPECT_STREQ(QLTP_hashstrarray_lookup(m, k.c_str(), -1), v.c_str());
    ScratchDir dir;
    const std::string path = dir.Path("archis_rt.tpdb");
    const std::string first = WriteTestDb(path, {{"TPOBJ_ARCHIS:DEFAULT", m}}, swapped);
    LoadedDb again(path);
    EXPECT_EQ(WriteTestDb(path, {{"TPOBJ_ARCHIS:DEFAULT", again.Get<hashstrarray>("TPOBJ_ARCHIS:DEFAULT")}}, swapped),
              first);
    std::remove(path.c_str());
  }
}

// Phones that long come from user text: '?' runs must cost time linear in
// the phone and memory that does not grow with the rule.
TEST(ArchiphoneTest, QuestionMarkRunsTakeLinearTimeAndMemoryFlatInTheRule) {
  auto resolve = [](size_t len, const std::string& sequence) {
    const std::string phone = "N" + std::string(len - 2, 'a');
    return Resolve({{"|" + sequence + "|", "m"}}, {{"w", phone + "a"}, {"v", "N " + phone + "z"}});
  };
  EXPECT_EQ(resolve(200, "?a?a?a?a?z"), (std::vector<std::string>{"", "m"}));
  EXPECT_EQ(resolve(200, std::string(17, '?')), (std::vector<std::string>{"m", "m"}));

  const double ratio = CpuTimeRatio([&] { resolve(1 << 16, "?a?a?a?a?z"); }, [&] { resolve(1 << 19, "?a?a?a?a?z"); });
  EXPECT_LT(ratio, 24.0) << "8 times the phone took " << ratio << " times the CPU time";

  const int64_t one = PeakGrowthBytes([&] { resolve(1 << 20, "?"); });
  const int64_t seventeen = PeakGrowthBytes([&] { resolve(1 << 20, std::string(17, '?')); });
  ASSERT_GE(one, 0);
  ASSERT_GE(seventeen, 0);
  EXPECT_LT(seventeen, one + (16 << 20)) << "peak growth: " << one << " bytes with one '?', " << seventeen
                                         << " with 17, against a phone of 1 MB";
  EXPECT_LT(seventeen, 100 << 20);
}

TEST(ArchiphoneTest, RandomPhonemesAndRulesStayBounded) {
  std::mt19937 rng(145);
  const char* parts[] = {"N", "M", "a", "i1", "p", "?", " ", "|", "(", ")", "[", "]", "+", "-", "^", "*", "\\1", "0", "_"};
  for (int round = 0; round < 300; ++round) {
    Rules rules;
    for (int r = 1 + static_cast<int>(rng() % 6); r > 0; --r) {
      std::string key, value;
      for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k) key += parts[rng() % 19];
      for (int k = static_cast<int>(rng() % 3); k > 0; --k) value += parts[rng() % 5];
      rules.push_back({key, value.empty() ? "0" : value});
    }
    std::vector<Word> words;
    for (int w = 1 + static_cast<int>(rng() % 4); w > 0; --w) {
      std::string p;
      for (int k = static_cast<int>(rng() % 5); k > 0; --k) p += std::string(parts[rng() % 7]) + (rng() % 3 ? " " : ".");
      words.push_back({"w" + std::to_string(w), p, "", rng() % 5 == 0});
    }
    const auto out = Resolve(rules, words);
    ASSERT_EQ(out.size(), words.size());
  }
}

}  // namespace
