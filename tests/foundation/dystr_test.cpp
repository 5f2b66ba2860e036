#include "foundation/dystr.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "huge_text.h"

namespace {

struct DystrDeleter {
    void operator()(dystr* d) const { QLTP_dystr_delete(d); }
};
using DystrPtr = std::unique_ptr<dystr, DystrDeleter>;

DystrPtr make(const char* s, int len) { return DystrPtr(QLTP_dystr_new(s, len)); }

std::string text(const dystr* d) { return std::string(QLTP_dystr_cstr(d), QLTP_dystr_sz(d)); }

}  // namespace

TEST(DystrTest, NewCopiesExplicitLengthOnly) {
    DystrPtr neg = make("abc", -1);
    EXPECT_EQ(text(neg.get()), "");
    EXPECT_EQ(neg->chars.count, 1u);  // the NUL is counted

    DystrPtr abc = make("abc", 3);
    EXPECT_EQ(text(abc.get()), "abc");
    EXPECT_EQ(abc->chars.capacity, 8u);
    EXPECT_EQ(abc->chars.count, 4u);

    DystrPtr reserved(QLTP_dystr_newcustom(nullptr, 80, 8, 256));
    EXPECT_EQ(text(reserved.get()), "");
    EXPECT_GE(reserved->chars.capacity, 80u);
}

TEST(DystrTest, AppendsPiecesAndNumbers) {
    DystrPtr d = make("", 0);
    ASSERT_EQ(QLTP_dystr_append(d.get(), "hello", -1), 1);
    ASSERT_EQ(QLTP_dystr_append(d.get(), " worldXXX", 6), 1);
    ASSERT_EQ(QLTP_dystr_append2(d.get(), ": ", -1, "abc", 1), 1);
    ASSERT_EQ(QLTP_dystr_append3(d.get(), "[", 1, "b", -1, "]", -1), 1);
    ASSERT_EQ(QLTP_dystr_append4(d.get(), "1", -1, "2", -1, "3", -1, "4", -1), 1);
    EXPECT_EQ(text(d.get()), "hello world: a[b]1234");
    QLTP_dystr_clear(d.get());
    ASSERT_EQ(QLTP_dystr_appendint(d.get(), -2147483647 - 1), 1);
    ASSERT_EQ(QLTP_dystr_append(d.get(), " ", 1), 1);
    ASSERT_EQ(QLTP_dystr_appendint(d.get(), 0), 1);
    ASSERT_EQ(QLTP_dystr_append(d.get(), " ", 1), 1);
    ASSERT_EQ(QLTP_dystr_appendfloat(d.get(), 3.14159f, 2, 'f'), 1);
    ASSERT_EQ(QLTP_dystr_append2intCR(d.get(), " n=", -1, 42), 1);
    EXPECT_EQ(text(d.get()), "-2147483648 0 3.14 n=42\n");
}

TEST(DystrTest, AppendsFromItsOwnContentWhileGrowing) {
    DystrPtr d = make("abcdefg", 7);
    for (int i = 0; i < 6; ++i) ASSERT_EQ(QLTP_dystr_append(d.get(), QLTP_dystr_cstr(d.get()), -1), 1);
    EXPECT_EQ(QLTP_dystr_sz(d.get()), 7 * 64);
    DystrPtr e = make("xy", 2);
    ASSERT_EQ(QLTP_dystr_append3(e.get(), QLTP_dystr_cstr(e.get()), -1, "-", 1,
                                 QLTP_dystr_cstr(e.get()) + 1, 1), 1);
    EXPECT_EQ(text(e.get()), "xyxy-y");
    ASSERT_EQ(QLTP_dystr_replace(e.get(), QLTP_dystr_cstr(e.get()) + 2, 3), 1);
    EXPECT_EQ(text(e.get()), "xy-");
    ASSERT_EQ(QLTP_dystr_insert_range(e.get(), QLTP_dystr_cstr(e.get()), -1, 1), 1);
    EXPECT_EQ(text(e.get()), "xxy-y-");
}

TEST(DystrTest, ClearKeepsSmallStorageAndStaysTerminated) {
    DystrPtr d = make("some text", 9);
    char* before = QLTP_dystr_cstr(d.get());
    QLTP_dystr_clear(d.get());
    EXPECT_EQ(QLTP_dystr_cstr(d.get()), before);
    EXPECT_EQ(text(d.get()), "");
    EXPECT_EQ(d->chars.count, 1u);

    DystrPtr big = make("", 0);
    ASSERT_EQ(QLTP_dystr_extend(big.get(), 1000), 1);
    QLTP_dystr_clear(big.get());
    EXPECT_LE(big->chars.capacity, 256u);
    EXPECT_STREQ(QLTP_dystr_cstr(big.get()), "");
}

