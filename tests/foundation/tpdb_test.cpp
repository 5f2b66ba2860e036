#include "foundation/tpdb.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/strutil.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Word(int32_t v, bool big_endian = false) {
  auto u = static_cast<uint32_t>(v);
  std::string w(4, '\0');
  for (int i = 0; i < 4; ++i) w[big_endian ? 3 - i : i] = static_cast<char>((u >> (8 * i)) & 0xff);
  return w;
}

int32_t WordAt(const std::string& bytes, size_t at) {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return static_cast<int32_t>(u);
}

std::string MapText(const Pairs& lines) {
  std::string text = std::to_string(lines.size()) + "\n";
  for (const auto& [k, v] : lines) text += k + " = " + v + "\n";
  return text;
}

// A database file put together byte by byte, so that tests can break any
// part of it. MAINDB_SIZE and the index follow from the objects unless set.
struct HandFile {
  std::string magic = TPDBNAME;
  std::string order_word = Word(1);
  bool big_endian = false;
  Pairs header = {{"MAJOR_VERSION", "5"}, {"MINOR_VERSION", "0"}, {"REVISION_NUMBER", "1"}, {"START_SIZE", "29"}};
  std::string maindb_size;  // computed when empty
  std::vector<std::pair<std::string, std::string>> objects;
  std::string index_text;  // computed when empty

  std::string Bytes() const {
    int64_t maindb = 0;
    for (const auto& o : objects) maindb += 4 + static_cast<int64_t>(o.second.size());
    Pairs h = header;
    h.emplace_back("MAINDB_SIZE", maindb_size.empty() ? std::to_string(maindb) : maindb_size);
    std::string head = MapText(h);
    std::string out = magic + order_word + Word(static_cast<int32_t>(head.size()), big_endian) + head;
    Pairs index;
    for (const auto& [name, data] : objects) {
      index.emplace_back(name, std::to_string(out.size()));
      out += Word(static_cast<int32_t>(data.size()), big_endian) + data;
    }
    std::string itext = index_text.empty() ? MapText(index) : index_text;
    return out + Word(static_cast<int32_t>(itext.size()), big_endian) + itext;
  }
};

const std::string kConfigText("<dbconfig/>\0", 12);

// A database whose logger keeps its lines, so tests can read the reports.
struct Db {
  tpdb* db;
  explicit Db(const char* config = nullptr) : db(QLTP_tpdb_new(config)) { QLTP_logger_set_store(db->log); }
  ~Db() { QLTP_tpdb_delete(db); }
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (int i = 0;; ++i) {
      const char* m = QLTP_logger_msg(db->log, i);
      if (!m) break;
      lines.emplace_back(m);
    }
    return lines;
  }
  // Whether an event of the code with this message (and detail) was logged.
  bool Reported(int code, const std::string& message, const std::string& detail = "") const {
    std::string want = std::string(QLTP_logger_error_name(code)) + " : " + message;
    if (!detail.empty()) want += " : " + detail;
    for (const auto& line : Lines())
      if (line.find(want) != std::string::npos) return true;
    return false;
  }
  int Objects() const { return QLTP_voidparray_sz(db->objects); }
  const char* Text(const char* name) const { return static_cast<const char*>(QLTP_tpdb_get_tpdata(db, name)); }
};

void SetVersion(tpdb* db, const char* major, const char* minor, const char* revision) {
  ASSERT_TRUE(QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, major, -1));
  ASSERT_TRUE(QLTP_tpdb_header_setval(db, "MINOR_VERSION", -1, minor, -1));
  ASSERT_TRUE(QLTP_tpdb_header_setval(db, "REVISION_NUMBER", -1, revision, -1));
}

int Queue(tpdb* db, const std::string& name, const std::string& data) {
  QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(data.data(), static_cast<uint32_t>(data.size()));
  int ok = QLTP_tpobj_serialisequeue(db, image, name.c_str());
  if (!ok) QLTP_fixedbuf_delete(image);
  return ok;
}

// Writes a database of the given objects with the library's writer.
std::string WriteDb(const std::string& path, const Pairs& objects) {
  tpdb* db = QLTP_tpdb_new(nullptr);
  SetVersion(db, "5", "0", "1");
  for (const auto& [name, data] : objects) EXPECT_TRUE(Queue(db, name, data));
  EXPECT_EQ(QLTP_tpdb_write_serial(db, path.c_str()), 1);
  QLTP_tpdb_delete(db);
  return ReadFile(path);
}

// ---------------------------------------------------------------------------

TEST(TpdbRegistryTest, ListsTheKindsInSlotOrder) {
  EXPECT_STREQ(QLTP_TPOBJ_NAMES[0], "TPOBJ_ABBREV");
  EXPECT_STREQ(QLTP_TPOBJ_NAMES[QLTP_TPOBJ_CONFIG], "TPOBJ_CONFIG");
  EXPECT_STREQ(QLTP_TPOBJ_NAMES[QLTP_TPOBJ_HEADER], "TPOBJ_HEADER");
  EXPECT_STREQ(QLTP_TPOBJ_NAMES[QLTP_TPOBJ_INDEX], "TPOBJ_INDEX");
  EXPECT_STREQ(QLTP_TPOBJ_NAMES[QLTP_TPOBJ_KINDS - 1], "TPOBJ_SYLMAX");
  for (int slot = 1; slot < QLTP_TPOBJ_KINDS; ++slot)
    EXPECT_LT(std::strcmp(QLTP_TPOBJ_NAMES[slot - 1], QLTP_TPOBJ_NAMES[slot]), 0) << slot;
  EXPECT_EQ(QLTP_tpobj_kind_name(QLTP_TPOBJ_KINDS), nullptr);
  EXPECT_EQ(QLTP_tpobj_kind_name(-1), nullptr);
}

