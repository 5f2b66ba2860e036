#include "foundation/numarray.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <locale.h>

#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

template <class A>
A* make(int reserve, uint32_t increment, uint32_t keep, uint32_t elsize) {
    auto* a = static_cast<A*>(QLTP_malloc(sizeof(A)));
    if (!a) return nullptr;
    QLTP_array_init(a, increment, keep, elsize, 0);
    if (!QLTP_array_extend(a, reserve)) {
        QLTP_array_delete(a);
        return nullptr;
    }
    return a;
}

template <class V>
V value_at(const array* a, int i) {
    const void* p = QLTP_array_idx(a, i);
    V v{};
    if (p) std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
int replace_at(array* a, int i, V v) {
    void* p = QLTP_array_idx(a, i);
    if (!p) return 0;
    std::memcpy(p, &v, sizeof v);
    return 1;
}

template <class V>
V* pointer_at(const array* a, int i) {
    if (!a || i < 0 || static_cast<uint32_t>(i) > a->count) return nullptr;
    return reinterpret_cast<V*>(a->storage) + i;
}

int remove_at(array* a, int i) {
    if (!QLTP_array_idx(a, i)) return 0;
    return QLTP_array_delete_range(a, i, 1);
}

template <class A, class V>
A* from_values(const V* values, int n, A* a) {
    if (!a) return nullptr;
    if (n > 0 && (!values || !QLTP_array_append(a, values, n))) {
        QLTP_array_delete(a);
        return nullptr;
    }
    return a;
}

// Reads an int32 count and that many values of V. Returns 1 + sizeof(V) x
// count, or 0 (and no array) for a short or inconsistent file.
template <class A, class V>
int read_values(FILE* file, A** out, int swap, A* (*create)(),
                int (*reader)(FILE*, void*, int, int)) {
    if (!out) return 0;
    *out = nullptr;
    int32_t count = 0;
    if (!file || QLTP_int_read(file, &count, 1, swap) != 1) return 0;
    if (count < 0 || count > (INT32_MAX - 1) / static_cast<int32_t>(sizeof(V))) return 0;
    if (!QLTP_file_may_hold(file, uint64_t{sizeof(V)} * count)) return 0;
    A* a = create();
    if (!a || !QLTP_array_extend(a, count)) {
        QLTP_array_delete(a);
        return 0;
    }
    if (count > 0 && reader(file, a->storage, count, swap) != count) {
        QLTP_array_delete(a);
        return 0;
    }
    a->count = static_cast<uint32_t>(count);
    *out = a;
    return 1 + static_cast<int>(sizeof(V)) * count;
}

void append_fixed6(dystr* d, double v, bool quoted) {
    char buf[400];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    if (ec != std::errc()) return;
    if (quoted)
        QLTP_dystr_append3(d, "\"", 1, buf, static_cast<int>(end - buf), "\"", 1);
    else
        QLTP_dystr_append(d, buf, static_cast<int>(end - buf));
}

template <class V>
void print_list(const array* a, dystr* d, const char* sep, bool quoted) {
    if (!d) return;
    QLTP_dystr_append(d, "[", 1);
    for (uint32_t i = 0; a && i < a->count; ++i) {
        if (i) QLTP_dystr_append(d, sep, -1);
        append_fixed6(d, value_at<V>(a, static_cast<int>(i)), quoted);
    }
    QLTP_dystr_append(d, "]", 1);
}

}  // namespace

QLTP_c_numbers::QLTP_c_numbers() : c_(newlocale(LC_ALL_MASK, "C", nullptr)), old_(c_ ? uselocale(c_) : nullptr) {}

QLTP_c_numbers::~QLTP_c_numbers() {
    if (!c_) return;
    uselocale(old_);
    freelocale(c_);
}

// A line format must convert exactly one double: anything else would make
// the formatter read arguments that are not there.
bool QLTP_is_double_format(const char* fmt) {
    int conversions = 0;
    for (const char* p = fmt; *p; ++p) {
        if (*p != '%') continue;
        if (*++p == '%') continue;
        while (*p && std::strchr("-+ #0", *p)) ++p;
        while (*p >= '0' && *p <= '9') ++p;
        if (*p == '.') {
            ++p;
            while (*p >= '0' && *p <= '9') ++p;
        }
        if (*p == 'l' || *p == 'L') ++p;
        if (!*p || !std::strchr("eEfFgGaA", *p)) return false;
        ++conversions;
    }
    return conversions == 1;
}


// intarray

