#include "textproc/normalise.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/config.h"
#include "foundation/dict.h"
#include "foundation/strarray.h"
#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/regex.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"
#include "foundation/xmlscan.h"
#include "textproc/abbrev.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"
#include "textproc/prenorm.h"

namespace {

constexpr int kMarker = 3;           // the token's marker string
constexpr int kHoldBack = 3;         // tokens held back by a non-final call
constexpr size_t kCandidateMax = 79; // abbreviation candidates stay shorter
constexpr size_t kTagName = 32;
constexpr size_t kTagValue = 2048;

const QLTP_tpc_maintenance* hooks() { return QLTP_tpc_maintenance_hooks(); }

toxtoken* at(const voidparray* a, int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(a, i)); }
int size(const voidparray* a) { return QLTP_voidparray_sz(a); }

std::string_view marker(const toxtoken* t) {
  const char* m = t ? QLTP_dystrarray_idx(t->strings, kMarker) : nullptr;
  return m ? m : "";
}
void set_marker(toxtoken* t, std::string_view m) {
  QLTP_dystrarray_replace(t->strings, kMarker, m.data(), static_cast<int>(m.size()));
}
bool ready(const toxtoken* t) { return !marker(t).empty(); }

std::string_view norm(const toxtoken* t) {
  const char* s = QLTP_toxtoken_getnorm(t);
  return s ? s : "";
}
void set_norm(toxtoken* t, std::string_view s) { QLTP_toxtoken_set_norm(t, s.data(), static_cast<int>(s.size())); }
std::string_view text(const toxtoken* t) {
  const char* s = QLTP_toxtoken_get(t);
  return s ? s : "";
}
std::string_view prepunc(const toxtoken* t) {
  const char* s = QLTP_toxtoken_getprepunc(t);
  return s ? s : "";
}
std::string_view pstpunc(const toxtoken* t) {
  const char* s = QLTP_toxtoken_getpstpunc(t);
  return s ? s : "";
}

toxpool* pool_of(const normalise* n, const toxtoken* t) {
  if (t && t->home) return t->home;
  return n->ch ? n->ch->pool : nullptr;
}

// Group g of the last match, empty when unset.
std::string_view group(std::string_view subject, const int* ov, int count, int g) {
  if (g >= count || ov[2 * g] < 0) return {};
  return subject.substr(static_cast<size_t>(ov[2 * g]), static_cast<size_t>(ov[2 * g + 1] - ov[2 * g]));
}

int regex(const normalise* n, const char* name, std::string_view subject, int* ov) {
  return QLTP_nrules_rgx(n->rules, name, -1, subject.data(), static_cast<int>(subject.size()), ov);
}

bool has_regex(const normalise* n, const char* name) { return QLTP_nrules_getrgx(n->rules, name, -1) != nullptr; }

size_t char_len(std::string_view s, size_t i) {
  int k = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(s.data()) + i, s.size() - i);
  return static_cast<size_t>(k > 0 ? k : 1);
}

// Splits a continuation token off `t` into its next chain; the ready mark
// is copied.
toxtoken* split_off(normalise* n, toxtoken* t) {
  toxtoken* c = QLTP_toxtoken_split(pool_of(n, t), t);
  if (!c) return nullptr;
  c->next = t->next;
  t->next = c;
  set_marker(c, marker(t));
  return c;
}

void no_tokens(normalise* n, std::string_view rest) {
  std::string detail(rest);
  QLTP_logger_set_error(QLTP_tpc_get_logger(n->ch), QLTP_MESSAGE_WARN, "No tokens available truncated item",
                        detail.c_str());
}

// Rebuilds the buffer with every continuation token as an entry of its own
// right after the token it continues; a continuation of a ready token is
// ready.
void flatten(normalise* n) {
  QLTP_voidparray_clear(n->flatten);
  toxtoken* previous = nullptr;
  for (int i = 0; i < size(n->buffer); ++i) {
    toxtoken* head = at(n->buffer, i);
    for (toxtoken* t = head; t;) {
      toxtoken* next = t->next;
      t->next = nullptr;
      if (t != head && marker(t).empty() && ready(previous)) set_marker(t, "1");
      if (previous) QLTP_toxtoken_link(previous, t);
      QLTP_voidparray_add(n->flatten, t);
      previous = t;
      t = next;
    }
  }
  std::swap(n->buffer, n->flatten);
  QLTP_voidparray_clear(n->flatten);
}

// ---------------------------------------------------------------------------
// Punctuation

