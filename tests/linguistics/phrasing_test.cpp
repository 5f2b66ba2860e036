#include "linguistics/phrasing.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "spurt_stage.h"

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
    EXPECT_EQ(Phraser::Render(QLTP_phrasing_process(p.ph, stream, 1)), c.spurts);
  }

  // A token's own "False" takes the newline break even when the stage ignores
  // newlines.
  Phraser p(std::string(kPlain) + " ignore_newline='True'");
  voidparray* stream = p.Stream({"one", "two", "three"});
  QLTP_toxtoken_setfeat(Phraser::At(stream, 1), QLTP_FEAT_LINEBREAK, 1);
  p.Element(stream, 1, 2, "phrasing", {{"ignore_newline", "False"}});
  EXPECT_EQ(Phraser::Render(QLTP_phrasing_process(p.ph, stream, 1)), "_{1,0.050} one two{3,0.150} / _{3,0.150} three{1,0.050}");
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
    voidparray* out = QLTP_phrasing_process(p.ph, stream, 1);
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
    EXPECT_EQ(Phraser::Render(QLTP_phrasing_process(p.ph, stream, 1)), want) << element;
  }
}

}  // namespace
