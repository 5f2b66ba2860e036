// Small databases made by the library's own writer, and whole-file helpers,
// for tests that work on database files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/tpdb.h"

namespace orvelle_test {

using Objects = std::vector<std::pair<std::string, std::string>>;

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes a version 5.0.1 database holding the objects in this order with the
// library's writer; gives its bytes.
inline std::string WriteDb(const std::string& path, const Objects& objects) {
    tpdb* db = QLTP_tpdb_new(nullptr);
    EXPECT_TRUE(QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1));
    EXPECT_TRUE(QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1));
    EXPECT_TRUE(QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1));
    for (const auto& [name, data] : objects) {
        QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(data.data(), static_cast<uint32_t>(data.size()));
        bool queued = QLTP_tpobj_serialisequeue(db, image, name.c_str());
        EXPECT_TRUE(queued) << name;
        if (!queued) QLTP_fixedbuf_delete(image);
    }
    EXPECT_EQ(QLTP_tpdb_write_serial(db, path.c_str()), 1);
    QLTP_tpdb_delete(db);
    return ReadFile(path);
}

}  // namespace orvelle_test
