#include "foundation/strarray.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

strarray* make(int prealloc, uint32_t increment, uint32_t keep, bool owns) {
    auto* a = static_cast<strarray*>(QLTP_malloc(sizeof(strarray)));
    if (!a) return nullptr;
    QLTP_array_init(&a->items, increment, keep, sizeof(char*), owns);
    if (!QLTP_array_extend(&a->items, prealloc)) {
        QLTP_strarray_delete(a);
        return nullptr;
    }
    return a;
}

char* at(const strarray* a, uint32_t i) {
    char* s = nullptr;
    std::memcpy(&s, a->items.storage + sizeof(char*) * i, sizeof s);
    return s;
}

// A NUL-terminated copy of len bytes of s (len < 0: up to the NUL); the copy
// stops early at a NUL of s and the rest stays zero.
char* copy_of(const char* s, int len) {
    size_t size = len < 0 ? std::strlen(s) : static_cast<size_t>(len);
    auto* copy = static_cast<char*>(QLTP_malloc(size + 1));
    if (copy) std::memcpy(copy, s, QLTP_strnlen(s, len));
    return copy;
}

// Puts a copy the array made at pos. A borrowing array records the copy so
// that it frees it later; an owning array owns it as an element.
int insert_copy(strarray* a, char* copy, int pos) {
    if (!copy) return 0;
    if (!a->items.owns) {
        if (!a->copies) a->copies = QLTP_array_new(8, 64, sizeof(char*), 1);
        if (!a->copies || !QLTP_array_append(a->copies, &copy, 1)) {
            QLTP_free(copy);
            return 0;
        }
        return QLTP_array_insert_range(&a->items, &copy, 1, pos);
    }
    if (!QLTP_array_insert_range(&a->items, &copy, 1, pos)) {
        QLTP_free(copy);
        return 0;
    }
    return 1;
}

int add_field(strarray* a, std::string_view field) {
    return QLTP_strarray_add(a, field.data(), static_cast<int>(field.size()));
}

bool is_in(const char* set, char c) { return c != '\0' && std::strchr(set, c) != nullptr; }

}  // namespace

// Create and free

strarray* QLTP_strarray_newcustom(int prealloc, uint32_t increment, uint32_t keep) {
    return make(prealloc, increment, keep, true);
}

strarray* QLTP_strarray_new() { return make(0, 1, 256, true); }

strarray* QLTP_strarray_new_custom(uint32_t increment, uint32_t keep) {
    return make(0, increment, keep, true);
}

strarray* QLTP_strarray_new_const(const char* block, int n) {
    if (n < 0 || (n > 0 && !block)) return nullptr;
    strarray* a = make(n, 1, 256, false);
    if (!a) return nullptr;
    // The caller keeps the block: the array never frees it.
    for (int i = 0; i < n; ++i) {
        QLTP_strarray_add_nocopy(a, const_cast<char*>(block));
        block += std::strlen(block) + 1;
    }
    return a;
}

void QLTP_strarray_clear(strarray* a) {
    if (!a) return;
    // A borrowing array's slots may point at copies freed below: zero them
    // so that reserved slots never come back as stale pointers.
    if (!a->items.owns && a->items.count)
        std::memset(a->items.storage, 0, sizeof(char*) * a->items.count);
    QLTP_array_clear(&a->items);
    QLTP_array_clear(a->copies);
}

void QLTP_strarray_delete(strarray* a) {
    if (!a) return;
    QLTP_array_clear(&a->items);
    QLTP_free(a->items.storage);
    QLTP_array_delete(a->copies);
    QLTP_free(a->block);
    QLTP_free(a);
}

// Size and reservation

int QLTP_strarray_sz(const strarray* a) { return a ? static_cast<int>(a->items.count) : 0; }
int QLTP_strarray_extend(strarray* a, int n) { return a ? QLTP_array_extend(&a->items, n) : 0; }
int QLTP_strarray_extendsz(strarray* a, int n) { return a ? QLTP_array_extendsz(&a->items, n) : 0; }

