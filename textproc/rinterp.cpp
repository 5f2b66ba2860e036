#include "textproc/rinterp.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/numarray.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"
#include "foundation/xmlscan.h"
#include "textproc/nrules.h"
#include "textproc/prenorm.h"

namespace {
void* make_compiled();
void free_compiled(void* compiled);
}  // namespace

// ---------------------------------------------------------------------------
// Create, free, clear

rinterp* QLTP_rinterp_new(rinterp_context* ctx, int maxcomp, int minpos, int maxpos, int tracing, logger* log) {
  if (maxcomp < 0 || minpos > 0 || maxpos < 0) return nullptr;
  auto* in = static_cast<rinterp*>(QLTP_calloc(sizeof(rinterp), 1));
  if (!in) return nullptr;
  in->ctx = ctx;
  in->rules = ctx ? ctx->rules : nullptr;
  in->log = log;
  in->maxcomp = maxcomp;
  in->winsz = maxpos - minpos + 1;
  in->current = -minpos;
  in->outputs = QLTP_voidparray_newcustom(maxcomp, 8, 64);
  in->window = QLTP_voidparray_newcustom(in->winsz, 8, 64);
  in->marks = QLTP_intarray_newcustom(in->winsz, 8, 64);
  in->attributes = QLTP_dystrarray_new(0);
  bool ok = in->outputs && in->window && in->marks && in->attributes;
  for (int i = 0; ok && i < maxcomp; ++i) {
    dystrarray* out = QLTP_dystrarray_new(0);
    ok = out && QLTP_voidparray_add(in->outputs, out);
    if (!ok) QLTP_dystrarray_delete(out);
  }
  for (int i = 0; ok && i < in->winsz; ++i) ok = QLTP_voidparray_add(in->window, nullptr) && QLTP_intarray_add(in->marks, -1);
  if (ok && tracing) ok = (in->trace = QLTP_dystr_new("", 0)) != nullptr;
  if (ok) ok = (in->compiled = make_compiled()) != nullptr;
  if (!ok) {
    QLTP_rinterp_delete(in);
    return nullptr;
  }
  QLTP_rinterp_clear(in);
  return in;
}

void QLTP_rinterp_delete(rinterp* in) {
  if (!in) return;
  int n = QLTP_voidparray_sz(in->outputs);
  for (int i = 0; i < n; ++i) QLTP_dystrarray_delete(static_cast<dystrarray*>(QLTP_voidparray_idx(in->outputs, i)));
  QLTP_voidparray_delete(in->outputs);
  QLTP_voidparray_delete(in->window);
  QLTP_intarray_delete(in->marks);
  QLTP_dystrarray_delete(in->attributes);
  QLTP_dystr_delete(in->trace);
  free_compiled(in->compiled);
  QLTP_free(in);
}

void QLTP_rinterp_clear(rinterp* in) {
  if (!in) return;
  if (in->attributes->count) QLTP_dystrarray_clear(in->attributes, 0);
  auto* const* outputs = reinterpret_cast<dystrarray* const*>(in->outputs->storage);
  for (int i = 0; i < in->maxcomp; ++i)
    if (outputs[i]->count) QLTP_dystrarray_clear(outputs[i], 0);
  auto* marks = reinterpret_cast<int32_t*>(in->marks->storage);
  for (int i = 0; i < in->winsz; ++i) marks[i] = -1;
  in->failed = 0;
  in->ncomp = -1;
}

// ---------------------------------------------------------------------------
// Relative values

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The number of the text without its suffix; 0 when there is none.
double number_of(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  (void)p;
  return ec == std::errc() && std::isfinite(v) ? v : 0;
}

bool is_whole(double v) { return std::floor(v) == v && std::fabs(v) < 2147483647.0; }

int finish(int n, int bufsz) { return n < 0 ? 0 : (n >= bufsz ? bufsz - 1 : n); }

// "%s%d%s" when whole, else "%s%.3f%s".
int print_number(char* buf, int bufsz, const char* prefix, double v, const char* suffix) {
  if (is_whole(v)) return finish(std::snprintf(buf, bufsz, "%s%d%s", prefix, static_cast<int>(v), suffix), bufsz);
  return finish(std::snprintf(buf, bufsz, "%s%.3f%s", prefix, v, suffix), bufsz);
}

}  // namespace

