#include "linguistics/phrasing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "cpu_time.h"
#include "spurt_stage.h"
#include "textproc/channel.h"

namespace {

using orvelle_test::SpurtStage;

const char kBreaks[] =
    "DEFAULT 1 0.05 1 0.05\n"
    "FORCED 2 0.1 0 0\n"
    "newline 3 0.3 0 0\n"
    ", 2 0.2 0 0\n"
    ". 4 0.4 0 0\n"
    "( 0 0 2 0.15\n"
    "strong 4 0.8 4 0.8\n"
    "medium 3 0.5 3 0.5\n"
    "weak 2 0.25 2 0.25\n";

// A stage over a database holding the break table and the pair weights, with
// the phrasing settings given as attributes.
struct Phraser {
  pbreak* breaks;
  prules* pairs;
  SpurtStage stage;
  phrasing* ph;
  toxtag* open_parent = nullptr;  // the document element's tag on the last token made

  explicit Phraser(const std::string& settings, const char* pair_text = "", int tokens_in_pool = 64)
      : breaks(QLTP_deserialise_pbreak(kBreaks)),
        pairs(QLTP_deserialise_prules(pair_text)),
        stage({{"TPOBJ_PBREAK:DEFAULT", breaks}, {"TPOBJ_PRULES:DEFAULT", pairs}}),
        ph(nullptr) {
    config* cfg = QLTP_config_new("tpconfig", 8);
    std::string doc = "<tpconfig><phrasing " + settings + "/></tpconfig>";
    EXPECT_TRUE(QLTP_config_load(cfg, doc.c_str(), static_cast<int>(doc.size())));
    QLTP_configsettings_delete(stage.ch->settings);
    stage.ch->settings = QLTP_configsettings_new(cfg, nullptr);
    if (tokens_in_pool != 64) {
      QLTP_toxpool_delete(stage.pool);
      stage.pool = stage.ch->pool = QLTP_toxpool_new(64, tokens_in_pool, 256);
    }
    ph = QLTP_phrasing_new(stage.ch);
    stage.ch->phraser = ph;
  }
  ~Phraser() {
    stage.ch->phraser = nullptr;
    QLTP_phrasing_delete(ph);
    for (voidparray* s : streams) QLTP_voidparray_delete(s);
    QLTP_pbreak_delete(breaks);
    QLTP_prules_delete(pairs);
  }

