#include "linguistics/ltsmgr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/strarray.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"
#include "linguistics/ccart.h"
#include "linguistics/pipeline.h"
#include "lts_data.h"

namespace {

using orvelle_test::TreeSpec;

const std::vector<TreeSpec> kOtherTrees = {{"a", {"ah0"}, {}}, {"b", {"b"}, {}}, {"t", {"d"}, {}}};

std::string Bytes(const std::vector<TreeSpec>& trees) {
  ccart* c = QLTP_deserialise_ccart(orvelle_test::CartText(trees).c_str());
  EXPECT_NE(c, nullptr);
  std::string bytes = orvelle_test::CartBytes(c);
  QLTP_ccart_delete(c);
  return bytes;
}

// A database with models "MAIN" and "EXTRA" and a manager naming them, a
// type without a model and an entry whose object is missing.
struct Fixture : orvelle_test::LoadedDb {
  explicit Fixture(const std::string& text = "Main:1 extra:1 rules:0 missing:1")
      : LoadedDb("ltsmgr.tpdb", {{"TPOBJ_CCART:MAIN", Bytes(orvelle_test::SmallTrees())},
                                 {"TPOBJ_CCART:EXTRA", Bytes(kOtherTrees)},
                                 {"TPOBJ_LTSMGR:DEFAULT", text}}) {}
  ltsmgr* Manager() const { return static_cast<ltsmgr*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_LTSMGR:DEFAULT")); }
};

std::string Lookup(ltsmgr* mgr, const char* word, const char* model) {
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  std::string r = QLTP_ltsmgr_lookup(mgr, word, model, nullptr, padded, out, nullptr, nullptr, "");
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  return r;
}

std::vector<std::string> Names(const ltsmgr* mgr) {
  std::vector<std::string> names;
  for (int i = 0; i < QLTP_voidparray_sz(mgr->entries); ++i)
    names.emplace_back(static_cast<ltsmgr_entry*>(QLTP_voidparray_idx(mgr->entries, i))->name);
  return names;
}

TEST(LtsMgrTest, LookupRunsTheNamedModelOrTheFirst) {
  Fixture f;
  ltsmgr* mgr = f.Manager();
  ASSERT_NE(mgr, nullptr);
  EXPECT_EQ(Names(mgr), (std::vector<std::string>{"Main", "extra", "rules", "missing"}));
  struct Case {
    const char* model;
    const char* word;
    const char* phones;
  };
  const Case cases[] = {
      {nullptr, "tat", "t ey0 t"}, {"Main", "tat", "t ey0 t"}, {"extra", "tat", "d ah0 d"},
      {"nobody", "ab", "ae1 b"},   {"main", "ab", "ae1 b"},    {"rules", "tat", ""},
      {"missing", "tat", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Lookup(mgr, c.word, c.model), c.phones) << (c.model ? c.model : "none");
  ltsmgr* empty = QLTP_ltsmgr_new();
  EXPECT_EQ(Lookup(empty, "tat", nullptr), "");
  QLTP_ltsmgr_delete(empty);
}

TEST(LtsMgrTest, CopiesShareEntriesUntilTheLastRelease) {
  Fixture f;
  ltsmgr* mgr = f.Manager();
  auto* first = static_cast<ltsmgr_entry*>(QLTP_voidparray_idx(mgr->entries, 0));
  EXPECT_EQ(first->refs, 1);
  ltsmgr* a = QLTP_ltsmgr_clone(mgr);
  ltsmgr* b = QLTP_linguistics_maintenance().clone_ltsmgr(f.db);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(first->refs, 3);
  EXPECT_EQ(a->text, nullptr);
  EXPECT_EQ(Lookup(b, "tat", "extra"), "d ah0 d");
  QLTP_ltsmgr_delete(a);
  EXPECT_EQ(first->refs, 2);
  QLTP_linguistics_maintenance().delete_ltsmgr(b);
  EXPECT_EQ(first->refs, 1);
  EXPECT_EQ(QLTP_ltsmgr_clone(nullptr), nullptr);
  EXPECT_EQ(QLTP_ltsmgr_entry_delete(nullptr), -1);
  // The database's own release frees the entries (checked under ASan).
}

TEST(LtsMgrTest, EntriesAreInsertedAtTheirPositionAndRemovedByTheLowerCasedName) {
  ltsmgr* mgr = QLTP_ltsmgr_new();
  EXPECT_EQ(QLTP_ltsmgr_add_ltsentry(mgr, nullptr, "One", -1), 1);
  EXPECT_EQ(QLTP_ltsmgr_add_ltsentry(mgr, nullptr, "TWO", 0), 1);
  EXPECT_EQ(QLTP_ltsmgr_add_ltsentry(mgr, nullptr, "three", 7), 1);
  EXPECT_EQ(QLTP_ltsmgr_add_ltsentry(mgr, nullptr, std::string(80, 'X').c_str(), 1), 1);
  EXPECT_EQ(Names(mgr), (std::vector<std::string>{"two", std::string(64, 'x'), "one", "three"}));
  ltsmgr* copy = QLTP_ltsmgr_clone(mgr);
  EXPECT_EQ(QLTP_ltsmgr_remove_ltsentry(mgr, "ONE"), 1);
  EXPECT_EQ(QLTP_ltsmgr_remove_ltsentry(mgr, "one"), 0);
  EXPECT_EQ(Names(mgr), (std::vector<std::string>{"two", std::string(64, 'x'), "three"}));
  EXPECT_EQ(Names(copy).size(), 4u);  // the copy still holds "one"
  QLTP_ltsmgr_delete(mgr);
  QLTP_ltsmgr_delete(copy);

  // Names from database text keep their case; removal compares exactly with
  // the lower-cased name.
  Fixture f;
  EXPECT_EQ(QLTP_ltsmgr_remove_ltsentry(f.Manager(), "Main"), 0);
  EXPECT_EQ(QLTP_ltsmgr_remove_ltsentry(f.Manager(), "EXTRA"), 1);
  EXPECT_EQ(Names(f.Manager()), (std::vector<std::string>{"Main", "rules", "missing"}));

  // A new entry is held once: its first release frees it.
  ltsmgr_entry* e = QLTP_ltsmgr_entry_new();
  EXPECT_EQ(e->refs, 1);
  EXPECT_EQ(QLTP_ltsmgr_entry_delete(QLTP_ltsmgr_entry_clone(e)), 1);
  EXPECT_EQ(QLTP_ltsmgr_entry_delete(e), 0);
  EXPECT_EQ(QLTP_ltsmgr_entry_delete(nullptr), -1);
}

TEST(LtsMgrTest, AddsModelFilesByTypeAndDetectsTheForm) {
  const std::string text = orvelle_test::CartText(kOtherTrees);
  const std::string binary = Bytes(kOtherTrees);
  struct Case {
    const char* what;
    std::string bytes;
    int type;
    int added;
    const char* warning;
  };
  const Case cases[] = {
      {"text detected", text, 3, 1, ""},
      {"binary detected", binary, 3, 1, ""},
      {"text as given", text, 2, 1, ""},
      {"binary as given", binary, 1, 1, ""},
      {"text read as binary", text, 1, 0, ""},
      {"short file", "Number_Trees", 3, 0, "Warning: unknown lexicon type 0, ignored.\n"},
      {"unknown type", text, 5, 0, "Warning: unknown lexicon type 5, ignored.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("model.cart");
    orvelle_test::WriteFile(path, c.bytes);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int added = QLTP_tpdb_add_lts_type(f.db, path.c_str(), "Added", 0, c.type);
    const std::string warning = testing::internal::GetCapturedStderr();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(added, c.added);
    EXPECT_EQ(warning, c.warning);
    std::remove(path.c_str());
    if (!c.added) continue;
    EXPECT_EQ(Names(f.Manager()).front(), "added");
    EXPECT_NE(QLTP_tpdb_get_tpdata(f.db, "TPOBJ_CCART:ADDED"), nullptr);
    EXPECT_EQ(Lookup(f.Manager(), "tat", nullptr), "d ah0 d");
  }
  Fixture f;
  testing::internal::CaptureStderr();
  EXPECT_EQ(QLTP_tpdb_add_lts(f.db, "/nonexistent/model.cart", "x", -1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  orvelle_test::ScratchDir dir;
  const std::string path = dir.Path("bare.cart");
  orvelle_test::WriteFile(path, text);
  orvelle_test::LoadedDb bare("bare.tpdb", {});
  EXPECT_EQ(QLTP_tpdb_add_lts(bare.db, path.c_str(), "x", -1), 0);  // no default manager
  std::remove(path.c_str());
}

// A replacement that fails leaves the name with its old model, in the
// database and in the manager.
TEST(LtsMgrTest, FailedReplacementKeepsTheOldModel) {
  const std::string binary = Bytes(kOtherTrees);
  const std::string text = orvelle_test::CartText(kOtherTrees);
  struct Case {
    const char* what;
    std::string bytes;
    int type;
  };
  const Case cases[] = {
      {"text read as binary", text, 1},
      {"cut binary", binary.substr(0, binary.size() / 2), 1},
      {"binary read as text", binary, 2},
      {"cut text", text.substr(0, text.size() / 2), 2},
      {"empty", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    void* old_model = QLTP_tpdb_get_tpdata(f.db, "TPOBJ_CCART:MAIN");
    const std::vector<std::string> names = Names(f.Manager());
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("bad.cart");
    orvelle_test::WriteFile(path, c.bytes);
    testing::internal::CaptureStdout();
    EXPECT_EQ(QLTP_ltsmgr_add_lts(f.db, f.Manager(), path.c_str(), "Main", -1, c.type), 0);
    testing::internal::GetCapturedStdout();
    std::remove(path.c_str());
    EXPECT_EQ(QLTP_tpdb_get_tpdata(f.db, "TPOBJ_CCART:MAIN"), old_model);
    EXPECT_EQ(Names(f.Manager()), names);
    EXPECT_EQ(Lookup(f.Manager(), "tat", "main"), "t ey0 t");
  }
}

TEST(LtsMgrTest, ReplacingAModelKeepsChannelCopiesWorking) {
  Fixture f;
  ltsmgr* channel_copy = QLTP_ltsmgr_clone(f.Manager());
  void* old_model = QLTP_tpdb_get_tpdata(f.db, "TPOBJ_CCART:MAIN");
  orvelle_test::ScratchDir dir;
  const std::string path = dir.Path("main.cart");
  orvelle_test::WriteFile(path, Bytes(kOtherTrees));
  ASSERT_EQ(QLTP_tpdb_add_lts(f.db, path.c_str(), "MAIN", -1), 1);
  std::remove(path.c_str());
  void* new_model = QLTP_tpdb_get_tpdata(f.db, "TPOBJ_CCART:MAIN");
  EXPECT_NE(new_model, old_model);
  // The old model left the database's lists: the name holds one object.
  int held = 0;
  for (int i = 0; i < QLTP_strarray_sz(f.db->names); ++i)
    if (std::string(QLTP_strarray_idx(f.db->names, i)) == "TPOBJ_CCART:MAIN") {
      ++held;
      EXPECT_EQ(QLTP_voidparray_idx(f.db->objects, i), new_model);
    }
  EXPECT_EQ(held, 1);
  // The entry "Main" that held the old model is gone, whatever its case.
  EXPECT_EQ(Names(f.Manager()), (std::vector<std::string>{"extra", "rules", "missing", "main"}));
  EXPECT_EQ(Lookup(f.Manager(), "tat", "main"), "d ah0 d");
  // The copy still runs the retired model.
  EXPECT_EQ(Lookup(channel_copy, "tat", "Main"), "t ey0 t");
  QLTP_ltsmgr_delete(channel_copy);

  // The replaced entry goes first, then the new one is inserted before the
  // position among those left.
  const struct {
    const char* name;
    int position;
    std::vector<std::string> names;
  } cases[] = {
      {"main", -1, {"extra", "rules", "main"}}, {"main", 0, {"main", "extra", "rules"}},
      {"main", 1, {"extra", "main", "rules"}},  {"main", 2, {"extra", "rules", "main"}},
      {"main", 7, {"extra", "rules", "main"}},  {"extra", 0, {"extra", "main", "rules"}},
      {"extra", 1, {"main", "extra", "rules"}}, {"extra", 2, {"main", "rules", "extra"}},
  };
  orvelle_test::WriteFile(path, Bytes(kOtherTrees));
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.position));
    Fixture three("main:1 extra:1 rules:0");
    ASSERT_EQ(QLTP_tpdb_add_lts(three.db, path.c_str(), c.name, c.position), 1);
    EXPECT_EQ(Names(three.Manager()), c.names);
  }
}

}  // namespace
