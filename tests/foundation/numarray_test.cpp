#include "foundation/numarray.h"

#include <gtest/gtest.h>

#include "scratch_dir.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

struct Deleter {
    void operator()(intarray* a) const { QLTP_intarray_delete(a); }
    void operator()(floatarray* a) const { QLTP_floatarray_delete(a); }
    void operator()(doublearray* a) const { QLTP_doublearray_delete(a); }
    void operator()(dystr* d) const { QLTP_dystr_delete(d); }
    void operator()(FILE* f) const { std::fclose(f); }
};
using IntPtr = std::unique_ptr<intarray, Deleter>;
using FloatPtr = std::unique_ptr<floatarray, Deleter>;
using DoublePtr = std::unique_ptr<doublearray, Deleter>;
using DystrPtr = std::unique_ptr<dystr, Deleter>;
using FilePtr = std::unique_ptr<FILE, Deleter>;

IntPtr ints(std::vector<int32_t> v) {
    return IntPtr(QLTP_intarray_from_int(v.data(), static_cast<int>(v.size())));
}

std::vector<int32_t> values(const intarray* a) {
    std::vector<int32_t> out;
    for (int i = 0; i < QLTP_intarray_sz(a); ++i) out.push_back(QLTP_intarray_idx(a, i));
    return out;
}

FilePtr file_of(const std::vector<unsigned char>& bytes) {
    FILE* f = std::tmpfile();
    if (f && !bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    if (f) std::rewind(f);
    return FilePtr(f);
}

std::vector<unsigned char> le32(std::initializer_list<int32_t> values) {
    std::vector<unsigned char> out;
    for (int32_t v : values)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(uint32_t(v) >> (8 * i)));
    return out;
}

template <class F>
std::string render(F print) {
    DystrPtr d(QLTP_dystr_new(nullptr, 0));
    print(d.get());
    return QLTP_dystr_cstr(d.get());
}

}  // namespace

TEST(IntarrayTest, ElementOperations) {
    IntPtr a(QLTP_intarray_new());
    ASSERT_EQ(a->increment, 8u);
    ASSERT_EQ(a->keep, 64u);
    for (int32_t v : {5, 6, 7}) ASSERT_EQ(QLTP_intarray_add(a.get(), v), 1);
    ASSERT_EQ(QLTP_intarray_insert_item(a.get(), 1, -2), 1);
    ASSERT_EQ(QLTP_intarray_insert_item(a.get(), 9, 100), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{1, 5, 6, 7, 9}));
    EXPECT_EQ(QLTP_intarray_replace(a.get(), 4, 8), 1);
    EXPECT_EQ(QLTP_intarray_replace(a.get(), 5, 8), 0);
    EXPECT_EQ(QLTP_intarray_remove_item(a.get(), 0), 1);
    EXPECT_EQ(QLTP_intarray_remove_item(a.get(), 4), 0);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{5, 6, 7, 8}));
    EXPECT_EQ(QLTP_intarray_idx(a.get(), -1), 0);
    EXPECT_EQ(QLTP_intarray_idx(a.get(), 4), 0);
    ASSERT_EQ(QLTP_intarray_fill(a.get(), 3, 2), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{5, 6, 7, 8, 3, 3}));
    ASSERT_EQ(QLTP_intarray_delete_range(a.get(), 1, 2), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{5, 8, 3, 3}));
    ASSERT_EQ(QLTP_intarray_resize(a.get(), 6), 1);
    EXPECT_EQ(values(a.get()), (std::vector<int32_t>{5, 8, 3, 3, 0, 0}));
    QLTP_intarray_clear(a.get());
    EXPECT_EQ(QLTP_intarray_sz(a.get()), 0);
}