TEST(TpdbRegistryTest, KindOfNameTakesFirstSlotBeginningWithKindPart) {
  struct Case {
    const char* name;
    int slot;
  } cases[] = {
      {"TPOBJ_PHONESET:DEFAULT", QLTP_TPOBJ_PHONESET},
      {"TPOBJ_PHONESETMAP:SAPI", QLTP_TPOBJ_PHONESETMAP},
      {"TPOBJ_LEX:X", QLTP_TPOBJ_LEXCOMP},
      {"TPOBJ_CONFIG:DEFAULT", QLTP_TPOBJ_CONFIG},
      {"TPOBJ_HEADER:", QLTP_TPOBJ_HEADER},
      {"TPOBJ_SYLMAX", QLTP_TPOBJ_SYLMAX},
      {"TPOBJ_NOSUCH:X", -1},
      {"TPOBJ_CONFIGX:X", -1},
      {":X", -1},
      {"", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(QLTP_tpobj_kind_of(c.name, -1), c.slot) << c.name;
  EXPECT_EQ(QLTP_tpobj_kind_of(nullptr, -1), -1);
  EXPECT_EQ(QLTP_tpobj_kind_of("TPOBJ_ABBREVIATION", 12), QLTP_TPOBJ_ABBREV);
}

TEST(TpdbRegistryTest, RefusesUnknownKindsOwnKindsAndLoadWithoutDelete) {
  EXPECT_EQ(QLTP_tpobj_register("TPOBJ_NOSUCH", {}), 0);
  EXPECT_EQ(QLTP_tpobj_register(nullptr, {}), 0);
  EXPECT_EQ(QLTP_tpobj_register("TPOBJ_HEADER", {}), 0);
  EXPECT_EQ(QLTP_tpobj_register("TPOBJ_INDEX", {}), 0);
  EXPECT_EQ(QLTP_tpobj_register("TPOBJ_SYLMAX", {.load = QLTP_tpobj_config_load}), 0);
  EXPECT_EQ(QLTP_tpobj_register("TPOBJ_SYLMAX", {.loadcustom = [](FILE*, int32_t) -> void* { return nullptr; }}), 0);
  EXPECT_EQ(QLTP_TPOBJ_LOAD[QLTP_TPOBJ_HEADER], &QLTP_tpobj_header_load);
  EXPECT_EQ(QLTP_TPOBJ_WRITE[QLTP_TPOBJ_HEADER](nullptr, nullptr, 0), 0);
}

TEST(TpdbRegistryTest, ConfigurationKindWritesItsTextWithNul) {
  char text[] = "<dbconfig/>";
  EXPECT_EQ(QLTP_TPOBJ_WRITE[QLTP_TPOBJ_CONFIG](text, nullptr, 0), 12);
  char out[12] = {};
  EXPECT_EQ(QLTP_TPOBJ_WRITE[QLTP_TPOBJ_CONFIG](text, out, 0), 1);
  EXPECT_EQ(std::string(out, 12), kConfigText);
}

// A kind registered at run time, as a later module registers its own.
struct Counted {
  static inline int loaded = 0, finished = 0, deleted = 0;
};
void* CountedLoad(tpdb* db, int32_t offset) {
  if (QLTP_read_int(db, offset) != 4) return nullptr;
  ++Counted::loaded;
  return new int32_t(QLTP_read_int(db, 0));
}
int CountedPstload(tpdb*, void*) { return ++Counted::finished, 1; }
void CountedDelete(void* p) { ++Counted::deleted, delete static_cast<int32_t*>(p); }
int32_t CountedWrite(void* p, char* dst, int swap) {
  if (!dst) return 4;
  QLTP_int_write(p, dst, 1, swap);
  return 1;
}

TEST(TpdbRegistryTest, RegisteredKindLoadsWithoutChangeToTheDatabase) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("registered.tpdb");
  int32_t value = 0x01020304;
  char image[4];
  ASSERT_EQ(CountedWrite(&value, nullptr, 0), 4);
  CountedWrite(&value, image, 0);
  WriteDb(path, {{"TPOBJ_SYLMAX:DEFAULT", std::string(image, 4)}});
  // The kind's own module may be linked in: take its operations away for
  // the test and give them back after.
  const int slot = QLTP_TPOBJ_SYLMAX;
  const QLTP_tpobj_ops linked{.load = QLTP_TPOBJ_LOAD[slot], .pstload = QLTP_TPOBJ_PSTLOAD[slot],
                              .del = QLTP_TPOBJ_DELETE[slot], .write = QLTP_TPOBJ_WRITE[slot],
                              .loadcustom = QLTP_TPOBJ_LOADCUSTOM[slot], .writetxt = QLTP_TPOBJ_WRITETXT[slot]};
  ASSERT_EQ(QLTP_tpobj_register("TPOBJ_SYLMAX", {}), 1);

  {  // Before registration the object has no load operation.
    Db d;
    EXPECT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
    EXPECT_EQ(d.Objects(), 0);
    EXPECT_TRUE(d.Reported(8, "Can't find io load for object", "TPOBJ_SYLMAX:DEFAULT"));
  }
  ASSERT_EQ(QLTP_tpobj_register("TPOBJ_SYLMAX", {.load = CountedLoad,
                                                 .pstload = CountedPstload,
                                                 .del = CountedDelete,
                                                 .write = CountedWrite}),
            1);
  {
    Db d;
    EXPECT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
    auto* got = static_cast<int32_t*>(QLTP_tpdb_get_tpdata(d.db, "TPOBJ_SYLMAX:DEFAULT"));
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(*got, value);
    EXPECT_EQ(Counted::loaded, 1);
    EXPECT_EQ(Counted::finished, 1);
    EXPECT_TRUE(d.Reported(11, "Loading", "TPOBJ_SYLMAX:DEFAULT"));
  }
  EXPECT_EQ(Counted::deleted, 1);
  EXPECT_EQ(QLTP_tpobj_register("TPOBJ_SYLMAX", {}), 1);
  EXPECT_EQ(QLTP_TPOBJ_LOAD[QLTP_TPOBJ_SYLMAX], nullptr);
  QLTP_tpobj_register("TPOBJ_SYLMAX", linked);
}

// Replacing an object: the old one leaves the lists but lives, borrowed
// elsewhere, until the database is freed.
TEST(TpdbRegistryTest, RetiredObjectsLeaveTheListsAndAreFreedWithTheDatabase) {
  ASSERT_EQ(QLTP_tpobj_register("TPOBJ_SYLMAX", {.load = CountedLoad, .del = CountedDelete}), 1);
  Counted::deleted = 0;
  {
    Db d;
    auto* first = new int32_t(1);
    auto* second = new int32_t(2);
    ASSERT_EQ(QLTP_tpdb_append_object(d.db, "TPOBJ_SYLMAX:A", first), 1);
    ASSERT_EQ(QLTP_tpdb_append_object(d.db, "TPOBJ_SYLMAX:A", second), 1);
    EXPECT_EQ(QLTP_tpdb_get_tpdata(d.db, "TPOBJ_SYLMAX:A"), second);
    EXPECT_EQ(QLTP_tpdb_retire_object(d.db, "TPOBJ_SYLMAX:A"), 1);
    EXPECT_EQ(QLTP_tpdb_get_tpdata(d.db, "TPOBJ_SYLMAX:A"), first);
    EXPECT_EQ(QLTP_tpdb_retire_object(d.db, "TPOBJ_SYLMAX:A"), 1);
    EXPECT_EQ(QLTP_tpdb_retire_object(d.db, "TPOBJ_SYLMAX:A"), 0);
    EXPECT_EQ(QLTP_tpdb_retire_object(d.db, "TPOBJ_SYLMAX:a"), 0);
    EXPECT_EQ(QLTP_tpdb_get_tpdata(d.db, "TPOBJ_SYLMAX:A"), nullptr);
    EXPECT_EQ(*second, 2);  // still alive
    EXPECT_EQ(Counted::deleted, 0);
    EXPECT_EQ(QLTP_tpdb_append_object(d.db, "TPOBJ_SYLMAX:B", nullptr), 0);
  }
  EXPECT_EQ(Counted::deleted, 2);
}

// ---------------------------------------------------------------------------

TEST(TpdbWriteTest, EmptyDatabaseIsExactly129Bytes) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("empty.tpdb");
  std::string bytes = WriteDb(path, {});
  std::string head =
      "5\nMAJOR_VERSION = 5\nMINOR_VERSION = 0\nREVISION_NUMBER = 1\nSTART_SIZE = 29\nMAINDB_SIZE = 0\n";
  EXPECT_EQ(bytes, std::string(TPDBNAME) + Word(1) + Word(90) + head + Word(2) + "0\n");
  ASSERT_EQ(bytes.size(), 129u);

  Db d;
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  EXPECT_EQ(d.db->opened, 1);
  EXPECT_EQ(d.db->swap, 0);
  EXPECT_EQ(d.Objects(), 0);
  EXPECT_STREQ(QLTP_tpdb_header_val(d.db, "MAINDB_SIZE", -1), "0");
  EXPECT_STREQ(QLTP_tpdb_header_val(d.db, "REVISION_NUMBER", -1), "1");
  EXPECT_EQ(d.db->hdr->size, 90);
  EXPECT_EQ(QLTP_header_index_offset(d.db->hdr), 123);
  EXPECT_EQ(QLTP_tpdb_log_index(d.db), 0);
}

