#include "foundation/dystrarray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "huge_text.h"

namespace {

struct DystrarrayDeleter {
    void operator()(dystrarray* d) const { QLTP_dystrarray_delete(d); }
};
using DystrarrayPtr = std::unique_ptr<dystrarray, DystrarrayDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const dystrarray* d) { return Bytes(d->storage, d->storage + d->count); }

std::vector<std::string> strings_of(const dystrarray* d) {
    std::vector<std::string> out;
    int n = QLTP_dystrarray_sz(d);
    for (int i = 0; i < n; ++i) out.emplace_back(QLTP_dystrarray_idx(d, i));
    return out;
}

FilePtr file_holding(const std::vector<char>& data) {
    FilePtr f(std::tmpfile());
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f.get());
    std::rewind(f.get());
    return f;
}

std::vector<char> written(const dystrarray* d, int swap) {
    std::vector<char> buf(static_cast<size_t>(QLTP_dystrarray_write_sz(d)));
    char* end = QLTP_dystrarray_write(d, buf.data(), swap);
    EXPECT_EQ(end, buf.data() + buf.size());
    return buf;
}

}  // namespace

TEST(DystrarrayTest, NewHoldsEmptyTwoByteRecords) {
    DystrarrayPtr d(QLTP_dystrarray_new(3));
    EXPECT_EQ(bytes_of(d.get()), (Bytes{2, 0, 2, 0, 2, 0}));
    EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 3);
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(QLTP_dystrarray_idx(d.get(), 3), nullptr);
    EXPECT_EQ(QLTP_dystrarray_idx(d.get(), -1), nullptr);
    EXPECT_EQ(QLTP_dystrarray_sz(nullptr), 0);
    EXPECT_EQ(QLTP_dystrarray_idx(nullptr, 0), nullptr);

    DystrarrayPtr empty(QLTP_dystrarray_newprealloc(100));
    EXPECT_EQ(QLTP_dystrarray_sz(empty.get()), 0);
    EXPECT_EQ(QLTP_dystrarray_idx(empty.get(), 0), nullptr);
    EXPECT_GE(empty->capacity, 100u);
}