TEST(IntarrayTest, IdxptrGivesStorageElementsAndEnd) {
    IntPtr a = ints({1, 2, 3});
    EXPECT_EQ(QLTP_intarray_idxptr(a.get(), 0), reinterpret_cast<int32_t*>(a->storage));
    EXPECT_EQ(*QLTP_intarray_idxptr(a.get(), 2), 3);
    EXPECT_EQ(QLTP_intarray_idxptr(a.get(), 3), QLTP_intarray_idxptr(a.get(), 0) + 3);
    EXPECT_EQ(QLTP_intarray_idxptr(a.get(), 4), nullptr);
    EXPECT_EQ(QLTP_intarray_idxptr(a.get(), -1), nullptr);
    EXPECT_EQ(QLTP_intarray_idxptr(nullptr, 0), nullptr);
}

TEST(IntarrayTest, QueriesOnValuesEmptyAndNull) {
    IntPtr a = ints({3, -7, 12, 4});
    EXPECT_EQ(QLTP_intarray_sum(a.get()), 12);
    EXPECT_EQ(QLTP_intarray_max(a.get()), 12);
    EXPECT_EQ(QLTP_intarray_has_int(a.get(), -7), 1);
    EXPECT_EQ(QLTP_intarray_has_int(a.get(), 5), 0);
    IntPtr one = ints({-4});
    EXPECT_EQ(QLTP_intarray_max(one.get()), -4);
    IntPtr wrap = ints({INT32_MAX, 1});
    EXPECT_EQ(QLTP_intarray_sum(wrap.get()), INT32_MIN);
    IntPtr empty(QLTP_intarray_new());
    EXPECT_EQ(QLTP_intarray_sum(empty.get()), 0);
    EXPECT_EQ(QLTP_intarray_max(nullptr), 0);
    EXPECT_EQ(QLTP_intarray_has_int(nullptr, 0), 0);
    EXPECT_EQ(QLTP_intarray_sz(nullptr), 0);
    EXPECT_EQ(QLTP_intarray_from_int(nullptr, 3), nullptr);
    EXPECT_EQ(QLTP_intarray_add(nullptr, 3), 0);
}

TEST(IntarrayTest, ConstructorsReserve) {
    IntPtr custom(QLTP_intarray_newcustom(20, 4, 32));
    EXPECT_EQ(custom->capacity, 20u);
    EXPECT_EQ(custom->increment, 4u);
    EXPECT_EQ(custom->keep, 32u);
    IntPtr sized(QLTP_intarray_new_sz(1000));
    EXPECT_EQ(sized->keep, 1000u);
    EXPECT_EQ(sized->increment, 8u);
}

