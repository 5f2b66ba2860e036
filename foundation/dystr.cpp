#include "foundation/dystr.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "foundation/strutil.h"

namespace {

// The content never exceeds INT_MAX bytes, so that every length and offset
// of the interface holds it: count (content and NUL) stays at most this.
constexpr uint64_t kMaxCount = uint64_t{INT32_MAX} + 1;

bool fits(const dystr* d, uint64_t more) { return uint64_t{d->chars.count} + more <= kMaxCount; }

struct Piece {
    const char* s;
    int len;
};

// Restores the terminating NUL when a failed allocation left none.
bool terminated(dystr* d) {
    static const char nul = 0;
    return d->chars.count > 0 || QLTP_array_append(&d->chars, &nul, 1);
}

// Appends the pieces after one reservation for their total. A piece may lie
// inside the string itself: it is found again after the reservation moved
// the storage, and the appended bytes land past the old content.
int append_pieces(dystr* d, Piece* pieces, int n) {
    if (!d || !terminated(d)) return 0;
    int64_t total = 0;
    for (int i = 0; i < n; ++i) {
        if (!pieces[i].s) return 0;
        if (pieces[i].len < 0 && (pieces[i].len = QLTP_strlen_int(pieces[i].s)) < 0) return 0;
        total += pieces[i].len;
    }
    if (!fits(d, static_cast<uint64_t>(total))) return 0;
    array* a = &d->chars;
    int64_t offsets[4];
    for (int i = 0; i < n; ++i) {
        auto base = reinterpret_cast<uintptr_t>(a->storage);
        auto at = reinterpret_cast<uintptr_t>(pieces[i].s);
        offsets[i] = a->storage && at >= base && at < base + a->capacity
                         ? static_cast<int64_t>(at - base) : -1;
    }
    if (!QLTP_array_extend(a, static_cast<int>(total))) return 0;
    for (int i = 0; i < n; ++i) {
        const char* s = offsets[i] < 0 ? pieces[i].s
                                       : reinterpret_cast<const char*>(a->storage) + offsets[i];
        if (!QLTP_array_append_null(a, s, pieces[i].len)) return 0;
    }
    return 1;
}

char* content(const dystr* d) { return reinterpret_cast<char*>(d->chars.storage); }

}  // namespace

dystr* QLTP_dystr_newcustom(const char* s, int len, uint32_t increment, uint32_t keep) {
    auto* d = static_cast<dystr*>(QLTP_malloc(sizeof(dystr)));
    if (!d) return nullptr;
    QLTP_array_init(&d->chars, increment, keep, 1, 0);
    static const char nul = 0;
    bool ok = (!s || len <= 0 || QLTP_array_append(&d->chars, s, len)) &&
              (len <= 0 || QLTP_array_extend(&d->chars, len)) &&
              QLTP_array_append(&d->chars, &nul, 1);
    if (!ok) {
        QLTP_dystr_delete(d);
        return nullptr;
    }
    return d;
}

dystr* QLTP_dystr_new(const char* s, int len) { return QLTP_dystr_newcustom(s, len, 8, 256); }

void QLTP_dystr_delete(dystr* d) {
    if (!d) return;
    QLTP_free(d->chars.storage);
    QLTP_free(d);
}

void QLTP_dystr_clear(dystr* d) {
    if (!d) return;
    QLTP_array_clear(&d->chars);
    terminated(d);
}

int QLTP_dystr_extend(dystr* d, int n) { return d ? QLTP_array_extend(&d->chars, n) : 0; }

int QLTP_dystr_sz(const dystr* d) {
    return d && d->chars.count > 0 ? static_cast<int>(d->chars.count - 1) : 0;
}

char* QLTP_dystr_cstr(const dystr* d) {
    if (!d) return nullptr;
    // Only a failed allocation leaves no storage; the content is then empty.
    static char empty[1] = {0};
    return d->chars.storage ? content(d) : empty;
}

int QLTP_dystr_append(dystr* d, const char* s, int len) {
    Piece p[] = {{s, len}};
    return append_pieces(d, p, 1);
}

int QLTP_dystr_append2(dystr* d, const char* s1, int len1, const char* s2, int len2) {
    Piece p[] = {{s1, len1}, {s2, len2}};
    return append_pieces(d, p, 2);
}

int QLTP_dystr_append3(dystr* d, const char* s1, int len1, const char* s2, int len2,
                       const char* s3, int len3) {
    Piece p[] = {{s1, len1}, {s2, len2}, {s3, len3}};
    return append_pieces(d, p, 3);
}