TEST(DystrarrayTest, AddPadsEachRecordToAnEvenLengthWithTwoNuls) {
    struct Case {
        const char* s;
        int len;
        Bytes expected;
    };
    const Case cases[] = {
        {"", -1, {4, 0, 0, 0}},
        {"a", -1, {4, 'a', 0, 0}},
        {"ab", -1, {6, 'a', 'b', 0, 0, 0}},
        {"abc", -1, {6, 'a', 'b', 'c', 0, 0}},
        {"abcdef", 2, {6, 'a', 'b', 0, 0, 0}},
        {"a\0bc", 4, {4, 'a', 0, 0}},  // stops at a NUL
        {nullptr, 0, {4, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        DystrarrayPtr d(QLTP_dystrarray_new(0));
        EXPECT_EQ(QLTP_dystrarray_add(d.get(), c.s, c.len), 1);
        EXPECT_EQ(bytes_of(d.get()), c.expected) << (c.s ? c.s : "(null)");
    }
}

TEST(DystrarrayTest, LongStringGetsLengthByteFFAndIsScannedPast) {
    DystrarrayPtr d(QLTP_dystrarray_new(0));
    std::string big(300, 'q');
    ASSERT_EQ(QLTP_dystrarray_add(d.get(), big.c_str(), -1), 1);
    EXPECT_EQ(d->count, 304u);
    EXPECT_EQ(d->storage[0], 0xFF);
    ASSERT_EQ(QLTP_dystrarray_add(d.get(), "next", -1), 1);
    EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 2);
    EXPECT_EQ(QLTP_dystrarray_idx(d.get(), 0), big);
    EXPECT_STREQ(QLTP_dystrarray_idx(d.get(), 1), "next");

    char* first = QLTP_dystrarray_idx(d.get(), 0);
    EXPECT_EQ(QLTP_dystrarray_next(d.get(), first), QLTP_dystrarray_idx(d.get(), 1));
    EXPECT_EQ(QLTP_dystrarray_next(d.get(), QLTP_dystrarray_idx(d.get(), 1)), nullptr);
    const char* outside = "elsewhere";
    EXPECT_EQ(QLTP_dystrarray_next(d.get(), outside), nullptr);
}

TEST(DystrarrayTest, ReplaceWidensARecordOnlyWhenTheStringDoesNotFit) {
    DystrarrayPtr d(QLTP_dystrarray_new(0));
    QLTP_dystrarray_add(d.get(), "abc", -1);  // 6 bytes
    QLTP_dystrarray_add(d.get(), "z", -1);
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 0, "abcdef", -1), 1);
    EXPECT_EQ(bytes_of(d.get()), (Bytes{10, 'a', 'b', 'c', 'd', 'e', 'f', 0, 0, 0, 4, 'z', 0, 0}));
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 0, "a", -1), 1);  // records never shrink
    EXPECT_EQ(bytes_of(d.get()), (Bytes{10, 'a', 0, 0, 0, 0, 0, 0, 0, 0, 4, 'z', 0, 0}));

    DystrarrayPtr six(QLTP_dystrarray_new(0));
    QLTP_dystrarray_add(six.get(), "abc", -1);
    ASSERT_EQ(QLTP_dystrarray_replace(six.get(), 0, "a", -1), 1);
    EXPECT_EQ(bytes_of(six.get()), (Bytes{6, 'a', 0, 0, 0, 0}));
    ASSERT_EQ(QLTP_dystrarray_replace(six.get(), 0, "abcd", -1), 1);  // 4 + 2 fits exactly
    EXPECT_EQ(bytes_of(six.get()), (Bytes{6, 'a', 'b', 'c', 'd', 0}));

    EXPECT_EQ(QLTP_dystrarray_replace(d.get(), 2, "x", -1), 0);
    EXPECT_EQ(QLTP_dystrarray_replace(d.get(), -1, "x", -1), 0);
}

TEST(DystrarrayTest, AppendExtendsTheRecordString) {
    DystrarrayPtr d(QLTP_dystrarray_new(2));  // two 2-byte records
    ASSERT_EQ(QLTP_dystrarray_append(d.get(), 0, "ab", -1), 1);  // b 2, D 2: grows by 0 + 4
    EXPECT_EQ(bytes_of(d.get()), (Bytes{6, 'a', 'b', 0, 0, 0, 2, 0}));
    ASSERT_EQ(QLTP_dystrarray_append(d.get(), 0, "cdx", 2), 1);  // b 4 fits in 6
    EXPECT_EQ(bytes_of(d.get()), (Bytes{6, 'a', 'b', 'c', 'd', 0, 2, 0}));
    ASSERT_EQ(QLTP_dystrarray_append(d.get(), 0, "e", -1), 1);  // b 5: grows by -2 + 4 to b + 3
    EXPECT_EQ(bytes_of(d.get()), (Bytes{8, 'a', 'b', 'c', 'd', 'e', 0, 0, 2, 0}));
    EXPECT_EQ(QLTP_dystrarray_append(d.get(), 5, "e", -1), 0);
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{"abcde", ""}));
}

TEST(DystrarrayTest, RewritingPastTwoHundredFiftyFourBytesMakesALongRecord) {
    DystrarrayPtr d(QLTP_dystrarray_new(0));
    QLTP_dystrarray_add(d.get(), "short", -1);
    QLTP_dystrarray_add(d.get(), "after", -1);
    std::string big(260, 'w');
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 0, big.c_str(), -1), 1);
    EXPECT_EQ(d->storage[0], 0xFF);
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{big, "after"}));
    ASSERT_EQ(QLTP_dystrarray_append(d.get(), 0, "!!", -1), 1);
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 1, big.c_str(), -1), 1);
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{big + "!!", big}));
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 0, "tiny", -1), 1);
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{"tiny", big}));
}

