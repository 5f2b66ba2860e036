// Rule-set lookups against std::unordered_map of the same "table:key"
// strings, and number expansion with English tables against ICU's spell-out.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/dystrarray.h"
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

void BM_NumbersExpand(benchmark::State& state) {
  nrules* set = english_rules();
  rinterp_context ctx{};
  ctx.rules = set;
  rinterp* in = QLTP_rinterp_new(&ctx, 1, 0, 0, 0, nullptr);
  dystrarray* out = QLTP_dystrarray_new(0);
  const auto& list = numbers();
  for (auto _ : state) {
    for (const auto& n : list) {
      QLTP_dystrarray_clear(out, 0);
      QLTP_nrules_apply_component(set, in, "H:number", in->ovector, out, nullptr, n.c_str());
    }
    benchmark::DoNotOptimize(out->count);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
  QLTP_dystrarray_delete(out);
  QLTP_rinterp_delete(in);
  QLTP_nrules_delete(set);
}
BENCHMARK(BM_NumbersExpand);

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

}  // namespace

BENCHMARK_MAIN();
