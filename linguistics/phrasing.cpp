#include "linguistics/phrasing.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "linguistics/pipeline.h"
#include "textproc/channel.h"
#include "textproc/rinterp.h"

namespace {

constexpr int32_t kHourMs = 3600000;
constexpr int kMaxLinks = 100;
constexpr char kNoTokens[] = "No tokens/spurts available for phrasing";

toxtoken* tok(const voidparray* a, int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(a, i)); }
toxtag* tag_at(const toxtoken* t, int i) { return QLTP_toxtoken_tagidx(t, i); }
int tag_count(const toxtoken* t) { return QLTP_toxtoken_notags(t); }
bool same(const char* a, const char* b) { return a[0] == b[0] && std::strcmp(a, b) == 0; }
bool named(const toxtag* tag, const char* name) { return same(QLTP_toxtag_name(tag), name); }
std::string_view text(const char* s) { return s ? std::string_view(s) : std::string_view(); }
bool empty(const char* s) { return !s || !*s; }
logger* log_of(const phrasing* st) { return QLTP_tpc_get_logger(st->ch); }
toxpool* pool_of(const phrasing* st) { return st->ch ? st->ch->pool : nullptr; }

// Raises level and time to the key's pre or post values.
void raise(const phrasing* st, const char* key, int pre, int32_t& level, int32_t& time) {
  QLTP_prules_get_break(st->breaks, key, -1, pre, level, time, &level, &time);
}

// A time attribute: seconds (3 decimals kept), or milliseconds with "ms",
// capped at one hour; in milliseconds.
int32_t millis(const char* value) {
  std::string_view v = text(value);
  while (!v.empty() && QLTP_is_whitespace(v.back())) v.remove_suffix(1);
  int32_t ms = QLTP_atoifp(v.data(), static_cast<int>(v.size()), 3);
  if (v.ends_with("ms")) ms /= 1000;
  return std::clamp(ms, 0, kHourMs);
}

// "%.3f" without the process locale.
std::string three_decimals(double seconds) {
  long long ms = std::llround(seconds * 1000.0);
  long long magnitude = ms < 0 ? -ms : ms;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%s%lld.%03lld", ms < 0 ? "-" : "", magnitude / 1000, magnitude % 1000);
  return buf;
}

void set_attrib(toxtag* tag, const char* name, const std::string& value) {
  QLTP_toxtag_set_attrib(tag, name, -1, value.data(), static_cast<int>(value.size()));
}

// New breaks go in front of the tags: look there first.
bool has_break(const toxtoken* t) {
  for (int i = 0; i < tag_count(t); ++i)
    if (named(tag_at(t, i), "break")) return true;
  return false;
}

bool has_open_tag(const toxtoken* t) {
  for (int i = 0; i < tag_count(t); ++i) {
    int type = QLTP_toxtag_type(tag_at(t, i));
    if (type == QLTP_TAG_START || type == QLTP_TAG_MID) return true;
  }
  return false;
}

void remove_breaks(toxtoken* t) {
  while (toxtag* tag = QLTP_toxtoken_gettag(t, "break")) QLTP_toxtoken_removetag(t, tag);
}

// A new closed break in front of the token's tags.
void add_break(phrasing* st, toxtoken* t, int32_t level, int32_t time) {
  toxtag* tag = QLTP_toxtag_newbreak(QLTP_toxpool_tag(pool_of(st)), t, level, time);
  if (!tag) {
    QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, kNoTokens, "");
    return;
  }
  QLTP_toxtoken_addtag_front(t, tag);
}

// An SSML break (or a spurt mark) decides the token's breaks alone.
void markup_break(phrasing* st, toxtoken* t, toxtoken* next) {
  int32_t level = 0, time = 0;
  raise(st, "DEFAULT", 1, level, time);
  for (int i = 0; i < tag_count(t); ++i) {
    toxtag* tag = tag_at(t, i);
    if (!named(tag, "break")) continue;
    const char* strength = QLTP_toxtag_val(tag, "strength");
    bool strong = !empty(strength);
    if (strong) {
      level = time = 0;
      QLTP_prules_get_break(st->breaks, strength, -1, 0, 0, 0, &level, &time);
    }
    if (const char* value = QLTP_toxtag_val(tag, "time")) time = millis(value);
    QLTP_toxtag_set_attrib_fixedpoint(tag, "time", 4, time, 3);
    if (!QLTP_toxtag_val(tag, "type")) QLTP_toxtag_set_attrib_int(tag, "type", 4, level);
    QLTP_toxtag_settype(tag, QLTP_TAG_CLOSED);
    if (std::strcmp(QLTP_toxtag_val(tag, "type"), "0") == 0) {
      remove_breaks(t);
      if (strong && next && empty(QLTP_toxtoken_getnorm(next))) {
        remove_breaks(next);
        QLTP_toxtoken_setprepunc(next, "", 0);
        QLTP_toxtoken_setpstpunc(next, "", 0);
      }
      return;
    }
  }
}

