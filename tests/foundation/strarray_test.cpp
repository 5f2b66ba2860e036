#include "foundation/strarray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/strutil.h"

namespace {

struct Deleter {
    void operator()(strarray* a) const { QLTP_strarray_delete(a); }
    void operator()(char* s) const { QLTP_free(s); }
    void operator()(FILE* f) const { std::fclose(f); }
};
using StrPtr = std::unique_ptr<strarray, Deleter>;
using CharPtr = std::unique_ptr<char, Deleter>;
using FilePtr = std::unique_ptr<FILE, Deleter>;

std::vector<std::string> strings(const strarray* a) {
    std::vector<std::string> out;
    for (int i = 0; i < QLTP_strarray_sz(a); ++i) out.emplace_back(QLTP_strarray_idx(a, i));
    return out;
}

StrPtr of(std::initializer_list<const char*> list) {
    StrPtr a(QLTP_strarray_new());
    for (const char* s : list) EXPECT_EQ(QLTP_strarray_add(a.get(), s, -1), 1);
    return a;
}

FilePtr file_of(const std::vector<unsigned char>& bytes) {
    FILE* f = std::tmpfile();
    if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    if (f) std::rewind(f);
    return FilePtr(f);
}

std::vector<unsigned char> write(const strarray* a, int swap) {
    std::vector<unsigned char> bytes(QLTP_strarray_write_sz(a));
    char* dst = reinterpret_cast<char*>(bytes.data());
    EXPECT_EQ(QLTP_strarray_write(a, dst, swap), dst + bytes.size());
    return bytes;
}

StrPtr read(const std::vector<unsigned char>& bytes, int swap, int* result = nullptr) {
    FilePtr f = file_of(bytes);
    strarray* raw = nullptr;
    int got = QLTP_strarray_read(f.get(), &raw, swap);
    if (result) *result = got;
    if (!got) {
        EXPECT_EQ(raw, nullptr);
    }
    return StrPtr(raw);
}

std::vector<unsigned char> le32(std::initializer_list<int32_t> values) {
    std::vector<unsigned char> out;
    for (int32_t v : values)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(uint32_t(v) >> (8 * i)));
    return out;
}

std::vector<unsigned char> operator+(std::vector<unsigned char> a, const std::string& s) {
    a.insert(a.end(), s.begin(), s.end());
    return a;
}

}  // namespace

TEST(StrarrayTest, AddCopiesAndOwnsStrings) {
    StrPtr a(QLTP_strarray_new());
    ASSERT_EQ(a->items.increment, 1u);
    ASSERT_EQ(a->items.keep, 256u);
    char word[] = "hello";
    ASSERT_EQ(QLTP_strarray_add(a.get(), word, 4), 1);
    word[0] = 'J';
    ASSERT_EQ(QLTP_strarray_add(a.get(), "a\0bc", 4), 1);  // stops at the NUL
    ASSERT_EQ(QLTP_strarray_add(a.get(), "xyz", -1), 1);
    ASSERT_EQ(QLTP_strarray_add_nocopy(a.get(), QLTP_strndup("given", -1)), 1);
    ASSERT_EQ(QLTP_strarray_insert_item(a.get(), "first", -1, -3), 1);
    ASSERT_EQ(QLTP_strarray_insert_item(a.get(), "last", 4, 99), 1);
    EXPECT_EQ(strings(a.get()),
              (std::vector<std::string>{"first", "hell", "a", "xyz", "given", "last"}));
    ASSERT_EQ(QLTP_strarray_replace(a.get(), 2, "AB", 2), 1);
    EXPECT_EQ(QLTP_strarray_replace(a.get(), 6, "x", 1), 0);
    ASSERT_EQ(QLTP_strarray_remove_item(a.get(), 0), 1);
    EXPECT_EQ(QLTP_strarray_remove_item(a.get(), 5), 0);
    ASSERT_EQ(QLTP_strarray_delete_range(a.get(), 3, 1), 1);
    EXPECT_EQ(strings(a.get()), (std::vector<std::string>{"hell", "AB", "xyz", "last"}));
    EXPECT_EQ(QLTP_strarray_idx(a.get(), 4), nullptr);
    EXPECT_EQ(QLTP_strarray_idx(a.get(), -1), nullptr);
    QLTP_strarray_clear(a.get());
    EXPECT_EQ(QLTP_strarray_sz(a.get()), 0);
    ASSERT_EQ(QLTP_strarray_add(a.get(), "again", -1), 1);
}

