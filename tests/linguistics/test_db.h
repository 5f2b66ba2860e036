// Small databases for the linguistic tests: objects written with the
// library's own writer into a temporary file and loaded back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "foundation/serial.h"
#include "foundation/tpdb.h"
#include "temp_path.h"

namespace orvelle_test {

using DbObjects = std::vector<std::pair<std::string, std::string>>;

// Writes the objects (name, stored bytes) into a database file at path.
inline void WriteTestDb(const std::string& path, const DbObjects& objects) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  ASSERT_NE(db, nullptr);
  QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
  QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1);
  QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1);
  for (const auto& [name, data] : objects) {
    QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(data.data(), static_cast<uint32_t>(data.size()));
    if (!QLTP_tpobj_serialisequeue(db, image, name.c_str())) {
      QLTP_fixedbuf_delete(image);
      ADD_FAILURE() << "could not queue " << name;
    }
  }
  EXPECT_EQ(QLTP_tpdb_write_serial(db, path.c_str()), 1);
  QLTP_tpdb_delete(db);
}

// A loaded database of the objects; freed with the holder.
struct TestDb {
  tpdb* db = nullptr;
  explicit TestDb(const DbObjects& objects, const std::string& name = "test.tpdb") {
    const std::string path = TempPath(name);
    WriteTestDb(path, objects);
    db = QLTP_tpdb_new(nullptr);
    EXPECT_EQ(QLTP_tpdb_load(db, path.c_str()), 1);
  }
  ~TestDb() { QLTP_tpdb_delete(db); }
  TestDb(const TestDb&) = delete;
  TestDb& operator=(const TestDb&) = delete;
};

// A text object as the database stores it: the text and its NUL.
inline std::string TextObject(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace orvelle_test
