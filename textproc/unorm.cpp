#include "foundation/utf8.h"
#include "textproc/unorm.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr uint32_t SBase = 0xAC00;
constexpr uint32_t LBase = 0x1100;
constexpr uint32_t VBase = 0x1161;
constexpr uint32_t TBase = 0x11A7;
constexpr uint32_t LCount = 19;
constexpr uint32_t VCount = 21;
constexpr uint32_t TCount = 28;
constexpr uint32_t NCount = VCount * TCount;
constexpr uint32_t SCount = LCount * NCount;

// Segment buffers hold the combining class above the code point so that
// canonical reordering sorts plain integers.
constexpr int CccShift = 21;
constexpr uint32_t CpMask = (1u << CccShift) - 1;
// A chunk test reads 16 bytes and two more for a character begun in them.
constexpr int ChunkReach = 18;
// Invalid bytes inside a segment are kept as Opaque + the byte.
constexpr uint32_t Opaque = 0x110000;

inline const QLTP_unicode_record& record_of(uint32_t c) {
    return QLTP_PyUnicode_Database_Records[QLTP_index2[(QLTP_index1[c >> 7] << 7) + (c & 127)]];
}

inline uint32_t ccc_of(uint32_t c) { return record_of(c).combining; }

inline bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes the character at s (avail > 0 bytes, first byte >= 0x80).
// Returns its length, 0 for an invalid sequence, or -1 for a sequence that
// is valid so far but cut by the end of the input.
inline int decode(const unsigned char* s, int avail, uint32_t* cp) {
    unsigned char b = s[0];
    if (b < 0xC2 || b > 0xF4) return 0;
    if (b < 0xE0) {
        if (avail < 2) return -1;
        if (!is_cont(s[1])) return 0;
        *cp = ((b & 0x1Fu) << 6) | (s[1] & 0x3Fu);
        return 2;
    }
    if (avail < 2) return -1;
    unsigned char c = s[1];
    if (b < 0xF0) {
        if (!is_cont(c) || (b == 0xE0 && c < 0xA0) || (b == 0xED && c >= 0xA0)) return 0;
        if (avail < 3) return -1;
        if (!is_cont(s[2])) return 0;
        *cp = ((b & 0x0Fu) << 12) | ((c & 0x3Fu) << 6) | (s[2] & 0x3Fu);
        return 3;
    }
    if (!is_cont(c) || (b == 0xF0 && c < 0x90) || (b == 0xF4 && c >= 0x90)) return 0;
    if (avail < 3) return -1;
    if (!is_cont(s[2])) return 0;
    if (avail < 4) return -1;
    if (!is_cont(s[3])) return 0;
    *cp = ((b & 0x07u) << 18) | ((c & 0x3Fu) << 12) | ((s[2] & 0x3Fu) << 6) | (s[3] & 0x3Fu);
    return 4;
}

// Length of a range list ended by a start of 0.
int range_count(const QLTP_comp_range* r) {
    int n = 0;
    while (r[n].start != 0) ++n;
    return n;
}

// Index of cp in a range list, or -1.
int range_index(const QLTP_comp_range* r, int n, uint32_t cp) {
    int lo = 0, hi = n;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (cp < r[mid].start) {
            hi = mid;
        } else if (cp >= r[mid].start + r[mid].count) {
            lo = mid + 1;
        } else {
            return static_cast<int>(r[mid].index + (cp - r[mid].start));
        }
    }
    return -1;
}