TEST(DystrarrayTest, RewriteFromItsOwnStorageSurvivesWidening) {
    DystrarrayPtr d(QLTP_dystrarray_newcustom(0, 0, 2, 1, 512));
    QLTP_dystrarray_add(d.get(), "a", -1);
    QLTP_dystrarray_add(d.get(), "a much longer string", -1);
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 0, QLTP_dystrarray_idx(d.get(), 1), -1), 1);
    ASSERT_EQ(QLTP_dystrarray_append(d.get(), 1, QLTP_dystrarray_idx(d.get(), 0), -1), 1);
    ASSERT_EQ(QLTP_dystrarray_add(d.get(), QLTP_dystrarray_idx(d.get(), 1), -1), 1);
    const std::string both = "a much longer stringa much longer string";
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{"a much longer string", both, both}));
}

TEST(DystrarrayTest, AddDelimKeepsEmptyPieces) {
    struct Case {
        const char* s;
        int len;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"a||b", -1, {"a", "", "b"}},
        {"", -1, {""}},
        {"|", -1, {"", ""}},
        {"x|y|z", 3, {"x", "y"}},
    };
    for (const Case& c : cases) {
        DystrarrayPtr d(QLTP_dystrarray_new(0));
        EXPECT_EQ(QLTP_dystrarray_add_delim(d.get(), c.s, c.len, '|'), 1);
        EXPECT_EQ(strings_of(d.get()), c.expected) << c.s;
    }
    DystrarrayPtr d(QLTP_dystrarray_new(0));
    EXPECT_EQ(QLTP_dystrarray_add_delim(d.get(), nullptr, 3, '|'), 0);
    // A text longer than INT_MAX bytes is refused.
    HugeText huge((uint64_t{1} << 31) + 5);
    EXPECT_EQ(QLTP_dystrarray_add_delim(d.get(), huge.data(), -1, '|'), 0);
    EXPECT_EQ(QLTP_dystrarray_add(d.get(), huge.data(), -1), 0);
    EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 0);
}

TEST(DystrarrayTest, RemoveMovesLaterRecordsDown) {
    DystrarrayPtr d(QLTP_dystrarray_new(0));
    QLTP_dystrarray_add_delim(d.get(), "one,two,three", -1, ',');
    EXPECT_EQ(QLTP_dystrarray_remove(d.get(), 1), 1);
    EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(QLTP_dystrarray_remove(d.get(), 2), 0);
    EXPECT_EQ(QLTP_dystrarray_remove(d.get(), 0), 1);
    EXPECT_EQ(QLTP_dystrarray_remove(d.get(), 0), 1);
    EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 0);
    EXPECT_EQ(QLTP_dystrarray_remove(d.get(), 0), 0);
}

TEST(DystrarrayTest, NewcustomClampsRecordLengthsBelowTwo) {
    for (int reclen : {-5, 0, 1}) {
        DystrarrayPtr d(QLTP_dystrarray_newcustom(3, 0, reclen, 8, 64));
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(bytes_of(d.get()), (Bytes{2, 0, 2, 0, 2, 0})) << reclen;
        EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 3);
        ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 2, "x", -1), 1);
        EXPECT_EQ(strings_of(d.get()), (std::vector<std::string>{"", "", "x"}));

        ASSERT_EQ(QLTP_dystrarray_clearcustom(d.get(), 2, reclen), 1);
        EXPECT_EQ(bytes_of(d.get()), (Bytes{2, 0, 2, 0}));
    }
}