intarray* QLTP_intarray_newcustom(int n, uint32_t increment, uint32_t keep) {
    return make<intarray>(n, increment, keep, sizeof(int32_t));
}

intarray* QLTP_intarray_new() { return QLTP_intarray_newcustom(0, 8, 64); }

intarray* QLTP_intarray_new_sz(uint32_t keep) { return QLTP_intarray_newcustom(0, 8, keep); }

intarray* QLTP_intarray_from_int(const int32_t* values, int n) {
    if (n < 0 || (n > 0 && !values)) return nullptr;
    return from_values(values, n, QLTP_intarray_new());
}

void QLTP_intarray_clear(intarray* a) { QLTP_array_clear(a); }
void QLTP_intarray_delete(intarray* a) { QLTP_array_delete(a); }
int QLTP_intarray_sz(const intarray* a) { return a ? static_cast<int>(a->count) : 0; }
int QLTP_intarray_extend(intarray* a, int n) { return QLTP_array_extend(a, n); }
int QLTP_intarray_extendsz(intarray* a, int n) { return QLTP_array_extendsz(a, n); }
int QLTP_intarray_resize(intarray* a, int n) { return QLTP_array_resize(a, n); }
int QLTP_intarray_add(intarray* a, int32_t v) { return QLTP_array_append(a, &v, 1); }
int QLTP_intarray_fill(intarray* a, int32_t v, int n) { return QLTP_array_fill(a, &v, n); }
int32_t QLTP_intarray_idx(const intarray* a, int i) { return value_at<int32_t>(a, i); }
int32_t* QLTP_intarray_idxptr(const intarray* a, int i) { return pointer_at<int32_t>(a, i); }
int QLTP_intarray_replace(intarray* a, int i, int32_t v) { return replace_at(a, i, v); }

int QLTP_intarray_insert_item(intarray* a, int32_t v, int pos) {
    return QLTP_array_insert_range(a, &v, 1, pos);
}

int QLTP_intarray_remove_item(intarray* a, int i) { return remove_at(a, i); }

int QLTP_intarray_delete_range(intarray* a, int pos, int n) {
    return QLTP_array_delete_range(a, pos, n);
}

int32_t QLTP_intarray_sum(const intarray* a) {
    uint32_t sum = 0;  // wraps like the 32-bit sum it is
    for (int i = 0, n = QLTP_intarray_sz(a); i < n; ++i)
        sum += static_cast<uint32_t>(QLTP_intarray_idx(a, i));
    return static_cast<int32_t>(sum);
}

int32_t QLTP_intarray_max(const intarray* a) {
    int n = QLTP_intarray_sz(a);
    if (n == 0) return 0;
    int32_t best = QLTP_intarray_idx(a, 0);
    for (int i = 1; i < n; ++i) best = std::max(best, QLTP_intarray_idx(a, i));
    return best;
}

int QLTP_intarray_has_int(const intarray* a, int32_t v) {
    for (int i = 0, n = QLTP_intarray_sz(a); i < n; ++i)
        if (QLTP_intarray_idx(a, i) == v) return 1;
    return 0;
}

namespace {

void print_ints(const intarray* a, dystr* d, const char* sep) {
    if (!d) return;
    QLTP_dystr_append(d, "[", 1);
    for (int i = 0, n = QLTP_intarray_sz(a); i < n; ++i) {
        if (i) QLTP_dystr_append(d, sep, -1);
        QLTP_dystr_appendint(d, QLTP_intarray_idx(a, i));
    }
    QLTP_dystr_append(d, "]", 1);
}

}  // namespace

void QLTP_intarray_print(const intarray* a, dystr* d) { print_ints(a, d, ", "); }
void QLTP_intarray_printl(const intarray* a, dystr* d) { print_ints(a, d, ","); }

void QLTP_intarray_printrange(const intarray* a, dystr* d) {
    if (!d) return;
    QLTP_dystr_append(d, "[", 1);
    int n = QLTP_intarray_sz(a);
    for (int start = 0; start < n;) {
        int end = start + 1;  // one past the run
        while (end < n && int64_t{QLTP_intarray_idx(a, end)} == int64_t{QLTP_intarray_idx(a, end - 1)} + 1)
            ++end;
        if (start) QLTP_dystr_append(d, ", ", 2);
        QLTP_dystr_appendint(d, QLTP_intarray_idx(a, start));
        if (end - start == 2) {
            QLTP_dystr_append(d, ", ", 2);
            QLTP_dystr_appendint(d, QLTP_intarray_idx(a, start + 1));
        } else if (end - start > 2) {
            QLTP_dystr_append(d, " ... ", 5);
            QLTP_dystr_appendint(d, QLTP_intarray_idx(a, end - 1));
        }
        start = end;
    }
    QLTP_dystr_append(d, "]", 1);
}

