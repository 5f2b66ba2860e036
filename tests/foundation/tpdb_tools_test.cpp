#include "foundation/tpdb_tools.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "foundation/tpdb.h"
#include "scratch_dir.h"
#include "test_db.h"

namespace {

using orvelle_test::Objects;
using orvelle_test::ReadFile;
using orvelle_test::WriteDb;
using orvelle_test::WriteFile;

bool Exists(const std::string& path) { return QLTP_fileexists(path.c_str()) != 0; }

std::string Word(int64_t v, bool big_endian) {
    auto u = static_cast<uint32_t>(v);
    std::string w(4, '\0');
    for (int i = 0; i < 4; ++i) w[big_endian ? 3 - i : i] = static_cast<char>((u >> (8 * i)) & 0xff);
    return w;
}

// The writer's layout by hand, so that a file of the other byte order can be
// made; for little-endian files it must equal what the writer makes.
std::string Layout(const Objects& objects, bool big_endian) {
    int64_t maindb = 0;
    for (const auto& [name, data] : objects) maindb += 4 + static_cast<int64_t>(data.size());
    std::string head = "5\nMAJOR_VERSION = 5\nMINOR_VERSION = 0\nREVISION_NUMBER = 1\nSTART_SIZE = 29\nMAINDB_SIZE = " +
                       std::to_string(maindb) + "\n";
    std::string bytes = std::string(TPDBNAME) + Word(big_endian ? 0 : 1, false) + Word(head.size(), big_endian) + head;
    std::string index = std::to_string(objects.size()) + "\n";
    for (const auto& [name, data] : objects) {
        index += name + " = " + std::to_string(bytes.size()) + "\n";
        bytes += Word(data.size(), big_endian) + data;
    }
    return bytes + Word(index.size(), big_endian) + index;
}

std::string Bytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

std::string Text(QLTP_fixedbuf* b) {
    std::string s = b ? std::string(b->data, b->size) : "<none>";
    QLTP_fixedbuf_delete(b);
    return s;
}

const Objects kSample = {
    {"TPOBJ_LEXHASH:AB", "second"},     {"TPOBJ_LEXHASH:A", "first"},      {"TPOBJ_CONFIG:DEFAULT", "x=1"},
    {"TPOBJ_LEXCOMP:SYSTEM", "lexicon"}, {"TPOBJ_NRULES:EN", std::string(300, 'r')}, {"TPOBJ_LEXMGR:MAIN", ""},
};

TEST(TpdbToolsTest, AddingToTheEmptyDatabaseMatchesTheWriter) {
    orvelle_test::ScratchDir dir;
    std::string db = dir.Path("empty.tpdb"), obj = dir.Path("obj"), out = dir.Path("out.tpdb"),
                want = dir.Path("want.tpdb");
    ASSERT_EQ(WriteDb(db, {}).size(), 129u);
    WriteFile(obj, "0123456789");
    ASSERT_EQ(QLTP_tpdb_obj_modify(obj.c_str(), "TPOBJ_CONFIG:X", db.c_str(), out.c_str()), 0);
    std::string made = ReadFile(out);
    EXPECT_EQ(made.size(), 165u);
    EXPECT_EQ(made, WriteDb(want, {{"TPOBJ_CONFIG:X", "0123456789"}}));
    EXPECT_EQ(made, Layout({{"TPOBJ_CONFIG:X", "0123456789"}}, false));
    tpdb* loaded = QLTP_tpdb_new(nullptr);
    ASSERT_EQ(QLTP_tpdb_load(loaded, out.c_str()), 1);
    EXPECT_STREQ(static_cast<const char*>(QLTP_tpdb_get_tpdata(loaded, "TPOBJ_CONFIG:X")), "0123456789");
    QLTP_tpdb_delete(loaded);
}

// Random edits give, byte for byte, what the writer makes for the resulting
// object list: names that begin other names in either order, empty objects,
// and MAINDB_SIZE crossing 100, 1000 and 10000.
TEST(TpdbToolsTest, EditsMatchTheWriterForTheResultingObjects) {
    orvelle_test::ScratchDir dir;
    std::mt19937 rng(2024);
    const std::vector<std::string> names = {"TPOBJ_LEXHASH:A", "TPOBJ_LEXHASH:AB", "TPOBJ_LEXHASH:ABC",
                                            "TPOBJ_NRULES:EN", "TPOBJ_NRULES:E",   "TPOBJ_CONFIG:DEFAULT",
                                            "TPOBJ_ABBREV:EN", "TPOBJ_PBREAK:X"};
    std::string db = dir.Path("edit.tpdb"), obj = dir.Path("edit.obj"), out = dir.Path("edit_out.tpdb"),
                want = dir.Path("edit_w.tpdb");
    for (int trial = 0; trial < 150; ++trial) {
        Objects objects;
        std::vector<std::string> pool = names;
        std::shuffle(pool.begin(), pool.end(), rng);
        size_t n = rng() % 5;
        for (size_t i = 0; i < n; ++i) objects.push_back({pool[i], Bytes(rng, rng() % 3 == 0 ? rng() % 4 : rng() % 4000)});
        WriteDb(db, objects);
        std::string name = pool[rng() % pool.size()];
        auto at = std::find_if(objects.begin(), objects.end(), [&](const auto& o) { return o.first == name; });
        bool remove = at != objects.end() && rng() % 2;
        std::string data = Bytes(rng, rng() % 3 == 0 ? 0 : rng() % 5000);
        SCOPED_TRACE(name + (remove ? " removed" : " written") + " trial " + std::to_string(trial));
        if (remove) {
            objects.erase(at);
            ASSERT_EQ(QLTP_tpdb_obj_modify(nullptr, name.c_str(), db.c_str(), out.c_str()), 0);
        } else {
            if (at != objects.end())
                at->second = data;
            else
                objects.push_back({name, data});
            WriteFile(obj, data);
            ASSERT_EQ(QLTP_tpdb_obj_modify(obj.c_str(), name.c_str(), db.c_str(), out.c_str()), 0);
        }
        ASSERT_EQ(ReadFile(out), WriteDb(want, objects));
    }
    // MAINDB_SIZE from 96 to 100: the header and every offset move by one more.
    WriteDb(db, {{"TPOBJ_NRULES:E", std::string(92, 'e')}});
    WriteFile(obj, "");
    ASSERT_EQ(QLTP_tpdb_obj_modify(obj.c_str(), "TPOBJ_NRULES:EN", db.c_str(), out.c_str()), 0);
    EXPECT_EQ(ReadFile(out), WriteDb(want, {{"TPOBJ_NRULES:E", std::string(92, 'e')}, {"TPOBJ_NRULES:EN", ""}}));
    // Removing the empty object again.
    ASSERT_EQ(QLTP_tpdb_obj_modify(nullptr, "TPOBJ_NRULES:EN", out.c_str(), db.c_str()), 0);
    EXPECT_EQ(ReadFile(db), WriteDb(want, {{"TPOBJ_NRULES:E", std::string(92, 'e')}}));
}

TEST(TpdbToolsTest, ExtractsWholeObjectsByExactName) {
    orvelle_test::ScratchDir dir;
    std::string db = dir.Path("x.tpdb"), out = dir.Path("x.out");
    std::string bytes = WriteDb(db, kSample);
    for (const auto& [name, data] : kSample) {
        SCOPED_TRACE(name);
        ASSERT_EQ(QLTP_tpdb_obj_extract(db.c_str(), name.c_str(), out.c_str()), 0);
        EXPECT_EQ(ReadFile(out), data);
        EXPECT_EQ(Text(QLTP_tpdb_obj_extract_fixedbuf(db.c_str(), name.c_str())), data);
        EXPECT_EQ(QLTP_tpdb_has_obj(db.c_str(), name.c_str()), 1);
        FILE* f = QLTP_tpdb_io_fp(db.c_str(), name.c_str());
        ASSERT_NE(f, nullptr);
        int32_t offset = static_cast<int32_t>(ftell(f));
        EXPECT_EQ(bytes.substr(offset + 4, data.size()), data);
        EXPECT_EQ(QLTP_tpdb_io_offset(f, name.c_str()), offset);
        EXPECT_EQ(QLTP_tpdb_io_fpseek(f, name.c_str()), f);
        EXPECT_EQ(ftell(f), offset);
        std::fclose(f);
    }
    for (const char* missing : {"TPOBJ_LEXHASH:", "TPOBJ_LEXHASH:ABC", "LEXHASH:A", "TPOBJ_LEXHASH:A ", ""}) {
        SCOPED_TRACE(missing);
        EXPECT_EQ(QLTP_tpdb_obj_extract(db.c_str(), missing, out.c_str()), QLTP_TPDBTOOL_NOT_IN_INDEX);
        EXPECT_FALSE(Exists(out));
        EXPECT_EQ(QLTP_tpdb_has_obj(db.c_str(), missing), 0);
        EXPECT_EQ(QLTP_tpdb_obj_extract_fixedbuf(db.c_str(), missing), nullptr);
        EXPECT_EQ(QLTP_tpdb_io_fp(db.c_str(), missing), nullptr);
    }
    EXPECT_EQ(QLTP_tpdb_obj_extract(db.c_str(), "TPOBJ_LEXHASH:A", db.c_str()), QLTP_TPDBTOOL_CANT_EXTRACT);
    EXPECT_EQ(ReadFile(db), bytes);
    EXPECT_EQ(QLTP_tpdb_obj_extract(db.c_str(), "TPOBJ_LEXHASH:A", "/nonexistent/dir/out"), QLTP_TPDBTOOL_CANT_EXTRACT);
    EXPECT_EQ(QLTP_tpdb_obj_extract("/nonexistent.tpdb", "TPOBJ_LEXHASH:A", out.c_str()), QLTP_TPDBTOOL_CANT_OPEN);
    EXPECT_FALSE(Exists(out));
    WriteFile(db, "QUORLANE TPDATABASE v 1.1" + bytes.substr(25));
    EXPECT_EQ(QLTP_tpdb_obj_extract(db.c_str(), "TPOBJ_LEXHASH:A", out.c_str()), QLTP_TPDBTOOL_NOT_TPDB);
}

TEST(TpdbToolsTest, HeaderIndexAndSearchReadEitherByteOrder) {
    orvelle_test::ScratchDir dir;
    std::string le = dir.Path("le.tpdb"), be = dir.Path("be.tpdb"), out = dir.Path("be.out");
    ASSERT_EQ(WriteDb(le, kSample), Layout(kSample, false));
    WriteFile(be, Layout(kSample, true));
    std::string index = "6\n";
    int64_t maindb = 0;
    for (const auto& [name, data] : kSample) maindb += 4 + static_cast<int64_t>(data.size());
    // The empty database's objects begin at 123, with a one-digit MAINDB_SIZE.
    const int64_t first = 123 + static_cast<int64_t>(std::to_string(maindb).size()) - 1;
    int64_t offset = first;
    for (const auto& [name, data] : kSample) {
        index += name + " = " + std::to_string(offset) + "\n";
        offset += 4 + static_cast<int64_t>(data.size());
    }
    std::string lex;
    for (const char* name : {"TPOBJ_LEXHASH:AB", "TPOBJ_LEXHASH:A", "TPOBJ_LEXCOMP:SYSTEM", "TPOBJ_LEXMGR:MAIN"})
        lex.append(name).push_back('\0');
    for (const std::string& db : {le, be}) {
        SCOPED_TRACE(db);
        EXPECT_EQ(Text(QLTP_tpdb_io_get_header(db.c_str())).substr(0, 20), "5\nMAJOR_VERSION = 5\n");
        EXPECT_EQ(Text(QLTP_tpdb_io_get_index(db.c_str())), index);
        EXPECT_EQ(Text(QLTP_tpdb_io_search(db.c_str(), "LEX", "", nullptr, nullptr, nullptr)), lex);
        EXPECT_EQ(Text(QLTP_tpdb_io_search(db.c_str(), "LEXHASH", "A", "B", "", nullptr)),
                  std::string("TPOBJ_LEXHASH:AB\0", 17));
        EXPECT_EQ(Text(QLTP_tpdb_io_search(db.c_str(), "PHONESET", nullptr, nullptr, nullptr, nullptr)), "");
        FILE* f = std::fopen(db.c_str(), "rb");
        EXPECT_EQ(QLTP_tpdb_io_offset(f, "TPOBJ_CONFIG:DEFAULT"), first + 4 + 6 + 4 + 5);
        EXPECT_EQ(QLTP_tpdb_io_offset(f, "TPOBJ_CONFIG:DEF"), 0);
        EXPECT_EQ(QLTP_tpdb_io_fpseek(f, "TPOBJ_NONE:X"), nullptr);
        std::fclose(f);
    }
    EXPECT_EQ(QLTP_tpdb_obj_extract(be.c_str(), "TPOBJ_LEXHASH:A", out.c_str()), QLTP_TPDBTOOL_BYTE_ORDER);
    EXPECT_FALSE(Exists(out));
    EXPECT_EQ(QLTP_tpdb_has_obj(be.c_str(), "TPOBJ_LEXHASH:A"), 0);
    EXPECT_EQ(QLTP_tpdb_io_fp(be.c_str(), "TPOBJ_LEXHASH:A"), nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(QLTP_tpdb_obj_modify(nullptr, "TPOBJ_LEXHASH:A", be.c_str(), out.c_str()), QLTP_TPDBTOOL_BYTE_ORDER);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: could not open tpdb \"" + be + "\"\n");
    EXPECT_EQ(QLTP_tpdb_io_get_header("/nonexistent.tpdb"), nullptr);
}

TEST(TpdbToolsTest, ModifyRefusesWithTheRightCodeAndMessage) {
    orvelle_test::ScratchDir dir;
    std::string db = dir.Path("m.tpdb"), obj = dir.Path("m.obj"), out = dir.Path("m.out"), old = dir.Path("m_old.tpdb");
    std::string bytes = WriteDb(db, kSample);
    WriteFile(obj, "new");
    tpdb* v4 = QLTP_tpdb_new(nullptr);
    ASSERT_TRUE(QLTP_tpdb_header_setval(v4, "MAJOR_VERSION", -1, "4", -1));
    ASSERT_EQ(QLTP_tpdb_write_serial(v4, old.c_str()), 1);
    QLTP_tpdb_delete(v4);
    struct Case {
        const char* object;
        std::string name, db, out;
        int code;
        std::string message;
    } cases[] = {
        {nullptr, std::string(101, 'N'), db, out, 1, ""},
        {obj.c_str(), "", db, out, 1, ""},
        {obj.c_str(), "TPOBJ_CONFIG:A B", db, out, 1, ""},
        {obj.c_str(), "TPOBJ_CONFIG:A\tB", db, out, 1, ""},
        {obj.c_str(), "TPOBJ_CONFIG:A\x01", db, out, 1, ""},
        {obj.c_str(), "TPOBJ_CONFIG:DEFAULT", db, db, 2, ""},
        {obj.c_str(), "TPOBJ_CONFIG:DEFAULT", db, "/nonexistent/dir/out", 2, "ERROR: failed to create output file\n"},
        {"/nonexistent.obj", "TPOBJ_CONFIG:DEFAULT", db, out, 3, "ERROR: could not find \"/nonexistent.obj\"\n"},
        {obj.c_str(), "TPOBJ_CONFIG:DEFAULT", "/nonexistent.tpdb", out, 1,
         "ERROR: could not open tpdb \"/nonexistent.tpdb\"\n"},
        {nullptr, "TPOBJ_LEXHASH:ABC", db, out, 6, "ERROR:  cursz & objsz are zero, object is probably missing\n"},
        {obj.c_str(), "TPOBJ_CONFIG:DEFAULT", old, out, 8,
         "ERROR: Major version of original tpdb 4 and current qorltp version 5 are not the same\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " -> " + std::to_string(c.code));
        testing::internal::CaptureStderr();
        EXPECT_EQ(QLTP_tpdb_obj_modify(c.object, c.name.c_str(), c.db.c_str(), c.out.c_str()), c.code);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
        EXPECT_FALSE(Exists(out));
        EXPECT_EQ(ReadFile(db), bytes);
    }
    // A 100-character name is taken; removing an empty object works.
    std::string hundred = "TPOBJ_CONFIG:" + std::string(87, 'L');
    ASSERT_EQ(QLTP_tpdb_obj_modify(obj.c_str(), hundred.c_str(), db.c_str(), out.c_str()), 0);
    EXPECT_EQ(QLTP_tpdb_has_obj(out.c_str(), hundred.c_str()), 1);
    ASSERT_EQ(QLTP_tpdb_obj_modify(nullptr, "TPOBJ_LEXMGR:MAIN", db.c_str(), out.c_str()), 0);
    EXPECT_EQ(QLTP_tpdb_has_obj(out.c_str(), "TPOBJ_LEXMGR:MAIN"), 0);
    struct stat full{};
    if (stat("/dev/full", &full) == 0 && S_ISCHR(full.st_mode)) {
        EXPECT_EQ(QLTP_tpdb_obj_modify(obj.c_str(), "TPOBJ_CONFIG:DEFAULT", db.c_str(), "/dev/full"), 9);
        EXPECT_EQ(QLTP_tpdb_obj_extract(db.c_str(), "TPOBJ_NRULES:EN", "/dev/full"), 9);
    }
}

// Truncated and mutated databases give result codes, never a crash, and
// never leave an output file behind on failure.
TEST(TpdbToolsTest, DamagedFilesGiveCodes) {
    orvelle_test::ScratchDir dir;
    std::string good = Layout(kSample, false);
    std::string db = dir.Path("bad.tpdb"), obj = dir.Path("bad.obj"), out = dir.Path("bad.out");
    WriteFile(obj, "abc");
    std::mt19937 rng(99);
    // Each trial opens files a dozen times: a few hundred trials meet every
    // code that the damage can give.
    std::set<int> extract_codes, modify_codes;
    for (int trial = 0; trial < 500; ++trial) {
        std::string bytes = good;
        if (trial < 100) {
            bytes.resize(rng() % bytes.size());
        } else {
            for (int k = 0, edits = 1 + int(rng() % 4); k < edits; ++k) {
                size_t at = rng() % bytes.size();
                // Aim at the words and digits that locate things.
                if (rng() % 2) at = std::min<size_t>(at % 140, bytes.size() - 1);
                bytes[at] = rng() % 2 ? char(rng()) : char('0' + rng() % 10);
            }
        }
        WriteFile(db, bytes);
        const std::string& name = kSample[rng() % kSample.size()].first;
        int code = QLTP_tpdb_obj_extract(db.c_str(), name.c_str(), out.c_str());
        extract_codes.insert(code);
        EXPECT_TRUE(code >= 0 && code <= 11);
        EXPECT_EQ(Exists(out), code == 0);
        std::remove(out.c_str());
        QLTP_fixedbuf_delete(QLTP_tpdb_obj_extract_fixedbuf(db.c_str(), name.c_str()));
        QLTP_fixedbuf_delete(QLTP_tpdb_io_search(db.c_str(), "LEX", "A", nullptr, nullptr, nullptr));
        QLTP_fixedbuf_delete(QLTP_tpdb_io_get_index(db.c_str()));
        testing::internal::CaptureStderr();
        code = QLTP_tpdb_obj_modify(rng() % 2 ? obj.c_str() : nullptr, name.c_str(), db.c_str(), out.c_str());
        testing::internal::GetCapturedStderr();
        modify_codes.insert(code);
        EXPECT_TRUE(code >= 0 && code <= 11);
        EXPECT_EQ(Exists(out), code == 0) << code;
        std::remove(out.c_str());
    }
    EXPECT_EQ(extract_codes, (std::set<int>{QLTP_TPDBTOOL_OK, QLTP_TPDBTOOL_NOT_TPDB, QLTP_TPDBTOOL_BYTE_ORDER,
                                            QLTP_TPDBTOOL_NOT_IN_INDEX, QLTP_TPDBTOOL_MALFORMED}));
    EXPECT_EQ(modify_codes, (std::set<int>{QLTP_TPDBTOOL_OK, QLTP_TPDBTOOL_NOT_TPDB, QLTP_TPDBTOOL_NOTHING_TO_DO,
                                           QLTP_TPDBTOOL_BYTE_ORDER, QLTP_TPDBTOOL_SHORT_READ, QLTP_TPDBTOOL_MALFORMED}));
}

}  // namespace
