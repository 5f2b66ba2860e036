#include "textproc/hrules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "foundation/utf8.h"
#include "rules_fixture.h"
#include "textproc/rinterp.h"

using namespace orvelle_test;

namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

std::string Lookup(const std::string& name, const Table& entries) {
  std::string s = "<lookup name='" + name + "'><![CDATA[{";
  for (const auto& [k, v] : entries) s += "\"" + k + "\":\"" + v + "\",\n";
  return s + "}]]></lookup>\n";
}

const char* const kOnes[] = {"zero",    "one",     "two",       "three",    "four",    "five",    "six",
                             "seven",   "eight",   "nine",      "ten",      "eleven",  "twelve",  "thirteen",
                             "fourteen", "fifteen", "sixteen",  "seventeen", "eighteen", "nineteen"};
const char* const kTens[] = {"", "", "twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};

// English words without join words; `extra` adds or overrides keys.
Table English(const Table& extra = {}) {
  Table t;
  for (int i = 0; i < 20; ++i) t.emplace_back(std::to_string(i), kOnes[i]);
  for (int i = 2; i < 10; ++i) t.emplace_back(std::to_string(10 * i), kTens[i]);
  for (const char* unit : {"hundred", "thousand", "million", "billion"}) {
    t.emplace_back(unit, unit);
    t.emplace_back(std::string(unit) + "_plural", unit);
  }
  t.emplace_back("-", "minus");
  t.insert(t.end(), extra.begin(), extra.end());
  return t;
}

std::string RuleFile() {
  std::string s = "<rules>\n";
  s += Lookup("digitlkp", English());
  // A model of the usual English reading: hyphenated tens, "and" after hundreds.
  s += Lookup("en", English({{"parent", "en"}, {"tens_join", "-"}, {"hundred_join", "and"}}));
  s += Lookup("short", {{"2", "two"}, {"20", "twenty"}, {"1", "one"}, {"thousand_plural", "thousand"},
                        {"tens_join", "and"}, {"parent", "short"}});
  s += Lookup("de", {{"parent", "de"}, {"1", "ein"}, {"2", "zwei"}, {"20", "zwanzig"}, {"tens_join", "und"}});
  s += Lookup("pt", {{"parent", "pt"}, {"1", "um"}, {"2", "dois"}, {"20", "vinte"}, {"1000", "mil"},
                     {"thousand_plural", "mil"}, {"tens_join", "e"}, {"100", "cem"}});
  s += Lookup("ru", {{"parent", "ru"}, {"1", "один"}, {"2", "два"}, {"5", "пять"}, {"12", "двенадцать"},
                     {"100", "сто"}, {"thousand", "тысяча"}, {"thousand_plural", "тысяч"},
                     {"thousand_plural_2_4", "тысячи"}});
  s += Lookup("pl", {{"parent", "pl"}, {"1", "jeden"}, {"2", "dwa"}, {"5", "pięć"}, {"12", "dwanaście"},
                     {"100", "sto"}, {"thousand", "tysiąc"}, {"thousand_plural", "tysięcy"},
                     {"thousand_plural_2_4", "tysiące"}});
  s += Lookup("lt", {{"parent", "lt"}, {"1", "vienas"}, {"5", "penki"}, {"12", "dvylika"}, {"20", "dvidešimt"},
                     {"thousand", "tūkstantis"}, {"thousand_plural", "tūkstančių"},
                     {"thousand_plural_2_9", "tūkstančiai"}});
  s += Lookup("ro", {{"parent", "ro"}, {"1", "unu"}, {"2", "doi"}, {"20", "douăzeci"}, {"tens_join", "și"},
                     {"thousand", "mie"}, {"thousand_plural", "mii"}, {"thousand_plural_20plus", "de mii"}});
  s += Lookup("digitlkp_feminine", {{"1", "o"}, {"2", "două"}, {"20", "douăzeci"}, {"tens_join", "și"}});
  s += Lookup("lowercase", {{"a", "ay"}, {"b", "bee"}, {"ccc", "triple see"}});
  s += Lookup("repeat", {{"2", "double"}});
  s += Lookup("downcase", {{"A", "a"}});
  s += Lookup("symbols", {{"&", "and"}, {"%", "per cent"}});
  s += Lookup("currency", {{"$", "dollars"}, {"€", "euro"}});
  s += Lookup("asdigits", {{"1", "wun"}, {"2", "too"}});
  s += Lookup("acrolkp", {{"NATO", "nay toe"}, {"perchè", "because"}});
  s += "<hrule name='n' leading_zero='True' ignore_minus='true'/>\n";
  s += "<hrule name='nu' variant='filter'/>\n";
  s += "<hrule name='num' no_join_delim='True'/>\n";
  s += "<hrule name='numb' reverse_tens='True' no_join_delim='True'/>\n";
  s += "<hrule name='numbe' variant='numbers_ru'/>\n";
  return s + "</rules>\n";
}

const Nrules& Rules() {
  static const Nrules set = RulesFrom(RuleFile());
  return set;
}

}  // namespace

