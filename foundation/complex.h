#pragma once
// Complex numbers of doubles and a growable array of them. The functions
// are the host's C99 complex functions; products and quotients are worked
// out in long double with the IEC 60559 rules for infinities and NaNs and
// rounded to double.

#include "foundation/array.h"
#include "foundation/dystr.h"

struct complexdouble {
    double re;
    double im;
};

// Element size 16, increment 8, keep 64, not owning.
struct complexdoublearray : array {};

// Arithmetic
complexdouble QLTP_complex_new(double re, double im);
complexdouble QLTP_complex_add(complexdouble a, complexdouble b);
complexdouble QLTP_complex_subtract(complexdouble a, complexdouble b);
complexdouble QLTP_complex_multiply(complexdouble a, complexdouble b);
complexdouble QLTP_complex_divide(complexdouble a, complexdouble b);

// Parts and the standard functions (QLTP_carg: atan2 of imaginary and real part)
double QLTP_creal(complexdouble z);
double QLTP_cimag(complexdouble z);
complexdouble QLTP_cconj(complexdouble z);
double QLTP_cabs(complexdouble z);
double QLTP_carg(complexdouble z);
complexdouble QLTP_cproj(complexdouble z);
complexdouble QLTP_cexp(complexdouble z);
complexdouble QLTP_clog(complexdouble z);
complexdouble QLTP_cpow(complexdouble z, complexdouble w);
complexdouble QLTP_csqrt(complexdouble z);
complexdouble QLTP_csin(complexdouble z);
complexdouble QLTP_ccos(complexdouble z);
complexdouble QLTP_ctan(complexdouble z);
complexdouble QLTP_casin(complexdouble z);
complexdouble QLTP_cacos(complexdouble z);
complexdouble QLTP_catan(complexdouble z);
complexdouble QLTP_csinh(complexdouble z);
complexdouble QLTP_ccosh(complexdouble z);
complexdouble QLTP_ctanh(complexdouble z);
complexdouble QLTP_casinh(complexdouble z);
complexdouble QLTP_cacosh(complexdouble z);
complexdouble QLTP_catanh(complexdouble z);

// complexdoublearray: as the typed number arrays (idx outside gives 0 + 0i)
complexdoublearray* QLTP_complexdoublearray_new();
void QLTP_complexdoublearray_clear(complexdoublearray* a);
void QLTP_complexdoublearray_delete(complexdoublearray* a);
int QLTP_complexdoublearray_sz(const complexdoublearray* a);
int QLTP_complexdoublearray_extend(complexdoublearray* a, int n);
int QLTP_complexdoublearray_extendsz(complexdoublearray* a, int n);
int QLTP_complexdoublearray_add(complexdoublearray* a, complexdouble z);
int QLTP_complexdoublearray_insert_item(complexdoublearray* a, complexdouble z, int pos);
int QLTP_complexdoublearray_delete_range(complexdoublearray* a, int pos, int n);
int QLTP_complexdoublearray_replace(complexdoublearray* a, int i, complexdouble z);
complexdouble QLTP_complexdoublearray_idx(const complexdoublearray* a, int i);
complexdouble* QLTP_complexdoublearray_idxptr(const complexdoublearray* a, int i);
void QLTP_complexdoublearray_fill(complexdoublearray* a, complexdouble z);

// Diagnostic rendering "[1 + i2, 3 - i4]"
void QLTP_complexdoublearray_print(const complexdoublearray* a, dystr* d);
void QLTP_complexdoublearray_printf(const complexdoublearray* a);