TEST(TpdbWriteTest, OneConfigurationObjectGivesThe173ByteLayout) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("config.tpdb");
  std::string bytes = WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", kConfigText}});
  ASSERT_EQ(bytes.size(), 173u);
  EXPECT_EQ(WordAt(bytes, 29), 91);
  EXPECT_EQ(WordAt(bytes, 124), 12);
  EXPECT_EQ(bytes.substr(128, 12), kConfigText);
  EXPECT_EQ(WordAt(bytes, 140), 29);
  EXPECT_EQ(bytes.substr(144), "1\nTPOBJ_CONFIG:DEFAULT = 124\n");

  Db d;
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  ASSERT_EQ(d.Objects(), 1);
  EXPECT_STREQ(d.Text("TPOBJ_CONFIG:DEFAULT"), "<dbconfig/>");
  EXPECT_EQ(d.Text("TPOBJ_CONFIG:OTHER"), nullptr);
  EXPECT_TRUE(d.Reported(11, "Loading", "TPOBJ_CONFIG:DEFAULT"));
  EXPECT_EQ(QLTP_tpdb_log_index(d.db), 1);
  EXPECT_TRUE(d.Reported(11, "TP object/offset", "TPOBJ_CONFIG:DEFAULT = 124"));
  EXPECT_EQ(d.db->file, nullptr);
}

TEST(TpdbWriteTest, LastObjectOfANameWinsAndEveryOneIsFreed) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("twice.tpdb");
  WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", std::string("first", 6)},
                 {"TPOBJ_CONFIG:DEFAULT", std::string("second", 7)}});
  Db d;
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  ASSERT_EQ(d.Objects(), 2);
  EXPECT_STREQ(static_cast<const char*>(QLTP_voidparray_idx(d.db->objects, 0)), "first");
  EXPECT_STREQ(d.Text("TPOBJ_CONFIG:DEFAULT"), "second");
}

TEST(TpdbWriteTest, HeaderValuesAreReplacedInPlaceOrAppended) {
  Db d;
  EXPECT_EQ(QLTP_tpdb_header_val(d.db, "LANGUAGE", -1), nullptr);
  ASSERT_TRUE(QLTP_tpdb_header_setval(d.db, "LANGUAGE", -1, "en", -1));
  ASSERT_TRUE(QLTP_tpdb_header_setval(d.db, "REGION", -1, "GB", -1));
  ASSERT_TRUE(QLTP_tpdb_header_setval(d.db, "LANGUAGE", 8, "de-xx", 2));
  EXPECT_STREQ(QLTP_tpdb_header_val(d.db, "LANGUAGE", -1), "de");
  EXPECT_STREQ(QLTP_tpdb_header_val(d.db, "LANGUAGEX", 8), "de");
  EXPECT_EQ(QLTP_str2str_nrkeys(d.db->hdr->map), 2);
  EXPECT_STREQ(QLTP_str2str_key(d.db->hdr->map, 0), "LANGUAGE");
  // "2\n" + "LANGUAGE = de\n" + "REGION = GB\n"
  EXPECT_EQ(d.db->hdr->size, 2 + 14 + 12);
  EXPECT_EQ(QLTP_tpdb_header_val(nullptr, "LANGUAGE", -1), nullptr);
  EXPECT_EQ(QLTP_tpdb_header_setval(nullptr, "A", -1, "b", -1), 0);
}

