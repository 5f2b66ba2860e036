#include "foundation/list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/strutil.h"

namespace {

std::vector<std::string> Values(const strlist* l) {
    std::vector<std::string> out;
    for (int i = 0; i < QLTP_strlist_sz(l); ++i) out.push_back(QLTP_strlist_idx(l, i));
    return out;
}

TEST(ListTest, PushAppendPopKeepOrder) {
    strlist* pushed = QLTP_strlist_new();
    EXPECT_EQ(QLTP_strlist_sz(pushed), 0);
    EXPECT_EQ(QLTP_strlist_idx(pushed, 0), nullptr);
    for (const char* s : {"a", "b", "c"}) pushed = QLTP_strlist_push(pushed, s, -1);
    EXPECT_EQ(Values(pushed), (std::vector<std::string>{"c", "b", "a"}));

    strlist* appended = QLTP_strlist_new();
    for (const char* s : {"apple", "banana", "cherry"}) EXPECT_EQ(QLTP_strlist_append(appended, s, 3), 1);
    EXPECT_EQ(Values(appended), (std::vector<std::string>{"app", "ban", "che"}));
    EXPECT_STREQ(QLTP_strlist_val(QLTP_list_last(appended)), "che");
    EXPECT_EQ(QLTP_strlist_idx(appended, 3), nullptr);
    EXPECT_EQ(QLTP_strlist_idx(appended, -1), nullptr);

    // Popping hands out the first node and gives the rest.
    strlist* head = nullptr;
    strlist* rest = QLTP_strlist_pop(appended, &head);
    EXPECT_STREQ(QLTP_strlist_val(head), "app");
    EXPECT_EQ(head->next, nullptr);
    EXPECT_EQ(Values(rest), (std::vector<std::string>{"ban", "che"}));
    QLTP_strlist_delete(head);
    rest = QLTP_strlist_popdelete(rest);
    EXPECT_EQ(Values(rest), (std::vector<std::string>{"che"}));
    // The only node: a new empty list comes back.
    rest = QLTP_strlist_pop(rest, &head);
    EXPECT_EQ(QLTP_strlist_sz(rest), 0);
    EXPECT_STREQ(QLTP_strlist_val(head), "che");
    QLTP_strlist_delete(head);
    EXPECT_EQ(QLTP_strlist_append(rest, "x", -1), 1);
    EXPECT_EQ(Values(rest), (std::vector<std::string>{"x"}));
    QLTP_strlist_delete(rest);

    QLTP_strlist_clear(pushed);
    EXPECT_EQ(QLTP_strlist_sz(pushed), 0);
    pushed = QLTP_strlist_push(pushed, "again", -1);
    EXPECT_EQ(Values(pushed), (std::vector<std::string>{"again"}));
    QLTP_strlist_delete(pushed);

    EXPECT_EQ(QLTP_list_append(nullptr, nullptr), 0);
    EXPECT_EQ(QLTP_list_pop(nullptr, &head), nullptr);
    EXPECT_EQ(QLTP_list_sz(nullptr), 0);
    EXPECT_EQ(QLTP_list_val(nullptr), nullptr);
    QLTP_list_delete(nullptr);
}

TEST(ListTest, PointerListOwnsItsValues) {
    list* l = QLTP_list_new();
    std::vector<int*> values;
    for (int i = 0; i < 50; ++i) {
        auto* v = static_cast<int*>(QLTP_malloc(sizeof(int)));
        *v = i;
        values.push_back(v);
        if (i % 2)
            ASSERT_EQ(QLTP_list_append(l, v), 1);
        else
            l = QLTP_list_push(l, v);
    }
    ASSERT_EQ(QLTP_list_sz(l), 50);
    // Even values were pushed in front (in reverse), odd ones appended.
    for (int k = 0; k < 25; ++k) {
        EXPECT_EQ(*static_cast<int*>(QLTP_list_idx(l, k)), 48 - 2 * k);
        EXPECT_EQ(*static_cast<int*>(QLTP_list_idx(l, 25 + k)), 2 * k + 1);
    }
    QLTP_list_delete(l);  // ASan reports any value left behind
}

}  // namespace
