#include "foundation/strutil.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <system_error>

namespace {

bool in_set(const char* set, char ch) {
  return ch != '\0' && std::strchr(set, ch) != nullptr;
}

// Counts the leading bytes of s (at most max, stopping at a NUL) for which
// keep(byte) holds.
template <class Pred>
int count_run(const char* s, int max, Pred keep) {
  if (s == nullptr || max < 1) return 0;
  int i = 0;
  while (i < max && s[i] != '\0' && keep(s[i])) ++i;
  return i;
}

// As count_run, but exactly -1 lifts the bound.
template <class Pred>
int count_run_unbounded(const char* s, int max, Pred keep) {
  if (max == -1) max = std::numeric_limits<int>::max();
  return count_run(s, max, keep);
}

// A read cursor over a (pointer, length) string; a negative length reads up
// to the NUL. peek() gives 0 at the end, which no reader accepts as input.
struct Cursor {
  const char* p;
  const char* end;  // nullptr: unbounded, stop at the NUL
  bool at_end() const { return end ? p >= end : *p == '\0'; }
  char peek() const { return at_end() ? '\0' : *p; }
};

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// Leading whitespace skipping and sign of the integer readers. Returns false
// when the text gives 0 before any digit is read.
bool read_prefix(const char* s, int len, Cursor& c, bool& negative) {
  if (s == nullptr || len == 0) return false;
  c = Cursor{s, len > 0 ? s + len : nullptr};
  if (len > 0) {
    while (!c.at_end() && QLTP_is_whitespace(*c.p)) ++c.p;
    if (c.at_end()) return false;
  }
  negative = false;
  if (c.peek() == '-') {
    negative = true;
    ++c.p;
    if (c.peek() == '+') ++c.p;
  } else if (c.peek() == '+') {
    ++c.p;
  }
  return true;
}

// Integer readers accumulate in unsigned arithmetic, so overflow wraps
// instead of being undefined.
template <class U>
U read_unsigned(Cursor& c, char sep) {
  U value = 0;
  for (;;) {
    char ch = c.peek();
    if (is_digit(ch)) {
      value = static_cast<U>(value * 10u + static_cast<U>(ch - '0'));
    } else if (sep == '\0' || ch != sep) {
      break;
    }
    ++c.p;
  }
  return value;
}

template <class S>
S read_integer(const char* s, int len, char sep) {
  using U = std::make_unsigned_t<S>;
  Cursor c{};
  bool negative = false;
  if (!read_prefix(s, len, c, negative)) return 0;
  if (!is_digit(c.peek())) return 0;
  U value = read_unsigned<U>(c, sep);
  if (negative) value = static_cast<U>(0u - value);
  return static_cast<S>(value);
}

// Reads a fixed-point number scaled by 10^ndec into a 64-bit magnitude,
// clamped at cap (no clamp when cap is 0). Returns false when no digit was
// read.
bool read_fixed_point(Cursor& c, int ndec, uint64_t cap, uint64_t& value) {
  if (ndec < 0) ndec = 0;
  constexpr uint64_t kHuge = uint64_t{1} << 62;
  const uint64_t limit = cap ? cap + 1 : kHuge;
  value = 0;
  bool any_digit = false;
  bool seen_point = false;
  int fraction = 0;
  auto push = [&](int digit) {
    if (value < limit) value = value * 10 + static_cast<uint64_t>(digit);
  };
  for (;;) {
    char ch = c.peek();
    if (is_digit(ch)) {
      if (seen_point && fraction >= ndec) break;
      push(ch - '0');
      any_digit = true;
      if (seen_point) ++fraction;
    } else if (ch == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
    ++c.p;
  }
  for (; fraction < ndec && value != 0 && value < limit; ++fraction) value *= 10;
  if (cap && value > cap) value = cap;
  if (!cap) value &= 0xFFFFFFFFu;  // wraps as a 32-bit value
  return any_digit;
}

// Writes "TO_SHORT" when it fits, else as much of an empty string as fits.
int too_short(char* buf, int buflen) {
  static constexpr char kText[] = "TO_SHORT";
  if (buf != nullptr && buflen >= static_cast<int>(sizeof kText)) {
    std::memcpy(buf, kText, sizeof kText);
  } else if (buf != nullptr && buflen > 0) {
    buf[0] = '\0';
  }
  return 0;
}

template <class S>
int write_integer(S v, char* buf, int buflen) {
  if (buf == nullptr || buflen < 31) return too_short(buf, buflen);
  char text[32];
  auto res = std::to_chars(text, text + sizeof text - 1, v);
  *res.ptr = '\0';
  // Bounded copy into the first 30 bytes, padded with NULs.
  std::memset(buf, 0, 31);
  std::memcpy(buf, text, static_cast<size_t>(res.ptr - text));
  return 1;
}

}  // namespace

// ---- allocation -----------------------------------------------------------

void* QLTP_malloc(size_t size) {
  // A zero-byte request still yields a distinct block so that NULL always
  // means failure.
  return std::calloc(size ? size : 1, 1);
}

void* QLTP_calloc(size_t size, size_t count) {
  if (size != 0 && count > std::numeric_limits<size_t>::max() / size) return nullptr;
  return QLTP_malloc(size * count);
}

void QLTP_free(void* p) { std::free(p); }

void QLTP_free_fixed(void*) {}

void* QLTP_memcpy(void* dst, const void* src, size_t n) {
  return n ? std::memcpy(dst, src, n) : dst;
}

void* QLTP_memmove(void* dst, const void* src, size_t n) {
  return n ? std::memmove(dst, src, n) : dst;
}

void* QLTP_memset(void* dst, int ch, size_t n) {
  return n ? std::memset(dst, ch, n) : dst;
}

// ---- membership -----------------------------------------------------------

int QLTP_is_whitespace(char ch) { return in_set(QLTP_WSPACE, ch) ? 1 : 0; }
int QLTP_is_newline(char ch) { return in_set(QLTP_NEWLINE, ch) ? 1 : 0; }
int QLTP_is_eol(char ch) { return in_set(QLTP_EOL, ch) ? 1 : 0; }
int QLTP_is_quote(char ch) { return in_set(QLTP_QUOTE, ch) ? 1 : 0; }
int QLTP_is_matching_quote(char ch) { return in_set(QLTP_QUOTE, ch) ? ch : 0; }
int QLTP_is_digit(char ch) { return is_digit(ch) ? 1 : 0; }

// ---- scanners -------------------------------------------------------------

int QLTP_strnlen(const char* s, int max) {
  if (max < 0) max = std::numeric_limits<int>::max();
  if (s == nullptr || max < 1) return 0;
  return static_cast<int>(::strnlen(s, static_cast<size_t>(max)));
}

int QLTP_strlen_int(const char* s) {
  if (s == nullptr) return 0;
  size_t n = std::strlen(s);
  return n > static_cast<size_t>(std::numeric_limits<int>::max()) ? -1 : static_cast<int>(n);
}

int QLTP_strlen_ws(const char* s, int max) {
  return count_run(s, max, [](char c) { return QLTP_is_whitespace(c); });
}

int QLTP_strlen_nws(const char* s, int max) {
  return count_run(s, max, [](char c) { return !QLTP_is_whitespace(c); });
}

int QLTP_strlen_newline(const char* s, int max) {
  return count_run(s, max, [](char c) { return !QLTP_is_newline(c); });
}

int QLTP_strlen_eol(const char* s, int max) {
  if (s != nullptr && max == -1) {
    // Unbounded scans read whole texts line by line: the C library's scan
    // is much faster than a byte loop.
    size_t n = std::strcspn(s, QLTP_EOL);
    return static_cast<int>(std::min<size_t>(n, std::numeric_limits<int>::max()));
  }
  return count_run_unbounded(s, max, [](char c) { return !QLTP_is_eol(c); });
}

int QLTP_strlen_quote(const char* s, int max) {
  return count_run_unbounded(s, max, [](char c) { return !QLTP_is_quote(c); });
}

int QLTP_strlen_char(const char* s, int max, char ch) {
  return count_run_unbounded(s, max, [ch](char c) { return c != ch; });
}

int QLTP_strlen_equals(const char* s, int max) {
  return count_run(s, max, [](char c) { return c != '='; });
}

int QLTP_strlen_colon(const char* s, int max) {
  return count_run(s, max, [](char c) { return c != ':'; });
}

int QLTP_strlen_comma(const char* s, int max) {
  return count_run(s, max, [](char c) { return c != ','; });
}

int QLTP_strlen_digit(const char* s, int max) {
  return count_run(s, max, [](char c) { return !is_digit(c); });
}

int QLTP_strlen_nondigit(const char* s, int max) {
  return count_run(s, max, [](char c) { return c >= '1' && c <= '8'; });
}

// ---- searches and copies --------------------------------------------------

char* QLTP_strnchr(const char* s, int len, char ch) {
  if (s == nullptr || len < 1) return nullptr;
  return static_cast<char*>(const_cast<void*>(std::memchr(s, ch, static_cast<size_t>(len))));
}

char* QLTP_strnstr(const char* h, int hlen, const char* needle, int nlen) {
  if (needle == nullptr) return const_cast<char*>(h);
  if (nlen < 0 && (nlen = QLTP_strlen_int(needle)) < 0) return nullptr;
  if (nlen == 0 || needle[0] == '\0') return const_cast<char*>(h);
  const int64_t last = int64_t{hlen} - nlen;
  if (h == nullptr || last < 0) return nullptr;
  for (int64_t i = 0; i <= last; ++i) {
    // Bounded comparison that stops at a NUL, as strncmp does.
    int k = 0;
    while (k < nlen && h[i + k] == needle[k] && needle[k] != '\0') ++k;
    if (k == nlen || (h[i + k] == needle[k] && needle[k] == '\0')) return const_cast<char*>(h + i);
  }
  return nullptr;
}

namespace {

// Copies the first n bytes of s into dst and terminates it.
int copy_prefix(char* dst, const char* s, int n) {
  if (n > 0) std::memcpy(dst, s, static_cast<size_t>(n));
  dst[n] = '\0';
  return n;
}

}  // namespace

int QLTP_strcpy_ws(char* dst, const char* s, int max) {
  if (dst == nullptr) return 0;
  return copy_prefix(dst, s, QLTP_strlen_nws(s, max));
}

int QLTP_strcpy_newline(char* dst, const char* s, int max) {
  if (dst == nullptr) return 0;
  return copy_prefix(dst, s, QLTP_strlen_newline(s, max));
}

char* QLTP_strndup(const char* s, int len) {
  if (s == nullptr) return nullptr;
  int n = QLTP_strnlen(s, len);
  auto* copy = static_cast<char*>(QLTP_malloc(static_cast<size_t>(n) + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, s, static_cast<size_t>(n));
  copy[n] = '\0';
  return copy;
}

int QLTP_charcount(const char* s, int len, char ch) {
  if (s == nullptr) return 0;
  if (len < 0) len = std::numeric_limits<int>::max();
  int count = 0;
  for (int i = 0; i < len && s[i] != '\0'; ++i) count += s[i] == ch;
  return count;
}

void QLTP_asciilower(char* s) {
  if (s == nullptr) return;
  for (; *s; ++s)
    if (*s >= 'A' && *s <= 'Z') *s = static_cast<char>(*s + ('a' - 'A'));
}

void QLTP_asciiupper(char* s) {
  if (s == nullptr) return;
  for (; *s; ++s)
    if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s - ('a' - 'A'));
}

void QLTP_asciireplace(char* s, char from, char to) {
  if (s == nullptr) return;
  for (; *s; ++s)
    if (*s == from) *s = to;
}

// ---- case-blind equality --------------------------------------------------

int QLTP_strcmp_nocase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return 0;
  for (;; ++a, ++b) {
    if (*a == '\0' || *b == '\0') return *a == *b ? 1 : 0;
    int x = static_cast<int8_t>(*a);
    int y = static_cast<int8_t>(*b);
    if (x != y && x + 32 != y && y + 32 != x) return 0;
  }
}

