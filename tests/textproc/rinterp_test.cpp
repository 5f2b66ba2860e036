#include "textproc/rinterp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/voidparray.h"
#include "cpu_time.h"
#include "rules_fixture.h"

using namespace orvelle_test;

namespace {

// Values are split at blanks before they are read as words and inline
// tags, so the tag below separates its attribute with a tab.
const std::string kRules = R"(<rules>
<regex name='digits'><![CDATA[^\d+$]]></regex>
<regex name='any'><![CDATA[.+]]></regex>
<lookup name='digitlkp'><![CDATA[{'1':'one','2':'two','20':'twenty','tens_join':''}]]></lookup>
<rule name='first' type='both'><match><com name='R:digits' in='T+00'/></match>
  <replace><com val='FIRST' out='T+00'/></replace></rule>
<rule name='second' type='both'><match><com name='R:any' in='T+00'/></match>
  <replace><com val='SECOND' out='T+00'/></replace></rule>
<rule name='spell' type='spell'><match><com name='R:digits' in='T+00'/></match>
  <replace><com name='H:number' in='C00' out='T+00000X'/></replace></rule>
<rule name='two' type='two'><match><com name='R:any' in='T+00'/></match>
  <replace><com val='a b' out='T+00'/><com val='c' out='T+00'/></replace></rule>
<rule name='empty' type='empty'><match><com name='R:any' in='T+00'/></match>
  <replace><com name='L:nosuch' in='C00' out='T+00000X'/></replace></rule>
<rule name='rate' type='rate'><match><com name='X:prosody' in='T+00' attribute='rate'/></match>
  <replace><com val='$prosody:rate' range='0:100:0.5:2' out='T+00'/></replace></rule>
<rule name='closed' type='closed'><match><com name='X:break' in='T+00' xtype='closed'/></match></rule>
<rule name='start' type='start'><match><com name='X:break' in='T+00' xtype='start'/></match></rule>
<rule name='anybreak' type='anybreak'><match><com name='X:break' in='T+00'/></match></rule>
<rule name='far' type='far'><match><com name='R:any' in='T+09'/><com name='R:any' in='T+00'/></match></rule>
<rule name='left' type='left'><match><com name='R:any' in='T-01'/></match>
  <replace><com val='L' out='T-01'/></replace></rule>
<rule name='tagged' type='tagged'><match><com name='R:any' in='T+00'/></match>
  <replace><com val="<emph)" "\t" R"(level='2'/>x</emph>y z" out='T+00'/></replace></rule>
<rule name='settag' type='settag'><match><com name='R:any' in='T+00'/></match>
  <replace><com name='X:break' attribute='time' val='300' out='T+00'/></replace></rule>
<rule name='badin' type='badin'><match><com name='R:any' in='T+00'/></match>
  <replace><com name='H:number' in='C05' out='T+00'/></replace></rule>
<regex name='alpha'><![CDATA[^[a-zA-Z]$]]></regex>
<lookup name='downcase'><![CDATA[{'A':'a','C':'c'}]]></lookup>
<rule name='subst' type='subst'><match><com name='R:any' in='T+00'/></match>
  <replace><com val='Ab Cd' out='T+00'/></replace></rule>
<rule name='brk' type='brk'><match><com name='R:any' in='T+00'/></match>
  <replace><com val="<break)" "\t" R"(time='5'/>w" out='T+00'/></replace></rule>
<rule name='atattr' type='atattr'><match><com name='R:any' in='T+00'/></match>
  <replace><com val='p q' attribute='@sub alias=x y' out='T+00'/></replace></rule>
<rule name='atlist' type='atlist'><match><com name='R:any' in='T+00'/></match>
  <replace><com val='p' attribute='@prosody rate=fast pitch=high' out='T+00'/></replace></rule>
<rule name='chars' type='chars'><match><com name='R:any' in='T+00'/></match>
  <replace><com name='H:aschars' in='C00' out='T+00000X'/></replace></rule>
<rule name='atcut' type='atcut'><match><com name='R:any' in='T+00'/></match>
  <replace><com val='p' attribute='@prosody rate=a b pitch=c' out='T+00'/></replace></rule>
</rules>)";

