#include "foundation/doublematrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "test_db.h"

namespace {

using orvelle_test::ReadFile;

struct Matrix {
    doublematrix* a;
    explicit Matrix(doublematrix* m) : a(m) {}
    ~Matrix() { QLTP_doublematrix_delete(a); }
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
};

std::string WriteText(const orvelle_test::ScratchDir& dir, const std::string& name, const std::string& text) {
    std::string path = dir.Path("matrix_" + name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string Binary(const doublematrix* a, int swap) {
    std::string bytes(QLTP_doublematrix_write_sz(a), '\0');
    char* end = QLTP_doublematrix_write(a, bytes.data(), swap);
    EXPECT_EQ(end, bytes.data() + bytes.size());
    return bytes;
}

doublematrix* ReadBinary(const std::string& bytes, int swap) {
    FILE* f = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    doublematrix* a = nullptr;
    QLTP_doublematrix_read(f, &a, swap);
    std::fclose(f);
    return a;
}

TEST(DoubleMatrixTest, ShapeCodes) {
    struct Case {
        int m, n, code;
    } cases[] = {{1, 1, 1}, {3, 3, 2}, {1, 5, 3}, {5, 1, 4}, {2, 3, 5}, {0, 3, 0}, {3, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n));
        Matrix a(QLTP_doublematrix_new(c.m, c.n));
        ASSERT_NE(a.a, nullptr);
        EXPECT_EQ(QLTP_doublematrix_get_shape_type(a.a), c.code);
        EXPECT_EQ(QLTP_doublematrix_numel(a.a), c.m * c.n);
        EXPECT_EQ(QLTP_doublematrix_is_square(a.a), c.m == c.n);
    }
    EXPECT_EQ(QLTP_doublematrix_get_shape_type(nullptr), 0);
    EXPECT_EQ(QLTP_doublematrix_is_square(nullptr), 1);
    EXPECT_EQ(QLTP_doublematrix_new(-1, 2), nullptr);
    EXPECT_EQ(QLTP_doublematrix_new(1 << 16, 1 << 16), nullptr);  // 2^32 values
}

TEST(DoubleMatrixTest, ElementAccessStaysInside) {
    Matrix a(QLTP_doublematrix_new_identity(3));
    EXPECT_EQ(QLTP_doublematrix_get(a.a, 1, 1), 1.0);
    EXPECT_EQ(QLTP_doublematrix_get(a.a, 1, 2), 0.0);
    EXPECT_EQ(QLTP_doublematrix_set(a.a, 2, 0, 7.5), 1);
    EXPECT_EQ(QLTP_doublematrix_get_row_ptr(a.a, 2)[0], 7.5);
    for (auto [i, j] : std::vector<std::pair<int, int>>{{3, 0}, {0, 3}, {-1, 0}, {0, -1}}) {
        EXPECT_EQ(QLTP_doublematrix_set(a.a, i, j, 1.0), 0);
        EXPECT_EQ(QLTP_doublematrix_get(a.a, i, j), 0.0);
    }
    EXPECT_EQ(QLTP_doublematrix_get_row_ptr(a.a, 3), nullptr);
    EXPECT_EQ(QLTP_doublematrix_get_row_ptr(a.a, -1), nullptr);
    // Vector access only on one row or one column.
    EXPECT_EQ(QLTP_doublevector_set(a.a, 0, 1.0), 0);
    Matrix v(QLTP_doublevector_new_column(4));
    EXPECT_EQ(QLTP_doublevector_set(v.a, 3, 2.0), 1);
    EXPECT_EQ(QLTP_doublevector_set(v.a, 4, 2.0), 0);
    EXPECT_EQ(QLTP_doublevector_get(v.a, 3), 2.0);
    // Resizing keeps the orientation and zeroes the values.
    ASSERT_EQ(QLTP_doublevector_resize(v.a, 6), 1);
    EXPECT_EQ(QLTP_doublematrix_m(v.a), 6);
    EXPECT_EQ(QLTP_doublevector_get(v.a, 3), 0.0);
    EXPECT_EQ(QLTP_doublevector_resize(a.a, 2), 0);
    ASSERT_EQ(QLTP_doublematrix_resize(a.a, 1, 9), 1);
    EXPECT_EQ(QLTP_doublematrix_get_shape_type(a.a), QLTP_SHAPE_ROW);
    EXPECT_EQ(QLTP_doublematrix_get(a.a, 0, 0), 0.0);
    EXPECT_EQ(QLTP_doublematrix_resize(a.a, -2, 1), 0);
}

TEST(DoubleMatrixTest, ReadsTextRowsAtSinglePrecision) {
    struct Case {
        const char* text;
        int skip, m, n;
        std::vector<double> values;
    } cases[] = {
        {"1,2 3\n4 5 6\n", 0, 2, 3, {1, 2, 3, 4, 5, 6}},
        {"1,2 3\n4 5 6\n7 8\n", 0, 0, 0, {}},
        {"header\n\n 0.1\t-2.5e1 \r\n\n+3 x\n", 1, 2, 2, {double(0.1f), -25.0, 3.0, 0.0}},
        {"\n\n", 0, 0, 0, {}},
        {"1 2\n3 4", 0, 2, 2, {1, 2, 3, 4}},
        // Beyond the float range, hex and subnormal values read as the C library reads them.
        {"1e39 -1e39 0x1.8p1 -0X10\n1e-40 0x1p-149 1e-50 0x\n", 0, 2, 4,
         {HUGE_VAL, -HUGE_VAL, 3.0, -16.0, double(1e-40f), double(0x1p-149f), 0.0, 0.0}},
    };
    orvelle_test::ScratchDir dir;
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string path = WriteText(dir, std::to_string(k++), c.text);
        Matrix a(QLTP_doublematrix_new_fromfile_skipheader(path.c_str(), c.skip));
        if (c.m == 0) {
            EXPECT_EQ(a.a, nullptr);
            continue;
        }
        ASSERT_NE(a.a, nullptr);
        EXPECT_EQ(QLTP_doublematrix_m(a.a), c.m);
        EXPECT_EQ(QLTP_doublematrix_n(a.a), c.n);
        for (int i = 0; i < c.m * c.n; ++i) EXPECT_EQ(QLTP_doublematrix_get(a.a, i / c.n, i % c.n), c.values[i]);
    }
    EXPECT_EQ(QLTP_doublematrix_new_fromfile(nullptr), nullptr);
}

TEST(DoubleMatrixTest, LongTextLinesStayOneRow) {
    std::string line;
    for (int i = 0; i < 3000; ++i) line += std::to_string(i % 10) + ".5 ";
    ASSERT_GT(line.size(), 9999u);
    orvelle_test::ScratchDir dir;
    Matrix a(QLTP_doublematrix_new_fromfile(WriteText(dir, "long", line + "\n" + line + "\n").c_str()));
    ASSERT_NE(a.a, nullptr);
    EXPECT_EQ(QLTP_doublematrix_m(a.a), 2);
    EXPECT_EQ(QLTP_doublematrix_n(a.a), 3000);
    EXPECT_EQ(QLTP_doublematrix_get(a.a, 1, 2999), 9.5);
}

TEST(DoubleMatrixTest, TextRenderingsAndFileRoundTrip) {
    Matrix a(QLTP_doublematrix_new(2, 2));
    QLTP_doublematrix_set(a.a, 0, 0, 1.5);
    QLTP_doublematrix_set(a.a, 0, 1, -2);
    QLTP_doublematrix_set(a.a, 1, 1, 1e-7);
    dystr* d = QLTP_dystr_new(nullptr, 0);
    QLTP_doublematrix_print(a.a, d);
    EXPECT_STREQ(QLTP_dystr_cstr(d), "       1.5         -2\n         0      1e-07\n");
    QLTP_dystr_delete(d);
    d = QLTP_dystr_new(nullptr, 0);
    QLTP_doublematrix_printl(a.a, d);
    EXPECT_STREQ(QLTP_dystr_cstr(d), "[[1.5,-2],[0,1e-07]]");
    QLTP_dystr_delete(d);

    orvelle_test::ScratchDir dir;
    std::string path = dir.Path("matrix_out.txt");
    ASSERT_EQ(QLTP_doublematrix_tofile(a.a, path.c_str(), nullptr), 1);
    EXPECT_EQ(ReadFile(path), "1.5 -2\n0 1e-07\n");
    Matrix back(QLTP_doublematrix_new_fromfile(path.c_str()));
    ASSERT_NE(back.a, nullptr);
    EXPECT_EQ(QLTP_doublematrix_get(back.a, 1, 1), double(1e-7f));
    EXPECT_EQ(QLTP_doublematrix_tofile(a.a, path.c_str(), "%s"), 0);
    EXPECT_EQ(QLTP_doublematrix_tofile(a.a, path.c_str(), "%f %f"), 0);

    EXPECT_EQ(QLTP_doublematrix_tobinfile(a.a, nullptr), 4);
    ASSERT_EQ(QLTP_doublematrix_tobinfile(a.a, path.c_str()), 4);
    std::string raw = ReadFile(path);
    ASSERT_EQ(raw.size(), 16u);
    float f[4];
    std::memcpy(f, raw.data(), 16);
    EXPECT_EQ(f[0], 1.5f);
    EXPECT_EQ(f[3], 1e-7f);
}

TEST(DoubleMatrixTest, BlockCopiesChangeOnlyTheirTarget) {
    Matrix small(QLTP_doublematrix_new(2, 2));
    QLTP_doublematrix_fill(small.a, 5.0);
    Matrix big(QLTP_doublematrix_new(3, 3));
    QLTP_doublematrix_fill(big.a, -1.0);
    ASSERT_EQ(QLTP_doublematrix_copy_content(small.a, big.a), 1);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(QLTP_doublematrix_get(big.a, i, j), i < 2 && j < 2 ? 5.0 : -1.0);
    EXPECT_EQ(QLTP_doublematrix_copy_content(big.a, small.a), 0);

    // Source 3 x 3 holding 10 i + j.
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) QLTP_doublematrix_set(big.a, i, j, 10 * i + j);
    struct Block {
        int row, rows, col, cols, ok;
    } blocks[] = {{1, 2, 1, 2, 1}, {2, 2, 0, 1, 0}, {0, 1, 2, 2, 0}, {0, 3, 0, 1, 0},
                  {-1, 1, 0, 1, 0}, {0, -1, 0, 1, 0}, {0, 1, 0, -1, 0}};
    for (const auto& b : blocks) {
        SCOPED_TRACE(b.row * 1000 + b.col);
        QLTP_doublematrix_fill(small.a, 0.0);
        ASSERT_EQ(QLTP_doublematrix_sub_doublematrix(big.a, b.row, b.rows, b.col, b.cols, small.a), b.ok);
        for (int i = 0; b.ok && i < b.rows; ++i)
            for (int j = 0; j < b.cols; ++j)
                EXPECT_EQ(QLTP_doublematrix_get(small.a, i, j), 10 * (b.row + i) + b.col + j);
    }

