#include "textproc/normalise.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"
#include "test_db.h"
#include "textproc/abbrev.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

using orvelle_test::DbObject;

std::string Lookups() {
  std::string down = "<lookup name='downcase'><![CDATA[{";
  for (char c = 'A'; c <= 'Z'; ++c) down += std::string(c == 'A' ? "" : ", ") + "'" + c + "':'" + char(c + 32) + "'";
  return down + "}]]></lookup>\n<lookup name='utfpunc2ascii'><![CDATA[{'\xE2\x80\x99':\"'\", '\xE2\x80\x9C':'\"', '\xE2\x80\x9D':'\"', '`':\"'\"}]]></lookup>\n";
}

const std::string kRules = "<rules>\n<regex name='punc_strip'><![CDATA[^(\\W*)(.*?)(\\W*)$]]></regex>\n"
                           "<regex name='alpha'><![CDATA[[A-Za-z]]]></regex>\n" +
                           Lookups() + "</rules>\n";

// The base rules with an ordering of rule groups that rewrite numbers and
// words ending in "-ish" in their own token (a number missing from the
// lookup is left with no words).
const std::string kOrderedRules =
    kRules.substr(0, kRules.size() - 9) +
    "<regex name='digits'><![CDATA[^\\d+$]]></regex>\n"
    "<regex name='ish'><![CDATA[^(\\w+)-ish$]]></regex>\n"
    "<lookup name='digitlkp'><![CDATA[{'1':'one','2':'two','12':'twelve'}]]></lookup>\n"
    "<ordering name='default' sequence='numbers missing words'/>\n"
    "<rule name='n' type='numbers'><match><com name='R:digits' in='N+00'/></match>"
    "<replace><com name='L:digitlkp' in='C00' out='N+00'/></replace></rule>\n"
    "<rule name='w' type='words'><match><com name='R:ish' in='N+00'/></match>"
    "<replace><com val='kind of' out='N+00'/></replace></rule>\n"
    "</rules>\n";

nrules* Rules(const std::string& text) {
  ::testing::internal::CaptureStdout();
  nrules* set = QLTP_deserialise_nrules(nullptr, text.c_str());
  ::testing::internal::GetCapturedStdout();
  return set;
}

abbdict* Abbrev(const std::string& text) {
  ::testing::internal::CaptureStdout();
  abbdict* d = QLTP_deserialise_abbrev(text.c_str());
  ::testing::internal::GetCapturedStdout();
  return d;
}

struct Database {
  std::string language = "en";
  std::string rules = kRules;  // empty: no rule set
  std::string abbrev_default = "Dr 1 doctor\nSt 0 street\nMr 1 mister\nAB 0 <sub alias='x'/> a:n b\n";
  std::string abbrev_custom = "Dr 1 custom doctor\n";
  std::string lexicon;
  std::string config;  // tpconfig document, when given
};

// A normaliser over a database built from the setup, in a tokeniser
// channel that lends it its logger, settings and lexicon manager.
class Normaliser {
 public:
  explicit Normaliser(const Database& s = Database()) {
    std::vector<DbObject> objects;
    std::vector<void*> made;
    nrules* set = s.rules.empty() ? nullptr : Rules(s.rules);
    if (set) objects.push_back({"TPOBJ_NRULES:DEFAULT", set});
    abbdict* def = Abbrev(s.abbrev_default);
    abbdict* custom = Abbrev(s.abbrev_custom);
    objects.push_back({"TPOBJ_ABBREV:DEFAULT", def});
    objects.push_back({"TPOBJ_ABBREV:CUSTOM", custom});
    if (!s.lexicon.empty()) {
      objects.push_back({"TPOBJ_LEXMGR:DEFAULT", nullptr, orvelle_test::TextObject("main:0")});
      objects.push_back({"TPOBJ_LEXHASH:MAIN", nullptr, orvelle_test::TextObject("main\n" + s.lexicon)});
    }
    const orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("normalise_" + s.language + ".tpdb");
    orvelle_test::WriteTestDb(path, objects, false, {{"LANGUAGE", s.language}});
    QLTP_nrules_delete(set);
    QLTP_abbdict_delete(def);
    QLTP_abbdict_delete(custom);
    db = std::make_unique<orvelle_test::LoadedDb>(path);
    std::remove(path.c_str());
    std::string config_path;
    if (!s.config.empty()) {
      config_path = dir.Path("normalise_config.xml");
      orvelle_test::WriteFile(config_path, s.config);
    }
    ch = QLTP_tpc_newtype(db->db, config_path.empty() ? nullptr : config_path.c_str(), 0, nullptr, QLTP_TPC_TK);
    if (!config_path.empty()) std::remove(config_path.c_str());
    QLTP_logger_set_store(QLTP_tpc_get_logger(ch));
    pool = QLTP_toxpool_new(4, 64, 64);
    ch->pool = pool;
    n = QLTP_normalise_new(ch);
    ch->normaliser = n;
    input = QLTP_voidparray_new();
  }
  ~Normaliser() {
    QLTP_normalise_delete(n);
    ch->normaliser = nullptr;
    ch->pool = nullptr;
    QLTP_tpc_delete(ch);
    QLTP_voidparray_delete(input);
    QLTP_toxpool_delete(pool);
  }

