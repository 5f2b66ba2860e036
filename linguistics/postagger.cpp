#include "linguistics/postagger.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/regex.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/utf8.h"
#include "linguistics/pipeline.h"
#include "textproc/channel.h"
#include "textproc/normalise.h"
#include "textproc/nrules.h"

namespace {

constexpr int kMaxShortString = 255;

// Appends s with the bytes that separate key parts and items written as
// character references; bytes of multi-byte characters pass unchanged.
void escape_to(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '#': out += "&#35;"; break;
      case '&': out += "&amp;"; break;
      case ':': out += "&#58;"; break;
      case '_': out += "&#95;"; break;
      case '|': out += "&#124;"; break;
      default: out += c;
    }
  }
}

// The code point of a character reference's digits, or -1 for digits that
// name no character (none, a non-digit, NUL, a surrogate, beyond U+10FFFF).
int64_t reference_code(std::string_view digits) {
  int base = 10;
  if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
    base = 16;
    digits.remove_prefix(1);
  }
  if (digits.empty()) return -1;
  int64_t cp = 0;
  for (char c : digits) {
    int v = c >= '0' && c <= '9' ? c - '0'
            : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
    if (v < 0 || v >= base) return -1;
    cp = cp * base + v;
    if (cp > 0x10FFFF) return -1;  // also ends any run that would overflow
  }
  if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  return cp;
}

// Replaces the five predefined entities and character references by their
// characters and drops every other «&name;»; from an '&' with no ';' after
// it the rest is copied as it is.
std::string unescape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (s[i] != '&') {
      out += s[i++];
      continue;
    }
    size_t semi = s.find(';', i + 1);
    if (semi == std::string_view::npos) {
      out.append(s.substr(i));
      break;
    }
    std::string_view name = s.substr(i + 1, semi - i - 1);
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"quot", '"'}, {"apos", '\''}, {"lt", '<'}, {"gt", '>'}, {"amp", '&'}};
    for (auto [n, c] : kNamed)
      if (name == n) out += c;
    if (!name.empty() && name[0] == '#') {
      int64_t cp = reference_code(name.substr(1));
      if (cp > 0) QLTP_utf8_append(out, static_cast<uint32_t>(cp));
    }
    i = semi + 1;
  }
  return out;
}

template <typename Fn>
void for_each_line(std::string_view text, Fn line) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  int len = 0;
  const char* f = QLTP_strfield(line.data(), static_cast<int>(line.size()), 0, &len);
  while (f && len > 0) {
    out.emplace_back(f, static_cast<size_t>(len));
    f = QLTP_strfield_next(line.data(), static_cast<int>(line.size()), f + len, &len);
  }
  return out;
}

// Adds a key with its tag string, or gives an existing key the new one, so
// that key id k always owns tag string k - 1.
bool set_entry(pos* d, std::string_view key, std::string_view tags) {
  if (key.empty() || key.size() > INT32_MAX || tags.size() > INT32_MAX) return false;
  int klen = static_cast<int>(key.size()), tlen = static_cast<int>(tags.size());
  int id = QLTP_dict_lookup_word(d->keys, key.data(), klen);
  if (id) return QLTP_strarray_replace(d->tags, id - 1, tags.data(), tlen) != 0;
  if (QLTP_strarray_sz(d->tags) != QLTP_dict_size(d->keys)) return false;
  // The tag string goes in first: a key without one could not be taken back.
  if (!QLTP_strarray_add(d->tags, tags.data(), tlen)) return false;
  if (QLTP_dict_add_entry(d->keys, key.data(), klen)) {
    d->context_keys += key.find('_') != std::string_view::npos;
    return true;
  }
  QLTP_strarray_remove_item(d->tags, QLTP_strarray_sz(d->tags) - 1);
  return false;
}