TEST(TpdbWriteTest, RefusesNamesAndHeaderValuesTheReaderCannotReadBack) {
  orvelle_test::ScratchDir dir;
  Db d;
  for (const std::string& name : {std::string("TPOBJ_CONFIG:TWO WORDS"), std::string("TPOBJ_CONFIG:\tTAB"),
                                  std::string("TPOBJ_CONFIG:LINE\nBREAK"), std::string(""),
                                  "TPOBJ_CONFIG:" + std::string(229, 'x')}) {
    EXPECT_EQ(Queue(d.db, name, "x"), 0) << name;
  }
  EXPECT_TRUE(d.Reported(9, "Object name cannot be read back", "TPOBJ_CONFIG:TWO WORDS"));
  EXPECT_EQ(QLTP_strarray_sz(d.db->serial_names), 0);
  EXPECT_EQ(QLTP_tpdb_header_setval(d.db, "TWO WORDS", -1, "1", -1), 0);
  EXPECT_EQ(QLTP_tpdb_header_setval(d.db, "KEY", -1, "two words", -1), 0);
  EXPECT_EQ(QLTP_tpdb_header_setval(d.db, "", -1, "1", -1), 0);
  EXPECT_EQ(QLTP_tpdb_header_setval(d.db, "KEY", -1, std::string(300, 'v').c_str(), -1), 0);

  // The longest name that fits a 255-byte index line round-trips.
  std::string longest = "TPOBJ_CONFIG:" + std::string(228, 'x');
  ASSERT_EQ(longest.size(), 241u);
  std::string path = dir.Path("longname.tpdb");
  WriteDb(path, {{longest, kConfigText}});
  Db back;
  ASSERT_EQ(QLTP_tpdb_load(back.db, path.c_str()), 1);
  EXPECT_STREQ(back.Text(longest.c_str()), "<dbconfig/>");
}

TEST(TpdbWriteTest, RefusesToRewriteAnOverlongHeaderLineItRead) {
  orvelle_test::ScratchDir dir;
  HandFile file;
  file.header.emplace_back("COMMENT", std::string(300, 'c'));
  std::string path = dir.Path("longheader.tpdb");
  WriteFile(path, file.Bytes());
  Db d;
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  EXPECT_EQ(std::strlen(QLTP_tpdb_header_val(d.db, "COMMENT", -1)), 300u);
  std::string copy = dir.Path("longheader_copy.tpdb");
  EXPECT_EQ(QLTP_tpdb_write_serial(d.db, copy.c_str()), 0);
  EXPECT_TRUE(d.Reported(9, "Header line cannot be read back", "COMMENT"));
  EXPECT_NE(access(copy.c_str(), F_OK), 0);
}

TEST(TpdbWriteTest, FailedCreateOrWriteIsReportedAndGivesZero) {
  orvelle_test::ScratchDir dir;
  Db d;
  SetVersion(d.db, "5", "0", "1");
  ASSERT_TRUE(Queue(d.db, "TPOBJ_CONFIG:DEFAULT", std::string(100000, 'x')));
  std::string missing_dir = dir.Path("no/such/dir/out.tpdb");
  EXPECT_EQ(QLTP_tpdb_write_serial(d.db, missing_dir.c_str()), 0);
  EXPECT_TRUE(d.Reported(5, "Can't create file", missing_dir));
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_EQ(QLTP_tpdb_write_serial(d.db, "/dev/full"), 0);
    EXPECT_TRUE(d.Reported(9, "Failed to write file", "/dev/full"));
  }
  EXPECT_EQ(QLTP_tpdb_write_serial(nullptr, missing_dir.c_str()), 0);
  EXPECT_EQ(QLTP_tpdb_write_serial(d.db, nullptr), 0);
}

TEST(TpdbWriteTest, NamedObjectOperationsWithNothingThereGiveZero) {
  orvelle_test::ScratchDir dir;
  Db d;
  int fullstop = 7;
  EXPECT_EQ(QLTP_tpdb_lookup_abbrev(nullptr, "Dr", -1, &fullstop), nullptr);
  EXPECT_EQ(QLTP_tpdb_lookup_abbrev(d.db, "Dr", -1, &fullstop), nullptr);
  EXPECT_EQ(fullstop, 7);
  std::string path = dir.Path("nothing.txt");
  EXPECT_EQ(QLTP_tpdb_write_abbrev(nullptr, path.c_str()), 0);
  EXPECT_EQ(QLTP_tpdb_write_abbrev(d.db, path.c_str()), 0);
  EXPECT_EQ(QLTP_tpdb_write_system_lexicon(nullptr, path.c_str()), 0);
  EXPECT_EQ(QLTP_tpdb_write_system_lexicon(d.db, path.c_str()), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(TpdbWriteTest, DequeueRemovesTheFirstImageOfTheName) {
  Db d;
  ASSERT_TRUE(Queue(d.db, "TPOBJ_CONFIG:A", std::string("one", 4)));
  ASSERT_TRUE(Queue(d.db, "TPOBJ_CONFIG:B", std::string("two", 4)));
  ASSERT_TRUE(Queue(d.db, "TPOBJ_CONFIG:A", std::string("three", 6)));
  EXPECT_EQ(QLTP_tpobj_serialisedequeue(d.db, "TPOBJ_CONFIG:A"), 1);
  EXPECT_EQ(QLTP_tpobj_serialisedequeue(d.db, "TPOBJ_CONFIG:C"), 0);
  ASSERT_EQ(QLTP_strarray_sz(d.db->serial_names), 2);
  EXPECT_STREQ(QLTP_strarray_idx(d.db->serial_names, 1), "TPOBJ_CONFIG:A");
  EXPECT_STREQ(static_cast<QLTP_fixedbuf*>(QLTP_voidparray_idx(d.db->serial_buffers, 1))->data, "three");
  QLTP_tpdb_serial_clear(d.db);
  EXPECT_EQ(QLTP_strarray_sz(d.db->serial_names), 0);
  EXPECT_EQ(QLTP_voidparray_sz(d.db->serial_buffers), 0);
}

// ---------------------------------------------------------------------------

std::string WriteConfigFile(const orvelle_test::ScratchDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir.Path(name);
  WriteFile(path, "<dbconfig>" + body + "</dbconfig>");
  return path;
}

TEST(TpdbLoadTest, ConfigurationObjectBecomesTheOverrideLayer) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("override.tpdb");
  WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", std::string("<dbconfig><general tpdata='NONE:'/></dbconfig>") + '\0'}});
  Db d;
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  EXPECT_EQ(d.db->has_override, 1);
  EXPECT_STREQ(QLTP_configsettings_lookup(d.db->settings, "general", -1, "tpdata", -1), "NONE:");
  EXPECT_STREQ(QLTP_configsettings_lookup(d.db->settings, "log", -1, "logdir", -1), ".");
  // The prefixes were read before and stay.
  EXPECT_EQ(QLTP_strarray_sz(d.db->tpdata), 24);
}

TEST(TpdbLoadTest, MissingConfigurationPathStillLoadsAndTakesTheObject) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("override2.tpdb");
  WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", std::string("<dbconfig><general tpdata='X:'/></dbconfig>") + '\0'}});
  std::string config = dir.Path("no_such_config.xml");
  tpdb* db = QLTP_tpdb_new(config.c_str());
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(QLTP_logger_no_warnings(db->log), 1);  // code 12 "tpdb config does not exist"
  ASSERT_EQ(QLTP_tpdb_load(db, path.c_str()), 1);
  EXPECT_STREQ(QLTP_configsettings_lookup(db->settings, "general", -1, "tpdata", -1), "X:");
  QLTP_tpdb_delete(db);
}