struct Fixture {
  Nrules set = RulesFrom(kRules);
  toxpool* pool = QLTP_toxpool_new(2, 8, 8);
  dystr* scratch = QLTP_dystr_new("", 0);
  voidparray* stream = QLTP_voidparray_new();
  rinterp_context ctx{};
  logger* log = QLTP_logger_new("TEST", -1, nullptr);
  rinterp* in = nullptr;

  Fixture() {
    ctx.pool = pool;
    ctx.scratch = scratch;
    ctx.rules = set.get();
    QLTP_logger_set_store(log);
    int maxcomp = 0, minpos = 0, maxpos = 0;
    QLTP_nrules_update_buffersz(set.get(), &maxcomp, &minpos, &maxpos);
    in = QLTP_rinterp_new(&ctx, maxcomp, minpos, maxpos, 0, log);
  }
  ~Fixture() {
    QLTP_rinterp_delete(in);
    QLTP_toxpool_delete(pool);
    QLTP_dystr_delete(scratch);
    QLTP_voidparray_delete(stream);
    QLTP_logger_delete(log);
  }
  toxtoken* Token(const char* text, int slot = 0) {
    toxtoken* t = QLTP_toxpool_token(pool);
    QLTP_toxtoken_setparent(t, stream);
    QLTP_toxtoken_set(t, text, -1);
    QLTP_toxtoken_set_norm(t, text, -1);
    QLTP_voidparray_replace(in->window, in->current + slot, t);
    return t;
  }
  int Apply(const char* group) {
    int id = QLTP_dict_lookup_word(set->group_names, group, -1);
    EXPECT_GT(id, 0) << group;
    return QLTP_rinterp_apply_rules(in, set.get(), static_cast<voidparray*>(QLTP_voidparray_idx(set->groups, id - 1)));
  }
  static std::vector<std::string> Chain(const toxtoken* t) {
    std::vector<std::string> v;
    for (; t; t = t->next) v.emplace_back(QLTP_toxtoken_getnorm(t));
    return v;
  }
  bool Logged(const std::string& text) const {
    for (int i = 0; QLTP_logger_msg(log, i); ++i)
      if (std::string(QLTP_logger_msg(log, i)).find(text) != std::string::npos) return true;
    return false;
  }
};

}  // namespace

TEST(RinterpTest, AppliesTheFirstMatchingRuleOfAGroupOnly) {
  Fixture f;
  ASSERT_NE(f.in, nullptr);
  toxtoken* t = f.Token("42");
  EXPECT_EQ(f.Apply("both"), 1);
  EXPECT_EQ(Fixture::Chain(t), std::vector<std::string>{"FIRST"});
  toxtoken* w = f.Token("word");
  EXPECT_EQ(f.Apply("both"), 1);
  EXPECT_EQ(Fixture::Chain(w), std::vector<std::string>{"SECOND"});
  EXPECT_STREQ(QLTP_dystrarray_idx(w->strings, 3), "m");
}