void map_unicode_punctuation(normalise* n, toxtoken* t) {
  std::string_view s = norm(t);
  std::string out;
  bool changed = false;
  for (size_t i = 0; i < s.size();) {
    size_t k = char_len(s, i);
    std::string_view c = s.substr(i, k);
    const char* v = QLTP_nrules_lkp(n->rules, "utfpunc2ascii", -1, c.data(), static_cast<int>(c.size()));
    if (v && *v) {
      out += v;
      changed = true;
    } else {
      out += c;
    }
    i += k;
  }
  if (changed) set_norm(t, out);
}

// The word-apostrophe flag of a token; updates the open-quote flag.
bool word_apostrophe(std::string_view s, int32_t* open_quote) {
  if (s.empty()) return false;
  const bool begins = s.front() == '\'';
  if (begins) *open_quote = 1;
  auto closes = [&]() {
    if (begins || *open_quote) {
      *open_quote = 0;
      return false;
    }
    return true;
  };
  if (s.back() == '\'') return closes();
  if (s.size() >= 2 && s[s.size() - 2] == '\'' && (s.back() == ',' || s.back() == '.')) return closes();
  return false;
}

void strip_punctuation(normalise* n, toxtoken* t, bool apostrophe) {
  std::string subject(norm(t));
  int ov[QLTP_REGEX_OVECSIZE];
  int count = regex(n, "punc_strip", subject, ov);
  if (count <= 0) return;
  std::string pre(group(subject, ov, count, 1)), word(group(subject, ov, count, 2)), post(group(subject, ov, count, 3));
  if (apostrophe && !post.empty() && post.front() == '\'') {
    word += '\'';
    post.erase(0, 1);
  }
  QLTP_toxtoken_setprepunc(t, pre.data(), static_cast<int>(pre.size()));
  QLTP_toxtoken_setpstpunc(t, post.data(), static_cast<int>(post.size()));
  set_norm(t, word);
}

// Splits a token into as many tokens as the full pattern matches; true
// when a token was split off.
bool strip_punctuation_full(normalise* n, toxtoken* t) {
  std::string remaining(norm(t));
  toxtoken* current = t;
  bool split = false;
  int ov[QLTP_REGEX_OVECSIZE];
  for (;;) {
    int count = regex(n, "punc_strip_full", remaining, ov);
    // A match that consumes nothing would split off the same text forever.
    if (count <= 0 || ov[1] <= 0) {
      set_norm(current, remaining);
      break;
    }
    std::string_view subject(remaining);
    std::string pre(group(subject, ov, count, 1)), word(group(subject, ov, count, 2)),
        post(group(subject, ov, count, 3));
    const int from = count > 1 && ov[2] >= 0 ? ov[2] : ov[0];
    const int to = count > 3 && ov[7] >= 0 ? ov[7] : ov[1];
    std::string whole(subject.substr(static_cast<size_t>(from), static_cast<size_t>(std::max(0, to - from))));
    std::string rest = remaining.substr(static_cast<size_t>(ov[1]));
    toxtoken* c = nullptr;
    if (!rest.empty()) {
      // The continuation takes the token's trailing punctuation and spacing.
      c = split_off(n, current);
      if (!c) no_tokens(n, rest);
    }
    QLTP_toxtoken_setprepunc(current, pre.data(), static_cast<int>(pre.size()));
    QLTP_toxtoken_setpstpunc(current, post.data(), static_cast<int>(post.size()));
    set_norm(current, word);
    QLTP_toxtoken_set(current, whole.data(), static_cast<int>(whole.size()));
    if (ov[1] > to) QLTP_toxtoken_setfeat(current, QLTP_FEAT_WHITESPACE, 1);
    if (!c) break;
    split = true;
    QLTP_toxtoken_set(c, rest.data(), static_cast<int>(rest.size()));
    current = c;
    remaining = rest;
  }
  return split;
}

// ---------------------------------------------------------------------------
// Abbreviations

const char* find_abbreviation(const normalise* n, std::string_view key, int* fullstop) {
  const int k = static_cast<int>(key.size());
  for (int i = 0, m = QLTP_abbmgr_sz(n->abbreviations); i < m; ++i)
    if (const char* e = QLTP_abbdict_lookup(QLTP_abbmgr_item_abbrev(n->abbreviations, i), key.data(), k, fullstop))
      return e;
  if (const char* e = QLTP_abbdict_lookup(n->abbrev_custom, key.data(), k, fullstop)) return e;
  return QLTP_abbdict_lookup(n->abbrev_default, key.data(), k, fullstop);
}