// One item «N:TAGS|FORM» of an entry line: the key (FORM's first N parts,
// every part "X" standing for the word) and TAGS; false when it does not fit.
bool entry_item(std::string_view word, std::string_view item, std::string& key, std::string& tags) {
  size_t colon = item.find(':');
  size_t bar = colon == std::string_view::npos ? colon : item.find('|', colon + 1);
  if (bar == std::string_view::npos) return false;
  std::string_view count = item.substr(0, colon), form = item.substr(bar + 1);
  tags = unescape(item.substr(colon + 1, bar - colon - 1));
  int n = count.empty() || count.size() > 9 ? 0 : QLTP_atoi(count.data(), static_cast<int>(count.size()));
  for (char c : count)
    if (!QLTP_is_digit(c)) n = 0;
  if (n <= 0) return false;
  if (n == 1) {
    key.assign(word);
    return form == "X";
  }
  key.clear();
  for (int part = 0; part < n; ++part) {
    size_t end = form.find('_');
    std::string_view p = form.substr(0, end);
    if (part) key += '_';
    key.append(p == "X" ? word : p);
    form = end == std::string_view::npos ? std::string_view() : form.substr(end + 1);
    if (end == std::string_view::npos && part + 1 < n) return false;
  }
  return true;
}

void parse_pos(pos* d, std::string_view text) {
  int section = 0;
  std::string key, tags;
  for_each_line(text, [&](std::string_view line) {
    if (line.empty() || line[0] == '#') {
      ++section;
      return;
    }
    std::vector<std::string_view> f = fields(line);
    if (section == 0) {
      if (f.size() < 2) return;
      std::string tag = unescape(f[1]);
      QLTP_free(d->default_tag);
      d->default_tag = QLTP_strndup(tag.data(), static_cast<int>(tag.size()));
    } else if (section == 1) {
      if (f.size() < 3) return;
      std::string pattern(1, f[0][0]);
      pattern.append(f[1]);
      std::string tag = unescape(f[2]);
      if (QLTP_dystrarray_add(d->affix_patterns, pattern.data(), static_cast<int>(pattern.size())) &&
          !QLTP_dystrarray_add(d->affix_tags, tag.data(), static_cast<int>(tag.size())))
        QLTP_dystrarray_remove(d->affix_patterns, QLTP_dystrarray_sz(d->affix_patterns) - 1);
    } else if (section == 3) {
      for (size_t i = 1; i < f.size(); ++i) {
        if (f[i].find(':') == std::string_view::npos || f[i].find('|') == std::string_view::npos) continue;
        if (!entry_item(f[0], f[i], key, tags)) {
          std::cerr << "Invalid token encountered in POS: " << f[i] << "\n";
          continue;
        }
        set_entry(d, key, tags);
      }
    }
  });
}

// Mode 0: default tag, then the first affix rule that matches, then the
// word's own entry.
const char* word_tag(const pos* d, std::string_view word) {
  const char* tag = d->default_tag ? d->default_tag : "";
  const char* pattern = QLTP_dystrarray_idx(d->affix_patterns, 0);
  const char* affix_tag = QLTP_dystrarray_idx(d->affix_tags, 0);
  for (; pattern && affix_tag; pattern = QLTP_dystrarray_next(d->affix_patterns, pattern),
                               affix_tag = QLTP_dystrarray_next(d->affix_tags, affix_tag)) {
    std::string_view affix(pattern);
    if (affix.empty()) continue;
    char kind = affix[0];
    affix.remove_prefix(1);
    bool match = (kind == 'W' && word == affix) || (kind == 'P' && word.starts_with(affix)) ||
                 (kind == 'S' && word.size() > affix.size() && word.ends_with(affix));
    if (match) {
      tag = affix_tag;
      break;
    }
  }
  // The word as written; then its escaped form, which is how a text file
  // writes the key of a word holding '_' and the like.
  int id = QLTP_dict_lookup_word(d->keys, word.data(), static_cast<int>(word.size()));
  if (!id) {
    std::string key;
    escape_to(key, word);
    if (key != word) id = QLTP_dict_lookup_word(d->keys, key.data(), static_cast<int>(key.size()));
  }
  if (id && id <= QLTP_strarray_sz(d->tags)) tag = QLTP_strarray_idx(d->tags, id - 1);
  return tag;
}