void QLTP_intarray_printf(const intarray* a) { QLTP_print_stdout(a, QLTP_intarray_print); }

uint32_t QLTP_intarray_write_sz(const intarray* a) { return 4 + 4 * (a ? a->count : 0); }

char* QLTP_intarray_write(const intarray* a, char* dst, int swap) {
    if (!dst) return nullptr;
    int32_t count = QLTP_intarray_sz(a);
    dst = QLTP_int_write(&count, dst, 1, swap);
    return count ? QLTP_int_write(a->storage, dst, count, swap) : dst;
}

int QLTP_intarray_read(FILE* file, intarray** out, int swap) {
    return read_values<intarray, int32_t>(file, out, swap, QLTP_intarray_new, QLTP_int_read);
}

// floatarray

floatarray* QLTP_floatarray_new() { return make<floatarray>(0, 8, 64, sizeof(float)); }

floatarray* QLTP_floatarray_from_float(const float* values, int n) {
    if (n < 0 || (n > 0 && !values)) return nullptr;
    return from_values(values, n, QLTP_floatarray_new());
}

void QLTP_floatarray_clear(floatarray* a) { QLTP_array_clear(a); }
void QLTP_floatarray_delete(floatarray* a) { QLTP_array_delete(a); }
int QLTP_floatarray_sz(const floatarray* a) { return a ? static_cast<int>(a->count) : 0; }
int QLTP_floatarray_extend(floatarray* a, int n) { return QLTP_array_extend(a, n); }
int QLTP_floatarray_extendsz(floatarray* a, int n) { return QLTP_array_extendsz(a, n); }
int QLTP_floatarray_add(floatarray* a, float v) { return QLTP_array_append(a, &v, 1); }
float QLTP_floatarray_idx(const floatarray* a, int i) { return value_at<float>(a, i); }
float* QLTP_floatarray_idxptr(const floatarray* a, int i) { return pointer_at<float>(a, i); }
int QLTP_floatarray_replace(floatarray* a, int i, float v) { return replace_at(a, i, v); }

int QLTP_floatarray_insert_item(floatarray* a, float v, int pos) {
    return QLTP_array_insert_range(a, &v, 1, pos);
}

int QLTP_floatarray_remove_item(floatarray* a, int i) { return remove_at(a, i); }

int QLTP_floatarray_delete_range(floatarray* a, int pos, int n) {
    return QLTP_array_delete_range(a, pos, n);
}

int QLTP_floatarray_from_doublearray(floatarray* fa, const doublearray* da, int n) {
    if (!fa || !da) return 0;
    int m = std::min({QLTP_floatarray_sz(fa), n, QLTP_doublearray_sz(da)});
    for (int i = 0; i < m; ++i)
        QLTP_floatarray_replace(fa, i, static_cast<float>(QLTP_doublearray_idx(da, i)));
    return 1;
}

void QLTP_floatarray_print(const floatarray* a, dystr* d) {
    if (!d) return;
    QLTP_dystr_append(d, "[", 1);
    for (int i = 0, n = QLTP_floatarray_sz(a); i < n; ++i) {
        if (i) QLTP_dystr_append(d, ", ", 2);
        QLTP_dystr_appendfloat(d, QLTP_floatarray_idx(a, i), 6, 'f');
    }
    QLTP_dystr_append(d, "]", 1);
}

void QLTP_floatarray_printl(const floatarray* a, dystr* d) { print_list<float>(a, d, ",", true); }

void QLTP_floatarray_printf(const floatarray* a) { QLTP_print_stdout(a, QLTP_floatarray_print); }

// doublearray

doublearray* QLTP_doublearray_new() { return make<doublearray>(0, 8, 64, sizeof(double)); }

doublearray* QLTP_doublearray_from_float(const float* values, int n) {
    if (n < 0 || (n > 0 && !values)) return nullptr;
    doublearray* a = QLTP_doublearray_new();
    if (!a || !QLTP_array_extend(a, n)) {
        QLTP_doublearray_delete(a);
        return nullptr;
    }
    for (int i = 0; i < n; ++i) QLTP_doublearray_add(a, values[i]);
    return a;
}

doublearray* QLTP_doublearray_from_double(const double* values, int n) {
    if (n < 0 || (n > 0 && !values)) return nullptr;
    return from_values(values, n, QLTP_doublearray_new());
}

