#include "foundation/dict.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/hash.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"

// The words live in a chained hash whose bucket count is fixed at creation:
// that count is the bucket count of the compact form, so it is kept as
// file_buckets. For fast lookups the hash itself is rehashed as it fills; a
// chain keeps insertion order, which is id order, so the compact form can be
// rebuilt in file-bucket order from the ids alone.
struct dict {
    hash* words;
    std::vector<hash_entry*> ids;  // id - 1 to the hash entry
    int is_mutable;
    int loc;
    int count;
    cdict* compact;
    int file_buckets;
};

struct cdict {
    int size;
    int bszdat;
    int bszbct;
    int bszlkp;
    int bctsz;
    int datasz;
    unsigned char* block;
    unsigned char* lookup;
    unsigned char* buckets;
    unsigned char* data;
    int datalen;  // bytes of the bucket data
};

namespace {

constexpr int kMaxWord = 254;
constexpr int kHeaderBytes = 24;
constexpr char kEmpty[] = "";

// Doubles the live bucket array once there are more words than buckets.
void grow(hash* h) {
    if (h->count <= h->nbuckets || h->nbuckets >= (1 << 30)) return;
    int n = h->nbuckets * 2;
    auto* fresh = static_cast<hash_entry**>(QLTP_calloc(sizeof(hash_entry*), static_cast<size_t>(n)));
    if (!fresh) return;  // lookups stay correct, only slower
    std::vector<hash_entry**> tails(static_cast<size_t>(n));
    for (int b = 0; b < n; ++b) tails[static_cast<size_t>(b)] = &fresh[b];
    for (int b = 0; b < h->nbuckets; ++b) {
        for (hash_entry* e = h->buckets[b]; e;) {
            hash_entry* next = e->next;
            uint32_t nb = QLTP_hash_value(e->key, e->keylen) & static_cast<uint32_t>(n - 1);
            e->next = nullptr;
            *tails[nb] = e;
            tails[nb] = &e->next;
            e = next;
        }
    }
    QLTP_free(h->buckets);
    h->buckets = fresh;
    h->nbuckets = n;
}

// Field widths and sizes of the compact form of a dictionary.
struct Layout {
    int bszdat;
    int bszbct;
    int datasz;
};

bool layout(const dict* d, Layout* out) {
    int64_t datalen = d->file_buckets;
    int bszdat = QLTP_nobytes(d->count);
    for (const hash_entry* e : d->ids) {
        if (e->keylen > kMaxWord) return false;
        datalen += e->keylen + 2 + bszdat;
    }
    if (datalen > INT32_MAX) return false;
    int bsz = QLTP_nobytes(static_cast<int32_t>(datalen));
    int64_t datasz = static_cast<int64_t>(d->count) * bsz + static_cast<int64_t>(d->file_buckets) * bsz + datalen;
    if (datasz > INT32_MAX - kHeaderBytes) return false;
    *out = {bszdat, bsz, static_cast<int>(datasz)};
    return true;
}

cdict* new_cdict() { return new (std::nothrow) cdict{}; }

void set_parts(cdict* cd) {
    cd->lookup = cd->block;
    cd->buckets = cd->lookup + static_cast<size_t>(cd->size) * static_cast<size_t>(cd->bszlkp);
    cd->data = cd->buckets + static_cast<size_t>(cd->bctsz) * static_cast<size_t>(cd->bszbct);
    cd->datalen = static_cast<int>(cd->block + cd->datasz - cd->data);
}

uint32_t lookup_entry(const cdict* cd, int id) {
    return QLTP_read_bytes(cd->lookup + static_cast<size_t>(id - 1) * static_cast<size_t>(cd->bszlkp), cd->bszlkp);
}

uint32_t bucket_entry(const cdict* cd, int b) {
    return QLTP_read_bytes(cd->buckets + static_cast<size_t>(b) * static_cast<size_t>(cd->bszbct), cd->bszbct);
}

// Reverses the lookup and bucket tables in place.
void swap_tables(cdict* cd) {
    for (int i = 0; i < cd->size; ++i) QLTP_swap_bytes(cd->lookup + static_cast<size_t>(i) * cd->bszlkp, cd->bszlkp);
    for (int b = 0; b < cd->bctsz; ++b) QLTP_swap_bytes(cd->buckets + static_cast<size_t>(b) * cd->bszbct, cd->bszbct);
}

// Walks the bucket data of a block from a file, reversing the ids when asked,
// and checks that it is exactly what a writer produces: bctsz buckets in
// order, each at its table offset, every entry a word of 1 to 254 bytes with
// its NUL and an id in range whose lookup entry points back at it.
bool walk_block(cdict* cd, bool swap) {
    const uint32_t len = static_cast<uint32_t>(cd->datalen);
    const unsigned char* data = cd->data;
    uint32_t pos = 0;
    int entries = 0;
    const uint32_t mask = static_cast<uint32_t>(cd->bctsz - 1);
    // Words of the bucket so far: a writer never stores one twice.
    std::unordered_set<std::string_view> words;
    for (int b = 0; b < cd->bctsz; ++b) {
        if (bucket_entry(cd, b) != pos) return false;
        words.clear();
        for (;;) {
            if (pos >= len) return false;
            uint32_t n = data[pos];
            if (n == 0) {
                ++pos;
                break;
            }
            if (n > kMaxWord || len - pos < n + 2 + static_cast<uint32_t>(cd->bszdat)) return false;
            if (data[pos + 1 + n] != 0) return false;
            // A word outside its hash bucket, or twice, could never be found.
            const char* word = reinterpret_cast<const char*>(data + pos + 1);
            if ((QLTP_hash_value(word, static_cast<int>(n)) & mask) != static_cast<uint32_t>(b)) return false;
            if (!words.insert(std::string_view(word, n)).second) return false;
            unsigned char* idp = cd->data + pos + 2 + n;
            if (swap) QLTP_swap_bytes(idp, cd->bszdat);
            uint32_t id = QLTP_read_bytes(idp, cd->bszdat);
            if (id < 1 || id > static_cast<uint32_t>(cd->size)) return false;
            if (lookup_entry(cd, static_cast<int>(id)) != pos + 1) return false;
            ++entries;
            pos += n + 2 + static_cast<uint32_t>(cd->bszdat);
        }
    }
    return pos == len && entries == cd->size;
}

bool power_of_two(int v) { return v > 0 && (v & (v - 1)) == 0; }
bool valid_width(int w) { return w == 1 || w == 2 || w == 4; }

int apply_loc(const dict* d, int id) { return d->loc ? id * d->loc : id; }

const char* word_of(const dict* d, int id) {
    if (!d->is_mutable) return QLTP_cdict_idx(d->compact, id);
    if (id < 1 || id > d->count) return kEmpty;
    return d->ids[static_cast<size_t>(id - 1)]->key;
}

int word_len(const dict* d, int id) {
    if (d->is_mutable) return id >= 1 && id <= d->count ? d->ids[static_cast<size_t>(id - 1)]->keylen : 0;
    return static_cast<int>(std::strlen(word_of(d, id)));
}

}  // namespace

