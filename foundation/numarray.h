#pragma once
// Typed number arrays over the generic array: intarray (int32), floatarray
// (float) and doublearray (double). Increment 8, keep 64, never owning.

#include <cstdint>
#include <cstdio>

#include "foundation/array.h"
#include "foundation/dystr.h"

#include <locale.h>

// Number formatting shared by the text renderings: while one of these lives,
// the thread formats numbers as the C locale does, whatever the process
// locale says.
class QLTP_c_numbers {
  public:
    QLTP_c_numbers();
    ~QLTP_c_numbers();
    QLTP_c_numbers(const QLTP_c_numbers&) = delete;
    QLTP_c_numbers& operator=(const QLTP_c_numbers&) = delete;

  private:
    locale_t c_;
    locale_t old_;
};
// Whether a caller's printf format converts exactly one double and nothing
// else (anything else would make the formatter read missing arguments).
bool QLTP_is_double_format(const char* fmt);

// Writes count doubles as text to the file at path, each with fmt (NULL:
// "%.6g"), per_line of them to a line separated by blanks; 1 on success.
int QLTP_doubles_tofile(const double* values, int64_t count, int64_t per_line, const char* path, const char* fmt);

// Prints an object to stdout with its printer.
template <class T>
void QLTP_print_stdout(const T* object, void (*print)(const T*, dystr*)) {
    dystr* d = QLTP_dystr_new(nullptr, 0);
    print(object, d);
    QLTP_dystr_printf(d);
    QLTP_dystr_delete(d);
}

struct intarray : array {};
struct floatarray : array {};
struct doublearray : array {};

// intarray: create and free
intarray* QLTP_intarray_new();
intarray* QLTP_intarray_newcustom(int n, uint32_t increment, uint32_t keep);
intarray* QLTP_intarray_new_sz(uint32_t keep);
intarray* QLTP_intarray_from_int(const int32_t* values, int n);
void QLTP_intarray_clear(intarray* a);
void QLTP_intarray_delete(intarray* a);

// intarray: size and reservation
int QLTP_intarray_sz(const intarray* a);
int QLTP_intarray_extend(intarray* a, int n);
int QLTP_intarray_extendsz(intarray* a, int n);
int QLTP_intarray_resize(intarray* a, int n);

// intarray: elements
int QLTP_intarray_add(intarray* a, int32_t v);
int QLTP_intarray_fill(intarray* a, int32_t v, int n);
int32_t QLTP_intarray_idx(const intarray* a, int i);
int32_t* QLTP_intarray_idxptr(const intarray* a, int i);
int QLTP_intarray_replace(intarray* a, int i, int32_t v);
int QLTP_intarray_insert_item(intarray* a, int32_t v, int pos);
int QLTP_intarray_remove_item(intarray* a, int i);
int QLTP_intarray_delete_range(intarray* a, int pos, int n);

// intarray: queries
int32_t QLTP_intarray_sum(const intarray* a);
int32_t QLTP_intarray_max(const intarray* a);
int QLTP_intarray_has_int(const intarray* a, int32_t v);

// intarray: text renderings
void QLTP_intarray_print(const intarray* a, dystr* d);
void QLTP_intarray_printl(const intarray* a, dystr* d);
void QLTP_intarray_printrange(const intarray* a, dystr* d);
void QLTP_intarray_printf(const intarray* a);

// intarray: file form (count, then the values; all int32)
uint32_t QLTP_intarray_write_sz(const intarray* a);
char* QLTP_intarray_write(const intarray* a, char* dst, int swap);
int QLTP_intarray_read(FILE* file, intarray** out, int swap);

// floatarray: create and free
floatarray* QLTP_floatarray_new();
floatarray* QLTP_floatarray_from_float(const float* values, int n);
void QLTP_floatarray_clear(floatarray* a);
void QLTP_floatarray_delete(floatarray* a);

// floatarray: size and reservation
int QLTP_floatarray_sz(const floatarray* a);
int QLTP_floatarray_extend(floatarray* a, int n);
int QLTP_floatarray_extendsz(floatarray* a, int n);

// floatarray: elements
int QLTP_floatarray_add(floatarray* a, float v);
float QLTP_floatarray_idx(const floatarray* a, int i);
float* QLTP_floatarray_idxptr(const floatarray* a, int i);
int QLTP_floatarray_replace(floatarray* a, int i, float v);
int QLTP_floatarray_insert_item(floatarray* a, float v, int pos);
int QLTP_floatarray_remove_item(floatarray* a, int i);
int QLTP_floatarray_delete_range(floatarray* a, int pos, int n);
int QLTP_floatarray_from_doublearray(floatarray* fa, const doublearray* da, int n);

// floatarray: text renderings
void QLTP_floatarray_print(const floatarray* a, dystr* d);
void QLTP_floatarray_printl(const floatarray* a, dystr* d);
void QLTP_floatarray_printf(const floatarray* a);

// doublearray: create and free
doublearray* QLTP_doublearray_new();
doublearray* QLTP_doublearray_from_float(const float* values, int n);
doublearray* QLTP_doublearray_from_double(const double* values, int n);
void QLTP_doublearray_clear(doublearray* a);
void QLTP_doublearray_delete(doublearray* a);

// doublearray: size and reservation
int QLTP_doublearray_sz(const doublearray* a);
int QLTP_doublearray_extend(doublearray* a, int n);
int QLTP_doublearray_extendsz(doublearray* a, int n);
int QLTP_doublearray_resize(doublearray* a, int n);

// doublearray: elements
int QLTP_doublearray_add(doublearray* a, double v);
double QLTP_doublearray_idx(const doublearray* a, int i);
double* QLTP_doublearray_idxptr(const doublearray* a, int i);
int QLTP_doublearray_replace(doublearray* a, int i, double v);
int QLTP_doublearray_insert_item(doublearray* a, double v, int pos);
int QLTP_doublearray_remove_item(doublearray* a, int i);
int QLTP_doublearray_delete_range(doublearray* a, int pos, int n);
void QLTP_doublearray_fill(doublearray* a, double v);
double QLTP_doublearray_sum(const doublearray* a);
int QLTP_doublearray_copy_to_double(const doublearray* a, double* out);

// doublearray: text renderings and text file
void QLTP_doublearray_print(const doublearray* a, dystr* d);
void QLTP_doublearray_printl(const doublearray* a, dystr* d);
void QLTP_doublearray_printf(const doublearray* a);
int QLTP_doublearray_tofile(const doublearray* a, const char* path, const char* fmt);

// doublearray: file form (int32 count, then the doubles)
uint32_t QLTP_doublearray_write_sz(const doublearray* a);
char* QLTP_doublearray_write(const doublearray* a, char* dst, int swap);
int QLTP_doublearray_read(FILE* file, doublearray** out, int swap);
doublearray* QLTPPy_doublearray_load(const char* path, int swap);