// What the breaks of a token depend on among its tags, read in one pass.
struct TagFacts {
  bool markup = false;      // an SSML break
  bool ends[3] = {};        // a p, s or spurt element ends here
  bool starts[3] = {};      // ... starts here
};

constexpr const char* kElements[3] = {"p", "s", "spurt"};
constexpr const char* kStrengths[3] = {"strong", "medium", "weak"};

TagFacts facts_of(const toxtoken* t) {
  TagFacts f;
  for (int i = 0; t && i < tag_count(t); ++i) {
    const toxtag* tag = tag_at(t, i);
    const char* name = QLTP_toxtag_name(tag);
    int type = QLTP_toxtag_type(tag);
    if (same(name, "break")) {
      f.markup |= type == QLTP_TAG_END || type == QLTP_TAG_STARTEND || type == QLTP_TAG_CLOSED;
      continue;
    }
    for (int k = 0; k < 3; ++k) {
      if (!same(name, kElements[k])) continue;
      f.ends[k] |= type == QLTP_TAG_END || type == QLTP_TAG_STARTEND;
      f.starts[k] |= type == QLTP_TAG_START || type == QLTP_TAG_STARTEND;
    }
  }
  return f;
}

// The breaks of pending token w.
void examine(phrasing* st, int w, int final) {
  toxtoken* t = tok(st->pending, w);
  int size = QLTP_voidparray_sz(st->pending);
  toxtoken* next = w + 1 < size ? tok(st->pending, w + 1) : nullptr;
  bool open_breaks = false;
  for (int i = 0; i < tag_count(t); ++i) {
    toxtag* tag = tag_at(t, i);
    const char* name = QLTP_toxtag_name(tag);
    if (same(name, "fbreak")) {
      QLTP_toxtag_set_name(tag, "break", 5);
      QLTP_toxtag_settype(tag, QLTP_TAG_STARTEND);
    } else if (same(name, "break")) {
      int type = QLTP_toxtag_type(tag);
      open_breaks |= type == QLTP_TAG_START || type == QLTP_TAG_MID;
    }
  }
  TagFacts mine = facts_of(t);
  if (mine.markup || QLTP_toxtoken_tagval(t, "spurt", "spurt_id") != nullptr) {
    markup_break(st, t, next);
    return;
  }
  for (int i = tag_count(t) - 1; open_breaks && i >= 0; --i) {
    toxtag* tag = tag_at(t, i);
    int type = QLTP_toxtag_type(tag);
    if (named(tag, "break") && (type == QLTP_TAG_START || type == QLTP_TAG_MID)) QLTP_toxtoken_removetag(t, tag);
  }
  int32_t level = 0, time = 0;
  const char* post = QLTP_toxtoken_getpstpunc(t);
  if (w == 0) {
    if (st->stream_start) raise(st, "DEFAULT", 1, level, time);
    st->stream_start = 0;
  } else if (empty(post) && QLTP_toxtoken_getfeat(t, QLTP_FEAT_LINEBREAK) && next) {
    const char* own = QLTP_toxtoken_tagval(t, "phrasing", "ignore_newline");
    if (own ? std::strcmp(own, "False") == 0 : !st->ignore_newline) raise(st, "\n", 0, level, time);
  }
  const char* pre = next ? QLTP_toxtoken_getprepunc(next) : "";
  if (!next && final && empty(post)) raise(st, "DEFAULT", 0, level, time);
  QLTP_prules_punc_break(st->breaks, post ? post : "", pre ? pre : "", &level, &time);
  TagFacts following = facts_of(next);
  for (int k = 0; k < 3; ++k)
    if (mine.ends[k] || following.starts[k]) raise(st, kStrengths[k], 0, level, time);
  if (level > 0) add_break(st, t, level, time);
}

struct Phrase {
  int first;
  int end;  // -1: open
};

// Phrases of the pending tokens 1 .. n-1 ending at breaks; a token where no
// element stays open gets a sentence break.
std::vector<Phrase> find_phrases(phrasing* st, int n, int final) {
  std::vector<Phrase> phrases;
  int size = QLTP_voidparray_sz(st->pending);
  int first = 1;
  for (int b = 1; b < n; ++b) {
    toxtoken* t = tok(st->pending, b);
    bool ends = has_break(t);
    if (!ends && b != n - 1 && !has_open_tag(t)) {
      add_break(st, t, 4, 200);
      ends = true;
    }
    if (!ends) continue;
    phrases.push_back({first, b + 1});
    first = b + 1;
  }
  if (first < size) phrases.push_back({first, -1});
  if (final && !phrases.empty() && phrases.back().end < 0) phrases.back().end = n;
  QLTP_intarray_clear(st->phrases);
  for (const Phrase& p : phrases) {
    QLTP_intarray_add(st->phrases, p.first);
    QLTP_intarray_add(st->phrases, p.end);
  }
  return phrases;
}

std::string bare_pos(const toxtoken* t) {
  std::string_view p = text(QLTP_toxtoken_getpos(t));
  return std::string(p.substr(0, p.find('_')));
}

