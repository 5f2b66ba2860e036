// Small databases for the tests that work on database files: objects are serialised by their
// kinds' own writers (or given as stored bytes) and the file by the library's
// database writer, so that loading it back exercises the kinds' readers as a
// real database would.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "scratch_dir.h"

namespace orvelle_test {

// One object of a test database: its full name ("TPOBJ_PBREAK:DEFAULT") and
// the object, which the kind named there writes; without an object, the
// given image is stored as it is.
struct DbObject {
  std::string name;
  void* object;
  std::string image = {};
};

// Objects given as (name, stored bytes).
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

// A text object as the database stores it: the text and its NUL.
inline std::string TextObject(const std::string& text) { return text + std::string(1, '\0'); }

// What a single-object file writer (QLTPPy_<kind>_write) answers for a buffer
// of the size it asks for, and the bytes it leaves there.
template <typename T, typename Write>
std::pair<int, std::string> WriterImage(const T* object, Write write) {
  QLTP_fixedbuf* buffer = QLTP_fixedbuf_new(static_cast<uint32_t>(write(object, nullptr)));
  int answer = write(object, buffer);
  std::string bytes(buffer->data, buffer->size);
  QLTP_fixedbuf_delete(buffer);
  return {answer, bytes};
}

// One to three random edits of a stored image, each a byte replaced, the
// image cut, a byte inserted or a bit flipped; an emptied image stays empty.
inline void MutateImage(std::string& bytes, std::mt19937& rng) {
  for (int e = 0, n = 1 + static_cast<int>(rng() % 3); e < n && !bytes.empty(); ++e) {
    size_t at = rng() % bytes.size();
    switch (rng() % 4) {
      case 0: bytes[at] = static_cast<char>(rng()); break;
      case 1: bytes.resize(at); break;
      case 2: bytes.insert(at, 1, static_cast<char>(rng())); break;
      default: bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
    }
  }
}

// The image a kind's writer gives for an object (empty when it writes none).
inline std::string KindImage(const std::string& name, void* object, bool swap) {
  int slot = QLTP_tpobj_kind_of(name.c_str(), -1);
  QLTP_tpobj_write_fn write = slot < 0 ? nullptr : QLTP_TPOBJ_WRITE[slot];
  if (!write) return {};
  int32_t size = write(object, nullptr, swap);
  if (size <= 0) return {};
  std::string image(static_cast<size_t>(size), '\0');
  if (write(object, image.data(), swap) != 1) return {};
  return image;
}

// Writes a database holding the objects to path and returns its bytes. With
// swapped set the file is the one a writer of the other byte order makes:
// every object written swapped, the frame's size words reversed. Header
// values (such as "LANGUAGE") are added to the version's.
inline std::string WriteTestDb(const std::string& path, const std::vector<DbObject>& objects, bool swapped = false,
                               const std::vector<std::pair<std::string, std::string>>& header = {}) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  EXPECT_TRUE(QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1));
  EXPECT_TRUE(QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1));
  EXPECT_TRUE(QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1));
  for (const auto& [key, value] : header) EXPECT_TRUE(QLTP_tpdb_header_setval(db, key.c_str(), -1, value.c_str(), -1));
  std::vector<size_t> sizes;
  for (const DbObject& o : objects) {
    std::string image = o.image;
    if (o.object) {
      image = KindImage(o.name, o.object, swapped);
      EXPECT_FALSE(image.empty()) << o.name;
    }
    sizes.push_back(image.size());
    QLTP_fixedbuf* buffer = QLTP_fixedbuf_frombytes(image.data(), static_cast<uint32_t>(image.size()));
    if (!QLTP_tpobj_serialisequeue(db, buffer, o.name.c_str())) {
      ADD_FAILURE() << "could not queue " << o.name;
      QLTP_fixedbuf_delete(buffer);
    }
  }
  EXPECT_EQ(QLTP_tpdb_write_serial(db, path.c_str()), 1);
  QLTP_tpdb_delete(db);
  std::string bytes = ReadFile(path);
  if (!swapped) return bytes;

  auto reverse_word = [&bytes](size_t at) {
    EXPECT_LE(at + 4, bytes.size());
    if (at + 4 <= bytes.size()) std::reverse(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at) + 4);
  };
  auto word = [&bytes](size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return static_cast<size_t>(v);
  };
  bytes[TPDBNAME_SIZE] = static_cast<char>(QLTP_littleendian() ? 0 : 1);
  size_t at = START_SIZE;
  const size_t header_size = word(at);
  reverse_word(at);
  at += 4 + header_size;
  for (size_t size : sizes) {
    reverse_word(at);
    at += 4 + size;
  }
  reverse_word(at);
  WriteFile(path, bytes);
  return bytes;
}

// Writes a version 5.0.1 database holding objects given as stored bytes, in
// this order; gives its bytes.
inline std::string WriteDb(const std::string& path, const Objects& objects) {
  std::vector<DbObject> list;
  for (const auto& [name, bytes] : objects) list.push_back({name, nullptr, bytes});
  return WriteTestDb(path, list);
}

// A loaded database, freed with the holder; its logger keeps its lines for
// Reported.
class LoadedDb {
 public:
  tpdb* db;

  // Loads the database file at path.
  explicit LoadedDb(const std::string& path) : db(QLTP_tpdb_new(nullptr)) {
    QLTP_logger_set_store(db->log);
    loaded_ = QLTP_tpdb_load(db, path.c_str());
  }
  // Writes the objects into a temporary file called name and loads it; the
  // load must succeed.
  LoadedDb(const std::string& name, const Objects& objects) : db(QLTP_tpdb_new(nullptr)) {
    const ScratchDir dir;
    const std::string path = dir.Path(name);
    WriteDb(path, objects);
    QLTP_logger_set_store(db->log);
    loaded_ = QLTP_tpdb_load(db, path.c_str());
    EXPECT_EQ(loaded_, 1) << name;
  }
  ~LoadedDb() { QLTP_tpdb_delete(db); }
  LoadedDb(const LoadedDb&) = delete;
  LoadedDb& operator=(const LoadedDb&) = delete;

  bool loaded() const { return loaded_ == 1; }
  template <typename T>
  T* Get(const std::string& name) const {
    return static_cast<T*>(QLTP_tpdb_get_tpdata(db, name.c_str()));
  }
  // Whether the load logged this code with a message containing `message`.
  bool Reported(int code, const std::string& message) const {
    std::string want = std::string(QLTP_logger_error_name(code)) + " : " + message;
    for (int i = 0; const char* line = QLTP_logger_msg(db->log, i); ++i)
      if (std::strstr(line, want.c_str())) return true;
    return false;
  }

 private:
  int loaded_ = 0;
};

}  // namespace orvelle_test