void* read_pos(FILE* f, int swap) { return QLTP_pos_read(f, swap); }

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

namespace {

// The key count sizes the dictionary's buckets, which its stored form keeps:
// a dictionary made for few keys stays slow to search once loaded.
pos* new_pos(int hint) {
  auto* d = static_cast<pos*>(QLTP_calloc(sizeof(pos), 1));
  if (!d) return nullptr;
  d->default_tag = QLTP_strndup("", 0);
  d->affix_patterns = QLTP_dystrarray_new(0);
  d->affix_tags = QLTP_dystrarray_new(0);
  d->keys = QLTP_dict_new_empty(hint);
  d->tags = QLTP_strarray_new();
  d->scratch = QLTP_dystr_new(nullptr, 0);
  if (!d->default_tag || !d->affix_patterns || !d->affix_tags || !d->keys || !d->tags || !d->scratch) {
    QLTP_pos_delete(d);
    return nullptr;
  }
  return d;
}

// Items of a text: at most one key per blank-separated field.
int key_hint(std::string_view text) {
  size_t fields = static_cast<size_t>(std::count(text.begin(), text.end(), ' ')) +
                  static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  return static_cast<int>(std::min<size_t>(fields + 1, 1 << 22));
}

}  // namespace

pos* QLTP_pos_new() { return new_pos(0); }

void QLTP_pos_delete(pos* d) {
  if (!d) return;
  QLTP_free(d->default_tag);
  QLTP_dystrarray_delete(d->affix_patterns);
  QLTP_dystrarray_delete(d->affix_tags);
  QLTP_dict_delete(d->keys);
  QLTP_strarray_delete(d->tags);
  QLTP_dystr_delete(d->scratch);
  QLTP_free(d);
}

// ---------------------------------------------------------------------------
// Text form

pos* QLTP_deserialise_pos(const char* text) {
  if (!text) return nullptr;
  pos* d = new_pos(key_hint(text));
  if (d) parse_pos(d, text);
  return d;
}

pos* QLTP_postags_readtxt(const char* path) {
  std::string text;
  if (!path || !QLTP_read_text_file(path, text)) return nullptr;
  pos* d = new_pos(key_hint(text));
  if (d) parse_pos(d, text);
  return d;
}

// ---------------------------------------------------------------------------
// Lookups

const char* QLTP_pos_getpos(dystr* scratch, const pos* dictionary, const char* previous_tag, const char* word,
                            const char** out) {
  if (out) *out = "";
  if (!dictionary || !word) return "";
  const char* tag = word_tag(dictionary, word);
  if (out) *out = tag;
  std::string key;
  escape_to(key, previous_tag ? previous_tag : "");
  key += '_';
  escape_to(key, word);
  if (scratch) QLTP_dystr_replace(scratch, key.data(), static_cast<int>(key.size()));
  int id = QLTP_dict_lookup_word(dictionary->keys, key.data(), static_cast<int>(key.size()));
  if (id && id <= QLTP_strarray_sz(dictionary->tags)) return QLTP_strarray_idx(dictionary->tags, id - 1);
  return tag;
}

const char* QLTP_regexpostagger_match(const char* word, const strarray* patterns, const intarray* kinds,
                                      const strarray* tags) {
  if (!word) return "";
  std::string_view w(word);
  int n = std::min({QLTP_strarray_sz(patterns), QLTP_intarray_sz(kinds), QLTP_strarray_sz(tags)});
  for (int i = 0; i < n; ++i) {
    std::string_view p(QLTP_strarray_idx(patterns, i));
    int kind = QLTP_intarray_idx(kinds, i);
    if ((kind == 2 && w == p) || (kind == 0 && w.starts_with(p)) ||
        (kind == 1 && p.size() < w.size() && w.ends_with(p)))
      return QLTP_strarray_idx(tags, i);
  }
  return "";
}

