#include "foundation/complkp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/dict.h"
#include "foundation/serial.h"
#include "tests/complkp_encoder.h"
#include "tests/scratch_dir.h"

namespace {

using orvelle_test::KeyValues;

struct TableDeleter {
  void operator()(complkp* t) const { QLTP_complkp_delete(t); }
};
struct CursorDeleter {
  void operator()(complkp_lkp* c) const { QLTP_complkp_lkp_delete(c); }
};
using Table = std::unique_ptr<complkp, TableDeleter>;
using Cursor = std::unique_ptr<complkp_lkp, CursorDeleter>;

// Keys a, b, c with pair 3 = "ab"; values NUL, x, y with pair 3 = "x" NUL;
// both trees code symbols 0-3 as 00, 01, 10, 11. Buckets "a" and "b".
// Entries: a->y, ab->x, ab->yx, ac->x, b->xy, bc->y.
const std::vector<unsigned char> kSmallData = {0x02, 0x01, 0x20, 0x02, 0x02, 0xf0, 0x02, 0x02, 0x1b,
                                               0x02, 0x02, 0x2c, 0x02, 0x01, 0x58, 0x02, 0x02, 0x68};

Table SmallTable(std::vector<unsigned char> data = kSmallData) {
  Table t(QLTP_complkp_new());
  EXPECT_EQ(1, QLTP_complkp_init(t.get(), data.data(), static_cast<int32_t>(data.size()), 3, 3, 7, 7, 2, 2, 2, 1));
  const char keys[] = "abc";
  const char values[] = {'\0', 'x', 'y'};
  for (int s = 0; s < 3; ++s) {
    QLTP_complkp_setbpdeck(t.get(), s, keys[s], 0);
    QLTP_complkp_setbpdecv(t.get(), s, values[s], 0);
  }
  QLTP_complkp_setbpdeck(t.get(), 3, 0, 1);
  QLTP_complkp_setbpdecv(t.get(), 3, 1, 0);
  const complkp_node tree[7] = {{1, 2, 0}, {3, 4, 0}, {5, 6, 0}, {0, 0, 0}, {0, 0, 1}, {0, 0, 2}, {0, 0, 3}};
  for (int n = 0; n < 7; ++n) {
    QLTP_complkp_sethdeck(t.get(), n, tree[n].child0, tree[n].child1, tree[n].leaf);
    QLTP_complkp_sethdecv(t.get(), n, tree[n].child0, tree[n].child1, tree[n].leaf);
  }
  QLTP_complkp_setidx(t.get(), "a", 1, 0);
  QLTP_complkp_setidx(t.get(), "b", 1, 12);
  return t;
}

std::string Serialise(const complkp* t) {
  int32_t size = QLTP_tpobj_complkp_write(t, nullptr, 0);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\x55');
  if (size > 0) {
    EXPECT_EQ(1, QLTP_tpobj_complkp_write(t, out.data(), 0));
  }
  return out;
}

Table Deserialise(const std::string& bytes, int swap = 0) {
  FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
  Table t(QLTP_complkp_read_check(f, swap, static_cast<int64_t>(bytes.size())));
  std::fclose(f);
  return t;
}

// Every value of a search for `key`: a new search and continued calls.
std::vector<std::string> AllValues(const complkp* t, const std::string& key, complkp_lkp* c) {
  std::vector<std::string> out;
  c->position = -1;
  while (QLTP_complkp_lookup(t, key.c_str(), static_cast<int>(key.size()), c) == 1) {
    EXPECT_EQ(key, c->key);
    out.emplace_back(c->value);
  }
  return out;
}

// A walk stops at the end of the data, or at a damaged entry.
KeyValues Walk(const complkp* t, bool to_the_end = true) {
  KeyValues out;
  Cursor c(QLTP_complkp_lkp_new(QLTP_complkp_bufsz(t)));
  c->position = -1;
  while (QLTP_complkp_lookup(t, nullptr, -1, c.get()) == 1) out.emplace_back(c->key, c->value);
  if (to_the_end) {
    EXPECT_EQ(-1, c->position);
  }
  return out;
}

void ExpectSmallAnswers(const complkp* t) {
  Cursor c(QLTP_complkp_lkp_new(1));  // grown by the first lookup
  const std::map<std::string, std::vector<std::string>> cases = {
      {"a", {"y"}}, {"ab", {"x", "yx"}}, {"ac", {"x"}}, {"b", {"xy"}}, {"bc", {"y"}},
      {"aa", {}},   {"ad", {}},          {"c", {}},    {"abc", {}}, {"bb", {}}};
  for (const auto& [key, values] : cases) {
    SCOPED_TRACE(key);
    EXPECT_EQ(values, AllValues(t, key, c.get()));
  }
  const KeyValues all = {{"a", "y"}, {"ab", "x"}, {"ab", "yx"}, {"ac", "x"}, {"b", "xy"}, {"bc", "y"}};
  EXPECT_EQ(all, Walk(t));
}

TEST(ComplkpTest, SmallTableAnswersSearchesAndWalksAndSurvivesRoundTrip) {
  Table t = SmallTable();
  ExpectSmallAnswers(t.get());

  // Decoding one entry leaves the cursor's value just after the key's NUL,
  // and at the buffer's start when the key does not match.
  const KeyValues all = Walk(t.get());
  Cursor c(QLTP_complkp_lkp_new(QLTP_complkp_bufsz(t.get())));
  for (size_t i = 0, pos = 0; pos < kSmallData.size(); ++i, pos += 1 + kSmallData[pos]) {
    SCOPED_TRACE(pos);
    const unsigned char* entry = t->data + pos;
    ASSERT_EQ(1, QLTP_complkp_decode(t.get(), entry, nullptr, -1, c->buffer, c.get()));
    EXPECT_EQ(c->buffer + all[i].first.size() + 1, c->value);
    EXPECT_EQ(all[i].second, c->value);
    const std::string& key = all[i].first;
    ASSERT_EQ(1, QLTP_complkp_decode(t.get(), entry, key.c_str(), -1, c->buffer, c.get()));
    EXPECT_EQ(all[i].second, c->value);
    EXPECT_EQ(0, QLTP_complkp_decode(t.get(), entry, "zzz", -1, c->buffer, c.get()));
    EXPECT_EQ(c->buffer, c->value);
  }

  std::string bytes = Serialise(t.get());
  // Header, one-byte keys in a compact dictionary, 2 offsets, 4 tables, 14
  // nodes, 18 data bytes and the zero tail.
  EXPECT_EQ(static_cast<size_t>(36 + QLTP_dict_write_sz(t->prefixes) + 8 + 1032 + 12 * 14 + 18), bytes.size());
  EXPECT_EQ(std::string(8, '\0'), bytes.substr(bytes.size() - 8));
  Table back = Deserialise(bytes);
  ASSERT_NE(nullptr, back);
  ExpectSmallAnswers(back.get());
  EXPECT_EQ(bytes, Serialise(back.get()));

  // The other byte order reads back to the same table.
  std::string swapped(bytes.size(), '\0');
  ASSERT_EQ(1, QLTP_tpobj_complkp_write(t.get(), swapped.data(), 1));
  Table from_swapped = Deserialise(swapped, 1);
  ASSERT_NE(nullptr, from_swapped);
  EXPECT_EQ(bytes, Serialise(from_swapped.get()));

  QLTP_fixedbuf* buf = QLTP_fixedbuf_new(static_cast<uint32_t>(bytes.size()));
  EXPECT_EQ(static_cast<int32_t>(bytes.size()), QLTPPy_complkp_write(t.get(), nullptr));
  EXPECT_EQ(0, QLTPPy_complkp_write(t.get(), buf));
  EXPECT_EQ(bytes, std::string(buf->data, buf->size));
  QLTP_fixedbuf_delete(buf);
}

// Hashed bucket keys (256 + 16 bits): no query hash is known, so keyed
// searches miss, while walks and the file form work as in plain mode.
TEST(ComplkpTest, HashedTablesWalkAndRoundTripButDoNotSearch) {
  // Without the copy flag the table takes the data over.
  auto* data = static_cast<unsigned char*>(QLTP_malloc(kSmallData.size()));
  std::memcpy(data, kSmallData.data(), kSmallData.size());
  Table t(QLTP_complkp_new());
  ASSERT_EQ(1, QLTP_complkp_init(t.get(), data, 18, 3, 3, 7, 7, 2, 2, 2, 0));
  EXPECT_EQ(data, t->data);
  Table plain = SmallTable();
  std::memcpy(t->key_left, plain->key_left, 256);
  std::memcpy(t->key_right, plain->key_right, 256);
  std::memcpy(t->value_left, plain->value_left, 256);
  std::memcpy(t->value_right, plain->value_right, 256);
  std::memcpy(t->key_tree, plain->key_tree, 7 * sizeof(complkp_node));
  std::memcpy(t->value_tree, plain->value_tree, 7 * sizeof(complkp_node));
  EXPECT_EQ(1, QLTP_complkp_setidx(t.get(), "\x12\x34\x56", 256 + 16, 0));
  EXPECT_EQ(1, QLTP_complkp_setidx(t.get(), "\x9a\xbc", 256 + 16, 12));
  EXPECT_EQ(0, QLTP_complkp_setidx(t.get(), "\x01\x02", 256 + 16, 15));  // only two buckets
  EXPECT_EQ(256 + 16, t->flags);
  EXPECT_EQ(2, QLTP_dict_lookup_word(t->prefixes, "\x9a\xbc", 2));
  Table back = Deserialise(Serialise(t.get()));
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(Serialise(t.get()), Serialise(back.get()));
  EXPECT_EQ(6u, Walk(back.get()).size());
  Cursor c(QLTP_complkp_lkp_new(6));
  EXPECT_TRUE(AllValues(back.get(), "ab", c.get()).empty());
}

TEST(ComplkpTest, DamagedTablesAreRefusedOrMiss) {
  std::string good = Serialise(SmallTable().get());
  const size_t dict_end = 36 + QLTP_dict_write_sz(SmallTable()->prefixes);
  const size_t nodes = dict_end + 8 + 1024;
  auto put = [](std::string s, size_t at, int32_t v) {
    std::memcpy(s.data() + at, &v, 4);
    return s;
  };
  struct Refused {
    const char* name;
    std::string bytes;
  };
  const std::vector<Refused> refused = {
      {"cut short", good.substr(0, good.size() - 8 - 5)},
      {"header only", good.substr(0, 30)},
      {"offset past D", put(good, dict_end + 4, 19)},
      {"offsets decrease", put(good, dict_end, 13)},
      {"key child 9", put(good, nodes + 4, 9)},
      {"value child 9", put(good, nodes + 12 * 7 + 4, 9)},
      {"TK 256", put(good, 4, 256)},
      {"NK 65537", put(good, 12, 65537)},
      {"data without a value tree", put(good, 16, 0)},
      {"D beyond the object", put(good, 0, 1 << 30)},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(nullptr, Deserialise(r.bytes));
  }

  // Damage the decoder meets only while searching: each search misses and
  // the walk stops short, never reading past the data.
  struct Missing {
    const char* name;
    std::vector<unsigned char> data;
    const char* key;
    std::vector<std::string> values;
    size_t walked;  // entries a walk gives before it stops
  };
  std::vector<unsigned char> long_entry = kSmallData, long_last = kSmallData, cut_bits = kSmallData;
  long_entry[3] = 0x40;   // "ab"->x claims 64 more bytes
  long_last[15] = 0x09;   // the last entry passes D
  cut_bits[8] = 0x1a;     // "ab"->yx: the value bits end before its NUL
  std::vector<unsigned char> overshoot = kSmallData;
  overshoot[2] = 0xe0;    // "a" coded with the two-character symbol "ab"
  const std::vector<Missing> missing = {{"L past D", long_entry, "ab", {}, 1},
                                        {"last L past D", long_last, "bc", {}, 5},
                                        {"bits end", cut_bits, "ab", {"x"}, 2},
                                        {"key symbol overshoots K", overshoot, "a", {}, 0}};
  for (const Missing& m : missing) {
    SCOPED_TRACE(m.name);
    Table t = SmallTable(m.data);
    Cursor c(QLTP_complkp_lkp_new(6));
    EXPECT_EQ(m.values, AllValues(t.get(), m.key, c.get()));
    EXPECT_EQ(m.walked, Walk(t.get(), false).size());
  }

  // Pairs made of themselves: "ab"->x codes its key, "ab"->yx its value
  // with symbol 3; those entries are passed over, the others still answer.
  Table key_cycle = SmallTable();
  QLTP_complkp_setbpdeck(key_cycle.get(), 3, 3, 1);
  Table value_cycle = SmallTable();
  QLTP_complkp_setbpdecv(value_cycle.get(), 3, 1, 3);
  Cursor c(QLTP_complkp_lkp_new(6));
  EXPECT_EQ(std::vector<std::string>{"yx"}, AllValues(key_cycle.get(), "ab", c.get()));
  EXPECT_EQ(std::vector<std::string>{}, AllValues(value_cycle.get(), "ab", c.get()));
  EXPECT_EQ(std::vector<std::string>{"xy"}, AllValues(key_cycle.get(), "b", c.get()));
  EXPECT_EQ(std::vector<std::string>{"xy"}, AllValues(value_cycle.get(), "b", c.get()));
}

TEST(ComplkpTest, NodeCountLimitIsInclusive) {
  Table t(QLTP_complkp_new());
  unsigned char none = 0;
  ASSERT_EQ(1, QLTP_complkp_init(t.get(), &none, 0, 1, 1, 65536, 1, 1, 1, 0, 1));
  EXPECT_EQ(0, QLTP_complkp_sethdeck(t.get(), 65536, 0, 0, 0));
  EXPECT_EQ(1, QLTP_complkp_sethdeck(t.get(), 65535, 0, 0, 0));
  std::string bytes = Serialise(t.get());
  Table back = Deserialise(bytes);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(65536, back->key_nodes);
  EXPECT_TRUE(Walk(back.get()).empty());
  Table empty(QLTP_complkp_new());
  EXPECT_EQ(0, QLTP_complkp_init(empty.get(), &none, 0, 1, 1, 65537, 1, 1, 1, 0, 1));
}

// Every CMU headword, with its variants in order, through a table coded with
// a bucket prefix of 3; written as text and read back, the table is the
// dictionary again.
TEST(ComplkpTest, CmuDictionaryRoundTrips) {
  KeyValues entries = orvelle_test::CmuEntries();
  ASSERT_EQ(134723u, entries.size()) << orvelle_test::kCmuDict;
  KeyValues sorted = orvelle_test::TableOrder(entries, 3);
  Table t(orvelle_test::EncodeTable(sorted, 3));
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(3, t->flags);

  std::map<std::string, std::vector<std::string>> expected;
  for (const auto& [k, v] : entries) expected[k].push_back(v);
  Cursor c(QLTP_complkp_lkp_new(QLTP_complkp_bufsz(t.get())));
  size_t found = 0;
  for (const auto& [word, values] : expected) {
    std::vector<std::string> got = AllValues(t.get(), word, c.get());
    if (got != values) ADD_FAILURE() << word;
    found += got.size();
    // A neighbour of every word that is not in the dictionary misses.
    std::string other = word + "\x01";
    if (QLTP_complkp_lookup(t.get(), other.c_str(), -1, c.get()) != 0) ADD_FAILURE() << other;
    c->position = -1;
  }
  EXPECT_EQ(entries.size(), found);
  EXPECT_EQ(sorted, Walk(t.get()));

  std::string bytes = Serialise(t.get());
  Table back = Deserialise(bytes);
  ASSERT_NE(nullptr, back);
  EXPECT_EQ(bytes, Serialise(back.get()));

  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("cmu.txt");
  ASSERT_EQ(1, QLTP_complkp_writetxt(back.get(), path.c_str()));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string want;
  for (const auto& [k, v] : sorted) want += k + "\t" + v + "\n";
  EXPECT_EQ(want, text.str());
  std::remove(path.c_str());
  EXPECT_EQ(0, QLTP_complkp_writetxt(back.get(), "/nonexistent/dir/x.txt"));

  path = dir.Path("cmu.complkp");
  std::ofstream(path, std::ios::binary) << bytes;
  Table loaded(QLTPPy_complkp_load(path.c_str()));
  std::remove(path.c_str());
  ASSERT_NE(nullptr, loaded);
  EXPECT_EQ(bytes, Serialise(loaded.get()));
}

// Mutated images of a real table: every image is refused or gives a table
// that searches and walks without faults (the sanitiser build checks).
TEST(ComplkpTest, RandomDamageNeverFaults) {
  KeyValues entries = orvelle_test::CmuEntries();
  ASSERT_FALSE(entries.empty()) << orvelle_test::kCmuDict;
  entries.resize(300);
  Table t(orvelle_test::EncodeTable(orvelle_test::TableOrder(entries, 2), 2));
  const std::string good = Serialise(t.get());
  std::mt19937 rng(1632);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = good;
    int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      size_t at = rng() % bytes.size();
      switch (rng() % 3) {
        case 0: bytes[at] = static_cast<char>(rng()); break;
        case 1: bytes[at] ^= static_cast<char>(1u << (rng() % 8)); break;
        default: bytes.resize(at); break;
      }
      if (bytes.empty()) break;
    }
    if (bytes.empty()) continue;
    Table back = Deserialise(bytes);
    if (!back) continue;
    ++accepted;
    Walk(back.get(), false);
    Cursor c(QLTP_complkp_lkp_new(4));
    for (int i = 0; i < 5; ++i) AllValues(back.get(), entries[rng() % entries.size()].first, c.get());
  }
  EXPECT_GT(accepted, 100);
}

}  // namespace