TEST(StrarrayTest, NullInputsGiveZero) {
    StrPtr a(QLTP_strarray_new());
    EXPECT_EQ(QLTP_strarray_add(a.get(), nullptr, 3), 0);
    EXPECT_EQ(QLTP_strarray_add(nullptr, "x", 1), 0);
    EXPECT_EQ(QLTP_strarray_add_nocopy(a.get(), nullptr), 0);
    EXPECT_EQ(QLTP_strarray_insert_item(a.get(), nullptr, -1, 0), 0);
    EXPECT_EQ(QLTP_strarray_sz(nullptr), 0);
    EXPECT_EQ(QLTP_strarray_idx(nullptr, 0), nullptr);
    EXPECT_EQ(QLTP_strarray_join(nullptr, ","), nullptr);
    EXPECT_EQ(QLTP_strarray_join(a.get(), nullptr), nullptr);
    EXPECT_EQ(QLTP_strarray_split(nullptr, 5, ",", 1), nullptr);
    EXPECT_EQ(QLTP_strarray_split_chars(nullptr, -1, ","), nullptr);
    EXPECT_EQ(QLTP_strarray_split_ws(nullptr, 3), nullptr);
    EXPECT_EQ(QLTP_strarray_new_const(nullptr, 2), nullptr);
    EXPECT_EQ(QLTP_strarray_sz(a.get()), 0);
    QLTP_strarray_delete(nullptr);
    QLTP_strarray_clear(nullptr);
}

TEST(StrarrayTest, Join) {
    StrPtr abc = of({"a", "b", "c"});
    CharPtr j(QLTP_strarray_join(abc.get(), "-"));
    EXPECT_STREQ(j.get(), "a-b-c");
    StrPtr one = of({"only"});
    CharPtr k(QLTP_strarray_join(one.get(), ", "));
    EXPECT_STREQ(k.get(), "only");
    StrPtr none(QLTP_strarray_new());
    CharPtr e(QLTP_strarray_join(none.get(), "-"));
    EXPECT_STREQ(e.get(), "");
}

TEST(StrarrayTest, SplitTakesTheByteAfterASeparatorAsText) {
    struct Case {
        const char* text;
        int len;
        const char* sep;
        int seplen;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {"a,b,", 4, ",", 1, {"a", "b"}},
        {",a", 2, ",", 1, {"", "a"}},
        {"a,,b", 4, ",", 1, {"a", ",b"}},
        {"x::y", 4, "::", 2, {"x", "y"}},
        {"x:::y", 5, "::", 2, {"x", ":y"}},
        {"a,b,c", -1, ",", -1, {"a", "b", "c"}},
        {"a,b\0,c", 6, ",", 1, {"a", "b"}},  // stops at the NUL
        {"a,b,c", 3, ",", 1, {"a", "b"}},
        {"abc", 3, ",", 1, {"abc"}},
        {"", 0, ",", 1, {}},
        {"abc", 0, ",", 1, {}},
        {",", 1, ",", 1, {""}},
        {"ab", 2, "abc", 3, {"ab"}},
        {"ab", 2, "", 0, {"ab"}},
        {"ab", 2, nullptr, 1, {"ab"}},
    };
    for (const Case& c : cases) {
        StrPtr a(QLTP_strarray_split(c.text, c.len, c.sep, c.seplen));
        ASSERT_NE(a, nullptr) << c.text;
        EXPECT_EQ(strings(a.get()), c.fields) << c.text << " len " << c.len;
        EXPECT_EQ(a->items.increment >= 512u, true);
        EXPECT_EQ(a->items.keep, 4096u);
    }
}

TEST(StrarrayTest, SplitCharsSplitsOncePerRunOfDelimiters) {
    struct Case {
        const char* text;
        int len;
        const char* chars;
        std::vector<std::string> fields;
    };
    const Case cases[] = {
        {" a,, b ", 7, ", ", {"", "a", "b"}},
        {"a;b", -1, ";", {"a", "b"}},
        {";;;", -1, ";", {""}},
        {"abc", -1, "", {"abc"}},
        {"abc", -1, nullptr, {"abc"}},
        {"a;b;c", 3, ";", {"a", "b"}},
        {"", -1, ";", {}},
    };
    for (const Case& c : cases) {
        StrPtr a(QLTP_strarray_split_chars(c.text, c.len, c.chars));
        ASSERT_NE(a, nullptr) << c.text;
        EXPECT_EQ(strings(a.get()), c.fields) << c.text;
    }
}

TEST(StrarrayTest, SplitWsTakesWhitespaceFields) {
    StrPtr a(QLTP_strarray_split_ws("  a\tbb  c ", -1));
    EXPECT_EQ(strings(a.get()), (std::vector<std::string>{"a", "bb", "c"}));
    StrPtr b(QLTP_strarray_split_ws("one\r\ntwo three", 10));
    EXPECT_EQ(strings(b.get()), (std::vector<std::string>{"one", "two", "t"}));
    StrPtr c(QLTP_strarray_split_ws(" \t\n", -1));
    EXPECT_EQ(QLTP_strarray_sz(c.get()), 0);
    EXPECT_EQ(c->items.increment, 1u);
}