// Elements

int QLTP_strarray_add(strarray* a, const char* s, int len) {
    if (!a || !s) return 0;
    return insert_copy(a, copy_of(s, len), static_cast<int>(a->items.count));
}

int QLTP_strarray_add_nocopy(strarray* a, char* s) {
    if (!a || !s) return 0;
    return QLTP_array_append(&a->items, &s, 1);
}

int QLTP_strarray_insert_item(strarray* a, const char* s, int len, int pos) {
    if (!a || !s) return 0;
    return insert_copy(a, copy_of(s, len), pos);
}

int QLTP_strarray_replace(strarray* a, int i, const char* s, int len) {
    if (!a || !s) return 0;
    auto* slot = static_cast<char**>(QLTP_array_idx(&a->items, i));
    if (!slot) return 0;
    char* copy = copy_of(s, len);
    if (!copy) return 0;
    if (a->items.owns) {
        QLTP_free(*slot);
    } else {
        // A borrowed string is not the array's to free.
        if (!a->copies) a->copies = QLTP_array_new(8, 64, sizeof(char*), 1);
        if (!a->copies || !QLTP_array_append(a->copies, &copy, 1)) {
            QLTP_free(copy);
            return 0;
        }
    }
    *slot = copy;
    return 1;
}

int QLTP_strarray_remove_item(strarray* a, int i) {
    if (!a || !QLTP_array_idx(&a->items, i)) return 0;
    return QLTP_array_delete_range(&a->items, i, 1);
}

int QLTP_strarray_delete_range(strarray* a, int pos, int n) {
    return a ? QLTP_array_delete_range(&a->items, pos, n) : 0;
}

char* QLTP_strarray_idx(const strarray* a, int i) {
    if (!a || static_cast<uint32_t>(i) >= a->items.count) return nullptr;
    return at(a, static_cast<uint32_t>(i));
}

char* QLTP_strarray_join(const strarray* a, const char* sep) {
    if (!a || !sep) return nullptr;
    size_t seplen = std::strlen(sep);
    size_t total = 1;
    for (uint32_t i = 0; i < a->items.count; ++i) {
        const char* s = at(a, i);
        total += (s ? std::strlen(s) : 0) + (i ? seplen : 0);
    }
    auto* out = static_cast<char*>(QLTP_malloc(total));
    if (!out) return nullptr;
    char* p = out;
    for (uint32_t i = 0; i < a->items.count; ++i) {
        if (i) p = static_cast<char*>(std::memcpy(p, sep, seplen)) + seplen;
        if (const char* s = at(a, i)) {
            size_t n = std::strlen(s);
            p = static_cast<char*>(std::memcpy(p, s, n)) + n;
        }
    }
    *p = '\0';
    return out;
}

// Splitters

strarray* QLTP_strarray_split(const char* s, int len, const char* sep, int seplen) {
    if (!s) return nullptr;
    strarray* a = make(0, 512, 4096, true);
    if (!a) return nullptr;
    std::string_view text(s, QLTP_strnlen(s, len));
    std::string_view separator;
    if (sep) separator = std::string_view(sep, seplen < 0 ? std::strlen(sep) : seplen);
    size_t start = 0;
    if (!separator.empty()) {
        for (size_t i = 0; i < text.size();) {
            if (text.substr(i, separator.size()) == separator) {
                add_field(a, text.substr(start, i - start));
                start = i + separator.size();
                // The byte right after a separator is always text.
                i = start + 1;
            } else {
                ++i;
            }
        }
    }
    if (start < text.size()) add_field(a, text.substr(start));
    return a;
}