  // Tokens of words such as "(word," (pre- and post-punctuation kept apart);
  // every token carries the document element, closed on the last token of a
  // call with `ends` set.
  voidparray* Stream(const std::vector<std::string>& words, bool ends = true) {
    voidparray* stream = QLTP_voidparray_new();
    streams.push_back(stream);
    for (size_t k = 0; k < words.size(); ++k) {
      std::string w = words[k];
      size_t a = w.find_first_not_of("(\""), b = w.find_last_not_of(".,;:!?\")");
      std::string pre = w.substr(0, a), core = a == std::string::npos ? "" : w.substr(a, b - a + 1);
      std::string post = b == std::string::npos ? w : w.substr(b + 1);
      toxtoken* t = QLTP_toxpool_token(stage.pool);
      QLTP_toxtoken_setparent(t, stream);
      QLTP_toxtoken_set(t, core.c_str(), -1);
      QLTP_toxtoken_set_norm(t, core.c_str(), -1);
      QLTP_toxtoken_setprepunc(t, pre.c_str(), -1);
      QLTP_toxtoken_setpstpunc(t, post.c_str(), -1);
      bool last = ends && k + 1 == words.size();
      toxtag* parent = QLTP_toxpool_tag(stage.pool);
      QLTP_toxtag_init(parent, t, "parent", -1,
                       !open_parent ? (last ? QLTP_TAG_STARTEND : QLTP_TAG_START) : (last ? QLTP_TAG_END : QLTP_TAG_MID));
      Link(open_parent, parent);
      QLTP_toxtoken_addtag(t, parent);
      open_parent = last ? nullptr : parent;
      QLTP_voidparray_add(stream, t);
    }
    return stream;
  }
  // Phrases the stream; a stream's first call brings the parser's empty seed
  // token first, as the token parsers do.
  voidparray* Process(voidparray* stream, int final) {
    if (at_start) {
      voidparray* seeded = QLTP_voidparray_new();
      streams.push_back(seeded);
      toxtoken* seed = QLTP_toxpool_token(stage.pool);
      QLTP_toxtoken_setparent(seed, seeded);
      QLTP_voidparray_add(seeded, seed);
      for (int i = 0; i < QLTP_voidparray_sz(stream); ++i) QLTP_voidparray_add(seeded, QLTP_voidparray_idx(stream, i));
      stream = seeded;
    }
    at_start = final != 0;
    return QLTP_phrasing_process(ph, stream, final);
  }
  // Element tag `name` over tokens [from, to) of a stream.
  std::vector<toxtag*> Element(voidparray* stream, int from, int to, const char* name,
                               std::vector<std::pair<const char*, const char*>> attributes = {}) {
    std::vector<toxtag*> tags;
    for (int i = from; i < to; ++i) {
      toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(stream, i));
      toxtag* tag = QLTP_toxpool_tag(stage.pool);
      int type = to - from == 1 ? QLTP_TAG_STARTEND : i == from ? QLTP_TAG_START : i + 1 == to ? QLTP_TAG_END : QLTP_TAG_MID;
      QLTP_toxtag_init(tag, t, name, -1, type);
      for (auto [n, v] : attributes) QLTP_toxtag_set_attrib(tag, n, -1, v, -1);
      Link(tags.empty() ? nullptr : tags.back(), tag);
      QLTP_toxtoken_addtag(t, tag);
      tags.push_back(tag);
    }
    return tags;
  }
  static void Link(toxtag* previous, toxtag* tag) {
    if (!previous) return;
    tag->fellow = previous;
    previous->follower = tag;
  }
  static toxtoken* At(voidparray* stream, int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(stream, i)); }

  // "_{1,0.05} hello{1,0.05} / ...": each spurt's tokens ('_' for the pause)
  // with their breaks as {type,time}.
  static std::string Render(const voidparray* spurts) {
    std::string out;
    for (int s = 0; s < QLTP_voidparray_sz(spurts); ++s) {
      voidparray* tokens = QLTP_toxspurt_tokens(QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, s)));
      if (s) out += " / ";
      for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
        toxtoken* t = At(tokens, i);
        out += i ? " " : "";
        out += i ? QLTP_toxtoken_getnorm(t) : "_";
        for (int k = 0; k < QLTP_toxtoken_notags(t); ++k) {
          toxtag* tag = QLTP_toxtoken_tagidx(t, k);
          if (std::string(QLTP_toxtag_name(tag)) == "break")
            out += std::string("{") + QLTP_toxtag_val(tag, "type") + "," + QLTP_toxtag_val(tag, "time") + "}";
        }
      }
    }
    return out;
  }

  std::vector<voidparray*> streams;
  bool at_start = true;
};

const char kPlain[] = "by_utterance='False' max_phrase_length='30' phrase_length_window='10'";

TEST(PhrasingTest, BreaksComeFromPunctuationLinesAndDefaults) {
  struct Case {
    std::string settings;
    std::vector<std::string> words;
    int newline_at;  // word given feature 1, -1 for none
    const char* spurts;
  };
  const Case cases[] = {
      {kPlain, {"hello"}, -1, "_{1,0.050} hello{1,0.050}"},
      {kPlain, {"Hello,", "world."}, -1, "_{1,0.050} Hello{2,0.100} / _{2,0.100} world{4,0.400}"},
      {kPlain, {"see", "(this"}, -1, "_{1,0.050} see{2,0.075} / _{2,0.075} this{1,0.050}"},
      {kPlain, {"one", "two", "three"}, 1, "_{1,0.050} one two{3,0.150} / _{3,0.150} three{1,0.050}"},
      {std::string(kPlain) + " ignore_newline='True'", {"one", "two", "three"}, 1, "_{1,0.050} one two three{1,0.050}"},
      {kPlain, {"a?!"}, -1, "_{1,0.050} a{1,0.050}"},  // unknown punctuation: the final DEFAULT
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings + " " + std::to_string(c.words.size()));
    Phraser p(c.settings);
    voidparray* stream = p.Stream(c.words);
    if (c.newline_at >= 0) QLTP_toxtoken_setfeat(Phraser::At(stream, c.newline_at), QLTP_FEAT_LINEBREAK, 1);
    EXPECT_EQ(Phraser::Render(p.Process(stream, 1)), c.spurts);
  }

  // A token's own "False" takes the newline break even when the stage ignores
  // newlines.
  Phraser p(std::string(kPlain) + " ignore_newline='True'");
  voidparray* stream = p.Stream({"one", "two", "three"});
  QLTP_toxtoken_setfeat(Phraser::At(stream, 1), QLTP_FEAT_LINEBREAK, 1);
  p.Element(stream, 1, 2, "phrasing", {{"ignore_newline", "False"}});
  EXPECT_EQ(Phraser::Render(p.Process(stream, 1)), "_{1,0.050} one two{3,0.150} / _{3,0.150} three{1,0.050}");
}

