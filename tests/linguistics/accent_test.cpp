#include "linguistics/accent.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/strmap.h"
#include "spurt_builder.h"
#include "test_db.h"

namespace {

using namespace orvelle_test;

using Rules = std::vector<std::pair<std::string, std::string>>;
const Rules kNever = {{"(never)", "0"}};

struct RuleSets {
  Rules compound = kNever, accent = kNever, numbers = kNever;
};

// A database with the three rule sets and the language in its header.
std::unique_ptr<LoadedDb> AccentDb(const RuleSets& sets, const std::string& language, bool swapped = false) {
  std::vector<hashstrarray*> maps;
  std::vector<DbObject> objects;
  const std::pair<const char*, const Rules*> named[] = {{"TPOBJ_JPACCENT:COMPOUND", &sets.compound},
                                                        {"TPOBJ_JPACCENT:ACCENT", &sets.accent},
                                                        {"TPOBJ_JPACCENT:NUMBERS", &sets.numbers}};
  for (const auto& [name, rules] : named) {
    maps.push_back(QLTP_hashstrarray_new(16));
    for (const auto& [k, v] : *rules) QLTP_hashstrarray_add(maps.back(), k.c_str(), -1, v.c_str(), -1);
    objects.push_back({name, maps.back()});
  }
  ScratchDir dir;
  const std::string path = dir.Path("jpaccent.tpdb");
  WriteTestDb(path, objects, swapped);
  for (hashstrarray* m : maps) QLTP_hashstrarray_delete(m);
  auto db = std::make_unique<LoadedDb>(path);
  std::remove(path.c_str());
  EXPECT_TRUE(db->loaded());
  QLTP_tpdb_header_setval(db->db, "LANGUAGE", -1, language.c_str(), -1);
  return db;
}

// Runs the stage over the builder's spurts; gives the channel's reports.
std::string RunStage(const RuleSets& sets, const std::string& language, SpurtBuilder& b) {
  auto db = AccentDb(sets, language);
  BareChannel ch(db->db);
  QLTP_logger_set_store(ch.ch->log);
  jpaccent* stage = QLTP_jpaccent_new(ch.ch);
  QLTP_jpaccent_process(stage, b.stream(), 1);
  QLTP_jpaccent_delete(stage);
  std::string log;
  for (int i = 0; QLTP_logger_msg(ch.ch->log, i); ++i) log += QLTP_logger_msg(ch.ch->log, i);
  return log;
}

toxtoken* JWord(SpurtBuilder& b, const std::string& norm, const char* phonemes, const Attribs& jtag,
                bool continues = false, const std::string& pos = "n") {
  toxtoken* t = b.Word(norm, phonemes, pos);
  b.Tag(t, "jtag", jtag);
  QLTP_toxtoken_setfeat(t, QLTP_FEAT_WORD_CONTINUES, continues);
  return t;
}

TEST(AccentTest, WritesAccentTypesIntoStressDigits) {
  const char* konnichiwa = "k o1 N n i0 ch i0 w a0";
  struct Case {
    const char* atype;  // null: none
    const char* want;
  } cases[] = {
      {"1", "k o1 N n i0 ch i0 w a0"},
      {"0", "k o0 N n i2 ch i2 w a2"},
      {"3", "k o0 N n i1 ch i0 w a0"},
      {"2", "k o0 N n i0 ch i0 w a0"},
      {nullptr, "k o0 N n i2 ch i2 w a2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.atype ? c.atype : "none");
    SpurtBuilder b;
    toxtoken* t = JWord(b, "konnichiwa", konnichiwa, c.atype ? Attribs{{"atype", c.atype}} : Attribs{});
    const std::string log = RunStage({}, "ja", b);
    EXPECT_EQ(TagVal(t, "lex", "phonemes"), c.want);
    EXPECT_EQ(log.find("Token does not have atype set") != std::string::npos, c.atype == nullptr) << log;
  }
  // A phrase runs over the tokens that continue it; 'Q' is a mora of its own.
  SpurtBuilder b;
  toxtoken* first = JWord(b, "ka", "k a0 Q", {{"atype", "3"}});
  toxtoken* second = JWord(b, "ta", "t a0 . t a0", {{"atype", "9"}}, true);  // the phrase has type 3
  RunStage({}, "ja", b);
  EXPECT_EQ(TagVal(first, "lex", "phonemes"), "k a0 Q");
  EXPECT_EQ(TagVal(second, "lex", "phonemes"), "t a1 . t a0");
}

TEST(AccentTest, RulesMatchNeighboursAndComputeAccentTypes) {
  struct Case {
    const char* name;
    RuleSets sets;
    const char* atype;  // of the token "w"
    const char* top;
  } cases[] = {
      {"a number alone is never applied", {.accent = {{"(w)", "3"}}}, "0", "<none>"},
      {"bracketed number", {.accent = {{"(w)", "(3)"}}}, "3", "<none>"},
      {"leading number is selected away", {.accent = {{"(w)", "3+C"}}}, "2", "<none>"},
      {"trailing number is never applied", {.accent = {{"(w)", "C+1"}}}, "0", "<none>"},
      {"own type", {.accent = {{"(w)", "{C}"}}}, "2", "<none>"},
      {"number plus own type", {.accent = {{"(w)", "(2)+{C}"}}}, "4", "<none>"},
      {"sum", {.accent = {{"(w)", "(2)+(3)"}}}, "5", "<none>"},
      {"minus adds nothing", {.accent = {{"(w)", "(3)-C"}}}, "3", "<none>"},
      {"previous word's type", {.accent = {{"(w)", "{P}"}}}, "3", "<none>"},
      {"own type plus one", {.accent = {{"(w)", "{C}+(1)"}}}, "3", "<none>"},
      {"previous word's morae", {.accent = {{"(w)", "MP"}}}, "3", "<none>"},
      {"phrase morae so far", {.accent = {{"(w)", "M+(1)"}}}, "4", "<none>"},
      {"own morae and a bracket", {.accent = {{"(w)", "MC+(2)"}}}, "4", "<none>"},
      {"phrase's first word", {.accent = {{"(w)", "{T}"}}}, "3", "<none>"},
      {"first matching accent rule only", {.accent = {{"(w)", "(1)+(1)"}, {"[n]", "(7)"}}}, "2", "<none>"},
      {"numbers after accent", {.accent = {{"(w)", "1"}}, .numbers = {{"{C+}", "(6)"}}}, "6", "0"},
      {"previous POS", {.accent = {{"[v]-(w)", "(8)"}}}, "8", "<none>"},
      {"next side beyond the phrase", {.accent = {{"(w)+($)", "(8)"}}}, "8", "<none>"},
      {"two back", {.accent = {{"(^)--(w)", "(8)"}}}, "8", "<none>"},
      {"accent combination after a verb", {.accent = {{"(w)", "1+A"}}}, "2", "<none>"},
      {"aconr", {.accent = {{"<r1|r2>", "(9)"}}}, "9", "<none>"},
      {"POS class after the second dash", {.accent = {{"{x_y}", "(9)"}}}, "9", "<none>"},
      {"compound rule ends the phrase", {.compound = {{"[*]+(x)", "0"}}}, "2", "1"},
      {"every compound rule applies", {.compound = {{"[*]+(x)", "0"}, {"(w)", "1"}}}, "2", "0"},
      {"prefix and suffix", {.accent = {{"(q*|x*z)", "(9)"}, {"(*w)", "(5)"}}}, "5", "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SpurtBuilder b;
    JWord(b, "p", "p a0", {{"atype", "3"}, {"mora", "3"}}, false, "v");
    toxtoken* w = JWord(b, "w", "w a0", {{"atype", "2"}, {"mora", "2"}, {"aconr", "r2"}, {"acon", "v%a@2/b"}}, true, "n-c-x_y");
    JWord(b, "x", "x a0", {{"atype", "0"}}, false);
    RunStage(c.sets, "ja", b);
    EXPECT_EQ(TagVal(w, "jtag", "atype"), c.atype);
    EXPECT_EQ(TagVal(w, "jtag", "top"), c.top);
  }
}

TEST(AccentTest, MatchesPosClasses) {
  struct Case {
    const char* pos;
    const char* alternative;
    bool match;
  } cases[] = {
      {"N-c-x_y", "N", true},   {"N-c-x_y", "N-", true},  {"N-c-x_y", "-c", true}, {"N-c-x_y", "N-c", true},
      {"N-c-x_y", "V", false},  {"N-c-x_y", "-x", false}, {"N", "N-", false},      {"N", "N", true},
      {"N_c-d", "N", true},     {"N_c-d", "-c", false},   {"N-c", "N*", true},      {"N-c", "*", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pos) + " " + c.alternative);
    SpurtBuilder b;
    toxtoken* t = JWord(b, "w", "w a0", {{"atype", "0"}}, false, c.pos);
    RunStage({.accent = {{std::string("[") + c.alternative + "]", "(5)"}}}, "ja", b);
    EXPECT_EQ(TagVal(t, "jtag", "atype"), c.match ? "5" : "0");
  }
}

TEST(AccentTest, ReportsBrokenRules) {
  struct Case {
    Rules accent;
    const char* message;
    const char* atype;
  } cases[] = {
      {{{"(w)#", "(3)"}}, "Character not valid in rule.", "3"},
      {{{"(w", "(3)"}}, "Illegal archiphoneme rule, ignored.", "0"},
      {{{"(w)", "(3)z"}}, "Unknown character in rule replacement.", "3"},
      {{{"<r1>", "(3)"}}, "", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.accent[0].first);
    SpurtBuilder b;
    toxtoken* t = JWord(b, "w", "w a0", {{"atype", "0"}});
    const std::string log = RunStage({.accent = c.accent}, "ja", b);
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(TagVal(t, "jtag", "atype"), c.atype);
  }
  SpurtBuilder b;
  toxtoken* t = b.Word("w", "w a0", "n");
  const std::string log = RunStage({.accent = {{"(w)", "3"}}}, "ja", b);
  EXPECT_NE(log.find("The jtag has not been set."), std::string::npos) << log;
  EXPECT_EQ(TagVal(t, "jtag", "atype"), "<none>");
}

toxtoken* Part(SpurtBuilder& b, const std::string& norm, const char* phonemes, bool continues) {
  toxtoken* t = b.Word(norm, phonemes);
  QLTP_toxtoken_setfeat(t, QLTP_FEAT_COMPOUND_CONTINUES, continues);
  return t;
}

TEST(AccentTest, RewritesAndMergesCompounds) {
  SpurtBuilder b;
  Part(b, "solo", "s o1 l o2", false);
  toxtoken* first = Part(b, "sjuk", "s j u1 k3", true);
  toxtoken* middle = Part(b, "hus", "h u1 s", true);
  toxtoken* last = Part(b, "tak", "t a2 k e3", false);
  RunStage({}, "sv", b);
  EXPECT_EQ(TagVal(first, "lex", "phonemes"), "s j u0 k3 . h u0 s . t a0 k e2");
  EXPECT_STREQ(QLTP_toxtoken_getnorm(first), "sjukhustak");
  for (toxtoken* t : {middle, last}) {
    EXPECT_EQ(TagVal(t, "lex", "phonemes"), "");
    EXPECT_STREQ(QLTP_toxtoken_getnorm(t), "");
  }
  EXPECT_EQ(TagVal(b.Word("x", "x"), "lex", "phonemes"), "x");

  SpurtBuilder no;
  toxtoken* a = Part(no, "sol", "s u1 l", true);
  toxtoken* c = Part(no, "skinn", "sj i2 n", false);
  RunStage({}, "no", no);
  EXPECT_EQ(TagVal(a, "lex", "phonemes"), "s u1 l . sj i2 n");
  EXPECT_STREQ(QLTP_toxtoken_getnorm(a), "solskinn");
  EXPECT_EQ(TagVal(c, "lex", "phonemes"), "");

  SpurtBuilder broken;
  toxtoken* alone = Part(broken, "sol", "s u1 l", true);
  testing::internal::CaptureStderr();
  const std::string log = RunStage({}, "no", broken);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Broken compound encountered!"), std::string::npos) << log;
  EXPECT_NE(err.find("Pos: 0; norm: sol"), std::string::npos) << err;
  EXPECT_EQ(TagVal(alone, "lex", "phonemes"), "s u1 l");
}

TEST(AccentTest, RuleSetsRoundTripThroughDatabase) {
  const RuleSets sets{.compound = {{"[*]+(x)", "0"}}, .accent = {{"(w)", "{P}+1"}}, .numbers = {{"<r1>", "M"}}};
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    auto db = AccentDb(sets, "ja", swapped);
    auto* m = db->Get<hashstrarray>("TPOBJ_JPACCENT:ACCENT");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(QLTP_hashstrarray_lookup(m, "(w)", -1), "{P}+1");
    ScratchDir dir;
    const std::string path = dir.Path("jpaccent_rt.tpdb");
    const std::string first = WriteTestDb(path, {{"TPOBJ_JPACCENT:ACCENT", m}}, swapped);
    LoadedDb again(path);
    EXPECT_EQ(WriteTestDb(path, {{"TPOBJ_JPACCENT:ACCENT", again.Get<hashstrarray>("TPOBJ_JPACCENT:ACCENT")}}, swapped),
              first);
    std::remove(path.c_str());
  }
}

}  // namespace
