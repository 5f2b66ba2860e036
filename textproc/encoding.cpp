#include "textproc/encoding.h"

#include <new>
#include <string>

#include "foundation/utf8.h"

namespace {

// Statistics need this many bytes, of new text alone or of the whole buffer.
constexpr int StatBytes = 256;
// A bad byte this close to the end of a piece may be explained by the next.
constexpr int WaitBytes = 255;


// Size of the bad sequence at s (avail bytes); *cut is set when it is a
// well-formed prefix running to the end of the input (more input may
// complete it).
int bad_size(const unsigned char* s, int avail, bool* cut) {
    const int k = QLTP_utf8_bad_length(s, static_cast<size_t>(avail));
    *cut = k == avail && QLTP_utf8_sequence(s, static_cast<size_t>(avail)) == -1;
    return k;
}

// Decodes UTF-16 from s; returns the bytes consumed.
int decode_utf16(const unsigned char* s, int len, bool big, bool final, std::string& out) {
    auto unit = [&](int i) -> uint32_t {
        return big ? (static_cast<uint32_t>(s[i]) << 8) | s[i + 1] : (static_cast<uint32_t>(s[i + 1]) << 8) | s[i];
    };
    int i = 0;
    while (len - i >= 2) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (len - i < 4) {
                if (!final) break;
                out.push_back('_');
                i += 2;
                continue;
            }
            uint32_t u2 = unit(i + 2);
            if (u2 >= 0xDC00 && u2 <= 0xDFFF) {
                QLTP_utf8_append(out, 0x10000 + ((u - 0xD800) << 10) + (u2 - 0xDC00));
                i += 4;
            } else {
                out.push_back('_');
                i += 2;
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            out.push_back('_');
            i += 2;
        } else {
            if (u != 0) QLTP_utf8_append(out, u);
            i += 2;
        }
    }
    if (final && i < len) {
        // A lone byte ends the stream: plain ASCII survives, anything else
        // is an incomplete unit.
        if (s[i] >= 0x01 && s[i] <= 0x7F) {
            out.push_back(static_cast<char>(s[i]));
        } else if (s[i] != 0) {
            out.push_back('_');
        }
        i = len;
    }
    return i;
}

inline bool is_utf16(int encoding) {
    return encoding == QLTP_ENCODING_UTF16BE || encoding == QLTP_ENCODING_UTF16LE;
}

// Byte-order mark at s, if any: the encoding it names, else -1.
int bom_at(const unsigned char* s, int avail) {
    if (avail < 2) return -1;
    if (s[0] == 0xFF && s[1] == 0xFE) return QLTP_ENCODING_UTF16LE;
    if (s[0] == 0xFE && s[1] == 0xFF) return QLTP_ENCODING_UTF16BE;
    return -1;
}

// Rewrites buf[a, n) as UTF-8 into out; returns the bytes left unconverted
// at the end.
int convert_tail(QLTP_encoding_state* st, const unsigned char* buf, int a, int n, bool iso, bool final,
                 std::string& out) {
    const bool utf16 = is_utf16(st->encoding) && (!iso || st->from_bom);
    if (utf16) {
        int bom = bom_at(buf + a, n - a);
        if (bom >= 0 && !st->from_bom) {
            st->encoding = bom;
            st->from_bom = 1;
            a += 2;
        }
        int used = decode_utf16(buf + a, n - a, st->encoding == QLTP_ENCODING_UTF16BE, final, out);
        return n - a - used;
    }
    int p = a;
    while (p < n) {
        int size = 0;
        int r = QLTP_check_utf8(reinterpret_cast<const char*>(buf + p), n - p, &size);
        if (r < 0) {
            out.append(reinterpret_cast<const char*>(buf + p), static_cast<size_t>(n - p));
            return 0;
        }
        out.append(reinterpret_cast<const char*>(buf + p), static_cast<size_t>(r));
        p += r;
        int bom = bom_at(buf + p, n - p);
        if (bom >= 0) {
            st->encoding = bom;
            st->from_bom = 1;
            p += 2;
            int used = decode_utf16(buf + p, n - p, bom == QLTP_ENCODING_UTF16BE, final, out);
            return n - p - used;
        }
        bool cut = false;
        int bad = bad_size(buf + p, n - p, &cut);
        if (cut && !final) return n - p;
        if (iso || st->encoding == QLTP_ENCODING_ISO88591) {
            // Every byte of ISO-8859-1 is a character of its own; NUL is dropped.
            unsigned char b = buf[p];
            if (b != 0) QLTP_utf8_append(out, b);
            p += 1;
        } else {
            out.push_back('_');
            p += bad;
        }
    }
    return 0;
}

