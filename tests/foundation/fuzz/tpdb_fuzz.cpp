// libFuzzer target for the database loader; not part of the default build.
// Build and run from the worktree root, for example:
//   cmake -S . -B build-fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
//         -DORVELLE_SANITIZE=address,undefined,fuzzer-no-link -DORVELLE_BENCH=OFF
//   cmake --build build-fuzz --target orvelle_core
//   clang++ -std=c++20 -g -fsanitize=address,undefined,fuzzer -I. tests/foundation/fuzz/tpdb_fuzz.cpp \
//         build-fuzz/liborvelle_core.a $(pkg-config --libs libpcre2-8 libxml-2.0) -o tpdb_fuzz
//   ./tpdb_fuzz -max_total_time=60
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/tpdb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/tpdb_fuzz_" + std::to_string(getpid()) + ".tpdb";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  tpdb* db = QLTP_tpdb_new(nullptr);
  // Keep every image on odd sizes so that the queueing path is fuzzed too.
  if (QLTP_tpdb_load_tomodify(db, path.c_str(), static_cast<int>(size & 1)) && (size & 1)) {
    std::string copy = path + ".copy";
    QLTP_tpdb_write_serial(db, copy.c_str());
  }
  QLTP_tpdb_delete(db);
  return 0;
}
