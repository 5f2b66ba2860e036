#include "linguistics/paramdb.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "foundation/tpdb.h"
#include "scratch_dir.h"
#include "test_db.h"

namespace {

doublematrix* Filled(int m, int n, double base) {
    doublematrix* a = QLTP_doublematrix_new(m, n);
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) QLTP_doublematrix_set(a, i, j, base + i * 10 + j);
    return a;
}

// Two sets: "DEFAULT" (16000 Hz, frames of 80) with matrices "mean" 2 x 3 and
// "var" 4 x 3; "fast" (8000 Hz, frames of 40) with "mean" 1 x 2.
paramdbmgr* TwoSets() {
    paramdbmgr* mgr = QLTP_paramdbmgr_new();
    QLTP_paramdbmgr_replacement_threshold_set(mgr, 0.25);
    paramdbset* a = QLTP_paramdbset_new(16000, 80);
    EXPECT_EQ(QLTP_paramdbset_add(a, "mean", Filled(2, 3, 0.5)), 1);
    EXPECT_EQ(QLTP_paramdbset_add(a, "var", Filled(4, 3, -1.0)), 1);
    EXPECT_EQ(QLTP_paramdbmgr_add(mgr, "DEFAULT", -1, a), 1);
    paramdbset* b = QLTP_paramdbset_new(8000, 40);
    EXPECT_EQ(QLTP_paramdbset_add(b, "mean", Filled(1, 2, 7.0)), 1);
    EXPECT_EQ(QLTP_paramdbmgr_add(mgr, "fast", -1, b), 1);
    return mgr;
}

std::string Stored(const paramdbmgr* mgr, int swap) {
    std::string bytes(QLTP_paramdbmgr_write_sz(mgr), '\0');
    EXPECT_EQ(QLTP_paramdbmgr_write(mgr, bytes.data(), swap), bytes.data() + bytes.size());
    return bytes;
}

paramdbmgr* Read(const std::string& bytes, int swap) {
    FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    paramdbmgr* mgr = nullptr;
    QLTP_paramdbmgr_read(f, &mgr, swap);
    std::fclose(f);
    return mgr;
}

void ExpectTwoSets(const paramdbmgr* mgr) {
    ASSERT_EQ(QLTP_paramdbmgr_sz(mgr), 2);
    EXPECT_EQ(QLTP_paramdbmgr_replacement_threshold_get(mgr), 0.25);
    EXPECT_STREQ(QLTP_paramdbmgr_idx2name(mgr, 1), "fast");
    paramdbset* set = QLTP_paramdbmgr_name(mgr, "Default");
    ASSERT_EQ(set, QLTP_paramdbmgr_idx(mgr, 0));
    EXPECT_EQ(QLTP_paramdbset_srate(set), 16000);
    EXPECT_EQ(QLTP_paramdbset_framesz(set), 80);
    EXPECT_EQ(QLTP_paramdbset_sz(set), 2);
    EXPECT_STREQ(QLTP_paramdbset_lookup_idx(set, 2), "var");
    EXPECT_STREQ(QLTP_paramdbset_lookup_idx(set, 3), "");
    EXPECT_STREQ(QLTP_paramdbset_lookup_idx(set, 0), "");
    doublematrix* var = QLTP_paramdbset_lookup_data(set, "var");
    ASSERT_EQ(var, QLTP_paramdbset_idx_data(set, 1));
    EXPECT_EQ(QLTP_doublematrix_m(var), 4);
    EXPECT_EQ(QLTP_doublematrix_get(var, 3, 2), -1.0 + 32);
    EXPECT_EQ(QLTP_paramdbset_idx_data(set, 2), nullptr);
    EXPECT_EQ(QLTP_paramdbset_idx_data(set, -1), nullptr);
    EXPECT_EQ(QLTP_paramdbset_lookup_data(set, "none"), nullptr);
    EXPECT_EQ(QLTP_doublematrix_get(QLTP_paramdbset_lookup_data(QLTP_paramdbmgr_name(mgr, "FAST"), "mean"), 0, 1), 8.0);
    EXPECT_EQ(QLTP_paramdbmgr_name(mgr, "slow"), nullptr);
}

TEST(ParamDbTest, SetRefusesADuplicateOrAnotherColumnCount) {
    paramdbset* set = QLTP_paramdbset_new(16000, 80);
    EXPECT_EQ(QLTP_paramdbset_add(set, "a", Filled(2, 3, 0)), 1);
    doublematrix* wide = Filled(2, 4, 0);
    EXPECT_EQ(QLTP_paramdbset_add(set, "b", wide), 0);
    doublematrix* dup = Filled(1, 3, 0);
    EXPECT_EQ(QLTP_paramdbset_add(set, "a", dup), 0);
    EXPECT_EQ(QLTP_paramdbset_add(set, "", dup), 0);
    EXPECT_EQ(QLTP_paramdbset_sz(set), 1);
    EXPECT_EQ(QLTP_paramdbset_lookup_data(set, "b"), nullptr);
    EXPECT_EQ(QLTP_paramdbset_add(set, "b", dup), 1);
    QLTP_doublematrix_delete(wide);
    QLTP_paramdbset_delete(set);
    EXPECT_EQ(QLTP_paramdbset_srate(nullptr), 0);
}

