#include "textproc/nrules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <cctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "foundation/logger.h"
#include "foundation/regex.h"
#include "foundation/utf8.h"
#include "foundation/xmlscan.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/voidparray.h"
#include "textproc/prenorm.h"
#include "rules_fixture.h"

using namespace orvelle_test;

namespace {

const char kRuleFile[] = R"(<?xml version='1.0'?>
<rules>
<regex name='ws'><![CDATA[\s+]]></regex>
<regex name='ws'><![CDATA[x+]]></regex>
<regex name='bad'><![CDATA[(]]></regex>
<regex name='spandotall'><![CDATA[^a.b$]]></regex>
<regex name='dotall'><![CDATA[^a.b$]]></regex>
<regex name='pair'><![CDATA[^(\d+)-(\d+)$]]></regex>
<regex name='digits'><![CDATA[^\d+$]]></regex>
<lookup name='digitlkp'><![CDATA[{'1':'one', '2' : 'two',
  u"20": "twenty", ' ':'some number', '':'empty', '1':'again'}]]></lookup>
<lookup name='plain'><![CDATA[{'ab':'x y'}]]></lookup>
<lookup name='plain'><![CDATA[{'cd':'z'}]]></lookup>
<note><![CDATA[outside regex and lookup]]></note><![CDATA[nor here]]>
<ordering name='default' sequence='numbers  words
 ssml'/>
<ordering name='default' sequence='other'/>
<ordering name='late' sequence='words'/>
<hrule name='number' reverse_tens='True' separator='.'/>
<hrule name='number' reverse_tens='False'/>
<rule name='r1' type='numbers'>
  <match><com name='R:digits' in='T-02'/><com name='L:digitlkp' in='N+01' empty=''/></match>
  <replace><com name='H:number' in='T00' out='T+00'/></replace>
</rule>
<rule name='r2' type='numbers'><match><com name='R:missing'/><com/><com name='H:nosuchrule'/><com name='S:lex'/></match></rule>
<rule type='words'><match><com name='R:ws'/></match></rule>
<rule name='r3' type='words'><replace><com name='VAL' val='a b' out='P+03'/></replace></rule>
<match><com name='R:ws'/></match>
</rules>
)";

struct StoredLogger {
  logger* log = QLTP_logger_new("NRULES", -1, nullptr);
  StoredLogger() {
    QLTP_logger_set_store(log);
    QLTP_logger_set_level(log, 0);
  }
  ~StoredLogger() { QLTP_logger_delete(log); }
  bool Has(const std::string& text) const {
    for (int i = 0; QLTP_logger_msg(log, i); ++i)
      if (std::string(QLTP_logger_msg(log, i)).find(text) != std::string::npos) return true;
    return false;
  }
};

const voidparray* Group(const nrules* set, const char* type) {
  int id = QLTP_dict_lookup_word(set->group_names, type, -1);
  return id ? static_cast<const voidparray*>(QLTP_voidparray_idx(set->groups, id - 1)) : nullptr;
}

const nrule* Rule(const nrules* set, const char* type, int i) {
  return static_cast<const nrule*>(QLTP_voidparray_idx(Group(set, type), i));
}

}  // namespace

TEST(NrulesReaderTest, EchoesCdataAndReportsDuplicatesBadPatternsAndCounts) {
  StoredLogger log;
  std::string echo;
  Nrules set = RulesFrom(kRuleFile, log.log, &echo);
  ASSERT_TRUE(set);
  const char* expected[] = {"\\s+\n", "ERROR DUPLICATE RGX NAME(ws)\nx+\n", "ERROR RGX(()\n(\n",
                            "ERROR DUPLICATE LKP NAME(plain)\n{'cd':'z'}\n", "no rgx 5\nno lkp 5\nno rules 3\n"};
  size_t at = 0;
  for (const char* e : expected) {
    size_t found = echo.find(e, at);
    EXPECT_NE(found, std::string::npos) << e << " in\n" << echo;
    if (found != std::string::npos) at = found;
  }
  EXPECT_EQ(echo.find("outside regex and lookup"), std::string::npos) << echo;
  EXPECT_EQ(echo.find("nor here"), std::string::npos) << echo;
  const std::string counts = "no rgx 5\nno lkp 5\nno rules 3\n";
  ASSERT_GE(echo.size(), counts.size());
  EXPECT_EQ(echo.substr(echo.size() - counts.size()), counts);
  // Load-time check of every component; lexicon tests pass.
  EXPECT_TRUE(log.Has("Invalid normalisation match component : R:missing"));
  EXPECT_TRUE(log.Has("Invalid normalisation match component : H:nosuchrule"));
  EXPECT_FALSE(log.Has("component : S:lex"));
  EXPECT_TRUE(log.Has("RULES - component without attributes skipped : r2"));
  EXPECT_TRUE(log.Has("LOOKUP - Repeated key in lookup : digitlkp[1]"));
  EXPECT_TRUE(log.Has("LOOKUP - too long/empty key in lookup : digitlkp[]"));
  EXPECT_TRUE(log.Has("ORDERING - Repeated name skipped : default"));
  EXPECT_TRUE(log.Has("HRULE - Repeated name skipped : number"));
}

