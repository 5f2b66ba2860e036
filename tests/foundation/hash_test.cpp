#include "foundation/hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct HashDeleter {
    void operator()(hash* h) const { QLTP_hash_delete(h); }
};
using HashPtr = std::unique_ptr<hash, HashDeleter>;

constexpr uint32_t M = 17109811u;

std::vector<std::string> chain(const hash* h, int b) {
    std::vector<std::string> out;
    for (const hash_entry* e = h->buckets[b]; e; e = e->next) out.emplace_back(e->key, static_cast<size_t>(e->keylen));
    return out;
}

}  // namespace

TEST(HashTest, BucketCountIsThePowerOfTwoAtOrAboveTheHint) {
    const std::pair<int, int> cases[] = {{-1, 2}, {0, 2}, {2, 2}, {3, 4}, {4, 4}, {5, 8}, {100, 128}, {128, 128}};
    for (auto [hint, buckets] : cases) {
        HashPtr h(QLTP_hash_new(hint, 1));
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->nbuckets, buckets) << hint;
        EXPECT_EQ(h->count, 0);
        for (int b = 0; b < h->nbuckets; ++b) EXPECT_EQ(h->buckets[b], nullptr);
    }
}

TEST(HashTest, HashFunctionReadsBytePairsAsSignedNumbers) {
    // 'a' alone: ((0x61 * 256) * M + 1) * M.
    EXPECT_EQ(QLTP_hash_value("a", 1), ((0x61u * 256u) * M + 1u) * M);
    // 0xC3 0xA9 count as -61 and -87.
    const uint32_t pair = static_cast<uint32_t>(-61 * 256 - 87);
    EXPECT_EQ(QLTP_hash_value("\xC3\xA9", 2), (pair * M + 2u) * M);
    const uint32_t ab = ((0x61u * 256u + 0x62u) * M + 0x63u * 256u) * M;
    EXPECT_EQ(QLTP_hash_value("abc", 3), (ab + 3u) * M);
    EXPECT_EQ(QLTP_hash_value("", 0), 0u);
    EXPECT_EQ(QLTP_hash_value("abc", -1), QLTP_hash_value("abc", 3));
    // A key with a NUL inside hashes all its bytes.
    EXPECT_EQ(QLTP_hash_value("a\0b", 3), (((0x61u * 256u) * M + 0x62u * 256u) * M + 3u) * M);
}

TEST(HashTest, HashFunctionWritesLowBitsAsNonZeroBytes) {
    const uint32_t h = QLTP_hash_value("word", 4);
    unsigned char out[4] = {};
    uint32_t v = QLTP_hash_function("word", 4, out, 32);
    uint32_t expected = 0;
    for (int k = 0; k < 4; ++k) {
        unsigned byte = (h >> (8 * k)) & 0xFF;
        if (byte == 0) byte = 1;
        EXPECT_EQ(out[k], byte);
        expected |= byte << (8 * k);
    }
    EXPECT_EQ(v, expected);
    EXPECT_EQ(QLTP_hash_function("word", 0, nullptr, 32), v);  // length below 1: up to the NUL

    unsigned char twelve[2] = {};
    v = QLTP_hash_function("word", 4, twelve, 12);
    unsigned lo = h & 0xFF, hi = (h >> 8) & 0x0F;
    EXPECT_EQ(twelve[0], lo ? lo : 1u);
    EXPECT_EQ(twelve[1], hi ? hi : 1u);
    EXPECT_EQ(v, (lo ? lo : 1u) | (hi ? hi : 1u) << 8);
    EXPECT_EQ(QLTP_hash_function("word", 4, out, 0), 0u);

    // Find a key whose low byte hashes to 0: it must come out as 1.
    for (int i = 0; i < 100000; ++i) {
        std::string key = "k" + std::to_string(i);
        if ((QLTP_hash_value(key.data(), static_cast<int>(key.size())) & 0xFF) != 0) continue;
        unsigned char one = 0;
        EXPECT_EQ(QLTP_hash_function(key.data(), static_cast<int>(key.size()), &one, 8), 1u);
        EXPECT_EQ(one, 1);
        break;
    }
}

