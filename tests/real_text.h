// Real text for parser tests, from Debian packages that scripts/setup.sh
// installs: the King James Bible (bible-kjv, read through its own reader)
// and UTF-8 fortune files. An empty result means the data is missing, which
// a test must treat as a failure.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace orvelle_test {

// Verses in the reader's layout, e.g. "Gen1:1-Gen50:26".
inline std::string KingJames(const std::string& verses) {
  std::string out;
  std::string command = "bible '" + verses + "' 2>/dev/null";
  if (FILE* f = ::popen(command.c_str(), "r")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    ::pclose(f);
  }
  return out;
}

// The text repeated to n bytes and cut at its last line end; empty for an
// empty text.
inline std::string RepeatText(const std::string& text, size_t n) {
  std::string t;
  if (text.empty()) return t;
  while (t.size() < n) t += text;
  t.resize(n);
  size_t cut = t.rfind('\n');
  if (cut != std::string::npos) t.resize(cut + 1);
  return t;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline const char* const kUtf8Fortunes[] = {"/usr/share/games/fortunes/de/anekdoten",
                                            "/usr/share/games/fortunes/brasil"};

}  // namespace orvelle_test
