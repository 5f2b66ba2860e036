#include "foundation/dystrarray.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

constexpr unsigned kLongRecord = 255;

unsigned char* bytes(const dystrarray* d) { return d->storage; }

// Length of the record starting at pos, or 0 when the chain is broken there:
// a length byte below 2, a record running past the end, or a string that is
// not NUL-terminated inside its record.
uint32_t record_len(const unsigned char* b, uint32_t n, uint32_t pos) {
    if (pos >= n) return 0;
    unsigned len = b[pos];
    if (len < 2) return 0;
    if (len < kLongRecord) return (len <= n - pos && b[pos + len - 1] == 0) ? len : 0;
    // A long record ends where the NULs after its string end.
    uint32_t p = pos + 1;
    while (p < n && b[p]) ++p;
    if (p >= n) return 0;
    while (p < n && !b[p]) ++p;
    return p - pos;
}

// Byte position and length of record i; false when there is none.
bool locate(const dystrarray* d, int i, uint32_t* pos, uint32_t* len) {
    if (!d || i < 0 || d->count == 0) return false;
    uint32_t p = 0;
    for (int k = 0;; ++k) {
        uint32_t l = record_len(bytes(d), d->count, p);
        if (l == 0) return false;
        if (k == i) {
            *pos = p;
            *len = l;
            return true;
        }
        p += l;
    }
}

// Appends n records of reclen bytes: the length byte, then NULs.
int append_records(dystrarray* d, int n, int reclen) {
    if (n < 1) return 1;
    reclen = std::max(reclen, 2);
    if (static_cast<int64_t>(n) * reclen > INT_MAX - static_cast<int64_t>(d->count)) return 0;
    uint32_t start = d->count;
    if (!QLTP_array_resize(d, static_cast<int>(start) + n * reclen)) return 0;
    unsigned char* b = bytes(d) + start;
    std::memset(b, 0, static_cast<size_t>(n) * static_cast<size_t>(reclen));
    for (int k = 0; k < n; ++k) b[static_cast<size_t>(k) * static_cast<size_t>(reclen)] =
        static_cast<unsigned char>(std::min(reclen, static_cast<int>(kLongRecord)));
    return 1;
}

int string_len(const char* s, int len) { return s ? QLTP_strnlen(s, len) : 0; }

bool inside(const dystrarray* d, const char* s) {
    auto* p = reinterpret_cast<const unsigned char*>(s);
    return d->storage && p >= d->storage && p < d->storage + d->capacity;
}

// Rewrites record i's string: replaced, or extended when appending.
int rewrite(dystrarray* d, int i, const char* s, int len, bool appending) {
    uint32_t pos = 0, reclen = 0;
    if (!locate(d, i, &pos, &reclen)) return 0;
    int nb = string_len(s, len);
    int old = appending ? static_cast<int>(std::strlen(reinterpret_cast<char*>(bytes(d) + pos + 1))) : 0;
    if (nb > INT_MAX / 2 - old) return 0;
    int b = old + nb;
    int64_t have = reclen;
    std::string copy;
    if (nb > 0 && inside(d, s)) {
        // Widening may move the storage that s points into.
        copy.assign(s, static_cast<size_t>(nb));
        s = copy.data();
    }
    if (have < static_cast<int64_t>(b) + 2) {
        // Widen by an even amount so that even lengths stay even.
        int64_t grow = ((static_cast<int64_t>(b) - have) & ~static_cast<int64_t>(1)) + 4;
        if (have + grow > INT_MAX - static_cast<int64_t>(d->count)) return 0;
        if (!QLTP_array_insert_range(d, nullptr, static_cast<int>(grow), static_cast<int>(pos + reclen))) return 0;
        have += grow;
    }
    unsigned char* rec = bytes(d) + pos;
    rec[0] = static_cast<unsigned char>(std::min<int64_t>(have, kLongRecord));
    if (nb > 0) std::memmove(rec + 1 + old, s, static_cast<size_t>(nb));
    std::memset(rec + 1 + b, 0, static_cast<size_t>(have - 1 - b));
    return 1;
}

dystrarray* make(uint32_t increment, uint32_t keep) { return QLTP_array_new(increment, keep, 1, 0); }

}  // namespace

dystrarray* QLTP_dystrarray_new(int n) {
    dystrarray* d = make(64, 512);
    if (d && !append_records(d, n, 2)) {
        QLTP_array_delete(d);
        return nullptr;
    }
    return d;
}

dystrarray* QLTP_dystrarray_newprealloc(int n) {
    dystrarray* d = make(64, 512);
    if (d && n > 0 && !QLTP_array_extend(d, n)) {
        QLTP_array_delete(d);
        return nullptr;
    }
    return d;
}

dystrarray* QLTP_dystrarray_newcustom(int n, int prealloc, int reclen, int increment, int keep) {
    // A record shorter than 2 bytes has no room for its NUL and breaks the chain.
    reclen = std::max(reclen, 2);
    dystrarray* d = make(static_cast<uint32_t>(std::max(increment, 0)), static_cast<uint32_t>(std::max(keep, 0)));
    if (!d) return nullptr;
    int64_t reserve = std::max<int64_t>(prealloc, static_cast<int64_t>(std::max(n, 0)) * reclen);
    if (reserve > INT_MAX || (reserve > 0 && !QLTP_array_extend(d, static_cast<int>(reserve))) ||
        !append_records(d, n, reclen)) {
        QLTP_array_delete(d);
        return nullptr;
    }
    return d;
}

void QLTP_dystrarray_delete(dystrarray* d) { QLTP_array_delete(d); }

