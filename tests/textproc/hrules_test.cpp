#include "textproc/hrules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "foundation/utf8.h"
#include "cpu_time.h"
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
  s += Lookup("ro_one", {{"parent", "ro_one"}, {"thousand", "mie"}, {"2", "doi"}});
  s += Lookup("many", {{"parent", "many"}, {"1", "one"}, {" ", "many"}});
  s += Lookup("digitlkp_feminine", {{"1", "o"}, {"2", "două"}, {"20", "douăzeci"}, {"tens_join", "și"}});
  s += Lookup("zh", {{"parent", "zh"}, {"1", "一"}, {"2", "二"}, {"3", "三"}, {"5", "五"}, {"40", "四十"},
                     {"15", "一十五"}, {"hundred", "百"}, {"hundred_plural", "百"}, {"thousand", "千"},
                     {"thousand_plural", "千"}, {"ten_thousand", "万"}, {"ten_thousand_plural", "万"}});
  s += Lookup("digitlkp_ten_twenty", {{"1", "一"}, {"15", "十五"}, {"ten_thousand", "万"},
                                       {"ten_thousand_plural", "万"}});
  s += Lookup("gd", {{"parent", "gd"}, {"1", "aon"}, {"2", "dà"}, {"20", "fichead"}, {"100", "ceud"},
                     {"hundred_join", "is"}, {"hundred_thousand", "ceud mìle"}});
  s += Lookup("digitlkp_exceptions", {{"tens_join", "a"}, {"12", "dhà dheug"}});
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
      {"H:numbers_ru", "ru", "112000", "сто двенадцать тысяч"},
      {"H:numbers_pl", "pl", "112000", "sto dwanaście tysięcy"},
      {"H:numbers_ru", "ru", "2000", "два тысячи"},
      {"H:numbers_pl", "pl", "5000", "pięć tysięcy"},
      {"H:numbe", "ru", "112000", "сто двенадцать тысяч"},
      {"H:numbers_lt", "lt", "21000", "dvidešimt vienas tūkstantis"},
      {"H:numbers_lt", "lt", "12000", "dvylika tūkstančių"},
      {"H:numbers_lt", "lt", "5000", "penki tūkstančiai"},
      {"H:numbers_lt_with_ending", "lt", "5-ame", "penkiame"},
      {"H:numbers_lt_with_ending", "lt", "-ame", "ame"},
      {"H:numbers_ro", "ro", "2000", "două mii"},
      {"H:numbers_ro", "ro", "21000", "douăzeci și o de mii"},
      {"H:numbers_ro", "ro_one", "1000", "mie"},  // no plural key: a single thousand has no multiplier
      {"H:number", "many", "21", "many"},         // a default answers for numbers longer than any key
      {"H:number", "many", "1", "one"},
      {"H:numbers_zh", "zh", "12345", "一 万 二 千 三 百 四十 五"},
      {"H:numbers_zh", "zh", "15", "一十五"},
      {"H:numbers_zh", "zh", "115", "一 百 十五"},
      {"H:numbers_zh", "zh", "150000", "一十五 万"},
      {"H:numbers_gd", "gd", "112", "ceud a dhà dheug"},
      {"H:numbers_gd", "gd", "120", "ceud is fichead"},
      {"H:numbers_ga", "gd", "120", "ceud fichead"},
      {"H:numbers_ga", "gd", "121", "ceud is fichead aon"},
      {"H:numbers_gd", "gd", "200000", "dà ceud mìle"},
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
  // The recursive rule called with arguments of the caller's own.
  number_args args;
  args.cas = args.parent = "en";
  args.no_join_delim = args.ignore_minus = true;
  QLTP_dystrarray_clear(in.out, 0);
  EXPECT_EQ(QLTP_hrule_numbers_recursive(in.in, "-121", in.out, &args), 1);
  EXPECT_EQ(Entries(in.out), (std::vector<std::string>{"one", "hundred", "and", "twenty-one"}));
  EXPECT_EQ(QLTP_hrule_numbers_recursive(in.in, "1", in.out, nullptr), 0);
  Interp big(Rules().get());
  big.Attr("maxlen", "30");
  EXPECT_EQ(big.Words("H:number", "1234567890123456789"),
            "one two three four five six seven eight nine zero one two three four five six seven eight nine");
}

