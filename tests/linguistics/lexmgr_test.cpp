#include "linguistics/lexmgr.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/complkp.h"
#include "foundation/numarray.h"
#include "foundation/strarray.h"
#include "foundation/voidparray.h"
#include "foundation/tpdb.h"
#include "tests/complkp_encoder.h"
#include "tests/test_db.h"
#include "tests/scratch_dir.h"
#include "textproc/channel.h"

namespace {

using orvelle_test::KeyValues;

struct CursorDeleter {
  void operator()(complkp_lkp* c) const { QLTP_complkp_lkp_delete(c); }
};
using Cursor = std::unique_ptr<complkp_lkp, CursorDeleter>;

std::string TableBytes(const KeyValues& entries) {
  complkp* t = orvelle_test::EncodeTable(orvelle_test::TableOrder(entries, 2), 2);
  std::string bytes(static_cast<size_t>(QLTP_tpobj_complkp_write(t, nullptr, 0)), '\0');
  QLTP_tpobj_complkp_write(t, bytes.data(), 0);
  QLTP_complkp_delete(t);
  return bytes;
}

// Main (compressed) has three entries for "read", extra (plain) one more;
// the custom lexicon shadows "live".
const KeyValues kMain = {{"read", "r_iy1_d entry_full"},
                         {"read", "r_eh1_d entry_reduced"},
                         {"read", "r_iy0_d"},
                         {"live", "l_ih1_v"},
                         {"a", "ax0 entry_reduced"},
                         {"a", "ey1 entry_full"}};

std::string MainDatabase(const orvelle_test::ScratchDir& dir) {
  std::string path = dir.Path("lex.tpdb");
  orvelle_test::WriteDb(path, {{"TPOBJ_LEXMGR:DEFAULT", std::string("main:1 extra:0 gone:1") + '\0'},
                                     {"TPOBJ_LEXCOMP:MAIN", TableBytes(kMain)},
                                     {"TPOBJ_LEXCOMP:SYSTEM", TableBytes({{"b", "x"}, {"a", "y"}})},
                                     {"TPOBJ_LEXHASH:EXTRA", std::string("extra\nread r_ae1_d\n") + '\0'},
                                     {"TPOBJ_LEXHASH:CUSTOM", std::string("custom\nlive l_ay1_v\n") + '\0'}});
  return path;
}

std::vector<std::string> All(lexmgr* mgr, const char* word, const char* name, const char* type,
                             complkp_lkp* c) {
  std::vector<std::string> out;
  for (const char* e = QLTP_lexmgr_lookup(mgr, word, name, type, c, nullptr); e && out.size() < 8;
       e = QLTP_lexmgr_lookup(mgr, "", name, type, c, nullptr))
    out.emplace_back(e);
  return out;
}

std::string Names(const lexmgr* m) {
  char* joined = QLTP_strarray_join(m->names, " ");
  std::string out = joined ? joined : "";
  QLTP_free(joined);
  return out;
}

std::string WriteFile(const orvelle_test::ScratchDir& dir, const std::string& name, const std::string& bytes) {
  std::string path = dir.Path(name);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(LexmgrTest, DatabaseManagerBindsInPriorityOrder) {
  orvelle_test::ScratchDir dir;
  orvelle_test::LoadedDb d(MainDatabase(dir));
  lexmgr* mgr = QLTP_lexmgr_getlmgr(d.db);
  ASSERT_NE(mgr, nullptr);
  EXPECT_EQ("custom main extra gone", Names(mgr));
  EXPECT_EQ(nullptr, QLTP_voidparray_idx(mgr->lexicons, 3));  // no such object: answers nothing
  Cursor c(QLTP_lexmgr_getlkp(d.db));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(static_cast<uint32_t>(mgr->bufsz), c->bufsz);

  struct Case {
    const char* word;
    const char* name;
    const char* type;
    std::vector<std::string> entries;
  };
  const Case cases[] = {
      {"read", nullptr, nullptr, {"r_iy1_d entry_full", "r_eh1_d entry_reduced", "r_iy0_d", "r_ae1_d"}},
      {"live", nullptr, nullptr, {"l_ay1_v", "l_ih1_v"}},
      {"live", "main", nullptr, {"l_ih1_v"}},
      {"live", "nosuch", nullptr, {"l_ay1_v"}},  // an unknown name means the first lexicon
      {"read", "extra", nullptr, {"r_ae1_d"}},
      {"read", nullptr, "reduced", {"r_eh1_d entry_reduced", "r_iy0_d", "r_ae1_d"}},
      {"a", nullptr, "full", {"ey1 entry_full"}},
      {"a", nullptr, "ful", {}},
      {"absent", nullptr, nullptr, {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.word) + " " + (k.name ? k.name : "-") + " " + (k.type ? k.type : "-"));
    EXPECT_EQ(k.entries, All(mgr, k.word, k.name, k.type, c.get()));
  }
  int pronlen = -1;
  EXPECT_STREQ("r_iy1_d entry_full", QLTP_lexmgr_lookup(mgr, "read", nullptr, nullptr, c.get(), &pronlen));
  EXPECT_EQ(7, pronlen);
  EXPECT_EQ(nullptr, QLTP_lexmgr_lookup(mgr, "zzz", nullptr, nullptr, c.get(), &pronlen));
  EXPECT_EQ(0, pronlen);
  EXPECT_STREQ("l_ih1_v", QLTP_lexmgr_test(d.db, "live", "main", "", c.get()));

  // The first lexicon is the plain custom one, so there is no bucket length.
  EXPECT_EQ(0, QLTP_lexmgr_get_idxlen(d.db));
  EXPECT_EQ(1, QLTP_lexmgr_remove_lexicon(mgr, "custom"));
  EXPECT_EQ(2, QLTP_lexmgr_get_idxlen(d.db));

  // Written back as the database text, with its NUL.
  int32_t size = QLTP_TPOBJ_WRITE[QLTP_TPOBJ_LEXMGR](mgr, nullptr, 0);
  std::string text(static_cast<size_t>(size), '\x55');
  EXPECT_EQ(1, QLTP_TPOBJ_WRITE[QLTP_TPOBJ_LEXMGR](mgr, text.data(), 0));
  EXPECT_EQ(std::string("main:1 extra:0 gone:1") + '\0', text);

  int len = -1;
  EXPECT_STREQ("r_iy1_d entry_full", QLTP_lexmgr_longestword_lookup(mgr, "reading", c.get(), &len));
  EXPECT_EQ(4, len);

  // The system lexicon as text, one line per entry in table order.
  std::string path = dir.Path("system.txt");
  ASSERT_EQ(1, QLTP_tpdb_write_system_lexicon(d.db, path.c_str()));
  std::ifstream in(path);
  std::string lines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ("a\ty\nb\tx\n", lines);
  std::remove(path.c_str());
}

// Files added to a channel's copy and to the database: copies made before a
// replacement keep working, cursors grow to the largest table, and the
// replaced database object lives on until the database is freed.
// A compressed table is read from its own object's bytes: one cut into its
// data or header, or with bytes to spare, is refused even when the next
// object could lend the missing bytes; a table that lacks only the writer's
// zero padding after its data loads whole.
TEST(LexmgrTest, DamagedCompressedTablesAreRefused) {
  const std::string whole = TableBytes(kMain);
  struct Case {
    std::string name, bytes;
    bool loads;
  };
  const std::vector<Case> cases = {
      {"WHOLE", whole, true},
      {"UNPADDED", whole.substr(0, whole.size() - 8), true},
      {"CUT12", whole.substr(0, whole.size() - 12), false},
      {"CUT100", whole.substr(0, whole.size() - 100), false},
      {"HEADER", whole.substr(0, 40), false},
      {"TRAILING", whole + "z", false},
      {"GARBAGE", whole + std::string(40, 'z'), false},
  };
  orvelle_test::Objects objects;
  for (const Case& c : cases) {
    objects.push_back({"TPOBJ_LEXCOMP:" + c.name, c.bytes});
    objects.push_back({"TPOBJ_LEXHASH:AFTER" + c.name, whole + '\0'});
  }
  orvelle_test::LoadedDb d("damaged_lexcomp.tpdb", objects);
  EXPECT_TRUE(d.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_LEXCOMP"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    complkp* table = d.Get<complkp>("TPOBJ_LEXCOMP:" + c.name);
    ASSERT_EQ(table != nullptr, c.loads);
    if (!table) continue;
    Cursor cursor(QLTP_complkp_lkp_new(QLTP_complkp_bufsz(table)));
    std::vector<std::string> found;
    for (const auto& [key, value] : kMain) {
      cursor->position = -1;
      if (QLTP_complkp_lookup(table, key.c_str(), -1, cursor.get()) == 1) found.emplace_back(cursor->value);
    }
    EXPECT_EQ(found, (std::vector<std::string>{"r_iy1_d entry_full", "r_iy1_d entry_full", "r_iy1_d entry_full",
                                               "l_ih1_v", "ax0 entry_reduced", "ax0 entry_reduced"}));
  }
}

TEST(LexmgrTest, AddedFilesReplaceByNameAndKeepCopiesValid) {
  orvelle_test::ScratchDir dir;
  orvelle_test::LoadedDb d(MainDatabase(dir));
  channel* ch = QLTP_tpc_newtype(d.db, nullptr, 0, nullptr, QLTP_TPC_TK);
  ASSERT_NE(ch, nullptr);
  ASSERT_NE(ch->lexicon_manager, nullptr);
  lexmgr* copy = ch->lexicon_manager;
  EXPECT_EQ("custom main extra gone", Names(copy));
  Cursor old_cursor(QLTP_lexmgr_getlkp(d.db));

  const std::string long_value(300, 'k');
  std::string big = WriteFile(dir, "big.complkp", TableBytes({{"read", long_value}, {"zebra", "z_iy1_b_r_ax0"}}));
  std::string plain = WriteFile(dir, "plain.lex", "# words\nzebra z_eh1_b_r_ax0\nread r_ey1_d\n");
  struct Add {
    const char* path_name;
    int type;
    int want;
  };
  const std::string missing = dir.Path("missing.lex");
  const std::vector<std::pair<std::string, Add>> adds = {
      {big, {"big", QLTP_LEX_DETECT, 1}},        // more than two NULs in its head: compressed
      {plain, {"mine", QLTP_LEX_DETECT, 1}},     // text: plain
      {plain, {"bad", QLTP_LEX_COMPRESSED, 0}},  // not a table
      {missing, {"none", QLTP_LEX_PLAIN, 0}},
      {plain, {"odd", 7, 0}},
  };
  for (const auto& [path, a] : adds) {
    SCOPED_TRACE(a.path_name);
    EXPECT_EQ(a.want, QLTP_tpc_lexmgr_add_lexicon(ch, copy, path.c_str(), a.path_name, 0, a.type));
  }
  EXPECT_EQ("mine big custom main extra gone", Names(copy));
  EXPECT_EQ(QLTP_LEX_PLAIN | QLTP_LEX_OWNED, QLTP_intarray_idx(copy->types, 0));
  EXPECT_EQ(QLTP_LEX_COMPRESSED | QLTP_LEX_OWNED, QLTP_intarray_idx(copy->types, 1));
  EXPECT_GE(copy->bufsz, 300 + 2);
  // Adding under a taken name replaces that lexicon.
  EXPECT_EQ(1, QLTP_tpc_add_lexicon_type(ch, plain.c_str(), "big", -1, QLTP_LEX_PLAIN));
  EXPECT_EQ("mine custom main extra gone big", Names(copy));
  EXPECT_EQ(1, QLTP_tpc_add_lexicon_type(ch, big.c_str(), "big", 0, QLTP_LEX_COMPRESSED));

  // A cursor sized for the database's manager, used on the copy: it grows.
  EXPECT_EQ((std::vector<std::string>{long_value, "r_ey1_d", "r_iy1_d entry_full", "r_eh1_d entry_reduced", "r_iy0_d",
                                      "r_ae1_d"}),
            All(copy, "read", nullptr, nullptr, old_cursor.get()));

  // Replace "Main" in the database: the entry "main" goes whatever its case,
  // the old table stays alive for the channel's copy.
  void* old_main = QLTP_tpdb_get_tpdata(d.db, "TPOBJ_LEXCOMP:MAIN");
  EXPECT_EQ(1, QLTP_tpdb_add_lexicon(d.db, plain.c_str(), "Main", 1));
  lexmgr* mgr = QLTP_lexmgr_getlmgr(d.db);
  EXPECT_EQ("custom Main extra gone", Names(mgr));
  EXPECT_EQ(nullptr, QLTP_tpdb_get_tpdata(d.db, "TPOBJ_LEXCOMP:MAIN"));
  EXPECT_NE(nullptr, QLTP_tpdb_get_tpdata(d.db, "TPOBJ_LEXHASH:MAIN"));
  EXPECT_EQ(old_main, QLTP_voidparray_idx(copy->lexicons, 3));
  EXPECT_EQ((std::vector<std::string>{"r_iy1_d entry_full", "r_iy0_d"}),
            All(copy, "read", "main", "full", old_cursor.get()));
  EXPECT_EQ(std::vector<std::string>{"r_ey1_d"}, All(mgr, "read", "Main", nullptr, old_cursor.get()));

  EXPECT_EQ(1, QLTP_tpdb_replace_custom_lexicon(d.db, plain.c_str()));
  EXPECT_EQ("custom Main extra gone", Names(mgr));
  EXPECT_STREQ("z_eh1_b_r_ax0", QLTP_lexmgr_lookup(mgr, "zebra", "custom", nullptr, nullptr, nullptr));

  QLTP_tpc_delete(ch);
  for (const std::string& p : {big, plain}) std::remove(p.c_str());
}

}  // namespace