void QLTP_doublearray_clear(doublearray* a) { QLTP_array_clear(a); }
void QLTP_doublearray_delete(doublearray* a) { QLTP_array_delete(a); }
int QLTP_doublearray_sz(const doublearray* a) { return a ? static_cast<int>(a->count) : 0; }
int QLTP_doublearray_extend(doublearray* a, int n) { return QLTP_array_extend(a, n); }
int QLTP_doublearray_extendsz(doublearray* a, int n) { return QLTP_array_extendsz(a, n); }
int QLTP_doublearray_resize(doublearray* a, int n) { return QLTP_array_resize(a, n); }
int QLTP_doublearray_add(doublearray* a, double v) { return QLTP_array_append(a, &v, 1); }
double QLTP_doublearray_idx(const doublearray* a, int i) { return value_at<double>(a, i); }
double* QLTP_doublearray_idxptr(const doublearray* a, int i) { return pointer_at<double>(a, i); }
int QLTP_doublearray_replace(doublearray* a, int i, double v) { return replace_at(a, i, v); }

int QLTP_doublearray_insert_item(doublearray* a, double v, int pos) {
    return QLTP_array_insert_range(a, &v, 1, pos);
}

int QLTP_doublearray_remove_item(doublearray* a, int i) { return remove_at(a, i); }

int QLTP_doublearray_delete_range(doublearray* a, int pos, int n) {
    return QLTP_array_delete_range(a, pos, n);
}

void QLTP_doublearray_fill(doublearray* a, double v) {
    for (int i = 0, n = QLTP_doublearray_sz(a); i < n; ++i) QLTP_doublearray_replace(a, i, v);
}

double QLTP_doublearray_sum(const doublearray* a) {
    double sum = 0.0;
    for (int i = 0, n = QLTP_doublearray_sz(a); i < n; ++i) sum += QLTP_doublearray_idx(a, i);
    return sum;
}

int QLTP_doublearray_copy_to_double(const doublearray* a, double* out) {
    int n = QLTP_doublearray_sz(a);
    if (!out || n == 0) return 0;
    std::memcpy(out, a->storage, sizeof(double) * n);
    return n;
}

void QLTP_doublearray_print(const doublearray* a, dystr* d) { print_list<double>(a, d, ", ", false); }
void QLTP_doublearray_printl(const doublearray* a, dystr* d) { print_list<double>(a, d, ",", true); }
void QLTP_doublearray_printf(const doublearray* a) { QLTP_print_stdout(a, QLTP_doublearray_print); }

int QLTP_doubles_tofile(const double* values, int64_t count, int64_t per_line, const char* path, const char* fmt) {
    if (!path) return 0;
    if (!fmt) fmt = "%.6g";
    if (!QLTP_is_double_format(fmt)) return 0;
    FILE* file = std::fopen(path, "w");
    if (!file) return 0;
    bool ok = true;
    {
        QLTP_c_numbers c_numbers;
        for (int64_t k = 0; ok && k < count; ++k)
            ok = std::fprintf(file, fmt, values[k]) >= 0 &&
                 std::fputc(per_line > 1 && (k + 1) % per_line != 0 ? ' ' : '\n', file) != EOF;
    }
    if (std::fclose(file) != 0) ok = false;
    return ok ? 1 : 0;
}

int QLTP_doublearray_tofile(const doublearray* a, const char* path, const char* fmt) {
    if (!a) return 0;
    return QLTP_doubles_tofile(reinterpret_cast<const double*>(a->storage), QLTP_doublearray_sz(a), 1, path, fmt);
}

uint32_t QLTP_doublearray_write_sz(const doublearray* a) { return 4 + 8 * (a ? a->count : 0); }

char* QLTP_doublearray_write(const doublearray* a, char* dst, int swap) {
    if (!dst) return nullptr;
    int32_t count = QLTP_doublearray_sz(a);
    dst = QLTP_int_write(&count, dst, 1, swap);
    return count ? QLTP_double_write(a->storage, dst, count, swap) : dst;
}

int QLTP_doublearray_read(FILE* file, doublearray** out, int swap) {
    return read_values<doublearray, double>(file, out, swap, QLTP_doublearray_new,
                                            QLTP_double_read);
}

doublearray* QLTPPy_doublearray_load(const char* path, int swap) {
    if (!path) return nullptr;
    FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    doublearray* a = nullptr;
    QLTP_doublearray_read(file, &a, swap);
    std::fclose(file);
    return a;
}
