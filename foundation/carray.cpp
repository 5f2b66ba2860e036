#include "foundation/carray.h"

#include <cstring>
#include <vector>

#include "foundation/serial.h"
#include "foundation/strarray.h"
#include "foundation/strutil.h"

namespace {

// The largest block a compact array is made with.
constexpr uint64_t kMaxBlock = INT32_MAX;

int width_of(uint32_t v) { return v <= 0xff ? 1 : v <= 0xffff ? 2 : 4; }
int code_of(int width) { return width == 1 ? 0 : width == 2 ? 1 : 2; }
int width_code(int code) { return code == 0 ? 1 : code == 1 ? 2 : 4; }

int elsize_width(const carray* ca) { return width_code((ca->flag >> QLTP_CARRAY_ELSIZE_SHIFT) & 3); }
int count_width(const carray* ca) { return width_code((ca->flag >> QLTP_CARRAY_COUNT_SHIFT) & 3); }
int header_of(const carray* ca) { return elsize_width(ca) + count_width(ca); }

uint32_t elsize_of(const carray* ca) { return QLTP_read_bytes(ca->block, elsize_width(ca)); }
uint32_t count_of(const carray* ca) { return QLTP_read_bytes(ca->block + elsize_width(ca), count_width(ca)); }

}  // namespace

carray* QLTP_carray_new(uint32_t elsize, int owns, const void* src, int count) {
    if (elsize == 0 || count < 1) return nullptr;
    if (owns && elsize < sizeof(void*)) return nullptr;
    uint64_t bytes = uint64_t{elsize} * static_cast<uint64_t>(count);
    int ew = width_of(elsize), cw = width_of(static_cast<uint32_t>(count));
    if (bytes + ew + cw > kMaxBlock) return nullptr;
    auto* ca = static_cast<carray*>(QLTP_malloc(sizeof(carray)));
    if (!ca) return nullptr;
    ca->flag = static_cast<uint8_t>((owns ? QLTP_CARRAY_OWNS : 0) | (code_of(cw) << QLTP_CARRAY_COUNT_SHIFT) |
                                    (code_of(ew) << QLTP_CARRAY_ELSIZE_SHIFT));
    ca->block = static_cast<unsigned char*>(QLTP_malloc(static_cast<size_t>(bytes) + ew + cw));
    if (!ca->block) {
        QLTP_free(ca);
        return nullptr;
    }
    char* p = QLTP_write_bytes(ca->block, elsize, ew);
    p = QLTP_write_bytes(p, static_cast<uint32_t>(count), cw);
    if (src)
        std::memcpy(p, src, static_cast<size_t>(bytes));
    else
        std::memset(p, 0, static_cast<size_t>(bytes));
    return ca;
}

void QLTP_carray_delete(carray* ca) {
    if (!ca) return;
    if (ca->flag & QLTP_CARRAY_OWNS) {
        for (int i = 0, n = QLTP_carray_sz(ca); i < n; ++i) {
            void* owned = nullptr;
            std::memcpy(&owned, QLTP_carray_idx(ca, i), sizeof owned);
            QLTP_free(owned);
        }
    }
    QLTP_free(ca->block);
    QLTP_free(ca);
}

int QLTP_carray_sz(const carray* ca) { return ca ? static_cast<int>(count_of(ca)) : 0; }
uint32_t QLTP_carray_szof(const carray* ca) { return ca ? elsize_of(ca) : 0; }

int QLTP_carray_info(const carray* ca, uint32_t* elsize, int* count, int* header) {
    if (!ca) return 0;
    if (elsize) *elsize = elsize_of(ca);
    if (count) *count = static_cast<int>(count_of(ca));
    if (header) *header = header_of(ca);
    return 1;
}

void* QLTP_carray_idx(const carray* ca, int i) {
    if (!ca || i < 0 || static_cast<uint32_t>(i) >= count_of(ca)) return nullptr;
    return ca->block + header_of(ca) + uint64_t{elsize_of(ca)} * static_cast<uint32_t>(i);
}

// ---------------------------------------------------------------------------
// String form

strcarray* QLTP_strcarray_new_const(char* block, int n) {
    if (!block || n < 1) return nullptr;
    std::vector<char*> strings;
    try {
        strings.reserve(static_cast<size_t>(n));
    } catch (...) {
        return nullptr;
    }
    for (char* p = block; static_cast<int>(strings.size()) < n; p += std::strlen(p) + 1) strings.push_back(p);
    return QLTP_carray_new(sizeof(char*), 0, strings.data(), n);
}

void QLTP_strcarray_delete(strcarray* ca) {
    if (!ca) return;
    QLTP_free(QLTP_strcarray_idx(ca, 0));
    QLTP_carray_delete(ca);
}

int QLTP_strcarray_sz(const strcarray* ca) { return QLTP_carray_sz(ca); }

char* QLTP_strcarray_idx(const strcarray* ca, int i) {
    void* p = QLTP_carray_idx(ca, i);
    if (!p) return nullptr;
    char* s;
    std::memcpy(&s, p, sizeof s);
    return s;
}

uint32_t QLTP_strcarray_write_sz(const strcarray* ca) {
    uint64_t size = 8;
    for (int i = 0, n = QLTP_strcarray_sz(ca); i < n; ++i) size += std::strlen(QLTP_strcarray_idx(ca, i)) + 1;
    return static_cast<uint32_t>(size);
}

char* QLTP_strcarray_write(const strcarray* ca, char* dst, int swap) {
    if (!dst) return nullptr;
    int32_t head[2] = {QLTP_strcarray_sz(ca), static_cast<int32_t>(QLTP_strcarray_write_sz(ca) - 8)};
    dst = QLTP_int_write(head, dst, 2, swap);
    for (int i = 0; i < head[0]; ++i) {
        const char* s = QLTP_strcarray_idx(ca, i);
        size_t n = std::strlen(s) + 1;
        std::memcpy(dst, s, n);
        dst += n;
    }
    return dst;
}

int QLTP_strcarray_read(FILE* file, strcarray** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    // The string array's reader checks the count against the strings in the block.
    strarray* read = nullptr;
    int got = QLTP_strarray_read(file, &read, swap);
    if (!got) return 0;
    int n = QLTP_strarray_sz(read);
    if (n > 0) {
        *out = QLTP_strcarray_new_const(read->block, n);
        if (!*out) {
            QLTP_strarray_delete(read);
            return 0;
        }
        read->block = nullptr;  // now the compact array's
    }
    QLTP_strarray_delete(read);
    return got;
}