// ---- whitespace fields ----------------------------------------------------

char* QLTP_strfield_next(const char* s, int len, const char* p, int* flen) {
  if (flen) *flen = 0;
  if (s == nullptr || p == nullptr || len < 1 || p < s || p >= s + len) return nullptr;
  const char* end = s + len;
  while (p < end && QLTP_is_whitespace(*p)) ++p;
  if (p >= end) return nullptr;
  if (*p == '\0') return const_cast<char*>(p);
  int n = QLTP_strlen_nws(p, static_cast<int>(end - p));
  if (flen) *flen = n;
  return const_cast<char*>(p);
}

char* QLTP_strfield(const char* s, int len, int n, int* flen) {
  if (flen) *flen = 0;
  if (s == nullptr || n < 0) return nullptr;
  int fl = 0;
  const char* p = s;
  for (int i = 0;; ++i) {
    p = QLTP_strfield_next(s, len, p, &fl);
    if (p == nullptr || fl == 0) return nullptr;
    if (i == n) break;
    p += fl;
  }
  if (flen) *flen = fl;
  return const_cast<char*>(p);
}

int QLTP_strfield_len(const char* s, int len) {
  if (s == nullptr || len < 1) return 0;
  int count = 0;
  int fl = 0;
  for (const char* p = s; (p = QLTP_strfield_next(s, len, p, &fl)) != nullptr && fl > 0; p += fl)
    ++count;
  return count;
}

