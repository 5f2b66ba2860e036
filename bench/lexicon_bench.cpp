// Lexicon lookups over every headword of the CMU pronouncing dictionary:
// a compressed lookup table (bucket prefix 3) against a marisa trie holding
// "word\tpron" keys read by predictive search, and a plain lexicon through
// the manager against std::unordered_map. Every lookup reads all of a word's
// pronunciations.

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "linguistics/lexicon.h"
#include "linguistics/lexmgr.h"
#include "tests/complkp_encoder.h"

#ifdef ORVELLE_BENCH_MARISA
#include <marisa.h>
#endif

namespace {

const orvelle_test::KeyValues& entries() {
  static const orvelle_test::KeyValues list = orvelle_test::CmuEntries();
  return list;
}

// Headwords in file order, each once.
const std::vector<std::string>& headwords() {
  static const std::vector<std::string> list = [] {
    std::vector<std::string> out;
    for (const auto& [word, pron] : entries())
      if (out.empty() || out.back() != word) out.push_back(word);
    return out;
  }();
  return list;
}

void finish(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(headwords().size()));
}

void BM_ComplkpLookup(benchmark::State& state) {
  complkp* table = orvelle_test::EncodeTable(orvelle_test::TableOrder(entries(), 3), 3);
  complkp_lkp* c = QLTP_complkp_lkp_new(QLTP_complkp_bufsz(table));
  for (auto _ : state) {
    long sum = 0;
    for (const std::string& w : headwords()) {
      c->position = -1;
      while (QLTP_complkp_lookup(table, w.data(), static_cast<int>(w.size()), c) == 1) sum += c->value[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  finish(state);
  size_t text = 0;
  for (const auto& [word, pron] : entries()) text += word.size() + 1 + pron.size() + 1;
  state.counters["table_to_text"] =
      static_cast<double>(QLTP_tpobj_complkp_write(table, nullptr, 0)) / static_cast<double>(text);
  QLTP_complkp_lkp_delete(c);
  QLTP_complkp_delete(table);
}

#ifdef ORVELLE_BENCH_MARISA
void BM_MarisaPredictive(benchmark::State& state) {
  marisa::Keyset keys;
  for (const auto& [word, pron] : entries()) {
    std::string key = word + "\t" + pron;
    keys.push_back(key.data(), key.size());
  }
  marisa::Trie trie;
  trie.build(keys);
  marisa::Agent agent;
  std::string query;
  for (auto _ : state) {
    long sum = 0;
    for (const std::string& w : headwords()) {
      query = w + "\t";
      agent.set_query(query.data(), query.size());
      while (trie.predictive_search(agent)) sum += agent.key().ptr()[query.size()];
    }
    benchmark::DoNotOptimize(sum);
  }
  finish(state);
}
BENCHMARK(BM_MarisaPredictive);
#endif

void BM_LexmgrPlainLookup(benchmark::State& state) {
  lexmgr* mgr = QLTP_lexmgr_new();
  lexhash* lex = QLTP_lexhash_new(static_cast<int>(headwords().size()));
  for (const auto& [word, pron] : entries()) {
    std::string line = word + " " + pron;
    QLTP_lexhash_loadline(lex, line.data(), static_cast<int>(line.size()));
  }
  QLTP_lexmgr_insert(mgr, "cmu", lex, QLTP_LEX_PLAIN | QLTP_LEX_OWNED, -1);
  complkp_lkp* c = QLTP_lexmgr_cursor(mgr);
  for (auto _ : state) {
    long sum = 0;
    for (const std::string& w : headwords())
      for (const char* e = QLTP_lexmgr_lookup(mgr, w.c_str(), nullptr, nullptr, c, nullptr); e;
           e = QLTP_lexmgr_lookup(mgr, "", nullptr, nullptr, c, nullptr))
        sum += e[0];
    benchmark::DoNotOptimize(sum);
  }
  finish(state);
  QLTP_complkp_lkp_delete(c);
  QLTP_lexmgr_delete(mgr);
}

void BM_UnorderedMapLookup(benchmark::State& state) {
  std::unordered_map<std::string, std::vector<std::string>> map;
  for (const auto& [word, pron] : entries()) map[word].push_back(pron);
  for (auto _ : state) {
    long sum = 0;
    for (const std::string& w : headwords()) {
      auto it = map.find(w);
      if (it != map.end())
        for (const std::string& e : it->second) sum += e[0];
    }
    benchmark::DoNotOptimize(sum);
  }
  finish(state);
}

}  // namespace

BENCHMARK(BM_ComplkpLookup);
BENCHMARK(BM_LexmgrPlainLookup);
BENCHMARK(BM_UnorderedMapLookup);
BENCHMARK_MAIN();