int QLTP_rinterp_convert_relative(const char* text, const rinterp_range* range, char* buf, int bufsz) {
  if (!buf || bufsz <= 0) return 0;
  buf[0] = '\0';
  if (!text) return 0;
  std::string_view s(text);
  const bool plus = !s.empty() && s.front() == '+';
  const bool sign = plus || (!s.empty() && s.front() == '-');
  if (s == "+0" || s == "-0") return finish(std::snprintf(buf, bufsz, "1.0"), bufsz);
  if (ends_with(s, "Hz")) {
    double n = std::fabs(number_of(s.substr(0, s.size() - 2)));
    char lead = sign ? s.front() : 'a';
    if (is_whole(n)) return finish(std::snprintf(buf, bufsz, "%c%d", lead, static_cast<int>(n)), bufsz);
    return finish(std::snprintf(buf, bufsz, "%c%.0f", lead, std::trunc(n)), bufsz);
  }
  if (ends_with(s, "dB")) {
    double gain = std::pow(10.0, number_of(s.substr(0, s.size() - 2)) / 20.0);
    if (!std::isfinite(gain)) gain = 0;
    return finish(std::snprintf(buf, bufsz, "%.3f", gain), bufsz);
  }
  if (ends_with(s, "%")) {
    double n = number_of(s.substr(0, s.size() - 1)) / 100.0;
    return print_number(buf, bufsz, "", sign ? 1 + n : n, "");
  }
  if (s.size() > 1 && ends_with(s, "st")) return print_number(buf, bufsz, plus ? "+" : "", number_of(s.substr(0, s.size() - 2)), "st");
  double n = number_of(s);
  if (range) {
    double span = static_cast<double>(range->in_high) - range->in_low;
    // Equal input bounds map everything to the output's low end.
    n = span == 0 ? range->out_low
                  : range->out_low + (n - range->in_low) / span * (static_cast<double>(range->out_high) - range->out_low);
    if (!std::isfinite(n)) n = range->out_low;
  }
  return print_number(buf, bufsz, plus ? "+" : "", n, "");
}

// ---------------------------------------------------------------------------
// Rules

