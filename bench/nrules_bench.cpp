// Rule-set lookups against std::unordered_map of the same "table:key"
// strings, and number expansion with English tables against ICU's spell-out.

#include <benchmark/benchmark.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystrarray.h"
#include "foundation/regex.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/voidparray.h"
#include "textproc/nrules.h"
#include "textproc/rinterp.h"

#ifdef ORVELLE_BENCH_ICU
#include <unicode/locid.h>
#include <unicode/rbnf.h>
#include <unicode/unistr.h>
#endif

namespace {

// 1,400 words of /usr/share/dict/words as keys.
const std::vector<std::string>& keys() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    std::ifstream in("/usr/share/dict/words");
    for (std::string line; std::getline(in, line) && out.size() < 1400;)
      if (!line.empty() && line.find_first_of("'\"") == std::string::npos) out.push_back(line);
    return out;
  }();
  return list;
}

nrules* quiet_rules(const std::string& text) {
  std::FILE* saved = stdout;
  stdout = std::fopen("/dev/null", "w");
  nrules* set = QLTP_deserialise_nrules(nullptr, text.c_str());
  std::fclose(stdout);
  stdout = saved;
  return set;
}

nrules* table_rules() {
  std::string text = "<lookup name='table'><![CDATA[{";
  for (const auto& k : keys()) text += "'" + k + "':'value of " + k + "',\n";
  return quiet_rules(text + "}]]></lookup>");
}