TEST(DystrTest, ReplaceAndReadline) {
    DystrPtr d = make("long content here", -1);
    ASSERT_EQ(QLTP_dystr_replace(d.get(), "ab", -1), 1);
    EXPECT_EQ(text(d.get()), "ab");
    EXPECT_STREQ(QLTP_dystr_cstr(d.get()), "ab");

    const char* src = "one\r\ntwo";
    const char* next = QLTP_dystr_readline(d.get(), src);
    EXPECT_EQ(text(d.get()), "one\r\n");
    EXPECT_EQ(next, src + 5);
    next = QLTP_dystr_readline(d.get(), next);
    EXPECT_EQ(text(d.get()), "two");
    EXPECT_EQ(*next, '\0');
    EXPECT_EQ(QLTP_dystr_readline(d.get(), nullptr), nullptr);
}

TEST(DystrTest, CutsKeepTheTerminator) {
    struct Case {
        const char* name;
        int (*op)(dystr*, int, int);
        int a, b;
        const char* expected;
    };
    const Case cases[] = {
        {"range past end", [](dystr* d, int p, int n) { return QLTP_dystr_delete_range(d, p, n); }, 4, 10, "abcd"},
        {"range middle", [](dystr* d, int p, int n) { return QLTP_dystr_delete_range(d, p, n); }, 1, 2, "adef"},
        {"range at end", [](dystr* d, int p, int n) { return QLTP_dystr_delete_range(d, p, n); }, 6, 2, "abcdef"},
        {"range negative pos", [](dystr* d, int p, int n) { return QLTP_dystr_delete_range(d, p, n); }, -2, 2, "cdef"},
        {"upto 100", [](dystr* d, int, int n) { return QLTP_dystr_delete_upto(d, n); }, 0, 100, ""},
        {"upto 2", [](dystr* d, int, int n) { return QLTP_dystr_delete_upto(d, n); }, 0, 2, "cdef"},
        {"truncate 3", [](dystr* d, int, int n) { return QLTP_dystr_truncate(d, n); }, 0, 3, "abc"},
        {"truncate 99", [](dystr* d, int, int n) { return QLTP_dystr_truncate(d, n); }, 0, 99, "abcdef"},
    };
    for (const Case& c : cases) {
        DystrPtr d = make("abcdef", 6);
        EXPECT_EQ(c.op(d.get(), c.a, c.b), 1) << c.name;
        EXPECT_EQ(text(d.get()), c.expected) << c.name;
        EXPECT_STREQ(QLTP_dystr_cstr(d.get()), c.expected) << c.name;
    }
}

TEST(DystrTest, InsertRangeClampsPositionAndStopsAtNul) {
    DystrPtr d = make("", 0);
    ASSERT_EQ(QLTP_dystr_replace(d.get(), "abc", -1), 1);
    ASSERT_EQ(QLTP_dystr_insert_range(d.get(), "XY", -1, 1), 1);
    EXPECT_EQ(text(d.get()), "aXYbc");
    ASSERT_EQ(QLTP_dystr_insert_range(d.get(), "Z\0W", 3, 99), 1);
    EXPECT_EQ(text(d.get()), "aXYbcZ");
    ASSERT_EQ(QLTP_dystr_insert_range(d.get(), "<", 1, -4), 1);
    EXPECT_EQ(text(d.get()), "<aXYbcZ");
}

TEST(DystrTest, AsciiRewritesInPlace) {
    DystrPtr d = make("", 0);
    ASSERT_EQ(QLTP_dystr_replace(d.get(), "Hello, W\xC3\xB6rld", -1), 1);
    QLTP_dystr_asciiupper(d.get());
    EXPECT_EQ(text(d.get()), "HELLO, W\xC3\xB6RLD");
    QLTP_dystr_asciilower(d.get());
    EXPECT_EQ(text(d.get()), "hello, w\xC3\xB6rld");
    QLTP_dystr_asciireplace(d.get(), 'l', 'L');
    EXPECT_EQ(text(d.get()), "heLLo, w\xC3\xB6rLd");
    QLTP_dystr_asciistrip(d.get(), 'L');
    EXPECT_EQ(text(d.get()), "heo, w\xC3\xB6rd");
    EXPECT_STREQ(QLTP_dystr_cstr(d.get()), "heo, w\xC3\xB6rd");
    QLTP_dystr_remove_non_ascii(d.get());
    EXPECT_EQ(text(d.get()), "heo, w  rd");
    QLTP_dystr_asciistrip(nullptr, 'x');
    QLTP_dystr_remove_non_ascii(nullptr);
}

TEST(DystrTest, NullInputsGiveZero) {
    DystrPtr d = make("x", 1);
    EXPECT_EQ(QLTP_dystr_sz(nullptr), 0);
    EXPECT_EQ(QLTP_dystr_cstr(nullptr), nullptr);
    EXPECT_EQ(QLTP_dystr_append(nullptr, "a", 1), 0);
    EXPECT_EQ(QLTP_dystr_append(d.get(), nullptr, 5), 0);
    EXPECT_EQ(QLTP_dystr_append(d.get(), nullptr, -1), 0);
    EXPECT_EQ(QLTP_dystr_append2(d.get(), "a", 1, nullptr, 2), 0);
    EXPECT_EQ(QLTP_dystr_replace(d.get(), nullptr, 3), 0);
    EXPECT_EQ(QLTP_dystr_insert_range(d.get(), nullptr, -1, 0), 0);
    EXPECT_EQ(QLTP_dystr_extend(nullptr, 3), 0);
    EXPECT_EQ(QLTP_dystr_truncate(d.get(), -1), 0);
    EXPECT_EQ(text(d.get()), "x");
    QLTP_dystr_clear(nullptr);
    QLTP_dystr_delete(nullptr);
}