TEST(IntarrayTest, TextRenderings) {
    IntPtr a = ints({1, 2, 3, 5, 7, 8});
    EXPECT_EQ(render([&](dystr* d) { QLTP_intarray_print(a.get(), d); }), "[1, 2, 3, 5, 7, 8]");
    EXPECT_EQ(render([&](dystr* d) { QLTP_intarray_printl(a.get(), d); }), "[1,2,3,5,7,8]");
    EXPECT_EQ(render([&](dystr* d) { QLTP_intarray_printrange(a.get(), d); }), "[1 ... 3, 5, 7, 8]");
    IntPtr b = ints({-2, -1, 0, 1, 10, INT32_MAX, INT32_MIN});
    EXPECT_EQ(render([&](dystr* d) { QLTP_intarray_printrange(b.get(), d); }),
              "[-2 ... 1, 10, 2147483647, -2147483648]");
    EXPECT_EQ(render([&](dystr* d) { QLTP_intarray_printrange(nullptr, d); }), "[]");
    testing::internal::CaptureStdout();
    QLTP_intarray_printf(a.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[1, 2, 3, 5, 7, 8]");
}

TEST(IntarrayTest, WritesCountThenValues) {
    IntPtr a = ints({1, 2});
    ASSERT_EQ(QLTP_intarray_write_sz(a.get()), 12u);
    EXPECT_EQ(QLTP_intarray_write_sz(nullptr), 4u);
    char buf[12];
    ASSERT_EQ(QLTP_intarray_write(a.get(), buf, 0), buf + 12);
    const unsigned char plain[] = {2, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(std::memcmp(buf, plain, 12), 0);
    ASSERT_EQ(QLTP_intarray_write(a.get(), buf, 1), buf + 12);
    const unsigned char swapped[] = {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 2};
    EXPECT_EQ(std::memcmp(buf, swapped, 12), 0);
    ASSERT_EQ(QLTP_intarray_write(nullptr, buf, 0), buf + 4);
    EXPECT_EQ(std::memcmp(buf, "\0\0\0\0", 4), 0);
}

TEST(IntarrayTest, ReadsWhatItWroteInEitherByteOrder) {
    IntPtr a = ints({7, -1, 65536});
    for (int swap : {0, 1}) {
        std::vector<unsigned char> bytes(QLTP_intarray_write_sz(a.get()));
        QLTP_intarray_write(a.get(), reinterpret_cast<char*>(bytes.data()), swap);
        FilePtr f = file_of(bytes);
        intarray* raw = nullptr;
        EXPECT_EQ(QLTP_intarray_read(f.get(), &raw, swap), 1 + 4 * 3);
        IntPtr back(raw);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(values(back.get()), (std::vector<int32_t>{7, -1, 65536}));
        EXPECT_GE(back->capacity, 3u);
    }
}

TEST(IntarrayTest, ReadRejectsBadCounts) {
    const std::vector<std::vector<unsigned char>> files = {
        {},                        // no count
        {1, 0},                    // short count
        le32({-1}),                // negative count
        le32({3, 1, 2}),           // fewer values than counted
        le32({0x7fffffff, 1}),     // absurd count
    };
    for (size_t i = 0; i < files.size(); ++i) {
        FilePtr f = file_of(files[i]);
        intarray* raw = reinterpret_cast<intarray*>(1);
        EXPECT_EQ(QLTP_intarray_read(f.get(), &raw, 0), 0) << i;
        EXPECT_EQ(raw, nullptr) << i;
    }
    FilePtr empty = file_of(le32({0}));
    intarray* raw = nullptr;
    EXPECT_EQ(QLTP_intarray_read(empty.get(), &raw, 0), 1);
    IntPtr back(raw);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(QLTP_intarray_sz(back.get()), 0);
    EXPECT_EQ(QLTP_intarray_read(nullptr, &raw, 0), 0);
}

TEST(FloatarrayTest, ElementsConversionAndRenderings) {
    const float in[] = {1.5f, -0.25f, 3.0f};
    FloatPtr a(QLTP_floatarray_from_float(in, 3));
    ASSERT_EQ(QLTP_floatarray_sz(a.get()), 3);
    EXPECT_EQ(QLTP_floatarray_idx(a.get(), 1), -0.25f);
    EXPECT_EQ(QLTP_floatarray_idx(a.get(), 3), 0.0f);
    EXPECT_EQ(*QLTP_floatarray_idxptr(a.get(), 2), 3.0f);
    EXPECT_EQ(render([&](dystr* d) { QLTP_floatarray_print(a.get(), d); }),
              "[1.500000, -0.250000, 3.000000]");
    EXPECT_EQ(render([&](dystr* d) { QLTP_floatarray_printl(a.get(), d); }),
              "[\"1.500000\",\"-0.250000\",\"3.000000\"]");
    ASSERT_EQ(QLTP_floatarray_add(a.get(), 4.0f), 1);
    ASSERT_EQ(QLTP_floatarray_insert_item(a.get(), 0.5f, 0), 1);
    ASSERT_EQ(QLTP_floatarray_replace(a.get(), 1, 2.0f), 1);
    ASSERT_EQ(QLTP_floatarray_remove_item(a.get(), 2), 1);
    EXPECT_EQ(render([&](dystr* d) { QLTP_floatarray_print(a.get(), d); }),
              "[0.500000, 2.000000, 3.000000, 4.000000]");

    const double dv[] = {9.0, 8.0, 7.0, 6.0, 5.0};
    DoublePtr da(QLTP_doublearray_from_double(dv, 5));
    ASSERT_EQ(QLTP_floatarray_from_doublearray(a.get(), da.get(), 2), 1);
    EXPECT_EQ(render([&](dystr* d) { QLTP_floatarray_print(a.get(), d); }),
              "[9.000000, 8.000000, 3.000000, 4.000000]");
    EXPECT_EQ(QLTP_floatarray_from_doublearray(a.get(), nullptr, 2), 0);
    EXPECT_EQ(QLTP_floatarray_from_doublearray(nullptr, da.get(), 2), 0);
}

TEST(DoublearrayTest, ElementsSumFillAndCopies) {
    const float fv[] = {0.5f, 1.5f};
    DoublePtr a(QLTP_doublearray_from_float(fv, 2));
    ASSERT_EQ(QLTP_doublearray_add(a.get(), 2.0), 1);
    ASSERT_EQ(QLTP_doublearray_insert_item(a.get(), -1.0, 1), 1);
    EXPECT_EQ(QLTP_doublearray_sum(a.get()), 3.0);
    double out[4] = {};
    EXPECT_EQ(QLTP_doublearray_copy_to_double(a.get(), out), 4);
    EXPECT_EQ(out[1], -1.0);
    EXPECT_EQ(out[3], 2.0);
    QLTP_doublearray_fill(a.get(), 0.25);  // overwrites, does not append
    EXPECT_EQ(QLTP_doublearray_sz(a.get()), 4);
    EXPECT_EQ(QLTP_doublearray_sum(a.get()), 1.0);
    ASSERT_EQ(QLTP_doublearray_resize(a.get(), 2), 1);
    EXPECT_EQ(*QLTP_doublearray_idxptr(a.get(), 1), 0.25);
    EXPECT_EQ(QLTP_doublearray_remove_item(a.get(), 0), 1);
    EXPECT_EQ(QLTP_doublearray_sum(nullptr), 0.0);
    EXPECT_EQ(QLTP_doublearray_copy_to_double(nullptr, out), 0);
    EXPECT_EQ(QLTP_doublearray_from_double(nullptr, 2), nullptr);
    EXPECT_EQ(QLTP_doublearray_idx(nullptr, 0), 0.0);
}

TEST(DoublearrayTest, RenderingsUseSixFixedDecimals) {
    const double dv[] = {1.0, -2.5, 1234567.125};
    DoublePtr a(QLTP_doublearray_from_double(dv, 3));
    EXPECT_EQ(render([&](dystr* d) { QLTP_doublearray_print(a.get(), d); }),
              "[1.000000, -2.500000, 1234567.125000]");
    EXPECT_EQ(render([&](dystr* d) { QLTP_doublearray_printl(a.get(), d); }),
              "[\"1.000000\",\"-2.500000\",\"1234567.125000\"]");
    testing::internal::CaptureStdout();
    QLTP_doublearray_printf(a.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[1.000000, -2.500000, 1234567.125000]");
}

TEST(DoublearrayTest, WritesAndReadsBinaryForm) {
    const double dv[] = {1.0, -0.5};
    DoublePtr a(QLTP_doublearray_from_double(dv, 2));
    ASSERT_EQ(QLTP_doublearray_write_sz(a.get()), 20u);
    EXPECT_EQ(QLTP_doublearray_write_sz(nullptr), 4u);
    for (int swap : {0, 1}) {
        std::vector<unsigned char> bytes(20);
        char* dst = reinterpret_cast<char*>(bytes.data());
        ASSERT_EQ(QLTP_doublearray_write(a.get(), dst, swap), dst + 20);
        // The count is an int32 and 1.0 is 3FF0000000000000, each in the
        // writer's order.
        std::vector<unsigned char> count = swap ? std::vector<unsigned char>{0, 0, 0, 2}
                                                : std::vector<unsigned char>{2, 0, 0, 0};
        EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4), count);
        EXPECT_EQ(bytes[swap ? 4 : 11], 0x3F);
        EXPECT_EQ(bytes[swap ? 5 : 10], 0xF0);
        FilePtr f = file_of(bytes);
        doublearray* raw = nullptr;
        EXPECT_EQ(QLTP_doublearray_read(f.get(), &raw, swap), 1 + 8 * 2);
        DoublePtr back(raw);
        ASSERT_EQ(QLTP_doublearray_sz(back.get()), 2);
        EXPECT_EQ(QLTP_doublearray_idx(back.get(), 0), 1.0);
        EXPECT_EQ(QLTP_doublearray_idx(back.get(), 1), -0.5);
    }
}

TEST(DoublearrayTest, LoadsFromPath) {
    const double dv[] = {3.25};
    DoublePtr a(QLTP_doublearray_from_double(dv, 1));
    std::vector<char> bytes(QLTP_doublearray_write_sz(a.get()));
    QLTP_doublearray_write(a.get(), bytes.data(), 0);
    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("load.bin");
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    DoublePtr back(QLTPPy_doublearray_load(path.c_str(), 0));
    ASSERT_EQ(QLTP_doublearray_sz(back.get()), 1);
    EXPECT_EQ(QLTP_doublearray_idx(back.get(), 0), 3.25);
    EXPECT_EQ(QLTPPy_doublearray_load((path + ".missing").c_str(), 0), nullptr);
    std::remove(path.c_str());
}

TEST(DoublearrayTest, TofileReportsSuccessAndFailure) {
    const double dv[] = {0.5, 1e-7, 123456789.0};
    DoublePtr a(QLTP_doublearray_from_double(dv, 3));
    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("values.txt");
    ASSERT_EQ(QLTP_doublearray_tofile(a.get(), path.c_str(), nullptr), 1);
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    EXPECT_EQ(text.str(), "0.5\n1e-07\n1.23457e+08\n");
    ASSERT_EQ(QLTP_doublearray_tofile(a.get(), path.c_str(), "v=%.2f;"), 1);
    std::stringstream custom;
    custom << std::ifstream(path).rdbuf();
    EXPECT_EQ(custom.str(), "v=0.50;\nv=0.00;\nv=123456789.00;\n");
    // Formats that do not convert exactly one double are refused.
    EXPECT_EQ(QLTP_doublearray_tofile(a.get(), path.c_str(), "%s"), 0);
    EXPECT_EQ(QLTP_doublearray_tofile(a.get(), path.c_str(), "%f %f"), 0);
    EXPECT_EQ(QLTP_doublearray_tofile(a.get(), "/nonexistent-dir/x.txt", nullptr), 0);
    EXPECT_EQ(QLTP_doublearray_tofile(nullptr, path.c_str(), nullptr), 0);
    EXPECT_EQ(QLTP_doublearray_tofile(a.get(), nullptr, nullptr), 0);
    std::remove(path.c_str());
    // A full device makes the close fail.
    if (FILE* full = std::fopen("/dev/full", "w")) {
        std::fclose(full);
        std::vector<double> many(10000, 1.0);
        DoublePtr big(QLTP_doublearray_from_double(many.data(), static_cast<int>(many.size())));
        EXPECT_EQ(QLTP_doublearray_tofile(big.get(), "/dev/full", nullptr), 0);
    }
}

TEST(NumarrayFileTest, RandomBytesNeverReadOutOfBounds) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 2000; ++round) {
        std::vector<unsigned char> bytes(rng() % 40);
        for (auto& b : bytes) b = static_cast<unsigned char>(rng());
        if (bytes.size() >= 4 && round % 2) bytes[3] = 0, bytes[2] = 0;  // plausible counts
        for (int swap : {0, 1}) {
            FilePtr f = file_of(bytes);
            intarray* ia = nullptr;
            int got = QLTP_intarray_read(f.get(), &ia, swap);
            if (got) {
                EXPECT_EQ(static_cast<size_t>(got - 1), 4u * QLTP_intarray_sz(ia));
                EXPECT_LE(static_cast<size_t>(4 + got - 1), bytes.size());
            } else {
                EXPECT_EQ(ia, nullptr);
            }
            QLTP_intarray_delete(ia);
            std::rewind(f.get());
            doublearray* da = nullptr;
            got = QLTP_doublearray_read(f.get(), &da, swap);
            if (got) {
                EXPECT_LE(static_cast<size_t>(4 + got - 1), bytes.size());
            } else {
                EXPECT_EQ(da, nullptr);
            }
            QLTP_doublearray_delete(da);
        }
    }
}
