// The full pipeline channel on 1 MB of English prose (the fortunes files in
// name order, "%" lines and control characters other than line feed and tab
// dropped), over the English database of the pipeline tests (rules,
// abbreviations, breaks, POS dictionary, LG maps, the CMU dictionary, letter
// trees and syllabification data); against espeak-ng's text front end (text
// to phonemes, clause by clause) on the same text. Words are the text's
// white-space separated words. After the runs it prints each stage's share
// of a full channel's time and the ratios between the runs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/english_channel.h"
#include "foundation/toxspurt.h"
#include "foundation/tpdb.h"
#include "linguistics/accent.h"
#include "linguistics/archiphone.h"
#include "linguistics/cbout.h"
#include "linguistics/homtagger.h"
#include "linguistics/phrasing.h"
#include "linguistics/postagger.h"
#include "linguistics/pronounce.h"
#include "linguistics/reduction.h"
#include "linguistics/syllabify.h"
#include "textproc/channel.h"
#include "textproc/normalise.h"
#include "textproc/tokeniser.h"
#include "textproc/toxparse.h"
#ifdef ORVELLE_BENCH_ESPEAK
#include <espeak-ng/speak_lib.h>
#endif

namespace {

constexpr char kFortunes[] = "/usr/share/games/fortunes";

const std::string& Prose() {
  static const std::string text = [] {
    std::vector<std::string> names;
    if (DIR* dir = opendir(kFortunes)) {
      while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n[0] != '.' && n.find('.') == std::string::npos && e->d_type == DT_REG) names.push_back(n);
      }
      closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& n : names) {
      std::ifstream in(std::string(kFortunes) + "/" + n);
      std::string line;
      while (std::getline(in, line) && out.size() < (1u << 20)) {
        if (line == "%") continue;
        for (char c : line)
          if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
        out += '\n';
      }
    }
    size_t cut = std::min<size_t>(out.size(), 1u << 20);
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    return out;
  }();
  return text;
}

double Words(const std::string& text) {
  double n = 0;
  bool in_word = false;
  for (char c : text) {
    bool space = c == ' ' || c == '\n' || c == '\t' || c == '\r';
    n += !space && !in_word;
    in_word = !space;
  }
  return n;
}

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }
using orvelle_bench::EnglishDatabase;

// Seconds per iteration of each run, for the ratios printed at the end.
std::map<std::string, double>& Timings() {
  static std::map<std::string, double> t;
  return t;
}

void CountSpurt(cbout*, void* user, toxspurt*, int, int) { ++*static_cast<long*>(user); }