// ---------------------------------------------------------------------------
// Stored form

pos* QLTP_pos_read(FILE* file, int swap) {
  if (!file) return nullptr;
  auto* d = static_cast<pos*>(QLTP_calloc(sizeof(pos), 1));
  if (!d) return nullptr;
  char tag[kMaxShortString + 1];
  int len = 0;
  bool ok = QLTP_char255_read(file, tag, &len) == len + 1 && (d->default_tag = QLTP_strndup(tag, len)) &&
            QLTP_dystrarray_read(file, &d->affix_patterns, swap) &&
            QLTP_dystrarray_read(file, &d->affix_tags, swap) && QLTP_dict_read(file, &d->keys, swap) &&
            QLTP_strarray_read(file, &d->tags, swap) && (d->scratch = QLTP_dystr_new(nullptr, 0));
  ok = ok && QLTP_dystrarray_sz(d->affix_patterns) == QLTP_dystrarray_sz(d->affix_tags) &&
       QLTP_dict_size(d->keys) == QLTP_strarray_sz(d->tags);
  if (!ok) {
    QLTP_pos_delete(d);
    return nullptr;
  }
  for (int id = 1, n = QLTP_dict_size(d->keys); id <= n; ++id)
    d->context_keys += std::strchr(QLTP_dict_lookup_index(d->keys, id), '_') != nullptr;
  return d;
}

pos* QLTPPy_pos_load(const char* path) { return QLTP_read_path(path, QLTP_pos_read); }

int QLTPPy_postags_write(const pos* dictionary, QLTP_fixedbuf* buffer) {
  return QLTP_fixedbuf_write_object(dictionary, buffer, QLTP_tpobj_postags_write);
}

void* QLTP_tpobj_postags_load(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_object(db, offset, "TPOBJ_POSTAGS", read_pos, QLTP_tpobj_postags_delete);
}
int QLTP_tpobj_postags_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_postags_delete(void* object) { QLTP_pos_delete(static_cast<pos*>(object)); }

int32_t QLTP_tpobj_postags_write(void* object, char* destination, int swap) {
  auto* d = static_cast<const pos*>(object);
  if (!d) return 0;
  const char* tag = d->default_tag ? d->default_tag : "";
  size_t tag_len = std::strlen(tag);
  int32_t keys = QLTP_dict_write_sz(d->keys);
  // The length byte cannot say more than 255, and a long key has no compact form.
  if (tag_len > kMaxShortString || keys <= 0) return 0;
  int64_t size = int64_t{1} + static_cast<int64_t>(tag_len) + QLTP_dystrarray_write_sz(d->affix_patterns) +
                 QLTP_dystrarray_write_sz(d->affix_tags) + keys + QLTP_strarray_write_sz(d->tags);
  if (size > INT32_MAX) return 0;
  if (!destination) return static_cast<int32_t>(size);
  char* p = QLTP_char255_write(tag, static_cast<int>(tag_len), destination);
  p = QLTP_dystrarray_write(d->affix_patterns, p, swap);
  p = QLTP_dystrarray_write(d->affix_tags, p, swap);
  p = QLTP_dict_write(d->keys, p, swap);
  p = p ? QLTP_strarray_write(d->tags, p, swap) : nullptr;
  return p ? 1 : 0;
}

void* QLTP_tpobj_possets_load(tpdb* db, int32_t offset) { return QLTP_tpdb_read_strmap(db, offset, "TPOBJ_POSSETS"); }
int QLTP_tpobj_possets_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_possets_delete(void* object) { QLTP_tpobj_strmap_delete(object); }
int32_t QLTP_tpobj_possets_write(void* object, char* destination, int swap) {
  return QLTP_tpobj_strmap_write(object, destination, swap);
}


// ---------------------------------------------------------------------------
// Tagging context and modes