dict* QLTP_dict_new_empty(int hint) {
    if (hint < 1) hint = 100;
    dict* d = new (std::nothrow) dict{};
    if (!d) return nullptr;
    d->words = QLTP_hash_new(hint, 1);
    if (!d->words) {
        delete d;
        return nullptr;
    }
    d->file_buckets = d->words->nbuckets;
    d->is_mutable = 1;
    try {
        d->ids.reserve(static_cast<size_t>(hint < (1 << 20) ? hint : (1 << 20)));
    } catch (...) {
        // The id table grows on demand.
    }
    return d;
}

int QLTP_dict_delete(dict* d) {
    if (!d) return 0;
    QLTP_hash_delete(d->words);
    QLTP_cdict_delete(d->compact);
    delete d;
    return 1;
}

int QLTP_dict_set_loc(dict* d, int loc) {
    if (!d) return 0;
    d->loc = loc;
    return 1;
}

int QLTP_dict_add_entry(dict* d, const char* word, int len) {
    if (!d || !d->is_mutable || !word || len <= 0) return 0;
    if (hash_entry* e = QLTP_hash_match(d->words, word, len)) return apply_loc(d, e->value);
    if (d->count == INT32_MAX) return 0;
    try {
        // Room first, so that a failed allocation leaves the hash unchanged.
        if (d->ids.size() == d->ids.capacity()) d->ids.reserve(d->ids.capacity() * 2 + 100);
    } catch (...) {
        return 0;
    }
    if (!QLTP_hash_insert_uniq(d->words, word, len, d->count + 1)) return 0;
    d->ids.push_back(QLTP_hash_match(d->words, word, len));
    ++d->count;
    grow(d->words);
    return apply_loc(d, d->count);
}