TEST(PhrasingTest, MarkupBreaksAndElementsSetTheirBreaks) {
  struct Case {
    int at;  // the word with the SSML break
    std::vector<std::pair<const char*, const char*>> attributes;
    const char* spurts;
  };
  const Case cases[] = {
      {2, {{"time", "500ms"}}, "_{1,0.050} a b c{1,0.500}"},
      {2, {{"time", "7200s"}}, "_{1,0.050} a b c{1,3600}"},  // at most an hour
      {2, {{"time", "5ms"}}, "_{1,0.050} a b c{1,0.005}"},   // milliseconds at any length
      {2, {{"strength", "strong"}}, "_{1,0.050} a b c{4,0.800}"},
      {2, {{"strength", "medium"}, {"time", "1"}}, "_{1,0.050} a b c{3,1}"},
      {1, {{"time", "0.3"}}, "_{1,0.050} a b{1,0.150} / _{1,0.150} c{1,0.050}"},
      {1, {{"type", "0"}}, "_{1,0.050} a b c{1,0.050}"},     // no break at all on b
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spurts);
    Phraser p(kPlain);
    voidparray* stream = p.Stream({"a", "b", "c"});
    p.Element(stream, c.at, c.at + 1, "break", c.attributes);
    voidparray* out = p.Process(stream, 1);
    EXPECT_EQ(Phraser::Render(out), c.spurts);
  }

  // Paragraph, sentence and spurt elements put their strengths before their
  // first word and after their last.
  const std::pair<const char*, const char*> elements[] = {
      {"p", "_{4,0.800} a b{4,0.400} / _{4,0.400} c{1,0.050}"},
      {"s", "_{3,0.500} a b{3,0.250} / _{3,0.250} c{1,0.050}"},
      {"spurt", "_{2,0.250} a b{2,0.125} / _{2,0.125} c{1,0.050}"},
  };
  for (auto [element, want] : elements) {
    Phraser p(kPlain);
    voidparray* stream = p.Stream({"a", "b", "c"});
    p.Element(stream, 0, 2, element);
    EXPECT_EQ(Phraser::Render(p.Process(stream, 1)), want) << element;
  }
}

// The words that got a forced break, with the "tpinfo" value: the tag goes
// with the closed tags behind the break to the next spurt's pause token.
std::string Forced(const voidparray* spurts) {
  std::string out, last;
  for (int s = 0; s < QLTP_voidparray_sz(spurts); ++s) {
    voidparray* tokens = QLTP_toxspurt_tokens(QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, s)));
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
      toxtoken* t = Phraser::At(tokens, i);
      if (const char* how = QLTP_toxtoken_tagval(t, "tpinfo", "phrasing"))
        out += (out.empty() ? "" : " ") + (i ? std::string(QLTP_toxtoken_getnorm(t)) : last) + ":" + how;
      if (i) last = QLTP_toxtoken_getnorm(t);
    }
  }
  return out;
}

std::vector<std::string> Numbered(int n) {
  std::vector<std::string> words;
  for (int i = 1; i <= n; ++i) words.push_back("w" + std::to_string(i));
  return words;
}

