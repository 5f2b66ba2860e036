#include "linguistics/phonesetmap.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cmudict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "test_db.h"

namespace {

struct MapDeleter {
    void operator()(phonesetmap* m) const { QLTP_phonesetmap_delete(m); }
};
using Map = std::unique_ptr<phonesetmap, MapDeleter>;

std::string print(const phonesetmap* m, bool json) {
    dystr* out = QLTP_dystr_new("", 0);
    json ? QLTP_phonesetmap_printl(m, out) : QLTP_phonesetmap_print(m, out);
    std::string s = QLTP_dystr_cstr(out);
    QLTP_dystr_delete(out);
    return s;
}

// The map's text form, as a stored map object holds it.
std::string text_form(const phonesetmap* m) {
    std::string t = "# written back\nMAPPING_NAME " + std::string(m->name) + "\nVERSION " + m->version +
                    "\nVAL_TYPES " + m->valtype + "\nNR_PHONES " + std::to_string(QLTP_phonesetmap_sz(m)) + "\n";
    for (int i = 1; i <= QLTP_phonesetmap_sz(m); ++i)
        t += std::string(QLTP_phonesetmap_phone_idx(m, i)) + " x " + std::to_string(QLTP_phonesetmap_val_idx(m, i)) + "\n";
    return t;
}

TEST(PhoneSetMapTest, BuiltInMapsReadBackFromTheirTextForm) {
    struct Case {
        const char* name;
        int size;
        std::vector<std::pair<const char*, int>> lookups;
    };
    const std::vector<Case> cases = {
        {"SAPI_VISEMES", 80, {{"sil", 0}, {"SIL", -1}, {"aa", 2}, {"ng", 20}, {"q", 0}, {"xx", -1}}},
        {"disney_visemes", 61, {{"sil", 0}, {"a", 13}, {"dx", 0}, {"hh", 7}, {"q", -1}}},
        {"SAPI_PHONEIDS", 80, {{"sil", 7}, {"zh", 49}, {"q", 7}}},
        {"Mac_PhoneIds", 150, {{"sil", 0}, {"@@r", 5}, {"zz", 40}, {"yz", 3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Map m(QLTP_phonesetmap_new_default(c.name));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(QLTP_phonesetmap_sz(m.get()), c.size);
        for (auto [phone, value] : c.lookups) EXPECT_EQ(QLTP_phonesetmap_lookup(m.get(), phone, -1), value) << phone;
        EXPECT_STREQ(QLTP_phonesetmap_phone_idx(m.get(), 0), "");
        EXPECT_EQ(QLTP_phonesetmap_val_idx(m.get(), 0), -1);
        EXPECT_EQ(QLTP_phonesetmap_phone_idx(m.get(), c.size + 1), nullptr);
        EXPECT_EQ(QLTP_phonesetmap_val_idx(m.get(), -1), -1);
        // Every phone of the map is found at its own id.
        for (int i = 1; i <= c.size; ++i)
            EXPECT_EQ(QLTP_phonesetmap_lookup(m.get(), QLTP_phonesetmap_phone_idx(m.get(), i), -1),
                      QLTP_phonesetmap_val_idx(m.get(), i));
        Map back(QLTP_phonesetmap_new(text_form(m.get()).c_str(), -1));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(print(back.get(), false), print(m.get(), false));
        EXPECT_EQ(print(back.get(), true), print(m.get(), true));
    }
    EXPECT_EQ(QLTP_phonesetmap_new_default("IPA"), nullptr);
    EXPECT_EQ(QLTP_phonesetmap_lookup(nullptr, "sil", -1), -1);
    EXPECT_EQ(QLTP_phonesetmap_sz(nullptr), -1);
}

TEST(PhoneSetMapTest, TextFormRules) {
    struct Case {
        const char* what;
        std::string text;
        int size;  // -1: invalid
        std::string listing;
    };
    const std::vector<Case> cases = {
        {"two phones announced, third line read as a header", "NR_PHONES 2\na x 1\nb x 2\nc x 3\n", 2,
         "Mapping:\n       a : 1\n       b : 2\n"},
        {"lower-case keys, comments and blank lines between phones",
         "mapping_name Mine extra\nversion 1.0\n\nnr_phones 2\n# skip\n\n  aa - 7  \r\nbbbbbb y -3\r\n", 2,
         "NAME: Mine\nVERSION: 1.0\nMapping:\n      aa : 7\n    bbbbbb : -3\n"},
        {"first key of a line wins", "NR_PHONES 1 VERSION 9\np q 4\n", 1, "Mapping:\n       p : 4\n"},
        {"a line longer than 255 bytes is one line",
         "NR_PHONES 1\n" + std::string(300, 'z') + " x 5\n", 1, ""},
        {"last line without a line end", "NR_PHONES 1\na x 1", 1, "Mapping:\n       a : 1\n"},
        {"too few phones", "NR_PHONES 3\na x 1\nb x 2\n", -1, ""},
        {"a phone twice", "NR_PHONES 2\na x 1\na x 2\n", -1, ""},
        {"second NR_PHONES", "NR_PHONES 1\na x 1\nNR_PHONES 1\nb x 1\n", -1, ""},
        {"zero phones", "NR_PHONES 0\n", -1, ""},
        {"count not a number", "NR_PHONES many\na x 1\n", -1, ""},
        {"huge count", "NR_PHONES 2147483647\na x 1\n", -1, ""},
        {"phone line of two fields, the only one", "NR_PHONES 1\na 1\n", -1, ""},
        {"phone line of two fields refused, its place taken", "NR_PHONES 2\na 1\nb x 2\nc x 3\n", 1,
         "Mapping:\n       b : 2\n"},
        {"value not a number", "NR_PHONES 1\na x one\n", -1, ""},
        {"leading numbers", "NR_PHONES 2x\na x 12x\nb x -3.5\n", 2, "Mapping:\n       a : 12\n       b : -3\n"},
        {"key without value refused", "VERSION\nNR_PHONES 1\na x 1\n", 1, "Mapping:\n       a : 1\n"},
        {"count key without value", "NR_PHONES\na x 1\n", -1, ""},
        {"no phones at all", "MAPPING_NAME x\n", -1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Map m(QLTP_phonesetmap_new(c.text.c_str(), static_cast<int>(c.text.size())));
        if (c.size < 0) {
            EXPECT_EQ(m, nullptr);
            continue;
        }
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(QLTP_phonesetmap_sz(m.get()), c.size);
        if (!c.listing.empty()) {
            EXPECT_EQ(print(m.get(), false), c.listing);
        }
    }
    // The length bounds the text.
    Map cut(QLTP_phonesetmap_new("NR_PHONES 1\na x 1\nb x 2", 17));
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(QLTP_phonesetmap_lookup(cut.get(), "a", -1), 1);
    EXPECT_EQ(QLTP_phonesetmap_lookup(cut.get(), "ab", 1), 1);
}

TEST(PhoneSetMapTest, JsonLineEscapesNamesAndValues) {
    Map m(QLTP_phonesetmap_new("MAPPING_NAME a\"b\\c\x01\nVAL_TYPES int\nNR_PHONES 2\n\"q x 1\nsil x -1\n", -1));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(print(m.get(), true),
              "{\"NAME\":\"a\\\"b\\\\c\\u0001\",\"VAL_TYPE\":\"int\",\"MAPPING\":[{\"\\\"q\":1},{\"sil\":-1}]}");
    EXPECT_EQ(print(nullptr, true), "");
}

TEST(PhoneSetMapTest, DatabaseMapOrBuiltInFallback) {
    const std::string own = "MAPPING_NAME SAPI_VISEMES\nNR_PHONES 2\nsil x 9\nk x 8\n";
    orvelle_test::LoadedDb loaded("phonesetmaps.tpdb",
                                  {{"TPOBJ_PHONESETMAP:SAPI_VISEMES", orvelle_test::TextObject(own)},
                                   {"TPOBJ_PHONESETMAP:DISNEY_VISEMES", orvelle_test::TextObject("NR_PHONES 3\na x 1\n")},
                                   {"TPOBJ_PHONESETMAP:OTHER", orvelle_test::TextObject(own)},
                                   {"TPOBJ_PHONESETMAP:SAPI_PHONEIDS",
                                    orvelle_test::TextObject("VERSION\nNR_PHONES 2\nsil 7\nk x 8x\n")}});
    ASSERT_TRUE(loaded.loaded());
    QLTP_logger_set_store(loaded.db->log);
    EXPECT_EQ(loaded.Get<char>("TPOBJ_PHONESETMAP:SAPI_VISEMES"), own);
    Map sapi(QLTP_tpdb_get_phonesetmapping(loaded.db, "SAPI_VISEMES"));
    ASSERT_NE(sapi, nullptr);
    EXPECT_EQ(QLTP_phonesetmap_sz(sapi.get()), 2);
    EXPECT_EQ(QLTP_phonesetmap_lookup(sapi.get(), "sil", -1), 9);
    Map disney(QLTP_tpdb_get_phonesetmapping(loaded.db, "DISNEY_VISEMES"));
    ASSERT_NE(disney, nullptr);
    EXPECT_EQ(QLTP_phonesetmap_sz(disney.get()), 61);
    // Refused lines and a map replaced by the built-in one are reported.
    Map ids(QLTP_tpdb_get_phonesetmapping(loaded.db, "SAPI_PHONEIDS"));
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(QLTP_phonesetmap_sz(ids.get()), 1);
    EXPECT_EQ(QLTP_phonesetmap_lookup(ids.get(), "k", -1), 8);
    std::string log;
    for (int i = 0; QLTP_logger_msg(loaded.db->log, i); ++i) log += QLTP_logger_msg(loaded.db->log, i) + std::string("\n");
    for (const char* want : {"Stored phone-set map invalid", "TPOBJ_PHONESETMAP:DISNEY_VISEMES",
                             "TPOBJ_PHONESETMAP:SAPI_PHONEIDS: VERSION", "TPOBJ_PHONESETMAP:SAPI_PHONEIDS: sil 7"})
        EXPECT_NE(log.find(want), std::string::npos) << want << "\n" << log;
    EXPECT_EQ(log.find("[WARN] Message : Stored phone-set map invalid : TPOBJ_PHONESETMAP:SAPI_VISEMES"),
              std::string::npos) << log;
    Map mac(QLTP_tpdb_get_phonesetmapping(loaded.db, "MAC_PHONEIDS"));
    EXPECT_EQ(QLTP_phonesetmap_sz(mac.get()), 150);
    Map other(QLTP_tpdb_get_phonesetmapping(loaded.db, "OTHER"));
    EXPECT_EQ(QLTP_phonesetmap_sz(other.get()), 2);
    EXPECT_EQ(QLTP_tpdb_get_phonesetmapping(loaded.db, "NONE"), nullptr);
    EXPECT_EQ(QLTP_tpdb_get_phonesetmapping(nullptr, "SAPI_VISEMES"), nullptr);
    // The kind writes the text with its NUL.
    char text[] = "NR_PHONES 1\na x 1\n";
    EXPECT_EQ(QLTP_tpobj_phonesetmap_write(text, nullptr, 0), static_cast<int32_t>(sizeof text));
}

// Every phone of the English dictionary has a viseme and a phone id in each
// built-in map.
TEST(PhoneSetMapTest, EveryEnglishPhoneIsMapped) {
    std::vector<orvelle_test::CmuEntry> entries = orvelle_test::ReadCmuDict();
    ASSERT_GT(entries.size(), 100000u) << orvelle_test::kCmuDictPath;
    std::set<std::string> phones;
    for (const auto& e : entries)
        for (const auto& syllable : e.syllables) phones.insert(syllable.phones.begin(), syllable.phones.end());
    EXPECT_EQ(phones.size(), orvelle_test::CmuIpa().size());
    for (const char* name : {"SAPI_VISEMES", "DISNEY_VISEMES", "SAPI_PHONEIDS", "MAC_PHONEIDS"}) {
        Map m(QLTP_phonesetmap_new_default(name));
        for (const std::string& phone : phones) EXPECT_GE(QLTP_phonesetmap_lookup(m.get(), phone.c_str(), -1), 0) << name << " " << phone;
    }
}

// Mutated map texts never crash; whatever reads is self-consistent.
TEST(PhoneSetMapTest, MutatedTextsReadSafely) {
    Map sapi(QLTP_phonesetmap_new_default("SAPI_VISEMES"));
    const std::string seed = text_form(sapi.get());
    std::mt19937 rng(77);
    const std::string noise = " \t\r\n#x0-9NR_PHONES";
    int valid = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string t = seed;
        int edits = std::uniform_int_distribution<int>(1, 8)(rng);
        for (int e = 0; e < edits; ++e) {
            size_t at = std::uniform_int_distribution<size_t>(0, t.size() - 1)(rng);
            switch (rng() % 3) {
                case 0: t[at] = noise[rng() % noise.size()]; break;
                case 1: t.erase(at, rng() % 12); break;
                default: t.insert(at, t.substr(rng() % t.size(), rng() % 30)); break;
            }
            if (t.empty()) t = "x";
        }
        Map m(QLTP_phonesetmap_new(t.data(), static_cast<int>(t.size())));
        if (!m) continue;
        ++valid;
        ASSERT_GT(QLTP_phonesetmap_sz(m.get()), 0);
        for (int i = 1; i <= QLTP_phonesetmap_sz(m.get()); ++i)
            ASSERT_EQ(QLTP_phonesetmap_lookup(m.get(), QLTP_phonesetmap_phone_idx(m.get(), i), -1),
                      QLTP_phonesetmap_val_idx(m.get(), i));
        print(m.get(), true);
    }
    EXPECT_GT(valid, 0);
}

}  // namespace
