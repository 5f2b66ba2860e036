// Time properties that hold on a busy machine. Wall time grows with whatever
// else the machine runs; the CPU time of the calling thread does not, so a
// test compares the thread's CPU time of two sizes of one piece of work,
// measured in the same run, best of several, with a margin. Figures of speed
// belong in bench/, not in tests.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <limits>

namespace orvelle_test {

// The one bound on wall time a test may use: it tells a prompt return from
// a wait of a minute (the client's 60 s receive time-out, a server that
// stalls that long, a call that blocks), with seconds to spare on a loaded,
// sanitized run.
inline constexpr std::chrono::seconds prompt_return_limit{20};

// CPU seconds the calling thread has used so far.
inline double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The least thread CPU time, in seconds, that one call of `work` took over
// `runs` calls. Work done on other threads is not counted.
template <class Work>
double BestCpuSeconds(Work&& work, int runs = 3) {
  double best = std::numeric_limits<double>::infinity();
  for (int run = 0; run < runs; ++run) {
    const double start = ThreadCpuSeconds();
    work();
    best = std::min(best, ThreadCpuSeconds() - start);
  }
  return best;
}

// How much more thread CPU time `large()` takes than `small()`, best of
// `runs` each. The small size is floored at a millisecond so that a timer's
// granularity cannot make a ratio out of nothing.
template <class Small, class Large>
double CpuTimeRatio(Small&& small, Large&& large, int runs = 3) {
  const double small_seconds = std::max(BestCpuSeconds(small, runs), 1e-3);
  return BestCpuSeconds(large, runs) / small_seconds;
}

}  // namespace orvelle_test
