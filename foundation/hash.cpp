#include "foundation/hash.h"

#include <cstring>

#include "foundation/strutil.h"

namespace {

constexpr uint32_t kMultiplier = 17109811u;
constexpr int kMaxBuckets = 1 << 30;

int bucket_count_for(int hint) {
    if (hint < 3) return 2;
    int n = 2;
    while (n < hint && n < kMaxBuckets) n <<= 1;
    return n;
}

// Bytes count as signed 8-bit numbers; arithmetic wraps at 32 bits.
inline uint32_t sbyte(const char* p, int i) {
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[i])));
}

inline bool same_key(const hash_entry* e, const char* key, int len) {
    return e->keylen == len && (len == 0 || std::memcmp(e->key, key, static_cast<size_t>(len)) == 0);
}

// Finds the key in its chain; when absent, *tail is the link to append to.
hash_entry* find(const hash* h, const char* key, int len, hash_entry*** tail) {
    uint32_t b = QLTP_hash_value(key, len) & static_cast<uint32_t>(h->nbuckets - 1);
    hash_entry** link = &h->buckets[b];
    while (*link) {
        if (same_key(*link, key, len)) return *link;
        link = &(*link)->next;
    }
    if (tail) *tail = link;
    return nullptr;
}

}  // namespace

uint32_t QLTP_hash_value(const char* key, int len) {
    if (!key) return 0;
    if (len < 0) len = static_cast<int>(std::strlen(key));
    uint32_t h = 0;
    int i = 0;
    for (; i + 1 < len; i += 2) h = (h + sbyte(key, i) * 256u + sbyte(key, i + 1)) * kMultiplier;
    if (i < len) h = (h + sbyte(key, i) * 256u) * kMultiplier;
    return (h + static_cast<uint32_t>(len)) * kMultiplier;
}

uint32_t QLTP_hash_function(const char* key, int len, unsigned char* out, int bits) {
    if (bits < 1 || !key) return 0;
    if (bits > 32) bits = 32;
    if (len < 1) len = static_cast<int>(std::strlen(key));
    uint32_t h = QLTP_hash_value(key, len);
    uint32_t value = 0;
    for (int k = 0; 8 * k < bits; ++k) {
        int width = bits - 8 * k < 8 ? bits - 8 * k : 8;
        uint32_t byte = (h >> (8 * k)) & ((1u << width) - 1u);
        // The bytes become key bytes of a NUL-terminated key, so none may be 0.
        if (byte == 0) byte = 1;
        if (out) out[k] = static_cast<unsigned char>(byte);
        value |= byte << (8 * k);
    }
    return value;
}

hash* QLTP_hash_new(int hint, int type) {
    auto* h = static_cast<hash*>(QLTP_calloc(sizeof(hash), 1));
    if (!h) return nullptr;
    h->type = type;
    h->nbuckets = bucket_count_for(hint);
    h->buckets = static_cast<hash_entry**>(QLTP_calloc(sizeof(hash_entry*), static_cast<size_t>(h->nbuckets)));
    if (!h->buckets) {
        QLTP_free(h);
        return nullptr;
    }
    return h;
}

void QLTP_hash_delete(hash* h) {
    if (!h) return;
    if (h->type == 1 && h->buckets) {
        for (int b = 0; b < h->nbuckets; ++b) {
            hash_entry* e = h->buckets[b];
            while (e) {
                hash_entry* next = e->next;
                QLTP_free(e);  // the key copy lives in the same block
                e = next;
            }
        }
    }
    QLTP_free(h->buckets);
    QLTP_free(h);
}

char* QLTP_hash_insert_uniq(hash* h, const char* key, int len, int value) {
    if (!h || h->type != 1 || len < 0 || (!key && len > 0)) return nullptr;
    if (!key) key = "";
    hash_entry** tail = nullptr;
    if (find(h, key, len, &tail)) return nullptr;
    auto* e = static_cast<hash_entry*>(QLTP_malloc(sizeof(hash_entry) + static_cast<size_t>(len) + 1));
    if (!e) return nullptr;
    e->key = reinterpret_cast<char*>(e + 1);
    if (len > 0) std::memcpy(e->key, key, static_cast<size_t>(len));
    e->key[len] = '\0';
    e->keylen = len;
    e->value = value;
    e->next = nullptr;
    *tail = e;
    ++h->count;
    return e->key;
}

int QLTP_hash_insert_uniq_const(hash* h, hash_entry* entry) {
    if (!h || h->type != 0 || !entry || entry->keylen < 0 || (!entry->key && entry->keylen > 0)) return 0;
    const char* key = entry->key ? entry->key : "";
    hash_entry** tail = nullptr;
    if (find(h, key, entry->keylen, &tail)) return 0;
    entry->next = nullptr;
    *tail = entry;
    ++h->count;
    return 1;
}

hash_entry* QLTP_hash_match(const hash* h, const char* key, int len) {
    if (!h || len < 0 || (!key && len > 0)) return nullptr;
    return find(h, key ? key : "", len, nullptr);
}
