#include "foundation/array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/strutil.h"

namespace {

struct ArrayDeleter {
    void operator()(array* a) const { QLTP_array_delete(a); }
};
using ArrayPtr = std::unique_ptr<array, ArrayDeleter>;

ArrayPtr ints(uint32_t increment = 8, uint32_t keep = 256) {
    return ArrayPtr(QLTP_array_new(increment, keep, sizeof(int32_t), 0));
}

std::vector<int32_t> values(const array* a) {
    std::vector<int32_t> out(a->count);
    if (a->count) std::memcpy(out.data(), a->storage, a->count * sizeof(int32_t));
    return out;
}

ArrayPtr ints_of(std::vector<int32_t> v) {
    ArrayPtr a = ints();
    EXPECT_EQ(QLTP_array_append(a.get(), v.data(), static_cast<int>(v.size())), 1);
    return a;
}

char* heap_string(const char* s) { return QLTP_strndup(s, -1); }

}  // namespace

TEST(ArrayTest, GrowsByIncrementThenDoublesPast32Increments) {
    ArrayPtr a = ints();
    std::vector<uint32_t> capacities;
    for (int32_t i = 0; i < 1100; ++i) {
        uint32_t before = a->capacity;
        ASSERT_EQ(QLTP_array_append(a.get(), &i, 1), 1);
        if (a->capacity != before) capacities.push_back(a->capacity);
    }
    std::vector<uint32_t> expected;
    for (uint32_t c = 8; c <= 288; c += 8) expected.push_back(c);
    for (uint32_t c = 304; c <= 544; c += 16) expected.push_back(c);
    for (uint32_t c = 576; c <= 1056; c += 32) expected.push_back(c);
    expected.push_back(1120);
    EXPECT_EQ(capacities, expected);
    EXPECT_EQ(a->increment, 64u);
    for (int32_t i = 0; i < 1100; ++i) ASSERT_EQ(*static_cast<int32_t*>(QLTP_array_idx(a.get(), i)), i);
}

TEST(ArrayTest, GrowsStraightToABigNeed) {
    ArrayPtr a = ints();
    ASSERT_EQ(QLTP_array_extend(a.get(), 100), 1);
    EXPECT_EQ(a->capacity, 100u);
    EXPECT_EQ(a->count, 0u);
    EXPECT_EQ(QLTP_array_extend(a.get(), 100), 1);  // room already
    EXPECT_EQ(a->capacity, 100u);
    EXPECT_EQ(QLTP_array_extend(a.get(), 0), 1);
    EXPECT_EQ(QLTP_array_extend(nullptr, 5), 0);
}

TEST(ArrayTest, ExtendszClaimsOnlyReservedRoom) {
    ArrayPtr a = ints();
    ASSERT_EQ(QLTP_array_extend(a.get(), 5), 1);
    EXPECT_EQ(QLTP_array_extendsz(a.get(), 8), 1);
    EXPECT_EQ(a->count, 8u);
    EXPECT_EQ(QLTP_array_extendsz(a.get(), 1), 0);
    EXPECT_EQ(a->count, 8u);
    EXPECT_EQ(QLTP_array_extendsz(a.get(), -3), 1);
    EXPECT_EQ(values(a.get()), std::vector<int32_t>(8, 0));
}

TEST(ArrayTest, ClearKeepsStorageUpToKeepSize) {
    ArrayPtr big = ints(8, 256);
    ASSERT_EQ(QLTP_array_extend(big.get(), 512), 1);
    ASSERT_EQ(QLTP_array_extendsz(big.get(), 10), 1);
    QLTP_array_clear(big.get());
    EXPECT_EQ(big->storage, nullptr);
    EXPECT_EQ(big->capacity, 0u);
    EXPECT_EQ(big->count, 0u);

    ArrayPtr small = ints(8, 256);
    ASSERT_EQ(QLTP_array_extend(small.get(), 200), 1);
    ASSERT_EQ(QLTP_array_extendsz(small.get(), 10), 1);
    unsigned char* storage = small->storage;
    QLTP_array_clear(small.get());
    EXPECT_EQ(small->storage, storage);
    EXPECT_EQ(small->capacity, 200u);
    EXPECT_EQ(small->count, 0u);
    QLTP_array_clear(nullptr);
}

TEST(ArrayTest, IdxRejectsNegativeAndPastCount) {
    ArrayPtr a = ints_of({10, 20, 30});
    EXPECT_EQ(*static_cast<int32_t*>(QLTP_array_idx(a.get(), 2)), 30);
    EXPECT_EQ(QLTP_array_idx(a.get(), 3), nullptr);
    EXPECT_EQ(QLTP_array_idx(a.get(), -1), nullptr);
    EXPECT_EQ(QLTP_array_idx(nullptr, 0), nullptr);
}