// Byte lengths of the first c characters of s, for c = 0 .. all.
std::vector<size_t> char_cuts(std::string_view s, bool from_end) {
  std::vector<size_t> cuts{0};
  if (!from_end) {
    for (size_t i = 0; i < s.size();) cuts.push_back(i += char_len(s, i));
  } else {
    size_t i = s.size();
    while (i > 0) {
      size_t j = i - 1;
      while (j > 0 && QLTP_u8_is_cont(static_cast<unsigned char>(s[j]))) --j;
      cuts.push_back(s.size() - j);
      i = j;
    }
  }
  return cuts;
}

// An inline tag at the start of an expansion: "<name attr='v' ...>" or
// "<name .../>". Gives the text after it (up to "</"), or the whole
// expansion when it has none.
std::string_view apply_inline_tag(normalise* n, toxtoken* t, std::string_view e) {
  if (e.size() < 2 || e[0] != '<' || !(std::isalpha(static_cast<unsigned char>(e[1])) || e[1] == '_')) return e;
  size_t name_end = e.find_first_of(" \t\r\n/<>", 1);
  if (name_end == std::string_view::npos) return e;
  size_t close = e.find("/>", name_end);
  size_t gt = e.find('>', name_end);
  size_t end, after;
  if (close != std::string_view::npos && (gt == std::string_view::npos || close < gt || gt == close + 1)) {
    end = close;
    after = close + 2;
  } else if (gt != std::string_view::npos) {
    end = gt;
    after = gt + 1;
  } else {
    return e;
  }
  std::string name(e.substr(1, std::min(name_end - 1, kTagName)));
  // Names go into the spurt XML as they are: a tag whose name is no markup
  // name is not applied (its text stays), an attribute with such a name is
  // dropped.
  logger* log = QLTP_tpc_get_logger(n->ch);
  toxtag* tag = nullptr;
  if (!QLTP_xml_name(name.data(), static_cast<int>(name.size()))) {
    QLTP_logger_set_error(log, QLTP_MESSAGE_WARN, "Inline tag with an invalid name not applied", name.c_str());
  } else {
    tag = QLTP_toxpool_tag(pool_of(n, t));
  }
  if (tag) {
    QLTP_toxtag_init(tag, nullptr, name.c_str(), -1, QLTP_TAG_STARTEND);
    std::string attrs(e.substr(name_end, end - name_end));
    const char* p = attrs.c_str();
    const char* stop = p + attrs.size();
    while (p && p < stop) {
      const char *an = nullptr, *av = nullptr;
      int anl = 0, avl = 0;
      p = QLTP_get_keyval(p, static_cast<int>(stop - p), &an, &anl, &av, &avl);
      if (!p || !an) break;
      const int nl = std::min<int>(anl, kTagName);
      if (!QLTP_xml_name(an, nl)) {
        QLTP_logger_set_error(log, QLTP_MESSAGE_WARN, "Inline tag attribute with an invalid name dropped",
                              std::string(an, static_cast<size_t>(nl)).c_str());
        continue;
      }
      QLTP_toxtag_set_attrib(tag, an, nl, av ? av : "", std::min<int>(avl, static_cast<int>(kTagValue)));
    }
    if (QLTP_toxtoken_gettag_match(t, tag)) {
      QLTP_toxtag_clear(tag);
    } else {
      QLTP_toxtoken_addtag(t, tag);
    }
  }
  std::string_view rest = e.substr(after);
  size_t closing = rest.find("</");
  return closing == std::string_view::npos ? rest : rest.substr(0, closing);
}

// Writes one word ("norm[:entry]") into a token.
void write_word(normalise* n, toxtoken* t, std::string_view word) {
  size_t colon = word.find(':');
  set_norm(t, word.substr(0, colon));
  if (colon == std::string_view::npos) return;
  std::string entry(word.substr(colon + 1));
  toxtag* lex = QLTP_toxtoken_gettag(t, "lex");
  if (!lex) {
    lex = QLTP_toxpool_tag(pool_of(n, t));
    if (!lex) {
      std::string w(word);
      QLTP_logger_set_error(QLTP_tpc_get_logger(n->ch), QLTP_MESSAGE_WARN, "No tags available lex entry tag not added",
                            w.c_str());
      return;
    }
    QLTP_toxtag_init(lex, t, "lex", -1, QLTP_TAG_STARTEND);
    QLTP_toxtoken_addtag(t, lex);
  }
  QLTP_toxtag_set_attrib(lex, "entry", -1, entry.c_str(), -1);
}