TEST(NrulesReaderTest, BuildsBuffersWindowGroupsOrderingsAndParameters) {
  Nrules set = RulesFrom(kRuleFile);
  ASSERT_TRUE(set);
  // Rules lacking a name are dropped; the empty component is skipped.
  ASSERT_NE(Group(set.get(), "numbers"), nullptr);
  EXPECT_EQ(QLTP_voidparray_sz(Group(set.get(), "numbers")), 2);
  EXPECT_EQ(QLTP_voidparray_sz(Group(set.get(), "words")), 1);
  const nrule* r1 = Rule(set.get(), "numbers", 0);
  const char match[] = "name\0R:digits\0in\0T-02\0\0name\0L:digitlkp\0in\0N+01\0empty\0 \0\0\0";
  ASSERT_EQ(r1->matchlen, static_cast<int32_t>(sizeof match - 1));
  EXPECT_EQ(std::memcmp(r1->match, match, sizeof match - 1), 0);
  EXPECT_EQ(Rule(set.get(), "numbers", 1)->matchlen, 16 + 19 + 12 + 1);
  EXPECT_EQ(Rule(set.get(), "words", 0)->matchlen, 0);
  // T-02 lowers minpos; N+01 (not P, T or t) and the three-character T00 do not widen; out P+03 does.
  EXPECT_EQ(set->minpos, -2);
  EXPECT_EQ(set->maxpos, 3);
  EXPECT_EQ(set->maxcomp, 3);
  int maxcomp = 5, minpos = -1, maxpos = 1;
  QLTP_nrules_update_buffersz(set.get(), &maxcomp, &minpos, &maxpos);
  EXPECT_EQ(maxcomp, 5);
  EXPECT_EQ(minpos, -2);
  EXPECT_EQ(maxpos, 3);

  int id = QLTP_dict_lookup_word(set->ordering_names, "default", -1);
  ASSERT_EQ(id, 1);
  auto* order = static_cast<strarray*>(QLTP_voidparray_idx(set->orderings, 0));
  ASSERT_EQ(QLTP_strarray_sz(order), 3);
  EXPECT_STREQ(QLTP_strarray_idx(order, 2), "ssml");
  EXPECT_EQ(QLTP_dict_lookup_word(set->ordering_names, "late", -1), 2);
  EXPECT_STREQ(QLTP_strarray_idx(static_cast<strarray*>(QLTP_voidparray_idx(set->orderings, 1)), 0), "words");
  auto* params = static_cast<str2str*>(QLTP_voidparray_idx(set->hrules, 0));
  EXPECT_STREQ(QLTP_str2str_lookup(params, "separator", -1), ".");

  std::string one = "<rule name='one' type='t'><match><com name='R:x'/></match></rule>";
  Nrules small = RulesFrom(one);
  const nrule* r = Rule(small.get(), "t", 0);
  ASSERT_EQ(r->matchlen, 11);
  EXPECT_EQ(std::memcmp(r->match, "name\0R:x\0\0\0", 11), 0);
  EXPECT_EQ(Print(small.get()), "<rule name='one' type='t'>\n\t<match>\n\t\t<com name='R:x'/>\n\t</match>\n</rule>\n");
  // Values are read as written: one holding a single quote prints in double
  // quotes. A rule without components is closed too.
  Nrules quoted = RulesFrom("<rule name=\"it's\" type='t'><match><com name='L:x' val=\"'q'\"/></match></rule>"
                            "<rule name='two' type='t'/>");
  EXPECT_EQ(Print(quoted.get()),
            "<rule name=\"it's\" type='t'>\n\t<match>\n\t\t<com name='L:x' val=\"'q'\"/>\n\t</match>\n"
            "</rule>\n<rule name='two' type='t'>\n</rule>\n");
}

