#include "foundation/array.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "foundation/strutil.h"

namespace {

size_t bytes_of(const array* a, uint64_t n) { return static_cast<size_t>(n) * a->elsize; }

unsigned char* element(const array* a, uint64_t i) { return a->storage + bytes_of(a, i); }

// Offset of p inside the array's storage, or -1 when p lies outside it.
// A source inside the storage must be found again after a growth, which
// frees the old storage.
int64_t offset_in_storage(const array* a, const void* p) {
    if (!a->storage || !p) return -1;
    auto base = reinterpret_cast<uintptr_t>(a->storage);
    auto at = reinterpret_cast<uintptr_t>(p);
    if (at < base || at >= base + bytes_of(a, a->capacity)) return -1;
    return static_cast<int64_t>(at - base);
}

const void* rebased(const array* a, const void* src, int64_t offset) {
    return offset < 0 ? src : a->storage + offset;
}

// Makes the storage hold `need` elements. Small arrays grow by the
// increment; past 32 increments each growth doubles the increment, which
// keeps reallocations logarithmic. Leaves the array unchanged on failure.
bool grow_to(array* a, uint64_t need) {
    if (need <= a->capacity) return true;
    if (need > UINT32_MAX || a->elsize == 0) return false;
    uint32_t increment = a->increment;
    if (increment < (a->capacity >> 5) && increment <= UINT32_MAX / 2) increment *= 2;
    uint64_t grow = std::max<uint64_t>(need - a->capacity, increment);
    uint64_t capacity = std::min<uint64_t>(uint64_t{a->capacity} + grow, UINT32_MAX);
    if (capacity > SIZE_MAX / a->elsize) return false;
    auto* storage = static_cast<unsigned char*>(QLTP_malloc(bytes_of(a, capacity)));
    if (!storage) return false;
    if (a->storage) std::memcpy(storage, a->storage, bytes_of(a, a->capacity));
    QLTP_free(a->storage);
    a->storage = storage;
    a->capacity = static_cast<uint32_t>(capacity);
    a->increment = increment;
    return true;
}

// Frees the pointers held by elements [from, to) of an owning array and
// zeroes those slots, so that no later resize can hand out a freed pointer.
void free_owned(array* a, uint32_t from, uint32_t to) {
    if (!a->owns || !a->storage) return;
    for (uint32_t i = from; i < to; ++i) {
        void* p = nullptr;
        std::memcpy(&p, element(a, i), sizeof p);
        QLTP_free(p);
        std::memset(element(a, i), 0, a->elsize);
    }
}

}  // namespace

void QLTP_array_init(array* a, uint32_t increment, uint32_t keep, uint32_t elsize, int owns) {
    if (!a) return;
    a->increment = increment;
    a->keep = keep;
    a->capacity = 0;
    a->count = 0;
    a->elsize = elsize;
    a->owns = owns ? 1 : 0;
    a->storage = nullptr;
}

array* QLTP_array_new(uint32_t increment, uint32_t keep, uint32_t elsize, int owns) {
    if (elsize == 0 || (owns && elsize < sizeof(void*))) return nullptr;
    auto* a = static_cast<array*>(QLTP_malloc(sizeof(array)));
    QLTP_array_init(a, increment, keep, elsize, owns);
    return a;
}

void QLTP_array_clear(array* a) {
    if (!a) return;
    free_owned(a, 0, a->count);
    if (a->capacity > a->keep) {
        QLTP_free(a->storage);
        a->storage = nullptr;
        a->capacity = 0;
    }
    a->count = 0;
}

void QLTP_array_delete(array* a) {
    if (!a) return;
    free_owned(a, 0, a->count);
    QLTP_free(a->storage);
    QLTP_free(a);
}

int QLTP_array_extend(array* a, int n) {
    if (!a) return 0;
    if (n < 1) return 1;
    return grow_to(a, uint64_t{a->count} + n) ? 1 : 0;
}

int QLTP_array_extendsz(array* a, int n) {
    if (!a) return 0;
    if (n < 1) return 1;
    if (uint64_t{a->count} + n > a->capacity) return 0;
    a->count += static_cast<uint32_t>(n);
    return 1;
}

int QLTP_array_resize(array* a, int n) {
    if (!a || n < 0) return 0;
    auto target = static_cast<uint32_t>(n);
    if (target > a->count) {
        if (!grow_to(a, target)) return 0;
    } else if (target < a->count) {
        // Dropped elements are released and zeroed like removed ones.
        free_owned(a, target, a->count);
        std::memset(element(a, target), 0, bytes_of(a, a->count - target));
    }
    a->count = target;
    return 1;
}

