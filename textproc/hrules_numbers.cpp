// Number expansion: the generic rule that spells integers by units
// (billion, million, thousand, hundred, tens and units) and its language
// variants. Every word comes from the rule set's lookup tables.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/strutil.h"
#include "foundation/utf8.h"
#include "textproc/hrules.h"
#include "textproc/nrules.h"
#include "textproc/rinterp.h"

namespace {

// Numbers are read in 64 bits; longer ones are spelt digit by digit.
constexpr int kMaxDigits = 18;

enum class Lang { Generic, Pt, Zh, Gd, Ga, Lt, Ru, Pl, Ro };

const char* find_attr(const dystrarray* attrs, const char* name) {
  int n = QLTP_dystrarray_sz(attrs);
  for (int i = 0; i + 1 < n; i += 2)
    if (std::strcmp(QLTP_dystrarray_idx(attrs, i), name) == 0) return QLTP_dystrarray_idx(attrs, i + 1);
  return nullptr;
}

number_args read_args(const nrules* set, const dystrarray* attrs, const str2str* params) {
  number_args a;
  if (const char* c = find_attr(attrs, "case"); c && *c) a.cas = c;
  if (const char* m = find_attr(attrs, "maxlen"); m && *m) a.maxlen = QLTP_atoi(m, -1);
  // One pass over the pairs; a later pair overrides an earlier one.
  int n = params ? QLTP_str2str_nrkeys(params) : 0;
  for (int k = 0; k < n; ++k) {
    std::string_view key = QLTP_str2str_key(params, k);
    const char* v = QLTP_str2str_val(params, k);
    bool set_on = v[0] == 'T' || v[0] == 't';
    if (key == "reverse_tens") a.reverse_tens = set_on;
    else if (key == "agree_all") a.agree_all = set_on;
    else if (key == "leading_zero") a.leading_zero = set_on;
    else if (key == "no_join_delim") a.no_join_delim = set_on;
    else if (key == "zh_number_join") a.zh_join = set_on;
    else if (key == "en_number_join") a.en_join = set_on;
    else if (key == "ignore_minus") a.ignore_minus = set_on;
    else if (key == "separator") a.sep = v[0] ? v[0] : ',';
    else if (key == "variant") a.variant = v;
  }
  a.number_join = a.zh_join || a.en_join;
  const char* parent = QLTP_nrules_lkp(set, a.cas.c_str(), -1, "parent", -1);
  if (*parent) a.parent = parent;
  return a;
}

struct Unit {
  int64_t value;
  const char* word;
};

// Lookup keys built without allocating: a decimal number, or a unit word
// with a suffix.
class Key {
 public:
  explicit Key(int64_t v) {
    auto [end, ec] = std::to_chars(buf_, buf_ + sizeof buf_, v);
    len_ = ec == std::errc() ? static_cast<size_t>(end - buf_) : 0;
  }
  Key(std::string_view word, std::string_view suffix) {
    len_ = std::min(word.size(), sizeof buf_);
    std::memcpy(buf_, word.data(), len_);
    size_t n = std::min(suffix.size(), sizeof buf_ - len_);
    std::memcpy(buf_ + len_, suffix.data(), n);
    len_ += n;
  }
  operator std::string_view() const { return {buf_, len_}; }  // NOLINT: a key is its text
  std::string str() const { return std::string(buf_, len_); }

 private:
  char buf_[48];
  size_t len_ = 0;
};

class Speaker {
 public:
  Speaker(rinterp* interp, dystrarray* out, const number_args& args, Lang lang)
      : set_(interp->rules), log_(interp->log), out_(out), a_(args), lang_(lang) {}

