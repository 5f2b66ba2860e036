// The database loader on arbitrary bytes and on mutants of written files.
// Loading with and without the objects' images agrees; a file that loads and
// is written back (the writer refuses header lines it could not read back)
// loads again and writes the very same bytes.
#include <cstdint>
#include <string>

#include "foundation/tpdb.h"
#include "fuzz/fuzz.h"

using namespace orvelle_fuzz;

namespace {

// Loads path keeping the images and writes it to copy: 0 when it does not
// load, 1 when the writer refused it, 2 when it was written.
int LoadAndWrite(const std::string& path, const std::string& copy) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  int result = QLTP_tpdb_load_tomodify(db, path.c_str(), 1) == 1;
  if (result) result += QLTP_tpdb_write_serial(db, copy.c_str()) == 1;
  QLTP_tpdb_delete(db);
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempPath("in.tpdb"), first = TempPath("first.tpdb"),
                           second = TempPath("second.tpdb");
  WriteFile(path, Input{data, size}.Payload(0));
  // The plain load, which keeps no images, must end as well.
  tpdb* plain = QLTP_tpdb_new(nullptr);
  const int plain_loaded = QLTP_tpdb_load(plain, path.c_str());
  QLTP_tpdb_delete(plain);
  const int loaded = LoadAndWrite(path, first);
  Check((loaded > 0) == (plain_loaded == 1), "loading with and without images agrees");
  if (loaded < 2) return 0;
  Check(LoadAndWrite(first, second) == 2, "a written database loads and writes back");
  Check(ReadFile(first) == ReadFile(second), "a rewritten database keeps its bytes", ReadFile(first));
  return 0;
}
