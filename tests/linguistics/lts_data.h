// Letter-to-sound trees for the tests, described once and written in the
// three forms the library reads: the tree-set bytes, the compact CART text
// and a database holding objects.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/serial.h"
#include "foundation/tpdb.h"
#include "temp_path.h"

namespace orvelle_test {

struct NodeSpec {
  std::string question, value;
  int yes, no;
};

struct TreeSpec {
  std::string letter;
  std::vector<std::string> terminals;
  std::vector<NodeSpec> nodes;  // numbered after the terminals
};

// Trees a, b and t: "ab" gives "ae1 b", "tat" gives "t ey0 t".
inline std::vector<TreeSpec> SmallTrees() {
  return {{"a", {"ae1", "ey1", "ey0"}, {{"n.name", "b", 0, 4}, {"p.name", "t", 2, 1}}},
          {"b", {"b"}, {}},
          {"t", {"t"}, {}}};
}

inline std::string Int32(int32_t v, bool swap = false) {
  std::string w(4, '\0');
  std::memcpy(w.data(), &v, 4);
  if (swap) std::swap(w[0], w[3]), std::swap(w[1], w[2]);
  return w;
}

inline std::string Unsigned(uint32_t v, int width, bool swap) {
  char b[4] = {};
  QLTP_write_bytes(b, v, width);
  std::string s(b, static_cast<size_t>(width));
  if (swap) std::reverse(s.begin(), s.end());
  return s;
}

inline int IndexIn(std::vector<std::string>& table, const std::string& s) {
  for (size_t i = 0; i < table.size(); ++i)
    if (table[i] == s) return static_cast<int>(i);
  table.push_back(s);
  return static_cast<int>(table.size() - 1);
}

inline std::string Joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
  return out;
}

// One tree in the tree-set layout (without its leading integer). Terminal
// records are padded to two bytes; the yes node is a two-byte number stored
// with a bias of 10, the no node a one-byte number.
inline std::string TreeBytes(const TreeSpec& t, bool swap = false) {
  std::vector<std::string> outputs, questions, values;
  std::string terminal_records;
  for (const auto& out : t.terminals)
    terminal_records += Unsigned(static_cast<uint32_t>(IndexIn(outputs, out)), 1, swap) + std::string(1, '\0');
  std::string s = std::to_string(t.terminals.size()) + "\n2\n1\n" + terminal_records;
  s += "S\n1\n" + Joined(outputs) + "\n";
  s += std::to_string(t.nodes.size()) + "\n";
  if (!t.nodes.empty()) {
    std::string records;
    for (const auto& n : t.nodes)
      records += Unsigned(static_cast<uint32_t>(IndexIn(questions, n.question)), 1, swap) +
                 Unsigned(static_cast<uint32_t>(IndexIn(values, n.value)), 1, swap) +
                 Unsigned(static_cast<uint32_t>(n.yes + 10), 2, swap) + Unsigned(static_cast<uint32_t>(n.no), 1, swap);
    s += "5\n4\n" + records;
    s += "S\n1\n" + Joined(questions) + "\nS\n1\n" + Joined(values) + "\nN\n2\n10\nN\n1\n0\n";
  }
  return s + t.letter + "\n";
}

inline std::string TreeSetBytes(const std::vector<TreeSpec>& trees, bool swap = false) {
  std::string s = Int32(static_cast<int32_t>(trees.size()), swap);
  for (size_t i = 0; i < trees.size(); ++i) s += Int32(static_cast<int32_t>(i), swap) + TreeBytes(trees[i], swap);
  return s;
}

// The compact CART text form of the same trees.
inline std::string CartText(const std::vector<TreeSpec>& trees, const std::string& eol = "\n") {
  std::string s = "# letter-to-sound trees" + eol + "Number_Trees: " + std::to_string(trees.size()) + eol;
  for (const auto& t : trees) {
    s += eol + "Letter: " + t.letter + " Terminals: " + std::to_string(t.terminals.size()) +
         " NonTerminals: " + std::to_string(t.nodes.size()) + eol;
    for (const auto& out : t.terminals) s += "T " + out + eol;
    for (const auto& n : t.nodes)
      s += "N " + n.question + " " + n.value + " " + std::to_string(n.yes) + " " + std::to_string(n.no) + eol;
  }
  return s;
}

inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes a database of the given objects with the library's writer.
inline void WriteDatabase(const std::string& path, const std::vector<std::pair<std::string, std::string>>& objects) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  ASSERT_TRUE(QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1));
  ASSERT_TRUE(QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, "0", -1));
  ASSERT_TRUE(QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, "1", -1));
  for (const auto& [name, data] : objects) {
    QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(data.data(), static_cast<uint32_t>(data.size()));
    ASSERT_TRUE(QLTP_tpobj_serialisequeue(db, image, name.c_str()));
  }
  ASSERT_EQ(QLTP_tpdb_write_serial(db, path.c_str()), 1);
  QLTP_tpdb_delete(db);
}

// A loaded database of the given objects, freed with the holder.
struct LoadedDb {
  tpdb* db = nullptr;
  explicit LoadedDb(const std::string& name, const std::vector<std::pair<std::string, std::string>>& objects) {
    std::string path = TempPath(name);
    WriteDatabase(path, objects);
    db = QLTP_tpdb_new(nullptr);
    QLTP_logger_set_store(db->log);
    EXPECT_EQ(QLTP_tpdb_load(db, path.c_str()), 1);
    std::remove(path.c_str());
  }
  ~LoadedDb() { QLTP_tpdb_delete(db); }
  LoadedDb(const LoadedDb&) = delete;
  LoadedDb& operator=(const LoadedDb&) = delete;
};

}  // namespace orvelle_test
