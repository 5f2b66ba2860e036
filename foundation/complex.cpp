#include "foundation/complex.h"

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>

#include "foundation/numarray.h"
#include "foundation/strutil.h"

namespace {

using std_complex = std::complex<double>;
using wide_complex = std::complex<long double>;

std_complex to_std(complexdouble z) { return {z.re, z.im}; }
complexdouble from_std(std_complex z) { return {z.real(), z.imag()}; }

complexdouble from_wide(wide_complex z) {
    return {static_cast<double>(z.real()), static_cast<double>(z.imag())};
}

template <std_complex (*F)(const std_complex&)>
complexdouble apply(complexdouble z) {
    return from_std(F(to_std(z)));
}

}  // namespace

complexdouble QLTP_complex_new(double re, double im) { return {re, im}; }
complexdouble QLTP_complex_add(complexdouble a, complexdouble b) { return {a.re + b.re, a.im + b.im}; }
complexdouble QLTP_complex_subtract(complexdouble a, complexdouble b) { return {a.re - b.re, a.im - b.im}; }

// The compiler's complex product and quotient follow Annex G (through the
// runtime's multiply and divide helpers) unless fast-math flags are given.
complexdouble QLTP_complex_multiply(complexdouble a, complexdouble b) {
    return from_wide(wide_complex(a.re, a.im) * wide_complex(b.re, b.im));
}

complexdouble QLTP_complex_divide(complexdouble a, complexdouble b) {
    return from_wide(wide_complex(a.re, a.im) / wide_complex(b.re, b.im));
}

double QLTP_creal(complexdouble z) { return z.re; }
double QLTP_cimag(complexdouble z) { return z.im; }
complexdouble QLTP_cconj(complexdouble z) { return {z.re, -z.im}; }
double QLTP_cabs(complexdouble z) { return std::abs(to_std(z)); }
double QLTP_carg(complexdouble z) { return std::atan2(z.im, z.re); }
complexdouble QLTP_cproj(complexdouble z) { return from_std(std::proj(to_std(z))); }
complexdouble QLTP_cexp(complexdouble z) { return apply<std::exp<double>>(z); }
complexdouble QLTP_clog(complexdouble z) { return apply<std::log<double>>(z); }
complexdouble QLTP_cpow(complexdouble z, complexdouble w) { return from_std(std::pow(to_std(z), to_std(w))); }
complexdouble QLTP_csqrt(complexdouble z) { return apply<std::sqrt<double>>(z); }
complexdouble QLTP_csin(complexdouble z) { return apply<std::sin<double>>(z); }
complexdouble QLTP_ccos(complexdouble z) { return apply<std::cos<double>>(z); }
complexdouble QLTP_ctan(complexdouble z) { return apply<std::tan<double>>(z); }
complexdouble QLTP_casin(complexdouble z) { return apply<std::asin<double>>(z); }
complexdouble QLTP_cacos(complexdouble z) { return apply<std::acos<double>>(z); }
complexdouble QLTP_catan(complexdouble z) { return apply<std::atan<double>>(z); }
complexdouble QLTP_csinh(complexdouble z) { return apply<std::sinh<double>>(z); }
complexdouble QLTP_ccosh(complexdouble z) { return apply<std::cosh<double>>(z); }
complexdouble QLTP_ctanh(complexdouble z) { return apply<std::tanh<double>>(z); }
complexdouble QLTP_casinh(complexdouble z) { return apply<std::asinh<double>>(z); }
complexdouble QLTP_cacosh(complexdouble z) { return apply<std::acosh<double>>(z); }
complexdouble QLTP_catanh(complexdouble z) { return apply<std::atanh<double>>(z); }

// ---------------------------------------------------------------------------
// complexdoublearray

complexdoublearray* QLTP_complexdoublearray_new() {
    auto* a = static_cast<complexdoublearray*>(QLTP_malloc(sizeof(complexdoublearray)));
    if (a) QLTP_array_init(a, 8, 64, sizeof(complexdouble), 0);
    return a;
}

void QLTP_complexdoublearray_clear(complexdoublearray* a) { QLTP_array_clear(a); }
void QLTP_complexdoublearray_delete(complexdoublearray* a) { QLTP_array_delete(a); }
int QLTP_complexdoublearray_sz(const complexdoublearray* a) { return a ? static_cast<int>(a->count) : 0; }
int QLTP_complexdoublearray_extend(complexdoublearray* a, int n) { return QLTP_array_extend(a, n); }
int QLTP_complexdoublearray_extendsz(complexdoublearray* a, int n) { return QLTP_array_extendsz(a, n); }
int QLTP_complexdoublearray_add(complexdoublearray* a, complexdouble z) { return QLTP_array_append(a, &z, 1); }

int QLTP_complexdoublearray_insert_item(complexdoublearray* a, complexdouble z, int pos) {
    return QLTP_array_insert_range(a, &z, 1, pos);
}

int QLTP_complexdoublearray_delete_range(complexdoublearray* a, int pos, int n) {
    return QLTP_array_delete_range(a, pos, n);
}

int QLTP_complexdoublearray_replace(complexdoublearray* a, int i, complexdouble z) {
    void* p = QLTP_array_idx(a, i);
    if (!p) return 0;
    std::memcpy(p, &z, sizeof z);
    return 1;
}

complexdouble QLTP_complexdoublearray_idx(const complexdoublearray* a, int i) {
    complexdouble z{0.0, 0.0};
    if (const void* p = QLTP_array_idx(a, i)) std::memcpy(&z, p, sizeof z);
    return z;
}

complexdouble* QLTP_complexdoublearray_idxptr(const complexdoublearray* a, int i) {
    // As the typed arrays: one past the last element is a valid end pointer.
    if (!a || i < 0 || static_cast<uint32_t>(i) > a->count) return nullptr;
    return reinterpret_cast<complexdouble*>(a->storage) + i;
}

void QLTP_complexdoublearray_fill(complexdoublearray* a, complexdouble z) {
    for (int i = 0, n = QLTP_complexdoublearray_sz(a); i < n; ++i) QLTP_complexdoublearray_replace(a, i, z);
}

void QLTP_complexdoublearray_print(const complexdoublearray* a, dystr* d) {
    if (!d) return;
    QLTP_c_numbers c_numbers;
    char buf[96];
    QLTP_dystr_append(d, "[", 1);
    for (int i = 0, n = QLTP_complexdoublearray_sz(a); i < n; ++i) {
        complexdouble z = QLTP_complexdoublearray_idx(a, i);
        bool minus = std::signbit(z.im) && !std::isnan(z.im);
        int len = std::snprintf(buf, sizeof buf, "%s%g %s i%g", i ? ", " : "", z.re, minus ? "-" : "+",
                                minus ? -z.im : z.im);
        QLTP_dystr_append(d, buf, len);
    }
    QLTP_dystr_append(d, "]", 1);
}

void QLTP_complexdoublearray_printf(const complexdoublearray* a) {
    QLTP_print_stdout(a, QLTP_complexdoublearray_print);
}