int QLTP_no_strings(const char* s, int len) {
  if (s == nullptr) return 0;
  if (len < 0) len = QLTP_strnlen(s, -1);
  return QLTP_strfield_len(s, len);
}

int QLTP_strfield_floats(const char* s, int len, int n, float* values) {
  if (s == nullptr || values == nullptr || n < 1) return 0;
  if (len < 0) len = QLTP_strnlen(s, -1);
  int stored = 0;
  int fl = 0;
  for (const char* p = s; stored < n && (p = QLTP_strfield_next(s, len, p, &fl)) != nullptr && fl > 0;
       p += fl)
    values[stored++] = QLTP_atof(p, fl);
  return stored;
}

// ---- number readers -------------------------------------------------------

int32_t QLTP_atoi(const char* s, int len) { return read_integer<int32_t>(s, len, '\0'); }
int64_t QLTP_atol(const char* s, int len) { return read_integer<int64_t>(s, len, '\0'); }
int32_t QLTP_atoisep(const char* s, int len, char sep) { return read_integer<int32_t>(s, len, sep); }
int64_t QLTP_atolsep(const char* s, int len, char sep) { return read_integer<int64_t>(s, len, sep); }

int32_t QLTP_atoifp(const char* s, int len, int ndec) {
  Cursor c{};
  bool negative = false;
  if (!read_prefix(s, len, c, negative)) return 0;
  if (!is_digit(c.peek()) && c.peek() != '.') return 0;
  uint64_t value = 0;
  read_fixed_point(c, ndec, 999999999, value);
  auto v = static_cast<int32_t>(value);
  return negative ? -v : v;
}