// The pair weight of tokens d and d + 1: the best of «<L>_<R>» with L and R
// each "", the token's POS or its normalised text.
int32_t pair_weight(const phrasing* st, const toxtoken* left, const toxtoken* right) {
  if (empty(QLTP_toxtoken_getnorm(right))) return 0;
  const std::string ls[] = {"", bare_pos(left), std::string(text(QLTP_toxtoken_getnorm(left)))};
  const std::string rs[] = {"", bare_pos(right), std::string(text(QLTP_toxtoken_getnorm(right)))};
  int32_t best = 0;
  for (const auto& l : ls)
    for (const auto& r : rs) best = std::max(best, QLTP_prules_get_prule(st->pairs, (l + "_" + r).c_str()));
  return best;
}

// Breaks phrases longer than max_phrase_length words until none is too long
// or none can be broken. A break splits only its own phrase, so each phrase
// is worked off from its start: one break, then the rest of it.
std::vector<Phrase> force_breaks(phrasing* st, int n, int final, std::vector<Phrase> phrases) {
  if (st->max_phrase_length == 0) return phrases;
  bool changed = false;
  std::vector<int> words;
  for (const Phrase& p : phrases) {
    int end = p.end < 0 ? n : p.end;
    for (int first = p.first; first < end;) {
      // The first max_phrase_length + 1 words are enough to know.
      words.clear();
      for (int i = first; i < end && static_cast<int>(words.size()) <= st->max_phrase_length; ++i)
        if (!empty(QLTP_toxtoken_getnorm(tok(st->pending, i)))) words.push_back(i);
      if (static_cast<int>(words.size()) <= st->max_phrase_length) break;
      int l = words[static_cast<size_t>(st->max_phrase_length - 1)];
      int from = st->max_phrase_length - st->phrase_length_window;
      int b = from <= 0 ? first : words[static_cast<size_t>(from - 1)];
      int32_t best = 0;
      int chosen = -1;
      QLTP_intarray_clear(st->weights);
      for (int d = l - 2; d >= b; --d) {
        int32_t weight = pair_weight(st, tok(st->pending, d), tok(st->pending, d + 1));
        QLTP_intarray_add(st->weights, weight);
        if (weight > best) {
          best = weight;
          chosen = d;
        }
      }
      if (chosen < 0) chosen = l - 1;
      // Never before the phrase: with max_phrase_length 1 the token before
      // the first word is the previous phrase's.
      chosen = std::max(chosen, first);
      while (chosen >= first && QLTP_toxtoken_getfeat(tok(st->pending, chosen), QLTP_FEAT_COMPOUND_CONTINUES)) --chosen;
      // No token to break at: the phrase stays whole rather than looping.
      if (chosen < first) break;
      toxtoken* t = tok(st->pending, chosen);
      toxtag* info = QLTP_toxpool_tag(pool_of(st));
      if (info) {
        QLTP_toxtag_init(info, t, "tpinfo", 6, QLTP_TAG_CLOSED);
        QLTP_toxtag_set_attrib(info, "phrasing", 8, best > 0 ? "rule" : "forced", -1);
        QLTP_toxtoken_addtag(t, info);
      }
      int32_t level = 0, time = 0;
      raise(st, "FORCED", 0, level, time);
      add_break(st, t, level, time);
      if (!has_break(t)) break;  // the pool is out of tags
      changed = true;
      first = chosen + 1;
    }
  }
  return changed ? find_phrases(st, n, final) : phrases;
}

// ---------------------------------------------------------------------------
// Prosody re-timing of an element cut by a spurt end

// The element's tags (and tokens) on one side of the cut.
struct Side {
  std::vector<toxtag*> tags;
  double chars = 0;
  double breaks = 0;  // seconds
};

// The break tags of the tokens that re-timing visits: a token inside many
// nested elements is read once per call, not once per element.
class BreakCache {
 public:
  const std::vector<toxtag*>& tags(const toxtoken* t) { return entry(t).tags; }
  double seconds(const toxtoken* t) { return entry(t).seconds; }
  // After the token's break times changed.
  void update(const toxtoken* t) {
    auto it = entries_.find(t);
    if (it != entries_.end()) it->second.seconds = sum(it->second.tags);
  }
  // After the token's break tags changed.
  void forget(const toxtoken* t) { entries_.erase(t); }

 private:
  struct Entry {
    std::vector<toxtag*> tags;
    double seconds = 0;
  };
  Entry& entry(const toxtoken* t) {
    auto [it, fresh] = entries_.try_emplace(t);
    if (fresh) {
      for (int i = 0; i < tag_count(t); ++i)
        if (named(tag_at(t, i), "break")) it->second.tags.push_back(tag_at(t, i));
      it->second.seconds = sum(it->second.tags);
    }
    return it->second;
  }
  static double sum(const std::vector<toxtag*>& tags) {
    double s = 0;
    for (const toxtag* tag : tags) s += millis(QLTP_toxtag_val(tag, "time")) / 1000.0;
    return s;
  }
  std::unordered_map<const toxtoken*, Entry> entries_;
};

