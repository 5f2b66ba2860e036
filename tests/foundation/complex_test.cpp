#include "foundation/complex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace {

using Fn = complexdouble (*)(complexdouble);

complexdouble Abs(complexdouble z) { return {QLTP_cabs(z), 0.0}; }
complexdouble Phase(complexdouble z) { return {QLTP_carg(z), 0.0}; }

const std::vector<std::pair<const char*, Fn>> kFunctions = {
    {"exp", QLTP_cexp},     {"log", QLTP_clog},     {"sqrt", QLTP_csqrt},   {"sin", QLTP_csin},
    {"cos", QLTP_ccos},     {"tan", QLTP_ctan},     {"asin", QLTP_casin},   {"acos", QLTP_cacos},
    {"atan", QLTP_catan},   {"sinh", QLTP_csinh},   {"cosh", QLTP_ccosh},   {"tanh", QLTP_ctanh},
    {"asinh", QLTP_casinh}, {"acosh", QLTP_cacosh}, {"atanh", QLTP_catanh}, {"abs", Abs},
    {"phase", Phase},
};

std::vector<double> Grid() {
    const double inf = std::numeric_limits<double>::infinity();
    return {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.0, -3.25, 1e-300, -7e300, 800.0, inf, -inf,
            std::numeric_limits<double>::quiet_NaN()};
}

std::string Hex(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

int64_t Ulps(double a, double b) {
    auto key = [](double v) {
        int64_t i;
        std::memcpy(&i, &v, sizeof i);
        return i < 0 ? std::numeric_limits<int64_t>::min() - i : i;
    };
    int64_t d = key(a) - key(b);
    return d < 0 ? -d : d;
}

// A part agrees with cmath's: special values (NaN, infinities, zeros)
// exactly, finite values within 4 ulp. Where an argument part is NaN or
// infinite, Annex G leaves the sign of a zero or infinite result part
// unspecified, so only there signs are not compared.
bool Agrees(double got, double want, bool signs) {
    if (std::isnan(want)) return std::isnan(got);
    if (std::isinf(want) || want == 0.0)
        return std::fabs(got) == std::fabs(want) && (!signs || std::signbit(got) == std::signbit(want));
    return std::isfinite(got) && Ulps(got, want) <= 4;
}

// Values that C11's Annex G defines where the C99 tables behind cmath give
// NaN + NaN i; the host library follows C11.
bool C11Value(const std::string& name, complexdouble z, complexdouble* want) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (name == "tanh" && z.re == 0.0 && std::isnan(z.im)) return *want = {z.re, nan}, true;
    if (name == "tan" && std::isnan(z.re) && z.im == 0.0) return *want = {nan, z.im}, true;
    if (name == "acosh" && z.re == 0.0 && std::isnan(z.im)) return *want = {nan, M_PI / 2}, true;
    return false;
}

TEST(ComplexTest, FunctionsMatchPythonCmathOverSpecialValues) {
    struct Case {
        const char* name;
        Fn fn;
        complexdouble z;
    };
    std::vector<Case> cases;
    orvelle_test::ScratchDir dir;
    std::string in = dir.Path("complex_reference_in.txt");
    {
        std::ofstream f(in);
        for (const auto& [name, fn] : kFunctions)
            for (double re : Grid())
                for (double im : Grid()) {
                    cases.push_back({name, fn, {re, im}});
                    f << "cmath " << name << ' ' << Hex(re) << ' ' << Hex(im) << '\n';
                }
    }
    std::string cmd = std::string(ORVELLE_PYTHON) + " " + ORVELLE_SOURCE_DIR + "/tests/foundation/reference.py < " + in;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::vector<std::string> answers;
    char line[256];
    while (std::fgets(line, sizeof line, p)) answers.emplace_back(line, std::strcspn(line, "\n"));
    pclose(p);
    std::remove(in.c_str());
    ASSERT_EQ(answers.size(), cases.size());

    int compared = 0;
    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        complexdouble got = c.fn(c.z);
        SCOPED_TRACE(std::string(c.name) + "(" + Hex(c.z.re) + ", " + Hex(c.z.im) + ") -> " + Hex(got.re) + ", " +
                     Hex(got.im) + "; cmath: " + answers[k]);
        bool got_inf = std::isinf(got.re) || std::isinf(got.im);
        bool signs = std::isfinite(c.z.re) && std::isfinite(c.z.im);
        complexdouble c11;
        if (C11Value(c.name, c.z, &c11)) {
            EXPECT_TRUE(Agrees(got.re, c11.re, true));
            EXPECT_TRUE(Agrees(got.im, c11.im, true));
        } else if (answers[k] == "pole" || answers[k] == "overflow") {
            EXPECT_TRUE(got_inf);
        } else if (answers[k] == "domain") {
            EXPECT_FALSE(std::isfinite(got.re) && std::isfinite(got.im));
        } else {
            char* end = nullptr;
            double re = std::strtod(answers[k].c_str(), &end);
            double im = std::strtod(end, nullptr);
            EXPECT_TRUE(Agrees(got.re, re, signs));
            EXPECT_TRUE(Agrees(got.im, im, signs));
            ++compared;
        }
    }
    EXPECT_GT(compared, static_cast<int>(cases.size()) * 3 / 4);
}