TEST(PhrasingTest, LongPhrasesBreakWhereThePairWeightsSay) {
  struct Case {
    const char* pairs;
    const char* forced;
  };
  const Case cases[] = {
      {"", "w29:forced"},                                // no weight: before word 30
      {"w24_w25 0.5\n", "w24:rule"},
      {"w22_w23 1\nw26_w27 1\n", "w26:rule"},            // a tie goes to the later pair
      {"w22_w23 2\nw26_w27 1\n", "w22:rule"},
      {"_w21 1\n", "w20:rule"},                          // any left word
      {"w18_w19 5\nw19_w20 5\n", "w29:forced"},          // outside the window
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pairs);
    Phraser p(kPlain, c.pairs);
    voidparray* out = p.Process(p.Stream(Numbered(35)), 1);
    EXPECT_EQ(Forced(out), c.forced);
    EXPECT_EQ(QLTP_voidparray_sz(out), 2);
  }

  // Every phrase ends up short enough; one-word phrases need a break on
  // every word.
  Phraser one("by_utterance='False' max_phrase_length='1' phrase_length_window='10'");
  voidparray* out = one.Process(one.Stream({"a", "b", "c"}), 1);
  EXPECT_EQ(QLTP_voidparray_sz(out), 3);
  EXPECT_EQ(Forced(out), "a:forced b:forced");

  // A phrase whose every word continues a compound cannot be broken: it is
  // left whole rather than broken before its start or tried for ever.
  Phraser compound("by_utterance='False' max_phrase_length='3' phrase_length_window='2'");
  voidparray* stream = compound.Stream(Numbered(6));
  for (int i = 0; i < 6; ++i) QLTP_toxtoken_setfeat(Phraser::At(stream, i), QLTP_FEAT_COMPOUND_CONTINUES, 1);
  out = compound.Process(stream, 1);
  EXPECT_EQ(QLTP_voidparray_sz(out), 1);
  EXPECT_EQ(Forced(out), "");
}

TEST(PhrasingTest, ProsodyCutBySpurtEndIsRetimed) {
  {
    // rate 5 counts as 3: the break in the spurt lasts a third.
    Phraser p(kPlain);
    voidparray* stream = p.Stream({"a", "b,", "c"});
    p.Element(stream, 0, 3, "sig", {{"rate", "5"}});
    EXPECT_EQ(Phraser::Render(p.Process(stream, 1)),
              "_{1,0.050} a b{2,0.033} / _{2,0.033} c{1,0.050}");
  }
  {
    // 4 characters and 0.2 s of break here, 2 and 0.05 s after: k = 2 / 31.
    Phraser p(kPlain);
    voidparray* stream = p.Stream({"aa", "bb,", "cc"});
    std::vector<toxtag*> tags = p.Element(stream, 0, 3, "prosody",
                                          {{"duration", "2000ms"}, {"contour", "(0%,+10%) (50%,+20%) (100%,-5%)"}});
    EXPECT_EQ(Phraser::Render(p.Process(stream, 1)),
              "_{1,0.050} aa bb{2,0.645} / _{2,0.645} cc{1,0.050}");
    const char* want_duration[] = {"0.258", "0.258", "0.452"};
    const char* want_contour[] = {"(0%,+10%) (75%,+20%)", "(0%,+10%) (75%,+20%)", "(0%,+20%) (100%,-5%)"};
    for (int i = 0; i < 3; ++i) {
      SCOPED_TRACE(i);
      EXPECT_STREQ(QLTP_toxtag_val(tags[static_cast<size_t>(i)], "duration"), want_duration[i]);
      EXPECT_STREQ(QLTP_toxtag_val(tags[static_cast<size_t>(i)], "contour"), want_contour[i]);
      // One "sig" copy right after the prosody tag, in seconds.
      toxtoken* t = Phraser::At(stream, i);
      int sigs = 0;
      for (int k = 0; k < QLTP_toxtoken_notags(t); ++k) sigs += std::string(QLTP_toxtag_name(QLTP_toxtoken_tagidx(t, k))) == "sig";
      EXPECT_EQ(sigs, 1);
    }
  }
}