TEST(HashTest, InsertUniqCopiesNewKeysToTheEndOfTheirChain) {
    HashPtr h(QLTP_hash_new(0, 1));  // 2 buckets: chains get long
    std::vector<std::string> keys = {"one", "two", "three", "four", "five", "six", "seven"};
    std::vector<std::vector<std::string>> expected(2);
    for (size_t i = 0; i < keys.size(); ++i) {
        std::string buffer = keys[i] + "XYZ";  // the key is the first bytes only
        char* copy = QLTP_hash_insert_uniq(h.get(), buffer.data(), static_cast<int>(keys[i].size()), static_cast<int>(i));
        ASSERT_NE(copy, nullptr);
        EXPECT_STREQ(copy, keys[i].c_str());
        EXPECT_NE(copy, buffer.data());
        expected[QLTP_hash_value(keys[i].data(), static_cast<int>(keys[i].size())) & 1].push_back(keys[i]);
    }
    EXPECT_EQ(h->count, 7);
    EXPECT_EQ(chain(h.get(), 0), expected[0]);
    EXPECT_EQ(chain(h.get(), 1), expected[1]);
    EXPECT_EQ(QLTP_hash_insert_uniq(h.get(), "four", 4, 99), nullptr);
    EXPECT_EQ(h->count, 7);

    hash_entry* e = QLTP_hash_match(h.get(), "four", 4);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->value, 3);
    EXPECT_EQ(QLTP_hash_match(h.get(), "fou", 3), nullptr);
    EXPECT_EQ(QLTP_hash_match(h.get(), "four", -1), nullptr);  // the length must be given
    EXPECT_EQ(QLTP_hash_match(h.get(), "fourX", 5), nullptr);
    EXPECT_EQ(QLTP_hash_match(nullptr, "four", 4), nullptr);
    EXPECT_EQ(QLTP_hash_insert_uniq(h.get(), "bad", -1, 0), nullptr);

    ASSERT_NE(QLTP_hash_insert_uniq(h.get(), "", 0, 42), nullptr);  // the empty key lives in bucket 0
    EXPECT_EQ(chain(h.get(), 0).back(), "");
    ASSERT_NE(QLTP_hash_match(h.get(), "", 0), nullptr);
    EXPECT_EQ(QLTP_hash_match(h.get(), "", 0)->value, 42);
}

TEST(HashTest, LinkingTableTakesTheCallersEntries) {
    HashPtr h(QLTP_hash_new(8, 0));
    char k1[] = "alpha", k2[] = "beta", k3[] = "alpha";
    hash_entry e1{nullptr, k1, 5, 1}, e2{nullptr, k2, 4, 2}, e3{nullptr, k3, 5, 3};
    EXPECT_EQ(QLTP_hash_insert_uniq_const(h.get(), &e1), 1);
    EXPECT_EQ(QLTP_hash_insert_uniq_const(h.get(), &e2), 1);
    EXPECT_EQ(QLTP_hash_insert_uniq_const(h.get(), &e3), 0);  // key present
    EXPECT_EQ(h->count, 2);
    EXPECT_EQ(QLTP_hash_match(h.get(), "alpha", 5), &e1);
    EXPECT_EQ(QLTP_hash_match(h.get(), "beta", 4), &e2);
    EXPECT_EQ(QLTP_hash_insert_uniq(h.get(), "gamma", 5, 0), nullptr);  // wrong type

    HashPtr owning(QLTP_hash_new(8, 1));
    EXPECT_EQ(QLTP_hash_insert_uniq_const(owning.get(), &e3), 0);  // wrong type
    QLTP_hash_delete(nullptr);
}
