#include "foundation/bpcomp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/strutil.h"
#include "cpu_time.h"
#include "peak_memory.h"

namespace {

struct Built {
    voidparray* strings = nullptr;
    bpcomp* table = nullptr;
    std::string printed;
    explicit Built(const std::vector<std::string>& words) {
        for (const auto& w : words) strings = QLTP_bpcomp_load_strings(strings, w.c_str());
        testing::internal::CaptureStdout();
        table = QLTP_bpcomp_create_table(strings);
        printed = testing::internal::GetCapturedStdout();
    }
    ~Built() {
        QLTP_bpcomp_strings_delete(strings);
        QLTP_bpcomp_delete(table);
    }
    std::string Coded(int i) const { return static_cast<const char*>(QLTP_voidparray_idx(strings, i)); }
};

std::string Stored(const bpcomp* t, int swap) {
    std::string bytes(QLTP_bpcomp_write_sz(t), '\0');
    EXPECT_EQ(QLTP_bpcomp_write(t, bytes.data(), swap), bytes.data() + bytes.size());
    return bytes;
}

bpcomp* Read(const std::string& bytes, int swap) {
    FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    bpcomp* t = QLTP_bpcomp_read(f, swap);
    std::fclose(f);
    return t;
}

// Each building string encodes to what building made of it and decodes back.
void ExpectRoundTrips(Built& b, const std::vector<std::string>& words) {
    std::vector<char> out(QLTP_bpcomp_maxlen(b.table) + 1);
    for (size_t i = 0; i < words.size(); ++i) {
        const char* coded = QLTP_bpcomp_encode(b.table, words[i].c_str(), nullptr);
        ASSERT_NE(coded, nullptr) << words[i];
        EXPECT_EQ(std::string(coded), b.Coded(static_cast<int>(i))) << words[i];
        EXPECT_EQ(std::string(QLTP_bpcomp_decode(b.table, coded, out.data())), words[i]);
    }
}

TEST(BpcompTest, BuildsPairsGreedilyUntilTheSymbolsAreUsed) {
    Built b({"abab", "ab"});
    std::string want = "SZ: 6\nSZ: 3 0.500\n";
    // After "abab" -> one symbol no pair occurs, and pairs that occur nowhere
    // fill the remaining symbols.
    for (int s = 4; s <= 255; ++s) want += "SZ: 2 0.333\n";
    EXPECT_EQ(b.printed, want);
    EXPECT_EQ(b.table->nterminals, 3);
    EXPECT_EQ(b.table->npairs, 253);
    EXPECT_EQ(b.Coded(0), "\x04");
    EXPECT_EQ(b.Coded(1), "\x03");
    EXPECT_EQ(QLTP_bpcomp_maxlen(b.table), 4);
    ExpectRoundTrips(b, {"abab", "ab"});
    EXPECT_STREQ(QLTP_bpcomp_encode(b.table, "ba", nullptr), "\x02\x01");
    EXPECT_EQ(QLTP_bpcomp_encode(b.table, "abc", nullptr), nullptr);    // c is no terminal
    EXPECT_EQ(QLTP_bpcomp_encode(b.table, "ababa", nullptr), nullptr);  // longer than the longest
    EXPECT_EQ(QLTP_bpcomp_decode(b.table, "\x01\x02\x01\x02\x01", nullptr), nullptr);
}

TEST(BpcompTest, AllByteValuesLeaveNoRoomForPairs) {
    std::string all;
    for (int c = 1; c < 256; ++c) all.push_back(static_cast<char>(c));
    Built b({all.substr(0, 128), all.substr(128)});
    EXPECT_EQ(b.table->nterminals, 256);
    EXPECT_EQ(b.table->npairs, 0);
    EXPECT_EQ(b.printed, "SZ: 255\n");
    ExpectRoundTrips(b, {all.substr(0, 128), all.substr(128)});
}

TEST(BpcompTest, WordListRoundTripsAndStoresIn524Bytes) {
    std::ifstream in("/usr/share/dict/words");
    ASSERT_TRUE(in) << "install wamerican (scripts/setup.sh)";
    std::vector<std::string> words;
    std::string line;
    for (int n = 0; std::getline(in, line); ++n)
        if (n % 7 == 0) words.push_back(line);
    words.push_back("na\xC3\xAFve caf\xC3\xA9 \xE6\x9D\xB1\xE4\xBA\xAC");
    ASSERT_GT(words.size(), 10000u);
    Built b(words);
    EXPECT_EQ(b.table->nterminals + b.table->npairs, 256);
    ExpectRoundTrips(b, words);

    for (int swap : {0, 1}) {
        std::string stored = Stored(b.table, swap);
        ASSERT_EQ(stored.size(), 524u);
        bpcomp* back = Read(stored, swap);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(Stored(back, swap), stored);
        for (size_t i = 0; i < words.size(); i += 97)
            EXPECT_STREQ(QLTP_bpcomp_decode(back, QLTP_bpcomp_encode(back, words[i].c_str(), nullptr), nullptr),
                         words[i].c_str());
        QLTP_bpcomp_delete(back);
    }
    QLTP_fixedbuf* buf = QLTP_fixedbuf_new(524);
    EXPECT_EQ(QLTPPy_bpcomp_write(b.table, nullptr), 524);
    EXPECT_EQ(QLTPPy_bpcomp_write(b.table, buf), 0);
    EXPECT_EQ(std::string(buf->data, 524), Stored(b.table, 0));
    QLTP_fixedbuf_delete(buf);
}

TEST(BpcompTest, TableOfAStringOverOneMiBReadsBack) {
    std::string longest(3 << 19, 'x');
    for (size_t i = 0; i < longest.size(); i += 7) longest[i] = 'y';
    bpcomp* t = QLTP_bpcomp_new(0);
    ASSERT_EQ(QLTP_bpcomp_add_termchar(t, longest.c_str()), 1);
    ASSERT_EQ(QLTP_bpcomp_maxlen(t), static_cast<int>(longest.size()));
    for (int swap : {0, 1}) {
        std::string stored = Stored(t, swap);
        bpcomp* back = Read(stored, swap);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(Stored(back, swap), stored);
        const char* coded = QLTP_bpcomp_encode(back, longest.c_str(), nullptr);
        ASSERT_NE(coded, nullptr);
        std::vector<char> out(longest.size() + 1);
        EXPECT_EQ(QLTP_bpcomp_decode(back, coded, out.data()), longest);
        QLTP_bpcomp_delete(back);
    }
    QLTP_bpcomp_delete(t);
}

// A table built from one long string may claim any length: the calls must
// take what their input needs, not what the table claims.
TEST(BpcompTest, CallsOnATableClaimingTheLargestLengthTakeWhatTheirInputNeeds) {
    Built b({"hello world", "yellow", "low"});
    std::string stored = Stored(b.table, 0);
    const int32_t largest = INT32_MAX - 1;
    std::memcpy(stored.data(), &largest, 4);
    bpcomp* huge = Read(stored, 0);
    ASSERT_NE(huge, nullptr);
    // The coded text lies in the work buffer that decoding writes to.
    auto round_trip = [](bpcomp* t) {
        const char* coded = QLTP_bpcomp_encode(t, "hello world", nullptr);
        const char* text = coded ? QLTP_bpcomp_decode(t, coded, nullptr) : nullptr;
        return std::string(text ? text : "(none)");
    };
    const int64_t grown = orvelle_test::PeakGrowthBytes([&] { round_trip(huge); });
    ASSERT_GE(grown, 0);
    EXPECT_LT(grown, 64 << 20);
    EXPECT_EQ(round_trip(huge), "hello world");
    char out[16];
    EXPECT_STREQ(QLTP_bpcomp_decode(huge, QLTP_bpcomp_encode(huge, "low", out), out), "low");

    const double ratio = orvelle_test::CpuTimeRatio([&] { for (int i = 0; i < 100; ++i) round_trip(b.table); },
                                                    [&] { for (int i = 0; i < 100; ++i) round_trip(huge); });
    EXPECT_LT(ratio, 10.0) << "the table claiming 2 GB took " << ratio << " times the CPU time";
    QLTP_bpcomp_delete(huge);
}

TEST(BpcompTest, CorruptTablesAreRefused) {
    Built b({"hello world", "yellow", "low"});
    std::string good = Stored(b.table, 0);
    auto with = [&](size_t at, int32_t v) {
        std::string s = good;
        std::memcpy(s.data() + at, &v, 4);
        return s;
    };
    int32_t t = b.table->nterminals;
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"no terminal count", with(4, 0)},         {"T above 256", with(4, 257)},
        {"negative P", with(8, -1)},               {"T + P above 256", with(8, 257 - t)},
        {"negative length", with(0, -1)},          {"length INT_MAX", with(0, INT32_MAX)},
        {"short", good.substr(0, 523)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Read(c.bytes, 0), nullptr);
    }
    std::string cycle = good;
    cycle[12 + t] = static_cast<char>(t);  // a pair whose first half is itself
    EXPECT_EQ(Read(cycle, 0), nullptr);

    // Whatever a mutated table gives, decoding stays inside its buffer.
    std::mt19937 rng(17);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string bytes = good;
        for (int k = 0, edits = 1 + int(rng() % 6); k < edits; ++k) bytes[12 + rng() % 512] = char(rng());
        // Header edits leave the maximum length's high bytes, so buffers stay small.
        if (rng() % 4 == 0) {
            size_t at = rng() % 10;
            bytes[at < 2 ? at : at + 2] = char(rng() % 8);
        }
        bpcomp* t2 = Read(bytes, 0);
        if (!t2) continue;
        std::vector<char> out(QLTP_bpcomp_maxlen(t2) + 1);
        std::string symbols;
        for (int k = 0, n = int(rng() % (QLTP_bpcomp_maxlen(t2) + 1)); k < n; ++k)
            symbols.push_back(static_cast<char>(1 + rng() % 255));
        const char* text = QLTP_bpcomp_decode(t2, symbols.c_str(), out.data());
        if (text != nullptr) {
            EXPECT_LE(std::strlen(text), static_cast<size_t>(QLTP_bpcomp_maxlen(t2)));
        }
        QLTP_bpcomp_delete(t2);
    }
}

}  // namespace