void add_token(Side& side, toxtag* tag, BreakCache& breaks) {
  side.tags.push_back(tag);
  const toxtoken* t = QLTP_toxtag_get_parent(tag);
  side.chars += static_cast<double>(text(QLTP_toxtoken_getnorm(t)).size());
  side.breaks += breaks.seconds(t);
}

// In this spurt: back along the fellow links from the last token's tag, to
// the element's start or the spurt's first token.
Side side_here(toxtag* last, const toxspurt* spurt, BreakCache& breaks) {
  Side side;
  toxtag* tag = last;
  for (int links = 0; tag && links <= kMaxLinks; ++links) {
    const toxtoken* t = QLTP_toxtag_get_parent(tag);
    if (!t || t->parent != spurt) break;
    add_token(side, tag, breaks);
    int type = QLTP_toxtag_type(tag);
    if (type == QLTP_TAG_START || type == QLTP_TAG_STARTEND) break;
    tag = QLTP_toxtag_get_fellow(tag);
  }
  return side;
}

// After the spurt: forward along the element's links to its end (as far as
// the stream has come).
Side side_after(toxtag* last, BreakCache& breaks) {
  Side side;
  toxtag* tag = last->follower;
  for (int links = 0; tag && links < kMaxLinks; ++links) {
    add_token(side, tag, breaks);
    int type = QLTP_toxtag_type(tag);
    if (type == QLTP_TAG_END || type == QLTP_TAG_STARTEND) break;
    tag = tag->follower;
  }
  return side;
}

void set_all(const Side& side, const char* name, const std::string& value) {
  for (toxtag* tag : side.tags) set_attrib(tag, name, value);
}

// Break times of the side's tokens through f (seconds in, seconds out).
template <typename F>
void scale_breaks(const Side& side, F f, BreakCache& breaks) {
  for (toxtag* element : side.tags) {
    const toxtoken* t = QLTP_toxtag_get_parent(element);
    for (toxtag* tag : breaks.tags(t)) set_attrib(tag, "time", three_decimals(f(millis(QLTP_toxtag_val(tag, "time")) / 1000.0)));
    breaks.update(t);
  }
}

struct Item {
  double p;
  std::string v;
};

// «(P%,V) (P%,V) ...»
std::vector<Item> contour_items(std::string_view s) {
  std::vector<Item> items;
  auto skip = [&s] { while (!s.empty() && QLTP_is_whitespace(s.front())) s.remove_prefix(1); };
  while (true) {
    skip();
    if (s.empty() || s.front() != '(') break;
    s.remove_prefix(1);
    size_t percent = s.find('%');
    if (percent == std::string_view::npos) break;
    double p = QLTP_atof(s.data(), static_cast<int>(percent));
    s.remove_prefix(percent + 1);
    skip();
    if (s.empty() || s.front() != ',') break;
    s.remove_prefix(1);
    skip();
    size_t end = s.find_first_of(") \t");
    if (end == 0 || end == std::string_view::npos) break;
    std::string v(s.substr(0, std::min<size_t>(end, 9)));
    s.remove_prefix(end);
    skip();
    if (s.empty() || s.front() != ')') break;
    s.remove_prefix(1);
    items.push_back({p, v});
  }
  return items;
}

// «P V P V ...»
std::vector<Item> f0_items(std::string_view s) {
  std::vector<Item> items;
  int len = 0;
  const char* f = QLTP_strfield(s.data(), static_cast<int>(s.size()), 0, &len);
  while (f) {
    double p = QLTP_atof(f, len);
    const char* v = QLTP_strfield_next(s.data(), static_cast<int>(s.size()), f + len, &len);
    if (!v) break;
    items.push_back({p, std::string(v, static_cast<size_t>(std::min(len, 9)))});
    f = QLTP_strfield_next(s.data(), static_cast<int>(s.size()), v + len, &len);
  }
  return items;
}

// Splits contour items at the cut; gives (this spurt, the rest), or nothing
// when no item was read.
bool split_items(const std::vector<Item>& items, double c1, double c2, bool f0, std::string& here, std::string& rest) {
  if (items.empty() && f0) return false;
  double total = c1 + c2, cut = c1 * 100 / total;
  auto write = [f0](std::string& out, int p, const std::string& v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f0 ? "%s%d %s" : "%s(%d%%,%s)", out.empty() ? "" : " ", p, v.c_str());
    out += buf;
  };
  std::string last_value = "+0";
  std::vector<std::pair<int, std::string>> later;
  for (const Item& item : items) {
    if (item.p <= cut) {
      write(here, c1 == 0 ? 50 : static_cast<int>(item.p * total / c1 + 0.5), item.v);
      last_value = item.v;
    } else {
      later.emplace_back(c2 == 0 ? 50 : static_cast<int>((item.p - 100) * total / c2 + 100 + 0.5), item.v);
    }
  }
  if (here.empty()) write(here, 0, "+0");
  write(rest, 0, last_value);
  for (const auto& [p, v] : later) write(rest, p, v);
  return true;
}