int QLTP_array_append(array* a, const void* src, int n) {
    if (!a) return 0;
    if (n < 1) return 1;
    if (!src) return 0;
    int64_t offset = offset_in_storage(a, src);
    if (!grow_to(a, uint64_t{a->count} + n)) return 0;
    std::memmove(element(a, a->count), rebased(a, src, offset), bytes_of(a, n));
    a->count += static_cast<uint32_t>(n);
    return 1;
}

int QLTP_array_fill(array* a, const void* src, int n) {
    if (!a) return 0;
    if (n < 1) return 1;
    if (!src) return 0;
    int64_t offset = offset_in_storage(a, src);
    if (!grow_to(a, uint64_t{a->count} + n)) return 0;
    unsigned char* first = element(a, a->count);
    std::memmove(first, rebased(a, src, offset), a->elsize);
    for (int i = 1; i < n; ++i) std::memcpy(first + bytes_of(a, i), first, a->elsize);
    a->count += static_cast<uint32_t>(n);
    return 1;
}

int QLTP_array_append_null(array* a, const void* src, int n) {
    if (!a) return 0;
    if (n < 1) return 1;
    if (!src) return 0;
    // An empty array has no terminator yet: the elements go first and the
    // terminator after them.
    uint32_t at = a->count ? a->count - 1 : 0;
    uint64_t count = uint64_t{at} + n + 1;
    int64_t offset = offset_in_storage(a, src);
    if (!grow_to(a, count)) return 0;
    std::memmove(element(a, at), rebased(a, src, offset), bytes_of(a, n));
    std::memset(element(a, at + n), 0, a->elsize);
    a->count = static_cast<uint32_t>(count);
    return 1;
}

int QLTP_array_insert_range(array* a, const void* src, int n, int pos) {
    if (!a) return 0;
    if (n < 1) return 1;
    uint32_t at = pos < 0 ? 0 : std::min(static_cast<uint32_t>(pos), a->count);
    // A source inside the storage would move with the elements: copy it.
    unsigned char* copy = nullptr;
    if (offset_in_storage(a, src) >= 0) {
        copy = static_cast<unsigned char*>(QLTP_malloc(bytes_of(a, n)));
        if (!copy) return 0;
        std::memcpy(copy, src, bytes_of(a, n));
        src = copy;
    }
    if (!grow_to(a, uint64_t{a->count} + n)) {
        QLTP_free(copy);
        return 0;
    }
    std::memmove(element(a, uint64_t{at} + n), element(a, at), bytes_of(a, a->count - at));
    if (src)
        std::memcpy(element(a, at), src, bytes_of(a, n));
    else
        std::memset(element(a, at), 0, bytes_of(a, n));
    a->count += static_cast<uint32_t>(n);
    QLTP_free(copy);
    return 1;
}

int QLTP_array_replace(array* a, const void* src, int n) {
    // Overwriting owned pointers would leak or double-free them.
    if (!a || a->owns || n < 0 || (n > 0 && !src)) return 0;
    int64_t offset = offset_in_storage(a, src);
    if (!grow_to(a, uint64_t{a->count} + n)) return 0;
    if (n > 0) std::memmove(a->storage, rebased(a, src, offset), bytes_of(a, n));
    auto count = static_cast<uint32_t>(n);
    if (a->count > count) std::memset(element(a, count), 0, bytes_of(a, a->count - count));
    a->count = count;
    return 1;
}

void* QLTP_array_idx(const array* a, int i) {
    if (!a || static_cast<uint32_t>(i) >= a->count) return nullptr;
    return element(a, static_cast<uint32_t>(i));
}

int QLTP_array_delete_range(array* a, int pos, int n) {
    if (!a) return 0;
    if (n < 1) return 1;
    uint32_t at = pos < 0 ? 0 : static_cast<uint32_t>(pos);
    if (at >= a->count) return 1;
    uint32_t removed = std::min(static_cast<uint32_t>(n), a->count - at);
    if (at == 0 && removed == a->count) {
        QLTP_array_clear(a);
        return 1;
    }
    free_owned(a, at, at + removed);
    std::memmove(element(a, at), element(a, at + removed),
                 bytes_of(a, a->count - at - removed));
    std::memset(element(a, a->count - removed), 0, bytes_of(a, removed));
    a->count -= removed;
    return 1;
}

int QLTP_array_delete_upto(array* a, int n) { return QLTP_array_delete_range(a, 0, n); }