// Writes an expansion into a token and continuation tokens; true when
// continuation tokens were made.
bool write_expansion(normalise* n, toxtoken* t, std::string_view expansion) {
  std::string_view e = apply_inline_tag(n, t, expansion);
  std::vector<std::string_view> words;
  for (size_t i = 0; i < e.size();) {
    size_t b = e.find_first_not_of(" \t\r\n", i);
    if (b == std::string_view::npos) break;
    size_t end = e.find_first_of(" \t\r\n", b);
    if (end == std::string_view::npos) end = e.size();
    words.push_back(e.substr(b, end - b));
    i = end;
  }
  if (words.empty()) {
    set_norm(t, "");
    return false;
  }
  // Continuation tokens first, so that each word's entry stays its own.
  std::vector<toxtoken*> targets{t};
  for (size_t w = 1; w < words.size(); ++w) {
    toxtoken* c = split_off(n, targets.back());
    if (!c) {
      no_tokens(n, std::string_view(words[w].data(), static_cast<size_t>(e.data() + e.size() - words[w].data())));
      break;
    }
    QLTP_toxtoken_setfeat(targets.back(), QLTP_FEAT_WHITESPACE, 1);
    QLTP_toxtoken_set(c, words[w].data(), static_cast<int>(words[w].size()));
    targets.push_back(c);
  }
  for (size_t w = 0; w < targets.size(); ++w) write_word(n, targets[w], words[w]);
  const bool grew = targets.size() > 1;
  return grew;
}

struct Candidate {
  std::vector<int> tokens;  // buffer indices
  std::string text;
  std::vector<size_t> starts;  // offset of each token's piece in text
};

std::string piece_of(const toxtoken* t) {
  std::string s(prepunc(t));
  s += norm(t);
  s += pstpunc(t);
  return s;
}

void rebuild(Candidate& c, const voidparray* buffer) {
  c.text.clear();
  c.starts.clear();
  for (int i : c.tokens) {
    c.starts.push_back(c.text.size());
    c.text += piece_of(at(buffer, i));
  }
}

// Index (into c.tokens) of the token whose piece holds byte offset `off`.
size_t token_at(const Candidate& c, size_t off) {
  size_t k = 0;
  while (k + 1 < c.starts.size() && c.starts[k + 1] <= off) ++k;
  return k;
}

// Looks the candidate up and expands it; true on a hit.
bool lookup_candidate(normalise* n, Candidate& c, bool* grew) {
  if (c.tokens.empty()) return false;
  int ov[QLTP_REGEX_OVECSIZE];
  std::string lead, trail;
  int count = regex(n, "punc_strip", c.text, ov);
  if (count > 0) {
    lead = group(c.text, ov, count, 1);
    trail = group(c.text, ov, count, 3);
  } else {
    lead = prepunc(at(n->buffer, c.tokens.front()));
    trail = pstpunc(at(n->buffer, c.tokens.back()));
  }
  if (lead.size() + trail.size() > c.text.size()) trail.clear();
  const std::vector<size_t> tcuts = char_cuts(trail, true), lcuts = char_cuts(lead, false);
  for (size_t tc : tcuts) {
    for (size_t lc : lcuts) {
      if (lc + tc >= c.text.size()) continue;
      std::string_view key(c.text.data() + lc, c.text.size() - lc - tc);
      int fullstop = 0;
      const char* e = find_abbreviation(n, key, &fullstop);
      if (!e) continue;
      const size_t key_end = c.text.size() - tc;
      const size_t first = token_at(c, lc), last = token_at(c, key_end > 0 ? key_end - 1 : 0);
      toxtoken* head = at(n->buffer, c.tokens[first]);
      toxtoken* tail = at(n->buffer, c.tokens[last]);
      const std::string head_pre = c.text.substr(c.starts[first], lc - c.starts[first]);
      const size_t tail_end = last + 1 < c.starts.size() ? c.starts[last + 1] : c.text.size();
      const std::string tail_post = c.text.substr(key_end, tail_end - key_end);
      for (size_t k = first + 1; k <= last; ++k) {
        toxtoken* x = at(n->buffer, c.tokens[k]);
        set_norm(x, "");
        QLTP_toxtoken_setprepunc(x, "", 0);
        QLTP_toxtoken_setpstpunc(x, "", 0);
      }
      QLTP_toxtoken_setprepunc(head, head_pre.data(), static_cast<int>(head_pre.size()));
      if (head != tail) QLTP_toxtoken_setpstpunc(head, "", 0);
      std::string post = tail_post;
      if (fullstop && !post.empty() && post.front() == '.') post.erase(0, 1);
      QLTP_toxtoken_setpstpunc(tail, post.data(), static_cast<int>(post.size()));
      if (write_expansion(n, head, e)) *grew = true;
      return true;
    }
  }
  return false;
}