TEST(NrulesQueryTest, RegexLookupAndComponentResults) {
  Nrules set = RulesFrom(kRuleFile);
  nrules* s = set.get();
  struct Case {
    const char* spec;
    const char* text;
    int result;
    std::vector<std::string> out;
    int bare;  // without an output array
  };
  const Case cases[] = {
      {"R:pair", "12-34", 3, {"12", "34"}, 1},
      {"R:digits", "123", 1, {"123"}, 1},
      {"R:digits", "12a", 0, {}, 1},
      {"R:ws", "a  b", 1, {"  "}, 1},
      {"R:span", "a\nb", 1, {"a\nb"}, 1},
      {"R:dotall", "a\nb", 0, {}, 1},
      {"R:dotall", "axb", 1, {"axb"}, 1},
      {"R:missing", "x", 0, {}, 0},
      {"L:digitlkp", "2", 1, {"two"}, 1},
      {"L:digitlkp", "1", 1, {"one"}, 1},
      {"L:digitlkp", "7", 1, {"some", "number"}, 1},
      {"L:plain", "ab", 1, {"x", "y"}, 1},
      {"L:plain", "zz", 0, {""}, 1},
      {"L:nosuch", "ab", 0, {}, 0},
      {"S:lex", "word", 0, {}, 0},
      {"H:number", "20", 1, {"twenty"}, 1},
      {"H:zzz", "20", 0, {}, 0},
      {"Q:anything", "x", 1, {}, 1},
      {"R:", "x", 0, {}, 0},
      {"R:digits", "\xff\xfe", 0, {}, 1},  // token text is checked
  };
  Interp in(s);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.spec) + " on " + c.text);
    int result = -1;
    EXPECT_EQ(in.Run(c.spec, c.text, &result), c.out);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(QLTP_nrules_apply_component(s, nullptr, c.spec, nullptr, nullptr, nullptr, c.text), c.bare);
  }
  EXPECT_STREQ(QLTP_nrules_lkp(s, "digitlkp", -1, "20", -1), "twenty");
  EXPECT_STREQ(QLTP_nrules_lkp(s, "plain", -1, "q", -1), "");
  std::string long_key(250, 'k');
  EXPECT_STREQ(QLTP_nrules_lkp(s, "digitlkp", -1, long_key.c_str(), -1), "");
  EXPECT_STREQ(QLTP_nrules_lkp(s, "digitlkp", -1, long_key.c_str(), 246), "some number");
  EXPECT_EQ(QLTP_nrules_rgx(s, "nosuch", -1, "x", -1, nullptr), 0);
  QLTP_regex* table[QLTP_XMLTOKEN_SLOTS];
  EXPECT_EQ(QLTP_nrules_tpxml_regex(s, table), 0);
}