// Re-times every prosody element that the spurt's last token leaves open.
void retime(toxspurt* spurt, toxtoken* last, BreakCache& breaks) {
  for (int i = 0; i < tag_count(last); ++i) {
    toxtag* tag = tag_at(last, i);
    int type = QLTP_toxtag_type(tag);
    if (type != QLTP_TAG_START && type != QLTP_TAG_MID) continue;
    const char* name = QLTP_toxtag_name(tag);
    bool sig = same(name, "sig");
    if (!sig && !same(name, "prosody")) continue;
    Side here = side_here(tag, spurt, breaks), after = side_after(tag, breaks);
    if (here.chars == 0 && after.chars == 0) here.chars = after.chars = 1;
    if (const char* rate = sig ? QLTP_toxtag_val(tag, "rate") : nullptr) {
      double r = QLTP_atof(rate, static_cast<int>(std::strlen(rate)));
      if (r != 0) {
        r = std::clamp(r, 0.3, 3.0);
        scale_breaks(here, [r](double s) { return std::max(s / r, 0.002); }, breaks);
      }
    }
    if (const char* duration = QLTP_toxtag_val(tag, "duration")) {
      double d = millis(duration) / 1000.0;
      double denominator = here.chars + after.chars + here.breaks / 0.01 + after.breaks / 0.01;
      double k = denominator > 0 ? d / denominator : 0;
      std::string rest = three_decimals(k * (after.chars + after.breaks / 0.01));
      set_all(here, "duration", three_decimals(k * here.chars));
      scale_breaks(here, [k](double s) { return std::max(s * k / 0.01, 0.0); }, breaks);
      set_all(after, "duration", rest);
    }
    for (bool f0 : {false, true}) {
      const char* name = f0 ? "f0contour" : "contour";
      const char* value = QLTP_toxtag_val(tag, name);
      if (!value) continue;
      std::string mine, rest;
      if (!split_items(f0 ? f0_items(value) : contour_items(value), here.chars, after.chars, f0, mine, rest)) continue;
      set_all(here, name, mine);
      set_all(after, name, rest);
    }
  }
}

// ---------------------------------------------------------------------------
// Spurts

// Hands the last token's closing break over to the new pause token: the
// closed tags behind it move to the pause token, and both get half its time.
void hand_over(phrasing* st, toxtoken* last, toxtoken* pause) {
  int k = tag_count(last) - 1;
  while (k >= 0 && !named(tag_at(last, k), "break")) --k;
  if (k < 0) return;
  for (int i = tag_count(last) - 1; i > k; --i) {
    toxtag* tag = tag_at(last, i);
    if (QLTP_toxtag_type(tag) != QLTP_TAG_CLOSED) continue;
    toxtag* moved = QLTP_toxpool_tag(pool_of(st));
    if (!moved) break;
    QLTP_toxtag_copy(tag, moved);
    QLTP_toxtoken_removetag(last, tag);
    QLTP_toxtoken_addtag_front(pause, moved);
  }
  toxtag* end = tag_at(last, k);
  int32_t half = millis(QLTP_toxtag_val(end, "time")) / 2;
  QLTP_toxtag_set_attrib_fixedpoint(end, "time", 4, half, 3);
  toxtag* copy = QLTP_toxpool_tag(pool_of(st));
  if (!copy) return;
  QLTP_toxtag_init(copy, pause, "break", 5, QLTP_TAG_CLOSED);
  QLTP_toxtag_set_attrib(copy, "type", 4, text(QLTP_toxtag_val(end, "type")).data(), -1);
  QLTP_toxtag_set_attrib_fixedpoint(copy, "time", 4, half, 3);
  QLTP_toxtoken_addtag_front(pause, copy);
}

// Elements cut by a phrase end close on its last token and open again on the
// next phrase's first.
void cut_elements(toxtoken* last, toxtoken* next) {
  for (int i = 0; i < tag_count(last); ++i) {
    toxtag* tag = tag_at(last, i);
    if (QLTP_toxtag_type(tag) == QLTP_TAG_START) QLTP_toxtag_settype(tag, QLTP_TAG_STARTEND);
    else if (QLTP_toxtag_type(tag) == QLTP_TAG_MID) QLTP_toxtag_settype(tag, QLTP_TAG_END);
  }
  for (int i = 0; next && i < tag_count(next); ++i) {
    toxtag* tag = tag_at(next, i);
    if (QLTP_toxtag_type(tag) == QLTP_TAG_MID) QLTP_toxtag_settype(tag, QLTP_TAG_START);
    else if (QLTP_toxtag_type(tag) == QLTP_TAG_END) QLTP_toxtag_settype(tag, QLTP_TAG_STARTEND);
  }
}