int QLTP_dict_lookup_word(const dict* d, const char* word, int len) {
    if (!d || !word) return 0;
    if (len < 0) len = static_cast<int>(std::strlen(word));
    int id = 0;
    if (d->is_mutable) {
        const hash_entry* e = QLTP_hash_match(d->words, word, len);
        id = e ? e->value : 0;
    } else {
        id = QLTP_cdict_word(d->compact, word, len);
    }
    return id ? apply_loc(d, id) : 0;
}

const char* QLTP_dict_lookup_index(const dict* d, int id) {
    if (!d) return kEmpty;
    // Ids handed out carry the multiplier; take it off again.
    if (d->loc) {
        if (id % d->loc != 0) return kEmpty;
        id /= d->loc;
    }
    return word_of(d, id);
}

int QLTP_dict_size(const dict* d) {
    if (!d) return 0;
    return d->is_mutable ? d->count : QLTP_cdict_sz(d->compact);
}

int QLTP_dict_write_sz(const dict* d) {
    if (!d) return 0;
    if (!d->is_mutable) return QLTP_cdict_write_sz(d->compact);
    Layout l{};
    return layout(d, &l) ? kHeaderBytes + l.datasz : 0;
}

char* QLTP_dict_write(const dict* d, char* buf, int swap) {
    if (!d || !buf) return nullptr;
    if (!d->is_mutable) return QLTP_cdict_write(d->compact, buf, swap);
    cdict* cd = QLTP_cdict_new(d);
    if (!cd) return nullptr;
    char* end = QLTP_cdict_write(cd, buf, swap);
    QLTP_cdict_delete(cd);
    return end;
}

int QLTP_dict_read(FILE* file, dict** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    cdict* cd = nullptr;
    int got = QLTP_cdict_read(file, &cd, swap);
    if (!cd) return 0;
    dict* d = new (std::nothrow) dict{};
    if (!d) {
        QLTP_cdict_delete(cd);
        return 0;
    }
    d->compact = cd;
    d->file_buckets = cd->bctsz;
    *out = d;
    return got;
}

int QLTP_dict_print(const dict* d, dystr* s) {
    if (!d || !s) return 0;
    int n = QLTP_dict_size(d);
    for (int id = 1; id <= n; ++id) {
        if (!QLTP_dystr_append3(s, "\n", 1, word_of(d, id), word_len(d, id), " : ", 3) || !QLTP_dystr_appendint(s, id))
            return 0;
    }
    return 1;
}

int QLTP_dict_printl(const dict* d, dystr* s) {
    if (!d || !s) return 0;
    int n = QLTP_dict_size(d);
    if (!QLTP_dystr_append(s, "{", 1)) return 0;
    for (int id = 1; id <= n; ++id) {
        if (!QLTP_dystr_append3(s, id > 1 ? ",\"" : "\"", id > 1 ? 2 : 1, word_of(d, id), word_len(d, id), "\":", 2) ||
            !QLTP_dystr_appendint(s, id))
            return 0;
    }
    return QLTP_dystr_append(s, "}", 1);
}

void QLTP_dict_printf(const dict* d) {
    dystr* s = QLTP_dystr_new(nullptr, 0);
    if (!s) return;
    QLTP_dict_print(d, s);
    std::fwrite(QLTP_dystr_cstr(s), 1, static_cast<size_t>(QLTP_dystr_sz(s)), stdout);
    std::fputc('\n', stdout);
    QLTP_dystr_delete(s);
}