    Matrix row(QLTP_doublevector_new_row(5));
    QLTP_doublevector_set(row.a, 4, 9.0);
    QLTP_doublematrix_get_row(big.a, 2, row.a);
    EXPECT_EQ(QLTP_doublevector_get(row.a, 2), 22.0);
    EXPECT_EQ(QLTP_doublevector_get(row.a, 4), 9.0);
    QLTP_doublematrix_get_row(big.a, -1, row.a);
    EXPECT_EQ(QLTP_doublevector_get(row.a, 0), 0.0);
    Matrix column(QLTP_doublevector_new_column(2));
    QLTP_doublematrix_get_column(big.a, 1, column.a);
    EXPECT_EQ(QLTP_doublevector_get(column.a, 1), 11.0);

    Matrix picked(QLTP_doublematrix_new(3, 3));
    intarray* idx = QLTP_intarray_new();
    for (int j : {2, -1, 0}) QLTP_intarray_add(idx, j);
    ASSERT_EQ(QLTP_doublematrix_get_column_byidxs(big.a, idx, picked.a), 1);
    EXPECT_EQ(QLTP_doublematrix_get(picked.a, 1, 0), 12.0);
    EXPECT_EQ(QLTP_doublematrix_get(picked.a, 1, 1), 0.0);
    EXPECT_EQ(QLTP_doublematrix_get(picked.a, 2, 2), 20.0);
    QLTP_intarray_replace(idx, 1, 3);  // one past the last column
    EXPECT_EQ(QLTP_doublematrix_get_column_byidxs(big.a, idx, picked.a), 0);
    QLTP_intarray_delete(idx);
}

