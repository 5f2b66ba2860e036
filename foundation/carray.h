#pragma once
// Compact fixed array: a flag byte and one block holding the element size,
// the count (each in the smallest of 1, 2 or 4 bytes, host order) and the
// elements. `strcarray` is a carray of string pointers whose strings lie in
// one block that the array owns; its file form is that of strarray.

#include <cstdint>
#include <cstdio>

// Flag bits
enum : uint8_t {
    QLTP_CARRAY_OWNS = 0x01,       // each element begins with a pointer freed with the array
    QLTP_CARRAY_COUNT_SHIFT = 4,   // bits 4-5: width code of the count (0: 1, 1: 2, 2: 4 bytes)
    QLTP_CARRAY_ELSIZE_SHIFT = 6,  // bits 6-7: width code of the element size
};

struct carray {
    uint8_t flag;
    unsigned char* block;
};
using strcarray = carray;

// Create and free. new copies count elements from src (zeros without src);
// NULL for a zero element size, count < 1, or an owning array whose
// elements cannot hold a pointer.
carray* QLTP_carray_new(uint32_t elsize, int owns, const void* src, int count);
void QLTP_carray_delete(carray* ca);

// Access
int QLTP_carray_sz(const carray* ca);
uint32_t QLTP_carray_szof(const carray* ca);
int QLTP_carray_info(const carray* ca, uint32_t* elsize, int* count, int* header);
void* QLTP_carray_idx(const carray* ca, int i);

// String form: takes over a block of n consecutive NUL-terminated strings
strcarray* QLTP_strcarray_new_const(char* block, int n);
void QLTP_strcarray_delete(strcarray* ca);
int QLTP_strcarray_sz(const strcarray* ca);
char* QLTP_strcarray_idx(const strcarray* ca, int i);

// File form: int32 count, int32 total bytes, the strings with their NULs;
// an empty array reads as NULL
uint32_t QLTP_strcarray_write_sz(const strcarray* ca);
char* QLTP_strcarray_write(const strcarray* ca, char* dst, int swap);
int QLTP_strcarray_read(FILE* file, strcarray** out, int swap);