TEST(NrulesSerialTest, DatabaseRoundTripKeepsRulesLookupsAndPatterns) {
  Nrules set = RulesFrom(kRuleFile);
  std::string bytes = Serial(set.get(), QLTP_tpobj_nrules_write);
  ASSERT_GT(bytes.size(), 32u);
  EXPECT_EQ(QLTPPy_nrules_write(set.get(), nullptr), static_cast<int32_t>(bytes.size()));
  QLTP_fixedbuf* buf = QLTP_fixedbuf_new(static_cast<uint32_t>(bytes.size()));
  EXPECT_EQ(QLTPPy_nrules_write(set.get(), buf), 0);
  EXPECT_EQ(std::string(buf->data, buf->size), bytes);
  QLTP_fixedbuf_delete(buf);

  LoadedDb db("nrules.tpdb", {{"TPOBJ_NRULES:TEST", bytes}});
  auto* back = static_cast<nrules*>(db.Get("TPOBJ_NRULES:TEST"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Print(back), Print(set.get()));
  EXPECT_EQ(Serial(back, QLTP_tpobj_nrules_write), bytes);
  EXPECT_EQ(back->nrules, 0);
  EXPECT_EQ(back->minpos, -2);
  Interp a(set.get()), b(back);
  for (const char* spec : {"R:pair", "R:span", "R:digits", "L:digitlkp", "L:plain", "H:number"})
    for (const char* text : {"12-34", "a\nb", "20", "ab", "1"}) EXPECT_EQ(a.Run(spec, text), b.Run(spec, text)) << spec << text;

  // The other byte order comes back whole.
  std::string swapped = Serial(set.get(), QLTP_tpobj_nrules_write, 1);
  ASSERT_EQ(swapped.size(), bytes.size());
  FILE* f = fmemopen(swapped.data(), swapped.size(), "rb");
  Nrules other(QLTP_nrules_read(f, 1));
  std::fclose(f);
  ASSERT_TRUE(other);
  EXPECT_EQ(Serial(other.get(), QLTP_tpobj_nrules_write), bytes);

  // Tables whose names hold ':' keep their defaults and number keys.
  Nrules colons = RulesFrom("<lookup name='a:b'><![CDATA[{' ':'many', 'x:y':'z'}]]></lookup>"
                            "<lookup name='a'><![CDATA[{'1':'one'}]]></lookup>"
                            "<lookup name='c:d:e'><![CDATA[{'123':'x'}]]></lookup>");
  std::string stored = Serial(colons.get(), QLTP_tpobj_nrules_write);
  FILE* g = fmemopen(stored.data(), stored.size(), "rb");
  Nrules read(QLTP_nrules_read(g, 0));
  std::fclose(g);
  ASSERT_TRUE(read);
  for (const nrules* n : {colons.get(), read.get()}) {
    EXPECT_STREQ(QLTP_nrules_lkp(n, "a:b", -1, "q", -1), "many");
    EXPECT_STREQ(QLTP_nrules_lkp(n, "a:b", -1, "x:y", -1), "z");
    EXPECT_STREQ(QLTP_nrules_lkp(n, "a", -1, "b:q", -1), "");
    EXPECT_EQ(QLTP_nrules_numeric_digits(n, "c:d:e", -1), 3);
    EXPECT_EQ(QLTP_nrules_numeric_digits(n, "a", -1), 1);
  }
}

// Names and keys longer than the stored form holds (254-byte words, 255-byte
// rule names) are refused with a log line while reading; the rest of the
// set stays storable and reads back.
TEST(NrulesSerialTest, NamesTheStoredFormCannotHoldAreRefusedOnReading) {
  const std::string ok = "<rule name='ok' type='t'><match><com name='R:x'/></match></rule>";
  const std::string w254(254, 'w'), w255(255, 'w'), w256(256, 'w');
  struct Case {
    std::string file;
    const char* logged;  // nullptr: kept
    int rules;
  };
  const Case cases[] = {
      {"<rule name='" + w256 + "' type='t'><match><com name='R:x'/></match></rule>", "RULES - too long", 1},
      {"<rule name='" + w255 + "' type='t'><match><com name='R:x'/></match></rule>", nullptr, 2},
      {"<rule name='n' type='" + w255 + "'><match><com name='R:x'/></match></rule>", "RULES - too long", 1},
      {"<rule name='n' type='" + w254 + "'><match><com name='R:x'/></match></rule>", nullptr, 2},
      {"<ordering name='" + w255 + "' sequence='t'/>", "ORDERING - too long", 1},
      {"<hrule name='" + w255 + "' a='b'/>", "HRULE - too long", 1},
      {"<regex name='" + w255 + "'><![CDATA[x]]></regex>", "REGEX - too long", 1},
      {"<lookup name='" + w255 + "'><![CDATA[{'k':'v'}]]></lookup>", "LOOKUP - too long", 1},
      // "tab:" and the key: a 255-byte word, then a 254-byte one.
      {"<lookup name='tab'><![CDATA[{'" + std::string(251, 'k') + "':'v'}]]></lookup>",
       "LOOKUP - too long/empty key in lookup", 1},
      {"<lookup name='tab'><![CDATA[{'" + std::string(250, 'k') + "':'v'}]]></lookup>", nullptr, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 40));
    StoredLogger log;
    Nrules set = RulesFrom("<rules><regex name='x'><![CDATA[x]]></regex>" + ok + c.file + "</rules>", log.log);
    ASSERT_TRUE(set);
    set->log = log.log;
    EXPECT_EQ(set->nrules, c.rules);
    if (c.logged) {
      EXPECT_TRUE(log.Has(c.logged));
    } else {
      EXPECT_FALSE(log.Has("too long"));
    }
    std::string bytes = Serial(set.get(), QLTP_tpobj_nrules_write);
    ASSERT_FALSE(bytes.empty());
    EXPECT_FALSE(log.Has("Rule set cannot be stored whole"));
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    Nrules back(QLTP_nrules_read(f, 0));
    std::fclose(f);
    ASSERT_TRUE(back);
    EXPECT_EQ(Print(back.get()), Print(set.get()));
  }
  Nrules key = RulesFrom("<lookup name='tab'><![CDATA[{'" + std::string(250, 'k') + "':'v'}]]></lookup>");
  EXPECT_STREQ(QLTP_nrules_lkp(key.get(), "tab", -1, std::string(250, 'k').c_str(), -1), "v");
}