TEST(PhrasingTest, SpurtsGroupIntoUtterances) {
  Phraser p("by_utterance='True' max_utterance_length='2' max_phrase_length='30'");
  voidparray* out = p.Process(p.Stream({"a,", "b,", "c.", "d,", "e"}), 1);
  std::string groups;
  for (int i = 0; i < QLTP_voidparray_sz(out); ++i) {
    toxspurt* s = QLTP_toxspurt_cast(QLTP_voidparray_idx(out, i));
    groups += std::to_string(s->phrase) + "/" + std::to_string(s->phrases) + " ";
  }
  // [a b] by length, [c] at its sentence break, [d e] at the end.
  EXPECT_EQ(groups, "1/2 2/2 1/1 1/2 2/2 ");

  // A stage made without utterances makes them when asked.
  Phraser q(kPlain);
  EXPECT_EQ(QLTP_phrasing_get_by_utt(q.stage.ch), 0);
  QLTP_phrasing_set_by_utt(q.stage.ch);
  EXPECT_EQ(QLTP_phrasing_get_by_utt(q.stage.ch), 1);
  out = q.Process(q.Stream({"a.", "b"}), 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(QLTP_voidparray_sz(out), 2);
  QLTP_phrasing_unset_by_utt(q.stage.ch);
  EXPECT_EQ(QLTP_phrasing_get_by_utt(q.stage.ch), 0);
}

// Merged break files go into the stage's own copy; the database's table,
// shared by every channel, keeps its values.
TEST(PhrasingTest, AddedBreakFilesChangeOnlyTheStagesCopy) {
  Phraser p(kPlain);
  const pbreak* shared = p.ph->breaks;
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("more_breaks.txt");
  orvelle_test::WriteFile(path, "DEFAULT 3 0.3 3 0.3\n");
  EXPECT_EQ(QLTP_tpc_add_pbreak(p.stage.ch, path.c_str()), 1);
  EXPECT_EQ(QLTP_tpc_add_pbreak(p.stage.ch, path.c_str()), 1);
  testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_phrasing_add_pbreak(p.ph, "/nonexistent/breaks.txt"), 0);
  testing::internal::GetCapturedStdout();
  int32_t level = 0, time = 0;
  QLTP_prules_get_break(shared, "DEFAULT", -1, 0, 0, 0, &level, &time);
  EXPECT_EQ(std::make_pair(level, time), std::make_pair(1, 50));
  EXPECT_EQ(Phraser::Render(p.Process(p.Stream({"a"}), 1)), "_{3,0.300} a{3,0.300}");
  QLTP_phrasing_reset_tpdb(p.ph, p.stage.ch);
  EXPECT_EQ(p.ph->breaks, shared);
  std::remove(path.c_str());
}