TEST(DoubleMatrixTest, BinaryFormRoundTripsInBothByteOrders) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        int m = static_cast<int>(rng() % 5), n = static_cast<int>(rng() % 5);
        Matrix a(QLTP_doublematrix_new(m, n));
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < n; ++j) QLTP_doublematrix_set(a.a, i, j, std::ldexp(double(rng()), -int(rng() % 40)));
        for (int swap : {0, 1}) {
            std::string bytes = Binary(a.a, swap);
            ASSERT_EQ(bytes.size(), 12u + 8u * m * n);
            Matrix back(ReadBinary(bytes, swap));
            ASSERT_NE(back.a, nullptr);
            EXPECT_EQ(Binary(back.a, swap), bytes);
            EXPECT_EQ(QLTP_doublematrix_m(back.a), m);
            EXPECT_EQ(QLTP_doublematrix_n(back.a), n);
        }
    }
}

TEST(DoubleMatrixTest, CorruptBinariesAreRefused) {
    auto word = [](int32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    std::string value(8, '\0');
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"negative rows", word(-1) + word(-1) + word(1) + value},
        {"count not m x n", word(2) + word(2) + word(3) + value + value + value},
        {"values missing", word(1) + word(2) + word(2) + value},
        {"huge shape", word(65536) + word(65536) + word(0)},
        {"short shape", word(1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(ReadBinary(c.bytes, 0), nullptr);
    }
    // Mutated images never crash, and what they give is consistent.
    Matrix a(QLTP_doublematrix_new(3, 4));
    std::string good = Binary(a.a, 0);
    std::mt19937 rng(11);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string bytes = good;
        for (int k = 0, edits = 1 + int(rng() % 4); k < edits; ++k) bytes[rng() % bytes.size()] = char(rng());
        if (rng() % 3 == 0) bytes.resize(rng() % bytes.size());
        Matrix back(ReadBinary(bytes, int(rng() % 2)));
        if (back.a) {
            EXPECT_EQ(int64_t{QLTP_doublematrix_m(back.a)} * QLTP_doublematrix_n(back.a),
                      QLTP_doublearray_sz(back.a->values));
        }
    }
}

TEST(DoubleMatrixTest, ArrayWrapperBorrowsTheArray) {
    double v[] = {1, 2, 3};
    doublearray* values = QLTP_doublearray_from_double(v, 3);
    doublematrix* w = QLTP_doublevector_arraywrapper_new(values);
    EXPECT_EQ(QLTP_doublematrix_get_shape_type(w), QLTP_SHAPE_COLUMN);
    QLTP_doublevector_set(w, 1, 8.0);
    EXPECT_EQ(QLTP_doublearray_idx(values, 1), 8.0);
    QLTP_doublevector_arraywrapper_delete(w);
    EXPECT_EQ(QLTP_doublearray_sz(values), 3);
    QLTP_doublearray_delete(values);
    EXPECT_EQ(QLTP_doublevector_arraywrapper_new(nullptr), nullptr);
}

}  // namespace