TEST(ParamDbTest, StoredFormRoundTripsInBothByteOrders) {
    paramdbmgr* empty = QLTP_paramdbmgr_new();
    EXPECT_EQ(QLTP_paramdbmgr_write_sz(empty), 16u);
    std::string bytes = Stored(empty, 0);
    EXPECT_EQ(bytes.substr(8), std::string(8, '\0'));
    QLTP_paramdbmgr_delete(empty);

    paramdbmgr* mgr = TwoSets();
    for (int swap : {0, 1}) {
        SCOPED_TRACE(swap);
        std::string stored = Stored(mgr, swap);
        paramdbmgr* back = Read(stored, swap);
        ASSERT_NE(back, nullptr);
        ExpectTwoSets(back);
        EXPECT_EQ(Stored(back, swap), stored);
        QLTP_paramdbmgr_delete(back);
    }
    ExpectTwoSets(mgr);
    QLTP_paramdbmgr_delete(mgr);
}

TEST(ParamDbTest, ShortOrInconsistentFormsAreRefused) {
    paramdbmgr* mgr = TwoSets();
    std::string good = Stored(mgr, 0);
    QLTP_paramdbmgr_delete(mgr);
    // Every cut is refused.
    for (size_t cut = 0; cut < good.size(); ++cut) EXPECT_EQ(Read(good.substr(0, cut), 0), nullptr) << cut;
    // A second column count in a set is refused: widen "var" of the first set.
    paramdbmgr* odd = TwoSets();
    paramdbset* set = QLTP_paramdbmgr_idx(odd, 0);
    QLTP_doublematrix_resize(QLTP_paramdbset_idx_data(set, 1), 3, 4);
    EXPECT_EQ(Read(Stored(odd, 0), 0), nullptr);
    QLTP_paramdbmgr_delete(odd);
    // Mutations never crash, and what they give is whole.
    std::mt19937 rng(3);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string bytes = good;
        for (int k = 0, edits = 1 + int(rng() % 3); k < edits; ++k) bytes[rng() % bytes.size()] = char(rng());
        paramdbmgr* back = Read(bytes, 0);
        for (int i = 0; back && i < QLTP_paramdbmgr_sz(back); ++i) {
            paramdbset* s = QLTP_paramdbmgr_idx(back, i);
            ASSERT_NE(s, nullptr);
            for (int k = 0; k < QLTP_paramdbset_sz(s); ++k)
                EXPECT_EQ(QLTP_doublematrix_n(QLTP_paramdbset_idx_data(s, k)), QLTP_doublematrix_n(QLTP_paramdbset_idx_data(s, 0)));
        }
        QLTP_paramdbmgr_delete(back);
    }
}

TEST(ParamDbTest, LoadsThroughTheRegistryFromAWrittenDatabase) {
    paramdbmgr* mgr = TwoSets();
    std::string stored = Stored(mgr, 0);
    EXPECT_EQ(QLTP_tpobj_paramdbmgr_write(mgr, nullptr, 0), 0);
    QLTP_paramdbmgr_delete(mgr);
    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("paramdb.tpdb");
    orvelle_test::WriteDb(path, {{"TPOBJ_CONFIG:X", std::string("a", 2)}, {"TPOBJ_PARAMDBMGR:MAIN", stored}});
    {
        orvelle_test::LoadedDb loaded(path);
        auto* mgr_loaded = static_cast<paramdbmgr*>(QLTP_tpdb_get_tpdata(loaded.db, "TPOBJ_PARAMDBMGR:MAIN"));
        ASSERT_NE(mgr_loaded, nullptr);
        ExpectTwoSets(mgr_loaded);
    }

    // A record too short for its manager is not loaded.
    orvelle_test::WriteDb(path, {{"TPOBJ_PARAMDBMGR:MAIN", stored.substr(0, stored.size() - 8)},
                                 {"TPOBJ_CONFIG:X", std::string(16, 'x')}});
    {
        orvelle_test::LoadedDb loaded(path);
        EXPECT_EQ(QLTP_tpdb_get_tpdata(loaded.db, "TPOBJ_PARAMDBMGR:MAIN"), nullptr);
    }
    std::remove(path.c_str());
}

}  // namespace