char* QLTP_unpack_noseq(const char* s, int len, int ndec, int32_t* value, int* empty) {
  if (value) *value = 0;
  if (empty) *empty = 1;
  if (s == nullptr) return nullptr;
  if (len < 0) len = QLTP_strnlen(s, -1);
  const char* end = s + len;
  Cursor c{s, end};
  while (!c.at_end() && QLTP_is_whitespace(*c.p)) ++c.p;
  bool negative = false;
  if (c.peek() == '-') {
    negative = true;
    ++c.p;
    if (c.peek() == '+') ++c.p;
  } else if (c.peek() == '+') {
    ++c.p;
  }
  uint64_t magnitude = 0;
  bool any = read_fixed_point(c, ndec, 0, magnitude);
  auto v = static_cast<uint32_t>(magnitude);
  if (negative) v = 0u - v;
  if (value) *value = static_cast<int32_t>(v);
  if (empty) *empty = any ? 0 : 1;
  // Skip the rest of the field and the whitespace after it.
  while (!c.at_end() && !QLTP_is_whitespace(*c.p)) ++c.p;
  while (!c.at_end() && QLTP_is_whitespace(*c.p)) ++c.p;
  return const_cast<char*>(c.p);
}

float QLTP_atof(const char* s, int len) {
  if (s == nullptr || len < 1) return 0.0f;
  const char* end = s + len;
  const char* p = s;
  while (p < end && QLTP_is_whitespace(*p)) ++p;
  if (p >= end || *p == '\0') return 0.0f;
  const char* field_end = p;
  while (field_end < end && *field_end != '\0' && !QLTP_is_whitespace(*field_end)) ++field_end;

  // The field is evaluated from its last byte backwards: digits build the
  // current part, '.' shifts the exponent by the digits read so far, 'e'
  // turns the current part into the exponent, '-' negates the current part
  // and other bytes are ignored. Digits are kept as text (least significant
  // first) so that any number of them converts exactly.
  std::string digits;
  bool negative = false;
  constexpr int64_t kExpLimit = int64_t{1} << 40;
  int64_t exponent = 0;
  int64_t counted = 0;
  for (const char* q = field_end; q-- > p;) {
    char ch = *q;
    if (is_digit(ch)) {
      digits.push_back(ch);
      ++counted;
    } else if (ch == '.') {
      exponent -= counted;
    } else if (ch == 'e' || ch == 'E') {
      int64_t e = 0;
      for (auto it = digits.rbegin(); it != digits.rend() && e < kExpLimit; ++it) e = e * 10 + (*it - '0');
      exponent = negative ? -e : e;
      digits.clear();
      negative = false;
      counted = 0;
    } else if (ch == '-') {
      negative = true;
    }
  }
  // Most significant digit first, without leading zeros.
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  if (digits.empty()) return negative ? -0.0f : 0.0f;
  std::string text(digits.rbegin(), digits.rend());
  int64_t magnitude = exponent + static_cast<int64_t>(text.size());  // value < 10^magnitude
  float result = 0.0f;
  if (magnitude > 60) {
    result = std::numeric_limits<float>::infinity();
  } else if (magnitude < -60) {
    result = 0.0f;
  } else {
    text += 'e';
    text += std::to_string(exponent);
    auto res = std::from_chars(text.data(), text.data() + text.size(), result);
    if (res.ec == std::errc::result_out_of_range)
      result = magnitude > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
  }
  return negative ? -result : result;
}

