#include "foundation/doublematrix.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

// The largest value count whose binary form still has a 32-bit size.
constexpr int64_t kMaxValues = (INT32_MAX - 1 - 12) / 8;

bool valid_shape(int64_t m, int64_t n) { return m >= 0 && n >= 0 && m * n <= kMaxValues; }

double* data(const doublematrix* a) { return reinterpret_cast<double*>(a->values->storage); }

int64_t numel(const doublematrix* a) { return int64_t{a->m} * a->n; }

bool inside(const doublematrix* a, int i, int j) {
    return a && a->values && i >= 0 && j >= 0 && static_cast<uint32_t>(i) < a->m &&
           static_cast<uint32_t>(j) < a->n;
}

bool is_vector(const doublematrix* a) { return a && a->values && (a->m == 1 || a->n == 1); }

// Replaces the values by count zeros.
bool zero_values(doublearray* values, int64_t count) {
    if (!QLTP_doublearray_resize(values, static_cast<int>(count))) return false;
    QLTP_doublearray_fill(values, 0.0);
    return true;
}

doublematrix* make(int64_t m, int64_t n, doublearray* values) {
    auto* a = static_cast<doublematrix*>(QLTP_malloc(sizeof(doublematrix)));
    if (!a) return nullptr;
    a->m = static_cast<uint32_t>(m);
    a->n = static_cast<uint32_t>(n);
    a->values = values;
    return a;
}

bool is_field_separator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == ','; }

// One text field as a float widened to double, read as the C library reads
// it (the caller holds the C locale): values beyond the float range are
// infinite, hex floats are read; what is no number reads as 0.0 and a number
// followed by other characters as that number.
double parse_float(const char* p, const char* end) {
    const std::string field(p, end);
    return static_cast<double>(std::strtof(field.c_str(), nullptr));
}

// Parses the fields of one line into out; gives their number.
int64_t parse_line(std::string_view line, std::vector<double>& out) {
    const char* p = line.data();
    const char* end = p + line.size();
    int64_t fields = 0;
    while (true) {
        while (p < end && is_field_separator(*p)) ++p;
        if (p == end) break;
        const char* start = p;
        while (p < end && !is_field_separator(*p)) ++p;
        out.push_back(parse_float(start, p));
        ++fields;
    }
    return fields;
}

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

doublematrix* QLTP_doublematrix_new(int m, int n) {
    if (!valid_shape(m, n)) return nullptr;
    doublearray* values = QLTP_doublearray_new();
    if (!values || !zero_values(values, int64_t{m} * n)) {
        QLTP_doublearray_delete(values);
        return nullptr;
    }
    doublematrix* a = make(m, n, values);
    if (!a) QLTP_doublearray_delete(values);
    return a;
}

doublematrix* QLTP_doublematrix_new_identity(int n) {
    doublematrix* a = QLTP_doublematrix_new(n, n);
    for (int i = 0; a && i < n; ++i) data(a)[int64_t{i} * n + i] = 1.0;
    return a;
}

doublematrix* QLTP_doublevector_new_row(int n) { return QLTP_doublematrix_new(1, n); }
doublematrix* QLTP_doublevector_new_column(int n) { return QLTP_doublematrix_new(n, 1); }

doublematrix* QLTP_doublematrix_new_fromfile(const char* path) {
    return QLTP_doublematrix_new_fromfile_skipheader(path, 0);
}

doublematrix* QLTP_doublematrix_new_fromfile_skipheader(const char* path, int k) {
    std::string text;
    if (!path || !QLTP_read_text_file(path, text)) return nullptr;
    std::string_view rest(text);
    auto next_line = [&rest]() {
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        return line;
    };
    for (int i = 0; i < k && !rest.empty(); ++i) next_line();

    std::vector<double> values;
    int64_t rows = 0, columns = -1;
    const QLTP_c_numbers c_locale;
    try {
        while (!rest.empty()) {
            size_t before = values.size();
            int64_t fields = parse_line(next_line(), values);
            if (fields == 0) continue;
            if (columns < 0) columns = fields;
            if (fields != columns) return nullptr;
            ++rows;
            if (!valid_shape(rows, columns)) {
                values.resize(before);
                return nullptr;
            }
        }
    } catch (...) {
        return nullptr;
    }
    if (rows == 0) return nullptr;
    doublearray* array = QLTP_doublearray_from_double(values.data(), static_cast<int>(values.size()));
    if (!array) return nullptr;
    doublematrix* a = make(rows, columns, array);
    if (!a) QLTP_doublearray_delete(array);
    return a;
}

doublematrix* QLTP_doublevector_arraywrapper_new(doublearray* a) {
    if (!a) return nullptr;
    return make(QLTP_doublearray_sz(a), 1, a);
}

void QLTP_doublevector_arraywrapper_delete(doublematrix* v) { QLTP_free(v); }

void QLTP_doublematrix_delete(doublematrix* a) {
    if (!a) return;
    QLTP_doublearray_delete(a->values);
    QLTP_free(a);
}

