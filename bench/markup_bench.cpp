// The spurt and full channel types on markup that nests without end (a
// paragraph or a prosody element opened before every word and never closed,
// after <speak>) and on plain text, 8 KB to 64 KB in one final call, over the
// English database of the pipeline tests. After the runs it prints the time
// of each doubling and the nested texts' times against plain text's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench/english_channel.h"

namespace {

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

// Seconds per iteration by "<type>/<input>" and size in KB.
std::map<std::string, std::map<int64_t, double>>& Timings() {
  static std::map<std::string, std::map<int64_t, double>> t;
  return t;
}

std::string TypeName(int type) { return type == QLTP_TPC_FULL ? "full" : "spurt"; }

void BM_Markup(benchmark::State& state) {
  const int type = kTypes[state.range(0)];
  const Input& input = kInputs[state.range(1)];
  const int64_t kb = state.range(2);
  std::string text = input.head;
  while (text.size() < static_cast<size_t>(kb) * 1024) text += input.unit;
  Timings()[TypeName(type) + "/" + input.name][kb] = orvelle_bench::TimeChannel(state, type, 1, text);
  state.SetLabel(TypeName(type) + "/" + input.name);
  state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
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
