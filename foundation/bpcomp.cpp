#include "foundation/bpcomp.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

constexpr int kSymbols = 256;
constexpr int kMaxSymbol = 255;
// Buffers hold the maximum length plus a NUL, counted in an int32.
constexpr int32_t kMaxStoredLength = INT32_MAX - 1;

using uchar = unsigned char;

// Character -> terminal symbol (0 where the character is no terminal).
void terminal_map(const bpcomp* table, uchar map[kSymbols]) {
    std::memset(map, 0, kSymbols);
    for (int s = 1; s < table->nterminals; ++s) map[table->left[s]] = static_cast<uchar>(s);
}

// Replaces, left to right, every adjacent (l, r) by s; gives the new length.
size_t replace_pair(uchar* p, size_t len, uchar l, uchar r, uchar s) {
    size_t w = 0;
    for (size_t i = 0; i < len;) {
        if (i + 1 < len && p[i] == l && p[i + 1] == r) {
            p[w++] = s;
            i += 2;
        } else {
            p[w++] = p[i++];
        }
    }
    p[w] = 0;
    return w;
}

// The output buffer: the caller's, or the work buffer grown to `need` bytes.
// A stored table may claim any maximum length, so the work buffer holds what
// the input needs, never what the table claims.
uchar* buffer(bpcomp* table, char* out, size_t need) {
    if (out) return reinterpret_cast<uchar*>(out);
    if (!table->work || static_cast<size_t>(table->work_size) < need) {
        QLTP_free(table->work);
        table->work_size = 0;
        table->work = static_cast<uchar*>(QLTP_malloc(need));
        if (!table->work) return nullptr;
        table->work_size = static_cast<int32_t>(need);
    }
    return table->work;
}

// The input as a string of its own when it lies in the work buffer (as the
// result of the other operation does) or in the caller's output buffer
// (maximum length + 1 bytes): writing, or growing the work buffer, would
// spoil it.
bool detach(const bpcomp* table, const char*& input, size_t len, const char* out, std::string& copy) {
    auto inside = [&](const void* at, size_t size) {
        auto in = reinterpret_cast<uintptr_t>(input), from = reinterpret_cast<uintptr_t>(at);
        return at && in + len >= from && in < from + size;
    };
    const bool overlaps = out ? inside(out, static_cast<size_t>(table->maxlen) + 1)
                              : inside(table->work, static_cast<size_t>(table->work_size));
    if (!overlaps) return true;
    try {
        copy.assign(input, len);
    } catch (...) {
        return false;
    }
    input = copy.c_str();
    return true;
}

// Bytes each symbol expands to, counted up to `cap`.
void expansion_lengths(const bpcomp* table, size_t cap, size_t lengths[kSymbols]) {
    lengths[0] = 0;
    for (int s = 1; s < kSymbols; ++s) {
        if (s < table->nterminals)
            lengths[s] = 1;
        else if (s < table->nterminals + table->npairs)
            lengths[s] = std::min(cap, lengths[table->left[s]] + lengths[table->right[s]]);
        else
            lengths[s] = 0;
    }
}

int64_t total_length(const voidparray* strings) { return QLTP_bpcomp_strings_sz(strings); }