void QLTP_doublevector_delete(doublematrix* v) { QLTP_doublematrix_delete(v); }

// ---------------------------------------------------------------------------
// Shape

void QLTP_doublematrix_clear(doublematrix* a) {
    if (a && a->values) zero_values(a->values, numel(a));
}

void QLTP_doublevector_clear(doublematrix* v) { QLTP_doublematrix_clear(v); }

int QLTP_doublematrix_resize(doublematrix* a, int m, int n) {
    if (!a || !a->values || !valid_shape(m, n)) return 0;
    int64_t count = int64_t{m} * n;
    if (count == QLTP_doublearray_sz(a->values))
        QLTP_doublearray_fill(a->values, 0.0);
    else if (!zero_values(a->values, count))
        return 0;
    a->m = static_cast<uint32_t>(m);
    a->n = static_cast<uint32_t>(n);
    return 1;
}

int QLTP_doublevector_resize(doublematrix* v, int n) {
    if (!is_vector(v) || v->m == 0 || v->n == 0) return 0;
    return v->n == 1 && v->m > 1 ? QLTP_doublematrix_resize(v, n, 1) : QLTP_doublematrix_resize(v, 1, n);
}

int QLTP_doublematrix_m(const doublematrix* a) { return a ? static_cast<int>(a->m) : 0; }
int QLTP_doublematrix_n(const doublematrix* a) { return a ? static_cast<int>(a->n) : 0; }
int QLTP_doublematrix_numel(const doublematrix* a) { return a ? static_cast<int>(numel(a)) : 0; }
int QLTP_doublematrix_is_square(const doublematrix* a) { return !a || a->m == a->n; }

int QLTP_doublematrix_get_shape_type(const doublematrix* a) {
    if (!a || a->m == 0 || a->n == 0) return QLTP_SHAPE_NONE;
    if (a->m == 1 && a->n == 1) return QLTP_SHAPE_SCALAR;
    if (a->m == a->n) return QLTP_SHAPE_SQUARE;
    if (a->m == 1) return QLTP_SHAPE_ROW;
    if (a->n == 1) return QLTP_SHAPE_COLUMN;
    return QLTP_SHAPE_OTHER;
}

// ---------------------------------------------------------------------------
// Elements

double QLTP_doublematrix_get(const doublematrix* a, int i, int j) {
    return inside(a, i, j) ? data(a)[int64_t{i} * a->n + j] : 0.0;
}

int QLTP_doublematrix_set(doublematrix* a, int i, int j, double v) {
    if (!inside(a, i, j)) return 0;
    data(a)[int64_t{i} * a->n + j] = v;
    return 1;
}

double QLTP_doublevector_get(const doublematrix* v, int k) {
    return is_vector(v) && k >= 0 && k < numel(v) ? data(v)[k] : 0.0;
}

int QLTP_doublevector_set(doublematrix* v, int k, double value) {
    if (!is_vector(v) || k < 0 || k >= numel(v)) return 0;
    data(v)[k] = value;
    return 1;
}

void QLTP_doublematrix_fill(doublematrix* a, double value) {
    if (a && a->values) QLTP_doublearray_fill(a->values, value);
}

double* QLTP_doublematrix_get_row_ptr(const doublematrix* a, int i) {
    if (!inside(a, i, 0)) return nullptr;
    return data(a) + int64_t{i} * a->n;
}

// ---------------------------------------------------------------------------
// Rows, columns and blocks

void QLTP_doublematrix_get_row(const doublematrix* a, int i, doublematrix* row) {
    if (!a || !a->values || !row || !row->values) return;
    int64_t count = std::min<int64_t>(a->n, numel(row));
    const double* src = inside(a, i, 0) ? data(a) + int64_t{i} * a->n : nullptr;
    for (int64_t k = 0; k < count; ++k) data(row)[k] = src ? src[k] : 0.0;
}

void QLTP_doublematrix_get_column(const doublematrix* a, int j, doublematrix* column) {
    if (!a || !a->values || !column || !column->values || column->n == 0) return;
    int64_t count = std::min<int64_t>(a->m, column->m);
    bool valid = j >= 0 && static_cast<uint32_t>(j) < a->n;
    for (int64_t i = 0; i < count; ++i)
        data(column)[i * column->n] = valid ? data(a)[i * a->n + j] : 0.0;
}

int QLTP_doublematrix_sub_doublematrix(const doublematrix* src, int row, int rows, int col, int cols,
                                       doublematrix* dst) {
    if (!src || !dst || !src->values || !dst->values) return 0;
    if (row < 0 || rows < 0 || col < 0 || cols < 0) return 0;
    if (int64_t{row} + rows > src->m || int64_t{col} + cols > src->n) return 0;
    if (static_cast<uint32_t>(rows) > dst->m || static_cast<uint32_t>(cols) > dst->n) return 0;
    for (int64_t i = 0; i < rows; ++i)
        std::memmove(data(dst) + i * dst->n, data(src) + (row + i) * src->n + col, sizeof(double) * cols);
    return 1;
}

