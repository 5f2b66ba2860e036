#include "foundation/voidparray.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Deleter {
    void operator()(voidparray* a) const { QLTP_voidparray_delete(a); }
};
using VoidpPtr = std::unique_ptr<voidparray, Deleter>;

}  // namespace

TEST(VoidparrayTest, HoldsPointersInOrderWithoutOwningThem) {
    int x = 1, y = 2, z = 3;
    VoidpPtr a(QLTP_voidparray_new());
    ASSERT_EQ(a->increment, 8u);
    ASSERT_EQ(a->keep, 64u);
    ASSERT_EQ(QLTP_voidparray_add(a.get(), &x), 1);
    ASSERT_EQ(QLTP_voidparray_add(a.get(), &z), 1);
    ASSERT_EQ(QLTP_voidparray_insert_item(a.get(), &y, 1), 1);
    ASSERT_EQ(QLTP_voidparray_insert_item(a.get(), &z, -3), 1);
    EXPECT_EQ(QLTP_voidparray_sz(a.get()), 4);
    EXPECT_EQ(QLTP_voidparray_idx(a.get(), 0), &z);
    EXPECT_EQ(QLTP_voidparray_idx(a.get(), 1), &x);
    EXPECT_EQ(QLTP_voidparray_idx(a.get(), 2), &y);
    EXPECT_EQ(QLTP_voidparray_end(a.get()), &z);
    EXPECT_EQ(QLTP_voidparray_idx(a.get(), 4), nullptr);
    EXPECT_EQ(QLTP_voidparray_idx(a.get(), -1), nullptr);
    EXPECT_EQ(QLTP_voidparray_replace(a.get(), 0, &y), 1);
    EXPECT_EQ(QLTP_voidparray_replace(a.get(), 9, &y), 0);
    EXPECT_EQ(QLTP_voidparray_remove_item(a.get(), 1), &x);
    EXPECT_EQ(QLTP_voidparray_sz(a.get()), 3);
    EXPECT_EQ(QLTP_voidparray_delete_range(a.get(), 1, 5), 1);
    EXPECT_EQ(QLTP_voidparray_sz(a.get()), 1);
    QLTP_voidparray_clear(a.get());
    EXPECT_EQ(QLTP_voidparray_end(a.get()), nullptr);
}

TEST(VoidparrayTest, RemoveItemOfNullOrMissingElementRemovesNothing) {
    VoidpPtr a(QLTP_voidparray_newcustom(10, 4, 16));
    EXPECT_GE(a->capacity, 10u);
    ASSERT_EQ(QLTP_voidparray_add(a.get(), nullptr), 1);
    EXPECT_EQ(QLTP_voidparray_remove_item(a.get(), 0), nullptr);
    EXPECT_EQ(QLTP_voidparray_sz(a.get()), 1);
    EXPECT_EQ(QLTP_voidparray_remove_item(a.get(), 5), nullptr);
    EXPECT_EQ(QLTP_voidparray_remove_item(nullptr, 0), nullptr);
    EXPECT_EQ(QLTP_voidparray_sz(nullptr), 0);
    EXPECT_EQ(QLTP_voidparray_end(nullptr), nullptr);
    EXPECT_EQ(QLTP_voidparray_add(nullptr, a.get()), 0);
}

TEST(VoidparrayTest, ExtendszClaimsReservedNullSlots) {
    VoidpPtr a(QLTP_voidparray_new());
    ASSERT_EQ(QLTP_voidparray_extend(a.get(), 3), 1);
    ASSERT_EQ(QLTP_voidparray_extendsz(a.get(), 3), 1);
    EXPECT_EQ(QLTP_voidparray_sz(a.get()), 3);
    EXPECT_EQ(QLTP_voidparray_idx(a.get(), 2), nullptr);
    EXPECT_EQ(QLTP_voidparray_extendsz(a.get(), 100), 0);
}