// Puts the closed phrases into spurts; gives the number of pending tokens
// used and the pause token for what is left (NULL after the last phrase of a
// final call).
int make_spurts(phrasing* st, const std::vector<Phrase>& phrases, int final, toxtoken*& pause) {
  toxpool* pool = pool_of(st);
  int size = QLTP_voidparray_sz(st->pending);
  int used = 0;
  BreakCache breaks;
  pause = tok(st->pending, 0);
  for (const Phrase& p : phrases) {
    if (p.end < 0) break;
    bool lone_pause = p.end == 1 && size == 1;
    if (p.end <= p.first && !lone_pause) continue;
    bool last_of_final = final && p.end >= size;
    toxspurt* spurt = QLTP_toxpool_spurt(pool);
    toxtoken* next_pause = nullptr;
    if (spurt && !last_of_final) {
      next_pause = QLTP_toxpool_token(pool);
      if (next_pause) QLTP_toxtoken_setparent(next_pause, st->pending);
    }
    if (!spurt || (!last_of_final && !next_pause)) {
      if (spurt) QLTP_toxspurt_clear(spurt);
      QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, kNoTokens, "");
      break;
    }
    QLTP_toxspurt_setparent(spurt, st->spurts);
    QLTP_toxspurt_setid(spurt, st->ch ? ++st->ch->spurt_counter : 1);
    QLTP_toxspurt_set_jobid(spurt, st->ch ? st->ch->jobid : nullptr);
    QLTP_toxtoken_setparent(pause, spurt);
    QLTP_toxspurt_add(spurt, pause);
    for (int i = p.first; i < p.end; ++i) {
      QLTP_toxtoken_setparent(tok(st->pending, i), spurt);
      QLTP_toxspurt_add(spurt, tok(st->pending, i));
    }
    QLTP_voidparray_add(st->spurts, spurt);
    used = p.end;
    pause = next_pause;
    if (lone_pause) break;
    toxtoken* last = tok(st->pending, p.end - 1);
    retime(spurt, last, breaks);
    if (next_pause) hand_over(st, last, next_pause);
    breaks.forget(last);
    cut_elements(last, p.end < size ? tok(st->pending, p.end) : nullptr);
  }
  return used;
}

// The "sig" copy made for each "prosody" tag, by prosody tag.
using SigMap = std::unordered_map<const toxtag*, toxtag*>;

// A "sig" copy of a "prosody" tag with a duration or a contour, in the form
// the later stages read; NULL for other prosody tags.
toxtag* make_sig(phrasing* st, toxtoken* t, toxtag* prosody, SigMap& sig_of, std::unordered_set<const toxtoken*>& scanned) {
  const char* contour = QLTP_toxtag_val(prosody, "contour");
  const char* duration = QLTP_toxtag_val(prosody, "duration");
  if (!contour && !duration) return nullptr;
  toxtag* sig = QLTP_toxpool_tag(pool_of(st));
  if (!sig) return nullptr;
  QLTP_toxtag_init(sig, t, "sig", 3, QLTP_toxtag_type(prosody));
  if (contour) {
    std::string out;
    std::vector<Item> items = contour_items(contour);
    if (!items.empty() && items.front().p > 0) out = "0% +0";
    for (const Item& item : items) {
      char converted[256];
      QLTP_rinterp_convert_relative(item.v.c_str(), nullptr, converted, sizeof converted);
      char buf[320];
      std::snprintf(buf, sizeof buf, "%s%d%% %s", out.empty() ? "" : " ",
                    static_cast<int>(std::lround(std::clamp(item.p, 0.0, 100.0))), converted);
      out += buf;
    }
    set_attrib(sig, "f0contour", out);
  } else {
    std::string_view d = text(duration);
    bool readable = !d.empty() && (QLTP_is_digit(d.front()) || d.front() == '.');
    set_attrib(sig, "duration", readable ? three_decimals(millis(duration) / 1000.0) : "");
  }
  // Chain the copy to the "sig" right after the element's tag on the previous
  // token; each previous token is read once.
  if (toxtag* fellow = QLTP_toxtag_get_fellow(prosody)) {
    auto it = sig_of.find(fellow);
    const toxtoken* previous = QLTP_toxtag_get_parent(fellow);
    if (it == sig_of.end() && previous && scanned.insert(previous).second) {
      for (int k = 0; k + 1 < tag_count(previous); ++k)
        if (named(tag_at(previous, k + 1), "sig")) sig_of.emplace(tag_at(previous, k), tag_at(previous, k + 1));
      it = sig_of.find(fellow);
    }
    if (it != sig_of.end()) {
      sig->fellow = it->second;
      sig->fellow->follower = sig;
    }
  }
  sig_of[prosody] = sig;
  return sig;
}

// Puts a "sig" copy right after each "prosody" tag of the token that has a
// duration or a contour; the tag list is written once.
void add_sigs(phrasing* st, toxtoken* t, SigMap& sig_of, std::unordered_set<const toxtoken*>& scanned) {
  std::vector<toxtag*> tags;
  int n = tag_count(t), before_mark = 0;
  bool added = false;
  for (int i = 0; i < n; ++i) {
    toxtag* tag = tag_at(t, i);
    tags.push_back(tag);
    if (!named(tag, "prosody")) continue;
    toxtag* sig = make_sig(st, t, tag, sig_of, scanned);
    if (!sig) continue;
    tags.push_back(sig);
    added = true;
    if (i + 1 < t->tagmark) ++before_mark;
  }
  if (!added) return;
  QLTP_voidparray_clear(t->tags);
  for (toxtag* tag : tags) QLTP_voidparray_add(t->tags, tag);
  t->tagmark += before_mark;
}