  // Tokens from words: a word followed by a blank in `text` gets feature
  // 0; "|" cuts a word into tokens without space between them.
  voidparray* Tokens(const std::string& text) {
    QLTP_voidparray_clear(input);
    std::istringstream in(text);
    std::string word;
    size_t at = 0;
    while (in >> word) {
      at = text.find(word, at) + word.size();
      for (size_t from = 0, bar; from <= word.size(); from = bar + 1) {
        bar = std::min(word.find('|', from), word.size());
        toxtoken* t = QLTP_toxpool_token(pool);
        QLTP_toxtoken_setparent(t, input);
        QLTP_toxtoken_set(t, word.substr(from, bar - from).c_str(), -1);
        QLTP_toxtoken_setfeat(t, QLTP_FEAT_WHITESPACE, bar == word.size() && at < text.size());
        QLTP_voidparray_add(input, t);
      }
    }
    return input;
  }

  // One line per token handed on: norm, punctuation and features 0 and 2-6.
  std::vector<std::string> Process(const std::string& text, int final) {
    return Describe(QLTP_normalise_process(n, Tokens(text), final));
  }
  std::vector<std::string> Describe(voidparray* out) {
    std::vector<std::string> lines;
    for (int i = 0; i < QLTP_voidparray_sz(out); ++i) {
      toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(out, i));
      std::string line = std::string("[") + QLTP_toxtoken_getprepunc(t) + "]" + QLTP_toxtoken_getnorm(t) + "[" +
                         QLTP_toxtoken_getpstpunc(t) + "]";
      for (int f : {0, 2, 3, 4, 5, 6, 8}) line += QLTP_toxtoken_getfeat(t, f) ? std::to_string(f) : "";
      if (const char* entry = QLTP_toxtoken_tagval(t, "lex", "entry")) line += std::string(" entry=") + entry;
      if (const char* alias = QLTP_toxtoken_tagval(t, "sub", "alias")) line += std::string(" sub=") + alias;
      lines.push_back(line);
    }
    // The stage owns them until its next call; return them to the pool.
    for (int i = 0; i < QLTP_voidparray_sz(out); ++i) QLTP_toxtoken_clear(QLTP_toxtoken_cast(QLTP_voidparray_idx(out, i)));
    return lines;
  }
  bool Logged(const std::string& message) {
    for (int i = 0; const char* line = QLTP_logger_msg(QLTP_tpc_get_logger(ch), i); ++i)
      if (std::strstr(line, message.c_str())) return true;
    return false;
  }

  std::unique_ptr<orvelle_test::LoadedDb> db;
  channel* ch;
  toxpool* pool;
  normalise* n;
  voidparray* input;
};

using Lines = std::vector<std::string>;

TEST(NormaliseTest, NonFinalCallsHoldTheLastThreeTokensBack) {
  Normaliser z;
  ASSERT_NE(z.n, nullptr);
  EXPECT_EQ(z.Process("one two three four five ", 0).size(), 2u);
  EXPECT_EQ(z.Process("six seven", 0).size(), 2u);
  EXPECT_EQ(z.Process("", 1), (Lines{"[]five[]03", "[]six[]03", "[]seven[]3"}));
  EXPECT_EQ(z.Process("a b", 0).size(), 0u);
  EXPECT_EQ(z.Process("", 1).size(), 2u);
  // A reset in mid-stream drops what was held back, back to the pool.
  z.Process("p q r s", 0);
  toxtoken* held = QLTP_toxtoken_cast(QLTP_voidparray_idx(z.input, 3));
  QLTP_normalise_reset(z.n);
  EXPECT_TRUE(z.Logged("Normalise context lost"));
  EXPECT_EQ(held->parent, nullptr);
  EXPECT_EQ(z.Process("t", 1), Lines{"[]t[]3"});
}