// Text written without spaces: keys made of a shorter run of the
// candidate's tokens, longest runs first, then from the left.
bool lookup_inner(normalise* n, const Candidate& c, bool* grew) {
  const size_t count = c.tokens.size();
  for (size_t len = count - 1; len >= 1 && count > 1; --len) {
    for (size_t a = 0; a + len <= count; ++a) {
      Candidate sub;
      sub.tokens.assign(c.tokens.begin() + static_cast<long>(a), c.tokens.begin() + static_cast<long>(a + len));
      rebuild(sub, n->buffer);
      if (lookup_candidate(n, sub, grew)) return true;
    }
  }
  return false;
}

// Expands abbreviations over the ready tokens. A candidate still open at
// the end of the ready tokens of a non-final call is held back whole.
void expand_abbreviations(normalise* n, int final) {
  const std::string_view lang = n->language ? n->language : "";
  const bool inner_keys = lang == "zh" || lang == "ja";
  Candidate c;
  bool grew = false;
  int nready = 0;
  while (nready < size(n->buffer) && ready(at(n->buffer, nready))) ++nready;
  for (int i = 0; i < nready; ++i) {
    toxtoken* t = at(n->buffer, i);
    std::string piece = piece_of(t);
    if (piece.size() >= kCandidateMax) {
      std::printf("WARNING: token '%s' too long for abbreviations reduction.\n", std::string(text(t)).c_str());
      c = Candidate{};
      continue;
    }
    if (piece.empty() && c.tokens.empty()) continue;
    while (!c.tokens.empty() && c.text.size() + piece.size() >= kCandidateMax) {
      c.tokens.erase(c.tokens.begin());
      rebuild(c, n->buffer);
    }
    c.tokens.push_back(i);
    c.starts.push_back(c.text.size());
    c.text += piece;
    toxtoken* next = i + 1 < size(n->buffer) ? at(n->buffer, i + 1) : nullptr;
    const bool spaced = QLTP_toxtoken_getfeat(t, QLTP_FEAT_WHITESPACE) || QLTP_toxtoken_getfeat(t, QLTP_FEAT_LINEBREAK) ||
                        (next && QLTP_toxtoken_getfeat(next, QLTP_FEAT_LINEBREAK));
    const bool end = !next && final;
    bool alpha_next = false;
    if (next && !spaced) {
      std::string nn(norm(next));
      alpha_next = !nn.empty() && regex(n, "alpha", nn, nullptr) > 0;
    }
    if (!spaced && !end && !alpha_next) continue;
    bool hit = lookup_candidate(n, c, &grew);
    if (!hit && inner_keys) hit = lookup_inner(n, c, &grew);
    if (hit || spaced || end) c = Candidate{};
  }
  // Tokens of an open candidate wait for the tokens that may complete it.
  if (!final && nready < size(n->buffer))
    for (int i : c.tokens) set_marker(at(n->buffer, i), "");
  if (grew) flatten(n);
}

// ---------------------------------------------------------------------------
// Rules

void warn(normalise* n, const char* message, const char* detail) {
  QLTP_logger_set_error(QLTP_tpc_get_logger(n->ch), QLTP_MESSAGE_WARN, message, detail);
}

// Whether a group's rules look at the token: tagged tokens for the markup
// groups, else tokens with text that are not plain words.
bool rules_apply(const toxtoken* t, bool ssml) {
  if (ssml && QLTP_toxtoken_notags(t) > 0) return true;
  if (norm(t).empty()) return false;
  auto f = [t](int i) { return QLTP_toxtoken_getfeat(t, i) != 0; };
  const bool letters_only = !f(QLTP_FEAT_OTHER) && !f(QLTP_FEAT_CONVERTED) && f(QLTP_FEAT_ALPHA);
  return !(letters_only && (f(QLTP_FEAT_CAPITALISED) || !f(QLTP_FEAT_DOWNCASED)));
}

// Runs the groups of the ordering "default" over the ready tokens.
void apply_rule_groups(normalise* n) {
  nrules* rules = n->rules;
  const int order = QLTP_dict_lookup_word(rules->ordering_names, "default", -1);
  auto* names = order > 0 ? static_cast<strarray*>(QLTP_voidparray_idx(rules->orderings, order - 1)) : nullptr;
  if (!names) {
    warn(n, "Invalid rule ordering", "default");
    return;
  }
  if (!n->interp) return;
  for (int g = 0; g < QLTP_strarray_sz(names); ++g) {
    const char* name = QLTP_strarray_idx(names, g);
    const int id = QLTP_dict_lookup_word(rules->group_names, name, -1);
    auto* group = id > 0 ? static_cast<voidparray*>(QLTP_voidparray_idx(rules->groups, id - 1)) : nullptr;
    if (!group) {
      warn(n, "Invalid rule group", name);
      continue;
    }
    const bool ssml = std::strncmp(name, "ssml", 4) == 0;
    for (int i = 0; i < size(n->buffer) && ready(at(n->buffer, i)); ++i) {
      if (!rules_apply(at(n->buffer, i), ssml)) continue;
      for (int k = 0; k < n->interp->winsz; ++k) {
        const int j = i + k - n->interp->current;
        QLTP_voidparray_replace(n->interp->window, k, j >= 0 && j < size(n->buffer) ? at(n->buffer, j) : nullptr);
      }
      QLTP_rinterp_apply_rules(n->interp, rules, group);
    }
    if (ssml) flatten(n);
  }
}

