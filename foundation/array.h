#pragma once
// Generic growable array: equally sized elements, a count, a capacity and a
// growth policy. The container under every other container of the library.

#include <cstdint>

// Storage grows by max(need, increment); once the capacity exceeds 32
// increments the increment doubles at each growth. Clearing keeps the storage
// while the capacity is at most `keep`. When `owns` is set, each element
// starts with a heap pointer that the array frees when the element goes.
struct array {
    uint32_t increment;
    uint32_t keep;
    uint32_t capacity;
    uint32_t count;
    uint32_t elsize;
    uint8_t owns;
    unsigned char* storage;
};

// Create and free
array* QLTP_array_new(uint32_t increment, uint32_t keep, uint32_t elsize, int owns);
// Sets up a zero-filled record in place (the typed arrays embed or extend one)
void QLTP_array_init(array* a, uint32_t increment, uint32_t keep, uint32_t elsize, int owns);
void QLTP_array_clear(array* a);
void QLTP_array_delete(array* a);

// Reserve and resize
int QLTP_array_extend(array* a, int n);
int QLTP_array_extendsz(array* a, int n);
int QLTP_array_resize(array* a, int n);

// Add elements (a source inside the array's own storage is allowed)
int QLTP_array_append(array* a, const void* src, int n);
int QLTP_array_fill(array* a, const void* src, int n);
int QLTP_array_append_null(array* a, const void* src, int n);
int QLTP_array_insert_range(array* a, const void* src, int n, int pos);
int QLTP_array_replace(array* a, const void* src, int n);

// Access
void* QLTP_array_idx(const array* a, int i);

// Remove elements
int QLTP_array_delete_range(array* a, int pos, int n);
int QLTP_array_delete_upto(array* a, int n);
