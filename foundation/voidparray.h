#pragma once
// Pointer array over the generic array: untyped pointers that the array never
// frees. Increment 8, keep 64.

#include <cstdint>

#include "foundation/array.h"

struct voidparray : array {};

// Create and free (the elements are left alone)
voidparray* QLTP_voidparray_new();
voidparray* QLTP_voidparray_newcustom(int prealloc, uint32_t increment, uint32_t keep);
void QLTP_voidparray_clear(voidparray* a);
void QLTP_voidparray_delete(voidparray* a);

// Size and reservation
int QLTP_voidparray_sz(const voidparray* a);
int QLTP_voidparray_extend(voidparray* a, int n);
int QLTP_voidparray_extendsz(voidparray* a, int n);

// Elements
int QLTP_voidparray_add(voidparray* a, void* v);
void* QLTP_voidparray_idx(const voidparray* a, int i);
void* QLTP_voidparray_end(const voidparray* a);
int QLTP_voidparray_replace(voidparray* a, int i, void* v);
int QLTP_voidparray_insert_item(voidparray* a, void* v, int pos);
void* QLTP_voidparray_remove_item(voidparray* a, int i);
int QLTP_voidparray_delete_range(voidparray* a, int pos, int n);