TEST(NormaliseTest, QuotesAndPunctuation) {
  Normaliser z;
  const struct {
    const char* text;
    Lines want;
  } cases[] = {
      {"'Tis the dogs' day", {"[']tis[]0236", "[]the[]03", "[]dogs[']03", "[]day[]3"}},
      {"the dogs' day", {"[]the[]03", "[]dogs'[]034", "[]day[]3"}},
      {"(said \xE2\x80\x9Chi\xE2\x80\x9D, \xE2\x80\x99twas", {"[(]said[]03", "[\"]hi[\",]03", "[']twas[]3"}},
      {"'a' b'", {"[']a[']03", "[]b'[]34"}},
      {"`tis the dogs` day", {"[']tis[]03", "[]the[]03", "[]dogs[']03", "[]day[]3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(z.Process(c.text, 1), c.want);
    QLTP_normalise_reset(z.n);
  }
}

TEST(NormaliseTest, AbbreviationsExpandFromTheFirstDictionaryThatHasThem) {
  Normaliser z;
  EXPECT_EQ(z.Process("Dr. Who", 1), (Lines{"[]custom[]03", "[]doctor[]03", "[]who[]236"}));
  EXPECT_EQ(z.Process("St. Paul", 1), (Lines{"[]street[.]03", "[]paul[]236"}));
  EXPECT_EQ(z.Process("AB", 1), (Lines{"[]a[]03 entry=n sub=x", "[]b[]3 sub=x"}));
  ASSERT_EQ(QLTP_tpc_add_abbreviation(z.ch, "Dr", "drive", 0), 1);
  EXPECT_EQ(QLTP_abbmgr_sz(z.n->abbreviations), 1);
  EXPECT_EQ(z.Process("(Dr.)", 1), Lines{"[(]drive[.)]3"});
  // A candidate of several tokens: the expansion goes to the token the key
  // begins in; punctuation cut off stays with its tokens.
  EXPECT_EQ(z.Process("(|Dr|.) x", 1), (Lines{"[(][]6", "[]drive[]3", "[.)][]06", "[]x[]3"}));
  // Glued tokens stay one candidate: "xSt." is no abbreviation.
  EXPECT_EQ(z.Process("x|St|.", 1), (Lines{"[]x[]3", "[]st[]236", "[.][]6"}));
  // A candidate still open when the ready tokens end waits for the rest.
  EXPECT_EQ(z.Process("a b (|Dr|.) x y", 0), (Lines{"[]a[]03", "[]b[]03"}));
  EXPECT_EQ(z.Process("", 1), (Lines{"[(][]6", "[]drive[]3", "[.)][]06", "[]x[]03", "[]y[]3"}));
  // Tokens handed on are final, so an abbreviation that runs from the ready
  // tokens into the held ones keeps them all back: pieces give what one
  // call gives.
  const struct {
    const char* text;
    size_t handed;  // by a non-final call
  } spans[] = {{"a b M|r x y", 2}, {"1|2|3|4|5 Mr", 0}, {"1|2|3|4|5|6 x y", 0}};
  for (const auto& [text, handed] : spans) {
    SCOPED_TRACE(text);
    const Lines whole = z.Process(text, 1);
    Lines pieces = z.Process(text, 0);
    EXPECT_EQ(pieces.size(), handed);
    const Lines rest = z.Process("", 1);
    pieces.insert(pieces.end(), rest.begin(), rest.end());
    EXPECT_EQ(pieces, whole);
  }
  EXPECT_EQ(z.Process("a b M|r x y", 1), (Lines{"[]a[]03", "[]b[]03", "[]mister[]3", "[][]06", "[]x[]03", "[]y[]3"}));
  const std::string eighty(80, 'x');
  ::testing::internal::CaptureStdout();
  const Lines long_token = z.Process(eighty, 1);
  EXPECT_EQ(long_token, Lines{"[]" + eighty + "[]3"});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "WARNING: token '" + eighty + "' too long for abbreviations reduction.\n");
}

TEST(NormaliseTest, RuleGroupsOfTheDefaultOrderingRewriteTokens) {
  {
    Normaliser z;
    EXPECT_EQ(z.Process("12 greenish", 1), (Lines{"[]12[]04", "[]greenish[]3"}));
    EXPECT_TRUE(z.Logged("Invalid rule ordering"));
  }
  Database d;
  d.rules = kOrderedRules;
  Normaliser z(d);
  // Plain words are not given to the rules.
  EXPECT_EQ(z.Process("12 (green-ish) 3 Greenish", 1),
            (Lines{"[]twelve[]04", "[(]kind[]34", "[]of[)]03", "[][]04", "[]greenish[]236"}));
  EXPECT_TRUE(z.Logged("Invalid rule group"));
}

// With no token left in the pool an expansion keeps its first word.
TEST(NormaliseTest, ExpansionsStopWhenThePoolHasNoTokens) {
  Normaliser z;
  toxpool* empty = QLTP_toxpool_new(1, 0, 8);
  z.ch->pool = empty;
  z.n->context.pool = empty;
  toxtoken* t = QLTP_toxtoken_new();
  QLTP_toxtoken_set(t, "AB", -1);
  voidparray* in = QLTP_voidparray_new();
  QLTP_voidparray_add(in, t);
  voidparray* out = QLTP_normalise_process(z.n, in, 1);
  ASSERT_EQ(QLTP_voidparray_sz(out), 1);
  EXPECT_STREQ(QLTP_toxtoken_getnorm(t), "a");
  EXPECT_TRUE(z.Logged("No tokens available truncated item"));
  QLTP_toxtoken_delete(t);
  QLTP_voidparray_delete(in);
  z.ch->pool = z.pool;
  QLTP_toxpool_delete(empty);
}

TEST(NormaliseTest, InactiveOrWithoutRulesTokensPassUnchanged) {
  Database inactive;
  inactive.config = "<tpconfig><normalise active='False'/></tpconfig>";
  Database no_rules;
  no_rules.rules.clear();
  for (const Database& s : {inactive, no_rules}) {
    Normaliser z(s);
    ASSERT_NE(z.n, nullptr);
    EXPECT_EQ(z.Process("Dr. 'Who'", 1), (Lines{"[]Dr.[]0", "[]'Who'[]"}));
  }
}

TEST(NormaliseTest, FullPunctuationSplitStopsOnEmptyMatches) {
  Database s;
  s.rules = "<rules><regex name='punc_strip_full'><![CDATA[(a*)(b*)(c*) ?]]></regex>" + Lookups() + "</rules>";
  Normaliser z(s);
  EXPECT_EQ(z.Process("abc_x", 1), (Lines{"[a]b[c]4", "[]_x[]4"}));
  EXPECT_EQ(z.Process("aabbcc ab", 1), (Lines{"[aa]bb[cc]04", "[a]b[]4"}));
}

// Without spaces between words (Chinese, Japanese), an abbreviation is found
// inside a longer run of glued tokens.
TEST(NormaliseTest, GluedTextFindsAbbreviationsInsideRuns) {
  Database d;
  d.language = "ja";
  d.abbrev_default = "km 0 kiro\n";
  Normaliser z(d);
  EXPECT_EQ(z.Process("5|km|x", 1), (Lines{"[]5[]4", "[]kiro[]3", "[]x[]3"}));
  Database en;
  en.abbrev_default = "km 0 kiro\n";
  Normaliser e(en);
  EXPECT_EQ(e.Process("5|km|x", 1), (Lines{"[]5[]4", "[]km[]3", "[]x[]3"}));
}

TEST(NormaliseTest, SwedishCompoundsAreSplitIntoTokens) {
  Database s;
  s.language = "sv";
  s.lexicon = "sjuk s_j_uu1_k entry_n freq_1000000\nhus h_uu1_s entry_n freq_100\n";
  Normaliser z(s);
  EXPECT_EQ(z.Process("sjukhus", 1), (Lines{"[]sjuk[]38", "[]hus[]3"}));
}

// Feeding a text in two pieces at every split point hands on the same
// tokens as one final call.
TEST(NormaliseTest, PiecesGiveTheSameTokensAsOneCall) {
  std::ifstream in("/usr/share/common-licenses/GPL-3");
  ASSERT_TRUE(in) << "GPL-3 licence text missing";
  std::string text, word;
  for (int i = 0; i < 120 && in >> word; ++i) text += word + (i % 9 == 8 ? "\n" : " ");
  text += "Dr. Who's 'quoted' St. (Mr.) it's (|Dr|.) St|. x|St|.|a 'a b c' d e' 12 1 red-ish";
  Database d;
  d.rules = kOrderedRules;
  Normaliser z(d);
  const Lines whole = z.Process(text, 1);
  ASSERT_GT(whole.size(), 100u);
  std::vector<std::string> words;
  std::istringstream split(text);
  while (split >> word) words.push_back(word);
  for (size_t cut = 0; cut <= words.size(); cut += 3) {
    std::string a, b;
    for (size_t i = 0; i < words.size(); ++i) (i < cut ? a : b) += words[i] + " ";
    if (!b.empty()) b.pop_back();
    else if (!a.empty()) a.pop_back();
    Lines got = z.Process(a, 0);
    Lines rest = z.Process(b, 1);
    got.insert(got.end(), rest.begin(), rest.end());
    ASSERT_EQ(got, whole) << "cut after " << cut;
  }
}

// Mutated text (broken UTF-8, stray quotes and markup, long runs) goes
// through in pieces without harm, and every token given is handed on once.
TEST(NormaliseTest, MutatedTextIsHandedOnWhole) {
  std::mt19937 rng(2122);
  const std::string base = "Dr. Who's 'quoted' St. (Mr.) it's (|Dr|.) x|St|.|a 'a b c' d e' 12 1 red-ish AB \xE2\x80\x99twas";
  const char letters[] = "'.,()|<>/:- aAbB12\xE2\x80\x99\xFF\xC3";
  const std::string alphabet(letters, sizeof letters - 1);
  Database d;
  d.rules = kOrderedRules;
  Normaliser z(d);
  ::testing::internal::CaptureStdout();
  for (int round = 0; round < 1500; ++round) {
    std::string t = base;
    for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k) {
      const size_t at = rng() % t.size();
      if (rng() % 2) t[at] = alphabet[rng() % alphabet.size()];
      else t.insert(at, std::string(1 + rng() % 90, alphabet[rng() % alphabet.size()]));
    }
    const size_t cut = t.find(' ', rng() % t.size());
    const std::string a = cut == std::string::npos ? t : t.substr(0, cut);
    const std::string b = cut == std::string::npos ? "" : t.substr(cut + 1);
    size_t out = z.Process(a, 0).size();
    size_t given = static_cast<size_t>(QLTP_voidparray_sz(z.input));
    out += z.Process(b, 1).size();
    given += static_cast<size_t>(QLTP_voidparray_sz(z.input));
    EXPECT_GE(out, given) << t;  // expansions only add tokens
  }
  ::testing::internal::GetCapturedStdout();
}

