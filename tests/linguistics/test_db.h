// Small test databases written with the library's own writer.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "foundation/serial.h"
#include "foundation/tpdb.h"

namespace orvelle_test {

using DbObjects = std::vector<std::pair<std::string, std::string>>;

// Writes the objects (name, serialised bytes) as a database file at path.
inline void WriteDatabase(const std::string& path, const DbObjects& objects) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  ASSERT_NE(db, nullptr);
  QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, std::to_string(QLTP_major_version()).c_str(), -1);
  QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, std::to_string(QLTP_minor_version()).c_str(), -1);
  QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, std::to_string(QLTP_revision_number()).c_str(), -1);
  for (const auto& [name, bytes] : objects) {
    QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!QLTP_tpobj_serialisequeue(db, image, name.c_str())) {
      QLTP_fixedbuf_delete(image);
      ADD_FAILURE() << name;
    }
  }
  EXPECT_EQ(QLTP_tpdb_write_serial(db, path.c_str()), 1);
  QLTP_tpdb_delete(db);
}

// A loaded database, freed at the end of the scope.
struct LoadedDb {
  tpdb* db = QLTP_tpdb_new(nullptr);
  explicit LoadedDb(const std::string& path) { EXPECT_EQ(QLTP_tpdb_load(db, path.c_str()), 1); }
  ~LoadedDb() { QLTP_tpdb_delete(db); }
  LoadedDb(const LoadedDb&) = delete;
  LoadedDb& operator=(const LoadedDb&) = delete;
};

}  // namespace orvelle_test