// ---------------------------------------------------------------------------
// Lifecycle helpers

void free_interpreter(normalise* n) {
  QLTP_rinterp_delete(n->interp);
  n->interp = nullptr;
}

// A new interpreter sized by the rule set alone.
void make_interpreter(normalise* n, int tracing) {
  free_interpreter(n);
  int maxcomp = 0, minpos = 0, maxpos = 0;
  QLTP_nrules_update_buffersz(n->rules, &maxcomp, &minpos, &maxpos);
  n->context.rules = n->rules;
  n->interp = QLTP_rinterp_new(&n->context, maxcomp, minpos, maxpos, tracing, QLTP_tpc_get_logger(n->ch));
}

void undo_rules_override(normalise* n, bool* restored) {
  if (n->rules_overridden) {
    QLTP_nrules_delete(n->rules);
    n->rules = n->saved_rules;
    n->saved_rules = nullptr;
    n->rules_overridden = 0;
    *restored = true;
  }
  if (n->default_overridden) {
    QLTP_abbdict_delete(n->abbrev_default);
    n->abbrev_default = n->saved_default;
    n->saved_default = nullptr;
    n->default_overridden = 0;
    *restored = true;
  }
}

void undo_custom_override(normalise* n) {
  if (!n->custom_overridden) return;
  QLTP_abbdict_delete(n->abbrev_custom);
  n->abbrev_custom = n->saved_custom;
  n->saved_custom = nullptr;
  n->custom_overridden = 0;
}

// Returns the buffered tokens (and their chains) to the pool.
void drop_buffer(normalise* n) {
  for (int i = 0; i < size(n->buffer); ++i) QLTP_toxtoken_clear(at(n->buffer, i));
  QLTP_voidparray_clear(n->buffer);
}

