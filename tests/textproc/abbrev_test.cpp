#include "textproc/abbrev.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "rules_fixture.h"

using namespace orvelle_test;

namespace {

struct AbbdictDeleter {
  void operator()(abbdict* d) const { QLTP_abbdict_delete(d); }
};
using Abbdict = std::unique_ptr<abbdict, AbbdictDeleter>;

Abbdict FromText(const std::string& text, std::string* echo = nullptr) {
  testing::internal::CaptureStdout();
  Abbdict d(QLTP_deserialise_abbrev(text.c_str()));
  std::string out = testing::internal::GetCapturedStdout();
  if (echo) *echo = out;
  return d;
}

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// (abbreviation, flag, expansion) of every entry, in index order.
std::vector<std::string> Contents(const abbdict* d) {
  std::vector<std::string> v;
  for (int i = 0; i < QLTP_hashstrarray_sz(d->map); ++i) {
    const char* key = QLTP_hashstrarray_key(d->map, i);
    int flag = -1;
    const char* exp = QLTP_abbdict_lookup(d, key, -1, &flag);
    v.push_back(std::string(key) + "|" + std::to_string(flag) + "|" + (exp ? exp : "(null)"));
  }
  return v;
}

const std::string kFile =
    "# comment line\n"
    "\n"
    "Dr 1 doctor\n"
    "etc\t0\tet cetera  and so on\r\n"
    "approx 1x approximately\n"
    "onlyflag 1\n"
    "   \n"
    "St 0 <sub alias='x'/> street:noun\n"
    "Dr 0 drive\n";

}  // namespace