// Random streams fed in random calls: every token lands in exactly one spurt,
// in order; without prosody markup the spurts are those of one final call
// when the calls bring the pause and first word, then one token each.
TEST(PhrasingTest, RandomStreamsKeepEveryTokenOnceAndInOrder) {
  std::mt19937 rng(6123);
  const char* ends[] = {"", "", "", ",", ".", "?!", "\""};
  for (int round = 0; round < 150; ++round) {
    int n = 1 + static_cast<int>(rng() % 40);
    std::vector<std::string> words;
    for (int i = 0; i < n; ++i) words.push_back((rng() % 9 == 0 ? "(" : "") + std::string("t") + std::to_string(i) + ends[rng() % 7]);
    std::string settings = "by_utterance='" + std::string(rng() % 2 ? "True" : "False") + "' max_phrase_length='" +
                           std::to_string(rng() % 8) + "' phrase_length_window='" + std::to_string(rng() % 5) +
                           "' max_utterance_length='3'";
    SCOPED_TRACE(settings);
    std::vector<int> newline, compound;
    for (int i = 0; i < n; ++i) {
      if (rng() % 6 == 0) newline.push_back(i);
      if (rng() % 5 == 0) compound.push_back(i);
    }
    int ssml = rng() % 3 == 0 ? static_cast<int>(rng() % n) : -1;
    auto feed = [&](Phraser& p, const std::vector<int>& cuts) {
      std::vector<std::string> seen;
      std::string rendered;
      size_t at = 0;
      for (size_t c = 0; c <= cuts.size(); ++c) {
        size_t to = c < cuts.size() ? static_cast<size_t>(cuts[c]) : words.size();
        bool final = c == cuts.size();
        voidparray* stream = p.Stream(std::vector<std::string>(words.begin() + static_cast<long>(at), words.begin() + static_cast<long>(to)), final);
        for (size_t i = at; i < to; ++i) {
          toxtoken* t = Phraser::At(stream, static_cast<int>(i - at));
          if (std::find(newline.begin(), newline.end(), int(i)) != newline.end()) QLTP_toxtoken_setfeat(t, QLTP_FEAT_LINEBREAK, 1);
          if (std::find(compound.begin(), compound.end(), int(i)) != compound.end()) QLTP_toxtoken_setfeat(t, QLTP_FEAT_COMPOUND_CONTINUES, 1);
        }
        if (ssml >= static_cast<int>(at) && ssml < static_cast<int>(to)) p.Element(stream, ssml - static_cast<int>(at), ssml - static_cast<int>(at) + 1, "break", {{"time", "300ms"}});
        voidparray* out = p.Process(stream, final ? 1 : 0);
        for (int s = 0; s < QLTP_voidparray_sz(out); ++s) {
          voidparray* tokens = QLTP_toxspurt_tokens(QLTP_toxspurt_cast(QLTP_voidparray_idx(out, s)));
          EXPECT_GE(QLTP_voidparray_sz(tokens), 2);
          for (int i = 1; i < QLTP_voidparray_sz(tokens); ++i) seen.push_back(QLTP_toxtoken_getnorm(Phraser::At(tokens, i)));
        }
        std::string r = Phraser::Render(out);
        if (!r.empty()) rendered += (rendered.empty() ? "" : " / ") + r;
        at = to;
      }
      std::vector<std::string> want;
      for (int i = 0; i < n; ++i) want.push_back("t" + std::to_string(i));
      EXPECT_EQ(seen, want);
      return rendered;
    };
    Phraser whole(settings);
    std::string once = feed(whole, {});
    std::vector<int> cuts;
    for (int i = 1; i <= n; ++i) cuts.push_back(i);  // the first word, then one each, then an empty final call
    Phraser pieces(settings);
    std::string stepwise = feed(pieces, cuts);
    if (settings.find("'False'") != std::string::npos) {
      EXPECT_EQ(stepwise, once);
    }
    std::vector<int> random_cuts;
    for (int i = 1; i < n; ++i)
      if (rng() % 4 == 0) random_cuts.push_back(i);
    Phraser random(settings);
    feed(random, random_cuts);
  }
}

// Hostile input stays cheap: unpunctuated words in calls of 700 tokens, and
// one token with a run of "!" after it, take time linear in their length.
TEST(PhrasingTest, HostileInputTakesLinearTime) {
  auto words = [](int total) {
    Phraser p(kPlain, "", 1024);
    int spurts = 0;
    std::vector<std::string> chunk;
    for (int words = 0; words < total;) {
      chunk.clear();
      for (int i = 0; i < 700 && words < total; ++i, ++words) chunk.push_back("w");
      bool final = words == total;
      voidparray* stream = p.Stream(chunk, final);
      voidparray* out = p.Process(stream, final ? 1 : 0);
      spurts += QLTP_voidparray_sz(out);
      // Spurts handed on go back to the pool, as at the end of a channel.
      QLTP_toxspstream_release_tox(out);
      QLTP_voidparray_delete(p.streams.back());
      p.streams.pop_back();
    }
    return spurts;
  };
  auto bangs = [](size_t n) {
    Phraser p(kPlain, "", 1024);
    return QLTP_voidparray_sz(p.Process(p.Stream({"x" + std::string(n, '!')}), 1));
  };
  EXPECT_GE(words(100000), 100000 / 30);
  EXPECT_EQ(bangs(4000), 1);
  // Eight times the input, at most about eight times the time.
  double ratio = orvelle_test::CpuTimeRatio([&] { words(12500); }, [&] { words(100000); });
  EXPECT_LT(ratio, 24.0) << "100,000 words took " << ratio << " times the CPU time of 12,500";
  ratio = orvelle_test::CpuTimeRatio([&] { bangs(500); }, [&] { bangs(4000); });
  EXPECT_LT(ratio, 24.0) << "4,000 '!' took " << ratio << " times the CPU time of 500";
}

}  // namespace