TEST(TpdbLoadTest, ConfigurationFileWinsOverTheObject) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("override3.tpdb");
  WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", std::string("<dbconfig><general tpdata='X:'/></dbconfig>") + '\0'}});
  std::string config = WriteConfigFile(dir, "cfg3.xml", "<general tpdata='TPOBJ_CONFIG:'/>");
  Db d(config.c_str());
  EXPECT_EQ(d.db->has_override, 1);
  ASSERT_EQ(QLTP_strarray_sz(d.db->tpdata), 1);
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  EXPECT_STREQ(QLTP_configsettings_lookup(d.db->settings, "general", -1, "tpdata", -1), "TPOBJ_CONFIG:");
}

TEST(TpdbLoadTest, KeepQueuesEveryIndexEntryOnceAndRewritesTheSameFile) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("keep.tpdb");
  std::string original = WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", kConfigText},
                                        {"TPOBJ_OTHER:NOT_LOADED", std::string("\x01\x02\x03", 3)},
                                        {"TPOBJ_CONFIG:SECOND", std::string("second", 7)}});
  // Two prefixes match every configuration object, none matches the other.
  std::string config = WriteConfigFile(dir, "keep.xml", "<general tpdata='TPOBJ_CONFIG: TPOBJ_CONF'/>");
  Db d(config.c_str());
  ASSERT_EQ(QLTP_tpdb_load_tomodify(d.db, path.c_str(), 1), 1);
  EXPECT_EQ(d.Objects(), 4);  // each configuration object twice
  ASSERT_EQ(QLTP_strarray_sz(d.db->serial_names), 3);
  EXPECT_STREQ(QLTP_strarray_idx(d.db->serial_names, 0), "TPOBJ_CONFIG:DEFAULT");
  EXPECT_STREQ(QLTP_strarray_idx(d.db->serial_names, 1), "TPOBJ_OTHER:NOT_LOADED");
  EXPECT_STREQ(QLTP_strarray_idx(d.db->serial_names, 2), "TPOBJ_CONFIG:SECOND");

  std::string copy = dir.Path("keep_copy.tpdb");
  ASSERT_EQ(QLTP_tpdb_write_serial(d.db, copy.c_str()), 1);
  EXPECT_EQ(ReadFile(copy), original);

  // One image can be queued again by name.
  EXPECT_EQ(QLTP_tpdb_deserialise_object_fixedbuf(d.db, "TPOBJ_CONFIG:SECOND"), 0);  // file closed
}

TEST(TpdbLoadTest, WithoutKeepNothingIsQueued) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("nokeep.tpdb");
  WriteDb(path, {{"TPOBJ_CONFIG:DEFAULT", kConfigText}});
  Db d;
  ASSERT_EQ(QLTP_tpdb_load_tomodify(d.db, path.c_str(), 0), 1);
  EXPECT_EQ(QLTP_strarray_sz(d.db->serial_names), 0);
}

TEST(TpdbLoadTest, BigEndianFileLoadsWithWarningAndSwappedFields) {
  orvelle_test::ScratchDir dir;
  HandFile file;
  file.big_endian = true;
  file.order_word = Word(0);
  file.objects = {{"TPOBJ_CONFIG:DEFAULT", kConfigText}, {"TPOBJ_CONFIG:B", std::string("b", 2)}};
  std::string path = dir.Path("big.tpdb");
  WriteFile(path, file.Bytes());
  Db d;
  ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
  EXPECT_EQ(d.db->swap, 1);
  EXPECT_TRUE(d.Reported(7, "System littleendian (1-True 0-False)", "1"));
  EXPECT_STREQ(d.Text("TPOBJ_CONFIG:DEFAULT"), "<dbconfig/>");
  EXPECT_STREQ(d.Text("TPOBJ_CONFIG:B"), "b");
  EXPECT_STREQ(QLTP_tpdb_header_val(d.db, "MAINDB_SIZE", -1), "22");

  // Its images would be rewritten under this host's flag: keep is refused.
  Db keep;
  EXPECT_EQ(QLTP_tpdb_load_tomodify(keep.db, path.c_str(), 1), 0);
  EXPECT_EQ(keep.db->opened, 0);
  EXPECT_EQ(keep.Objects(), 0);
  EXPECT_EQ(QLTP_strarray_sz(keep.db->serial_names), 0);
  EXPECT_TRUE(keep.Reported(4, "Can't keep objects of a tpdb file of the other byte order", path));
}

TEST(TpdbLoadTest, VersionCheckAgainstLibraryVersion) {
  orvelle_test::ScratchDir dir;
  struct Case {
    const char* major;
    const char* minor;
    const char* revision;
    int result;
    const char* message;  // code 4 when the load fails, else code 6
  } cases[] = {
      {"6", "0", "0", 0, "qorltp major version is older than tpdb"},
      {"4", "9", "9", 1, nullptr},
      {"5", "1", "0", 1, "qorltp minor version is older than tpdb"},
      {"5", "0", "2", 1, "qorltp revision number is older than tpdb"},
      {"5", "0", "0", 1, nullptr},
      {"5", "0", "1", 1, nullptr},
      {"x", "-3", "", 1, nullptr},
  };
  for (const auto& c : cases) {
    HandFile file;
    file.header = {{"MAJOR_VERSION", c.major}, {"MINOR_VERSION", c.minor}, {"REVISION_NUMBER", c.revision},
                   {"START_SIZE", "29"}};
    if (!*c.revision) file.header.erase(file.header.begin() + 2);
    file.objects = {{"TPOBJ_CONFIG:DEFAULT", kConfigText}};
    std::string path = dir.Path("version.tpdb");
    WriteFile(path, file.Bytes());
    Db d;
    SCOPED_TRACE(std::string(c.major) + "." + c.minor + "." + c.revision);
    EXPECT_EQ(QLTP_tpdb_load(d.db, path.c_str()), c.result);
    EXPECT_EQ(d.db->opened, c.result);
    EXPECT_EQ(d.Objects(), c.result);
    if (c.message) {
      EXPECT_TRUE(d.Reported(c.result ? 6 : 4, c.message, path));
    } else {
      EXPECT_EQ(QLTP_logger_no_warnings(d.db->log) + QLTP_logger_no_errors(d.db->log), 0);
    }
  }
}