namespace {

constexpr char kStart[] = "^";
constexpr char kEnd[] = "$";

// The word as the pre-normalisation pass sees it: characters mapped through
// "utfpunc2ascii", then group 2 of "punc_strip" when that matches (a match
// without group 2 counts as none and leaves the word as it was).
std::string prenorm_word(const nrules* rules, std::string_view word) {
  std::string mapped;
  for (size_t i = 0; i < word.size();) {
    int len = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(word.data() + i), word.size() - i);
    if (len <= 0) len = 1;
    const char* value = QLTP_nrules_lkp(rules, "utfpunc2ascii", -1, word.data() + i, len);
    if (value && *value) mapped += value;
    else mapped.append(word.substr(i, static_cast<size_t>(len)));
    i += static_cast<size_t>(len);
  }
  int ovector[QLTP_REGEX_OVECSIZE];
  int rc = QLTP_nrules_rgx(rules, "punc_strip", -1, mapped.data(), static_cast<int>(mapped.size()), ovector);
  if (rc > 2 && ovector[4] >= 0 && ovector[5] >= ovector[4])
    return mapped.substr(static_cast<size_t>(ovector[4]), static_cast<size_t>(ovector[5] - ovector[4]));
  return std::string(word);
}

const char* lookup_key(const pos* d, const std::string& key) {
  int id = QLTP_dict_lookup_word(d->keys, key.data(), static_cast<int>(key.size()));
  return id && id <= QLTP_strarray_sz(d->tags) ? QLTP_strarray_idx(d->tags, id - 1) : nullptr;
}

const char* text_or(const char* s, const char* otherwise) { return s ? s : otherwise; }

// The context key of a mode (1 to 5) from escaped parts; a NULL neighbour
// reads as "".
std::string context_key(const pos_ctxt* c, std::string_view word, int mode) {
  const char* previous_tag = text_or(c->previous_tag, "");
  const char* next_tag = text_or(c->next_tag, "");
  std::string key;
  switch (mode) {
    case 1: escape_to(key, previous_tag); key += '_'; escape_to(key, word); break;
    case 2: escape_to(key, word); key += "_["; escape_to(key, next_tag); key += ']'; break;
    case 3: key += '('; escape_to(key, text_or(c->previous_word, "")); key += ")_"; escape_to(key, word); break;
    case 4: escape_to(key, word); key += "_("; escape_to(key, text_or(c->next_word, "")); key += ')'; break;
    default:
      escape_to(key, previous_tag); key += '_'; escape_to(key, word); key += "_[";
      escape_to(key, next_tag); key += ']';
  }
  return key;
}

}  // namespace

void QLTP_pos_init_ctxt(pos_ctxt* c) {
  if (!c) return;
  *c = pos_ctxt{-1, kStart, kStart, kEnd, kStart, kStart, kEnd};
}

void QLTP_pos_load_ctxt(pos_ctxt* c, const voidparray* tokens, const std::vector<std::string>& tags,
                        int use_token_text, int index) {
  if (!c) return;
  int n = QLTP_voidparray_sz(tokens);
  auto word = [&](int i) -> const char* {
    if (i < 0) return kStart;
    if (i >= n) return kEnd;
    const toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
    return text_or(use_token_text ? QLTP_toxtoken_get(t) : QLTP_toxtoken_getnorm(t), "");
  };
  auto tag = [&](int i) -> const char* {
    if (i < 0) return kStart;
    if (i >= n || static_cast<size_t>(i) >= tags.size()) return kEnd;
    return tags[static_cast<size_t>(i)].c_str();
  };
  *c = pos_ctxt{index, word(index - 1), word(index), word(index + 1), tag(index - 1), tag(index), tag(index + 1)};
}