TEST(DystrTest, PrintfWritesContentAsIs) {
    DystrPtr d = make("out\tput", 7);
    testing::internal::CaptureStdout();
    QLTP_dystr_printf(d.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "out\tput");
}

TEST(DystrTest, LengthsAndGrowthBeyondIntMaxAreRefused) {
    // 2 GiB + 5 bytes: no int holds its length.
    HugeText huge((uint64_t{1} << 31) + 5);
    ASSERT_NE(huge.data(), nullptr);
    const char* h = huge.data();
    struct Case {
        const char* name;
        int (*op)(dystr*, const char*);
    };
    const Case cases[] = {
        {"append", [](dystr* d, const char* h) { return QLTP_dystr_append(d, h, -1); }},
        {"append2", [](dystr* d, const char* h) { return QLTP_dystr_append2(d, "x", 1, h, -1); }},
        {"append3", [](dystr* d, const char* h) { return QLTP_dystr_append3(d, "x", 1, "y", -1, h, -1); }},
        {"append4", [](dystr* d, const char* h) { return QLTP_dystr_append4(d, h, -1, "x", 1, "y", 1, "z", 1); }},
        {"replace", [](dystr* d, const char* h) { return QLTP_dystr_replace(d, h, -1); }},
        {"insert", [](dystr* d, const char* h) { return QLTP_dystr_insert_range(d, h, -1, 1); }},
        {"readline", [](dystr* d, const char* h) { return QLTP_dystr_readline(d, h) ? 1 : 0; }},
        {"append past INT_MAX", [](dystr* d, const char* h) { return QLTP_dystr_append(d, h, INT_MAX); }},
        {"pieces past INT_MAX", [](dystr* d, const char* h) { return QLTP_dystr_append2(d, h, INT_MAX - 1, h, 1); }},
        {"insert past INT_MAX", [](dystr* d, const char* h) { return QLTP_dystr_insert_range(d, h, INT_MAX, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DystrPtr d = make("ab", 2);
        EXPECT_EQ(c.op(d.get(), h), 0);
        EXPECT_EQ(text(d.get()), "ab");
    }

    // A string of INT_MAX bytes, reserved but never written, so it costs no
    // memory: it takes no byte more, and cuts and appends below the bound work.
    DystrPtr full = make("ab", 2);
    ASSERT_EQ(QLTP_dystr_extend(full.get(), INT_MAX - 2), 1);
    ASSERT_EQ(QLTP_array_extendsz(&full->chars, INT_MAX - 2), 1);
    ASSERT_EQ(QLTP_dystr_sz(full.get()), INT_MAX);
    const Case growths[] = {
        {"append", [](dystr* d, const char*) { return QLTP_dystr_append(d, "x", 1); }},
        {"append4", [](dystr* d, const char*) { return QLTP_dystr_append4(d, "", 0, "", 0, "x", 1, "", 0); }},
        {"insert", [](dystr* d, const char*) { return QLTP_dystr_insert_range(d, "x", 1, 0); }},
        {"int", [](dystr* d, const char*) { return QLTP_dystr_appendint(d, 7); }},
        {"float", [](dystr* d, const char*) { return QLTP_dystr_appendfloat(d, 1.5f, 1, 'f'); }},
        {"int line", [](dystr* d, const char*) { return QLTP_dystr_append2intCR(d, "", 0, 7); }},
    };
    for (const Case& c : growths) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.op(full.get(), h), 0);
        EXPECT_EQ(QLTP_dystr_sz(full.get()), INT_MAX);
    }
    EXPECT_EQ(QLTP_dystr_append(full.get(), "", 0), 1);
    EXPECT_EQ(QLTP_dystr_truncate(full.get(), INT_MAX - 1), 1);
    EXPECT_EQ(QLTP_dystr_sz(full.get()), INT_MAX - 1);
    EXPECT_EQ(QLTP_dystr_delete_range(full.get(), INT_MAX - 4, 1), 1);
    EXPECT_EQ(QLTP_dystr_sz(full.get()), INT_MAX - 2);
    EXPECT_EQ(QLTP_dystr_append(full.get(), "yz", 2), 1);
    EXPECT_EQ(QLTP_dystr_sz(full.get()), INT_MAX);
    EXPECT_STREQ(QLTP_dystr_cstr(full.get()) + INT_MAX - 2, "yz");
    EXPECT_EQ(QLTP_dystr_append(full.get(), "!", 1), 0);
}
