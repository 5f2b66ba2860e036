// The expansion-rule table and the rules that are not number rules:
// spelling, digits, Roman numerals, mixed tokens, Lithuanian endings and
// Italian accented vowels.
#include "textproc/hrules.h"

#include <cstring>
#include <string>
#include <string_view>

#include "foundation/dystrarray.h"
#include "foundation/strutil.h"
#include "foundation/utf8.h"
#include "textproc/nrules.h"
#include "textproc/rinterp.h"

const char* const QLTP_HRULE_NAMES[QLTP_HRULE_COUNT + 1] = {
    "number",     "aschars",    "asdigits",   "none",       "number_pt", "roman",
    "filter",     "numbers_ru", "numbers_pl", "numbers_zh", "numbers_gd", "numbers_ga",
    "numbers_lt", "numbers_lt_with_ending",   "numbers_ro", "extdchars_it", ""};

const QLTP_hrule_fn QLTP_HRULES[QLTP_HRULE_COUNT] = {
    QLTP_hrule_numbers,    QLTP_hrule_aschars,    QLTP_hrule_asdigits,   QLTP_hrule_none,
    QLTP_hrule_numbers_pt, QLTP_hrule_roman,      QLTP_hrule_filter,     QLTP_hrule_numbers_ru,
    QLTP_hrule_numbers_pl, QLTP_hrule_numbers_zh, QLTP_hrule_numbers_gd, QLTP_hrule_numbers_ga,
    QLTP_hrule_numbers_lt, QLTP_hrule_numbers_lt_with_ending, QLTP_hrule_numbers_ro, QLTP_hrule_extdchars_it};

int QLTP_hrule_find(const char* name, int len) {
  if (!name) return -1;
  size_t n = len < 0 ? std::strlen(name) : static_cast<size_t>(len);
  for (int i = 0; QLTP_HRULE_NAMES[i][0]; ++i)
    if (std::strlen(QLTP_HRULE_NAMES[i]) >= n && std::memcmp(QLTP_HRULE_NAMES[i], name, n) == 0) return i;
  return -1;
}

namespace {

// Runs are cut to this many bytes, on a character boundary.
constexpr size_t kMaxRun = 255;

const char* find_attr(const dystrarray* attrs, const char* name) {
  int n = QLTP_dystrarray_sz(attrs);
  for (int i = 0; i + 1 < n; i += 2)
    if (std::strcmp(QLTP_dystrarray_idx(attrs, i), name) == 0) return QLTP_dystrarray_idx(attrs, i + 1);
  return nullptr;
}

// The component attribute, else the parameter, else the default.
std::string setting(const dystrarray* attrs, const str2str* params, const char* name, const char* fallback) {
  if (const char* v = find_attr(attrs, name); v && *v) return v;
  if (const char* v = params ? QLTP_str2str_lookup(params, name, -1) : nullptr; v && *v) return v;
  return fallback;
}

std::string_view lkp(const rinterp* interp, std::string_view table, std::string_view key) {
  return QLTP_nrules_lkp(interp->rules, table.data(), static_cast<int>(table.size()), key.data(),
                         static_cast<int>(key.size()));
}

void add_one(dystrarray* out, std::string_view w) { QLTP_dystrarray_add(out, w.data(), static_cast<int>(w.size())); }
void add_split(dystrarray* out, std::string_view w) {
  QLTP_dystrarray_add_delim(out, w.data(), static_cast<int>(w.size()), ' ');
}

size_t char_len(std::string_view s, size_t i) {
  size_t n = 1;
  while (i + n < s.size() && QLTP_u8_is_cont(static_cast<unsigned char>(s[i + n]))) ++n;
  return n;
}

// At most max bytes of s, ending on a character boundary.
std::string cut(std::string_view s, size_t max) {
  if (s.size() <= max) return std::string(s);
  size_t n = max;
  while (n > 0 && QLTP_u8_is_cont(static_cast<unsigned char>(s[n]))) --n;
  return std::string(s.substr(0, n));
}

bool usable(const rinterp* interp, const char* text, const dystrarray* out) {
  return interp && interp->rules && text && out;
}

int roman_value(char c) {
  switch (c) {
    case 'I': case 'i': return 1;
    case 'V': case 'v': return 5;
    case 'X': case 'x': return 10;
    case 'L': case 'l': return 50;
    case 'C': case 'c': return 100;
    case 'D': case 'd': return 500;
    case 'M': case 'm': return 1000;
    default: return 0;
  }
}

// The value of a Roman numeral, or -1 when it is not one this rule reads.
int64_t roman(std::string_view text) {
  std::string v;
  int64_t total = 0;
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    int cur = roman_value(text[i]);
    if (!cur) return -1;
    int next = i + 1 < n ? roman_value(text[i + 1]) : 0;
    if (i + 1 < n && !next) return -1;
    if (next > cur) {
      bool repeats = i > 0 && roman_value(text[i - 1]) == cur;
      bool too_small = total > 0 && total < next;
      bool after = i + 2 < n && roman_value(text[i + 2]) >= cur;
      if (repeats || too_small || after) return -1;
      total += next - cur;
      i += 2;
    } else {
      total += cur;
      ++i;
    }
  }
  return total;
}

}  // namespace

int QLTP_hrule_none(rinterp*, const char* text, dystrarray* out, dystrarray*, str2str*) {
  if (!text || !out) return 0;
  add_one(out, text);
  return 1;
}