int QLTP_dystr_append4(dystr* d, const char* s1, int len1, const char* s2, int len2,
                       const char* s3, int len3, const char* s4, int len4) {
    Piece p[] = {{s1, len1}, {s2, len2}, {s3, len3}, {s4, len4}};
    return append_pieces(d, p, 4);
}

int QLTP_dystr_appendint(dystr* d, int32_t v) {
    char buf[31] = {0};
    QLTP_itoa(v, buf, sizeof buf);
    return QLTP_dystr_append(d, buf, -1);
}

int QLTP_dystr_appendfloat(dystr* d, float v, int ndig, char fmt) {
    // Room for the widest fixed text of a float (39 digits, 22 decimals).
    char buf[80] = {0};
    if (!QLTP_ftoa(v, buf, sizeof buf, ndig, fmt)) return 0;
    return QLTP_dystr_append(d, buf, -1);
}

int QLTP_dystr_append2intCR(dystr* d, const char* s, int len, int32_t v) {
    char buf[31] = {0};
    QLTP_itoa(v, buf, sizeof buf);
    return QLTP_dystr_append3(d, s, len, buf, -1, "\n", 1);
}

int QLTP_dystr_replace(dystr* d, const char* s, int len) {
    if (!d || !s) return 0;
    if (len < 0 && (len = QLTP_strlen_int(s)) < 0) return 0;
    static const char nul = 0;
    if (!QLTP_array_replace(&d->chars, s, len)) return 0;
    return QLTP_array_append(&d->chars, &nul, 1);
}

const char* QLTP_dystr_readline(dystr* d, const char* src) {
    if (!d || !src) return nullptr;
    int n = QLTP_strlen_eol(src, -1);
    // The scan stops at INT_MAX bytes: a longer line is refused.
    if (n == INT32_MAX && src[n] != '\0') return nullptr;
    if (src[n] == '\n') ++n;
    if (!QLTP_dystr_replace(d, src, n)) return nullptr;
    return src + n;
}

int QLTP_dystr_truncate(dystr* d, int n) {
    if (!d || n < 0) return 0;
    int len = QLTP_dystr_sz(d);
    if (n >= len) return 1;
    return QLTP_array_delete_range(&d->chars, n, len - n);
}

int QLTP_dystr_delete_upto(dystr* d, int n) {
    if (!d) return 0;
    if (n < 1) return 1;
    return QLTP_array_delete_range(&d->chars, 0, std::min(n, QLTP_dystr_sz(d)));
}

int QLTP_dystr_delete_range(dystr* d, int pos, int n) {
    if (!d) return 0;
    int len = QLTP_dystr_sz(d);
    pos = std::max(pos, 0);
    if (n < 1 || pos >= len) return 1;
    return QLTP_array_delete_range(&d->chars, pos, std::min(n, len - pos));
}

int QLTP_dystr_insert_range(dystr* d, const char* s, int len, int pos) {
    if (!d || !s || !terminated(d)) return 0;
    if (len < 0 && (len = QLTP_strlen_int(s)) < 0) return 0;
    int n = QLTP_strnlen(s, len);
    if (!fits(d, static_cast<uint64_t>(n))) return 0;
    pos = std::clamp(pos, 0, QLTP_dystr_sz(d));
    return QLTP_array_insert_range(&d->chars, s, n, pos);
}

void QLTP_dystr_asciilower(dystr* d) {
    if (d && d->chars.storage) QLTP_asciilower(content(d));
}

void QLTP_dystr_asciiupper(dystr* d) {
    if (d && d->chars.storage) QLTP_asciiupper(content(d));
}

void QLTP_dystr_asciireplace(dystr* d, char from, char to) {
    if (d && d->chars.storage) QLTP_asciireplace(content(d), from, to);
}

void QLTP_dystr_asciistrip(dystr* d, char c) {
    if (!d || !d->chars.storage) return;
    char* begin = content(d);
    char* end = begin + QLTP_dystr_sz(d);
    char* kept = std::remove(begin, end, c);
    auto removed = static_cast<int>(end - kept);
    QLTP_array_delete_range(&d->chars, static_cast<int>(kept - begin), removed);
}

void QLTP_dystr_remove_non_ascii(dystr* d) {
    if (!d || !d->chars.storage) return;
    char* s = content(d);
    for (int i = 0, n = QLTP_dystr_sz(d); i < n; ++i)
        if (static_cast<unsigned char>(s[i]) >= 0x80) s[i] = ' ';
}

void QLTP_dystr_printf(const dystr* d) {
    if (d && d->chars.storage) std::fwrite(d->chars.storage, 1, static_cast<size_t>(QLTP_dystr_sz(d)), stdout);
}