TEST(DystrarrayTest, NewcustomAndClearcustomWriteRecordsOfTheGivenLength) {
    DystrarrayPtr d(QLTP_dystrarray_newcustom(2, 100, 6, 8, 64));
    EXPECT_EQ(bytes_of(d.get()), (Bytes{6, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0}));
    EXPECT_GE(d->capacity, 100u);
    ASSERT_EQ(QLTP_dystrarray_replace(d.get(), 0, "abcd", -1), 1);
    EXPECT_EQ(d->count, 12u);  // fits without widening

    DystrarrayPtr big(QLTP_dystrarray_newcustom(3, 0, 300, 64, 4096));
    EXPECT_EQ(big->count, 900u);
    EXPECT_EQ(QLTP_dystrarray_sz(big.get()), 3);
    ASSERT_EQ(QLTP_dystrarray_replace(big.get(), 1, "mid", -1), 1);
    EXPECT_EQ(strings_of(big.get()), (std::vector<std::string>{"", "mid", ""}));

    // Clearing reuses the kept storage, so stale bytes must not leak into records.
    ASSERT_EQ(QLTP_dystrarray_clearcustom(d.get(), 1, 6), 1);
    EXPECT_EQ(bytes_of(d.get()), (Bytes{6, 0, 0, 0, 0, 0}));
    ASSERT_EQ(QLTP_dystrarray_clear(d.get(), 2), 1);
    EXPECT_EQ(bytes_of(d.get()), (Bytes{2, 0, 2, 0}));
}

TEST(DystrarrayTest, CopyMakesAByteCopy) {
    DystrarrayPtr src(QLTP_dystrarray_new(1));
    QLTP_dystrarray_add(src.get(), "word", -1);
    DystrarrayPtr dst(QLTP_dystrarray_new(5));
    ASSERT_EQ(QLTP_dystrarray_copy(src.get(), dst.get()), 1);
    EXPECT_EQ(bytes_of(dst.get()), bytes_of(src.get()));
    DystrarrayPtr empty(QLTP_dystrarray_new(0));
    ASSERT_EQ(QLTP_dystrarray_copy(empty.get(), dst.get()), 1);
    EXPECT_EQ(QLTP_dystrarray_sz(dst.get()), 0);
    EXPECT_EQ(QLTP_dystrarray_copy(nullptr, dst.get()), 0);
}

TEST(DystrarrayTest, SizeReportsABrokenChain) {
    DystrarrayPtr d(QLTP_dystrarray_new(0));
    QLTP_dystrarray_add(d.get(), "ab", -1);
    QLTP_dystrarray_add(d.get(), "cd", -1);
    d->storage[6] = 0;  // second record's length byte
    testing::internal::CaptureStderr();
    EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Internal structure of dystrarray corrupted: expected size 12, found 6.\n");
    EXPECT_STREQ(QLTP_dystrarray_idx(d.get(), 0), "ab");
    EXPECT_EQ(QLTP_dystrarray_idx(d.get(), 1), nullptr);
    EXPECT_EQ(QLTP_dystrarray_next(d.get(), QLTP_dystrarray_idx(d.get(), 0)), nullptr);
    EXPECT_EQ(QLTP_dystrarray_replace(d.get(), 1, "x", -1), 0);

    d->storage[6] = 40;  // runs past the end
    testing::internal::CaptureStderr();
    EXPECT_EQ(QLTP_dystrarray_sz(d.get()), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("corrupted"), std::string::npos);
}

TEST(DystrarrayTest, WriteThenReadGivesIdenticalBytes) {
    DystrarrayPtr d(QLTP_dystrarray_new(1));
    QLTP_dystrarray_add(d.get(), "alpha", -1);
    QLTP_dystrarray_add(d.get(), std::string(300, 'b').c_str(), -1);
    QLTP_dystrarray_add(d.get(), "gamma", -1);
    for (int swap : {0, 1}) {
        std::vector<char> buf = written(d.get(), swap);
        ASSERT_EQ(buf.size(), 4 + d->count);
        int32_t count = 0;
        std::memcpy(&count, buf.data(), 4);
        if (swap) count = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(count)));
        EXPECT_EQ(count, static_cast<int32_t>(d->count));
        EXPECT_EQ(0, std::memcmp(buf.data() + 4, d->storage, d->count));  // records unchanged

        FilePtr f = file_holding(buf);
        dystrarray* raw = nullptr;
        EXPECT_EQ(QLTP_dystrarray_read(f.get(), &raw, swap), static_cast<int>(d->count) + 1);
        DystrarrayPtr back(raw);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(bytes_of(back.get()), bytes_of(d.get()));
        EXPECT_EQ(strings_of(back.get()), strings_of(d.get()));
    }
    DystrarrayPtr empty(QLTP_dystrarray_new(0));
    FilePtr f = file_holding(written(empty.get(), 0));
    dystrarray* raw = nullptr;
    EXPECT_EQ(QLTP_dystrarray_read(f.get(), &raw, 0), 1);
    DystrarrayPtr back(raw);
    EXPECT_EQ(QLTP_dystrarray_sz(back.get()), 0);
}