// The primary composite of (a, b), or 0.
uint32_t compose_pair(uint32_t a, uint32_t b) {
    if (a - LBase < LCount && b - VBase < VCount) return SBase + ((a - LBase) * VCount + (b - VBase)) * TCount;
    if (a - SBase < SCount && (a - SBase) % TCount == 0 && b - TBase - 1 < TCount - 1) return a + (b - TBase);
    static const int nfirst = range_count(QLTP_nfc_first);
    static const int nlast = range_count(QLTP_nfc_last);
    int f = range_index(QLTP_nfc_first, nfirst, a);
    if (f < 0) return 0;
    int l = range_index(QLTP_nfc_last, nlast, b);
    if (l < 0) return 0;
    uint32_t i = static_cast<uint32_t>(f) * static_cast<uint32_t>(QLTP_NFC_LAST_COUNT) + static_cast<uint32_t>(l);
    return QLTP_comp_data[(QLTP_comp_index[i >> 2] << 2) + (i & 3)];
}

// Full decomposition of cp appended to buf (code point with its class).
void decompose(uint32_t cp, bool compat, std::vector<uint32_t>& buf) {
    if (cp - SBase < SCount) {
        uint32_t s = cp - SBase;
        buf.push_back(LBase + s / NCount);
        buf.push_back(VBase + (s % NCount) / TCount);
        if (s % TCount != 0) buf.push_back(TBase + s % TCount);
        return;
    }
    uint32_t at = QLTP_decomp_index2[(QLTP_decomp_index1[cp >> 7] << 7) + (cp & 127)];
    uint32_t entry = QLTP_decomp_data[at];
    if (entry <= 255 || ((entry & 255) != 0 && !compat)) {
        buf.push_back((ccc_of(cp) << CccShift) | cp);
        return;
    }
    uint32_t count = entry >> 8;
    for (uint32_t k = 1; k <= count; ++k) decompose(QLTP_decomp_data[at + k], compat, buf);
}

// Stable sort of every run of non-starters by combining class.
void reorder(std::vector<uint32_t>& buf) {
    size_t n = buf.size();
    size_t i = 0;
    while (i < n) {
        if ((buf[i] >> CccShift) == 0) {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < n && (buf[j] >> CccShift) != 0) ++j;
        if (j - i > 1) {
            auto by_class = [](uint32_t x, uint32_t y) { return (x >> CccShift) < (y >> CccShift); };
            if (j - i <= 16) {
                for (size_t k = i + 1; k < j; ++k) {
                    uint32_t v = buf[k];
                    size_t m = k;
                    while (m > i && by_class(v, buf[m - 1])) {
                        buf[m] = buf[m - 1];
                        --m;
                    }
                    buf[m] = v;
                }
            } else {
                std::stable_sort(buf.begin() + static_cast<long>(i), buf.begin() + static_cast<long>(j), by_class);
            }
        }
        i = j;
    }
}

// Canonical composition in place; returns the new length.
size_t compose(std::vector<uint32_t>& buf) {
    size_t n = buf.size();
    if (n == 0) return 0;
    size_t starter = 0;
    uint32_t starter_cp = buf[0] & CpMask;
    // A leading non-starter never composes with what follows it.
    uint32_t last_class = buf[0] >> CccShift;
    if (last_class != 0) last_class = 256;
    size_t out = 1;
    for (size_t i = 1; i < n; ++i) {
        uint32_t cp = buf[i] & CpMask;
        uint32_t cls = buf[i] >> CccShift;
        if (last_class < cls || last_class == 0) {
            uint32_t composite = compose_pair(starter_cp, cp);
            if (composite != 0) {
                starter_cp = composite;
                buf[starter] = (ccc_of(composite) << CccShift) | composite;
                continue;
            }
        }
        if (cls == 0) {
            starter = out;
            starter_cp = cp;
        }
        last_class = cls;
        buf[out++] = buf[i];
    }
    return out;
}