TEST(HruleTableTest, NamesSelectTheFirstRuleTheyArePrefixesOf) {
  EXPECT_EQ(QLTP_hrule_find("number", -1), 0);
  EXPECT_EQ(QLTP_hrule_find("num", -1), 0);
  EXPECT_EQ(QLTP_hrule_find("numbers", -1), 7);
  EXPECT_EQ(QLTP_hrule_find("numbers_lt_with", -1), 13);
  EXPECT_EQ(QLTP_hrule_find("r", -1), 5);
  EXPECT_EQ(QLTP_hrule_find("word", -1), -1);
  for (int i = 0; i < QLTP_HRULE_COUNT; ++i) EXPECT_EQ(QLTP_hrule_find(QLTP_HRULE_NAMES[i], -1), i);
}

TEST(HruleNumbersTest, SpellsNumbersFromTheTables) {
  struct Case {
    const char* spec;
    const char* table;
    const char* text;
    const char* words;
  };
  const Case cases[] = {
      {"H:number", "short", "2,021", "two thousand twenty and one"},
      {"H:number", nullptr, "2,021", "two thousand twenty one"},
      {"H:number", nullptr, "1,234,567,890",
       "one billion two hundred thirty four million five hundred sixty seven thousand eight hundred ninety"},
      {"H:number", nullptr, "-5", "minus five"},
      {"H:n", nullptr, "-5", "five"},
      {"H:n", nullptr, "007", "zero zero seven"},
      {"H:number", nullptr, "007", "seven"},
      {"H:number", nullptr, "1234567890123", "one two three four five six seven eight nine zero one two three"},
      {"H:number", nullptr, "3000000000", "three billion"},
      {"H:number", nullptr, "999999999999",
       "nine hundred ninety nine billion nine hundred ninety nine million nine hundred ninety nine thousand "
       "nine hundred ninety nine"},
      {"H:number", nullptr, "100", "one hundred"},
      {"H:number", nullptr, "13", "thirteen"},
      {"H:number", nullptr, "0", "zero"},
      {"H:num", "en", "121", "one hundred and twenty-one"},
      {"H:num", "en", "2,021", "two thousand twenty-one"},
      {"H:numb", "de", "21", "einundzwanzig"},
      {"H:numb", "de", "22", "zweiundzwanzig"},
      {"H:number_pt", "pt", "2021", "dois mil e vinte e um"},
      {"H:number_pt", "pt", "1100", "mil e cem"},
      {"H:numbers_ru", "ru", "112000", "сто двенадцать тысячи"},
      {"H:numbers_pl", "pl", "112000", "sto dwanaście tysięcy"},
      {"H:numbers_ru", "ru", "2000", "два тысячи"},
      {"H:numbers_pl", "pl", "5000", "pięć tysięcy"},
      {"H:numbe", "ru", "112000", "сто двенадцать тысячи"},
      {"H:numbers_lt", "lt", "21000", "dvidešimt vienas tūkstantis"},
      {"H:numbers_lt", "lt", "12000", "dvylika tūkstančių"},
      {"H:numbers_lt", "lt", "5000", "penki tūkstančiai"},
      {"H:numbers_lt_with_ending", "lt", "5-ame", "penkiame"},
      {"H:numbers_lt_with_ending", "lt", "-ame", "ame"},
      {"H:numbers_ro", "ro", "2000", "două mii"},
      {"H:numbers_ro", "ro", "21000", "douăzeci și o de mii"},
      {"H:nu", nullptr, "12", "twelve"},  // a variant "filter" comes back to number once
      {"H:roman", nullptr, "XIV", "fourteen"},
      {"H:roman", nullptr, "mcm", "one thousand nine hundred"},
      {"H:roman", nullptr, "IIV", "IIV"},
      {"H:roman", nullptr, "IXC", "IXC"},
      {"H:roman", nullptr, "XIL", "XIL"},
      {"H:roman", nullptr, "X1", "X1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.spec) + " " + c.text);
    Interp in(Rules().get());
    if (c.table) in.Attr("case", c.table);
    EXPECT_EQ(in.Words(c.spec, c.text), c.words);
  }
  Interp in(Rules().get());
  in.Attr("maxlen", "3");
  EXPECT_EQ(in.Words("H:number", "1234"), "one two three four");
  Interp big(Rules().get());
  big.Attr("maxlen", "30");
  EXPECT_EQ(big.Words("H:number", "1234567890123456789"),
            "one two three four five six seven eight nine zero one two three four five six seven eight nine");
}

TEST(HruleNumbersTest, MissingWordsAreReportedAndGluingNeedsNoEarlierEntry) {
  Nrules set = RulesFrom(Lookup("digitlkp", {{"5", "five"}, {"tens_join", "and"}}) +
                         "<hrule name='numb' reverse_tens='True' no_join_delim='True'/>");
  Interp in(set.get());
  EXPECT_EQ(in.Words("H:number", "35"), "and five");
  bool logged = false;
  for (int i = 0; QLTP_logger_msg(in.log, i); ++i)
    logged |= std::string(QLTP_logger_msg(in.log, i)).find("H - number missing tens item  : 30") != std::string::npos;
  EXPECT_TRUE(logged);
  // Units word missing: the join word starts the output.
  EXPECT_EQ(in.Run("H:numb", "37"), std::vector<std::string>{"and"});
}

TEST(HruleOtherTest, SpellsFiltersAndRestoresCharacters) {
  struct Case {
    const char* spec;
    const char* text;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {"H:none", "As is", {"As is"}},
      {"H:aschars", "aab", {"double", "ay", "bee"}},
      {"H:aschars", "ccc", {"triple see"}},
      {"H:aschars", "A&7?", {"a", "and", "seven", "?"}},
      {"H:aschars", "$€", {"dollars", "euro"}},
      {"H:asdigits", "12", {"wun", "too"}},
      {"H:filter", "$50", {"dollars", "fifty"}},
      {"H:filter", "abc12", {"abc", "twelve"}},
      {"H:filter", "NATO7%", {"nay", "toe", "seven", "per", "cent"}},
      {"H:extdchars_it", "perche'", {"because"}},
      {"H:extdchars_it", "citta'", {"città"}},
      {"H:extdchars_it", "casa", {"casa"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.spec) + " " + c.text);
    Interp in(Rules().get());
    EXPECT_EQ(in.Run(c.spec, c.text), c.out);
  }
  Interp in(Rules().get());
  int result = -1;
  in.Run("H:extdchars_it", "'x'", &result);
  EXPECT_EQ(result, 0);
  in.Run("H:roman", "", &result);
  EXPECT_EQ(result, 0);

  // Without a repeat table a doubled letter is said twice.
  Nrules plain = RulesFrom(Lookup("lowercase", {{"a", "ay"}}));
  Interp twice(plain.get());
  EXPECT_EQ(twice.Run("H:aschars", "aa"), (std::vector<std::string>{"ay", "ay"}));
  // "word" spells when asked to by its parameters.
  str2str* params = QLTP_strarray_new();
  QLTP_str2str_add(params, "aschars", -1, "yes", -1);
  QLTP_dystrarray_clear(in.out, 0);
  QLTP_hrule_word(in.in, "ab", in.out, in.attrs, params);
  EXPECT_EQ(Entries(in.out), (std::vector<std::string>{"ay", "bee"}));
  QLTP_strarray_delete(params);
}

TEST(HruleOtherTest, FilterRunsAreCutOnCharacterBoundaries) {
  Interp in(Rules().get());
  std::string text = "x";
  for (int i = 0; i < 200; ++i) text += "é";
  text += "7";
  auto out = in.Run("H:filter", text.c_str());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].size(), 255u);
  EXPECT_EQ(QLTP_check_utf8(out[0].c_str(), static_cast<int>(out[0].size()), nullptr), -1);
  EXPECT_EQ(out[1], "seven");
}

