#include "foundation/utf8.h"

#include <climits>
#include <cstring>

const unsigned char trailingBytesForUTF8[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};

namespace {

unsigned char byte_at(const char* s, int i) { return static_cast<unsigned char>(s[i]); }

bool is_continuation(unsigned char b) { return b >= 0x80 && b <= 0xBF; }

// Bytes of the character starting at s: the lead byte and the continuation
// bytes that follow it, at most `most` in all. A NUL or any other byte ends a
// truncated sequence early.
int char_len(const char* s, int most) {
  int t = trailingBytesForUTF8[byte_at(s, 0)];
  int n = 1;
  while (n <= t && n < most && is_continuation(byte_at(s, n))) ++n;
  return n;
}

// One character as the counting functions see it: a byte and at most three
// continuation bytes after it; nothing after a NUL is looked at.
int step(const char* s) {
  if (s[0] == '\0') return 1;
  int n = 1;
  while (n < 4 && is_continuation(byte_at(s, n))) ++n;
  return n;
}

}  // namespace

int QLTP_u8_seqlen(const char* s) {
  if (s == nullptr) return 0;
  return 1 + trailingBytesForUTF8[byte_at(s, 0)];
}

void QLTP_u8_inc(const char* s, int* i) {
  if (s == nullptr || i == nullptr) return;
  // The byte at *i is the lead, whatever it is; a NUL is stepped over like
  // any other byte so that callers bounded by a length always progress.
  *i += step(s + *i);
}

void QLTP_u8_dec(const char* s, int* i, int len) {
  if (i == nullptr) return;
  if (s == nullptr || *i < 1 || *i > len) {
    --*i;
    return;
  }
  int start = *i;
  --*i;
  while (*i > 0 && start - *i < 4 && is_continuation(byte_at(s, *i))) --*i;
}

int QLTP_u8_strlen(const char* s) {
  if (s == nullptr) return 0;
  static const char kHighBytes[] = {
      '\x80', '\x81', '\x82', '\x83', '\x84', '\x85', '\x86', '\x87', '\x88', '\x89', '\x8A', '\x8B', '\x8C',
      '\x8D', '\x8E', '\x8F', '\x90', '\x91', '\x92', '\x93', '\x94', '\x95', '\x96', '\x97', '\x98', '\x99',
      '\x9A', '\x9B', '\x9C', '\x9D', '\x9E', '\x9F', '\xA0', '\xA1', '\xA2', '\xA3', '\xA4', '\xA5', '\xA6',
      '\xA7', '\xA8', '\xA9', '\xAA', '\xAB', '\xAC', '\xAD', '\xAE', '\xAF', '\xB0', '\xB1', '\xB2', '\xB3',
      '\xB4', '\xB5', '\xB6', '\xB7', '\xB8', '\xB9', '\xBA', '\xBB', '\xBC', '\xBD', '\xBE', '\xBF', '\xC0',
      '\xC1', '\xC2', '\xC3', '\xC4', '\xC5', '\xC6', '\xC7', '\xC8', '\xC9', '\xCA', '\xCB', '\xCC', '\xCD',
      '\xCE', '\xCF', '\xD0', '\xD1', '\xD2', '\xD3', '\xD4', '\xD5', '\xD6', '\xD7', '\xD8', '\xD9', '\xDA',
      '\xDB', '\xDC', '\xDD', '\xDE', '\xDF', '\xE0', '\xE1', '\xE2', '\xE3', '\xE4', '\xE5', '\xE6', '\xE7',
      '\xE8', '\xE9', '\xEA', '\xEB', '\xEC', '\xED', '\xEE', '\xEF', '\xF0', '\xF1', '\xF2', '\xF3', '\xF4',
      '\xF5', '\xF6', '\xF7', '\xF8', '\xF9', '\xFA', '\xFB', '\xFC', '\xFD', '\xFE', '\xFF', '\0'};
  int64_t count = 0;
  for (;;) {
    // ASCII runs are counted by the library's scan, all but their last
    // byte: that one may take continuation bytes with it.
    size_t run = std::strcspn(s, kHighBytes);
    if (run > 1) {
      count += static_cast<int64_t>(run - 1);
      s += run - 1;
    }
    if (*s == '\0') break;
    s += step(s);
    ++count;
  }
  return count > INT_MAX ? 0 : static_cast<int>(count);
}

char* QLTP_u8_at(const char* s, int n) {
  if (s == nullptr) return nullptr;
  for (int k = 0; k < n && *s; ++k) s += step(s);
  return const_cast<char*>(s);
}

int QLTP_u8_bytelen(const char* s, int n) {
  if (s == nullptr || n < 1) return 0;
  const char* p = s;
  for (int k = 0; k < n; ++k) {
    if (*p == '\0') return 0;
    p += step(p);
  }
  return p - s > INT_MAX ? 0 : static_cast<int>(p - s);
}

int QLTP_check_utf8(const char* s, int len, int* n) {
  int size = -1;
  int result = -1;
  int i = 0;
  while (s != nullptr && len > 0) {
    unsigned char b = byte_at(s, i);
    if (b == 0) {
      size = 1;
      result = i;
      break;
    }
    if (b < 0x80) {
      ++i;
      --len;
      continue;
    }
    if (b <= 0xC1) {
      size = 1;
      result = i;
      break;
    }
    int t = trailingBytesForUTF8[b];
    if (t >= len || b > 0xF4) {
      // The size never reaches past the text, even for a final 0xFF.
      size = b == 0xFF ? (len < 2 ? len : 2) : (t < len ? t : len);
      result = i;
      break;
    }
    unsigned char c = byte_at(s, i + 1);
    if (!is_continuation(c)) {
      size = t;
      result = i;
      break;
    }
    len -= t + 1;
    if ((t == 2 && ((b == 0xE0 && c < 0xA0) || (b == 0xED && c >= 0xA0))) ||
        (t == 3 && ((b == 0xF0 && c < 0x90) || (b == 0xF4 && c >= 0x90)))) {
      size = t;
      result = i;
      break;
    }
    int k = 2;
    while (k <= t && is_continuation(byte_at(s, i + k))) ++k;
    if (k <= t) {
      size = t - k + 1;
      result = i;
      break;
    }
    i += t + 1;
  }
  if (n) *n = size;
  return result;
}

