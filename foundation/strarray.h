#pragma once
// String array over the generic array: NUL-terminated strings, copied in and
// owned by the array unless the array borrows them (a constant block, or the
// one block a file read produced). Pointers handed out stay valid until the
// string is removed or the array cleared or deleted.

#include <cstdint>
#include <cstdio>

#include "foundation/array.h"

// `items` holds char* elements and owns them unless the strings are
// borrowed. `block` is the one block the array frees when deleted (that of a
// file read; never a caller's). `copies` holds the strings that a borrowing
// array copied in itself, so that it frees exactly those.
struct strarray {
    array items;
    char* block;
    array* copies;
};

// Create and free
strarray* QLTP_strarray_new();
strarray* QLTP_strarray_newcustom(int prealloc, uint32_t increment, uint32_t keep);
strarray* QLTP_strarray_new_custom(uint32_t increment, uint32_t keep);
strarray* QLTP_strarray_new_const(const char* block, int n);
void QLTP_strarray_clear(strarray* a);
void QLTP_strarray_delete(strarray* a);

// Size and reservation
int QLTP_strarray_sz(const strarray* a);
int QLTP_strarray_extend(strarray* a, int n);
int QLTP_strarray_extendsz(strarray* a, int n);

// Elements (a negative length means up to the NUL)
int QLTP_strarray_add(strarray* a, const char* s, int len);
int QLTP_strarray_add_nocopy(strarray* a, char* s);
int QLTP_strarray_insert_item(strarray* a, const char* s, int len, int pos);
int QLTP_strarray_replace(strarray* a, int i, const char* s, int len);
int QLTP_strarray_remove_item(strarray* a, int i);
int QLTP_strarray_delete_range(strarray* a, int pos, int n);
char* QLTP_strarray_idx(const strarray* a, int i);
char* QLTP_strarray_join(const strarray* a, const char* sep);

// Splitters: each returns a new owning array of copies
strarray* QLTP_strarray_split(const char* s, int len, const char* sep, int seplen);
strarray* QLTP_strarray_split_chars(const char* s, int len, const char* chars);
strarray* QLTP_strarray_split_ws(const char* s, int len);

// File form: int32 count, int32 total (sum of length + 1), then the strings
uint32_t QLTP_strarray_write_sz(const strarray* a);
char* QLTP_strarray_write(const strarray* a, char* dst, int swap);
int QLTP_strarray_read(FILE* file, strarray** out, int swap);
