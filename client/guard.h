// What the exported layer shares: its lines on standard output, and the guard
// that keeps every exception inside the library.
#pragma once

#include <cstdio>

namespace orvelle {

// Prints one complete line of the exported layer at once.
inline void PrintLine(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}

// Runs body; an exception becomes failure.
template <typename Failure, typename Body>
auto Guarded(Failure failure, Body body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    return static_cast<decltype(body())>(failure);
  }
}

}  // namespace orvelle