namespace {

constexpr size_t kMaxAtValue = 255;
constexpr size_t kMaxTagName = 32;
constexpr size_t kMaxTagValue = 2048;

const char* const kTypeNames[] = {"start", "end", "mid", "startend", "closed"};

// At most max bytes of s, ending on a character boundary.
std::string_view cut(std::string_view s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

bool is_ws(char c) { return QLTP_is_whitespace(c) != 0; }

// Two decimal digits at s[i], s[i + 1] of a value of len bytes; -1 when
// the value is too short or they are not digits.
int two_digits(const char* s, size_t len, size_t i) {
  if (i + 1 >= len || !QLTP_is_digit(s[i]) || !QLTP_is_digit(s[i + 1])) return -1;
  return (s[i] - '0') * 10 + (s[i + 1] - '0');
}

// The relative slot in characters 2 to 4 (sign and two digits), read only
// as far as the value goes.
int relative_slot(const char* v, size_t len) {
  int sign = len > 1 && v[1] == '-' ? -1 : 1;
  int n = 0;
  for (size_t i = 2; i < 4 && i < len && QLTP_is_digit(v[i]); ++i) n = n * 10 + (v[i] - '0');
  return sign * n;
}

// The outputs, window and marks are made with their full sizes and never
// change size: read in place on the per-token path.
dystrarray* output_of(const rinterp* in, int k) {
  if (k < 0 || k >= in->maxcomp) return nullptr;
  return reinterpret_cast<dystrarray* const*>(in->outputs->storage)[k];
}

toxtoken* slot_token(const rinterp* in, int index) {
  if (index < 0 || index >= in->winsz) return nullptr;
  return reinterpret_cast<toxtoken* const*>(in->window->storage)[index];
}

void warn(const rinterp* in, const char* message, const char* detail) {
  if (in->log) QLTP_logger_set_error(in->log, QLTP_MESSAGE_WARN, message, detail ? detail : "");
}

// Sets a name's value in the attribute list, replacing an earlier one.
void set_attribute(rinterp* in, const char* name, const char* value) {
  int n = QLTP_dystrarray_sz(in->attributes);
  for (int i = 0; i + 1 < n; i += 2) {
    if (std::strcmp(QLTP_dystrarray_idx(in->attributes, i), name) == 0) {
      QLTP_dystrarray_replace(in->attributes, i + 1, value, -1);
      return;
    }
  }
  QLTP_dystrarray_add(in->attributes, name, -1);
  QLTP_dystrarray_add(in->attributes, value, -1);
}

// The attribute pairs of each component of a buffer. The list is reused
// from rule to rule (rules are applied per token, so no allocation there).
struct Component {
  std::vector<std::pair<const char*, const char*>> attrs;
};

struct ComponentList {
  std::vector<Component> items;
  size_t n = 0;
  std::vector<Component>::const_iterator begin() const { return items.begin(); }
  std::vector<Component>::const_iterator end() const { return items.begin() + static_cast<std::ptrdiff_t>(n); }
};

const ComponentList& components(const char* buf, int32_t len) {
  thread_local ComponentList list;
  list.n = 0;
  if (!buf || len <= 0) return list;
  const char* p = buf;
  const char* end = buf + len;
  while (p < end && *p) {
    if (list.n == list.items.size()) list.items.emplace_back();
    Component& c = list.items[list.n];
    c.attrs.clear();
    while (p < end && *p) {
      const char* name = p;
      p += std::strlen(p) + 1;
      if (p >= end) return list;
      const char* value = p;
      p += std::strlen(p) + 1;
      c.attrs.emplace_back(name, value);
    }
    ++p;
    ++list.n;
  }
  return list;
}

int type_of(const char* name) {
  for (int t = 0; t < 5; ++t)
    if (std::strcmp(name, kTypeNames[t]) == 0) return t;
  return -1;
}

bool tag_test(const toxtoken* token, const char* name, const char* attribute, const char* val, int xtype) {
  int n = QLTP_toxtoken_notags(token);
  for (int i = 0; i < n; ++i) {
    const toxtag* tag = QLTP_toxtoken_tagidx(token, i);
    if (std::strcmp(QLTP_toxtag_name(tag), name) != 0) continue;
    if (attribute) {
      const char* v = QLTP_toxtag_val(tag, attribute);
      if (!v || (val && std::strcmp(v, val) != 0)) continue;
    }
    if (xtype >= 0 && tag->type != xtype) continue;
    return true;
  }
  return false;
}

toxtoken* chain_last(toxtoken* token) {
  while (token->next) token = token->next;
  return token;
}

// The same-named tag of the token before `first` is ended there: the token
// it was split from, else the one before it in the buffer (the window's
// slot before its own, with that token's continuations).
void end_previous(const rinterp* in, toxtoken* first, const char* name) {
  toxtoken* before = first->origin;
  for (int j = 1; !before && j < in->winsz; ++j) {
    if (slot_token(in, j) != first) continue;
    if (toxtoken* prev = slot_token(in, j - 1)) before = chain_last(prev);
    break;
  }
  if (!before) return;
  toxtag* t = QLTP_toxtoken_gettag(before, name);
  if (!t) return;
  switch (t->type) {
    case QLTP_TAG_START: QLTP_toxtag_settype(t, QLTP_TAG_STARTEND); break;
    case QLTP_TAG_CLOSED: QLTP_toxtoken_removetag(before, t); break;
    case QLTP_TAG_MID:
    case QLTP_TAG_END: QLTP_toxtag_settype(t, QLTP_TAG_END); break;
    default: break;
  }
}

// Applies a tag to the given tokens, a part of it on each.
void apply_tag(const rinterp* in, toxtag* tag, const std::vector<toxtoken*>& tokens, size_t from, size_t to) {
  toxpool* pool = in->ctx ? in->ctx->pool : nullptr;
  if (!tag) return;
  to = std::min(to, tokens.size());
  if (from >= to) {
    QLTP_toxtag_clear(tag);
    return;
  }
  toxtag* part = tag;
  for (size_t i = from; i < to && part; ++i) {
    toxtag* next = i + 1 < to ? QLTP_toxtag_split(pool, part) : nullptr;
    const char* name = QLTP_toxtag_name(part);
    bool single = std::strcmp(name, "break") == 0 || std::strcmp(name, "lex") == 0;
    if (single && i == from) end_previous(in, tokens[i], name);
    if (single)
      QLTP_toxtoken_replacetag(tokens[i], part);
    else
      QLTP_toxtoken_addtag(tokens[i], part);
    part = next;
  }
}

// A startend tag from the pool with the attributes of "name k=v k=v".
toxtag* inline_tag_from_attribute(toxpool* pool, std::string_view text) {
  size_t blank = text.find(' ');
  std::string_view name = text.substr(0, blank);
  if (!QLTP_xml_name(name.data(), static_cast<int>(name.size()))) return nullptr;
  toxtag* tag = QLTP_toxpool_tag(pool);
  if (!tag) return nullptr;
  QLTP_toxtag_init(tag, nullptr, name.data(), static_cast<int>(name.size()), QLTP_TAG_STARTEND);
  std::string_view rest = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
  // Blank-separated items, each split at its first "="; an item without one
  // ends the list, and the last value read runs to the end of the text.
  std::string_view key;
  size_t value_at = std::string_view::npos;
  auto add = [&](std::string_view value) {
    if (QLTP_xml_name(key.data(), static_cast<int>(key.size())))
      QLTP_toxtag_add_attrib(tag, key.data(), static_cast<int>(key.size()), value.data(),
                             static_cast<int>(value.size()));
  };
  for (size_t at = 0; at < rest.size();) {
    size_t end = std::min(rest.find(' ', at), rest.size());
    size_t eq = rest.substr(at, end - at).find('=');
    if (eq == std::string_view::npos) break;
    if (value_at != std::string_view::npos) add(rest.substr(value_at, at - 1 - value_at));
    key = rest.substr(at, eq);
    value_at = at + eq + 1;
    at = end + 1;
  }
  if (value_at != std::string_view::npos) add(rest.substr(std::min(value_at, rest.size())));
  return tag;
}

// The first place at or after a position where a text occurs in an entry.
// Positions only grow while an entry is read, so a search is made again only
// past the last place found, and a long entry is searched once in all.
class NextOf {
 public:
  NextOf(std::string_view s, std::string_view what) : s_(s), what_(what) {}
  size_t at(size_t i) {
    if (!searched_ || i < from_ || (found_ != std::string_view::npos && i > found_)) {
      found_ = s_.find(what_, i);
      from_ = i;
      searched_ = true;
    }
    return found_;
  }

 private:
  std::string_view s_, what_;
  bool searched_ = false;
  size_t from_ = 0, found_ = std::string_view::npos;
};

struct TagEnds {
  NextOf empty_end, end;
  explicit TagEnds(std::string_view s) : empty_end(s, "/>"), end(s, ">") {}
};

// An inline tag written in a replace value: "<name k='v' .../>" or "<name ...>".
// Gives the position after it, or 0 when the text at `at` ends no tag.
size_t parse_inline_tag(toxpool* pool, std::string_view s, size_t at, TagEnds& ends, toxtag** out) {
  *out = nullptr;
  size_t i = at + 1;
  while (i < s.size() && !is_ws(s[i]) && s[i] != '/' && s[i] != '<' && s[i] != '>') ++i;
  std::string_view name = s.substr(at + 1, i - at - 1);
  if (name.empty()) return 0;
  size_t close = ends.empty_end.at(i);
  size_t body_end = close, after = close + 2;
  if (close == std::string_view::npos) {
    body_end = ends.end.at(i);
    if (body_end == std::string_view::npos) return 0;
    after = body_end + 1;
  }
  name = cut(name, kMaxTagName);
  // A tag that could not be written as an element is not made.
  if (!QLTP_xml_name(name.data(), static_cast<int>(name.size()))) return after;
  toxtag* tag = QLTP_toxpool_tag(pool);
  if (!tag) return after;
  QLTP_toxtag_init(tag, nullptr, name.data(), static_cast<int>(name.size()), QLTP_TAG_STARTEND);
  const char* p = s.data() + i;
  const char* end = s.data() + body_end;
  while (p < end) {
    const char *an = nullptr, *av = nullptr;
    int anl = 0, avl = 0;
    const char* next = QLTP_get_keyval(p, static_cast<int>(end - p), &an, &anl, &av, &avl);
    if (!next) break;
    std::string_view key = cut(std::string_view(an, static_cast<size_t>(anl)), kMaxTagName);
    std::string_view val = cut(std::string_view(av, static_cast<size_t>(avl)), kMaxTagValue);
    if (QLTP_xml_name(key.data(), static_cast<int>(key.size())))
      QLTP_toxtag_add_attrib(tag, key.data(), static_cast<int>(key.size()), val.data(), static_cast<int>(val.size()));
    p = next;
  }
  *out = tag;
  return after;
}

class Writer {
 public:
  Writer(rinterp* in, toxtoken* target, bool first_write) : in_(in), target_(target), first_(first_write) {}

  // Writes the entries; the component's inline tag goes on every word.
  void write(const std::vector<std::string>& entries, toxtag* inline_tag) {
    toxpool* pool = in_->ctx ? in_->ctx->pool : nullptr;
    toxtoken* start = target_;
    toxtoken* before = nullptr;
    if (!first_) {
      bool any = false;
      for (const auto& e : entries) any |= !e.empty();
      if (!any) {
        if (inline_tag) QLTP_toxtag_clear(inline_tag);
        return;
      }
      before = chain_last(target_);
      start = QLTP_toxtoken_split(pool, before);
      if (!start) {
        warn(in_, "No tokens available truncated item", "");
        if (inline_tag) QLTP_toxtag_clear(inline_tag);
        return;
      }
      before->next = start;
    }
    start_ = start;
    for (const auto& e : entries) {
      if (e.empty()) continue;
      if (!parse(e)) break;
    }
    // Tags go on once every token exists: a token split off a tagged one
    // would carry the tag on.
    for (const Span& span : spans_) apply_tag(in_, span.tag, written_, span.from, span.to);
    apply_tag(in_, inline_tag, written_, 0, written_.size());
    if (!written_.empty()) {
      QLTP_toxtoken_truncate(written_.back());
    } else if (first_) {
      QLTP_toxtoken_set_norm(target_, "", 0);
      QLTP_toxtoken_truncate(target_);
    } else {
      QLTP_toxtoken_truncate(before);  // the new token is dropped
    }
  }

 private:
  toxpool* pool() const { return in_->ctx ? in_->ctx->pool : nullptr; }

  toxtoken* next_token() {
    if (written_.empty()) return start_;
    toxtoken* last = written_.back();
    if (last->next) return last->next;
    toxtoken* n = QLTP_toxtoken_split(pool(), last);
    if (n) last->next = n;
    return n;
  }

  bool word(std::string_view w, std::string_view rest) {
    toxtoken* t = next_token();
    if (!t) {
      std::string detail(rest);
      warn(in_, "No tokens available truncated item", detail.c_str());
      return false;
    }
    QLTP_toxtoken_set_norm(t, w.data(), static_cast<int>(w.size()));
    QLTP_dystrarray_replace(t->strings, 3, "m", 1);
    written_.push_back(t);
    return true;
  }

  // One entry; false when the pool ran out.
  bool parse(std::string_view s) {
    TagEnds ends(s);
    toxtag* pending = nullptr;
    size_t pending_from = 0;
    size_t i = 0;
    bool ok = true;
    while (ok && i < s.size()) {
      char c = s[i];
      if (is_ws(c)) {
        ++i;
        continue;
      }
      if (c == '<' && i + 1 < s.size() && s[i + 1] == '/') {
        size_t gt = ends.end.at(i);
        if (gt != std::string_view::npos) {
          // A closing tag ends the pending tag's span: later words go without it.
          close(pending, pending_from);
          pending = nullptr;
          i = gt + 1;
          continue;
        }
      }
      if (c == '<') {
        toxtag* tag = nullptr;
        size_t after = parse_inline_tag(pool(), s, i, ends, &tag);
        if (after) {
          if (pending) QLTP_toxtag_clear(pending);
          pending = tag;
          pending_from = written_.size();
          i = after;
          continue;
        }
      }
      size_t j = i + 1;
      if (c == '/' || c == '>' || c == '<') {
        while (j < s.size() && !is_ws(s[j])) ++j;
      } else {
        while (j < s.size() && !is_ws(s[j]) && s[j] != '/' && s[j] != '<' && s[j] != '>') ++j;
      }
      ok = word(s.substr(i, j - i), s.substr(i));
      i = j;
    }
    close(pending, pending_from);
    return ok;
  }

  void close(toxtag* tag, size_t from) {
    if (tag) spans_.push_back({tag, from, written_.size()});
  }

  struct Span {
    toxtag* tag;
    size_t from, to;
  };
  std::vector<Span> spans_;

  rinterp* in_;
  toxtoken* target_;
  bool first_;
  toxtoken* start_ = nullptr;
  std::vector<toxtoken*> written_;
};

// Walked record by record: indexing each entry would walk the packed array
// from its start every time, quadratic in a long rule output.
std::vector<std::string> entries_of(const dystrarray* out, int chosen) {
  std::vector<std::string> v;
  if (chosen >= 0) {
    if (const char* entry = QLTP_dystrarray_idx(out, chosen)) v.emplace_back(entry);
    return v;
  }
  for (const char* p = QLTP_dystrarray_idx(out, 0); p; p = QLTP_dystrarray_next(out, p)) v.emplace_back(p);
  return v;
}

}  // namespace

namespace {

// A match component read once: rules are applied to every token, and the
// rule set's buffers do not change while it is alive.
struct MatchComponent {
  const char* spec = nullptr;
  const char* where = nullptr;
  const char* attribute = nullptr;
  const char* val = nullptr;
  int xtype = -1;
  int slot = 0;  // window index relative to the current slot, or absolute 0
  bool relative = false;
  bool tag_test = false;
  bool regex = false;
  const QLTP_regex* re = nullptr;
  std::vector<std::pair<const char*, const char*>> others;
};

struct CompiledRules {
  const nrules* set = nullptr;
  uint64_t serial = 0;  // a set made later at the same address is another set
  std::unordered_map<const nrule*, std::vector<MatchComponent>> rules;
  // Per group, each rule's compiled match half, in group order.
  std::unordered_map<const voidparray*, std::vector<const std::vector<MatchComponent>*>> groups;
};

void* make_compiled() { return new (std::nothrow) CompiledRules; }
void free_compiled(void* compiled) { delete static_cast<CompiledRules*>(compiled); }

const std::vector<MatchComponent>& compiled_match(rinterp* in, const nrule* rule) {
  auto* cache = static_cast<CompiledRules*>(in->compiled);
  uint64_t serial = in->rules ? in->rules->serial : 0;
  if (cache->set != in->rules || cache->serial != serial) {
    cache->rules.clear();
    cache->groups.clear();
    cache->set = in->rules;
    cache->serial = serial;
  }
  auto [it, added] = cache->rules.try_emplace(rule);
  if (!added) return it->second;
  for (const Component& c : components(rule->match, rule->matchlen)) {
    MatchComponent m;
    for (const auto& [name, value] : c.attrs) {
      if (std::strcmp(name, "name") == 0) m.spec = value;
      else if (std::strcmp(name, "in") == 0) m.where = value;
      else if (std::strcmp(name, "xtype") == 0) m.xtype = type_of(value);
      else if (std::strcmp(name, "attribute") == 0) m.attribute = value;
      else if (std::strcmp(name, "val") == 0) m.val = value;
      else {
        bool replaced = false;
        for (auto& o : m.others)
          if (std::strcmp(o.first, name) == 0) replaced = (o.second = value, true);
        if (!replaced) m.others.emplace_back(name, value);
      }
    }
    if (m.where) {
      m.relative = true;
      m.slot = relative_slot(m.where, std::strlen(m.where));
    }
    if (m.spec) {
      m.tag_test = std::strncmp(m.spec, "X:", 2) == 0;
      m.regex = m.spec[0] == 'R' && std::strlen(m.spec) >= 3;
      if (m.regex) m.re = QLTP_nrules_getrgx(in->rules, m.spec + 2, -1);
    }
    it->second.push_back(std::move(m));
  }
  return it->second;
}

}  // namespace

namespace {

int apply_match(rinterp* in, const nrule* rule, const std::vector<MatchComponent>& compiled) {
  for (const MatchComponent& m : compiled) {
    ++in->ncomp;
    if (in->attributes->count) QLTP_dystrarray_clear(in->attributes, 0);
    for (const auto& [name, value] : m.others) set_attribute(in, name, value);
    const char *spec = m.spec, *where = m.where;
    dystrarray* output = output_of(in, in->ncomp);
    if (output && output->count) QLTP_dystrarray_clear(output, 0);
    if (in->failed) {
      QLTP_rinterp_trace_com_match(in, spec ? spec : "", "", output);
      continue;
    }
    // A slot outside the window holds no token.
    int index = m.relative ? in->current + m.slot : 0;
    toxtoken* token = slot_token(in, index);
    if (!token || !spec || !output) {
      in->failed = 1;
      continue;
    }
    const char* text = !where ? QLTP_toxtoken_getnorm(token)
                       : where[0] == 'T' ? QLTP_toxtoken_get(token)
                       : where[0] == 'P' ? QLTP_toxtoken_getpos(token)
                                         : QLTP_toxtoken_getnorm(token);
    if (!text) text = "";
    if (m.tag_test) {
      if (!tag_test(token, spec + 2, m.attribute, m.val, m.xtype)) in->failed = 1;
    } else if (m.regex) {
      if (!QLTP_nrules_apply_rgx(m.re, in->ovector, output, text)) in->failed = 1;
    } else if (!QLTP_nrules_apply_component(in->rules, in, spec, in->ovector, output, in->attributes, text)) {
      in->failed = 1;
    }
    if (!in->failed) QLTP_rinterp_trace_rule(in, rule->name, rule->type);
    QLTP_rinterp_trace_com_match(in, spec, text, output);
  }
  return in->failed ? 0 : 1;
}

}  // namespace

int QLTP_nrule_apply_match(rinterp* in, const nrule* rule) {
  if (!in || !rule) return 0;
  return apply_match(in, rule, compiled_match(in, rule));
}

int QLTP_nrule_apply_replace(rinterp* in, const nrule* rule) {
  if (!in || !rule) return 0;
  toxpool* pool = in->ctx ? in->ctx->pool : nullptr;
  for (const Component& c : components(rule->replace, rule->replacelen)) {
    ++in->ncomp;
    QLTP_dystrarray_clear(in->attributes, 0);
    const char *spec = "VAL", *from = nullptr, *to = nullptr, *range = nullptr, *val = nullptr,
               *attribute = nullptr;
    for (const auto& [name, value] : c.attrs) {
      if (std::strcmp(name, "name") == 0) spec = value;
      else if (std::strcmp(name, "in") == 0) from = value;
      else if (std::strcmp(name, "out") == 0) to = value;
      else if (std::strcmp(name, "range") == 0) range = value;
      else if (std::strcmp(name, "val") == 0) val = value;
      else if (std::strcmp(name, "attribute") == 0) attribute = value;
      else if (std::strcmp(name, "xtype") == 0) continue;
      else set_attribute(in, name, value);
    }
    int comp = 0, entry = 0;
    if (from) {
      size_t len = std::strlen(from);
      comp = std::max(two_digits(from, len, 1), 0);
      if (len == 7) entry = std::max(two_digits(from, len, 5), 0);
    }
    int index = 0, chosen = 0;
    if (to) {
      size_t len = std::strlen(to);
      index = in->current + relative_slot(to, len);
      if (len == 8) chosen = to[7] == 'X' ? -1 : std::max(two_digits(to, len, 6), 0);
    }
    rinterp_range rr;
    if (range) {
      float v[4];
      std::string r(range);
      for (char& ch : r)
        if (ch == ':') ch = ' ';
      int n = QLTP_strfield_floats(r.c_str(), -1, 4, v);
      if (n == 2) rr = {v[0], v[1], 0, 1};
      else if (n == 4) rr = {v[0], v[1], v[2], v[3]};
    }
    toxtoken* target = slot_token(in, index);
    dystrarray* output = output_of(in, in->ncomp);
    if (!target || !output) continue;
    bool first = QLTP_intarray_idx(in->marks, index) == -1;
    toxtag* inline_tag = nullptr;
    if (!val) {
      const dystrarray* input = output_of(in, comp);
      if (!input || entry >= QLTP_dystrarray_sz(input)) {
        warn(in, "Rules - Invalid match result replace failed", spec);
        continue;
      }
      std::string text = QLTP_dystrarray_idx(input, entry);
      QLTP_dystrarray_clear(output, 0);
      QLTP_nrules_apply_component(in->rules, in, spec, in->ovector, output, in->attributes, text.c_str());
      if (chosen >= 0 && chosen >= QLTP_dystrarray_sz(output)) {
        warn(in, "Rules - replace failed", spec);
        continue;
      }
      QLTP_intarray_replace(in->marks, index, in->ncomp);
      QLTP_rinterp_trace_com_replace(in, spec, text.c_str(), output, target);
      if (attribute && attribute[0] == '@') inline_tag = inline_tag_from_attribute(pool, attribute + 1);
      Writer(in, target, first).write(entries_of(output, chosen), inline_tag);
      continue;
    }
    bool had_sub = QLTP_toxtoken_gettag(target, "sub") != nullptr;
    std::string value = val;
    if ((val[0] == '$' || val[0] == '@') && std::strchr(val, ':')) {
      std::string_view v(val + 1);
      size_t colon = v.find(':');
      std::string tname(v.substr(0, colon)), aname(v.substr(colon + 1));
      const char* found = QLTP_toxtoken_tagval(target, tname.c_str(), aname.c_str());
      if (found && QLTP_toxtoken_gettag(target, tname.c_str())) {
        if (val[0] == '$') {
          char buf[255];
          QLTP_rinterp_convert_relative(found, &rr, buf, sizeof buf);
          value = buf;
        } else {
          value = std::string(cut(found, kMaxAtValue));
        }
      }
    }
    QLTP_dystrarray_clear(output, 0);
    if (std::strncmp(spec, "X:", 2) == 0 && attribute) {
      const char* tname = spec + 2;
      if (!QLTP_xml_name(tname, -1) || !QLTP_xml_name(attribute, -1)) {
        warn(in, "Tag or attribute with an invalid name not set", spec);
        continue;
      }
      toxtag* tag = QLTP_toxtoken_gettag(target, tname);
      if (tag) {
        QLTP_toxtag_set_attrib(tag, attribute, -1, value.c_str(), -1);
      } else if ((tag = QLTP_toxpool_tag(pool)) != nullptr) {
        bool closed = std::strcmp(tname, "break") == 0;
        QLTP_toxtag_init(tag, nullptr, tname, -1, closed ? QLTP_TAG_CLOSED : QLTP_TAG_STARTEND);
        QLTP_toxtag_set_attrib(tag, attribute, -1, value.c_str(), -1);
        if (closed)
          QLTP_toxtoken_addtag_front(target, tag);
        else
          QLTP_toxtoken_addtag(target, tag);
      }
      continue;
    }
    QLTP_dystrarray_add_delim(output, value.c_str(), static_cast<int>(value.size()), ' ');
    if (std::strncmp(spec, "X:", 2) != 0 && attribute && attribute[0] == '@')
      inline_tag = inline_tag_from_attribute(pool, attribute + 1);
    Writer(in, target, first).write(entries_of(output, -1), inline_tag);
    if (had_sub) {
      for (toxtoken* t = target; t; t = t->next) {
        std::string norm = QLTP_toxtoken_getnorm(t);
        QLTP_toxtoken_set(t, norm.c_str(), static_cast<int>(norm.size()));
        if (in->ctx && in->ctx->scratch) QLTP_toxtoken_prenorm(in->rules, in->ctx->scratch, t);
        QLTP_toxtoken_setprepunc(t, "", 0);
        QLTP_toxtoken_setpstpunc(t, "", 0);
        QLTP_toxtoken_removetag_named(t, "break");
      }
    }
    QLTP_intarray_replace(in->marks, index, in->ncomp);
    QLTP_rinterp_trace_com_replace(in, spec, "", output, target);
  }
  return 1;
}

int QLTP_rinterp_apply_rules(rinterp* in, nrules* rules, const voidparray* group) {
  if (!in || !group) return 0;
  in->rules = rules;
  int n = QLTP_voidparray_sz(group);
  // Compiling the first rule settles the cache for this rule set.
  if (n > 0) compiled_match(in, static_cast<const nrule*>(QLTP_voidparray_idx(group, 0)));
  auto* cache = static_cast<CompiledRules*>(in->compiled);
  auto [it, added] = cache->groups.try_emplace(group);
  if (added || static_cast<int>(it->second.size()) != n) {
    it->second.clear();
    for (int i = 0; i < n; ++i)
      it->second.push_back(&compiled_match(in, static_cast<const nrule*>(QLTP_voidparray_idx(group, i))));
  }
  const auto& compiled = it->second;
  for (int i = 0; i < n; ++i) {
    auto* rule = static_cast<const nrule*>(QLTP_voidparray_idx(group, i));
    QLTP_rinterp_clear(in);
    apply_match(in, rule, *compiled[static_cast<size_t>(i)]);
    if (in->failed) continue;
    QLTP_nrule_apply_replace(in, rule);
    return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Tracing

void QLTP_rinterp_set_tracing(rinterp* in, int on) {
  if (!in || (on != 0) == (in->trace != nullptr)) return;
  if (on) {
    in->trace = QLTP_dystr_new("", 0);
  } else {
    QLTP_dystr_delete(in->trace);
    in->trace = nullptr;
  }
  QLTP_logger_log(in->log, QLTP_LOGGER_DEBUG, "NORMALISE", "setting tracing",
                  on ? "tracing has been enabled" : "tracing has been disabled", "");
}

void QLTP_rinterp_trace_rule(rinterp* in, const char* name, const char* type) {
  if (!in || !in->trace) return;
  dystr* t = in->trace;
  QLTP_dystr_clear(t);
  QLTP_dystr_append4(t, "Applying: [", -1, name ? name : "", -1, "]", 1, type ? type : "", -1);
  for (int j = 0; j < in->winsz; ++j) {
    const toxtoken* token = slot_token(in, j);
    if (!token) continue;
    QLTP_dystr_append(t, " ", 1);
    QLTP_dystr_appendint(t, j - in->current);
    QLTP_dystr_append3(t, "[", 1, QLTP_toxtoken_get(token), -1, "]", 1);
  }
  QLTP_logger_set_error(in->log, QLTP_MESSAGE_INFO, "", QLTP_dystr_cstr(t));
}

void QLTP_rinterp_trace_com_match(rinterp* in, const char* spec, const char* text, const dystrarray* output) {
  if (!in || !in->trace || QLTP_logger_loglevel(in->log) >= QLTP_LOGGER_WARN) return;
  dystr* t = in->trace;
  QLTP_dystr_clear(t);
  if (!in->failed) {
    QLTP_dystr_append3(t, text, -1, " MATCHED ", -1, spec, -1);
    for (const char* p = QLTP_dystrarray_idx(output, 0); p; p = QLTP_dystrarray_next(output, p))
      QLTP_dystr_append3(t, "(", 1, p, -1, ")", 1);
    QLTP_logger_set_error(in->log, QLTP_MESSAGE_INFO, "", QLTP_dystr_cstr(t));
  } else if (QLTP_logger_loglevel(in->log) == QLTP_LOGGER_DEBUG) {
    QLTP_dystr_append3(t, text, -1, " FAILED ", -1, spec, -1);
    QLTP_logger_set_error(in->log, QLTP_MESSAGE_DEBUG, "", QLTP_dystr_cstr(t));
  }
}

void QLTP_rinterp_trace_com_replace(rinterp* in, const char* spec, const char* text, const dystrarray* output,
                                    const toxtoken* token) {
  if (!in || !in->trace) return;
  dystr* t = in->trace;
  QLTP_dystr_clear(t);
  QLTP_dystr_append3(t, text, -1, " REPLACED ", -1, spec, -1);
  for (const char* p = QLTP_dystrarray_idx(output, 0); p; p = QLTP_dystrarray_next(output, p))
    QLTP_dystr_append3(t, "(", 1, p, -1, ")", 1);
  QLTP_dystr_append(t, "RESULT=\"", -1);
  for (const toxtoken* k = token; k; k = k->next) QLTP_dystr_append2(t, " ", 1, QLTP_toxtoken_getnorm(k), -1);
  QLTP_dystr_append(t, "\"", 1);
  QLTP_logger_set_error(in->log, QLTP_MESSAGE_INFO, "", QLTP_dystr_cstr(t));
}