TEST(DystrarrayTest, ReadRefusesBadCountsAndBrokenChains) {
    auto with_count = [](int32_t n, Bytes body) {
        std::vector<char> out(4);
        std::memcpy(out.data(), &n, 4);
        out.insert(out.end(), body.begin(), body.end());
        return out;
    };
    const std::vector<char> bad[] = {
        {},                                     // no count
        with_count(-4, {2, 0}),                 // negative count
        with_count(8, {4, 'a', 0, 0}),          // fewer bytes than the count
        with_count(2000000000, {4, 'a', 0, 0}), // huge count
        with_count(4, {0, 'a', 0, 0}),          // zero length byte
        with_count(4, {1, 'a', 0, 0}),          // record without its NUL
        with_count(4, {6, 'a', 0, 0}),          // record past the end
        with_count(4, {4, 'a', 'b', 'c'}),      // string not terminated in its record
        with_count(4, {255, 'a', 'b', 'c'}),    // long record without a NUL
    };
    for (const auto& data : bad) {
        FilePtr f = file_holding(data);
        dystrarray* out = reinterpret_cast<dystrarray*>(&out);
        EXPECT_EQ(QLTP_dystrarray_read(f.get(), &out, 0), 0);
        EXPECT_EQ(out, nullptr);
    }
}

TEST(DystrarrayTest, ReadSurvivesRandomInput) {
    std::mt19937 rng(1234);
    DystrarrayPtr good(QLTP_dystrarray_new(2));
    QLTP_dystrarray_add_delim(good.get(), "some,words,to,mutate", -1, ',');
    QLTP_dystrarray_add(good.get(), std::string(270, 'L').c_str(), -1);
    const std::vector<char> base = written(good.get(), 0);
    for (int round = 0; round < 3000; ++round) {
        std::vector<char> data = base;
        if (round % 3 == 0) {
            data.resize(rng() % 40);
            for (char& c : data) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
            if (data.size() >= 4) {
                int32_t n = static_cast<int32_t>(data.size() - 4 + rng() % 3) - 1;
                std::memcpy(data.data(), &n, 4);
            }
        } else {
            int flips = 1 + static_cast<int>(rng() % 4);
            for (int k = 0; k < flips; ++k) data[4 + rng() % (data.size() - 4)] = static_cast<char>(rng());
            if (round % 7 == 0) data.resize(rng() % data.size());
        }
        FilePtr f = file_holding(data);
        dystrarray* raw = nullptr;
        int got = QLTP_dystrarray_read(f.get(), &raw, static_cast<int>(rng() % 2));
        DystrarrayPtr d(raw);
        if (!d) {
            EXPECT_EQ(got, 0);
            continue;
        }
        int n = QLTP_dystrarray_sz(d.get());
        for (int i = 0; i < n; ++i) {
            ASSERT_NE(QLTP_dystrarray_idx(d.get(), i), nullptr);
            EXPECT_LT(std::strlen(QLTP_dystrarray_idx(d.get(), i)), d->count);
        }
        EXPECT_EQ(QLTP_dystrarray_idx(d.get(), n), nullptr);
        if (n > 0) {
            EXPECT_EQ(QLTP_dystrarray_replace(d.get(), n - 1, "replacement text", -1), 1);
            EXPECT_EQ(QLTP_dystrarray_sz(d.get()), n);
        }
    }
}
