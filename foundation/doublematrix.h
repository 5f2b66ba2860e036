#pragma once
// Dense matrix of doubles in row-major order; vectors are matrices of one
// row or one column. Element (i, j) is value i x n + j.
//
// Binary form, in the writer's byte order: int32 m, int32 n, then the values
// as a doublearray (int32 count, the doubles). Text form: one row per line,
// values separated by white space or commas, empty lines skipped; values are
// read at single precision as the C library reads them, whatever the process
// locale (beyond the float range: infinite; hex floats: their value).

#include <cstdint>
#include <cstdio>

#include "foundation/dystr.h"
#include "foundation/numarray.h"

struct doublematrix {
    uint32_t m;
    uint32_t n;
    doublearray* values;
};

// Shape codes of QLTP_doublematrix_get_shape_type.
enum : int {
    QLTP_SHAPE_NONE = 0,    // no matrix, or no rows or no columns
    QLTP_SHAPE_SCALAR = 1,  // 1 x 1
    QLTP_SHAPE_SQUARE = 2,  // m = n > 1
    QLTP_SHAPE_ROW = 3,     // 1 x n, n > 1
    QLTP_SHAPE_COLUMN = 4,  // m x 1, m > 1
    QLTP_SHAPE_OTHER = 5,
};

// Create and free (values 0.0 unless said; negative or oversized shapes give NULL)
doublematrix* QLTP_doublematrix_new(int m, int n);
doublematrix* QLTP_doublematrix_new_identity(int n);
doublematrix* QLTP_doublevector_new_row(int n);
doublematrix* QLTP_doublevector_new_column(int n);
doublematrix* QLTP_doublematrix_new_fromfile(const char* path);
doublematrix* QLTP_doublematrix_new_fromfile_skipheader(const char* path, int k);
// A column vector over the caller's array (not copied, not freed with it)
doublematrix* QLTP_doublevector_arraywrapper_new(doublearray* a);
void QLTP_doublevector_arraywrapper_delete(doublematrix* v);
void QLTP_doublematrix_delete(doublematrix* a);
void QLTP_doublevector_delete(doublematrix* v);

// Shape
void QLTP_doublematrix_clear(doublematrix* a);
void QLTP_doublevector_clear(doublematrix* v);
int QLTP_doublematrix_resize(doublematrix* a, int m, int n);
int QLTP_doublevector_resize(doublematrix* v, int n);
int QLTP_doublematrix_m(const doublematrix* a);
int QLTP_doublematrix_n(const doublematrix* a);
int QLTP_doublematrix_numel(const doublematrix* a);
int QLTP_doublematrix_is_square(const doublematrix* a);
int QLTP_doublematrix_get_shape_type(const doublematrix* a);

// Elements (outside the matrix: get 0.0, set 0)
double QLTP_doublematrix_get(const doublematrix* a, int i, int j);
int QLTP_doublematrix_set(doublematrix* a, int i, int j, double v);
double QLTP_doublevector_get(const doublematrix* v, int k);
int QLTP_doublevector_set(doublematrix* v, int k, double value);
void QLTP_doublematrix_fill(doublematrix* a, double value);
double* QLTP_doublematrix_get_row_ptr(const doublematrix* a, int i);

// Rows, columns and blocks
void QLTP_doublematrix_get_row(const doublematrix* a, int i, doublematrix* row);
void QLTP_doublematrix_get_column(const doublematrix* a, int j, doublematrix* column);
int QLTP_doublematrix_sub_doublematrix(const doublematrix* src, int row, int rows, int col, int cols,
                                       doublematrix* dst);
int QLTP_doublematrix_get_column_byidxs(const doublematrix* src, const intarray* idx, doublematrix* dst);
int QLTP_doublematrix_copy_content(const doublematrix* src, doublematrix* dst);

// Binary form
uint32_t QLTP_doublematrix_write_sz(const doublematrix* a);
char* QLTP_doublematrix_write(const doublematrix* a, char* dst, int swap);
int QLTP_doublematrix_read(FILE* file, doublematrix** out, int swap);
doublematrix* QLTPPy_doublematrix_load(const char* path, int swap);

// Files and text renderings. tobinfile writes the values as host-order
// floats (without a path: the value count; -1 when the file fails); tofile
// writes the text form with a one-double format (default "%.6g").
int QLTP_doublematrix_tobinfile(const doublematrix* a, const char* path);
int QLTP_doublematrix_tofile(const doublematrix* a, const char* path, const char* fmt);
void QLTP_doublematrix_print(const doublematrix* a, dystr* d);
void QLTP_doublematrix_printl(const doublematrix* a, dystr* d);
void QLTP_doublematrix_printf(const doublematrix* a);