cdict* QLTP_cdict_new(const dict* d) {
    if (!d || !d->is_mutable) return nullptr;
    Layout l{};
    if (!layout(d, &l)) return nullptr;
    cdict* cd = new_cdict();
    if (!cd) return nullptr;
    cd->size = d->count;
    cd->bszdat = l.bszdat;
    cd->bszbct = cd->bszlkp = l.bszbct;
    cd->bctsz = d->file_buckets;
    cd->datasz = l.datasz;
    cd->block = static_cast<unsigned char*>(QLTP_malloc(static_cast<size_t>(l.datasz > 0 ? l.datasz : 1)));
    if (!cd->block) {
        delete cd;
        return nullptr;
    }
    set_parts(cd);
    try {
        // Order the ids by file bucket, keeping id order (chain order) inside each.
        const uint32_t mask = static_cast<uint32_t>(cd->bctsz - 1);
        std::vector<uint32_t> bucket_of(static_cast<size_t>(cd->size));
        std::vector<int> start(static_cast<size_t>(cd->bctsz) + 1, 0);
        for (int i = 0; i < cd->size; ++i) {
            const hash_entry* e = d->ids[static_cast<size_t>(i)];
            bucket_of[static_cast<size_t>(i)] = QLTP_hash_value(e->key, e->keylen) & mask;
            ++start[bucket_of[static_cast<size_t>(i)] + 1];
        }
        for (int b = 0; b < cd->bctsz; ++b) start[static_cast<size_t>(b) + 1] += start[static_cast<size_t>(b)];
        std::vector<int> order(static_cast<size_t>(cd->size));
        std::vector<int> fill(start.begin(), start.end() - 1);
        for (int i = 0; i < cd->size; ++i) order[static_cast<size_t>(fill[bucket_of[static_cast<size_t>(i)]]++)] = i;

        uint32_t pos = 0;
        for (int b = 0; b < cd->bctsz; ++b) {
            QLTP_write_bytes(cd->buckets + static_cast<size_t>(b) * cd->bszbct, pos, cd->bszbct);
            for (int k = start[static_cast<size_t>(b)]; k < start[static_cast<size_t>(b) + 1]; ++k) {
                int i = order[static_cast<size_t>(k)];
                const hash_entry* e = d->ids[static_cast<size_t>(i)];
                cd->data[pos] = static_cast<unsigned char>(e->keylen);
                std::memcpy(cd->data + pos + 1, e->key, static_cast<size_t>(e->keylen));
                cd->data[pos + 1 + e->keylen] = 0;
                QLTP_write_bytes(cd->data + pos + 2 + e->keylen, static_cast<uint32_t>(e->value), cd->bszdat);
                QLTP_write_bytes(cd->lookup + static_cast<size_t>(e->value - 1) * cd->bszlkp, pos + 1, cd->bszlkp);
                pos += static_cast<uint32_t>(e->keylen + 2 + cd->bszdat);
            }
            cd->data[pos++] = 0;
        }
    } catch (...) {
        QLTP_cdict_delete(cd);
        return nullptr;
    }
    return cd;
}

const char* QLTP_cdict_idx(const cdict* cd, int id) {
    if (!cd || id < 1 || id > cd->size) return kEmpty;
    return reinterpret_cast<const char*>(cd->data + lookup_entry(cd, id));
}

int QLTP_cdict_word(const cdict* cd, const char* word, int len) {
    if (!cd || !word || len < 1 || len > kMaxWord) return 0;
    uint32_t b = QLTP_hash_value(word, len) & static_cast<uint32_t>(cd->bctsz - 1);
    const unsigned char* p = cd->data + bucket_entry(cd, static_cast<int>(b));
    for (unsigned n = *p; n != 0; p += n + 2 + cd->bszdat, n = *p) {
        if (n == static_cast<unsigned>(len) && std::memcmp(p + 1, word, n) == 0)
            return static_cast<int>(QLTP_read_bytes(p + 2 + n, cd->bszdat));
    }
    return 0;
}

int QLTP_cdict_sz(const cdict* cd) { return cd ? cd->size : 0; }

void QLTP_cdict_delete(cdict* cd) {
    if (!cd) return;
    QLTP_free(cd->block);
    delete cd;
}

int QLTP_cdict_write_sz(const cdict* cd) { return cd ? kHeaderBytes + cd->datasz : 0; }

char* QLTP_cdict_write(const cdict* cd, char* buf, int swap) {
    if (!cd || !buf) return nullptr;
    const int32_t head[6] = {cd->size, cd->bszdat, cd->bszbct, cd->bszlkp, cd->bctsz, cd->datasz};
    char* p = QLTP_int_write(head, buf, 6, swap);
    std::memcpy(p, cd->block, static_cast<size_t>(cd->datasz));
    if (swap) {
        // Reverse the copy's tables and ids; the ids are found by walking the copy's buckets.
        cdict copy = *cd;
        copy.block = reinterpret_cast<unsigned char*>(p);
        set_parts(&copy);
        swap_tables(&copy);
        uint32_t pos = 0;
        for (int b = 0; b < copy.bctsz; ++b) {
            for (unsigned n = copy.data[pos]; n != 0; n = copy.data[pos]) {
                QLTP_swap_bytes(copy.data + pos + 2 + n, copy.bszdat);
                pos += n + 2 + static_cast<uint32_t>(copy.bszdat);
            }
            ++pos;
        }
    }
    return p + cd->datasz;
}