int QLTP_utf82unicode(uint32_t* cp, const char* p) {
  if (cp == nullptr || p == nullptr) return 0;
  unsigned char b = byte_at(p, 0);
  int t;
  uint32_t value;
  if (b < 0x80) {
    *cp = b;
    return 1;
  } else if (b >= 0xC0 && b <= 0xDF) {
    t = 1;
    value = b - 0xC0u;
  } else if (b >= 0xE0 && b <= 0xEF) {
    t = 2;
    value = b - 0xE0u;
  } else if (b >= 0xF0 && b <= 0xF7) {
    t = 3;
    value = b - 0xF0u;
  } else {
    return 0;
  }
  // Each continuation byte is checked before the next is read, so a NUL
  // ends a truncated sequence.
  for (int k = 1; k <= t; ++k) {
    unsigned char c = byte_at(p, k);
    if (!is_continuation(c)) return 0;
    value = value * 64 + (c - 0x80u);
  }
  *cp = value;
  return 1;
}

int QLTP_utf8_sequence(const unsigned char* p, size_t n) {
  if (p == nullptr || n == 0) return 0;
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  int len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (int i = 1; i < len; ++i) {
    if (static_cast<size_t>(i) >= n) return -1;
    const unsigned char c = p[i];
    if (i == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return 0;
  }
  return len;
}

int QLTP_utf8_bad_length(const unsigned char* p, size_t n) {
  const unsigned char b = p[0];
  const int want = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 1;
  if (want == 1) return 1;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b == 0xE0) lo = 0xA0;
  if (b == 0xED) hi = 0x9F;
  if (b == 0xF0) lo = 0x90;
  if (b == 0xF4) hi = 0x8F;
  int k = 1;
  if (static_cast<size_t>(k) < n && p[1] >= lo && p[1] <= hi) {
    ++k;
    while (k < want && static_cast<size_t>(k) < n && (p[k] & 0xC0) == 0x80) ++k;
  }
  return k;
}

void QLTP_utf8_append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp <= 0x10FFFF) {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int QLTP_unicode2utf8(uint32_t cp, char* out) {
  if (out == nullptr) return 0;
  std::memset(out, 0, 5);
  auto put = [out](int k, uint32_t v) { out[k] = static_cast<char>(static_cast<unsigned char>(v)); };
  if (cp < 0x80) {
    put(0, cp);
  } else if (cp < 0x800) {
    put(0, 0xC0 + (cp >> 6));
    put(1, 0x80 + (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0, 0xE0 + (cp >> 12));
    put(1, 0x80 + ((cp >> 6) & 0x3F));
    put(2, 0x80 + (cp & 0x3F));
  } else if (cp <= 0x10FFFF) {
    put(0, 0xF0 + (cp >> 18));
    put(1, 0x80 + ((cp >> 12) & 0x3F));
    put(2, 0x80 + ((cp >> 6) & 0x3F));
    put(3, 0x80 + (cp & 0x3F));
  } else {
    return 0;
  }
  return 1;
}

int QLTP_utf82ISO88591(unsigned char b, char* out) {
  if (out == nullptr) return 0;
  std::memset(out, 0, 3);
  if (b < 0x80) {
    out[0] = static_cast<char>(b);
    return 0;
  }
  out[0] = static_cast<char>(b < 0xC0 ? 0xC2 : 0xC3);
  out[1] = static_cast<char>(b < 0xC0 ? b : b - 0x40);
  return 1;
}

int QLTP_next_utf8_char(const char* p, char* buf) {
  if (p == nullptr || buf == nullptr) return 0;
  int n = char_len(p, 4);
  std::memcpy(buf, p, static_cast<size_t>(n));
  buf[n] = '\0';
  return n;
}

int QLTP_utf8_strncpy(char* dst, const char* src, int limit) {
  if (dst == nullptr || limit < 1) return 0;
  int copied = 0;
  if (src != nullptr) {
    while (src[copied] != '\0') {
      int n = char_len(src + copied, 6);
      if (copied + n > limit) break;
      copied += n;
    }
    std::memcpy(dst, src, static_cast<size_t>(copied));
  }
  if (copied < limit) dst[copied] = '\0';
  return copied;
}

namespace {

// Characters a markup name may start with, and those it may go on with.
bool xml_name_start(uint32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
         (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool xml_name_char(uint32_t c) {
  return xml_name_start(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

int QLTP_xml_name(const char* s, int len) {
  if (s == nullptr) return 0;
  const size_t n = len < 0 ? std::strlen(s) : static_cast<size_t>(len);
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  if (n == 0) return 0;
  for (size_t i = 0; i < n;) {
    const int k = QLTP_utf8_sequence(p + i, n - i);
    if (k <= 0) return 0;
    uint32_t c = p[i];
    if (k > 1) {
      char buf[5] = {};
      std::memcpy(buf, p + i, static_cast<size_t>(k));
      if (!QLTP_utf82unicode(&c, buf)) return 0;
    }
    if (!(i == 0 ? xml_name_start(c) : xml_name_char(c))) return 0;
    i += static_cast<size_t>(k);
  }
  return 1;
}
