#include "foundation/voidparray.h"

#include "foundation/strutil.h"

voidparray* QLTP_voidparray_newcustom(int prealloc, uint32_t increment, uint32_t keep) {
    auto* a = static_cast<voidparray*>(QLTP_malloc(sizeof(voidparray)));
    if (!a) return nullptr;
    QLTP_array_init(a, increment, keep, sizeof(void*), 0);
    if (!QLTP_array_extend(a, prealloc)) {
        QLTP_array_delete(a);
        return nullptr;
    }
    return a;
}

voidparray* QLTP_voidparray_new() { return QLTP_voidparray_newcustom(0, 8, 64); }

void QLTP_voidparray_clear(voidparray* a) { QLTP_array_clear(a); }

void QLTP_voidparray_delete(voidparray* a) { QLTP_array_delete(a); }

int QLTP_voidparray_sz(const voidparray* a) { return a ? static_cast<int>(a->count) : 0; }

int QLTP_voidparray_extend(voidparray* a, int n) { return QLTP_array_extend(a, n); }

int QLTP_voidparray_extendsz(voidparray* a, int n) { return QLTP_array_extendsz(a, n); }

int QLTP_voidparray_add(voidparray* a, void* v) { return QLTP_array_append(a, &v, 1); }

void* QLTP_voidparray_idx(const voidparray* a, int i) {
    auto* slot = static_cast<void**>(QLTP_array_idx(a, i));
    return slot ? *slot : nullptr;
}

void* QLTP_voidparray_end(const voidparray* a) {
    return a && a->count ? QLTP_voidparray_idx(a, static_cast<int>(a->count) - 1) : nullptr;
}

int QLTP_voidparray_replace(voidparray* a, int i, void* v) {
    auto* slot = static_cast<void**>(QLTP_array_idx(a, i));
    if (!slot) return 0;
    *slot = v;
    return 1;
}

int QLTP_voidparray_insert_item(voidparray* a, void* v, int pos) {
    return QLTP_array_insert_range(a, &v, 1, pos);
}

void* QLTP_voidparray_remove_item(voidparray* a, int i) {
    void* v = QLTP_voidparray_idx(a, i);
    if (!v) return nullptr;
    QLTP_array_delete_range(a, i, 1);
    return v;
}

int QLTP_voidparray_delete_range(voidparray* a, int pos, int n) {
    return QLTP_array_delete_range(a, pos, n);
}