const char* QLTP_pos_getpos_ctxt(dystr* scratch, const normalise* normaliser, const pos* d, pos_ctxt* c, int mode) {
  if (!c) return "";
  const nrules* rules = normaliser ? normaliser->rules : nullptr;
  const char* current = text_or(c->tag, "");
  const char* result = current;
  if (d && mode >= 0 && mode <= 5) {
    std::string mapped;
    std::string_view word = text_or(c->word, "");
    if (rules && !word.empty()) {
      mapped = prenorm_word(rules, word);
      word = mapped;
    }
    if (mode == 0) {
      result = word_tag(d, word);
    } else if (d->context_keys == 0) {
      // Every context key holds '_': without such keys nothing can match.
    } else if (const char* tag = lookup_key(d, context_key(c, word, mode))) {
      result = tag;
    }
  }
  if (scratch) {
    QLTP_dystr_replace(scratch, result, -1);
    result = QLTP_dystr_cstr(scratch);
  }
  c->tag = result;
  return result;
}

// ---------------------------------------------------------------------------
// POS tagger stage

namespace {

logger* log_of(const postagger* t) { return QLTP_tpc_get_logger(t->ch); }

template <typename T>
const T* object(const channel* ch, const char* name) {
  return static_cast<const T*>(QLTP_tpdb_get_tpdata(ch ? ch->db : nullptr, name));
}

// One call of either pass over the pending tokens.
voidparray* QLTP_postagger_process_type(postagger* t, voidparray* tokens, int final, const pos* d,
                                        const hashstrarray* sets, const normalise* normaliser, bool use_token_text) {
  int previous_state = t->state;
  QLTP_voidparray_clear(t->output);
  for (int i = 0, n = QLTP_voidparray_sz(tokens); i < n; ++i) QLTP_voidparray_add(t->pending, QLTP_voidparray_idx(tokens, i));
  int n = QLTP_voidparray_sz(t->pending);
  t->tags.assign(static_cast<size_t>(n), std::string());
  t->to_tag.assign(static_cast<size_t>(n), 1);
  for (int i = 0; i < n; ++i) {
    const char* given = QLTP_toxtoken_tagval(QLTP_toxtoken_cast(QLTP_voidparray_idx(t->pending, i)), "lex", "pos");
    if (given && *given) {
      t->tags[static_cast<size_t>(i)] = given;
      t->to_tag[static_cast<size_t>(i)] = 0;
    }
  }
  if (d && t->iterations >= 0) {
    pos_ctxt c;
    for (int k = 0; k <= t->iterations; ++k) {
      QLTP_pos_init_ctxt(&c);
      for (int i = 0; i < n; ++i) {
        if (!t->to_tag[static_cast<size_t>(i)]) continue;
        QLTP_pos_load_ctxt(&c, t->pending, t->tags, use_token_text, i);
        t->tags[static_cast<size_t>(i)] = QLTP_pos_getpos_ctxt(t->scratch, normaliser, d, &c, k);
      }
    }
    for (int i = 0; i < n; ++i) {
      const std::string& tag = t->tags[static_cast<size_t>(i)];
      const char* set = QLTP_hashstrarray_lookup(sets, tag.c_str(), static_cast<int>(tag.size()));
      QLTP_toxtoken_setpos(QLTP_toxtoken_cast(QLTP_voidparray_idx(t->pending, i)), tag.c_str(),
                           static_cast<int>(tag.size()), set ? set : "3", -1);
    }
  }
  int handed = final ? n : n - 1;
  for (int i = 0; i < handed; ++i) QLTP_voidparray_add(t->output, QLTP_voidparray_idx(t->pending, i));
  QLTP_voidparray_delete_range(t->pending, 0, handed > 0 ? handed : 0);
  if (t->module_log) {
    QLTP_dystr_clear(t->module_log);
    QLTP_toxstream_print(t->output, t->module_log);
    QLTP_logger_logmodule(log_of(t), t->ch ? t->ch->jobid : "", t->name, previous_state,
                          QLTP_dystr_cstr(t->module_log));
  }
  t->state = final;
  return t->output;
}

}  // namespace

