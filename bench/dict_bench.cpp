// Word lookups in a dictionary, its compact form and std::unordered_map, all
// over the words of /usr/share/dict/words, looked up in file order.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/dict.h"

namespace {

const std::vector<std::string>& words() {
    static const std::vector<std::string> list = [] {
        std::vector<std::string> out;
        std::ifstream in("/usr/share/dict/words");
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(line);
        return out;
    }();
    return list;
}

dict* build_dict(int hint) {
    dict* d = QLTP_dict_new_empty(hint);
    for (const std::string& w : words()) QLTP_dict_add_entry(d, w.data(), static_cast<int>(w.size()));
    return d;
}

void lookup_all(benchmark::State& state, const dict* d) {
    const auto& list = words();
    for (auto _ : state) {
        long sum = 0;
        for (const std::string& w : list) sum += QLTP_dict_lookup_word(d, w.data(), static_cast<int>(w.size()));
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
}

void BM_UnorderedMapLookup(benchmark::State& state) {
    const auto& list = words();
    std::unordered_map<std::string, int> map;
    for (size_t i = 0; i < list.size(); ++i) map.emplace(list[i], static_cast<int>(i + 1));
    for (auto _ : state) {
        long sum = 0;
        for (const std::string& w : list) {
            auto it = map.find(w);
            sum += it == map.end() ? 0 : it->second;
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(list.size()));
}

// Built with the default hint (100): the table grows as words arrive.
void BM_DictLookup(benchmark::State& state) {
    dict* d = build_dict(0);
    lookup_all(state, d);
    QLTP_dict_delete(d);
}

// Read back from the file form of a dictionary sized for the word count.
void BM_ReadDictLookup(benchmark::State& state) {
    dict* d = build_dict(static_cast<int>(words().size()));
    std::vector<char> buf(static_cast<size_t>(QLTP_dict_write_sz(d)));
    QLTP_dict_write(d, buf.data(), 0);
    QLTP_dict_delete(d);
    FILE* f = std::tmpfile();
    std::fwrite(buf.data(), 1, buf.size(), f);
    std::rewind(f);
    dict* back = nullptr;
    QLTP_dict_read(f, &back, 0);
    std::fclose(f);
    lookup_all(state, back);
    QLTP_dict_delete(back);
}

void BM_DictBuild(benchmark::State& state) {
    for (auto _ : state) QLTP_dict_delete(build_dict(0));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(words().size()));
}

}  // namespace

BENCHMARK(BM_UnorderedMapLookup);
BENCHMARK(BM_DictLookup);
BENCHMARK(BM_ReadDictLookup);
BENCHMARK(BM_DictBuild);
BENCHMARK_MAIN();