void BM_NrulesLkp(benchmark::State& state) {
  nrules* set = table_rules();
  const auto& list = keys();
  for (auto _ : state) {
    size_t sum = 0;
    for (const auto& k : list) sum += QLTP_nrules_lkp(set, "table", 5, k.data(), static_cast<int>(k.size()))[0];
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
  QLTP_nrules_delete(set);
}
BENCHMARK(BM_NrulesLkp);

void BM_UnorderedMapLkp(benchmark::State& state) {
  const auto& list = keys();
  std::unordered_map<std::string, std::string> map;
  for (const auto& k : list) map.emplace("table:" + k, "value of " + k);
  std::string key;
  for (auto _ : state) {
    size_t sum = 0;
    for (const auto& k : list) {
      key.assign("table:").append(k);  // the key is made per lookup, as the rule set does
      auto it = map.find(key);
      sum += it == map.end() ? 0 : static_cast<size_t>(it->second[0]);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
}
BENCHMARK(BM_UnorderedMapLkp);

const std::vector<std::string>& numbers() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    std::mt19937 rng(9);
    for (int i = 0; i < 2000; ++i) out.push_back(std::to_string(rng() % 1000000000));
    return out;
  }();
  return list;
}

nrules* english_rules() {
  static const char* const ones[] = {"zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine",
                                     "ten", "eleven", "twelve", "thirteen", "fourteen", "fifteen", "sixteen",
                                     "seventeen", "eighteen", "nineteen"};
  static const char* const tens[] = {"twenty", "thirty", "forty", "fifty", "sixty", "seventy", "eighty", "ninety"};
  std::string t = "<lookup name='digitlkp'><![CDATA[{'tens_join':'-', 'hundred_join':'and', ";
  for (int i = 0; i < 20; ++i) t.append("'").append(std::to_string(i)).append("':'").append(ones[i]).append("', ");
  for (int i = 0; i < 8; ++i)
    t.append("'").append(std::to_string(20 + 10 * i)).append("':'").append(tens[i]).append("', ");
  for (const char* u : {"hundred", "thousand", "million", "billion"}) {
    t.append("'").append(u).append("':'").append(u).append("', ");
    t.append("'").append(u).append("_plural':'").append(u).append("', ");
  }
  return quiet_rules(t + "}]]></lookup><hrule name='number' no_join_delim='True'/>");
}

// An interpreter over the English tables for calling expansion rules.
struct Expander {
  nrules* set = english_rules();
  rinterp_context ctx{};
  rinterp* in;
  dystrarray* out = QLTP_dystrarray_new(0);
  Expander() {
    ctx.rules = set;
    in = QLTP_rinterp_new(&ctx, 1, 0, 0, 0, nullptr);
  }
  ~Expander() {
    QLTP_dystrarray_delete(out);
    QLTP_rinterp_delete(in);
    QLTP_nrules_delete(set);
  }
  Expander(const Expander&) = delete;
  Expander& operator=(const Expander&) = delete;
  void Run(const char* spec, const std::string& text) {
    QLTP_dystrarray_clear(out, 0);
    QLTP_nrules_apply_component(set, in, spec, in->ovector, out, nullptr, text.c_str());
  }
};

void BM_NumbersExpand(benchmark::State& state) {
  Expander e;
  const auto& list = numbers();
  for (auto _ : state) {
    for (const auto& n : list) e.Run("H:number", n);
    benchmark::DoNotOptimize(e.out->count);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
}
BENCHMARK(BM_NumbersExpand);

// A line of n '=' spelt character by character.
void BM_AscharsRun(benchmark::State& state) {
  Expander e;
  const std::string line(static_cast<size_t>(state.range(0)), '=');
  for (auto _ : state) {
    e.Run("H:aschars", line);
    benchmark::DoNotOptimize(e.out->count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_AscharsRun)->Arg(40000)->Arg(80000)->Unit(benchmark::kMillisecond);

// The same line through a whole rule, as the normaliser applies it: matched,
// spelt and written into a chain of one token per character.
void BM_AscharsRule(benchmark::State& state) {
  nrules* set = quiet_rules(
      "<regex name='any'><![CDATA[.+]]></regex>"
      "<rule name='chars' type='chars'><match><com name='R:any' in='T+00'/></match>"
      "<replace><com name='H:aschars' in='C00' out='T+00000X'/></replace></rule>");
  toxpool* pool = QLTP_toxpool_new(2, 8, 8);
  dystr* scratch = QLTP_dystr_new("", 0);
  voidparray* stream = QLTP_voidparray_new();
  rinterp_context ctx{};
  ctx.pool = pool;
  ctx.scratch = scratch;
  ctx.rules = set;
  rinterp* in = QLTP_rinterp_new(&ctx, 2, 0, 0, 0, nullptr);
  auto* group = static_cast<voidparray*>(QLTP_voidparray_idx(set->groups, 0));
  const std::string line(static_cast<size_t>(state.range(0)), '=');
  for (auto _ : state) {
    toxtoken* t = QLTP_toxpool_token(pool);
    QLTP_toxtoken_setparent(t, stream);
    QLTP_toxtoken_set(t, line.c_str(), -1);
    QLTP_toxtoken_set_norm(t, line.c_str(), -1);
    QLTP_voidparray_replace(in->window, 0, t);
    if (QLTP_rinterp_apply_rules(in, set, group) != 1) state.SkipWithError("the rule did not apply");
    state.PauseTiming();
    while (t) {
      toxtoken* next = t->next;
      QLTP_toxtoken_clear(t);
      t = next;
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  QLTP_rinterp_delete(in);
  QLTP_voidparray_delete(stream);
  QLTP_dystr_delete(scratch);
  QLTP_toxpool_delete(pool);
  QLTP_nrules_delete(set);
}
BENCHMARK(BM_AscharsRule)->Arg(40000)->Arg(80000)->Arg(160000)->Unit(benchmark::kMillisecond);

#ifdef ORVELLE_BENCH_ICU
void BM_IcuSpellout(benchmark::State& state) {
  UErrorCode status = U_ZERO_ERROR;
  icu::RuleBasedNumberFormat format(icu::URBNF_SPELLOUT, icu::Locale::getUS(), status);
  if (U_FAILURE(status)) {
    state.SkipWithError("ICU spell-out not available");
    return;
  }
  std::vector<int64_t> values;
  for (const auto& n : numbers()) values.push_back(std::stoll(n));
  icu::UnicodeString text;
  std::string utf8;
  for (auto _ : state) {
    for (int64_t v : values) {
      text.remove();
      format.format(v, text);
      utf8.clear();
      text.toUTF8String(utf8);
    }
    benchmark::DoNotOptimize(utf8.size());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(values.size()));
}
BENCHMARK(BM_IcuSpellout);
#endif

// The words of the King James Bible (Debian bible-kjv), verse references dropped.
const std::vector<std::string>& kjv_words() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    FILE* p = popen("bible -f gen1:1-rev22:21 2>/dev/null", "r");
    if (!p) return out;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
      std::string s(line);
      size_t at = s.find(' ');
      if (at == std::string::npos) continue;
      for (size_t i = at; i < s.size();) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        size_t j = i;
        while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
      }
    }
    pclose(p);
    return out;
  }();
  return list;
}

// About thirty rules with R, L and H components, tried in order on each word.
const std::vector<std::string>& rule_patterns() {
  static const std::vector<std::string> patterns = {
      "^[0-9]+$", "^[IVXLCDM]+$", "^\\$[0-9]", "^[0-9]+%$", "^[A-Z]{2,}$", "[0-9]+:[0-9]+", "^Mr\\.$",
      "^Dr\\.$", "^St\\.$", "[&@#]", "^https?:", "\\.com$", "^[a-z]+'s$", "^[A-Z][a-z]+eth[,.;:]?$",
      "^[a-z]+est[,.;:]?$", "^[a-z]+ing[,.;:]?$", "^un[a-z]+$", "^[A-Z][a-z]+,$", "^[a-z]+;$", "^[a-z]+:$",
      "^[a-z]+\\.$", "^thee$", "^thou$", "^thy$", "^unto$", "^hath$", "^LORD", "^God", "^[a-z]+$", ".",
  };
  return patterns;
}

nrules* kjv_rules() {
  std::string text = "<rules><lookup name='digitlkp'><![CDATA[{'1':'one','2':'two'}]]></lookup>"
                     "<lookup name='old'><![CDATA[{'thee':'you','thou':'you','thy':'your','unto':'to','hath':'has'}]]></lookup>";
  const auto& patterns = rule_patterns();
  for (size_t i = 0; i < patterns.size(); ++i) {
    std::string n = std::to_string(i);
    text += "<regex name='p" + n + "'><![CDATA[" + patterns[i] + "]]></regex>";
    std::string second = i % 3 == 0 ? "<com name='L:old' in='T+00'/>" : i % 3 == 1 ? "<com name='H:none' in='T+00'/>" : "";
    text += "<rule name='r" + n + "' type='bench'><match><com name='R:p" + n + "' in='T+00'/>" + second +
            "</match><replace><com val='w" + n + "' out='T+00'/></replace></rule>";
  }
  return quiet_rules(text + "</rules>");
}

void BM_RulesApplied(benchmark::State& state) {
  const auto& words = kjv_words();
  if (words.empty()) {
    state.SkipWithError("bible-kjv is needed");
    return;
  }
  nrules* set = kjv_rules();
  toxpool* pool = QLTP_toxpool_new(1, 16, 16);
  voidparray* stream = QLTP_voidparray_new();
  rinterp_context ctx{};
  ctx.pool = pool;
  ctx.rules = set;
  int maxcomp = 0, minpos = 0, maxpos = 0;
  QLTP_nrules_update_buffersz(set, &maxcomp, &minpos, &maxpos);
  rinterp* in = QLTP_rinterp_new(&ctx, maxcomp, minpos, maxpos, 0, nullptr);
  toxtoken* token = QLTP_toxpool_token(pool);
  QLTP_toxtoken_setparent(token, stream);
  QLTP_voidparray_replace(in->window, in->current, token);
  auto* group = static_cast<voidparray*>(QLTP_voidparray_idx(set->groups, 0));
  size_t applied = 0;
  for (auto _ : state) {
    for (const auto& w : words) {
      QLTP_toxtoken_set(token, w.data(), static_cast<int>(w.size()));
      applied += static_cast<size_t>(QLTP_rinterp_apply_rules(in, set, group));
    }
  }
  benchmark::DoNotOptimize(applied);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(words.size()));
  QLTP_rinterp_delete(in);
  QLTP_toxpool_delete(pool);
  QLTP_voidparray_delete(stream);
  QLTP_nrules_delete(set);
}
BENCHMARK(BM_RulesApplied)->Unit(benchmark::kMillisecond);

// The same patterns run directly, in order, until one matches.
void BM_PatternsDirect(benchmark::State& state) {
  const auto& words = kjv_words();
  std::vector<QLTP_regex*> res;
  for (const auto& p : rule_patterns()) {
    std::string unescaped;
    for (size_t i = 0; i < p.size(); ++i) {
      if (p[i] == '\\' && i + 1 < p.size() && p[i + 1] == '\\') ++i;
      unescaped += p[i];
    }
    res.push_back(QLTP_regex_compile(unescaped.c_str(), -1, 0));
  }
  int ov[QLTP_REGEX_OVECSIZE];
  size_t matched = 0;
  for (auto _ : state) {
    for (const auto& w : words)
      for (QLTP_regex* re : res)
        if (QLTP_regex_exec(re, w.data(), static_cast<int>(w.size()), 0, ov) > 0) {
          ++matched;
          break;
        }
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(words.size()));
  for (QLTP_regex* re : res) QLTP_regex_free(re);
}
BENCHMARK(BM_PatternsDirect)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
