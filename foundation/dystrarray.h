#pragma once
// Packed string array: short strings kept as a chain of records in one byte
// array, which is also the serialised form. Each record is a length byte
// (255 marks a long record whose length is found by scanning), the string and
// at least one NUL. Records are addressed by position and widened in place.

#include <cstdio>

#include "foundation/array.h"

using dystrarray = array;

// Create and free
dystrarray* QLTP_dystrarray_new(int n);
dystrarray* QLTP_dystrarray_newprealloc(int n);
dystrarray* QLTP_dystrarray_newcustom(int n, int prealloc, int reclen, int increment, int keep);
void QLTP_dystrarray_delete(dystrarray* d);
int QLTP_dystrarray_clear(dystrarray* d, int n);
int QLTP_dystrarray_clearcustom(dystrarray* d, int n, int reclen);
int QLTP_dystrarray_copy(const dystrarray* src, dystrarray* dst);

// Access (strings are NUL-terminated in place)
int QLTP_dystrarray_sz(const dystrarray* d);
char* QLTP_dystrarray_idx(const dystrarray* d, int i);
char* QLTP_dystrarray_next(const dystrarray* d, const char* p);

// Add, remove and rewrite records (a negative length means up to the NUL; a
// text of more than INT_MAX bytes is refused)
int QLTP_dystrarray_add(dystrarray* d, const char* s, int len);
int QLTP_dystrarray_add_delim(dystrarray* d, const char* s, int len, char delim);
int QLTP_dystrarray_remove(dystrarray* d, int i);
int QLTP_dystrarray_replace(dystrarray* d, int i, const char* s, int len);
int QLTP_dystrarray_append(dystrarray* d, int i, const char* s, int len);

// Serialise: the byte count, then the records unchanged
int QLTP_dystrarray_write_sz(const dystrarray* d);
char* QLTP_dystrarray_write(const dystrarray* d, char* buf, int swap);
int QLTP_dystrarray_read(FILE* file, dystrarray** out, int swap);
