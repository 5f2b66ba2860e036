#include "linguistics/cbout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lg_fixture.h"

namespace {

using orvelle_test::LgChannel;

std::vector<int> bytes(const unsigned char* b, int n) { return std::vector<int>(b, b + n); }

TEST(CboutTest, ReadsSpronsAsCodes) {
    struct Case {
        const char* spron;
        std::string stress;
        std::vector<int> types, codes, syllables;
        int unmapped;  // phones logged as not mapped
    };
    const std::vector<Case> cases = {
        {"hh+ax0|l+ow1|", "0001", {1, 2, 1, 2}, {10, 11, 12, 13}, {2, 2, 0}, 0},
        {"k+a1+t|", "010", {1, 2, 3}, {17, 18, 19}, {3, 0}, 0},
        {"h_e1_l|o2", "0102", {1, 2, 2, 2}, {0, 20, 12, 21}, {3, 1, 0}, 1},
        {"big_bad1|", "01", {1, 2}, {0, 0}, {2, 0}, 2},
        {"w+er1+l_d|", "0100", {1, 2, 3, 3}, {14, 15, 12, 16}, {4, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spron);
        LgChannel lg;
        cbout* st = QLTP_cbout_new(lg.ch);
        toxspurt* s = lg.Spurt(1, {{"w", c.spron}});
        toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(QLTP_cbout_tokens(s), 1));
        int n = static_cast<int>(c.stress.size());
        unsigned char buf[16];
        QLTP_cbout_stress(st, t, buf, 16);
        EXPECT_EQ(std::string(buf, buf + n), c.stress);
        QLTP_cbout_phtype(st, t, buf, 16);
        EXPECT_EQ(bytes(buf, n), c.types);
        EXPECT_EQ(QLTP_cbout_phones(st, t, buf, 16), n);
        EXPECT_EQ(bytes(buf, n), c.codes);
        EXPECT_EQ(lg.Logged("Word not mapped to LG set - phone lost"), c.unmapped);
        std::vector<int> walked;
        const char* at = nullptr;
        for (size_t k = 0; k < c.syllables.size(); ++k) {
            int16_t count = -1;
            at = QLTP_cbout_syl(t, &count, at);
            walked.push_back(count);
        }
        EXPECT_EQ(walked, c.syllables);
        EXPECT_EQ(QLTP_cbout_isempty(t), 0);
        // A buffer shorter than the phones: stress and types stop and say so.
        QLTP_cbout_stress(st, t, buf, 1);
        QLTP_cbout_phtype(st, t, buf, 1);
        EXPECT_EQ(lg.Logged("CBOUT - phone overun"), 2);
        EXPECT_EQ(QLTP_cbout_phones(st, t, buf, 1), 1);
        QLTP_cbout_delete(st);
    }
}

TEST(CboutTest, PosBreakAndPosition) {
    LgChannel lg;
    cbout* st = QLTP_cbout_new(lg.ch);
    toxspurt* s = lg.Spurt(5, {{"a", "a1|", "NN_3 VB_1", "", "qltk_3_5_7_9"},
                               {"b", "", "ZZ NN", "3", "qltk_4_6_2_2"}});
    auto token = [&](int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(QLTP_cbout_tokens(s), i)); };
    unsigned char buf[4] = {99, 99, 99, 99};
    EXPECT_EQ(QLTP_cbout_pos(st, token(1), buf, 1), 1);
    EXPECT_EQ(bytes(buf, 2), std::vector<int>({1, 99}));
    EXPECT_EQ(QLTP_cbout_pos(st, token(1), buf, 4), 2);
    EXPECT_EQ(bytes(buf, 2), std::vector<int>({1, 2}));
    EXPECT_EQ(QLTP_cbout_pos(st, token(2), buf, 4), 2);
    EXPECT_EQ(bytes(buf, 2), std::vector<int>({1, 1}));  // ZZ leaves its byte
    EXPECT_EQ(lg.Logged("POS tag not mapped to LG set - tag lost"), 1);

    EXPECT_EQ(QLTP_cbout_bidx(token(2)), 3);
    EXPECT_EQ(QLTP_cbout_bidx(token(1)), 1);
    EXPECT_EQ(QLTP_cbout_isempty(token(2)), 1);
    EXPECT_EQ(QLTP_cbout_nsyl(token(1)), 1);
    int16_t first = 0, second = 0;
    EXPECT_EQ(QLTP_cbout_wordpos(token(1), &first, &second), 7);
    EXPECT_EQ(first, -2);
    EXPECT_EQ(second, 7);
    EXPECT_EQ(QLTP_cbout_sptid(s), 5);
    EXPECT_STREQ(QLTP_cbout_tpc_jobid(st), "JOB");
    QLTP_cbout_delete(st);
}

struct Delivery {
    std::vector<int> ids;
    std::vector<int> last;
    int stop_at = -1;
};

void on_phrase(cbout* st, void* user, toxspurt* spurt, int a, int b) {
    auto* d = static_cast<Delivery*>(user);
    EXPECT_EQ(a + b, 30);
    d->ids.push_back(QLTP_cbout_sptid(spurt));
    d->last.push_back(spurt->last);
    if (QLTP_cbout_sptid(spurt) == d->stop_at) st->state = 1;
}

TEST(CboutTest, DeliversEachSpurtUntilStopped) {
    struct Case {
        bool callback;
        int final;
        int stop_at;
        std::vector<int> ids, last;
        int last_flag_of_third;
    };
    const std::vector<Case> cases = {
        {true, 1, -1, {1, 2, 3}, {0, 0, 1}, 1},
        {true, 0, -1, {1, 2, 3}, {0, 0, 0}, 0},
        {true, 1, 1, {1}, {0}, 0},
        {false, 1, -1, {}, {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stop_at);
        LgChannel lg;
        Delivery d;
        d.stop_at = c.stop_at;
        if (c.callback) QLTP_tpc_set_phrase_callback(lg.ch, on_phrase, &d, 10, 20);
        cbout* st = QLTP_cbout_new(lg.ch);
        voidparray* spurts = QLTP_voidparray_new();
        for (int id = 1; id <= 3; ++id) QLTP_voidparray_add(spurts, lg.Spurt(id, {{"x", "a1|"}}));
        EXPECT_EQ(QLTP_cbout_process(st, spurts, c.final), 0);
        EXPECT_EQ(d.ids, c.ids);
        EXPECT_EQ(d.last, c.last);
        EXPECT_EQ(QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, 2))->last, c.last_flag_of_third);
        EXPECT_EQ(st->state, c.final);
        QLTP_voidparray_delete(spurts);
        QLTP_cbout_delete(st);
    }
}

}  // namespace
