// Letter-to-sound speed: words per second through the compact CART built
// from the CMU letter trees, against espeak-ng's text-to-phonemes on the same
// words (the CMU headwords of letters a-z, in file order).

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "../tests/linguistics/cmu_lts.h"
#include "foundation/dystr.h"
#include "linguistics/ccart.h"

#if ORVELLE_BENCH_ESPEAK
#include <espeak-ng/speak_lib.h>
#endif

namespace {

const std::vector<std::string>& Words() {
  static const std::vector<std::string> words = [] {
    std::vector<std::string> out;
    for (const auto& e : orvelle_test::CmuDictionary())
      if (e.word.find_first_not_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos) out.push_back(e.word);
    return out;
  }();
  return words;
}

void Ccart(benchmark::State& state) {
  ccart* c = QLTP_deserialise_ccart(orvelle_test::CmuCartText().c_str());
  if (!c || Words().empty()) {
    state.SkipWithError("festlex-cmu or pocketsphinx-en-us is missing");
    QLTP_ccart_delete(c);
    return;
  }
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  for (auto _ : state)
    for (const auto& w : Words())
      benchmark::DoNotOptimize(QLTP_runccart(c, w.c_str(), nullptr, 0, padded, out, nullptr, nullptr, ""));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Words().size()));
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  QLTP_ccart_delete(c);
}
BENCHMARK(Ccart)->Unit(benchmark::kMillisecond);

#if ORVELLE_BENCH_ESPEAK
void Espeak(benchmark::State& state) {
  if (espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0) < 0 || espeak_SetVoiceByName("en") != EE_OK ||
      Words().empty()) {
    state.SkipWithError("espeak-ng cannot start");
    return;
  }
  for (auto _ : state)
    for (const auto& w : Words()) {
      const void* text = w.c_str();
      benchmark::DoNotOptimize(espeak_TextToPhonemes(&text, espeakCHARS_UTF8, 0));
    }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(Words().size()));
  espeak_Terminate();
}
BENCHMARK(Espeak)->Unit(benchmark::kMillisecond)->Iterations(1);
#endif

}  // namespace

BENCHMARK_MAIN();