// Bad files: each gives its reports, loads nothing broken and never crashes.
struct BadFile {
  const char* what;
  std::string bytes;
  int result;
  int objects;
  std::vector<std::pair<int, std::string>> reports;  // code, message or detail
};

std::vector<BadFile> BadFiles() {
  HandFile good;
  good.objects = {{"TPOBJ_CONFIG:DEFAULT", kConfigText}, {"TPOBJ_CONFIG:B", std::string("b", 2)}};
  std::string valid = good.Bytes();
  const std::string kCorrupt = "Corrupted tpdb file";
  std::vector<BadFile> out;
  auto with = [&](auto change) {
    HandFile f = good;
    change(f);
    return f.Bytes();
  };
  auto patched = [&](size_t at, int32_t v) {
    std::string b = valid;
    b.replace(at, 4, Word(v));
    return b;
  };
  int32_t header_size = WordAt(valid, 29);
  size_t first_object = 33 + static_cast<size_t>(header_size);
  size_t index_at = first_object + (4 + kConfigText.size()) + (4 + 2);

  out.push_back({"28 bytes", valid.substr(0, 28), 0, 0, {{4, "Corrupted file or not a quorlane tpdb file"}}});
  out.push_back({"29 bytes", valid.substr(0, 29), 0, 0, {{13, "end of header beyond EOF"}, {4, "failed to load header"}}});
  out.push_back({"empty", "", 0, 0, {{4, "Corrupted file or not a quorlane tpdb file"}}});
  out.push_back({"wrong magic", "QUORLANE TPDATABASE v 2.0" + valid.substr(25), 0, 0, {{4, "Not a quorlane tpdb file"}}});
  out.push_back({"byte-order word 2", with([](HandFile& f) { f.order_word = Word(2); }), 0, 0,
                 {{4, "Corrupted file or not a quorlane tpdb file"}}});
  out.push_back({"header size past end", patched(29, 1 << 30), 0, 0,
                 {{13, "end of header beyond EOF"}, {4, "failed to load header"}}});
  out.push_back({"negative header size", patched(29, -8), 0, 0,
                 {{13, "end of header beyond EOF"}, {4, "failed to load header"}}});
  out.push_back({"header count past its text", [&] {
                   std::string b = valid;
                   b[33] = '9';
                   return b;
                 }(),
                 0, 0, {{13, "header text shorter than its line count"}, {4, "failed to load header"}}});
  out.push_back({"header count not a number", [&] {
                   std::string b = valid;
                   b[33] = 'x';
                   return b;
                 }(),
                 0, 0, {{13, "header text shorter than its line count"}, {4, "failed to load header"}}});
  out.push_back({"MAINDB_SIZE past end", with([](HandFile& f) { f.maindb_size = "999999999"; }), 0, 0,
                 {{13, "TPOBJ index beyond end of file"}, {4, "failed to load index"}}});
  out.push_back({"MAINDB_SIZE negative", with([](HandFile& f) { f.maindb_size = "-60"; }), 0, 0,
                 {{13, "TPOBJ index before first object"}, {4, "failed to load index"}}});
  out.push_back({"MAINDB_SIZE not a number", with([](HandFile& f) { f.maindb_size = "lots"; }), 0, 0,
                 {{4, "failed to load index"}}});
  out.push_back({"MAINDB_SIZE overflowing", with([](HandFile& f) { f.maindb_size = "99999999999999999999"; }), 0,
                 0, {{4, "failed to load index"}}});
  out.push_back({"index size past end", patched(index_at, 1 << 30), 0, 0,
                 {{13, "end of index beyond EOF"}, {4, "failed to load index"}}});
  out.push_back({"negative index size", patched(index_at, -1), 0, 0,
                 {{13, "end of index beyond EOF"}, {4, "failed to load index"}}});
  out.push_back({"truncated index", valid.substr(0, valid.size() - 5), 0, 0,
                 {{13, "end of index beyond EOF"}, {4, "failed to load index"}}});
  out.push_back({"index cut off before its size word", valid.substr(0, index_at + 2), 0, 0,
                 {{13, "end of index beyond EOF"}, {4, "failed to load index"}}});
  out.push_back({"index count past its text", with([&](HandFile& f) {
                   f.index_text = "5\nTPOBJ_CONFIG:DEFAULT = " + std::to_string(first_object) + "\n";
                 }),
                 0, 0, {{13, "index text shorter than its line count"}, {4, "failed to load index"}}});
  out.push_back({"huge index count", with([&](HandFile& f) {
                   f.index_text = "2147483647\nTPOBJ_CONFIG:DEFAULT = " + std::to_string(first_object) + "\n";
                 }),
                 0, 0, {{13, "index text shorter than its line count"}}});
  auto index_to = [&](const std::string& offset) {
    return with([&](HandFile& f) {
      f.index_text = "2\nTPOBJ_CONFIG:DEFAULT = " + std::to_string(first_object) + "\nTPOBJ_CONFIG:B = " + offset + "\n";
    });
  };
  out.push_back({"offset past end", index_to("100000"), 1, 1, {{13, "TPOBJ index beyond end of file"}}});
  out.push_back({"offset into the index", index_to(std::to_string(index_at - 2)), 1, 1,
                 {{13, "TPOBJ index beyond end of file"}}});
  out.push_back({"offset 2^32 + small", index_to("4294967396"), 1, 1, {{13, "TPOBJ index beyond end of file"}}});
  out.push_back({"negative offset", index_to("-4"), 1, 1, {{13, "TPOBJ index before first object"}}});
  out.push_back({"offset inside the header", index_to("30"), 1, 1, {{13, "TPOBJ index before first object"}}});
  out.push_back({"offset not a number", index_to("12ab"), 1, 1, {{13, kCorrupt}}});
  out.push_back({"offset 0", index_to("0"), 1, 1, {{8, "Can't find object"}}});
  out.push_back({"no such kind", with([](HandFile& f) { f.objects.push_back({"TPOBJ_PBREAK:X", "x"}); }), 1, 2,
                 {{8, "Can't find io load for object"}}});
  out.push_back({"object size past end", patched(first_object, 1 << 30), 1, 1, {{13, "TPOBJ size beyond end of file"}}});
  out.push_back({"negative object size", patched(first_object, -1), 1, 1, {{13, "TPOBJ size beyond end of file"}}});
  out.push_back({"object size into the index", patched(first_object, 30), 1, 1, {{13, "TPOBJ size beyond end of file"}}});
  return out;
}