strarray* QLTP_strarray_split_chars(const char* s, int len, const char* chars) {
    if (!s) return nullptr;
    strarray* a = make(0, 512, 4096, true);
    if (!a) return nullptr;
    std::string_view text(s, QLTP_strnlen(s, len));
    if (!chars) chars = "";
    size_t start = 0;
    for (size_t i = 0; i < text.size();) {
        if (!is_in(chars, text[i])) {
            ++i;
            continue;
        }
        add_field(a, text.substr(start, i - start));
        while (i < text.size() && is_in(chars, text[i])) ++i;
        start = i;
    }
    if (start < text.size()) add_field(a, text.substr(start));
    return a;
}

strarray* QLTP_strarray_split_ws(const char* s, int len) {
    if (!s) return nullptr;
    strarray* a = make(0, 1, 256, true);
    if (!a) return nullptr;
    std::string_view text(s, QLTP_strnlen(s, len));
    for (size_t i = 0; i < text.size();) {
        while (i < text.size() && QLTP_is_whitespace(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !QLTP_is_whitespace(text[i])) ++i;
        if (i > start) add_field(a, text.substr(start, i - start));
    }
    return a;
}

// File form

namespace {

uint64_t block_size(const strarray* a) {
    uint64_t total = 0;
    for (int i = 0, n = QLTP_strarray_sz(a); i < n; ++i) {
        const char* s = at(a, static_cast<uint32_t>(i));
        total += (s ? std::strlen(s) : 0) + 1;
    }
    return total;
}

bool may_hold(FILE* file, uint64_t bytes) {
    long pos = std::ftell(file);
    if (pos < 0 || std::fseek(file, 0, SEEK_END) != 0) return true;
    long end = std::ftell(file);
    std::fseek(file, pos, SEEK_SET);
    return end >= pos && static_cast<uint64_t>(end - pos) >= bytes;
}

}  // namespace

uint32_t QLTP_strarray_write_sz(const strarray* a) {
    return static_cast<uint32_t>(8 + block_size(a));
}

char* QLTP_strarray_write(const strarray* a, char* dst, int swap) {
    if (!dst) return nullptr;
    int32_t header[2] = {QLTP_strarray_sz(a), static_cast<int32_t>(block_size(a))};
    dst = QLTP_int_write(header, dst, 2, swap);
    for (int i = 0; i < header[0]; ++i) {
        const char* s = at(a, static_cast<uint32_t>(i));
        size_t n = s ? std::strlen(s) : 0;
        if (n) std::memcpy(dst, s, n);
        dst[n] = '\0';
        dst += n + 1;
    }
    return dst;
}

int QLTP_strarray_read(FILE* file, strarray** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    int32_t header[2] = {0, 0};
    if (!file || QLTP_int_read(file, header, 2, swap) != 2) return 0;
    const int32_t count = header[0];
    const int32_t total = header[1];
    // Every string takes at least its NUL; a writer never puts a block
    // after an empty array.
    if (count < 0 || total < count || total > INT32_MAX - 2 || (count == 0 && total != 0))
        return 0;
    if (!may_hold(file, static_cast<uint64_t>(total))) return 0;
    strarray* a = make(count, 1, 256, false);
    if (!a) return 0;
    if (count > 0) {
        a->block = static_cast<char*>(QLTP_malloc(static_cast<size_t>(total)));
        if (!a->block || std::fread(a->block, 1, total, file) != static_cast<size_t>(total)) {
            QLTP_strarray_delete(a);
            return 0;
        }
        // The block must hold exactly count NUL-terminated strings.
        const char* p = a->block;
        const char* end = a->block + total;
        for (int32_t i = 0; i < count; ++i) {
            const void* nul = p < end ? std::memchr(p, 0, end - p) : nullptr;
            if (!nul) {
                QLTP_strarray_delete(a);
                return 0;
            }
            char* s = const_cast<char*>(p);
            QLTP_array_append(&a->items, &s, 1);
            p = static_cast<const char*>(nul) + 1;
        }
        if (p != end) {
            QLTP_strarray_delete(a);
            return 0;
        }
    }
    *out = a;
    return 2 + total;
}