// Normalises one segment of valid UTF-8 and appends the result.
void normalise_segment(const unsigned char* s, int len, bool compat, std::vector<uint32_t>& buf,
                       std::string& text) {
    buf.clear();
    int i = 0;
    while (i < len) {
        uint32_t cp = s[i];
        int l = 1;
        if (cp >= 0x80) l = decode(s + i, len - i, &cp);
        if (l <= 0) {  // an invalid byte stays as it is and combines with nothing
            buf.push_back(Opaque + s[i]);
            ++i;
            continue;
        }
        decompose(cp, compat, buf);
        i += l;
    }
    // Hangul parts were pushed without their class (0 for every jamo).
    reorder(buf);
    size_t n = compose(buf);
    text.clear();
    for (size_t k = 0; k < n; ++k) {
        uint32_t cp = buf[k] & CpMask;
        if (cp >= Opaque) {
            text.push_back(static_cast<char>(cp - Opaque));
        } else {
            QLTP_utf8_append(text, cp);
        }
    }
}

// True when no character that starts among the 16 bytes at p needs work.
// Lead bytes are looked up (two bytes past the chunk are read), first by the
// lead alone, then by the BMP code point they begin; continuation and invalid
// bytes are copied unchanged either way.
inline bool lead_is_simple(const unsigned char* p, const uint8_t* simple_lead, const uint64_t* simple) {
    unsigned char b = *p;
    if (simple_lead[b] != 0) return true;
    uint32_t cp;
    if (b < 0xE0) {
        cp = ((b & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    } else if (b < 0xF0) {
        cp = ((b & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    } else {
        return false;
    }
    return ((simple[cp >> 6] >> (cp & 63)) & 1) != 0;
}

// Offset of the first lead byte among the 16 at p that may need work, or 16.
inline int simple_prefix(const unsigned char* p, const uint8_t* simple_lead, const uint64_t* simple) {
#if defined(__SSE2__)
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Signed bytes: leads are -64..-1 (0xC0..0xFF).
    auto leads = static_cast<unsigned>(_mm_movemask_epi8(v) & _mm_movemask_epi8(_mm_cmpgt_epi8(v, _mm_set1_epi8(-65))));
    while (leads != 0) {
        int k = __builtin_ctz(leads);
        if (!lead_is_simple(p + k, simple_lead, simple)) return k;
        leads &= leads - 1;
    }
    return 16;
#else
    for (int k = 0; k < 16; ++k)
        if (p[k] >= 0xC0 && !lead_is_simple(p + k, simple_lead, simple)) return k;
    return 16;
#endif
}

inline bool ascii8(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return (w & 0x8080808080808080ull) == 0;
}

int normalise(const char* input, dystr* output, int* len, int compat, int final) {
    if (output == nullptr) return 0;
    QLTP_dystr_clear(output);
    if (len == nullptr) return 0;
    if (input == nullptr || *len <= 0) {
        *len = 0;
        return 0;
    }
    const auto* s = reinterpret_cast<const unsigned char*>(input);
    const int n = *len;
    const uint8_t mask = compat ? QLTP_NFKC_QC_MASK : QLTP_NFC_QC_MASK;
    const uint32_t min_lookup = compat ? QLTP_NFKC_MIN_LOOKUP : QLTP_NFC_MIN_LOOKUP;
    const uint64_t* simple = compat ? QLTP_nfkc_simple : QLTP_nfc_simple;

    int copied = 0;    // input bytes already written
    int boundary = 0;  // where the last segment that may still change begins
    int stop = n;      // end of what can be settled in this call
    uint32_t prev_class = 0;
    std::vector<uint32_t> buf;
    std::string text;

    const uint8_t* simple_lead = compat ? QLTP_nfkc_simple_lead : QLTP_nfc_simple_lead;

    int i = 0;
    while (i < n) {
        if (i + ChunkReach <= n) {
            // Characters that pass as starters are skipped 16 bytes at a
            // time up to the first lead byte that may need work; the last
            // character begun before it is the boundary.
            const int from = i;
            int k;
            while ((k = simple_prefix(s + i, simple_lead, simple)) == 16 && i + 16 + ChunkReach <= n) i += 16;
            i += k;
            if (i > from) {
                int last = i - 1;
                while (last > from && last > i - 4 && is_cont(s[last])) --last;
                boundary = last;
                prev_class = 0;
                // A character that runs on past the chunk is decoded below.
                if (i < n && is_cont(s[i])) i = last;
                if (k == 16) continue;
            }
        }
        const unsigned char b = s[i];
        if (b < 0x80) {
            int j = i + 1;
            while (j + 8 <= n && ascii8(s + j)) j += 8;
            while (j < n && s[j] < 0x80) ++j;
            boundary = j - 1;
            prev_class = 0;
            i = j;
            continue;
        }
        uint32_t cp = 0;
        int l;
        if (b < 0xE0 && b >= 0xC2 && i + 1 < n && is_cont(s[i + 1])) {
            cp = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
            l = 2;
        } else if (b >= 0xE0 && b < 0xF0 && i + 2 < n && is_cont(s[i + 1]) && is_cont(s[i + 2]) &&
                   (cp = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu)) >= 0x800 &&
                   (cp < 0xD800 || cp > 0xDFFF)) {
            l = 3;
        } else {
            l = decode(s + i, n - i, &cp);
        }
        if (l > 0 && cp < 0x10000 && ((simple[cp >> 6] >> (cp & 63)) & 1) != 0) {
            boundary = i;
            prev_class = 0;
            i += l;
            continue;
        }
        if (l < 0 && !final) {  // a character cut by the end of this piece
            stop = i;
            break;
        }
        if (l <= 0) {  // an invalid byte is copied as it is and combines with nothing
            boundary = i + 1;
            prev_class = 0;
            ++i;
            continue;
        }
        if (cp < min_lookup) {
            boundary = i;
            prev_class = 0;
            i += l;
            continue;
        }
        const QLTP_unicode_record& r = record_of(cp);
        if ((r.normalization_quick_check & mask) == 0 && (r.combining == 0 || r.combining >= prev_class)) {
            if (r.combining == 0) boundary = i;
            prev_class = r.combining;
            i += l;
            continue;
        }
        // A segment runs from the last starter that passed up to the next one.
        int seg_begin = boundary;
        int j = i + l;
        bool cut = false;
        while (j < n) {
            uint32_t c2 = s[j];
            int l2 = 1;
            if (c2 >= 0x80) {
                l2 = decode(s + j, n - j, &c2);
                if (l2 < 0 && !final) {
                    cut = true;
                    break;
                }
                if (l2 <= 0) break;
            }
            if (c2 < min_lookup) break;
            const QLTP_unicode_record& r2 = record_of(c2);
            if (r2.combining == 0 && (r2.normalization_quick_check & mask) == 0) break;
            j += l2;
        }
        if (!final && (j >= n || cut)) {
            boundary = seg_begin;
            stop = j;
            break;
        }
        if (seg_begin > copied) QLTP_dystr_append(output, input + copied, seg_begin - copied);
        normalise_segment(s + seg_begin, j - seg_begin, compat != 0, buf, text);
        QLTP_dystr_append(output, text.data(), static_cast<int>(text.size()));
        copied = j;
        boundary = j;
        prev_class = 0;
        i = j;
    }
    int end = n;
    if (!final) {
        // The last starter may still combine with text that follows.
        end = std::min(boundary, stop);
        if (end < copied) end = copied;
    }
    if (end > copied) QLTP_dystr_append(output, input + copied, end - copied);
    *len = end;
    return QLTP_dystr_sz(output);
}

}  // namespace

const QLTP_unicode_record* QLTP_unicode_getrecord(uint32_t cp) {
    if (cp > 0x10FFFF) return nullptr;
    return &record_of(cp);
}

int QLTP_utf8_normalise_composed(const char* input, dystr* output, int* len, int compat, int final) {
    try {
        return normalise(input, output, len, compat, final);
    } catch (const std::bad_alloc&) {
        if (len != nullptr) *len = 0;
        return 0;
    }
}

int QLTP_utf8_normalise_decomposed(const char* input, dystr* output, int* len, int compat, int final) {
    return QLTP_utf8_normalise_composed(input, output, len, compat, final);
}