  // `looked_up`: the caller found no entry for the whole text already.
  void say(std::string_view text, const std::string& c, const std::string& p, bool looked_up = false) {
    if (a_.ignore_minus)
      while (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (!looked_up && add(c, text)) return;
    int digits = 0;
    for (char ch : text) digits += ch != a_.sep;
    if (digits > a_.maxlen || digits > kMaxDigits) {
      spell(text, p);
      return;
    }
    if (a_.leading_zero && !text.empty() && text.front() == '0') {
      std::string_view zero = word(c, "0");
      if (zero.empty()) zero = word(p, "0");
      for (size_t i = 0; i < text.size() && text[i] == '0'; ++i) add_words(zero);
    }
    int64_t v = QLTP_atolsep(text.data(), static_cast<int>(text.size()), a_.sep);
    if (v < 0) {
      add(p, "-");
      v = -v;
    }
    number(v, c, p);
  }

 private:
  std::string_view word(const std::string& table, std::string_view key) {
    // Most numbers asked for are longer than any number the table holds.
    if (!key.empty() && key.size() > static_cast<size_t>(digits(table)) && all_digits(key)) return {};
    return QLTP_nrules_lkp(set_, table.data(), static_cast<int>(table.size()), key.data(),
                           static_cast<int>(key.size()));
  }
  // The longest number key of a table, remembered for the call.
  int digits(const std::string& table) {
    for (size_t i = 0; i < ndigits_; ++i)
      if (digits_[i].first == &table) return digits_[i].second;
    int n = QLTP_nrules_numeric_digits(set_, table.data(), static_cast<int>(table.size()));
    if (ndigits_ < digits_.size()) digits_[ndigits_++] = {&table, n};
    return n;
  }
  static bool all_digits(std::string_view s) {
    for (char ch : s)
      if (ch < '0' || ch > '9') return false;
    return true;
  }
  bool has(const std::string& table, std::string_view key) { return !word(table, key).empty(); }

  void add_words(std::string_view w) {
    if (!w.empty()) QLTP_dystrarray_add_delim(out_, w.data(), static_cast<int>(w.size()), ' ');
  }
  bool add(const std::string& table, std::string_view key) {
    std::string_view w = word(table, key);
    add_words(w);
    return !w.empty();
  }
  // Glues a word to the last output entry (a new entry when there is none).
  void glue(std::string_view w) {
    if (w.empty()) return;
    int n = QLTP_dystrarray_sz(out_);
    if (n == 0)
      QLTP_dystrarray_add(out_, w.data(), static_cast<int>(w.size()));
    else
      QLTP_dystrarray_append(out_, n - 1, w.data(), static_cast<int>(w.size()));
  }

  void spell(std::string_view text, const std::string& p) {
    size_t i = 0;
    while (i < text.size()) {
      size_t n = 1;
      while (i + n < text.size() && QLTP_u8_is_cont(static_cast<unsigned char>(text[i + n]))) ++n;
      add(p, text.substr(i, n));
      i += n;
    }
  }

  // The unit key for multiplier q in the languages with several plurals.
  Key unit_key(std::string_view W, int64_t q) const {
    bool hundred = W == "hundred";
    int64_t last = q % 10, last2 = q % 100;
    switch (lang_) {
      case Lang::Gd:
      case Lang::Ga:
        if (W == "hundred_thousand") return Key(W, "");
        break;
      // The plural follows the multiplier's last two digits, in every unit.
      case Lang::Lt:
        if (last == 1 && last2 != 11) return Key(W, "");
        if (last == 0 || (last2 >= 11 && last2 <= 19)) return Key(W, "_plural");
        return Key(W, "_plural_2_9");
      case Lang::Ru:
      case Lang::Pl: {
        if (hundred) return Key(W, "");
        if (last >= 2 && last <= 4 && !(last2 >= 12 && last2 <= 14)) return Key(W, "_plural_2_4");
        // Polish multipliers above 1 take the genitive plural, 21 too.
        if (q == 1 || (lang_ == Lang::Ru && last == 1 && last2 != 11)) return Key(W, "");
        return Key(W, "_plural");
      }
      case Lang::Ro:
        if (hundred || (last2 >= 1 && last2 <= 19)) return Key(W, q < 2 ? "" : "_plural");
        return Key(W, "_plural_20plus");
      default:
        break;
    }
    return Key(W, q <= 1 ? "" : "_plural");
  }

  // One unit: gives the remainder.
  int64_t chunk(const Unit& u, const std::string& f, const std::string& s, int64_t v) {
    std::string_view W = u.word;
    if (add(f, Key(v))) return 0;
    int64_t q = v / u.value, r = v % u.value;
    if (add(f, Key(q * u.value))) return r;
    bool plain_one = q == 1 && word(f, Key(W, "_plural")).empty() && !word(f, W).empty();
    if (lang_ == Lang::Ro) {
      static const std::string kFeminine = "digitlkp_feminine";
      if (!plain_one && !add(kFeminine, Key(q))) say(Key(q), kFeminine, a_.cas, true);
    } else if (!plain_one && !add(f, Key(q)) && q != v) {
      say(Key(q), f, s, true);
    }
    Key key = unit_key(W, q);
    if (r != 0) {
      add(s, key);
      add_words(word(f, Key(W, "_join")));
    } else {
      add(f, key);
    }
    return r;
  }

  const std::string& first_table(const Unit& u, int64_t v, const std::string& c, const std::string& p,
                                 int index) {
    static const std::string kTenTwenty = "digitlkp_ten_twenty";
    int64_t q = v / u.value, r = v % u.value;
    switch (lang_) {
      case Lang::Ru:
      case Lang::Pl:
        return c;
      case Lang::Pt:
        return a_.agree_all ? c : p;
      case Lang::Gd:
      case Lang::Ga:
        return a_.agree_all && index == 0 ? c : p;
      case Lang::Zh:
        if (u.value == 100000000 || u.value == 10000) return q >= 10 && q <= 19 ? c : kTenTwenty;
        break;
      default:
        break;
    }
    if (u.value == 100) return a_.agree_all ? c : p;
    return a_.agree_all || (a_.number_join && r > 99) ? c : p;
  }

  void number(int64_t v, const std::string& c, const std::string& p) {
    static const Unit kGeneric[] = {{1000000000, "billion"}, {1000000, "million"}, {1000, "thousand"}, {100, "hundred"}};
    static const Unit kZh[] = {{100000000, "hundred_million"}, {10000, "ten_thousand"}, {1000, "thousand"}, {100, "hundred"}};
    static const Unit kGael[] = {{1000000000, "billion"}, {1000000, "million"}, {100000, "hundred_thousand"},
                                 {1000, "thousand"}, {100, "hundred"}};
    const Unit* units = kGeneric;
    size_t nunits = 4;
    if (lang_ == Lang::Zh) units = kZh;
    if (lang_ == Lang::Gd || lang_ == Lang::Ga) {
      units = kGael;
      nunits = 5;
    }
    const int64_t whole = v;
    int written = 0;
    for (size_t i = 0; i < nunits; ++i) {
      const Unit& u = units[i];
      if (v < u.value) continue;
      const std::string& f = first_table(u, v, c, p, written);
      v = chunk(u, f, p, v);
      ++written;
      if (lang_ == Lang::Pt && u.value == 1000) {
        int64_t below = v % 1000;
        if ((below >= 1 && below <= 99) || (below > 0 && below % 100 == 0)) add(c, "tens_join");
      }
    }
    below_hundred(v, whole, written, c, p);
  }

  void below_hundred(int64_t r, int64_t whole, int written, const std::string& c, const std::string& p) {
    if (r == 0) return;
    // With agree_all the Gaelic rules read the case table only for the
    // largest part written.
    const std::string& cc = (lang_ == Lang::Gd || lang_ == Lang::Ga) && a_.agree_all && written > 0 ? p : c;
    if (lang_ == Lang::Gd || lang_ == Lang::Ga) {
      bool ten_multiple = r % 10 == 0;
      if (whole > 100 && r <= 19) {
        static const std::string kExceptions = "digitlkp_exceptions";
        add(kExceptions, "tens_join");
        add(kExceptions, Key(r));
        return;
      }
      if (whole > 100 && r >= 20 && ten_multiple == (lang_ == Lang::Gd)) add(p, "hundred_join");
    }
    const std::string& tp = lang_ == Lang::Pt ? c : p;  // where tens, join and units come from
    if (r >= 10) {
      Key two(r);
      if (has(p, two)) {
        if (lang_ == Lang::Zh && r <= 19) {
          static const std::string kTenTwenty = "digitlkp_ten_twenty";
          if (add(kTenTwenty, two)) return;
        }
        if (add(cc, two)) return;
      }
      int64_t units = r % 10;
      Key tens(r - units);
      const std::string& tens_table = units != 0 && !a_.reverse_tens ? tp : cc;
      std::string_view tw = word(tens_table, tens);
      if (tw.empty() && log_)
        QLTP_logger_set_error(log_, QLTP_MESSAGE_WARN, "H - number missing tens item ", tens.str().c_str());
      if (units == 0) {
        add_words(tw);
        return;
      }
      std::string_view join = word(tp, "tens_join");
      std::string_view first = tw, second = word(cc, Key(units));
      if (a_.reverse_tens) {
        first = word(tp, Key(units));
        second = tw;
      }
      if (a_.no_join_delim && !first.empty()) {
        // The same records as gluing both to the last word of `first`.
        std::string whole;
        whole.reserve(first.size() + join.size() + second.size());
        whole.append(first).append(join).append(second);
        add_words(whole);
      } else if (a_.no_join_delim) {
        glue(join);
        glue(second);
      } else {
        add_words(first);
        add_words(join);
        add_words(second);
      }
      return;
    }
    add(cc, Key(r));
  }

  nrules* set_;
  logger* log_;
  dystrarray* out_;
  const number_args& a_;
  Lang lang_;
  // Tables are the argument record's strings or the rules' own names,
  // alive for the whole call: known by address.
  std::array<std::pair<const std::string*, int>, 6> digits_{};
  size_t ndigits_ = 0;
};

// The recursive rule of every language; it calls itself (Speaker::say) for
// the multipliers of the units.
int recursive(rinterp* interp, const char* text, dystrarray* out, const number_args& a, Lang lang) {
  if (!interp || !interp->rules || !text || !out) return 0;
  Speaker(interp, out, a, lang).say(text, a.cas, a.parent);
  return 1;
}

int speak(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params, Lang lang) {
  if (!interp || !interp->rules) return 0;
  return recursive(interp, text, out, read_args(interp->rules, attrs, params), lang);
}

}  // namespace

int QLTP_hrule_numbers_recursive(rinterp* interp, const char* text, dystrarray* out, const number_args* args) {
  return args ? recursive(interp, text, out, *args, Lang::Generic) : 0;
}

int QLTP_hrule_numbers(rinterp* interp, const char* text, dystrarray* out, dystrarray* attrs, str2str* params) {
  if (!interp || !interp->rules) return 0;
  number_args a = read_args(interp->rules, attrs, params);
  // One hand-over at a time: a variant that comes back here runs the
  // generic rule instead of handing over again.
  if (!a.variant.empty() && !interp->handover) {
    for (int i = 0; i < QLTP_HRULE_COUNT; ++i) {
      if (std::strncmp(QLTP_HRULE_NAMES[i], a.variant.c_str(), a.variant.size()) != 0 || !QLTP_HRULES[i] ||
          QLTP_HRULES[i] == QLTP_hrule_numbers)
        continue;
      interp->handover = 1;
      int result = QLTP_HRULES[i](interp, text, out, attrs, params);
      interp->handover = 0;
      return result;
    }
  }
  return recursive(interp, text, out, a, Lang::Generic);
}

int QLTP_hrule_numbers_pt(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Pt);
}
int QLTP_hrule_numbers_ru(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Ru);
}
int QLTP_hrule_numbers_pl(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Pl);
}
int QLTP_hrule_numbers_zh(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Zh);
}
int QLTP_hrule_numbers_gd(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Gd);
}
int QLTP_hrule_numbers_ga(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Ga);
}
int QLTP_hrule_numbers_lt(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Lt);
}
int QLTP_hrule_numbers_ro(rinterp* i, const char* t, dystrarray* o, dystrarray* a, str2str* p) {
  return speak(i, t, o, a, p, Lang::Ro);
}