// The English model tables against Python's num2words: every number below
// 10,000 and 20,000 random ones below 10^12 agree once "and", commas and
// hyphens are dropped.
TEST(HruleNumbersTest, EnglishTablesAgreeWithNum2words) {
  std::vector<int64_t> numbers;
  for (int64_t i = 0; i < 10000; ++i) numbers.push_back(i);
  std::mt19937_64 rng(1012);
  for (int i = 0; i < 20000; ++i) numbers.push_back(static_cast<int64_t>(rng() % 1000000000000ull));
  std::string in_path = TempPath("num2words_in.txt");
  {
    std::ofstream f(in_path);
    for (int64_t n : numbers) f << n << '\n';
  }
  std::string cmd = std::string(ORVELLE_PYTHON) + " " + ORVELLE_SOURCE_DIR +
                    "/tests/textproc/num2words_reference.py en < " + in_path;
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::vector<std::string> expected;
  char line[1024];
  while (std::fgets(line, sizeof line, p)) expected.emplace_back(line);
  pclose(p);
  std::remove(in_path.c_str());
  ASSERT_EQ(expected.size(), numbers.size()) << "num2words (Debian python3-num2words) is needed";

  auto normal = [](const std::string& s) {
    std::string out, word;
    auto flush = [&] {
      if (!word.empty() && word != "and") out += (out.empty() ? "" : " ") + word;
      word.clear();
    };
    for (char c : s) {
      if (c == ' ' || c == '-' || c == ',' || c == '\n')
        flush();
      else
        word += c;
    }
    flush();
    return out;
  };
  Interp in(Rules().get());
  in.Attr("case", "en");
  int disagree = 0;
  for (size_t i = 0; i < numbers.size(); ++i) {
    std::string ours = in.Words("H:num", std::to_string(numbers[i]).c_str());
    if (normal(ours) != normal(expected[i]) && ++disagree <= 5)
      ADD_FAILURE() << numbers[i] << ": " << ours << " / " << expected[i];
  }
  EXPECT_EQ(disagree, 0);
}