TEST(ArrayTest, InsertRangeClampsPositionAndZeroFillsWithoutSource) {
    ArrayPtr a = ints_of({1, 2, 3});
    int32_t x[] = {7, 8};
    ASSERT_EQ(QLTP_array_insert_range(a.get(), x, 2, -5), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{7, 8, 1, 2, 3}));
    ASSERT_EQ(QLTP_array_insert_range(a.get(), x, 1, 99), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{7, 8, 1, 2, 3, 7}));
    ASSERT_EQ(QLTP_array_insert_range(a.get(), nullptr, 2, 1), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{7, 0, 0, 8, 1, 2, 3, 7}));
    EXPECT_EQ(QLTP_array_insert_range(nullptr, x, 1, 0), 0);
}

TEST(ArrayTest, FillAppendsCopiesOfOneElement) {
    ArrayPtr a = ints_of({1});
    int32_t v = 4;
    ASSERT_EQ(QLTP_array_fill(a.get(), &v, 3), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{1, 4, 4, 4}));
    // The element may come from the array itself, even when it must grow.
    ASSERT_EQ(QLTP_array_fill(a.get(), QLTP_array_idx(a.get(), 0), 10), 1);
    EXPECT_EQ(values(a.get()).back(), 1);
    EXPECT_EQ(a->count, 14u);
}

TEST(ArrayTest, ResizeGrowsWithZerosAndShrinksWithoutReexposingData) {
    ArrayPtr a = ints_of({1, 2, 3});
    ASSERT_EQ(QLTP_array_resize(a.get(), 5), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{1, 2, 3, 0, 0}));
    ASSERT_EQ(QLTP_array_resize(a.get(), 1), 1);
    ASSERT_EQ(QLTP_array_resize(a.get(), 3), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{1, 0, 0}));
    EXPECT_EQ(QLTP_array_resize(a.get(), -1), 0);
    EXPECT_EQ(a->count, 3u);
}

TEST(ArrayTest, DeleteRangeCutsClampsAndClears) {
    ArrayPtr a = ints_of({0, 1, 2, 3, 4, 5});
    ASSERT_EQ(QLTP_array_delete_range(a.get(), 4, 10), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{0, 1, 2, 3}));
    // Vacated slots are zero.
    EXPECT_EQ(reinterpret_cast<int32_t*>(a->storage)[4], 0);
    ASSERT_EQ(QLTP_array_delete_range(a.get(), 1, 2), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{0, 3}));
    EXPECT_EQ(QLTP_array_delete_range(a.get(), 2, 1), 1);  // at count: nothing
    EXPECT_EQ(QLTP_array_delete_range(a.get(), 0, 0), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{0, 3}));

    // A negative position is clamped to 0 rather than reading before the
    // storage.
    ArrayPtr b = ints_of({0, 1, 2, 3, 4});
    ASSERT_EQ(QLTP_array_delete_range(b.get(), -3, 2), 1);
    EXPECT_EQ(values(b.get()), (std::vector<int32_t>{2, 3, 4}));
    ASSERT_EQ(QLTP_array_delete_range(b.get(), -1, 3), 1);
    EXPECT_EQ(b->count, 0u);
}

TEST(ArrayTest, DeleteUptoRemovesHead) {
    ArrayPtr a = ints_of({0, 1, 2, 3});
    ASSERT_EQ(QLTP_array_delete_upto(a.get(), 3), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{3}));
    ASSERT_EQ(QLTP_array_delete_upto(a.get(), 0), 1);
    EXPECT_EQ(a->count, 1u);
    ASSERT_EQ(QLTP_array_delete_upto(a.get(), 5), 1);
    EXPECT_EQ(a->count, 0u);
}