// Groups spurts into utterances: a group ends at a sentence break or when it
// is max_utterance_length spurts long.
void group_utterances(phrasing* st, int final) {
  QLTP_voidparray_clear(st->utterances);
  int n = QLTP_voidparray_sz(st->spurts), start = 0;
  auto close = [st](int from, int to) {
    for (int i = from; i < to; ++i) {
      toxspurt* s = QLTP_toxspurt_cast(QLTP_voidparray_idx(st->spurts, i));
      s->phrases = to - from;
      s->phrase = i - from + 1;
      QLTP_voidparray_add(st->utterances, s);
    }
  };
  for (int i = 0; i < n; ++i) {
    toxspurt* s = QLTP_toxspurt_cast(QLTP_voidparray_idx(st->spurts, i));
    voidparray* tokens = QLTP_toxspurt_tokens(s);
    const char* type = QLTP_toxtoken_tagval(tok(tokens, QLTP_voidparray_sz(tokens) - 1), "break", "type");
    if ((type && std::strcmp(type, "4") == 0) || i + 1 - start >= st->max_utterance_length) {
      close(start, i + 1);
      start = i + 1;
    }
  }
  if (final && start < n) {
    close(start, n);
    start = n;
  }
  QLTP_voidparray_delete_range(st->spurts, 0, start);
}

int setting(const channel* ch, const char* key, int otherwise) {
  const char* v = ch ? QLTP_configsettings_lookup(ch->settings, "phrasing", 8, key, static_cast<int>(std::strlen(key))) : nullptr;
  return v ? std::abs(QLTP_atoi(v, -1)) : otherwise;
}

bool flag(const channel* ch, const char* key) {
  const char* v = ch ? QLTP_configsettings_lookup(ch->settings, "phrasing", 8, key, static_cast<int>(std::strlen(key))) : nullptr;
  return v && std::strcmp(v, "True") == 0;
}

}  // namespace

phrasing* QLTP_phrasing_new(channel* ch) {
  auto* st = static_cast<phrasing*>(QLTP_calloc(sizeof(phrasing), 1));
  if (!st) return nullptr;
  st->name = "phrasing";
  st->ch = ch;
  st->state = 1;
  st->stream_start = 1;
  st->pending = QLTP_voidparray_new();
  st->spurts = QLTP_voidparray_new();
  st->scratch = QLTP_dystr_newcustom("", 0, 64, 64);
  st->phrases = QLTP_intarray_new();
  st->tag_scratch = QLTP_voidparray_new();
  st->weights = QLTP_intarray_new();
  st->max_phrase_length = setting(ch, "max_phrase_length", 30);
  st->max_utterance_length = std::max(1, setting(ch, "max_utterance_length", 10));
  st->phrase_length_window = setting(ch, "phrase_length_window", 10);
  st->ignore_newline = flag(ch, "ignore_newline");
  st->by_utterance = flag(ch, "by_utterance");
  if (st->by_utterance) st->utterances = QLTP_voidparray_new();
  if (QLTP_logger_modulelogging(QLTP_tpc_get_logger(ch))) st->module_log = QLTP_dystr_newcustom("", 0, 65536, 65536);
  if (!st->pending || !st->spurts || !st->scratch || !st->phrases || !st->tag_scratch || !st->weights ||
      (st->by_utterance && !st->utterances)) {
    QLTP_phrasing_delete(st);
    return nullptr;
  }
  QLTP_phrasing_reset_tpdb(st, ch);
  return st;
}

void QLTP_phrasing_reset(phrasing* st) {
  if (!st) return;
  if (st->state == 0) QLTP_logger_set_error(log_of(st), QLTP_ERROR_RESET_DATA_LOSS, "Phrasing context lost", "");
  st->state = 1;
  st->stream_start = 1;
  QLTP_dystr_clear(st->scratch);
  QLTP_dystr_clear(st->module_log);
  // A pause token made at a spurt end is the stage's own; the stream's tokens
  // go back to the pool with the parser's reset, which may already have
  // handed them out again.
  if (QLTP_voidparray_sz(st->pending) > 0 && tok(st->pending, 0)->parent == st->pending)
    QLTP_toxtoken_clear(tok(st->pending, 0));
  QLTP_voidparray_clear(st->pending);
  QLTP_intarray_clear(st->phrases);
  st->examined = 0;
  if (st->by_utterance) QLTP_voidparray_clear(st->spurts);
}