int QLTP_dystrarray_clear(dystrarray* d, int n) { return QLTP_dystrarray_clearcustom(d, n, 2); }

int QLTP_dystrarray_clearcustom(dystrarray* d, int n, int reclen) {
    if (!d) return 0;
    QLTP_array_clear(d);
    return append_records(d, n, reclen);
}

int QLTP_dystrarray_copy(const dystrarray* src, dystrarray* dst) {
    if (!src || !dst) return 0;
    if (src == dst) return 1;
    if (src->count == 0) {
        QLTP_array_resize(dst, 0);
        return 1;
    }
    return QLTP_array_replace(dst, bytes(src), static_cast<int>(src->count));
}

int QLTP_dystrarray_sz(const dystrarray* d) {
    if (!d || d->count == 0) return 0;
    uint32_t pos = 0;
    int n = 0;
    while (pos < d->count) {
        uint32_t l = record_len(bytes(d), d->count, pos);
        if (l == 0) {
            std::fprintf(stderr, "Internal structure of dystrarray corrupted: expected size %d, found %d.\n",
                         static_cast<int>(d->count), static_cast<int>(pos));
            return 0;
        }
        pos += l;
        ++n;
    }
    return n;
}

char* QLTP_dystrarray_idx(const dystrarray* d, int i) {
    uint32_t pos = 0, len = 0;
    if (!locate(d, i, &pos, &len)) return nullptr;
    return reinterpret_cast<char*>(bytes(d) + pos + 1);
}

char* QLTP_dystrarray_next(const dystrarray* d, const char* p) {
    if (!d || !p || d->count == 0) return nullptr;
    auto* up = reinterpret_cast<const unsigned char*>(p);
    if (up <= bytes(d) || up > bytes(d) + d->count) return nullptr;
    uint32_t pos = static_cast<uint32_t>(up - bytes(d)) - 1;
    uint32_t len = record_len(bytes(d), d->count, pos);
    if (len == 0) return nullptr;
    uint32_t next = pos + len;
    if (record_len(bytes(d), d->count, next) == 0) return nullptr;
    return reinterpret_cast<char*>(bytes(d) + next + 1);
}

int QLTP_dystrarray_add(dystrarray* d, const char* s, int len) {
    if (!d) return 0;
    int n = string_len(s, len);
    if (n > INT_MAX - 8 - static_cast<int64_t>(d->count)) return 0;
    int reclen = 2 * ((n + 2) / 2) + 2;
    std::string copy;
    if (n > 0 && inside(d, s)) {
        copy.assign(s, static_cast<size_t>(n));
        s = copy.data();
    }
    uint32_t start = d->count;
    if (!QLTP_array_resize(d, static_cast<int>(start) + reclen)) return 0;
    unsigned char* rec = bytes(d) + start;
    rec[0] = static_cast<unsigned char>(std::min(reclen, static_cast<int>(kLongRecord)));
    if (n > 0) std::memcpy(rec + 1, s, static_cast<size_t>(n));
    std::memset(rec + 1 + n, 0, static_cast<size_t>(reclen - 1 - n));
    return 1;
}

int QLTP_dystrarray_add_delim(dystrarray* d, const char* s, int len, char delim) {
    if (!d || !s) return 0;
    if (len < 0 && (len = QLTP_strlen_int(s)) < 0) return 0;
    int start = 0;
    for (int i = 0; i <= len; ++i) {
        if (i == len || s[i] == delim) {
            if (!QLTP_dystrarray_add(d, s + start, i - start)) return 0;
            start = i + 1;
        }
    }
    return 1;
}

int QLTP_dystrarray_remove(dystrarray* d, int i) {
    uint32_t pos = 0, len = 0;
    if (!locate(d, i, &pos, &len)) return 0;
    return QLTP_array_delete_range(d, static_cast<int>(pos), static_cast<int>(len)) ? 1 : 0;
}

int QLTP_dystrarray_replace(dystrarray* d, int i, const char* s, int len) { return rewrite(d, i, s, len, false); }

int QLTP_dystrarray_append(dystrarray* d, int i, const char* s, int len) { return rewrite(d, i, s, len, true); }

int QLTP_dystrarray_write_sz(const dystrarray* d) { return 4 + (d ? static_cast<int>(d->count) : 0); }

char* QLTP_dystrarray_write(const dystrarray* d, char* buf, int swap) {
    if (!buf) return nullptr;
    int32_t n = d ? static_cast<int32_t>(d->count) : 0;
    buf = QLTP_int_write(&n, buf, 1, swap);
    if (n > 0) std::memcpy(buf, bytes(d), static_cast<size_t>(n));
    return buf + n;
}

int QLTP_dystrarray_read(FILE* file, dystrarray** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    if (!file) return 0;
    int32_t n = 0;
    if (QLTP_int_read(file, &n, 1, swap) != 1 || n < 0) return 0;
    dystrarray* d = make(1, 512);
    if (!d) return 0;
    if (n > 0) {
        // Read in growing pieces so that a corrupt count cannot make a huge
        // allocation before the file runs out.
        for (int done = 0; done < n;) {
            int piece = std::min(std::max(1 << 16, done), n - done);
            if (!QLTP_array_resize(d, done + piece) ||
                std::fread(bytes(d) + done, 1, static_cast<size_t>(piece), file) != static_cast<size_t>(piece)) {
                QLTP_array_delete(d);
                return 0;
            }
            done += piece;
        }
        for (uint32_t pos = 0; pos < d->count;) {
            uint32_t l = record_len(bytes(d), d->count, pos);
            if (l == 0) {
                QLTP_array_delete(d);
                return 0;
            }
            pos += l;
        }
    }
    *out = d;
    return n + 1;
}
