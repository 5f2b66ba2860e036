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
#include "linguistics/ccart.h"
#include "test_db.h"

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
  std::string s = "Number_Trees: " + std::to_string(trees.size()) + eol + "# letter-to-sound trees" + eol;
  for (const auto& t : trees) {
    s += eol + "Letter: " + t.letter + " Terminals: " + std::to_string(t.terminals.size()) +
         " NonTerminals: " + std::to_string(t.nodes.size()) + eol;
    for (const auto& out : t.terminals) s += "T " + out + eol;
    for (const auto& n : t.nodes)
      s += "N " + n.question + " " + n.value + " " + std::to_string(n.yes) + " " + std::to_string(n.no) + eol;
  }
  return s;
}

// The binary form of a compact CART, as its writer gives it.
inline std::string CartBytes(const ccart* c, int swap = 0) {
  std::string bytes(static_cast<size_t>(QLTP_ccart_write_sz(c)), '\0');
  char* end = QLTP_ccart_write(c, bytes.data(), swap);
  EXPECT_EQ(end, bytes.data() + bytes.size());
  return bytes;
}

}  // namespace orvelle_test