TEST(NrulesSerialTest, DamagedObjectsAreRefusedNeverCrash) {
  Nrules set = RulesFrom(kRuleFile);
  const std::string bytes = Serial(set.get(), QLTP_tpobj_nrules_write);
  {
    std::string bad = bytes;
    int32_t huge = 0x7fffff00;
    std::memcpy(&bad[12], &huge, 4);  // group count
    LoadedDb db("nrules_bad.tpdb", {{"TPOBJ_NRULES:BAD", bad}});
    EXPECT_EQ(db.Get("TPOBJ_NRULES:BAD"), nullptr);
    EXPECT_TRUE(db.Logged("Corrupted nrules object"));
  }
  std::mt19937 rng(20261209);
  int refused = 0;
  testing::internal::CaptureStdout();
  for (int round = 0; round < 3000; ++round) {
    std::string m = bytes;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % m.size();
      switch (rng() % 3) {
        case 0: m[at] = static_cast<char>(rng()); break;
        case 1: m.resize(at); break;
        default: m[at & ~size_t{3}] ^= static_cast<char>(0x80); break;
      }
      if (m.empty()) break;
    }
    FILE* f = fmemopen(m.data(), m.size() ? m.size() : 1, "rb");
    nrules* back = QLTP_nrules_read(f, 0);
    std::fclose(f);
    if (!back) {
      ++refused;
      continue;
    }
    // Whatever is accepted is usable.
    Interp in(back);
    in.Run("R:pair", "1-2");
    in.Run("L:digitlkp", "1");
    in.Run("H:number", "2021");
    Print(back);
    QLTP_nrules_delete(back);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(refused, 1000);
}

TEST(NrulesSerialTest, ARefusedPatternImageLeavesOnlyThatPatternAbsent) {
  Nrules set = RulesFrom(kRuleFile);
  std::string bytes = Serial(set.get(), QLTP_tpobj_nrules_write);
  // The first image follows the header and the regex-name dictionary.
  size_t first_image = 32 + static_cast<size_t>(QLTP_dict_write_sz(set->regex_names)) + 4;
  bytes[first_image + 40] ^= 0x55;
  FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
  testing::internal::CaptureStdout();
  Nrules back(QLTP_nrules_read(f, 0));
  std::string out = testing::internal::GetCapturedStdout();
  std::fclose(f);
  ASSERT_TRUE(back);
  EXPECT_NE(out.find("ERROR RGX IMAGE(ws)"), std::string::npos) << out;
  EXPECT_EQ(QLTP_nrules_getrgx(back.get(), "ws", -1), nullptr);
  EXPECT_NE(QLTP_nrules_getrgx(back.get(), "digits", -1), nullptr);
  Interp in(back.get());
  EXPECT_EQ(in.Run("R:ws", "a b"), std::vector<std::string>{});
  EXPECT_EQ(in.Run("R:pair", "1-2"), (std::vector<std::string>{"1", "2"}));
  // Written again, the refused image is kept as it was read.
  EXPECT_EQ(Serial(back.get(), QLTP_tpobj_nrules_write), bytes);
}