TEST(StrarrayTest, ConstBlockIsBorrowedNeverFreed) {
    static const char block[] = "one\0two\0three";
    StrPtr a(QLTP_strarray_new_const(block, 3));
    EXPECT_EQ(strings(a.get()), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(QLTP_strarray_idx(a.get(), 1), block + 4);
    // Copies made into a borrowing array are its own and freed with it; the
    // borrowed strings are never freed (a static block would crash free).
    ASSERT_EQ(QLTP_strarray_insert_item(a.get(), "zero", -1, 0), 1);
    ASSERT_EQ(QLTP_strarray_replace(a.get(), 2, "TWO", 3), 1);
    ASSERT_EQ(QLTP_strarray_remove_item(a.get(), 1), 1);
    EXPECT_EQ(strings(a.get()), (std::vector<std::string>{"zero", "TWO", "three"}));
    QLTP_strarray_clear(a.get());
    ASSERT_EQ(QLTP_strarray_extend(a.get(), 2), 1);
    ASSERT_EQ(QLTP_strarray_extendsz(a.get(), 2), 1);
    EXPECT_EQ(QLTP_strarray_idx(a.get(), 0), nullptr);  // no stale pointers
    StrPtr empty(QLTP_strarray_new_const(block, 0));
    EXPECT_EQ(QLTP_strarray_sz(empty.get()), 0);
}

TEST(StrarrayTest, WritesCountTotalAndStrings) {
    StrPtr a = of({"ab", "c"});
    EXPECT_EQ(QLTP_strarray_write_sz(a.get()), 13u);
    EXPECT_EQ(write(a.get(), 0), le32({2, 5}) + std::string("ab\0c\0", 5));
    EXPECT_EQ(write(a.get(), 1),
              (std::vector<unsigned char>{0, 0, 0, 2, 0, 0, 0, 5}) + std::string("ab\0c\0", 5));
    StrPtr none(QLTP_strarray_new());
    EXPECT_EQ(write(none.get(), 0), le32({0, 0}));
    EXPECT_EQ(QLTP_strarray_write_sz(nullptr), 8u);
}

TEST(StrarrayTest, ReadBorrowsOneBlockThatSurvivesEdits) {
    StrPtr a = of({"ab", "", "cde"});
    for (int swap : {0, 1}) {
        int got = 0;
        StrPtr back = read(write(a.get(), swap), swap, &got);
        EXPECT_EQ(got, 2 + 8);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(strings(back.get()), (std::vector<std::string>{"ab", "", "cde"}));
        // Removing or inserting at 0 must not change which block is freed.
        ASSERT_EQ(QLTP_strarray_remove_item(back.get(), 0), 1);
        ASSERT_EQ(QLTP_strarray_insert_item(back.get(), "new", -1, 0), 1);
        ASSERT_EQ(QLTP_strarray_add(back.get(), "tail", -1), 1);
        EXPECT_EQ(strings(back.get()), (std::vector<std::string>{"new", "", "cde", "tail"}));
    }
    int got = 0;
    StrPtr empty = read(le32({0, 0}), 0, &got);
    EXPECT_EQ(got, 2);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(QLTP_strarray_sz(empty.get()), 0);
}

TEST(StrarrayTest, ReadRejectsInconsistentBlocks) {
    const std::vector<std::vector<unsigned char>> files = {
        {},
        le32({1}),                                    // no total
        le32({-1, 0}),                                // negative count
        le32({1, -4}),                                // negative total
        le32({2, 1}) + std::string("\0", 1),          // total below count
        le32({0, 3}) + std::string("ab\0", 3),        // block after no strings
        le32({2, 5}) + std::string("ab\0c", 4),       // short block
        le32({2, 5}) + std::string("abcd\0", 5),      // one string, two counted
        le32({1, 5}) + std::string("ab\0c\0", 5),     // two strings, one counted
        le32({1, 3}) + std::string("abc", 3),         // no terminating NUL
        le32({1, 0x7ffffff0}) + std::string("a\0", 2),  // absurd total
    };
    for (size_t i = 0; i < files.size(); ++i) {
        int got = -1;
        StrPtr a = read(files[i], 0, &got);
        EXPECT_EQ(got, 0) << i;
        EXPECT_EQ(a, nullptr) << i;
    }
    strarray* raw = nullptr;
    EXPECT_EQ(QLTP_strarray_read(nullptr, &raw, 0), 0);
}

TEST(StrarrayTest, RandomBytesNeverReadOutOfBounds) {
    std::mt19937 rng(99);
    for (int round = 0; round < 3000; ++round) {
        // Small plausible headers followed by random bytes with NULs.
        std::vector<unsigned char> bytes = le32({static_cast<int32_t>(rng() % 5) - 1,
                                                 static_cast<int32_t>(rng() % 12) - 1});
        bytes.resize(8 + rng() % 14);
        for (size_t i = 8; i < bytes.size(); ++i)
            bytes[i] = rng() % 3 ? static_cast<unsigned char>('a' + rng() % 26) : 0;
        if (round % 7 == 0)
            for (auto& b : bytes) b = static_cast<unsigned char>(rng());
        int got = 0;
        StrPtr a = read(bytes, round % 2, &got);
        if (!got) continue;
        ASSERT_NE(a, nullptr);
        size_t total = 0;
        for (int i = 0; i < QLTP_strarray_sz(a.get()); ++i) total += std::strlen(QLTP_strarray_idx(a.get(), i)) + 1;
        EXPECT_EQ(static_cast<size_t>(got), 2 + total);
        EXPECT_LE(8 + total, bytes.size());
        EXPECT_EQ(write(a.get(), round % 2), std::vector<unsigned char>(bytes.begin(), bytes.begin() + 8 + total));
    }
}
