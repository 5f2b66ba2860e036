#pragma once
// Chained hash table keyed by byte strings. The hash function fixes the
// bucket of every word in a stored compact dictionary, so it is part of the
// file format and must not change.

#include <cstdint>

struct hash_entry {
    hash_entry* next;
    char* key;  // NUL-terminated
    int keylen;
    int value;
};

struct hash {
    int type;  // 1: the table owns copies of its keys; 0: it links the caller's entries
    hash_entry** buckets;
    int nbuckets;  // a power of two, at least 2
    int count;
};

// Create and free
hash* QLTP_hash_new(int hint, int type);
void QLTP_hash_delete(hash* h);

// Insert and look up (keys need an explicit length)
char* QLTP_hash_insert_uniq(hash* h, const char* key, int len, int value);
int QLTP_hash_insert_uniq_const(hash* h, hash_entry* entry);
hash_entry* QLTP_hash_match(const hash* h, const char* key, int len);

// Hash function: the full 32-bit value, and its low bits as non-zero key bytes
uint32_t QLTP_hash_value(const char* key, int len);
uint32_t QLTP_hash_function(const char* key, int len, unsigned char* out, int bits);