TEST(ComplexTest, ProductAndQuotientFollowAnnexG) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    complexdouble i = QLTP_complex_new(0, 1);
    complexdouble m = QLTP_complex_multiply(i, i);
    EXPECT_EQ(m.re, -1.0);
    EXPECT_EQ(m.im, 0.0);
    complexdouble q = QLTP_complex_divide(QLTP_complex_new(1, 2), QLTP_complex_new(3, -4));
    EXPECT_DOUBLE_EQ(q.re, -0.2);
    EXPECT_DOUBLE_EQ(q.im, 0.4);
    struct Case {
        complexdouble a, b;
        bool divide;
        const char* what;
        bool infinite, zero;
    } cases[] = {
        {{inf, nan}, {1, 0}, false, "infinity times finite", true, false},
        {{nan, inf}, {0, 1}, false, "infinity times i", true, false},
        {{inf, 0}, {nan, nan}, false, "infinity times NaN stays NaN", false, false},
        {{1, 2}, {0, 0}, true, "finite over zero", true, false},
        {{inf, nan}, {2, 3}, true, "infinity over finite", true, false},
        {{1, 2}, {inf, nan}, true, "finite over infinity", false, true},
        // Exact in long double, overflowing if worked out in double.
        {{1e300, 1e300}, {1e10, -1e10}, false, "large product", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        complexdouble r = c.divide ? QLTP_complex_divide(c.a, c.b) : QLTP_complex_multiply(c.a, c.b);
        EXPECT_EQ(std::isinf(r.re) || std::isinf(r.im), c.infinite);
        EXPECT_EQ(r.re == 0.0 && r.im == 0.0, c.zero);
    }
    // Intermediate overflow that long double avoids: (1e200 + 1e200i) / (1e200 + 1e200i) = 1.
    complexdouble one = QLTP_complex_divide({1e200, 1e200}, {1e200, 1e200});
    EXPECT_DOUBLE_EQ(one.re, 1.0);
    EXPECT_EQ(one.im, 0.0);
    complexdouble pw = QLTP_cpow({0, 1}, {2, 0});
    EXPECT_NEAR(pw.re, -1.0, 1e-15);
    EXPECT_NEAR(pw.im, 0.0, 1e-15);
    complexdouble proj = QLTP_cproj({-inf, -2.0});
    EXPECT_EQ(proj.re, inf);
    EXPECT_TRUE(std::signbit(proj.im));
    EXPECT_EQ(QLTP_cconj({1, 2}).im, -2);
}

TEST(ComplexTest, ArrayGrowsAndRenders) {
    complexdoublearray* a = QLTP_complexdoublearray_new();
    for (int k = 0; k < 100; ++k) ASSERT_EQ(QLTP_complexdoublearray_add(a, {double(k), -double(k)}), 1);
    EXPECT_EQ(a->elsize, 16u);
    ASSERT_EQ(QLTP_complexdoublearray_insert_item(a, {0.5, 0.25}, 1), 1);
    ASSERT_EQ(QLTP_complexdoublearray_delete_range(a, 3, 96), 1);
    ASSERT_EQ(QLTP_complexdoublearray_sz(a), 5);
    EXPECT_EQ(QLTP_complexdoublearray_idx(a, 4).re, 99.0);
    EXPECT_EQ(QLTP_complexdoublearray_idx(a, 5).re, 0.0);
    EXPECT_EQ(QLTP_complexdoublearray_replace(a, 5, {1, 1}), 0);
    QLTP_complexdoublearray_idxptr(a, 0)->im = -0.0;
    dystr* d = QLTP_dystr_new(nullptr, 0);
    QLTP_complexdoublearray_print(a, d);
    EXPECT_STREQ(QLTP_dystr_cstr(d), "[0 - i0, 0.5 + i0.25, 1 - i1, 98 - i98, 99 - i99]");
    QLTP_complexdoublearray_fill(a, {1, 2});
    QLTP_dystr_delete(d);
    d = QLTP_dystr_new(nullptr, 0);
    QLTP_complexdoublearray_print(a, d);
    EXPECT_STREQ(QLTP_dystr_cstr(d), "[1 + i2, 1 + i2, 1 + i2, 1 + i2, 1 + i2]");
    QLTP_dystr_delete(d);
    QLTP_complexdoublearray_clear(a);
    EXPECT_EQ(QLTP_complexdoublearray_sz(a), 0);
    QLTP_complexdoublearray_delete(a);
}

}  // namespace