TEST(RinterpTest, ConvertsRelativeValues) {
  struct Case {
    const char* text;
    rinterp_range range;
    bool with_range;
    const char* out;
  };
  const Case cases[] = {
      {"50%", {}, false, "0.500"},
      {"+100%", {}, false, "2"},
      {"-50%", {}, false, "0.500"},
      {"-0", {}, false, "1.0"},
      {"+0", {}, false, "1.0"},
      {"200Hz", {}, false, "a200"},
      {"+20Hz", {}, false, "+20"},
      {"-20Hz", {}, false, "-20"},
      {"6dB", {}, false, "1.995"},
      {"+2st", {}, false, "+2st"},
      {"-1.5st", {}, false, "-1.500st"},
      {"3", {}, false, "3"},
      {"+3", {}, false, "+3"},
      {"50", {0, 100, 0.5f, 2}, true, "1.250"},
      {"50", {7, 7, 0.5f, 2}, true, "0.500"},
      {"1e300dB", {}, false, "0.000"},
      {"nan", {}, false, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char buf[255];
    int n = QLTP_rinterp_convert_relative(c.text, c.with_range ? &c.range : nullptr, buf, sizeof buf);
    std::string want = std::string(c.out).substr(0, sizeof buf - 1);
    EXPECT_EQ(std::string(buf), want);
    EXPECT_EQ(n, static_cast<int>(want.size()));
  }
  // Huge values never pass through an int; the text is cut to the buffer.
  char buf[255];
  EXPECT_EQ(QLTP_rinterp_convert_relative("1e300", nullptr, buf, sizeof buf), 254);
  EXPECT_EQ(std::string(buf).substr(0, 20), "10000000000000000525");
  EXPECT_EQ(QLTP_rinterp_convert_relative("1e300Hz", nullptr, buf, sizeof buf), 254);
  EXPECT_EQ(std::string(buf).substr(0, 4), "a100");
  char small[4];
  EXPECT_EQ(QLTP_rinterp_convert_relative("123456", nullptr, small, sizeof small), 3);
  EXPECT_STREQ(small, "123");
}