// Overrides, database resets and deletion in every order: every override
// is undone once, database objects are never freed (ASan checks both).
TEST(NormaliseTest, OverridesUndoInEveryOrder) {
  const orvelle_test::ScratchDir dir;
  const std::string rules_path = dir.Path("override_rules.xml");
  const std::string abbrev_path = dir.Path("override_abbrev.txt");
  orvelle_test::WriteFile(rules_path, kRules);
  orvelle_test::WriteFile(abbrev_path, "Dr 1 override doctor\n");
  enum Op { kOverride, kAbbrev, kResetRules, kResetTpdb };
  std::vector<Op> ops = {kOverride, kAbbrev, kResetRules, kResetTpdb};
  std::sort(ops.begin(), ops.end());
  do {
    for (int repeat : {1, 2}) {
      Normaliser z;
      nrules* stored = z.n->rules;
      abbdict* stored_custom = z.n->abbrev_custom;
      for (Op op : ops) {
        for (int k = 0; k < repeat; ++k) switch (op) {
            case kOverride:
              ::testing::internal::CaptureStdout();
              EXPECT_EQ(QLTP_tpc_override_normaliser(z.ch, rules_path.c_str(), abbrev_path.c_str()), 1);
              ::testing::internal::GetCapturedStdout();
              EXPECT_NE(z.n->rules, stored);
              break;
            case kAbbrev:
              EXPECT_EQ(QLTP_tpc_override_abbrev(z.ch, abbrev_path.c_str()), 1);
              break;
            case kResetRules:
              QLTP_tpc_reset_rules(z.ch);
              EXPECT_EQ(z.n->rules, stored);
              break;
            case kResetTpdb:
              QLTP_normalise_reset_tpdb(z.n, z.ch);
              EXPECT_EQ(z.n->rules, stored);
              EXPECT_EQ(z.n->abbrev_custom, stored_custom);
              break;
          }
        z.Process("Dr. x", 1);
      }
    }
  } while (std::next_permutation(ops.begin(), ops.end()));
  std::remove(rules_path.c_str());
  std::remove(abbrev_path.c_str());
}

}  // namespace