TEST(RinterpTest, ReplacementsWriteContinuationTokensAndAppend) {
  struct Case {
    const char* group;
    const char* text;
    std::vector<std::string> chain;
  };
  const Case cases[] = {
      {"spell", "21", {"twenty", "one"}},
      {"spell", "2", {"two"}},
      {"two", "x", {"a", "b", "c"}},
      {"empty", "x", {""}},
      {"tagged", "x", {"x", "y", "z"}},
      {"atattr", "x", {"p", "q"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    Fixture f;
    toxtoken* t = f.Token(c.text);
    EXPECT_EQ(f.Apply(c.group), 1);
    EXPECT_EQ(Fixture::Chain(t), c.chain);
  }
  // Inline tags: the span ends at the closing tag.
  Fixture f;
  toxtoken* t = f.Token("x");
  f.Apply("tagged");
  ASSERT_NE(t->next, nullptr);
  const toxtag* on_x = QLTP_toxtoken_gettag(t, "emph");
  ASSERT_NE(on_x, nullptr);
  EXPECT_STREQ(QLTP_toxtag_val(on_x, "level"), "2");
  EXPECT_EQ(QLTP_toxtoken_gettag(t->next, "emph"), nullptr);
  EXPECT_EQ(QLTP_toxtoken_gettag(t->next->next, "emph"), nullptr);
  // A component's "@" attribute tags every word written.
  Fixture g;
  toxtoken* s = g.Token("x");
  g.Apply("atattr");
  for (const toxtoken* k = s; k; k = k->next) {
    const toxtag* sub = QLTP_toxtoken_gettag(k, "sub");
    ASSERT_NE(sub, nullptr);
    EXPECT_STREQ(QLTP_toxtag_val(sub, "alias"), "x y");
  }
  // Items are split at their first "="; one without it ends the list, and
  // the last value read runs to the end.
  struct Attrs {
    const char* group;
    const char* rate;
    const char* pitch;
  };
  for (const Attrs& a : {Attrs{"atlist", "fast", "high"}, Attrs{"atcut", "a b pitch=c", nullptr}}) {
    SCOPED_TRACE(a.group);
    Fixture h;
    toxtoken* p = h.Token("x");
    h.Apply(a.group);
    const toxtag* pros = QLTP_toxtoken_gettag(p, "prosody");
    ASSERT_NE(pros, nullptr);
    EXPECT_STREQ(QLTP_toxtag_val(pros, "rate"), a.rate);
    if (a.pitch)
      EXPECT_STREQ(QLTP_toxtag_val(pros, "pitch"), a.pitch);
    else
      EXPECT_EQ(QLTP_toxtag_val(pros, "pitch"), nullptr);
  }
}

TEST(RinterpTest, TagTestsValuesAndWindowLimits) {
  Fixture f;
  toxtoken* t = f.Token("x");
  toxtag* brk = QLTP_toxpool_tag(f.pool);
  QLTP_toxtag_init(brk, nullptr, "break", -1, QLTP_TAG_CLOSED);
  QLTP_toxtoken_addtag(t, brk);
  EXPECT_EQ(f.Apply("closed"), 1);
  EXPECT_EQ(f.Apply("start"), 0);
  EXPECT_EQ(f.Apply("anybreak"), 1);
  // A slot outside the window: the rule fails, the later component is not run.
  EXPECT_EQ(f.Apply("far"), 0);
  // No token before: the rule fails.
  EXPECT_EQ(f.Apply("left"), 0);
  toxtoken* before = f.Token("b", -1);
  EXPECT_EQ(f.Apply("left"), 1);
  EXPECT_STREQ(QLTP_toxtoken_getnorm(before), "L");

  toxtag* pros = QLTP_toxpool_tag(f.pool);
  QLTP_toxtag_init(pros, nullptr, "prosody", -1, QLTP_TAG_STARTEND);
  QLTP_toxtag_set_attrib(pros, "rate", -1, "50", -1);
  QLTP_toxtoken_addtag(t, pros);
  EXPECT_EQ(f.Apply("rate"), 1);
  EXPECT_STREQ(QLTP_toxtoken_getnorm(t), "1.250");

  toxtoken* u = f.Token("y");
  EXPECT_EQ(f.Apply("settag"), 1);
  ASSERT_GT(QLTP_toxtoken_notags(u), 0);
  const toxtag* made = QLTP_toxtoken_tagidx(u, 0);
  EXPECT_STREQ(QLTP_toxtag_name(made), "break");
  EXPECT_EQ(made->type, QLTP_TAG_CLOSED);
  EXPECT_STREQ(QLTP_toxtag_val(made, "time"), "300");
  EXPECT_STREQ(QLTP_toxtoken_getnorm(u), "y");

  EXPECT_EQ(f.Apply("badin"), 1);
  EXPECT_TRUE(f.Logged("Rules - Invalid match result replace failed : H:number"));
}

TEST(RinterpTest, SubstitutedTokensArePreNormalisedAgain) {
  Fixture f;
  toxtoken* t = f.Token("X");
  QLTP_toxtoken_setprepunc(t, "(", -1);
  QLTP_toxtoken_setpstpunc(t, ")", -1);
  for (const char* name : {"sub", "break"}) {
    toxtag* tag = QLTP_toxpool_tag(f.pool);
    QLTP_toxtag_init(tag, nullptr, name, -1, name[0] == 'b' ? QLTP_TAG_CLOSED : QLTP_TAG_STARTEND);
    QLTP_toxtoken_addtag(t, tag);
  }
  EXPECT_EQ(f.Apply("subst"), 1);
  ASSERT_NE(t->next, nullptr);
  EXPECT_EQ(Fixture::Chain(t), (std::vector<std::string>{"ab", "cd"}));
  for (const toxtoken* k = t; k; k = k->next) {
    EXPECT_STREQ(QLTP_toxtoken_getprepunc(k), "");
    EXPECT_STREQ(QLTP_toxtoken_getpstpunc(k), "");
    EXPECT_EQ(QLTP_toxtoken_gettag(k, "break"), nullptr);
    EXPECT_NE(QLTP_toxtoken_getfeat(k, QLTP_FEAT_CAPITALISED), 0);
  }
  EXPECT_STREQ(QLTP_toxtoken_get(t), "Ab");
  EXPECT_STREQ(QLTP_toxtoken_get(t->next), "Cd");
}

TEST(RinterpTest, ABreakWrittenInlineEndsTheBreakBeforeIt) {
  Fixture f;
  toxtoken* before = f.Token("a", -1);
  toxtag* open = QLTP_toxpool_tag(f.pool);
  QLTP_toxtag_init(open, nullptr, "break", -1, QLTP_TAG_START);
  QLTP_toxtoken_addtag(before, open);
  toxtoken* t = f.Token("b");
  toxtag* old = QLTP_toxpool_tag(f.pool);
  QLTP_toxtag_init(old, nullptr, "break", -1, QLTP_TAG_MID);
  QLTP_toxtoken_addtag(t, old);
  EXPECT_EQ(f.Apply("brk"), 1);
  EXPECT_EQ(open->type, QLTP_TAG_STARTEND);
  int breaks = 0;
  for (int i = 0; i < QLTP_toxtoken_notags(t); ++i) breaks += std::strcmp(QLTP_toxtag_name(QLTP_toxtoken_tagidx(t, i)), "break") == 0;
  EXPECT_EQ(breaks, 1);
  EXPECT_STREQ(QLTP_toxtoken_tagval(t, "break", "time"), "5");
}

TEST(RinterpTest, OneInterpreterFollowsWhicheverRuleSetItIsGiven) {
  Fixture f;
  toxtoken* t = f.Token("42");
  EXPECT_EQ(f.Apply("both"), 1);
  for (int round = 0; round < 3; ++round) {
    // A new set (perhaps at the freed one's address) with other patterns.
    Nrules other = RulesFrom(
        "<regex name='digits'><![CDATA[^x$]]></regex>"
        "<rule name='first' type='both'><match><com name='R:digits' in='T+00'/></match>"
        "<replace><com val='OTHER' out='T+00'/></replace></rule>");
    QLTP_toxtoken_set(t, "42", -1);
    auto* group = static_cast<voidparray*>(QLTP_voidparray_idx(other->groups, 0));
    EXPECT_EQ(QLTP_rinterp_apply_rules(f.in, other.get(), group), 0);
    QLTP_toxtoken_set(t, "x", -1);
    EXPECT_EQ(QLTP_rinterp_apply_rules(f.in, other.get(), group), 1);
    EXPECT_STREQ(QLTP_toxtoken_getnorm(t), "OTHER");
  }
}

TEST(RinterpTest, SmallInterpretersAndTracingStayInBounds) {
  Fixture f;
  rinterp* small = QLTP_rinterp_new(&f.ctx, 1, 0, 0, 1, f.log);
  ASSERT_NE(small, nullptr);
  QLTP_logger_set_level(f.log, QLTP_LOGGER_DEBUG);
  toxtoken* t = QLTP_toxpool_token(f.pool);
  QLTP_toxtoken_setparent(t, f.stream);
  QLTP_toxtoken_set(t, "21", -1);
  QLTP_voidparray_replace(small->window, 0, t);
  int id = QLTP_dict_lookup_word(f.set->group_names, "two", -1);
  // Components beyond the interpreter's outputs are never written.
  QLTP_rinterp_apply_rules(small, f.set.get(), static_cast<voidparray*>(QLTP_voidparray_idx(f.set->groups, id - 1)));
  id = QLTP_dict_lookup_word(f.set->group_names, "spell", -1);
  EXPECT_EQ(QLTP_rinterp_apply_rules(small, f.set.get(),
                                     static_cast<voidparray*>(QLTP_voidparray_idx(f.set->groups, id - 1))),
            1);
  EXPECT_TRUE(f.Logged("Applying: [spell]spell 0[21]"));
  EXPECT_TRUE(f.Logged("21 MATCHED R:digits(21)"));
  // Its replace component has no output to write: the token is left alone.
  EXPECT_FALSE(f.Logged("REPLACED"));
  EXPECT_STREQ(QLTP_toxtoken_getnorm(t), "");
  QLTP_rinterp_set_tracing(f.in, 1);
  toxtoken* u = f.Token("21");
  EXPECT_EQ(f.Apply("spell"), 1);
  // Traced before the words are written, as the input entry and the target so far.
  EXPECT_TRUE(f.Logged("21 REPLACED H:number(twenty)(one)RESULT=\" 21\""));
  EXPECT_EQ(Fixture::Chain(u), (std::vector<std::string>{"twenty", "one"}));
  QLTP_rinterp_set_tracing(small, 0);
  EXPECT_TRUE(f.Logged("tracing has been disabled"));
  QLTP_rinterp_delete(small);
}

// Replace values are data: mutated ones never crash, and every word written
// is one non-empty run without white space.
TEST(RinterpTest, MutatedReplaceValuesWriteWellFormedWords) {
  std::mt19937 rng(1209);
  const std::string base = "<emph\tlevel='2'/>x</emph>y z/w >v <a\tb=\"1\">q";
  const char alphabet[] = "<>/='\" \tabxy\xc3\xa9";
  Fixture f;
  for (int round = 0; round < 1500; ++round) {
    std::string v = base;
    for (int e = 0; e < 5 && !v.empty(); ++e) {
      size_t at = rng() % v.size();
      if (rng() % 2)
        v[at] = alphabet[rng() % (sizeof alphabet - 1)];
      else
        v.erase(at, 1 + rng() % 3);
    }
    nrule* rule = QLTP_nrule_new();
    std::string buf = std::string("val") + '\0' + v + '\0' + "out" + '\0' + "T+00" + '\0' + '\0' + '\0';
    if (v.find('\0') != std::string::npos) {
      QLTP_nrule_delete(rule);
      continue;
    }
    rule->replace = static_cast<char*>(QLTP_malloc(buf.size()));
    std::memcpy(rule->replace, buf.data(), buf.size());
    rule->replacelen = static_cast<int32_t>(buf.size());
    toxtoken* t = f.Token("t");
    QLTP_rinterp_clear(f.in);
    f.in->rules = f.set.get();
    QLTP_nrule_apply_replace(f.in, rule);
    for (const toxtoken* k = t; k; k = k->next) {
      std::string w = QLTP_toxtoken_getnorm(k);
      if (k == t && w.empty()) continue;  // nothing written empties the target
      EXPECT_FALSE(w.empty()) << v;
      EXPECT_EQ(w.find_first_of(" \t\n\r"), std::string::npos) << v;
    }
    QLTP_toxtoken_truncate(t);
    QLTP_nrule_delete(rule);
  }
}

// A rule that writes a word per character of a long run takes time linear in
// the run through the whole rule application, not only in the rule function.
TEST(RinterpTest, ManyWordsFromOneRuleTakeLinearTime) {
  Fixture f;
  auto spell = [&f](size_t n) {
    const std::string run(n, '=');
    toxtoken* t = f.Token(run.c_str());
    EXPECT_EQ(f.Apply("chars"), 1);
    size_t words = 0;
    for (const toxtoken* k = t; k; k = k->next) words += std::strcmp(QLTP_toxtoken_getnorm(k), "=") == 0;
    EXPECT_EQ(words, n);
  };
  const double ratio = CpuTimeRatio([&] { spell(20000); }, [&] { spell(40000); });
  std::printf("40,000 words from one rule cost %.2f times 20,000\n", ratio);
  EXPECT_LT(ratio, 2.5);
}