int QLTP_doublematrix_get_column_byidxs(const doublematrix* src, const intarray* idx, doublematrix* dst) {
    if (!src || !idx || !dst || !src->values || !dst->values) return 0;
    int count = QLTP_intarray_sz(idx);
    if (dst->n < static_cast<uint32_t>(count) || dst->m < src->m) return 0;
    for (int k = 0; k < count; ++k)
        if (QLTP_intarray_idx(idx, k) >= static_cast<int64_t>(src->n)) return 0;
    for (int k = 0; k < count; ++k) {
        int32_t j = QLTP_intarray_idx(idx, k);
        for (int64_t i = 0; i < src->m; ++i) data(dst)[i * dst->n + k] = j < 0 ? 0.0 : data(src)[i * src->n + j];
    }
    return 1;
}

int QLTP_doublematrix_copy_content(const doublematrix* src, doublematrix* dst) {
    if (!src || !dst) return 0;
    return QLTP_doublematrix_sub_doublematrix(src, 0, static_cast<int>(src->m), 0, static_cast<int>(src->n), dst);
}

// ---------------------------------------------------------------------------
// Binary form

uint32_t QLTP_doublematrix_write_sz(const doublematrix* a) {
    return 8 + QLTP_doublearray_write_sz(a ? a->values : nullptr);
}

char* QLTP_doublematrix_write(const doublematrix* a, char* dst, int swap) {
    if (!dst) return nullptr;
    int32_t shape[2] = {static_cast<int32_t>(QLTP_doublematrix_m(a)), static_cast<int32_t>(QLTP_doublematrix_n(a))};
    dst = QLTP_int_write(shape, dst, 2, swap);
    return QLTP_doublearray_write(a ? a->values : nullptr, dst, swap);
}

int QLTP_doublematrix_read(FILE* file, doublematrix** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    int32_t shape[2] = {0, 0};
    if (!file || QLTP_int_read(file, shape, 2, swap) != 2 || !valid_shape(shape[0], shape[1])) return 0;
    doublearray* values = nullptr;
    int got = QLTP_doublearray_read(file, &values, swap);
    if (!got || QLTP_doublearray_sz(values) != int64_t{shape[0]} * shape[1]) {
        QLTP_doublearray_delete(values);
        return 0;
    }
    *out = make(shape[0], shape[1], values);
    if (!*out) {
        QLTP_doublearray_delete(values);
        return 0;
    }
    return 2 + got;
}

doublematrix* QLTPPy_doublematrix_load(const char* path, int swap) {
    FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (!file) return nullptr;
    doublematrix* a = nullptr;
    QLTP_doublematrix_read(file, &a, swap);
    std::fclose(file);
    return a;
}

// ---------------------------------------------------------------------------
// Files and text renderings

int QLTP_doublematrix_tobinfile(const doublematrix* a, const char* path) {
    int count = QLTP_doublematrix_numel(a);
    if (!path) return count;
    FILE* file = std::fopen(path, "wb");
    if (!file) return -1;
    std::vector<float> values(static_cast<size_t>(count));
    for (int k = 0; k < count; ++k) values[k] = static_cast<float>(data(a)[k]);
    bool ok = count == 0 || std::fwrite(values.data(), sizeof(float), values.size(), file) == values.size();
    if (std::fclose(file) != 0) ok = false;
    return ok ? count : -1;
}

int QLTP_doublematrix_tofile(const doublematrix* a, const char* path, const char* fmt) {
    if (!a || !a->values) return 0;
    return QLTP_doubles_tofile(data(a), numel(a), a->n, path, fmt);
}

void QLTP_doublematrix_print(const doublematrix* a, dystr* d) {
    if (!a || !a->values || !d) return;
    QLTP_c_numbers c_numbers;
    char buf[64];
    for (int64_t i = 0; i < a->m; ++i) {
        for (int64_t j = 0; j < a->n; ++j) {
            int len = std::snprintf(buf, sizeof buf, "%10.6g", data(a)[i * a->n + j]);
            QLTP_dystr_append(d, buf, len);
            if (j + 1 < a->n) QLTP_dystr_append(d, " ", 1);
        }
        QLTP_dystr_append(d, "\n", 1);
    }
}

void QLTP_doublematrix_printl(const doublematrix* a, dystr* d) {
    if (!d) return;
    QLTP_c_numbers c_numbers;
    char buf[64];
    QLTP_dystr_append(d, "[", 1);
    for (int64_t i = 0; a && a->values && i < a->m; ++i) {
        QLTP_dystr_append(d, i ? ",[" : "[", -1);
        for (int64_t j = 0; j < a->n; ++j) {
            int len = std::snprintf(buf, sizeof buf, j ? ",%g" : "%g", data(a)[i * a->n + j]);
            QLTP_dystr_append(d, buf, len);
        }
        QLTP_dystr_append(d, "]", 1);
    }
    QLTP_dystr_append(d, "]", 1);
}

void QLTP_doublematrix_printf(const doublematrix* a) { QLTP_print_stdout(a, QLTP_doublematrix_print); }