// Whether a table's pairs all expand: each half below its own symbol.
bool well_formed(const bpcomp* t) {
    if (t->maxlen < 0 || t->maxlen > kMaxStoredLength) return false;
    if (t->nterminals < 1 || t->nterminals > kSymbols || t->npairs < 0 || t->nterminals + t->npairs > kSymbols)
        return false;
    for (int s = t->nterminals; s < t->nterminals + t->npairs; ++s)
        if (t->left[s] >= s || t->right[s] >= s) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

bpcomp* QLTP_bpcomp_new(int building) {
    auto* table = static_cast<bpcomp*>(QLTP_malloc(sizeof(bpcomp)));
    if (!table) return nullptr;
    std::memset(table, 0, sizeof *table);
    table->nterminals = 1;
    if (building) {
        table->counts = static_cast<uint32_t*>(QLTP_malloc(sizeof(uint32_t) * kSymbols * kSymbols));
        if (!table->counts) {
            QLTP_free(table);
            return nullptr;
        }
        std::memset(table->counts, 0, sizeof(uint32_t) * kSymbols * kSymbols);
    }
    return table;
}

void QLTP_bpcomp_delete(bpcomp* table) {
    if (!table) return;
    QLTP_free(table->counts);
    QLTP_free(table->work);
    QLTP_free(table);
}

int32_t QLTP_bpcomp_maxlen(const bpcomp* table) { return table ? table->maxlen : 0; }

// ---------------------------------------------------------------------------
// Building

int QLTP_bpcomp_add_termchar(bpcomp* table, const char* s) {
    if (!table || !s) return 0;
    size_t len = std::strlen(s);
    if (len > static_cast<size_t>(INT32_MAX - 1)) return 0;
    if (static_cast<int32_t>(len) > table->maxlen) table->maxlen = static_cast<int32_t>(len);
    uchar map[kSymbols];
    terminal_map(table, map);
    for (const uchar* p = reinterpret_cast<const uchar*>(s); *p; ++p) {
        if (map[*p]) continue;
        // At most 255 characters can occur, so T stays at most 256.
        map[*p] = static_cast<uchar>(table->nterminals);
        table->left[table->nterminals++] = *p;
    }
    return 1;
}

int QLTP_bpcomp_replace_termchar(const bpcomp* table, char* s) {
    if (!table || !s) return 0;
    uchar map[kSymbols];
    terminal_map(table, map);
    for (auto* p = reinterpret_cast<uchar*>(s); *p; ++p)
        if (map[*p]) *p = map[*p];
    return 1;
}

int QLTP_bpcomp_count_bytepairs(bpcomp* table, const char* symbols) {
    if (!table || !table->counts || !symbols) return 0;
    const auto* p = reinterpret_cast<const uchar*>(symbols);
    for (; p[0] && p[1]; ++p) ++table->counts[p[0] * kSymbols + p[1]];
    return 1;
}

int QLTP_bpcomp_add_bytepair(bpcomp* table) {
    if (!table || !table->counts) return 0;
    int symbol = table->nterminals + table->npairs;
    if (symbol > kMaxSymbol) return 0;
    int best = 0;
    for (int k = 1; k < kSymbols * kSymbols; ++k)
        if (table->counts[k] > table->counts[best]) best = k;
    table->left[symbol] = static_cast<uchar>(best / kSymbols);
    table->right[symbol] = static_cast<uchar>(best % kSymbols);
    ++table->npairs;
    return 1;
}

int QLTP_bpcomp_replace_bytepair(const bpcomp* table, char* symbols) {
    if (!table || !symbols || table->npairs == 0) return 0;
    int s = table->nterminals + table->npairs - 1;
    auto* p = reinterpret_cast<uchar*>(symbols);
    replace_pair(p, std::strlen(symbols), table->left[s], table->right[s], static_cast<uchar>(s));
    return 1;
}

bpcomp* QLTP_bpcomp_create_table(voidparray* strings) {
    bpcomp* table = QLTP_bpcomp_new(1);
    if (!table) return nullptr;
    int n = QLTP_voidparray_sz(strings);
    for (int i = 0; i < n; ++i) QLTP_bpcomp_add_termchar(table, static_cast<const char*>(QLTP_voidparray_idx(strings, i)));
    for (int i = 0; i < n; ++i) QLTP_bpcomp_replace_termchar(table, static_cast<char*>(QLTP_voidparray_idx(strings, i)));
    int64_t start = total_length(strings);
    std::printf("SZ: %lld\n", static_cast<long long>(start));
    while (true) {
        std::memset(table->counts, 0, sizeof(uint32_t) * kSymbols * kSymbols);
        for (int i = 0; i < n; ++i) QLTP_bpcomp_count_bytepairs(table, static_cast<const char*>(QLTP_voidparray_idx(strings, i)));
        if (!QLTP_bpcomp_add_bytepair(table)) break;
        for (int i = 0; i < n; ++i) QLTP_bpcomp_replace_bytepair(table, static_cast<char*>(QLTP_voidparray_idx(strings, i)));
        int64_t now = total_length(strings);
        std::printf("SZ: %lld %.3f\n", static_cast<long long>(now), start ? static_cast<double>(now) / start : 0.0);
    }
    return table;
}

// ---------------------------------------------------------------------------
// Encode and decode

char* QLTP_bpcomp_encode(bpcomp* table, const char* text, char* out) {
    if (!table || !text) return nullptr;
    size_t len = strnlen(text, static_cast<size_t>(table->maxlen) + 1);
    if (len > static_cast<size_t>(table->maxlen)) return nullptr;
    std::string copy;
    if (!detach(table, text, len, out, copy)) return nullptr;
    uchar* p = buffer(table, out, len + 1);
    if (!p) return nullptr;
    uchar map[kSymbols];
    terminal_map(table, map);
    for (size_t i = 0; i < len; ++i) {
        uchar s = map[static_cast<uchar>(text[i])];
        if (!s) return nullptr;
        p[i] = s;
    }
    p[len] = 0;
    for (int s = table->nterminals; s < table->nterminals + table->npairs; ++s)
        len = replace_pair(p, len, table->left[s], table->right[s], static_cast<uchar>(s));
    return reinterpret_cast<char*>(p);
}

char* QLTP_bpcomp_decode(bpcomp* table, const char* symbols, char* out) {
    if (!table || !symbols) return nullptr;
    size_t len = strnlen(symbols, static_cast<size_t>(table->maxlen) + 1);
    if (len > static_cast<size_t>(table->maxlen)) return nullptr;
    int defined = table->nterminals + table->npairs;
    for (size_t i = 0; i < len; ++i)
        if (static_cast<uchar>(symbols[i]) >= defined) return nullptr;
    // The text is at most the maximum length: the output takes what the
    // symbols expand to, up to that.
    const size_t limit = static_cast<size_t>(table->maxlen);
    size_t lengths[kSymbols];
    expansion_lengths(table, limit, lengths);
    size_t expanded = 0;
    for (size_t i = 0; i < len && expanded < limit; ++i)
        expanded = std::min(limit, expanded + lengths[static_cast<uchar>(symbols[i])]);
    std::string copy;
    if (!detach(table, symbols, len, out, copy)) return nullptr;
    uchar* p = buffer(table, out, expanded + 1);
    if (!p) return nullptr;
    size_t w = 0;
    // Halves lie below their symbol, so the stack holds at most 256 entries.
    uchar stack[kSymbols + 1];
    for (size_t i = 0; i < len && w < expanded; ++i) {
        int depth = 0;
        stack[depth++] = static_cast<uchar>(symbols[i]);
        while (depth > 0 && w < expanded) {
            uchar s = stack[--depth];
            if (s < table->nterminals) {
                p[w++] = table->left[s];
            } else {
                stack[depth++] = table->right[s];
                stack[depth++] = table->left[s];
            }
        }
    }
    p[w] = 0;
    return reinterpret_cast<char*>(p);
}

// ---------------------------------------------------------------------------
// Stored form

int QLTP_bpcomp_write_sz(const bpcomp*) { return QLTP_BPCOMP_STORED_SIZE; }

char* QLTP_bpcomp_write(const bpcomp* table, char* dst, int swap) {
    if (!table || !dst) return nullptr;
    int32_t head[3] = {table->maxlen, table->nterminals, table->npairs};
    dst = QLTP_int_write(head, dst, 3, swap);
    std::memcpy(dst, table->left, kSymbols);
    std::memcpy(dst + kSymbols, table->right, kSymbols);
    return dst + 2 * kSymbols;
}

bpcomp* QLTP_bpcomp_read(FILE* file, int swap) {
    int32_t head[3];
    if (!file || QLTP_int_read(file, head, 3, swap) != 3) return nullptr;
    bpcomp* table = QLTP_bpcomp_new(0);
    if (!table) return nullptr;
    table->maxlen = head[0];
    table->nterminals = head[1];
    table->npairs = head[2];
    if (QLTP_fread(table->left, 1, kSymbols, file) != kSymbols || QLTP_fread(table->right, 1, kSymbols, file) != kSymbols ||
        !well_formed(table)) {
        QLTP_bpcomp_delete(table);
        return nullptr;
    }
    return table;
}

bpcomp* QLTPPy_bpcomp_load(const char* path) { return QLTP_read_path(path, QLTP_bpcomp_read); }

int QLTPPy_bpcomp_write(const bpcomp* table, QLTP_fixedbuf* buffer) {
    if (!buffer) return QLTP_BPCOMP_STORED_SIZE;
    if (!table || !buffer->data || buffer->size < static_cast<uint32_t>(QLTP_BPCOMP_STORED_SIZE)) return -1;
    QLTP_bpcomp_write(table, buffer->data, 0);
    return 0;
}

// ---------------------------------------------------------------------------
// String lists

voidparray* QLTP_bpcomp_load_strings(voidparray* strings, const char* s) {
    if (!s) return strings;
    bool made = !strings;
    if (made && !(strings = QLTP_voidparray_new())) return nullptr;
    char* copy = QLTP_strndup(s, -1);
    if (!copy || !QLTP_voidparray_add(strings, copy)) {
        QLTP_free(copy);
        if (made) QLTP_voidparray_delete(strings);
        return made ? nullptr : strings;
    }
    return strings;
}

int64_t QLTP_bpcomp_strings_sz(const voidparray* strings) {
    int64_t total = 0;
    for (int i = 0, n = QLTP_voidparray_sz(strings); i < n; ++i)
        total += static_cast<int64_t>(std::strlen(static_cast<const char*>(QLTP_voidparray_idx(strings, i))));
    return total;
}

void QLTP_bpcomp_strings_delete(voidparray* strings) {
    for (int i = 0, n = QLTP_voidparray_sz(strings); i < n; ++i) QLTP_free(QLTP_voidparray_idx(strings, i));
    QLTP_voidparray_delete(strings);
}