TEST(NrulesReaderTest, MutatedRuleFilesLoadAndSurviveTheSerialRoundTrip) {
  std::mt19937 rng(77);
  const std::string base = kRuleFile;
  const char alphabet[] = "<>/='\"[]!{}:, \nRLHS-+T0123ax\xc3\xa9";
  for (int round = 0; round < 2000; ++round) {
    std::string m = base;
    int edits = 1 + static_cast<int>(rng() % 6);
    for (int e = 0; e < edits && !m.empty(); ++e) {
      size_t at = rng() % m.size();
      switch (rng() % 3) {
        case 0: m[at] = alphabet[rng() % (sizeof alphabet - 1)]; break;
        case 1: m.erase(at, 1 + rng() % 8); break;
        default: m.insert(at, 1, alphabet[rng() % (sizeof alphabet - 1)]); break;
      }
    }
    Nrules set = RulesFrom(m);
    ASSERT_TRUE(set) << m;
    // Printed rules read back whole.
    Nrules printed = RulesFrom("<rules>" + Print(set.get()) + "</rules>");
    EXPECT_EQ(printed->nrules, set->nrules) << m;
    EXPECT_EQ(Print(printed.get()), Print(set.get())) << m;
    std::string bytes = Serial(set.get(), QLTP_tpobj_nrules_write);
    if (bytes.empty()) continue;
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    Nrules back(QLTP_nrules_read(f, 0));
    std::fclose(f);
    ASSERT_TRUE(back) << m;
    EXPECT_EQ(Print(back.get()), Print(set.get()));
  }
}

// A "downcase" table of every simple lower-case mapping of the Unicode
// character database (Debian unicode-data) and an "alpha" pattern: read from
// rule-file text, stored in a database and read back, every mapping answers.
TEST(NrulesRealDataTest, UnicodeDowncaseTableSurvivesTheDatabase) {
  std::ifstream in("/usr/share/unicode/UnicodeData.txt");
  ASSERT_TRUE(in) << "UnicodeData.txt (Debian unicode-data) is needed";
  std::map<std::string, std::string> lower;
  std::map<std::string, bool> letter;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, ';');) f.push_back(x);
    if (f.size() < 14 || f[13].empty()) continue;
    std::string from, to;
    QLTP_utf8_append(from, static_cast<uint32_t>(std::stoul(f[0], nullptr, 16)));
    QLTP_utf8_append(to, static_cast<uint32_t>(std::stoul(f[13], nullptr, 16)));
    lower[from] = to;
    letter[from] = f[2][0] == 'L';
  }
  ASSERT_GT(lower.size(), 1000u);
  std::string text = "<regex name='alpha'><![CDATA[^\\p{L}$]]></regex><lookup name='downcase'><![CDATA[{";
  for (const auto& [from, to] : lower) text += "'" + from + "':'" + to + "',\n";
  text += "}]]></lookup>";
  Nrules set = RulesFrom(text);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->nlkp, static_cast<int32_t>(lower.size()));
  LoadedDb db("unicode.tpdb", {{"TPOBJ_NRULES:UNICODE", Serial(set.get(), QLTP_tpobj_nrules_write)}});
  auto* back = static_cast<nrules*>(db.Get("TPOBJ_NRULES:UNICODE"));
  ASSERT_NE(back, nullptr);
  size_t wrong = 0;
  for (const auto& [from, to] : lower) {
    wrong += to != QLTP_nrules_lkp(back, "downcase", -1, from.c_str(), -1);
    // Letter-like symbols (Roman numerals, circled letters) are not \p{L}.
    wrong += (QLTP_nrules_rgx(back, "alpha", -1, from.c_str(), -1, nullptr) > 0) != letter[from];
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_STREQ(QLTP_nrules_lkp(back, "downcase", -1, "\xc3\x89", -1), "\xc3\xa9");
  EXPECT_STREQ(QLTP_nrules_lkp(back, "downcase", -1, "a", -1), "");
}