void QLTP_phrasing_reset_tpdb(phrasing* st, channel* ch) {
  if (!st) return;
  QLTP_pbreak_delete(st->own_breaks);
  st->own_breaks = nullptr;
  tpdb* db = ch ? ch->db : nullptr;
  st->breaks = static_cast<const pbreak*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_PBREAK:DEFAULT"));
  st->pairs = static_cast<const prules*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_PRULES:DEFAULT"));
}

void QLTP_phrasing_delete(phrasing* st) {
  if (!st) return;
  QLTP_voidparray_delete(st->pending);
  QLTP_voidparray_delete(st->spurts);
  QLTP_voidparray_delete(st->utterances);
  QLTP_dystr_delete(st->scratch);
  QLTP_dystr_delete(st->module_log);
  QLTP_pbreak_delete(st->own_breaks);
  QLTP_intarray_delete(st->phrases);
  QLTP_voidparray_delete(st->tag_scratch);
  QLTP_intarray_delete(st->weights);
  QLTP_free(st);
}

voidparray* QLTP_phrasing_process(phrasing* st, voidparray* tokens, int final) {
  if (!st) return nullptr;
  int previous_state = st->state;
  if (!st->by_utterance) QLTP_voidparray_clear(st->spurts);
  // A stream's first token, the parser's empty seed, is the first spurt's
  // leading pause: it carries what stands before the first word.
  if (QLTP_voidparray_sz(st->pending) == 0) st->examined = 0;
  for (int i = 0, n = QLTP_voidparray_sz(tokens); i < n; ++i) QLTP_voidparray_add(st->pending, QLTP_voidparray_idx(tokens, i));
  int size = QLTP_voidparray_sz(st->pending);
  // A stream of no words but marks still gives them a spurt of their own.
  bool lone_pause = final && size == 1 && tag_count(tok(st->pending, 0)) > 0;
  int n = final ? size : size - 1;
  // Each token has its breaks once: tokens held from an earlier call and the
  // pause tokens made at spurt ends are not examined again.
  int from = st->examined;
  for (int w = from; w < n; ++w) examine(st, w, final);
  if (final && n - 1 > 0 && !has_break(tok(st->pending, n - 1))) {
    int32_t level = 0, time = 0;
    raise(st, "DEFAULT", 1, level, time);
    add_break(st, tok(st->pending, n - 1), level, time);
  }
  std::vector<Phrase> phrases = force_breaks(st, n, final, find_phrases(st, n, final));
  if (lone_pause) phrases.push_back({1, 1});
  toxtoken* pause = nullptr;
  int used = make_spurts(st, phrases, final, pause);
  SigMap sig_of;
  std::unordered_set<const toxtoken*> scanned;
  for (int w = std::max(from, 1); w < n; ++w) add_sigs(st, tok(st->pending, w), sig_of, scanned);
  if (used > 0) {
    QLTP_voidparray_delete_range(st->pending, 0, used);
    if (pause) QLTP_voidparray_insert_item(st->pending, pause, 0);
    st->examined = std::max(0, n - used) + (pause ? 1 : 0);
  } else if (final && QLTP_voidparray_sz(st->pending) == 1) {
    // A final call without words: the pause goes back to the pool.
    QLTP_toxtoken_clear(tok(st->pending, 0));
    QLTP_voidparray_clear(st->pending);
    st->examined = 0;
  } else {
    st->examined = std::max(n, 0);
  }
  QLTP_tpc_log_spurts(st->ch, st->name, previous_state, st->spurts, st->module_log);
  st->state = final;
  if (final) st->stream_start = 1;
  if (!st->by_utterance) return st->spurts;
  group_utterances(st, final);
  return st->utterances;
}

int QLTP_phrasing_add_pbreak(phrasing* st, const char* path) {
  if (!st || !path) return 0;
  FILE* f = std::fopen(path, "r");
  if (!f) {
    std::printf("Can't open file: %s\n", path);
    return 0;
  }
  std::fclose(f);
  // The database's table is shared by every channel: write into a copy.
  if (!st->own_breaks) {
    st->own_breaks = st->breaks ? QLTP_pbreak_copy(st->breaks) : QLTP_pbreak_new(0);
    if (!st->own_breaks) return 0;
    st->breaks = st->own_breaks;
  }
  QLTP_pbreak_add_rules(st->own_breaks, path);
  return 1;
}

void QLTP_phrasing_set_by_utt(channel* ch) {
  phrasing* st = ch ? ch->phraser : nullptr;
  if (!st) return;
  if (!st->utterances) st->utterances = QLTP_voidparray_new();
  if (st->utterances) st->by_utterance = 1;
}

void QLTP_phrasing_unset_by_utt(channel* ch) {
  if (ch && ch->phraser) ch->phraser->by_utterance = 0;
}

int QLTP_phrasing_get_by_utt(const channel* ch) { return ch && ch->phraser ? ch->phraser->by_utterance : 0; }

namespace {

const int add_pbreak_filled = [] {
  QLTP_linguistics_maintenance().add_pbreak = [](channel* ch, const char* line) {
    return QLTP_phrasing_add_pbreak(ch ? ch->phraser : nullptr, line);
  };
  return 1;
}();

}  // namespace