TEST(TpdbLoadTest, BadFilesGiveTheirCodeAndLoadNothingBroken) {
  orvelle_test::ScratchDir dir;
  // A kind that the database loads but no module has registered.
  const int slot = QLTP_TPOBJ_PBREAK;
  QLTP_tpobj_ops saved{QLTP_TPOBJ_LOAD[slot], QLTP_TPOBJ_PSTLOAD[slot], QLTP_TPOBJ_DELETE[slot],
                       QLTP_TPOBJ_WRITE[slot], QLTP_TPOBJ_LOADCUSTOM[slot], QLTP_TPOBJ_WRITETXT[slot]};
  ASSERT_EQ(QLTP_tpobj_register("TPOBJ_PBREAK", {}), 1);
  struct Restore {
    QLTP_tpobj_ops ops;
    ~Restore() { QLTP_tpobj_register("TPOBJ_PBREAK", ops); }
  } restore{saved};
  std::string path = dir.Path("bad.tpdb");
  for (const BadFile& bad : BadFiles()) {
    SCOPED_TRACE(bad.what);
    WriteFile(path, bad.bytes);
    Db d;
    EXPECT_EQ(QLTP_tpdb_load(d.db, path.c_str()), bad.result);
    EXPECT_EQ(d.db->opened, bad.result);
    EXPECT_EQ(d.Objects(), bad.objects);
    EXPECT_EQ(d.db->file, nullptr);
    if (!bad.result) {
      EXPECT_EQ(d.db->index, nullptr);
    }
    for (const auto& [code, text] : bad.reports) {
      bool found = false;
      for (const auto& line : d.Lines())
        found |= line.find(QLTP_logger_error_name(code)) != std::string::npos && line.find(text) != std::string::npos;
      EXPECT_TRUE(found) << code << " " << text;
    }
    for (int i = 0; i < d.Objects(); ++i) {
      auto* text = static_cast<const char*>(QLTP_voidparray_idx(d.db->objects, i));
      EXPECT_LE(std::strlen(text), bad.bytes.size());
    }
  }
}

TEST(TpdbLoadTest, MissingFileAndNoPath) {
  orvelle_test::ScratchDir dir;
  Db d;
  std::string path = dir.Path("does_not_exist.tpdb");
  EXPECT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 0);
  EXPECT_TRUE(d.Reported(4, "Can't open file", path));
  int before = QLTP_logger_no_messages(d.db->log);
  EXPECT_EQ(QLTP_tpdb_load(d.db, nullptr), 0);
  EXPECT_EQ(QLTP_logger_no_messages(d.db->log), before);
  EXPECT_EQ(QLTP_tpdb_load(nullptr, path.c_str()), 0);
  EXPECT_EQ(QLTP_tpdb_get_tpdata(nullptr, "TPOBJ_CONFIG:DEFAULT"), nullptr);
}

TEST(TpdbLoadTest, FileOver2GiBIsRefused) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("huge.tpdb");
  WriteFile(path, std::string(TPDBNAME) + Word(1));
  if (truncate(path.c_str(), int64_t{3} << 30) != 0) GTEST_SKIP() << "no sparse files here";
  Db d;
  EXPECT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 0);
  EXPECT_TRUE(d.Reported(4, "Corrupted file or not a quorlane tpdb file", path));
  std::remove(path.c_str());
}

TEST(TpdbLoadTest, CustomFilesNeedTheirKindsReader) {
  orvelle_test::ScratchDir dir;
  // Start from a kind without a reader, whatever the library registers.
  QLTP_tpobj_register("TPOBJ_ABBREV", {});
  std::string path = dir.Path("custom.tpdb");
  WriteDb(path, {});
  std::string abbrev = dir.Path("custom_abbrev.txt");
  WriteFile(abbrev, "Dr\t1\tDoctor\n");
  std::string lexicon = dir.Path("no_such_lexicon.txt");
  std::string config = WriteConfigFile(dir, "custom.xml", "<normalise custom_abbreviations='" + abbrev +
                                                         "'/><pronounce custom_lexicon='" + lexicon + "'/>");
  {
    Db d(config.c_str());
    ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
    EXPECT_TRUE(d.Reported(8, "Can't find io load for object", "TPOBJ_ABBREV:CUSTOM"));
    EXPECT_TRUE(d.Reported(12, "Custom lexicon file", lexicon));
    EXPECT_EQ(d.Objects(), 0);
  }
  static int freed = 0;
  QLTP_tpobj_ops ops;
  ops.del = [](void* p) { ++freed, QLTP_free(p); };
  ops.loadcustom = [](FILE* f, int32_t) -> void* {
    char* text = static_cast<char*>(QLTP_malloc(64));
    size_t n = std::fread(text, 1, 63, f);
    text[n] = '\0';
    return text;
  };
  ASSERT_EQ(QLTP_tpobj_register("TPOBJ_ABBREV", ops), 1);
  {
    Db d(config.c_str());
    ASSERT_EQ(QLTP_tpdb_load(d.db, path.c_str()), 1);
    EXPECT_TRUE(d.Reported(11, "Loading custom abbreviation file", abbrev));
    EXPECT_STREQ(d.Text("TPOBJ_ABBREV:CUSTOM"), "Dr\t1\tDoctor\n");
  }
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(QLTP_tpdb_load_custom_abbrev(nullptr, lexicon.c_str()), nullptr);
  QLTP_tpobj_register("TPOBJ_ABBREV", {});
}

TEST(TpdbLoadTest, ObjectsCanBeLoadedOneByOneOnlyWhileTheFileIsOpen) {
  Db d;
  EXPECT_EQ(QLTP_tpdb_deserialise_object(d.db, "TPOBJ_CONFIG:DEFAULT"), nullptr);
  EXPECT_EQ(QLTP_read_int(d.db, 29), 0);
  EXPECT_EQ(QLTP_read_chars(d.db, 4, 29), nullptr);
  EXPECT_EQ(QLTP_record_start(), 29);
}