TEST(AbbrevTextTest, ReadsFieldsFlagsAndExpansionsLineByLine) {
  std::string echo;
  Abbdict d = FromText(kFile, &echo);
  ASSERT_TRUE(d);
  struct Case {
    const char* key;
    const char* expansion;  // NULL: absent
    int fullstop;
  };
  const Case cases[] = {
      {"Dr", "drive", 0},  // a later line with the same abbreviation answers
      {"etc", "et cetera  and so on\r", 0},
      {"approx", "approximately", 1},
      {"onlyflag", nullptr, -1},
      {"St", "<sub alias='x'/> street:noun", 0},
      {"#", nullptr, -1},
      {"missing", nullptr, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    int flag = -1;
    const char* exp = QLTP_abbdict_lookup(d.get(), c.key, -1, &flag);
    if (!c.expansion) {
      EXPECT_EQ(exp, nullptr);
      EXPECT_EQ(flag, -1);
      continue;
    }
    ASSERT_NE(exp, nullptr);
    EXPECT_STREQ(exp, c.expansion);
    EXPECT_EQ(flag, c.fullstop);
  }
  EXPECT_EQ(echo,
            "ABB 2 Dr doctor \nABB 3 etc et cetera  and so on\r \nABB 4 approx approximately \n"
            "ABB 7 St <sub alias='x'/> street:noun \nABB 8 Dr drive \n");

  // Expansions keep 253 bytes, never half a character.
  std::string long_exp = std::string(251, 'e') + "\xc3\xa9\xc3\xa9";
  EXPECT_EQ(QLTP_abbdict_add(d.get(), "long", -1, long_exp.c_str(), -1, 1), 1);
  EXPECT_EQ(std::string(QLTP_abbdict_lookup(d.get(), "long", -1, nullptr)), long_exp.substr(0, 253));
  long_exp = std::string(252, 'e') + "\xc3\xa9";
  EXPECT_EQ(QLTP_abbdict_add(d.get(), "long", -1, long_exp.c_str(), -1, 1), 1);
  EXPECT_EQ(std::string(QLTP_abbdict_lookup(d.get(), "long", -1, nullptr)), std::string(252, 'e'));
  EXPECT_EQ(QLTP_abbdict_add(nullptr, "x", -1, "y", -1, 0), 0);
  EXPECT_EQ(QLTP_abbdict_lookup(nullptr, "x", -1, nullptr), nullptr);

  testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_abbrev_readtxt("/nonexistent/abbrev.txt"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open file: /nonexistent/abbrev.txt\n");
}

TEST(AbbrevTextTest, CustomFilesReadWholeLinesUpToTheLimit) {
  ScratchDir dir;
  std::string path = dir.Path("custom_abbrev.txt");
  std::string long_line = "long 1 " + std::string(300, 'w') + "\n";
  WriteFile(path, "a 1 alpha\n" + long_line + "b 0 beta\n");
  FILE* f = std::fopen(path.c_str(), "rb");
  Abbdict all(QLTP_abbrev_loadcustom(f, -1));
  std::fclose(f);
  ASSERT_TRUE(all);
  EXPECT_EQ(Contents(all.get()), (std::vector<std::string>{"a|1|alpha\n", "long|1|" + std::string(253, 'w'),
                                                            "b|0|beta\n"}));
  f = std::fopen(path.c_str(), "rb");
  Abbdict first(QLTP_abbrev_loadcustom(f, 5));
  std::fclose(f);
  EXPECT_EQ(Contents(first.get()), std::vector<std::string>{"a|1|alpha\n"});
  std::remove(path.c_str());
}

TEST(AbbrevSerialTest, TextAndDatabaseRoundTripsKeepEveryEntry) {
  ScratchDir dir;
  Abbdict d = FromText(kFile);
  std::string path = dir.Path("abbrev_out.txt");
  ASSERT_EQ(QLTP_abbrev_writetxt(d.get(), path.c_str()), 1);
  EXPECT_EQ(QLTP_abbrev_writetxt(d.get(), "/nonexistent/dir/x.txt"), 0);
  std::string written = ReadFile(path);
  testing::internal::CaptureStdout();
  Abbdict back(QLTP_abbrev_readtxt(path.c_str()));
  testing::internal::GetCapturedStdout();
  ASSERT_TRUE(back);
  EXPECT_EQ(Contents(back.get()), Contents(d.get()));
  ASSERT_EQ(QLTP_abbrev_writetxt(back.get(), path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), written);
  std::remove(path.c_str());

  std::string bytes = Serial(d.get(), QLTP_tpobj_abbrev_write);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(QLTPPy_abbrev_write(d.get(), nullptr), static_cast<int32_t>(bytes.size()));
  LoadedDb db("abbrev.tpdb", {{"TPOBJ_ABBREV:DEFAULT", bytes}});
  auto* stored = static_cast<abbdict*>(db.Get("TPOBJ_ABBREV:DEFAULT"));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(Contents(stored), Contents(d.get()));
  EXPECT_EQ(Serial(stored, QLTP_tpobj_abbrev_write), bytes);
  std::string text_path = dir.Path("abbrev_db.txt");
  ASSERT_EQ(QLTP_tpdb_write_abbrev(db.db, text_path.c_str()), 1);
  EXPECT_EQ(ReadFile(text_path), written);
  std::remove(text_path.c_str());

  std::string swapped = Serial(d.get(), QLTP_tpobj_abbrev_write, 1);
  FILE* f = fmemopen(swapped.data(), swapped.size(), "rb");
  Abbdict other(QLTP_abbrev_load(f, 1));
  std::fclose(f);
  ASSERT_TRUE(other);
  EXPECT_EQ(Contents(other.get()), Contents(d.get()));
}

// The database answers from the last default dictionary, never the custom one.
TEST(AbbrevDatabaseTest, LookupAnswersFromTheLastDefaultDictionary) {
  Abbdict first = FromText("Dr 1 doctor\nSt 0 street\n");
  Abbdict last = FromText("Dr 0 drive\nMr 1 mister\n");
  Abbdict custom = FromText("Jr 1 junior\n");
  LoadedDb db("abbrev_lookup.tpdb", {{"TPOBJ_ABBREV:DEFAULT", Serial(first.get(), QLTP_tpobj_abbrev_write)},
                                     {"TPOBJ_ABBREV:DEFAULT", Serial(last.get(), QLTP_tpobj_abbrev_write)},
                                     {"TPOBJ_ABBREV:CUSTOM", Serial(custom.get(), QLTP_tpobj_abbrev_write)}});
  const struct {
    const char* key;
    int len;
    const char* expansion;  // nullptr: not found
    int fullstop;           // -1: left alone
  } cases[] = {
      {"Dr", -1, "drive", 0}, {"Mr", -1, "mister", 1}, {"Mrs", 2, "mister", 1},
      {"St", -1, nullptr, -1}, {"Jr", -1, nullptr, -1}, {"", -1, nullptr, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    int fullstop = -1;
    const char* e = QLTP_tpdb_lookup_abbrev(db.db, c.key, c.len, &fullstop);
    EXPECT_STREQ(e, c.expansion);
    EXPECT_EQ(fullstop, c.fullstop);
  }
  EXPECT_EQ(QLTP_tpdb_lookup_abbrev(db.db, nullptr, 0, nullptr), nullptr);
  EXPECT_STREQ(QLTP_tpdb_lookup_abbrev(db.db, "Dr", 2, nullptr), "drive");
}

TEST(AbbrevDatabaseTest, ReplacingKeepsTheOldDictionaryAliveAndAnswersWithTheNew) {
  ScratchDir dir;
  Abbdict d = FromText("x 1 old\n");
  LoadedDb db("abbrev_replace.tpdb", {{"TPOBJ_ABBREV:CUSTOM", Serial(d.get(), QLTP_tpobj_abbrev_write)}});
  auto* old = static_cast<abbdict*>(db.Get("TPOBJ_ABBREV:CUSTOM"));
  ASSERT_NE(old, nullptr);
  std::string path = dir.Path("replace_abbrev.txt");
  WriteFile(path, "x 0 new\n");
  EXPECT_EQ(QLTP_tpdb_replace_custom_abbreviations(db.db, path.c_str()), 1);
  auto* now = static_cast<abbdict*>(db.Get("TPOBJ_ABBREV:CUSTOM"));
  ASSERT_NE(now, old);
  EXPECT_STREQ(QLTP_abbdict_lookup(now, "x", -1, nullptr), "new\n");
  EXPECT_STREQ(QLTP_abbdict_lookup(old, "x", -1, nullptr), "old");  // a borrower's copy stays valid
  EXPECT_EQ(QLTP_tpdb_replace_abbreviations(db.db, path.c_str(), "my_list"), 1);
  EXPECT_NE(db.Get("TPOBJ_ABBREV:MY_LIST"), nullptr);
  EXPECT_EQ(QLTP_tpdb_replace_abbreviations(db.db, "/nonexistent/x", "y"), 0);
  std::remove(path.c_str());
}

TEST(AbbrevManagerTest, ChannelDictionariesKeepLookupOrderAndReplaceByName) {
  ScratchDir dir;
  std::string a = dir.Path("mgr_a.txt"), b = dir.Path("mgr_b.txt");
  WriteFile(a, "k 1 from-a\n");
  WriteFile(b, "k 0 from-b\n");
  abbmgr* m = QLTP_abbmgr_new();
  EXPECT_EQ(QLTP_abbmgr_sz(nullptr), -1);
  EXPECT_EQ(QLTP_abbmgr_add_channel_abbrev(m, a.c_str(), "first", -1), 1);
  EXPECT_EQ(QLTP_abbmgr_add_channel_abbrev(m, b.c_str(), "second", -1), 1);
  EXPECT_EQ(QLTP_abbmgr_add_channel_abbrev(m, "/nonexistent/x", "third", -1), 0);
  EXPECT_EQ(QLTP_abbmgr_add_channel_abbrev(m, nullptr, "third", -1), 0);
  ASSERT_EQ(QLTP_abbmgr_sz(m), 2);
  EXPECT_STREQ(QLTP_abbdict_lookup(QLTP_abbmgr_item_abbrev(m, 0), "k", -1, nullptr), "from-a\n");
  // Re-adding "second" at the front replaces it there.
  EXPECT_EQ(QLTP_abbmgr_add_channel_abbrev(m, b.c_str(), "second", 0), 1);
  ASSERT_EQ(QLTP_abbmgr_sz(m), 2);
  EXPECT_STREQ(QLTP_abbdict_lookup(QLTP_abbmgr_item_abbrev(m, 0), "k", -1, nullptr), "from-b\n");
  EXPECT_STREQ(QLTP_strarray_idx(m->names, 1), "first");
  EXPECT_EQ(QLTP_abbmgr_remove_channel_abbrev(m, "first"), 1);
  EXPECT_EQ(QLTP_abbmgr_remove_channel_abbrev(m, "first"), 0);
  EXPECT_EQ(QLTP_abbmgr_sz(m), 1);
  QLTP_abbmgr_delete(m);
  std::remove(a.c_str());
  std::remove(b.c_str());
}

TEST(AbbrevReaderTest, MutatedTextAndSerialFormsNeverCrash) {
  std::mt19937 rng(4242);
  Abbdict d = FromText(kFile);
  const std::string bytes = Serial(d.get(), QLTP_tpobj_abbrev_write);
  int accepted = 0;
  testing::internal::CaptureStdout();
  for (int round = 0; round < 3000; ++round) {
    std::string text = kFile;
    for (int e = 0; e < 4; ++e) text[rng() % text.size()] = static_cast<char>(1 + rng() % 255);
    Abbdict t(QLTP_deserialise_abbrev(text.c_str()));
    ASSERT_TRUE(t);
    // Whatever was read is stored and read back whole.
    std::string tb = Serial(t.get(), QLTP_tpobj_abbrev_write);
    FILE* tf = fmemopen(tb.data(), tb.size(), "rb");
    Abbdict tback(QLTP_abbrev_load(tf, 0));
    std::fclose(tf);
    ASSERT_TRUE(tback);
    EXPECT_EQ(Contents(tback.get()), Contents(t.get()));

    std::string m = bytes;
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !m.empty(); ++e) {
      if (rng() % 4 == 0)
        m.resize(rng() % m.size());
      else
        m[rng() % m.size()] = static_cast<char>(rng());
    }
    if (m.empty()) continue;
    FILE* f = fmemopen(m.data(), m.size(), "rb");
    Abbdict back(QLTP_abbrev_load(f, 0));
    std::fclose(f);
    if (!back) continue;
    ++accepted;
    for (int i = 0; i < QLTP_hashstrarray_sz(back->map); ++i)
      QLTP_abbdict_lookup(back.get(), QLTP_hashstrarray_key(back->map, i), -1, nullptr);
  }
  testing::internal::GetCapturedStdout();
  EXPECT_LT(accepted, 3000);
}