int lexicon_test(lexmgr* mgr, void* lookup, const char* lexicon, const char* word) {
  const QLTP_tpc_maintenance* m = hooks();
  return m && m->lexicon_test ? m->lexicon_test(mgr, lookup, lexicon, word) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle

normalise* QLTP_normalise_new(channel* ch) {
  if (!ch || !ch->db) return nullptr;
  auto* n = static_cast<normalise*>(QLTP_calloc(sizeof(normalise), 1));
  if (!n) return nullptr;
  n->name = "normalise";
  n->ch = ch;
  const char* active = QLTP_configsettings_lookup(ch->settings, "normalise", -1, "active", -1);
  n->active = !(active && std::strcmp(active, "False") == 0);
  const char* trace = QLTP_configsettings_lookup(ch->settings, "normalise", -1, "trace", -1);
  n->tracing = trace && std::atoi(trace) != 0;
  n->scratch = QLTP_dystr_new("", 0);
  n->buffer = QLTP_voidparray_newcustom(128, 128, 128);
  n->flatten = QLTP_voidparray_newcustom(128, 128, 128);
  n->output = QLTP_voidparray_newcustom(128, 128, 128);
  if (QLTP_logger_modulelogging(QLTP_tpc_get_logger(ch))) n->modlog = QLTP_dystr_newcustom(nullptr, 0, 65536, 65536);
  if (!n->scratch || !n->buffer || !n->flatten || !n->output) {
    QLTP_normalise_delete(n);
    return nullptr;
  }
  const QLTP_tpc_maintenance* m = hooks();
  if (m && m->new_disambiguation) n->disam = m->new_disambiguation(ch);
  n->state = 0;
  QLTP_normalise_reset(n);
  QLTP_normalise_reset_tpdb(n, ch);
  return n;
}

void QLTP_normalise_reset_tpdb(normalise* n, channel* ch) {
  if (!n || !ch) return;
  n->ch = ch;
  // Overrides end with the database they were made over.
  bool restored = false;
  undo_rules_override(n, &restored);
  undo_custom_override(n);
  n->language = QLTP_tpdb_header_val(ch->db, "LANGUAGE", -1);
  n->region = QLTP_tpdb_header_val(ch->db, "REGION", -1);
  n->rules = static_cast<nrules*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_NRULES:DEFAULT"));
  n->abbrev_default = static_cast<abbdict*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_ABBREV:DEFAULT"));
  n->abbrev_custom = static_cast<abbdict*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_ABBREV:CUSTOM"));
  QLTP_abbmgr_delete(n->abbreviations);
  n->abbreviations = QLTP_abbmgr_new();
  const QLTP_tpc_maintenance* m = hooks();
  if (n->lexlookup && m && m->delete_lexlookup) m->delete_lexlookup(n->lexlookup);
  n->lexlookup = nullptr;
  n->lexicons = ch->lexicon_manager;
  if (n->lexicons && m && m->new_lexlookup) n->lexlookup = m->new_lexlookup(n->lexicons);
  n->context.pool = ch->pool;
  n->context.scratch = n->scratch;
  n->context.lexicons = n->lexlookup ? n->lexicons : nullptr;
  n->context.lexlookup = n->lexlookup;
  n->context.lexicon_test = lexicon_test;
  make_interpreter(n, n->tracing);
  if (n->disam && m && m->reset_tpdb_disambiguation) m->reset_tpdb_disambiguation(n->disam, ch);
}

void QLTP_normalise_reset(normalise* n) {
  if (!n) return;
  if (n->state == 0)
    QLTP_logger_set_error(QLTP_tpc_get_logger(n->ch), QLTP_ERROR_RESET_DATA_LOSS, "Normalise context lost", "");
  n->state = 1;
  if (n->modlog) QLTP_dystr_clear(n->modlog);
  drop_buffer(n);
  n->open_quote = 0;
  const QLTP_tpc_maintenance* m = hooks();
  if (n->disam && m && m->reset_disambiguation) m->reset_disambiguation(n->disam);
}

void QLTP_normalise_delete(normalise* n) {
  if (!n) return;
  bool restored = false;
  undo_rules_override(n, &restored);
  undo_custom_override(n);
  free_interpreter(n);
  const QLTP_tpc_maintenance* m = hooks();
  if (n->disam && m && m->delete_disambiguation) m->delete_disambiguation(n->disam);
  if (n->lexlookup && m && m->delete_lexlookup) m->delete_lexlookup(n->lexlookup);
  QLTP_abbmgr_delete(n->abbreviations);
  QLTP_dystr_delete(n->scratch);
  QLTP_dystr_delete(n->modlog);
  QLTP_voidparray_delete(n->buffer);
  QLTP_voidparray_delete(n->flatten);
  QLTP_voidparray_delete(n->output);
  QLTP_free(n);
}

// ---------------------------------------------------------------------------
// Overrides

nrules* QLTP_normalise_override_rules(normalise* n, const char* rules_text, const char* abbrev_text) {
  if (!n || !rules_text || !abbrev_text) return nullptr;
  nrules* set = QLTP_deserialise_nrules(QLTP_tpc_get_logger(n->ch), rules_text);
  if (!set) return nullptr;
  abbdict* dict = QLTP_deserialise_abbrev(abbrev_text);
  if (!dict) {
    QLTP_nrules_delete(set);
    return nullptr;
  }
  bool restored = false;
  undo_rules_override(n, &restored);
  n->saved_rules = n->rules;
  n->rules = set;
  n->rules_overridden = 1;
  n->saved_default = n->abbrev_default;
  n->abbrev_default = dict;
  n->default_overridden = 1;
  make_interpreter(n, 1);
  const QLTP_tpc_maintenance* m = hooks();
  if (n->disam && m && m->override_disambiguation_rules) m->override_disambiguation_rules(n->disam, n->rules);
  return set;
}

int QLTP_normalise_reset_rules(normalise* n) {
  if (!n) return 0;
  bool restored = false;
  const bool rules = n->rules_overridden;
  undo_rules_override(n, &restored);
  if (rules) {
    const QLTP_tpc_maintenance* m = hooks();
    if (n->disam && m && m->override_disambiguation_rules) m->override_disambiguation_rules(n->disam, n->rules);
    make_interpreter(n, n->tracing);
  }
  return restored ? 1 : 0;
}

int QLTP_normalise_override_abbrev(normalise* n, const char* path) {
  if (!n || !path) return 0;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  abbdict* d = QLTP_abbrev_loadcustom(f, -1);
  std::fclose(f);
  if (!d) return 0;
  undo_custom_override(n);
  n->saved_custom = n->abbrev_custom;
  n->abbrev_custom = d;
  n->custom_overridden = 1;
  return 1;
}

int QLTP_normalise_add_abbreviation(normalise* n, const char* abbreviation, const char* expansion, int fullstop) {
  if (!n || !n->abbreviations || !abbreviation || !expansion) return 0;
  if (QLTP_abbmgr_sz(n->abbreviations) == 0) {
    abbdict* d = QLTP_abbdict_new(64);
    if (!d || !QLTP_abbmgr_insert(n->abbreviations, "channel", d, 1, 0)) return 0;
  }
  return QLTP_abbdict_add(QLTP_abbmgr_item_abbrev(n->abbreviations, 0), abbreviation, -1, expansion, -1, fullstop);
}

void QLTP_normaliser_set_tracing(normalise* n, int on) {
  if (!n) return;
  n->tracing = on ? 1 : 0;
  QLTP_rinterp_set_tracing(n->interp, n->tracing);
}

toxpool* QLTP_normalise_get_toxpool(const normalise* n) { return n && n->ch ? n->ch->pool : nullptr; }

// ---------------------------------------------------------------------------
// Processing

voidparray* QLTP_normalise_process(normalise* n, voidparray* tokens, int final) {
  if (!n) return nullptr;
  QLTP_voidparray_clear(n->output);
  if (n->interp && n->interp->trace) QLTP_dystr_clear(n->interp->trace);
  try {
    // 1. Take the new tokens in after those held back.
    for (int i = 0; i < size(tokens); ++i) {
      toxtoken* t = at(tokens, i);
      if (!t) continue;
      if (i == 0 && size(n->buffer) > 0) QLTP_toxtoken_link(at(n->buffer, size(n->buffer) - 1), t);
      QLTP_voidparray_add(n->buffer, t);
    }
    // 2. Every token starts again from its text; mark the ready ones.
    const int count = size(n->buffer);
    const int nready = final ? count : std::max(0, count - kHoldBack);
    for (int i = 0; i < count; ++i) {
      toxtoken* t = at(n->buffer, i);
      QLTP_toxtoken_check(t);
      set_norm(t, text(t));
      set_marker(t, i < nready ? "1" : "");
    }
    const bool active = n->active && n->rules;
    std::unordered_map<const toxtoken*, int32_t> quote_after;
    if (active) {
      // 4. Unicode punctuation.
      for (int i = 0; i < count; ++i) map_unicode_punctuation(n, at(n->buffer, i));
      // 5-7. Apostrophes and punctuation. The open-quote flag carried to
      // the next call is the one after the last token handed on: the tokens
      // held back are read again then, from the flag before them.
      const bool full = has_regex(n, "punc_strip_full");
      int32_t quote = n->open_quote;
      bool split = false;
      for (int i = 0; i < count; ++i) {
        toxtoken* t = at(n->buffer, i);
        const bool apostrophe = word_apostrophe(norm(t), &quote);
        quote_after[t] = quote;
        if (!full) {
          strip_punctuation(n, t, apostrophe);
        } else if (i < nready) {
          split |= strip_punctuation_full(n, t);
        }
      }
      if (split) flatten(n);
      // 8. Abbreviations.
      expand_abbreviations(n, final);
      // 9. Pre-normalisation.
      for (int i = 0; i < size(n->buffer); ++i) QLTP_toxtoken_prenorm(n->rules, n->scratch, at(n->buffer, i));
      // 10. Rules.
      apply_rule_groups(n);
      // 11. Word segmentation.
      const std::string_view lang = n->language ? n->language : "";
      const QLTP_tpc_maintenance* m = hooks();
      if ((lang == "zh" || lang == "ja" || lang == "sv") && n->disam && m && m->process_disambiguation) {
        m->process_disambiguation(n->disam, n->buffer, final);
        flatten(n);
      }
    }
    // 12. Hand the ready tokens on.
    int handed = 0;
    toxtoken* previous = nullptr;
    while (handed < size(n->buffer) && ready(at(n->buffer, handed))) {
      toxtoken* t = at(n->buffer, handed++);
      while (t) {
        toxtoken* next = t->next;
        t->next = nullptr;
        QLTP_toxtoken_link(previous, t);
        QLTP_voidparray_add(n->output, t);
        previous = t;
        t = next;
      }
    }
    for (int i = 0; i < handed; ++i) {
      const auto found = quote_after.find(at(n->buffer, i));
      if (found != quote_after.end()) n->open_quote = found->second;
    }
    if (handed < size(n->buffer)) QLTP_toxtoken_link(nullptr, at(n->buffer, handed));
    QLTP_voidparray_delete_range(n->buffer, 0, handed);
    // 13. Module log.
    if (n->modlog) {
      QLTP_dystr_clear(n->modlog);
      QLTP_toxstream_print(n->output, n->modlog);
      QLTP_logger_logmodule(QLTP_tpc_get_logger(n->ch), n->ch->jobid, n->name, n->state,
                            QLTP_dystr_cstr(n->modlog));
    }
  } catch (...) {
  }
  n->state = final;
  return n->output;
}