int QLTP_cdict_read(FILE* file, cdict** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    if (!file) return 0;
    int32_t head[6] = {};
    if (QLTP_int_read(file, head, 6, swap) != 6) return 0;
    const int32_t size = head[0], bszdat = head[1], bszbct = head[2], bszlkp = head[3], bctsz = head[4],
                  datasz = head[5];
    if (size < 0 || !valid_width(bszdat) || !valid_width(bszbct) || !valid_width(bszlkp) || !power_of_two(bctsz) ||
        datasz < 0)
        return 0;
    int64_t tables = static_cast<int64_t>(size) * bszlkp + static_cast<int64_t>(bctsz) * bszbct;
    // Every bucket ends in a 0 byte, every word takes at least 3 + bszdat bytes.
    if (static_cast<int64_t>(datasz) - tables < bctsz + static_cast<int64_t>(size) * (3 + bszdat)) return 0;
    if (!QLTP_file_may_hold(file, static_cast<uint64_t>(datasz))) return 0;
    cdict* cd = new_cdict();
    if (!cd) return 0;
    cd->size = size;
    cd->bszdat = bszdat;
    cd->bszbct = bszbct;
    cd->bszlkp = bszlkp;
    cd->bctsz = bctsz;
    cd->datasz = datasz;
    cd->block = static_cast<unsigned char*>(QLTP_malloc(static_cast<size_t>(datasz)));
    if (!cd->block || std::fread(cd->block, 1, static_cast<size_t>(datasz), file) != static_cast<size_t>(datasz)) {
        QLTP_cdict_delete(cd);
        return 0;
    }
    set_parts(cd);
    if (swap) swap_tables(cd);
    bool ok = false;
    try {
        ok = walk_block(cd, swap != 0);
    } catch (...) {
    }
    if (!ok) {
        QLTP_cdict_delete(cd);
        return 0;
    }
    *out = cd;
    return 6 + datasz;
}

cdict* QLTPPy_cdict_load(const char* path) {
    if (!path) return nullptr;
    FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    cdict* cd = nullptr;
    QLTP_cdict_read(file, &cd, 0);
    std::fclose(file);
    return cd;
}

int QLTPPy_cdict_write(const cdict* cd, QLTP_fixedbuf* buf) {
    if (!buf) return QLTP_cdict_write_sz(cd);
    // Refuse rather than write past the caller's buffer.
    if (!cd || !buf->data || buf->size < static_cast<uint32_t>(QLTP_cdict_write_sz(cd))) return -1;
    QLTP_cdict_write(cd, buf->data, 0);
    return 0;
}

void TEMP_cdict_print(const cdict* cd) {
    if (!cd) return;
    std::printf("size: %d bctsz: %d datasz: %d\n", cd->size, cd->bctsz, cd->datasz);
    std::printf("bszlkp: %d bszbct: %d bszdat: %d\n", cd->bszlkp, cd->bszbct, cd->bszdat);
    std::printf("LOOKUP\n");
    for (int id = 1; id <= cd->size; ++id) std::printf("%s %d\n", QLTP_cdict_idx(cd, id), id);
    std::printf("BUCKET OFFSETS\n");
    for (int b = 0; b < cd->bctsz; ++b) std::printf("%d %d\n", b, static_cast<int>(bucket_entry(cd, b)));
    std::printf("BUCKET CONTENTS\n");
    for (int b = 0; b < cd->bctsz; ++b) {
        std::printf("BUCKET %d", b);
        const unsigned char* p = cd->data + bucket_entry(cd, b);
        for (unsigned n = *p; n != 0; p += n + 2 + cd->bszdat, n = *p)
            std::printf(" %s:%d", reinterpret_cast<const char*>(p + 1),
                        static_cast<int>(QLTP_read_bytes(p + 2 + n, cd->bszdat)));
        std::printf("\n");
    }
}
