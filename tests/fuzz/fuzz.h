// Helpers shared by the libFuzzer targets: the input layout (option bytes in
// front of a payload), property checks that stop the run with a report,
// piecewise feeding, files of this process and a UTF-8 check.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cpu_time.h"

namespace orvelle_fuzz {

// Option bytes at the front of an input (0 where the input is shorter) and
// the payload after them.
struct Input {
  const uint8_t* data;
  size_t size;
  uint8_t Byte(size_t i) const { return i < size ? data[i] : 0; }
  std::string Payload(size_t from) const {
    return from < size ? std::string(reinterpret_cast<const char*>(data) + from, size - from) : std::string();
  }
};

// A broken property: a report and an abort, which libFuzzer keeps as a crash
// with the input that caused it.
[[noreturn]] inline void Fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "property failed: %s\n", what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  detail (%zu bytes): ", detail.size());
    for (unsigned char c : detail.substr(0, 2000)) {
      if (c >= 0x20 && c < 0x7F) std::fputc(c, stderr);
      else std::fprintf(stderr, "\\x%02X", c);
    }
    std::fputc('\n', stderr);
  }
  std::abort();
}
inline void Check(bool ok, const char* what, std::string_view detail = {}) {
  if (!ok) Fail(what, detail);
}

// A budget linear in the input's length: more than base seconds plus per_kb
// seconds for every KB of it since start (this thread's CPU time, from
// orvelle_test::ThreadCpuSeconds, so that other work on the machine does not
// count) is a finding, so that a path slower than linear shows up rather than
// passing as a slow run.
inline void CheckLinearTime(double start, size_t bytes, double base, double per_kb, const char* what,
                            const std::string& label = {}) {
  const double seconds = orvelle_test::ThreadCpuSeconds() - start;
  Check(seconds <= base + per_kb * static_cast<double>(bytes) / 1024.0, what,
        label + (label.empty() ? "" : " ") + std::to_string(seconds) + " s for " + std::to_string(bytes) + " bytes");
}

// The payload cut into pieces of 1 to max bytes; seed picks the cuts.
inline std::vector<std::string_view> Pieces(std::string_view s, uint32_t seed, size_t max) {
  std::vector<std::string_view> pieces;
  uint32_t x = seed * 2654435761u + 1;
  for (size_t at = 0; at < s.size();) {
    x = x * 1103515245u + 12345u;
    size_t n = 1 + (x >> 16) % max;
    if (n > s.size() - at) n = s.size() - at;
    pieces.push_back(s.substr(at, n));
    at += n;
  }
  return pieces;
}

// Shortest forms only, no surrogates, nothing above U+10FFFF.
inline bool ValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
      unsigned char t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// The UTF-8 form of a code point (at most U+10FFFF), appended.
inline void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
    return;
  }
  const int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  out += static_cast<char>(((0xF00u >> n) & 0xFF) | (cp >> (6 * (n - 1))));
  for (int k = n - 2; k >= 0; --k) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
}
inline std::string Hex(uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%X", v);
  return buf;
}

// Frames between client and server: 16-bit type, 32-bit stream id (0 here),
// 32-bit length, the data and the closing length, all big-endian.
inline uint32_t Load32(std::string_view s, size_t at) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline std::string Word32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}
inline std::string WireFrame(int type, std::string_view data, int64_t closing_length = -1) {
  const uint32_t n = static_cast<uint32_t>(data.size());
  return std::string{static_cast<char>(type >> 8), static_cast<char>(type)} + Word32(0) + Word32(n) +
         std::string(data) + Word32(closing_length < 0 ? n : static_cast<uint32_t>(closing_length));
}

// A file in the temporary directory ($TMPDIR or /tmp) that belongs to this
// process.
inline std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/orvelle_fuzz_" + std::to_string(::getpid()) + "_" + name;
}
inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace orvelle_fuzz