postagger* QLTP_postagger_new(channel* ch) {
  auto* t = new (std::nothrow) postagger{};
  if (!t) return nullptr;
  t->name = "postagger";
  t->ch = ch;
  t->state = 1;
  t->scratch = QLTP_dystr_newcustom("", 0, 64, 64);
  t->pending = QLTP_voidparray_new();
  t->output = QLTP_voidparray_new();
  if (QLTP_logger_modulelogging(QLTP_tpc_get_logger(ch))) t->module_log = QLTP_dystr_newcustom("", 0, 65536, 65536);
  if (!t->scratch || !t->pending || !t->output) {
    QLTP_postagger_delete(t);
    return nullptr;
  }
  const char* iterations = ch ? QLTP_configsettings_lookup(ch->settings, "postagger", 9, "iterations", 10) : nullptr;
  t->iterations = iterations ? QLTP_atoi(iterations, -1) : 2;
  QLTP_postagger_reset_tpdb(t, ch);
  return t;
}

void QLTP_postagger_reset(postagger* t) {
  if (!t) return;
  if (t->state == 0) QLTP_logger_set_error(log_of(t), QLTP_ERROR_RESET_DATA_LOSS, "Postagger context lost", "");
  t->state = 1;
  QLTP_voidparray_clear(t->pending);
  t->tags.clear();
  t->to_tag.clear();
  QLTP_dystr_clear(t->module_log);
}

void QLTP_postagger_reset_tpdb(postagger* t, channel* ch) {
  if (!t) return;
  t->prenorm_dictionary = object<pos>(ch, "TPOBJ_POSTAGS:PRENORM");
  t->prenorm_possets = object<hashstrarray>(ch, "TPOBJ_POSSETS:PRENORM");
  t->dictionary = object<pos>(ch, "TPOBJ_POSTAGS:DEFAULT");
  if (!t->dictionary) t->dictionary = t->prenorm_dictionary;
  t->possets = object<hashstrarray>(ch, "TPOBJ_POSSETS:DEFAULT");
  if (!t->possets) t->possets = t->prenorm_possets;
}

void QLTP_postagger_delete(postagger* t) {
  if (!t) return;
  QLTP_dystr_delete(t->scratch);
  QLTP_voidparray_delete(t->pending);
  QLTP_voidparray_delete(t->output);
  QLTP_dystr_delete(t->module_log);
  delete t;
}

voidparray* QLTP_postagger_process(postagger* t, voidparray* tokens, int final) {
  if (!t) return tokens;
  return QLTP_postagger_process_type(t, tokens, final, t->dictionary, t->possets, nullptr, false);
}

voidparray* QLTP_postagger_process_prenorm(postagger* t, const normalise* normaliser, voidparray* tokens, int final) {
  if (!t) return tokens;
  return QLTP_postagger_process_type(t, tokens, final, t->prenorm_dictionary, t->prenorm_possets, normaliser, true);
}

const char* QLTP_postagger_posset(const postagger* t, const char* tag) {
  const char* set = t && tag ? QLTP_hashstrarray_lookup(t->possets, tag, -1) : nullptr;
  return set ? set : "";
}

namespace {

const int postags_registered = QLTP_tpobj_register(
    "TPOBJ_POSTAGS", {.load = QLTP_tpobj_postags_load, .pstload = QLTP_tpobj_postags_pstload,
                      .del = QLTP_tpobj_postags_delete, .write = QLTP_tpobj_postags_write});
const int possets_registered = QLTP_tpobj_register(
    "TPOBJ_POSSETS", {.load = QLTP_tpobj_possets_load, .pstload = QLTP_tpobj_possets_pstload,
                      .del = QLTP_tpobj_possets_delete, .write = QLTP_tpobj_possets_write});

// The channel's posset operation: the POS set read as a decimal, 0 when empty.
const int posset_filled = [] {
  QLTP_linguistics_maintenance().posset = [](channel* ch, const char* tag) {
    return QLTP_atoi(QLTP_postagger_posset(ch ? ch->pos_tagger : nullptr, tag), -1);
  };
  return 1;
}();

}  // namespace