// ---- number writers -------------------------------------------------------

int QLTP_itoa(int32_t v, char* buf, int buflen) { return write_integer(v, buf, buflen); }
int QLTP_ltoa(int64_t v, char* buf, int buflen) { return write_integer(v, buf, buflen); }

int QLTP_ftoa(float v, char* buf, int buflen, int ndig, char fmt) {
  if (buf == nullptr || buflen < 30) return too_short(buf, buflen);
  if (ndig <= 0) ndig = 6;
  if (ndig > 22) ndig = 22;
  if (std::isnan(v)) {
    std::memcpy(buf, "nan", 4);
    return 1;
  }
  if (std::isinf(v)) {
    std::memcpy(buf, v < 0 ? "-inf" : "inf", v < 0 ? 5 : 4);
    return 1;
  }
  if (v == 0.0f) v = 0.0f;  // no "-0"
  // Fixed: ndig decimals; scientific: ndig decimals after the first digit.
  // Both correctly rounded, whatever the process locale.
  const bool fixed = fmt == 'f' || fmt == 'F';
  char text[128];
  auto res = std::to_chars(text, text + sizeof text, v,
                           fixed ? std::chars_format::fixed : std::chars_format::scientific, ndig);
  if (res.ec != std::errc()) return too_short(buf, buflen);
  char* out_end = res.ptr;
  if (!fixed) {
    // "1.23e+03" becomes "1.23E3"; a zero exponent is left out.
    char* e = static_cast<char*>(std::memchr(text, 'e', static_cast<size_t>(res.ptr - text)));
    if (e != nullptr) {
      int exp10 = 0;
      const char* digits = e + 1;
      bool neg = *digits == '-';
      if (*digits == '+' || *digits == '-') ++digits;
      std::from_chars(digits, res.ptr, exp10);
      out_end = e;
      if (exp10 != 0) {
        *out_end++ = 'E';
        if (neg) *out_end++ = '-';
        out_end = std::to_chars(out_end, text + sizeof text, exp10).ptr;
      }
    }
  }
  size_t n = static_cast<size_t>(out_end - text);
  if (n + 1 > static_cast<size_t>(buflen)) return too_short(buf, buflen);
  std::memcpy(buf, text, n);
  buf[n] = '\0';
  return 1;
}