// The words of the King James Bible (Debian bible-kjv), pre-normalised with
// "alpha" and "downcase" generated from the Unicode character database, read
// as Python lower-cases them, with the features their characters call for.
TEST(NrulesRealDataTest, KingJamesWordsPreNormaliseLikePython) {
  std::ifstream in("/usr/share/unicode/UnicodeData.txt");
  ASSERT_TRUE(in) << "UnicodeData.txt (Debian unicode-data) is needed";
  std::string table;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> f;
    std::stringstream ss(line);
    for (std::string x; std::getline(ss, x, ';');) f.push_back(x);
    if (f.size() < 14 || f[13].empty()) continue;
    std::string from, to;
    QLTP_utf8_append(from, static_cast<uint32_t>(std::stoul(f[0], nullptr, 16)));
    QLTP_utf8_append(to, static_cast<uint32_t>(std::stoul(f[13], nullptr, 16)));
    table += "'" + from + "':'" + to + "',\n";
  }
  Nrules set = RulesFrom("<regex name='alpha'><![CDATA[^\\p{L}$]]></regex><lookup name='downcase'><![CDATA[{" +
                         table + "}]]></lookup>");
  std::vector<std::string> words;
  {
    FILE* p = popen("bible -f gen1:1-rev22:21 2>/dev/null", "r");
    ASSERT_NE(p, nullptr);
    std::set<std::string> seen;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
      std::stringstream ss(line);
      std::string w;
      ss >> w;  // the verse reference
      while (ss >> w)
        if (seen.insert(w).second) words.push_back(w);
    }
    pclose(p);
  }
  ASSERT_GT(words.size(), 10000u) << "bible-kjv (Debian) is needed";
  ScratchDir dir;
  std::string list = dir.Path("kjv_words.txt");
  {
    std::ofstream f(list);
    for (const auto& w : words) f << w << '\n';
  }
  std::string cmd = std::string(ORVELLE_PYTHON) + " -c \"import sys\nfor l in sys.stdin: print(l.rstrip('\\\\n').lower())\" < " + list;
  std::vector<std::string> lower;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[4096];
  while (std::fgets(line, sizeof line, p)) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    lower.push_back(s);
  }
  pclose(p);
  std::remove(list.c_str());
  ASSERT_EQ(lower.size(), words.size());

  toxpool* pool = QLTP_toxpool_new(1, 4, 4);
  dystr* scratch = QLTP_dystr_new("", 0);
  voidparray* stream = QLTP_voidparray_new();
  toxtoken* t = QLTP_toxpool_token(pool);
  QLTP_toxtoken_setparent(t, stream);
  size_t wrong = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    QLTP_toxtoken_set_norm(t, w.c_str(), static_cast<int>(w.size()));
    QLTP_toxtoken_prenorm(set.get(), scratch, t);
    bool upper = false, letter = false, other = false, later_upper = false;
    for (size_t k = 0; k < w.size(); ++k) {
      bool u = std::isupper(static_cast<unsigned char>(w[k])) != 0;
      upper |= u;
      later_upper |= u && k > 0;
      letter |= std::isalpha(static_cast<unsigned char>(w[k])) != 0;
      other |= std::isalpha(static_cast<unsigned char>(w[k])) == 0;
    }
    bool capitalised = std::isupper(static_cast<unsigned char>(w[0])) && !later_upper;
    bool ok = lower[i] == QLTP_toxtoken_getnorm(t) &&
              (QLTP_toxtoken_getfeat(t, QLTP_FEAT_DOWNCASED) != 0) == upper &&
              (QLTP_toxtoken_getfeat(t, QLTP_FEAT_ALPHA) != 0) == letter &&
              (QLTP_toxtoken_getfeat(t, QLTP_FEAT_OTHER) != 0) == other &&
              (QLTP_toxtoken_getfeat(t, QLTP_FEAT_CAPITALISED) != 0) == capitalised;
    if (!ok && ++wrong <= 5) ADD_FAILURE() << w << " -> " << QLTP_toxtoken_getnorm(t);
  }
  EXPECT_EQ(wrong, 0u);
  QLTP_toxpool_delete(pool);
  QLTP_dystr_delete(scratch);
  QLTP_voidparray_delete(stream);
}