// ---------------------------------------------------------------------------

TEST(TpdbTextTest, DeserialisesKeyValueLines) {
  str2str* map = QLTP_deserialise_dictionary("A = 1\nno separator\nB = 2 = 3\n\nC = \n");
  ASSERT_EQ(QLTP_str2str_nrkeys(map), 3);
  EXPECT_STREQ(QLTP_str2str_lookup(map, "A", -1), "1");
  EXPECT_STREQ(QLTP_str2str_lookup(map, "B", -1), "2");
  EXPECT_STREQ(QLTP_str2str_lookup(map, "C", -1), "");
  QLTP_strarray_delete(map);
}

TEST(TpdbTextTest, ReadsAHeaderTextFromAFile) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("text.txt");
  WriteFile(path, "2\nA = 1\nB   =   two   extra\nrest");
  FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  str2str* map = nullptr;
  char line[256];
  EXPECT_EQ(QLTP_strarraydict_read(f, &map, 0, line), 2 + 6 + 20);
  ASSERT_NE(map, nullptr);
  EXPECT_STREQ(QLTP_str2str_lookup(map, "B", -1), "two");
  QLTP_strarray_delete(map);
  std::fclose(f);
  WriteFile(path, "3\nA = 1\n");
  f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(QLTP_strarraydict_read(f, &map, 0, line), 0);
  EXPECT_EQ(map, nullptr);
  std::fclose(f);
}

// ---------------------------------------------------------------------------

// Random mutations of valid files: whatever the bytes, the load ends, reports
// and keeps only objects that lie inside the file.
TEST(TpdbFuzzTest, RandomMutationsOfValidFilesNeverBreakTheLoad) {
  orvelle_test::ScratchDir dir;
  std::vector<std::string> seeds;
  seeds.push_back(WriteDb(dir.Path("seed0.tpdb"), {}));
  seeds.push_back(WriteDb(dir.Path("seed1.tpdb"), {{"TPOBJ_CONFIG:DEFAULT", kConfigText},
                                                   {"TPOBJ_CONFIG:B", std::string("bb", 3)},
                                                   {"TPOBJ_PBREAK:X", "xyz"}}));
  {
    HandFile big;
    big.big_endian = true;
    big.order_word = Word(0);
    big.objects = {{"TPOBJ_CONFIG:DEFAULT", kConfigText}};
    seeds.push_back(big.Bytes());
  }
  // Where each seed holds its size words: header, objects and index.
  std::vector<std::vector<size_t>> seed_words;
  for (size_t s = 0; s < seeds.size(); ++s) {
    const std::string& b = seeds[s];
    bool big_endian = s == 2;
    auto word = [&](size_t at) {
      std::string w = b.substr(at, 4);
      if (big_endian) w = std::string(w.rbegin(), w.rend());
      return static_cast<size_t>(WordAt(w, 0));
    };
    size_t h = word(29);
    std::string head = b.substr(33, h);
    size_t maindb = std::stoul(head.substr(head.find("MAINDB_SIZE = ") + 14));
    size_t index_at = 33 + h + maindb;
    std::vector<size_t> words = {29, index_at};
    for (size_t at = 33 + h; at < index_at; at += 4 + word(at)) words.push_back(at);
    seed_words.push_back(words);
  }
  std::mt19937 rng(20261209);
  std::string path = dir.Path("mutant.tpdb");
  std::string copy = dir.Path("mutant_copy.tpdb");
#ifdef __SANITIZE_ADDRESS__
  const int rounds = 500;  // keeps the sanitizer build to a few seconds
#else
  const int rounds = 1500;
#endif
  int loaded = 0;
  for (int round = 0; round < rounds; ++round) {
    size_t seed = rng() % seeds.size();
    std::string bytes = seeds[seed];
    const std::vector<size_t>& words = seed_words[seed];
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !bytes.empty(); ++e) {
      size_t at = rng() % bytes.size();
      unsigned kind = rng() % 20;
      if (kind < 6) {
        bytes[at] = static_cast<char>(rng());
      } else if (kind < 10) {  // a digit of a header or index value
        bytes[at] = static_cast<char>('0' + rng() % 10);
      } else if (kind < 15) {  // a size word: small, near the file size, negative or random
        size_t w = words[rng() % words.size()];
        int32_t values[] = {static_cast<int32_t>(rng() % 64), static_cast<int32_t>(bytes.size() - rng() % 64),
                            -static_cast<int32_t>(rng() % 64), static_cast<int32_t>(rng())};
        if (w + 4 <= bytes.size()) bytes.replace(w, 4, Word(values[rng() % 4], seed == 2));
      } else if (kind < 16) {
        if (at + 4 <= bytes.size()) bytes.replace(at, 4, Word(static_cast<int32_t>(rng())));
      } else if (kind < 17) {
        bytes.resize(at);
      } else if (kind < 18) {
        bytes.insert(at, 1, static_cast<char>(rng()));
      } else {
        bytes.erase(at, 1 + rng() % 8);
      }
    }
    WriteFile(path, bytes);
    tpdb* db = QLTP_tpdb_new(nullptr);
    int keep = static_cast<int>(rng() % 2);
    int ok = QLTP_tpdb_load_tomodify(db, path.c_str(), keep);
    loaded += ok;
    ASSERT_EQ(db->file, nullptr);
    ASSERT_EQ(db->opened, ok);
    for (int i = 0; i < QLTP_voidparray_sz(db->objects); ++i) {
      auto* text = static_cast<const char*>(QLTP_voidparray_idx(db->objects, i));
      ASSERT_LE(std::strlen(text), bytes.size());
    }
    for (int i = 0; i < QLTP_voidparray_sz(db->serial_buffers); ++i)
      ASSERT_LE(static_cast<QLTP_fixedbuf*>(QLTP_voidparray_idx(db->serial_buffers, i))->size, bytes.size());
    if (ok && keep) {
      EXPECT_EQ(QLTP_tpdb_write_serial(db, copy.c_str()), 1);
    }
    QLTP_tpdb_delete(db);
  }
  // Enough mutants get past the header and index to reach the objects.
  EXPECT_GT(loaded, rounds / 10);
}

}  // namespace