int convert_input(QLTP_encoding_state* st, dystr* input, dystr* conversion, int newlen, int iso, int final) {
    const int n = QLTP_dystr_sz(input);
    const auto* buf = reinterpret_cast<const unsigned char*>(QLTP_dystr_cstr(input));
    if (n <= 0 || buf == nullptr) {
        st->unconverted = 0;
        return 0;
    }
    const int fresh = newlen < 0 ? 0 : newlen > n ? n : newlen;
    int unconverted = st->unconverted < 0 ? 0 : st->unconverted;
    if (unconverted > n - fresh) unconverted = n - fresh;
    const int a = n - fresh - unconverted;  // everything before a is valid UTF-8

    // Statistics: the new text when there is enough of it and of context,
    // else the whole buffer when that is long enough.
    int from = -1;
    if (n - fresh >= StatBytes && fresh >= StatBytes) {
        from = n - fresh;
    } else if (n >= StatBytes) {
        from = 0;
    }
    // A UTF-16 stream is judged by its own bytes only: converted text among
    // them would make a short piece look like ISO-8859-1.
    if (is_utf16(st->encoding) && (st->from_bom || from < a)) from = -1;
    if (from >= 0) {
        int guess = QLTP_encoding_guess(reinterpret_cast<const char*>(buf + from), n - from, st->encoding);
        if (guess == QLTP_ENCODING_UTF16BE) {
            if (!is_utf16(st->encoding))
                st->encoding = QLTP_encoding_utf16_order(reinterpret_cast<const char*>(buf + a), n - a);
        } else {
            st->encoding = guess;
        }
    }
    if (a >= n) {
        st->unconverted = 0;
        return 0;
    }

    // Where the first bad byte lies decides whether to wait for more input.
    const bool utf16 = is_utf16(st->encoding) && (!iso || st->from_bom);
    int start = a;
    if (!utf16) {
        int size = 0;
        int r = QLTP_check_utf8(reinterpret_cast<const char*>(buf + a), n - a, &size);
        if (r < 0) {
            st->unconverted = 0;
            return 0;
        }
        if (!final && n - (a + r) <= WaitBytes) {
            st->unconverted = n - a;
            return 0;
        }
        start = a + r;
    }
    std::string out;
    out.reserve(static_cast<size_t>(n - start) + 16);
    st->unconverted = convert_tail(st, buf, start, n, iso != 0, final != 0, out);
    // The unconverted bytes move behind the converted text.
    if (st->unconverted > 0) out.append(reinterpret_cast<const char*>(buf + n - st->unconverted),
                                        static_cast<size_t>(st->unconverted));
    if (conversion != nullptr) {
        QLTP_dystr_clear(conversion);
        if (!QLTP_dystr_append(conversion, out.data(), static_cast<int>(out.size()))) return 0;
    }
    if (!QLTP_dystr_truncate(input, start)) return 0;
    if (!QLTP_dystr_append(input, out.data(), static_cast<int>(out.size()))) return 0;
    return 1;
}

}  // namespace

void QLTP_encoding_reset(QLTP_encoding_state* state) {
    if (state == nullptr) return;
    state->encoding = QLTP_ENCODING_UTF8;
    state->unconverted = 0;
    state->from_bom = 0;
}

int QLTP_encoding_guess(const char* s, int m, int encoding) {
    if (s == nullptr || m <= 0) return encoding;
    int zeros = 0;
    for (int i = 0; i < m; ++i) zeros += s[i] == 0;
    if (zeros > m / 20) return QLTP_ENCODING_UTF16BE;
    int bad = 0;
    int off = 0;
    while (off < m) {
        int size = 0;
        int r = QLTP_check_utf8(s + off, m - off, &size);
        if (r < 0) break;
        ++bad;
        off += r + (size > 0 ? size : 1);
    }
    if (bad > (m >> 3)) return QLTP_ENCODING_UTF16BE;
    if (bad > m / 20) return encoding;
    return bad > 0 ? QLTP_ENCODING_ISO88591 : QLTP_ENCODING_UTF8;
}

int QLTP_encoding_utf16_order(const char* s, int len) {
    int even = 0, odd = 0;
    for (int i = 0; i < len; ++i) {
        if (s[i] == 0) {
            if (i % 2 == 0) {
                ++even;
            } else {
                ++odd;
            }
        }
    }
    // ASCII and Latin text has its zero bytes in the high half of each unit.
    return odd > even ? QLTP_ENCODING_UTF16LE : QLTP_ENCODING_UTF16BE;
}

int QLTP_utf16_to_utf8(const char* s, int len, int bigendian, int final, dystr* out) {
    if (s == nullptr || out == nullptr || len <= 0) return 0;
    try {
        std::string text;
        int used = decode_utf16(reinterpret_cast<const unsigned char*>(s), len, bigendian != 0, final != 0, text);
        if (!QLTP_dystr_append(out, text.data(), static_cast<int>(text.size()))) return 0;
        return used;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int QLTP_tokenise_convert_input(QLTP_encoding_state* state, dystr* input, dystr* conversion, int newlen,
                                int iso, int final) {
    if (state == nullptr || input == nullptr) return 0;
    try {
        return convert_input(state, input, conversion, newlen, iso, final);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
