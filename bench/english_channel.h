// The pipeline benchmarks' one way to time a channel: the English database
// of the pipeline tests, written once per process, and a channel of a type
// that processes one text per iteration as one final call, its output
// dropped.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "foundation/toxspurt.h"
#include "foundation/tpdb.h"
#include "tests/linguistics/english_db.h"
#include "textproc/channel.h"

namespace orvelle_bench {

inline const std::string& EnglishDatabase() {
  static const std::string path = [] {
    const std::string p = "/tmp/orvelle_bench_english.tpdb";
    std::fflush(stdout);
    const std::string error = orvelle_test::WriteEnglishDb(p);
    if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
    return p;
  }();
  return path;
}

// Gives a channel of `type` callbacks that count its spurts into `spurts`
// and drop its text output (one user pointer serves all its callbacks).
inline void CountSpurtsDropText(channel* ch, int type, long* spurts) {
  QLTP_tpc_set_phrase_callback(ch, [](cbout*, void* user, toxspurt*, int, int) { ++*static_cast<long*>(user); },
                               spurts, 0, 0);
  if (type != QLTP_TPC_FULL) QLTP_tpc_set_text_callback(ch, [](void*, const char*, int) {}, spurts);
}

// Seconds per iteration of `text` through a channel of `type`; 0 when the
// channel is refused (the run then reports an error).
inline double TimeChannel(benchmark::State& state, int type, int markup, const std::string& text) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_load(db, EnglishDatabase().c_str());
  channel* ch = QLTP_tpc_newtype(db, nullptr, markup, "B", type);
  if (!ch) {
    state.SkipWithError("channel refused");
    QLTP_tpdb_delete(db);
    return 0;
  }
  long spurts = 0;
  CountSpurtsDropText(ch, type, &spurts);
  double total = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    QLTP_tpc_process(ch, text.c_str(), static_cast<int>(text.size()), 1);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  QLTP_tpc_delete(ch);
  QLTP_tpdb_delete(db);
  return total / static_cast<double>(state.iterations());
}

}  // namespace orvelle_bench
