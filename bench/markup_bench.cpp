// The spurt and full channel types on markup that nests without end (a
// paragraph or a prosody element opened before every word and never closed,
// after <speak>) and on plain text, 8 KB to 64 KB in one final call, over the
// English database of the pipeline tests. After the runs it prints the time
// of each doubling and the nested texts' times against plain text's.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "foundation/toxspurt.h"
#include "foundation/tpdb.h"
#include "tests/linguistics/english_db.h"
#include "textproc/channel.h"

namespace {

const std::string& Database() {
  static const std::string path = [] {
    const std::string p = "/tmp/orvelle_markup_bench.tpdb";
    std::fflush(stdout);
    const std::string error = orvelle_test::WriteEnglishDb(p);
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return p;
  }();
  return path;
}

struct Input {
  const char* name;
  const char* head;
  const char* unit;
};
constexpr Input kInputs[] = {
    {"p", "<speak>", "<p>x "},
    {"prosody", "<speak>", "<prosody rate='fast'>a "},
    {"plain", "", "Hello world, this is plain text. "},
};
constexpr int kTypes[] = {QLTP_TPC_FULL, QLTP_TPC_SPURT};

using Clock = std::chrono::steady_clock;

// Seconds per iteration by "<type>/<input>" and size in KB.
std::map<std::string, std::map<int64_t, double>>& Timings() {
  static std::map<std::string, std::map<int64_t, double>> t;
  return t;
}

void CountSpurt(cbout*, void* user, toxspurt*, int, int) { ++*static_cast<long*>(user); }
void DropText(void*, const char*, int) {}

std::string TypeName(int type) { return type == QLTP_TPC_FULL ? "full" : "spurt"; }

void BM_Markup(benchmark::State& state) {
  const int type = kTypes[state.range(0)];
  const Input& input = kInputs[state.range(1)];
  const int64_t kb = state.range(2);
  std::string text = input.head;
  while (text.size() < static_cast<size_t>(kb) * 1024) text += input.unit;
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, Database().c_str());
  channel* ch = QLTP_tpc_newtype(db, nullptr, 1, "B", type);
  if (!ch) {
    state.SkipWithError("channel refused");
    QLTP_tpdb_delete(db);
    return;
  }
  long spurts = 0;
  QLTP_tpc_set_phrase_callback(ch, CountSpurt, &spurts, 0, 0);
  if (type != QLTP_TPC_FULL) QLTP_tpc_set_text_callback(ch, DropText, nullptr);
  double total = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    QLTP_tpc_process(ch, text.c_str(), static_cast<int>(text.size()), 1);
    total += std::chrono::duration<double>(Clock::now() - start).count();
  }
  Timings()[TypeName(type) + "/" + input.name][kb] = total / static_cast<double>(state.iterations());
  state.SetLabel(TypeName(type) + "/" + input.name);
  state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
}
BENCHMARK(BM_Markup)
    ->ArgsProduct({{0, 1}, {0, 1, 2}, {8, 16, 32, 64}})
    ->ArgNames({"type", "input", "kb"})
    ->Unit(benchmark::kMillisecond);

void PrintSummary() {
  std::printf("\nTime per doubling (aim: at most 2.5):\n");
  for (const auto& [series, by_size] : Timings()) {
    std::printf("  %-14s", series.c_str());
    double previous = 0;
    for (const auto& [kb, seconds] : by_size) {
      if (previous > 0) std::printf("  %2lld KB %.2fx", static_cast<long long>(kb), seconds / previous);
      previous = seconds;
    }
    std::printf("\n");
  }
  std::printf("Nested against plain text at 64 KB (aim: at most 3):\n");
  for (int type : kTypes) {
    const auto& plain = Timings()[TypeName(type) + "/plain"];
    for (const char* nested : {"p", "prosody"}) {
      const auto& t = Timings()[TypeName(type) + "/" + nested];
      if (t.count(64) && plain.count(64) && plain.at(64) > 0)
        std::printf("  %-14s %.2f\n", (TypeName(type) + "/" + nested).c_str(), t.at(64) / plain.at(64));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
