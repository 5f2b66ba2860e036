#include "foundation/carray.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/strutil.h"

namespace {

TEST(CarrayTest, WidthsFollowTheLargestValues) {
    std::vector<char> src(300 * 8, 'x');
    struct Case {
        uint32_t elsize;
        int owns, count;
        uint8_t flag;
        int header;
    } cases[] = {
        {4, 0, 10, 0x00, 2},      {4, 0, 300, 0x10, 3},     {1, 0, 255, 0x00, 2},  {1, 0, 256, 0x10, 3},
        {255, 0, 1, 0x00, 2},     {256, 0, 1, 0x40, 3},     {8, 1, 2, 0x01, 2},    {70000, 1, 1, 0x81, 5},
        {2, 0, 65536, 0x20, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.elsize) + " x " + std::to_string(c.count));
        // Owning arrays start with NULL pointers.
        const void* from = !c.owns && uint64_t{c.elsize} * c.count <= src.size() ? src.data() : nullptr;
        carray* ca = QLTP_carray_new(c.elsize, c.owns, from, c.count);
        ASSERT_NE(ca, nullptr);
        EXPECT_EQ(ca->flag, c.flag);
        uint32_t elsize = 0;
        int count = 0, header = 0;
        ASSERT_EQ(QLTP_carray_info(ca, &elsize, &count, &header), 1);
        EXPECT_EQ(elsize, c.elsize);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(header, c.header);
        EXPECT_EQ(QLTP_carray_sz(ca), c.count);
        EXPECT_EQ(QLTP_carray_szof(ca), c.elsize);
        auto* last = static_cast<unsigned char*>(QLTP_carray_idx(ca, c.count - 1));
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(last, ca->block + c.header + uint64_t{c.elsize} * (c.count - 1));
        EXPECT_EQ(last[c.elsize - 1], from ? 'x' : 0);
        EXPECT_EQ(QLTP_carray_idx(ca, c.count), nullptr);
        EXPECT_EQ(QLTP_carray_idx(ca, -1), nullptr);
        QLTP_carray_delete(ca);
    }
    EXPECT_EQ(QLTP_carray_new(0, 0, src.data(), 3), nullptr);
    EXPECT_EQ(QLTP_carray_new(4, 0, src.data(), 0), nullptr);
    EXPECT_EQ(QLTP_carray_new(4, 1, src.data(), 3), nullptr);  // a pointer does not fit
    EXPECT_EQ(QLTP_carray_new(1u << 31, 0, nullptr, 4), nullptr);
}

TEST(CarrayTest, OwningArrayFreesItsPointers) {
    char* owned[3] = {QLTP_strndup("one", -1), nullptr, QLTP_strndup("three", -1)};
    carray* ca = QLTP_carray_new(sizeof(char*), 1, owned, 3);
    ASSERT_NE(ca, nullptr);
    char* second;
    std::memcpy(&second, QLTP_carray_idx(ca, 2), sizeof second);
    EXPECT_STREQ(second, "three");
    QLTP_carray_delete(ca);  // ASan reports a leak otherwise
}

TEST(CarrayTest, StringFormRoundTripsAndChecksItsCount) {
    std::mt19937 rng(8);
    for (int trial = 0; trial < 30; ++trial) {
        int n = 1 + static_cast<int>(rng() % 20);
        std::string block;
        for (int i = 0; i < n; ++i) block += std::string(rng() % 6, static_cast<char>('a' + i % 26)) + '\0';
        auto* owned = static_cast<char*>(QLTP_malloc(block.size()));
        std::memcpy(owned, block.data(), block.size());
        strcarray* ca = QLTP_strcarray_new_const(owned, n);
        ASSERT_EQ(QLTP_strcarray_sz(ca), n);
        EXPECT_EQ(QLTP_strcarray_idx(ca, n), nullptr);
        for (int swap : {0, 1}) {
            std::string bytes(QLTP_strcarray_write_sz(ca), '\0');
            ASSERT_EQ(bytes.size(), 8 + block.size());
            ASSERT_EQ(QLTP_strcarray_write(ca, bytes.data(), swap), bytes.data() + bytes.size());
            FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
            strcarray* back = nullptr;
            EXPECT_GT(QLTP_strcarray_read(f, &back, swap), 0);
            std::fclose(f);
            ASSERT_EQ(QLTP_strcarray_sz(back), n);
            for (int i = 0; i < n; ++i) EXPECT_STREQ(QLTP_strcarray_idx(back, i), QLTP_strcarray_idx(ca, i));
            QLTP_strcarray_delete(back);
        }
        QLTP_strcarray_delete(ca);
    }
    auto read = [](std::vector<int32_t> head, const std::string& strings) {
        std::string bytes(reinterpret_cast<const char*>(head.data()), 8);
        bytes += strings;
        FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
        strcarray* ca = nullptr;
        int got = QLTP_strcarray_read(f, &ca, 0);
        std::fclose(f);
        bool made = ca != nullptr;
        QLTP_strcarray_delete(ca);
        return std::make_pair(got, made);
    };
    EXPECT_EQ(read({0, 0}, ""), std::make_pair(2, false));                      // empty: no array
    EXPECT_EQ(read({3, 4}, std::string("ab\0c\0", 5)).second, false);           // total disagrees
    EXPECT_EQ(read({3, 5}, std::string("ab\0c\0", 5)).first, 0);                // two strings, not three
    EXPECT_EQ(read({1, 5}, std::string("ab\0c\0", 5)).first, 0);                // one string, not two
    EXPECT_EQ(read({2, 5}, std::string("ab\0c\0", 5)), std::make_pair(7, true));
}

}  // namespace