// One channel of the type; each iteration processes the prose `copies`
// times over as one final call.
void RunChannel(benchmark::State& state, int type, const std::string& name) {
  std::string text;
  for (int64_t i = 0; i < state.range(0); ++i) text += Prose();
  Timings()[name + "/" + std::to_string(state.range(0))] = orvelle_bench::TimeChannel(state, type, 0, text);
  state.counters["words_per_second"] = benchmark::Counter(Words(text) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_FullChannel(benchmark::State& state) { RunChannel(state, QLTP_TPC_FULL, "full"); }
BENCHMARK(BM_FullChannel)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_SpurtChannel(benchmark::State& state) { RunChannel(state, QLTP_TPC_SPURT, "spurt"); }
BENCHMARK(BM_SpurtChannel)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

// The stages of a full channel run one by one over the prose, in the
// pieces and order the channel runs them for plain text, each timed on its
// own.
const char* const kStageNames[] = {"tokeniser", "markup parser", "pre-normalisation tagger", "normaliser",
                                   "POS tagger", "phrasing", "homograph tagger", "reduction", "pronunciation",
                                   "accent", "archiphones", "syllabification", "callback output"};
constexpr int kStages = sizeof kStageNames / sizeof kStageNames[0];
double stage_seconds[kStages] = {};

void BM_FullChannelStages(benchmark::State& state) {
  const std::string& text = Prose();
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, EnglishDatabase().c_str());
  channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", QLTP_TPC_FULL);
  if (!ch) {
    state.SkipWithError("channel refused");
    QLTP_tpdb_delete(db);
    return;
  }
  long spurts = 0;
  QLTP_tpc_set_phrase_callback(ch, CountSpurt, &spurts, 0, 0);
  for (auto _ : state) {
    // The channel's own cut: pieces of QLTP_TPC_PIECE bytes, the last final.
    for (size_t from = 0; from < text.size(); from += QLTP_TPC_PIECE) {
      const int len = static_cast<int>(std::min<size_t>(QLTP_TPC_PIECE, text.size() - from));
      const int f = from + static_cast<size_t>(len) == text.size() ? 1 : 0;
      Clock::time_point start = Clock::now();
      const dystr* marked = QLTP_tokenise_process(ch->tokeniser, text.c_str() + from, len, f);
      stage_seconds[0] += Seconds(start);
      start = Clock::now();
      voidparray* s = marked ? QLTP_toxparse_process(ch->toxparser, QLTP_dystr_cstr(marked), QLTP_dystr_sz(marked), f)
                             : nullptr;
      stage_seconds[1] += Seconds(start);
      // The stream stages, in kStageNames order from the third.
      const std::function<voidparray*(voidparray*)> stages[] = {
          [&](voidparray* in) { return QLTP_postagger_process_prenorm(ch->prenorm_pos_tagger, ch->normaliser, in, f); },
          [&](voidparray* in) { return QLTP_normalise_process(ch->normaliser, in, f); },
          [&](voidparray* in) { return QLTP_postagger_process(ch->pos_tagger, in, f); },
          [&](voidparray* in) { return QLTP_phrasing_process(ch->phraser, in, f); },
          [&](voidparray* in) { return QLTP_homtagger_process(ch->hom_tagger, in, f); },
          [&](voidparray* in) { return QLTP_reduction_process(ch->reducer, in, f); },
          [&](voidparray* in) { return QLTP_pronounce_process(ch->pronouncer, in, f); },
          [&](voidparray* in) { return QLTP_jpaccent_process(ch->accent, in, f); },
          [&](voidparray* in) { return QLTP_archiphone_process(ch->archiphones, in, f); },
          [&](voidparray* in) { return QLTP_syllabify_process(ch->syllabifier, in, f); },
          [&](voidparray* in) {
            QLTP_cbout_process(ch->output_stage, in, f);
            QLTP_toxspstream_release_tox(in);
            return in;
          },
      };
      static_assert(std::size(stages) + 2 == kStages);
      for (int at = 2; at < kStages; ++at) {
        start = Clock::now();
        if (s) s = stages[at - 2](s);
        stage_seconds[at] += Seconds(start);
      }
    }
    QLTP_tpc_reset(ch, 0, "B");
  }
  double total = 0;
  for (double t : stage_seconds) total += t;
  for (int i = 0; i < kStages; ++i)
    state.counters[kStageNames[i]] = benchmark::Counter(total > 0 ? 100 * stage_seconds[i] / total : 0);
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
}
BENCHMARK(BM_FullChannelStages)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_DatabaseLoad(benchmark::State& state) {
  const std::string& path = EnglishDatabase();
  double total = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    tpdb* db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_load(db, path.c_str());
    QLTP_tpdb_delete(db);
    total += Seconds(start);
  }
  Timings()["load"] = total / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DatabaseLoad)->Unit(benchmark::kMillisecond);

#ifdef ORVELLE_BENCH_ESPEAK
void BM_EspeakTextToPhonemes(benchmark::State& state) {
  const std::string& text = Prose();
  espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0);
  espeak_SetVoiceByName("en");
  double total = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    const void* p = text.c_str();
    while (p) benchmark::DoNotOptimize(espeak_TextToPhonemes(&p, espeakCHARS_UTF8, 0));
    total += Seconds(start);
  }
  Timings()["espeak/1"] = total / static_cast<double>(state.iterations());
  state.counters["words_per_second"] = benchmark::Counter(Words(text) * state.iterations(), benchmark::Counter::kIsRate);
  espeak_Terminate();
}
BENCHMARK(BM_EspeakTextToPhonemes)->Unit(benchmark::kMillisecond)->Iterations(2);
#endif

void PrintSummary() {
  std::map<std::string, double>& t = Timings();
  double total = 0;
  for (double s : stage_seconds) total += s;
  if (total > 0) {
    std::printf("\nShare of the full channel's time by stage:\n");
    for (int i = 0; i < kStages; ++i) std::printf("  %-26s %5.1f%%\n", kStageNames[i], 100 * stage_seconds[i] / total);
  }
  auto ratio = [&](const char* what, const char* a, const char* b) {
    if (t.count(a) && t.count(b) && t[b] > 0) std::printf("  %-44s %.2f\n", what, t[a] / t[b]);
  };
  std::printf("Ratios:\n");
  // Same text, so the ratio of times is the inverse ratio of words/s.
  ratio("full channel vs espeak-ng (words/s)", "espeak/1", "full/1");
  ratio("spurt type vs full type (time)", "spurt/1", "full/1");
  ratio("10 MB vs 1 MB (time, at most 11)", "full/10", "full/1");
  if (t.count("load")) std::printf("  %-44s %.1f ms\n", "database load", 1000 * t["load"]);
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