// "number" hands over to the first rule of the table, in order, whose name
// begins with the variant and that is not "number" itself.
TEST(HruleNumbersTest, VariantHandsOverToTheFirstOtherRuleItBegins) {
  struct Case {
    const char* variant;
    const char* table;
    const char* text;
    const char* words;
  } cases[] = {
      {"num", "pt", "2021", "dois mil e vinte e um"},
      {"number", "pt", "1100", "mil e cem"},
      {"numbers", "ru", "2000", "два тысячи"},
      {"numbers_l", "lt", "5000", "penki tūkstančiai"},
      {"filter", nullptr, "12", "twelve"},
      {"nosuch", nullptr, "12", "twelve"},
  };
  std::string file = RuleFile();
  file.erase(file.rfind("</rules>"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variant);
    Nrules set = RulesFrom(file + "<hrule name='number' variant='" + c.variant + "'/>\n</rules>\n");
    Interp in(set.get());
    if (c.table) in.Attr("case", c.table);
    EXPECT_EQ(in.Words("H:number", c.text), c.words);
  }
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
      {"H:aschars", "aaa", {"ay", "double", "ay"}},
      {"H:aschars", "cccc", {"c", "triple see"}},
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

// A long line of one character is read in time linear in its length, with
// the words a short run of the same character gives at its end.
TEST(HruleOtherTest, AscharsTakesLinearTimeOnLongRuns) {
  Interp in(Rules().get());
  for (char c : {'=', 'a'}) {
    SCOPED_TRACE(c);
    const std::string run(80000, c);
    const std::vector<std::string> out = in.Run("H:aschars", run.c_str());
    // Eight times the run, at most about eight times the time.
    const double ratio = orvelle_test::CpuTimeRatio([&] { in.Run("H:aschars", run.c_str() + 70000); },
                                                    [&] { in.Run("H:aschars", run.c_str()); });
    EXPECT_LT(ratio, 24.0) << "80,000 characters took " << ratio << " times the CPU time of 10,000";
    std::vector<std::string> tail = in.Run("H:aschars", run.substr(0, 2).c_str());
    ASSERT_EQ(out.size(), run.size() - 2 + tail.size());
    EXPECT_EQ(std::vector<std::string>(out.end() - static_cast<long>(tail.size()), out.end()), tail);
    EXPECT_EQ(out.front(), c == 'a' ? "ay" : "=");
  }
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

// num2words' reading of each number in the language, one line per number.
std::vector<std::string> Num2words(const std::vector<int64_t>& numbers, const char* lang) {
  ScratchDir dir;
  std::string in_path = dir.Path(std::string("num2words_") + lang + ".txt");
  {
    std::ofstream f(in_path);
    for (int64_t n : numbers) f << n << '\n';
  }
  std::string cmd = std::string(ORVELLE_PYTHON) + " " + ORVELLE_SOURCE_DIR +
                    "/tests/textproc/num2words_reference.py " + lang + " < " + in_path;
  std::vector<std::string> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char line[1024];
  while (std::fgets(line, sizeof line, p)) out.emplace_back(line);
  pclose(p);
  std::remove(in_path.c_str());
  return out;
}

// Words without "and"/"e"/"și" joins, commas and hyphens; a word of a pair
// in `same` is read as the pair's second.
std::string Normal(const std::string& s, const std::vector<std::string>& drop,
                   const std::vector<std::pair<std::string, std::string>>& same = {}) {
  std::string out, word;
  auto flush = [&] {
    bool dropped = false;
    for (const auto& d : drop) dropped |= word == d;
    for (const auto& [theirs, ours] : same)
      if (word == theirs) word = ours;
    if (!word.empty() && !dropped) out += (out.empty() ? "" : " ") + word;
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
}

// The English model tables against Python's num2words: every number below
// 10,000 and 20,000 random ones below 10^12 agree once "and", commas and
// hyphens are dropped.
TEST(HruleNumbersTest, EnglishTablesAgreeWithNum2words) {
  std::vector<int64_t> numbers;
  for (int64_t i = 0; i < 10000; ++i) numbers.push_back(i);
  std::mt19937_64 rng(1012);
  for (int i = 0; i < 20000; ++i) numbers.push_back(static_cast<int64_t>(rng() % 1000000000000ull));
  std::vector<std::string> expected = Num2words(numbers, "en");
  ASSERT_EQ(expected.size(), numbers.size()) << "num2words (Debian python3-num2words) is needed";
  auto normal = [](const std::string& s) { return Normal(s, {"and"}); };
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

// Tables for Portuguese, Russian, Polish, Lithuanian and Romanian, written
// for these tests; ru, pl and lt reach billions.
struct Language {
  const char* lang;
  const char* spec;
  std::vector<const char*> ones;      // 0 to 19
  std::vector<const char*> tens;      // 20 to 90
  std::vector<const char*> hundreds;  // 100 to 900
  Table extra;
  std::vector<std::string> drop;
  double floor;
  bool billions;
  // Words num2words writes otherwise, read as ours: feminine multipliers
  // (a matter of the tables, not of the rule) and its own misspelling.
  Table same;
};

const std::vector<Language>& Languages() {
  static const std::vector<Language> languages = {
      {"pt", "H:number_pt",
       {"zero", "um", "dois", "três", "quatro", "cinco", "seis", "sete", "oito", "nove", "dez", "onze", "doze",
        "treze", "catorze", "quinze", "dezasseis", "dezassete", "dezoito", "dezanove"},
       {"vinte", "trinta", "quarenta", "cinquenta", "sessenta", "setenta", "oitenta", "noventa"},
       {"cem", "duzentos", "trezentos", "quatrocentos", "quinhentos", "seiscentos", "setecentos", "oitocentos",
        "novecentos"},
       {{"tens_join", "e"}, {"1000", "mil"}, {"thousand_plural", "mil"}, {"hundred_join", "e"}},
       {"e"}, 0.9, false, {}},
      {"ru", "H:numbers_ru",
       {"ноль", "один", "два", "три", "четыре", "пять", "шесть", "семь", "восемь", "девять", "десять",
        "одиннадцать", "двенадцать", "тринадцать", "четырнадцать", "пятнадцать", "шестнадцать", "семнадцать",
        "восемнадцать", "девятнадцать"},
       {"двадцать", "тридцать", "сорок", "пятьдесят", "шестьдесят", "семьдесят", "восемьдесят", "девяносто"},
       {"сто", "двести", "триста", "четыреста", "пятьсот", "шестьсот", "семьсот", "восемьсот", "девятьсот"},
       {{"1000", "одна тысяча"}, {"2000", "две тысячи"}, {"thousand", "тысяча"}, {"thousand_plural", "тысяч"},
        {"thousand_plural_2_4", "тысячи"}, {"million", "миллион"}, {"million_plural", "миллионов"},
        {"million_plural_2_4", "миллиона"}, {"billion", "миллиард"}, {"billion_plural", "миллиардов"},
        {"billion_plural_2_4", "миллиарда"}},
       {}, 0.99, true, {{"одна", "один"}, {"две", "два"}}},
      {"pl", "H:numbers_pl",
       {"zero", "jeden", "dwa", "trzy", "cztery", "pięć", "sześć", "siedem", "osiem", "dziewięć", "dziesięć",
        "jedenaście", "dwanaście", "trzynaście", "czternaście", "piętnaście", "szesnaście", "siedemnaście",
        "osiemnaście", "dziewiętnaście"},
       {"dwadzieścia", "trzydzieści", "czterdzieści", "pięćdziesiąt", "sześćdziesiąt", "siedemdziesiąt",
        "osiemdziesiąt", "dziewięćdziesiąt"},
       {"sto", "dwieście", "trzysta", "czterysta", "pięćset", "sześćset", "siedemset", "osiemset", "dziewięćset"},
       {{"1000", "tysiąc"}, {"thousand", "tysiąc"}, {"thousand_plural", "tysięcy"},
        {"thousand_plural_2_4", "tysiące"}, {"1000000", "milion"}, {"million", "milion"},
        {"million_plural", "milionów"}, {"million_plural_2_4", "miliony"}, {"1000000000", "miliard"},
        {"billion", "miliard"}, {"billion_plural", "miliardów"}, {"billion_plural_2_4", "miliardy"}},
       {}, 0.99, true, {{"dziewięćdzisiąt", "dziewięćdziesiąt"}}},
      {"lt", "H:numbers_lt",
       {"nulis", "vienas", "du", "trys", "keturi", "penki", "šeši", "septyni", "aštuoni", "devyni", "dešimt",
        "vienuolika", "dvylika", "trylika", "keturiolika", "penkiolika", "šešiolika", "septyniolika",
        "aštuoniolika", "devyniolika"},
       {"dvidešimt", "trisdešimt", "keturiasdešimt", "penkiasdešimt", "šešiasdešimt", "septyniasdešimt",
        "aštuoniasdešimt", "devyniasdešimt"},
       {"vienas šimtas", "du šimtai", "trys šimtai", "keturi šimtai", "penki šimtai", "šeši šimtai",
        "septyni šimtai", "aštuoni šimtai", "devyni šimtai"},
       {{"thousand", "tūkstantis"}, {"thousand_plural", "tūkstančių"}, {"thousand_plural_2_9", "tūkstančiai"},
        {"million", "milijonas"}, {"million_plural", "milijonų"}, {"million_plural_2_9", "milijonai"},
        {"billion", "milijardas"}, {"billion_plural", "milijardų"}, {"billion_plural_2_9", "milijardai"}},
       {}, 0.99, true, {}},
      {"ro", "H:numbers_ro",
       {"zero", "unu", "doi", "trei", "patru", "cinci", "șase", "șapte", "opt", "nouă", "zece", "unsprezece",
        "doisprezece", "treisprezece", "paisprezece", "cincisprezece", "șaisprezece", "șaptesprezece",
        "optsprezece", "nouăsprezece"},
       {"douăzeci", "treizeci", "patruzeci", "cincizeci", "șaizeci", "șaptezeci", "optzeci", "nouăzeci"},
       {"o sută", "două sute", "trei sute", "patru sute", "cinci sute", "șase sute", "șapte sute", "opt sute",
        "nouă sute"},
       {{"tens_join", "și"}, {"thousand", "mie"}, {"thousand_plural", "mii"}, {"thousand_plural_20plus", "de mii"}},
       {"și"}, 0.99, false, {}},
  };
  return languages;
}

Nrules LanguageRules(const Language& l) {
  Table t;
  for (size_t i = 0; i < l.ones.size(); ++i) t.emplace_back(std::to_string(i), l.ones[i]);
  for (size_t i = 0; i < l.tens.size(); ++i) t.emplace_back(std::to_string(20 + 10 * i), l.tens[i]);
  for (size_t i = 0; i < l.hundreds.size(); ++i) t.emplace_back(std::to_string(100 * (i + 1)), l.hundreds[i]);
  t.emplace_back("parent", l.lang);
  t.insert(t.end(), l.extra.begin(), l.extra.end());
  // Romanian multipliers of thousands are feminine.
  Table feminine = {{"1", "o"}, {"2", "două"}};
  for (size_t i = 3; i < l.ones.size(); ++i) feminine.emplace_back(std::to_string(i), l.ones[i]);
  for (size_t i = 0; i < l.tens.size(); ++i) feminine.emplace_back(std::to_string(20 + 10 * i), l.tens[i]);
  feminine.emplace_back("tens_join", "și");
  return RulesFrom(Lookup(l.lang, t) + Lookup("digitlkp_feminine", feminine));
}

const Language& LanguageOf(const std::string& lang) {
  for (const Language& l : Languages())
    if (lang == l.lang) return l;
  return Languages().front();
}

// The tables against num2words on 0 to 9,999 and, where they reach
// billions, on numbers of every length below 10^12: the agreement is
// reported and must not fall (today: pt 0.90 - "cento e" - and 1.00 for the
// others).
TEST(HruleNumbersTest, OtherLanguagesAgreeWithNum2wordsMostly) {
  std::vector<int64_t> small;
  for (int64_t i = 0; i < 10000; ++i) small.push_back(i);
  std::vector<int64_t> large = small;
  std::mt19937_64 rng(2124);
  for (int i = 0; i < 6000; ++i) {
    int64_t limit = 1;
    for (int digits = 5 + i % 8; digits > 0; --digits) limit *= 10;
    large.push_back(static_cast<int64_t>(rng() % static_cast<uint64_t>(limit)));
  }
  for (const Language& l : Languages()) {
    SCOPED_TRACE(l.lang);
    const std::vector<int64_t>& numbers = l.billions ? large : small;
    Nrules set = LanguageRules(l);
    std::vector<std::string> expected = Num2words(numbers, l.lang);
    ASSERT_EQ(expected.size(), numbers.size()) << "num2words (Debian python3-num2words) is needed";
    Interp in(set.get());
    in.Attr("case", l.lang);
    auto normal = [&](const std::string& words) { return Normal(words, l.drop, l.same); };
    size_t agree = 0;
    int shown = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
      const std::string ours = in.Words(l.spec, std::to_string(numbers[i]).c_str());
      const bool same = normal(ours) == normal(expected[i]);
      agree += same;
      if (!same && numbers[i] >= 10000 && ++shown <= 3)
        std::printf("%s %lld: %s / %s", l.lang, static_cast<long long>(numbers[i]), ours.c_str(), expected[i].c_str());
    }
    double share = static_cast<double>(agree) / static_cast<double>(numbers.size());
    RecordProperty(std::string("agreement_") + l.lang, std::to_string(share));
    std::printf("%s agreement with num2words on %zu numbers: %.3f\n", l.lang, numbers.size(), share);
    EXPECT_GE(share, l.floor);
  }
}

// Plurals follow the multiplier's last two digits in every unit, billions
// too, across the 64-bit range the rules read.
TEST(HruleNumbersTest, PluralsFollowTheLastTwoDigitsOfTheMultiplier) {
  struct Case {
    const char* lang;
    const char* text;
    const char* words;
  };
  const Case cases[] = {
      {"ru", "112000", "сто двенадцать тысяч"},
      {"ru", "111000", "сто одиннадцать тысяч"},
      {"ru", "114000", "сто четырнадцать тысяч"},
      {"ru", "123000", "сто двадцать три тысячи"},
      {"ru", "121000000", "сто двадцать один миллион"},
      {"ru", "2000000000", "два миллиарда"},
      {"ru", "5000000000", "пять миллиардов"},
      {"ru", "21000000000", "двадцать один миллиард"},
      {"ru", "112000000000", "сто двенадцать миллиардов"},
      {"ru", "123000000000", "сто двадцать три миллиарда"},
      {"ru", "922337203685477580",
       "девятьсот двадцать два миллиона триста тридцать семь тысяч двести три миллиарда шестьсот восемьдесят "
       "пять миллионов четыреста семьдесят семь тысяч пятьсот восемьдесят"},
      {"pl", "112000000", "sto dwanaście milionów"},
      {"pl", "113000", "sto trzynaście tysięcy"},
      {"pl", "101000", "sto jeden tysięcy"},
      {"pl", "21000", "dwadzieścia jeden tysięcy"},
      {"pl", "1000", "tysiąc"},
      {"pl", "22000", "dwadzieścia dwa tysiące"},
      {"pl", "5000000000", "pięć miliardów"},
      {"pl", "2000000000", "dwa miliardy"},
      {"pl", "21000000000", "dwadzieścia jeden miliardów"},
      {"pl", "1000000000", "miliard"},
      {"pl", "104000000000", "sto cztery miliardy"},
      {"pl", "912000000000000000", "dziewięćset dwanaście milionów miliardów"},
      {"lt", "10000000000", "dešimt milijardų"},
      {"lt", "21000000000", "dvidešimt vienas milijardas"},
      {"lt", "2000000000", "du milijardai"},
      {"lt", "1000000000", "vienas milijardas"},
      {"lt", "111000", "vienas šimtas vienuolika tūkstančių"},
      {"lt", "115000000000", "vienas šimtas penkiolika milijardų"},
      {"lt", "999000000000000000", "devyni šimtai devyniasdešimt devyni milijonai milijardų"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.lang) + " " + c.text);
    const Language& l = LanguageOf(c.lang);
    Nrules set = LanguageRules(l);
    Interp in(set.get());
    in.Attr("case", l.lang);
    in.Attr("maxlen", "18");
    EXPECT_EQ(in.Words(l.spec, c.text), c.words);
  }
}