TEST(ArrayTest, OwningArrayFreesElementsAndSkipsNull) {
    // Run under the leak checker: every string below must be freed once.
    ArrayPtr a(QLTP_array_new(4, 256, sizeof(char*), 1));
    const char* words[] = {"a", "b", "c", "d", "e", "f"};
    for (const char* w : words) {
        char* p = heap_string(w);
        ASSERT_EQ(QLTP_array_append(a.get(), &p, 1), 1);
    }
    char* none = nullptr;
    ASSERT_EQ(QLTP_array_append(a.get(), &none, 1), 1);
    ASSERT_EQ(QLTP_array_delete_range(a.get(), 1, 2), 1);
    EXPECT_STREQ(*static_cast<char**>(QLTP_array_idx(a.get(), 1)), "d");
    ASSERT_EQ(QLTP_array_delete_upto(a.get(), 1), 1);
    EXPECT_STREQ(*static_cast<char**>(QLTP_array_idx(a.get(), 0)), "d");
    ASSERT_EQ(QLTP_array_resize(a.get(), 2), 1);  // drops "f" and the NULL
    EXPECT_EQ(a->count, 2u);
    QLTP_array_clear(a.get());
    // Cleared slots are zeroed, so a resize cannot hand out freed pointers.
    ASSERT_EQ(QLTP_array_resize(a.get(), 2), 1);
    EXPECT_EQ(*static_cast<char**>(QLTP_array_idx(a.get(), 0)), nullptr);
    EXPECT_EQ(*static_cast<char**>(QLTP_array_idx(a.get(), 1)), nullptr);
    char* last = heap_string("z");
    ASSERT_EQ(QLTP_array_append(a.get(), &last, 1), 1);
    // delete frees "z"
}

TEST(ArrayTest, AppendNullWritesOverTerminatorAndGrows) {
    ArrayPtr a(QLTP_array_new(2, 256, 1, 0));
    // An empty array: the bytes go first, the terminator after them.
    ASSERT_EQ(QLTP_array_append_null(a.get(), "ab", 2), 1);
    EXPECT_EQ(a->count, 3u);
    EXPECT_STREQ(reinterpret_cast<char*>(a->storage), "ab");
    // A full array grows instead of writing past its storage.
    ASSERT_EQ(QLTP_array_append_null(a.get(), "cdefghij", 8), 1);
    EXPECT_EQ(a->count, 11u);
    EXPECT_STREQ(reinterpret_cast<char*>(a->storage), "abcdefghij");
    EXPECT_EQ(QLTP_array_append_null(a.get(), nullptr, 3), 0);
    EXPECT_EQ(QLTP_array_append_null(nullptr, "x", 1), 0);
}

TEST(ArrayTest, SourceInsideOwnStorageSurvivesGrowth) {
    // The source lies in storage that the growth frees; it must be copied
    // from its new place, not read after being freed.
    ArrayPtr a(QLTP_array_new(4, 256, 1, 0));
    ASSERT_EQ(QLTP_array_append(a.get(), "abcd", 4), 1);
    ASSERT_EQ(a->capacity, 4u);
    ASSERT_EQ(QLTP_array_append(a.get(), a->storage, 4), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a->storage), a->count), "abcdabcd");

    ASSERT_EQ(QLTP_array_replace(a.get(), a->storage + 2, 6), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a->storage), a->count), "cdabcd");

    ASSERT_EQ(QLTP_array_insert_range(a.get(), a->storage, 6, 3), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(a->storage), a->count), "cdacdabcdbcd");

    ArrayPtr t(QLTP_array_new(1, 256, 1, 0));
    ASSERT_EQ(QLTP_array_append_null(t.get(), "xy", 2), 1);
    ASSERT_EQ(QLTP_array_append_null(t.get(), t->storage, 2), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(t->storage), "xyxy");
}

TEST(ArrayTest, ReplaceZeroesOldTailAndRejectsOwningArrays) {
    ArrayPtr a(QLTP_array_new(8, 256, 1, 0));
    ASSERT_EQ(QLTP_array_append(a.get(), "abcdef", 6), 1);
    ASSERT_EQ(QLTP_array_replace(a.get(), "xy", 2), 1);
    EXPECT_EQ(a->count, 2u);
    for (int i = 2; i < 6; ++i) EXPECT_EQ(a->storage[i], 0) << i;
    ArrayPtr owning(QLTP_array_new(8, 256, sizeof(char*), 1));
    char* p = nullptr;
    EXPECT_EQ(QLTP_array_replace(owning.get(), &p, 1), 0);
    EXPECT_EQ(QLTP_array_replace(nullptr, "x", 1), 0);
}

TEST(ArrayTest, NullAndEmptyInputsAreHarmless) {
    ArrayPtr a = ints();
    EXPECT_EQ(QLTP_array_append(nullptr, "x", 1), 0);
    EXPECT_EQ(QLTP_array_append(a.get(), nullptr, 3), 0);
    EXPECT_EQ(QLTP_array_append(a.get(), nullptr, 0), 1);
    EXPECT_EQ(QLTP_array_fill(a.get(), nullptr, 2), 0);
    EXPECT_EQ(QLTP_array_delete_range(nullptr, 0, 1), 0);
    EXPECT_EQ(QLTP_array_resize(nullptr, 1), 0);
    EXPECT_EQ(QLTP_array_new(8, 8, 0, 0), nullptr);
    QLTP_array_delete(nullptr);
    EXPECT_EQ(a->count, 0u);
}