int QLTP_hrule_aschars(rinterp* interp, const char* text, dystrarray* out, dystrarray*, str2str*) {
  if (!usable(interp, text, out)) return 0;
  static const char* const kTables[] = {"downcase", "symbols", "currency", "digitlkp"};
  std::string_view s(text);
  // The run is measured once where it starts; further in, it is what is
  // left of it, so a long line of one character costs linear time.
  size_t left = 0;
  for (size_t i = 0; i < s.size();) {
    size_t clen = char_len(s, i);
    std::string_view ch = s.substr(i, clen);
    if (left == 0) {
      left = 1;
      while (i + (left + 1) * clen <= s.size() && s.substr(i + left * clen, clen) == ch) ++left;
    }
    const size_t copies = left;
    std::string_view lower = lkp(interp, "lowercase", ch);
    if (copies > 1) {
      std::string_view run = s.substr(i, copies * clen);
      std::string_view whole = lkp(interp, "lowercase", run);
      if (!whole.empty()) {
        add_one(out, whole);
        i += run.size();
        left = 0;
        continue;
      }
      std::string_view times = lkp(interp, "repeat", std::to_string(copies));
      if (!lower.empty() && !times.empty()) {
        add_split(out, times);
        add_one(out, lower);
        i += run.size();
        left = 0;
        continue;
      }
    }
    if (!lower.empty()) {
      add_one(out, lower);
    } else {
      std::string_view w;
      for (const char* table : kTables)
        if (!(w = lkp(interp, table, ch)).empty()) break;
      if (!w.empty())
        add_split(out, w);
      else
        add_one(out, ch);
    }
    i += clen;
    --left;
  }
  return 1;
}

int QLTP_hrule_asdigits(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str*) {
  if (!usable(interp, text, out)) return 0;
  std::string table = setting(attrs, nullptr, "case", "asdigits");
  if (table == "digitlkp") table = "asdigits";
  std::string_view s(text);
  for (size_t i = 0; i < s.size(); i += char_len(s, i)) add_one(out, lkp(interp, table, s.substr(i, char_len(s, i))));
  return 1;
}

int QLTP_hrule_roman(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params) {
  if (!text || !out || !*text) return 0;
  int64_t value = roman(text);
  if (value < 0) {
    add_one(out, text);
    return 1;
  }
  return QLTP_hrule_numbers(interp, std::to_string(value).c_str(), out, attrs, params);
}

int QLTP_hrule_word(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params) {
  if (!usable(interp, text, out)) return 0;
  std::string table = setting(attrs, params, "acrolkp", "acrolkp");
  if (!setting(attrs, params, "aschars", "").empty()) return QLTP_hrule_aschars(interp, text, out, attrs, params);
  std::string_view w = lkp(interp, table, text);
  if (!w.empty())
    add_split(out, w);
  else
    add_one(out, text);
  return 1;
}

int QLTP_hrule_filter(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params) {
  if (!usable(interp, text, out)) return 0;
  const std::string symbols = setting(attrs, params, "symbols", "symbols");
  const std::string currency = setting(attrs, params, "currency", "currency");
  const std::string digits = setting(attrs, params, "case", "digitlkp");
  int result = 1;
  std::string run;
  bool run_digits = false;
  auto flush = [&] {
    if (run.empty()) return;
    std::string piece = cut(run, kMaxRun);
    result = run_digits ? QLTP_hrule_numbers(interp, piece.c_str(), out, attrs, params)
                        : QLTP_hrule_word(interp, piece.c_str(), out, attrs, params);
    run.clear();
  };
  std::string_view s(text);
  for (size_t i = 0; i < s.size();) {
    size_t clen = char_len(s, i);
    std::string_view ch = s.substr(i, clen);
    i += clen;
    std::string_view sym = lkp(interp, symbols, ch);
    if (sym.empty()) sym = lkp(interp, currency, ch);
    if (!sym.empty()) {
      flush();
      add_split(out, sym);
      continue;
    }
    bool is_digit = !lkp(interp, digits, ch).empty();
    if (!run.empty() && is_digit != run_digits) flush();
    run_digits = is_digit;
    run.append(ch);
  }
  flush();
  return result;
}

int QLTP_hrule_numbers_lt_with_ending(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs,
                                      str2str* params) {
  if (!usable(interp, text, out)) return 0;
  const char* dash = std::strchr(text, '-');
  if (!dash) return QLTP_hrule_numbers_lt(interp, text, out, attrs, params);
  std::string number(text, static_cast<size_t>(dash - text));
  int result = QLTP_hrule_numbers_lt(interp, number.c_str(), out, attrs, params);
  const char* ending = dash + 1;
  if (*ending) {
    int n = QLTP_dystrarray_sz(out);
    if (n == 0)
      QLTP_dystrarray_add(out, ending, -1);
    else
      QLTP_dystrarray_append(out, n - 1, ending, -1);
  }
  return result;
}

int QLTP_hrule_extdchars_it(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs,
                            str2str* params) {
  if (!usable(interp, text, out)) return 0;
  std::string_view s(text);
  if (s.empty() || s.back() != '\'') {
    add_one(out, s);
    return 1;
  }
  size_t quote = s.find_first_of(QLTP_QUOTE);
  if (quote == 0) return 0;
  std::string word(s.substr(0, quote));
  static const char* const kGrave[] = {"\xC3\xA0", "\xC3\xA8", "\xC3\xAC", "\xC3\xB2", "\xC3\xB9"};
  static constexpr std::string_view kVowels = "aeiou";
  size_t v = kVowels.find(static_cast<char>(word.back() | 0x20));
  if (v != std::string_view::npos) {
    word.pop_back();
    word += kGrave[v];
  }
  return QLTP_hrule_word(interp, word.c_str(), out, attrs, params);
}
