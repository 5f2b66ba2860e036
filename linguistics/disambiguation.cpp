#include "linguistics/disambiguation.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "foundation/config.h"
#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"
#include "linguistics/jpaccent.h"
#include "linguistics/lexmgr.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"
#include "textproc/normalise.h"
#include "textproc/toxparse.h"
#include "textproc/toxparselite.h"
#include "linguistics/pipeline.h"

namespace {

constexpr int32_t kUnscored = -1000000000;
constexpr int32_t kNoNodes = -25000;
constexpr int32_t kOutOfRange = 100000;
constexpr int64_t kMaxWeight = 1000000;
constexpr int kMarker = 3;  // the token's marker string

// Default readings per character class: character class, context class for
// matrices of fewer than 1,000 classes, for larger ones, cost and POS.
struct DefaultRow {
  int char_class;
  int prune;
  int full;
  int cost;
  const char* pos;
};

constexpr DefaultRow kDefaults[] = {
    {-1, 5, 5, 4190, "sg"},      {2, 11, 1345, 10654, "ng"},  {2, 12, 1343, 15603, "nw"},
    {2, 26, 1353, 16821, "nk"},  {2, 39, 1352, 12412, "nk"},  {2, 127, 1349, 16639, "nk"},
    {2, 68, 1348, 14827, "nk"},  {3, 12, 1343, 15331, "nw"},  {4, 13, 1355, 25847, "nf"},
    {1, 11, 1345, 11820, "ng"},  {1, 26, 1353, 16647, "nk"},  {1, 39, 1352, 12213, "nk"},
    {1, 127, 1349, 16137, "nk"}, {1, 68, 1348, 13239, "nk"},  {1, 3, 3, 14043, "oh"},
    {5, 11, 1345, 12341, "ng"},  {5, 12, 1343, 18559, "nw"},  {5, 26, 1353, 16369, " nk"},
    {5, 39, 1352, 13427, "nk"},  {5, 127, 1349, 16248, "nk"}, {5, 68, 1348, 13480, "nk"},
    {5, 3, 3, 15229, "oh"},      {6, 11, 1345, 8360, "ng"},   {6, 26, 1353, 12609, "nk"},
    {6, 39, 1352, 10280, "nk"},  {6, 127, 1349, 12691, "nk"}, {6, 68, 1348, 9877, "nk"},
    {6, 3, 3, 13115, "oh"},      {7, 13, 1355, 26419, "nf"},  {8, 11, 1345, 7019, "ng"},
    {8, 26, 1353, 11718, "nk"},  {8, 39, 1352, 8031, "nk"},   {8, 127, 1349, 11709, "nk"},
    {8, 68, 1348, 9144, "nk"},   {9, 11, 1345, 6975, "ng"},   {9, 26, 1353, 11651, "nk"},
    {9, 39, 1352, 7965, "nk"},   {9, 127, 1349, 11643, "nk"}, {9, 68, 1348, 9056, "nk"},
};

constexpr const char* kClassRegexes[] = {
    "qltp_disambiguation_space",    "qltp_disambiguation_alpha",       "qltp_disambiguation_kanji",
    "qltp_disambiguation_symbol",   "qltp_disambiguation_numeric",     "qltp_disambiguation_hiragana",
    "qltp_disambiguation_katakana", "qltp_disambiguation_kanjinumeric", "qltp_disambiguation_cyrillic",
    "qltp_disambiguation_greek",
};

// Context classes of punctuation, decided by its last byte.
int punctuation_class(const char* punc, bool pre) {
  if (!punc || !*punc) return 0;
  switch (punc[std::strlen(punc) - 1]) {
    case ',': return 10;
    case '.': return 8;
    case '"':
    case '\'': return pre ? 6 : 7;
    case '(': case '<': case '[': case '{': return pre ? 6 : 5;
    case ')': case '>': case ']': case '}': return pre ? 5 : 7;
    default: return 5;
  }
}

// The text after the first tag field (not the pronunciation) that begins
// with `prefix`; found is false when there is none.
std::string_view entry_mark(const char* entry, std::string_view prefix, bool* found = nullptr) {
  if (found) *found = false;
  if (!entry) return {};
  std::string_view e(entry);
  size_t i = e.find_first_of(" \t");
  while (i != std::string_view::npos && i < e.size()) {
    i = e.find_first_not_of(" \t\r\n", i);
    if (i == std::string_view::npos) break;
    size_t end = e.find_first_of(" \t\r\n", i);
    std::string_view field = e.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
    if (field.substr(0, prefix.size()) == prefix) {
      if (found) *found = true;
      return field.substr(prefix.size());
    }
    i = end;
  }
  return {};
}

// A decimal number with an optional sign; false when the text is none.
bool mark_number(std::string_view text, int64_t* value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
  int64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) v = std::min<int64_t>(v * 10 + (text[i] - '0'), INT32_MAX);
  *value = negative ? -v : v;
  return true;
}

bool is_blank_at(const std::string& s, size_t at) { return at < s.size() && s[at] == ' '; }

const char* marker_of(const toxtoken* t) { return t ? QLTP_dystrarray_idx(t->strings, kMarker) : nullptr; }
void set_marker(toxtoken* t, const char* m) { QLTP_dystrarray_replace(t->strings, kMarker, m, -1); }

bool has_break(const toxtoken* t) {
  for (int i = 0, n = QLTP_toxtoken_notags(t); i < n; ++i) {
    const toxtag* tag = QLTP_toxtoken_tagidx(t, i);
    if (std::strcmp(QLTP_toxtag_name(tag), "break") != 0) continue;
    const char* type = QLTP_toxtag_val(tag, "type");
    if (type && (std::strcmp(type, "3") == 0 || std::strcmp(type, "4") == 0)) return true;
  }
  return false;
}

toxpool* pool_of(const disambiguation* s, const toxtoken* t) {
  if (t && t->home) return t->home;
  return s->ch ? s->ch->pool : nullptr;
}

toxtag* ensure_tag(disambiguation* s, toxtoken* t, const char* name) {
  if (toxtag* tag = QLTP_toxtoken_gettag(t, name)) return tag;
  toxtag* tag = QLTP_toxpool_tag(pool_of(s, t));
  if (!tag) return nullptr;
  QLTP_toxtag_init(tag, t, name, -1, QLTP_TAG_STARTEND);
  QLTP_toxtoken_addtag(t, tag);
  return tag;
}

// Transition score from class a into class b (b -1: the mean column).
int32_t transition(const disamctxt* m, int a, int b) {
  if (!m) return 0;
  return -QLTP_disamctxt_lookup(m, a, b);
}

// Whether a compound part may use the entry: one marked for another
// language's letters is passed over.
bool compound_usable(const disambiguation* s, const char* entry) {
  bool found = false;
  std::string_view lts = entry_mark(entry, "lts_", &found);
  if (!found) return true;
  if (lts.substr(0, 7) == "exclude") return true;
  std::string_view lang = s->language ? s->language : "";
  return lts.size() >= 2 && lang.size() >= 2 && lts.substr(0, 2) == lang.substr(0, 2);
}

int char_class(const disambiguation* s, const char* text, int len) {
  int ov[30];
  for (int c = 0; c < 10; ++c)
    if (QLTP_nrules_rgx(s->rules, kClassRegexes[c], -1, text, len, ov) > 0 && ov[1] == len) return c;
  return -1;
}

disam_node make_node(int chars, int bytes, int32_t weight, int klass, int entry, const char* pos) {
  disam_node n{};
  n.chars = static_cast<uint16_t>(chars);
  n.bytes = static_cast<uint16_t>(bytes);
  n.weight = weight;
  n.klass = static_cast<int16_t>(klass);
  n.rest = n.total = kUnscored;
  n.next = -1;
  n.path = 0;
  n.entry = entry;
  n.pos = pos;
  return n;
}

bool add_node(disambiguation* s, const disam_node& n) {
  if (static_cast<int>(s->nodes.size()) >= QLTP_DISAM_POOL) {
    if (!s->pool_reported) std::fputs("Critical error: the disambiguation features pool is full!\n", stderr);
    s->pool_reported = 1;
    return false;
  }
  s->nodes.push_back(n);
  return true;
}

// Makes the nodes of the candidates starting at character position p.
void expand(disambiguation* s, int p) {
  const int total_chars = static_cast<int>(s->offsets.size()) - 1;
  const int first = static_cast<int>(s->nodes.size());
  s->memo_first[p] = first;
  bool previous_had_entry = false;
  int previous_ordinal = -1;
  std::string candidate;
  for (int len = 1; len <= QLTP_DISAM_MAX_WORD && p + len <= total_chars; ++len) {
    int end = s->offsets[p + len];
    int at = s->offsets[p + len - 1];
    if (s->run[at] == ' ' || s->run[at] == '\0') break;
    const int bytes = end - s->offsets[p];
    candidate.assign(s->run, s->offsets[p], bytes);
    bool had_entry = false;
    int ordinal_used = -1;
    bool pool_ok = true;
    if (s->compound && len <= 2) {
      previous_had_entry = false;
      continue;
    }
    // Lexicon matches.
    int k = 0;
    for (const char* e = QLTP_lexmgr_lookup(s->lexicons, candidate.c_str(), nullptr, nullptr, s->cursor, nullptr);
         e && pool_ok; e = QLTP_lexmgr_lookup(s->lexicons, "", nullptr, nullptr, s->cursor, nullptr), ++k) {
      if (s->compound && !compound_usable(s, e)) continue;
      int32_t weight = 0;
      int klass = 0;
      if (s->japanese) {
        int64_t v = 0;
        // Bounded, so that no path's score can overflow.
        weight = mark_number(entry_mark(e, "weight_"), &v) ? static_cast<int32_t>(-std::clamp<int64_t>(v, -kMaxWeight, kMaxWeight)) : 0;
        klass = mark_number(entry_mark(e, "ctxt_"), &v) ? static_cast<int>(std::clamp<int64_t>(v, -1, INT16_MAX)) : -1;
      } else if (s->compound) {
        weight = QLTP_disambiguation_compound_weight(e);
      }
      if (!had_entry) ordinal_used = k;
      had_entry = true;
      pool_ok = add_node(s, make_node(len, bytes, weight, klass, k, nullptr));
      if (!s->japanese) break;
    }
    if (!pool_ok) break;
    if (!had_entry) {
      if (s->compound) {
        unsigned char last = static_cast<unsigned char>(candidate.back());
        unsigned char before = candidate.size() >= 2 ? static_cast<unsigned char>(candidate[candidate.size() - 2]) : 0;
        bool linking = last == 's' && s->offsets[p + len] - s->offsets[p + len - 1] == 1 && previous_had_entry &&
                       before != 'c' && before != 's' && before != 'x';
        if (linking)
          pool_ok = add_node(s, make_node(len, bytes, -50, 0, previous_ordinal, nullptr));
        else
          pool_ok = add_node(s, make_node(len, bytes, -300, 0, -1, nullptr));
      } else if (s->japanese) {
        int c = char_class(s, candidate.c_str(), bytes);
        if (c >= 0 || len == 1) {
          const bool prune = !s->matrix || s->matrix->n < 1000;
          for (const DefaultRow& row : kDefaults) {
            if (row.char_class != c) continue;
            int32_t weight = -(row.cost * (len + 4)) / 5;
            pool_ok = add_node(s, make_node(len, bytes, weight, prune ? row.prune : row.full, -1, row.pos));
            if (!pool_ok) break;
          }
        }
      }
    }
    if (!pool_ok) break;
    previous_had_entry = had_entry;
    previous_ordinal = ordinal_used;
  }
  s->memo_count[p] = static_cast<int>(s->nodes.size()) - first;
}

struct Score {
  int32_t score;
  int32_t best;
};

// Words after which the search stops opening new positions.
constexpr int kExpandDepth = 6;

// Best score of the text from character position p, `depth` words into the
// run, for left class `left`. Every position is expanded once and every
// node's rest found once, at the first visit; from six words on, a position
// not yet expanded stands for the rest of the text with the mean column,
// and one already expanded is scored again with its nodes' rests.
Score score_position(disambiguation* s, int p, int left, int depth) {
  const int total_chars = static_cast<int>(s->offsets.size()) - 1;
  if (p < total_chars && is_blank_at(s->run, static_cast<size_t>(s->offsets[p]))) ++p;
  if (p >= total_chars) return {transition(s->matrix, left, s->right), -1};
  if (s->memo_first[p] < 0) {
    if (depth >= kExpandDepth) return {transition(s->matrix, left, -1), -1};
    expand(s, p);
  }
  const int first = s->memo_first[p], count = s->memo_count[p];
  if (count <= 0) return {kNoNodes, -1};
  int best = -1;
  for (int i = first; i < first + count; ++i) {
    if (s->nodes[i].rest == kUnscored) {
      Score after = score_position(s, p + s->nodes[i].chars, s->nodes[i].klass, depth + 1);
      disam_node& n = s->nodes[i];
      n.rest = after.score;
      n.next = after.best;
      n.path = 1 + (after.best >= 0 ? s->nodes[after.best].path : 0);
    }
    disam_node& n = s->nodes[i];
    n.context_cost = transition(s->matrix, left, n.klass);
    const int32_t bonus = s->compound ? 100 * (n.chars - 1) - n.chars * n.chars : 100 * n.chars;
    n.total = n.context_cost + bonus + n.weight + n.rest;
    if (best < 0) {
      best = i;
      continue;
    }
    const disam_node& b = s->nodes[best];
    if (n.total > b.total || (n.total == b.total && (n.path < b.path || (n.path == b.path && n.chars > b.chars))))
      best = i;
  }
  return {s->nodes[best].total, best};
}

// Fills the offsets of the run's characters; false for text that is not
// UTF-8.
bool index_run(disambiguation* s) {
  s->offsets.clear();
  const std::string& r = s->run;
  size_t i = 0;
  while (i < r.size()) {
    s->offsets.push_back(static_cast<int32_t>(i));
    int n = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(r.data()) + i, r.size() - i);
    i += static_cast<size_t>(n > 0 ? n : 1);
  }
  s->offsets.push_back(static_cast<int32_t>(r.size()));
  return true;
}

bool is_ideographic_space(std::string_view s) { return s == "\xE3\x80\x80"; }

// U+3000 becomes a blank.
std::string blank_ideographic(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size();) {
    if (s.substr(i, 3) == "\xE3\x80\x80") {
      out += ' ';
      i += 3;
    } else {
      out += s[i++];
    }
  }
  return out;
}

int u8len(const char* s) { return s ? QLTP_u8_strlen(s) : 0; }

bool in_lexicon(disambiguation* s, const char* word) {
  return QLTP_lexmgr_lookup(s->lexicons, word, nullptr, nullptr, s->cursor, nullptr) != nullptr;
}

// Tags a Japanese token with what the node it became says.
void tag_japanese(disambiguation* s, toxtoken* t, const disam_node& node) {
  toxtag* jtag = ensure_tag(s, t, "jtag");
  toxtag* lex = ensure_tag(s, t, "lex");
  const char* norm = QLTP_toxtoken_getnorm(t);
  bool tagged = false;
  if (node.entry < 0) {
    if (node.pos) {
      QLTP_toxtag_set_attrib(lex, "pos", -1, node.pos, -1);
      QLTP_toxtoken_setpos(t, node.pos, -1, nullptr, 0);
    }
  } else if (norm && static_cast<int>(std::strlen(norm)) == node.bytes) {
    const char* e = QLTP_lexmgr_lookup(s->lexicons, norm, nullptr, nullptr, s->cursor, nullptr);
    for (int k = 0; e && k < node.entry; ++k) e = QLTP_lexmgr_lookup(s->lexicons, "", nullptr, nullptr, s->cursor, nullptr);
    bool has_acon = false, has_pos = false;
    std::string acon(entry_mark(e, "acon_", &has_acon));
    std::string pos(entry_mark(e, "pos_", &has_pos));
    if (e && has_acon) {
      dystr* out = QLTP_dystr_new("", 0);
      int number = 0;
      QLTP_accentjp_get_aconrule(acon.c_str(), s->previous_pos.c_str(), out, &number);
      QLTP_toxtag_set_attrib(jtag, "acon", -1, acon.c_str(), -1);
      QLTP_toxtag_set_attrib(jtag, "aconr", -1, QLTP_dystr_cstr(out), -1);
      QLTP_dystr_delete(out);
      tagged = true;
      if (has_pos) {
        QLTP_toxtag_set_attrib(lex, "pos", -1, pos.c_str(), -1);
        QLTP_toxtoken_setpos(t, pos.c_str(), -1, nullptr, 0);
        std::string pron(e, static_cast<size_t>(QLTP_lexentry_pronlen(e)));
        std::replace(pron.begin(), pron.end(), '_', ' ');
        QLTP_toxtag_set_attrib(lex, "phonemes", -1, pron.c_str(), -1);
      }
    }
  }
  if (!tagged) {
    QLTP_toxtag_set_attrib(jtag, "acon", -1, "*", -1);
    QLTP_toxtag_set_attrib(jtag, "aconr", -1, "*", -1);
  }
  const char* pos = QLTP_toxtoken_getpos(t);
  s->previous_pos = pos ? pos : "";
}

// Splits a compound token into the words of the best path.
void split_compound(disambiguation* s, toxtoken* t) {
  std::string norm = QLTP_toxtoken_getnorm(t);
  std::vector<std::string> words;
  size_t at = 0;
  for (int i = 0; i < s->best_len && at < norm.size(); ++i) {
    size_t n = std::min<size_t>(s->best[i].bytes, norm.size() - at);
    words.push_back(norm.substr(at, n));
    at += n;
  }
  if (at < norm.size()) words.push_back(norm.substr(at));
  if (words.size() < 2) return;
  toxpool* pool = pool_of(s, t);
  toxtoken* last = t;
  QLTP_toxtoken_set_norm(t, words[0].c_str(), static_cast<int>(words[0].size()));
  for (size_t i = 1; i < words.size(); ++i) {
    toxtoken* n = QLTP_toxtoken_split(pool, last);
    if (!n) break;
    QLTP_toxtoken_set(n, words[i].c_str(), static_cast<int>(words[i].size()));
    QLTP_toxtoken_set_norm(n, words[i].c_str(), static_cast<int>(words[i].size()));
    set_marker(n, "1");
    n->next = last->next;
    last->next = n;
    last = n;
  }
  for (toxtoken* x = t; x; x = x->next) QLTP_toxtoken_setfeat(x, QLTP_FEAT_COMPOUND_CONTINUES, x != last);
}

}  // namespace

// ---------------------------------------------------------------------------
// Context matrix

disamctxt* QLTP_disamctxt_new() { return static_cast<disamctxt*>(QLTP_calloc(sizeof(disamctxt), 1)); }

void QLTP_disamctxt_delete(disamctxt* m) {
  if (!m) return;
  QLTP_free(m->cells);
  QLTP_free(m);
}

int32_t QLTP_disamctxt_lookup(const disamctxt* m, int i, int j) {
  if (!m) return 0;
  if (j == -1) j = m->n - 1;
  if (i < 0 || i >= m->n || j < 0 || j >= m->n || (m->bits != 8 && m->bits != 16) || !m->cells) return kOutOfRange;
  const int64_t at = static_cast<int64_t>(i) * m->n + j;
  if (m->bits == 8) return m->cells[at];
  int16_t v;
  std::memcpy(&v, m->cells + at * 2, 2);
  return v;
}

disamctxt* QLTP_deserialise_disamctxt(const char* text) {
  if (!text) return nullptr;
  std::string_view all(text);
  size_t eol = all.find('\n');
  std::string_view first = all.substr(0, eol);
  long N = std::strtol(std::string(first).c_str(), nullptr, 10);
  if (N < 0 || N > 32767) return nullptr;
  disamctxt* m = QLTP_disamctxt_new();
  if (!m) return nullptr;
  m->n = static_cast<int32_t>(N + 1);
  m->bits = 16;
  const int64_t cells = static_cast<int64_t>(m->n) * m->n;
  m->cells = static_cast<unsigned char*>(QLTP_calloc(2, static_cast<size_t>(cells)));
  if (!m->cells) {
    QLTP_disamctxt_delete(m);
    return nullptr;
  }
  const int64_t capacity = static_cast<int64_t>(m->n) * N;
  int64_t count = 0, sum = 0;
  size_t pos = eol == std::string_view::npos ? all.size() : eol + 1;
  while (pos < all.size()) {
    size_t end = all.find('\n', pos);
    std::string line(all.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos));
    pos = end == std::string_view::npos ? all.size() : end + 1;
    char a[64], b[64];
    long cost;
    if (std::sscanf(line.c_str(), "%63s %63s %ld", a, b, &cost) != 3) continue;
    if (count >= capacity) {
      std::fputs("Critical error: disamctxt table too long!\n", stderr);
      QLTP_disamctxt_delete(m);
      return nullptr;
    }
    const int64_t row = count / N, col = count % N;
    int16_t v = static_cast<int16_t>(std::clamp<long>(cost, INT16_MIN, INT16_MAX));
    std::memcpy(m->cells + (row * m->n + col) * 2, &v, 2);
    sum += v;
    ++count;
    if (col == N - 1) {
      int16_t mean = static_cast<int16_t>(sum / N);
      std::memcpy(m->cells + (row * m->n + N) * 2, &mean, 2);
      sum = 0;
    }
  }
  return m;
}

disamctxt* QLTP_disamctxt_readtxt(const char* path) {
  FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) {
    std::printf("Can't open file: %s\n", path ? path : "");
    return nullptr;
  }
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return QLTP_deserialise_disamctxt(text.c_str());
}

int32_t QLTP_tpobj_disamctxt_write(void* object, char* destination, int swap) {
  auto* m = static_cast<const disamctxt*>(object);
  if (!m || m->n < 0 || m->bits < 1) return 0;
  const int64_t bytes = static_cast<int64_t>(m->n) * m->n * m->bits / 8;
  if (bytes + 8 > INT32_MAX) return 0;
  if (!destination) return static_cast<int32_t>(bytes + 8);
  char* p = QLTP_int_write(&m->n, destination, 1, swap);
  p = QLTP_int_write(&m->bits, p, 1, swap);
  if (bytes > 0) std::memcpy(p, m->cells, static_cast<size_t>(bytes));
  if (swap && m->bits == 16)
    for (int64_t i = 0; i + 1 < bytes; i += 2) QLTP_swap_bytes(p + i, 2);
  return 1;
}

int32_t QLTPPy_disamctxt_write(const disamctxt* m, QLTP_fixedbuf* destination) {
  int32_t size = QLTP_tpobj_disamctxt_write(const_cast<disamctxt*>(m), nullptr, 0);
  if (!destination) return size;
  if (size <= 0 || !destination->data || destination->size < static_cast<uint32_t>(size)) return 0;
  return QLTP_tpobj_disamctxt_write(const_cast<disamctxt*>(m), destination->data, 0);
}

void* QLTP_tpobj_disamctxt_load(tpdb* db, int32_t offset) {
  if (!db) return nullptr;
  const int32_t size = QLTP_read_int(db, offset);
  auto refuse = [db](const char* why) -> void* {
    QLTP_logger_set_error(db->log, QLTP_ERROR_CORRUPT_FILE, "Corrupted object", why);
    return nullptr;
  };
  if (size < 8) return refuse("TPOBJ_DISAMCTXT: too short");
  char* bytes = QLTP_read_chars(db, size, 0);
  if (!bytes) return refuse("TPOBJ_DISAMCTXT: unreadable");
  int32_t n, bits;
  std::memcpy(&n, bytes, 4);
  std::memcpy(&bits, bytes + 4, 4);
  if (db->swap) {
    QLTP_swap_bytes(&n, 4);
    QLTP_swap_bytes(&bits, 4);
  }
  // n * n fits 64 bits; the cell bytes are checked against the object
  // before they are multiplied out.
  const int64_t nn = static_cast<int64_t>(n) * n;
  const int64_t cells = n >= 0 && bits >= 1 && nn <= (static_cast<int64_t>(size) * 8) / bits ? nn * bits / 8 : -1;
  if (cells < 0 || cells > size - 8) {
    QLTP_free(bytes);
    return refuse("TPOBJ_DISAMCTXT: cells outside the object");
  }
  if (cells != size - 8)
    std::fprintf(stderr, "unmatched size for disamxtxt: %d %d\n", static_cast<int>(cells), size - 8);
  disamctxt* m = QLTP_disamctxt_new();
  if (!m) {
    QLTP_free(bytes);
    return nullptr;
  }
  m->n = n;
  m->bits = bits;
  m->cells = static_cast<unsigned char*>(QLTP_malloc(static_cast<size_t>(cells > 0 ? cells : 1)));
  if (!m->cells) {
    QLTP_free(bytes);
    QLTP_disamctxt_delete(m);
    return nullptr;
  }
  std::memcpy(m->cells, bytes + 8, static_cast<size_t>(cells));
  QLTP_free(bytes);
  if (db->swap && bits == 16)
    for (int64_t i = 0; i + 1 < cells; i += 2) QLTP_swap_bytes(m->cells + i, 2);
  return m;
}

int QLTP_tpobj_disamctxt_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_disamctxt_delete(void* object) { QLTP_disamctxt_delete(static_cast<disamctxt*>(object)); }

int QLTP_disam_test() { return -1; }

// ---------------------------------------------------------------------------
// Compound weights

int32_t QLTP_disambiguation_compound_weight(const char* entry) {
  bool typed = false;
  std::string_view type = entry_mark(entry, "entry_", &typed);
  if (!typed || type.substr(0, 2) == "pm") return -20;
  int64_t n = 0;
  if (!mark_number(entry_mark(entry, "freq_"), &n) || n < 2) return 0;
  // Four Newton steps from 1255: near the square root only for large n.
  const uint32_t un = static_cast<uint32_t>(n);
  uint32_t x = 1255;
  for (int i = 0; i < 4; ++i) x = (un / x + x) / 2;
  return static_cast<int32_t>(x / 3);
}

// ---------------------------------------------------------------------------
// Stage

disambiguation* QLTP_disambiguation_new(channel* ch) {
  if (!ch || !ch->db) return nullptr;
  auto* s = new (std::nothrow) disambiguation{};
  if (!s) return nullptr;
  try {
    s->name = "disambiguation";
    s->ch = ch;
    const char* active = QLTP_configsettings_lookup(ch->settings, "disambiguation", -1, "active", -1);
    s->active = !(active && std::strcmp(active, "False") == 0);
    s->scratch = QLTP_dystr_newcustom(nullptr, 0, 64, 64);
    s->nodes.reserve(QLTP_DISAM_POOL);
    QLTP_disambiguation_reset_tpdb(s, ch);
    s->left = 0;
    return s;
  } catch (...) {
    QLTP_disambiguation_delete(s);
    return nullptr;
  }
}

void QLTP_disambiguation_reset_tpdb(disambiguation* s, channel* ch) {
  if (!s || !ch) return;
  s->ch = ch;
  s->language = QLTP_tpdb_header_val(ch->db, "LANGUAGE", -1);
  s->region = QLTP_tpdb_header_val(ch->db, "REGION", -1);
  const std::string_view lang = s->language ? s->language : "";
  s->compound = lang == "sv" || lang == "no";
  s->lexicons = ch->lexicon_manager;
  QLTP_complkp_lkp_delete(s->cursor);
  s->cursor = s->lexicons ? QLTP_lexmgr_cursor(s->lexicons) : QLTP_lexmgr_getlkp(ch->db);
  s->matrix = static_cast<const disamctxt*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_DISAMCTXT:DEFAULT"));
  s->rules = static_cast<nrules*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_NRULES:DEFAULT"));
}

void QLTP_disambiguation_reset(disambiguation* s) {
  if (!s) return;
  s->left = 0;
  s->previous_pos.clear();
}

void QLTP_disambiguation_override_rules(disambiguation* s, nrules* rules) {
  if (s) s->rules = rules;
}

void QLTP_disambiguation_delete(disambiguation* s) {
  if (!s) return;
  QLTP_complkp_lkp_delete(s->cursor);
  QLTP_dystr_delete(s->scratch);
  delete s;
}

int QLTP_disambiguation_word_disam_n(disambiguation* s, const char* text, int* left, int right, int mode) {
  if (!s) return 0;
  s->best_len = 0;
  s->nodes.clear();
  if (!text || !*text) return 0;
  try {
    s->run.assign(text, std::min<size_t>(std::strlen(text), QLTP_DISAM_RUN_BYTES));
    s->japanese = mode == 1;
    index_run(s);
    const size_t chars = s->offsets.size() - 1;
    s->memo_first.assign(chars + 1, -1);
    s->memo_count.assign(chars + 1, -1);
    s->right = right;
    s->pool_reported = 0;
    Score top = score_position(s, 0, left ? *left : 0, 0);
    for (int i = top.best; i >= 0 && s->best_len < QLTP_DISAM_BEST; i = s->nodes[i].next)
      s->best[s->best_len++] = s->nodes[i];
    if (s->best_len == 0) return 0;
    if (left) *left = s->best[0].klass;
    return s->best[0].chars;
  } catch (...) {
    s->best_len = 0;
    return 0;
  }
}

voidparray* QLTP_disambiguation_process(disambiguation* s, voidparray* tokens, int flags) {
  if (!s || !tokens || !s->active) return tokens;
  const std::string_view lang = s->language ? s->language : "";
  const bool japanese = lang == "ja";
  const bool tagging = japanese && !(flags & 0x10);
  const int n = QLTP_voidparray_sz(tokens);
  auto token = [tokens](int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i)); };
  try {
    int i = 0;
    while (i < n) {
      toxtoken* t = token(i);
      const char* marker = marker_of(t);
      if (!marker || !*marker) break;
      const char* norm = QLTP_toxtoken_getnorm(t);
      const size_t normlen = norm ? std::strlen(norm) : 0;
      bool starts = normlen > 0 && normlen <= QLTP_DISAM_RUN_BYTES;
      if (starts && s->compound)
        starts = normlen >= 6 && !QLTP_toxtoken_tagval(t, "lex", "phonemes") && !in_lexicon(s, norm);
      else if (starts && !japanese)
        starts = u8len(norm) == 1;
      if (!starts) {
        ++i;
        continue;
      }
      if (const char* pre = QLTP_toxtoken_getprepunc(t); pre && *pre) s->left = punctuation_class(pre, true);
      if (normlen == 1 ? norm[0] == ' ' : is_ideographic_space(norm)) {
        QLTP_toxtoken_set_norm(t, "", 0);
        ++i;
        continue;
      }
      // Collect the run.
      std::string run;
      int right = -1;
      int last = i;
      bool punctuated_end = false;
      for (int j = i; j < n && j - i < QLTP_DISAM_RUN_TOKENS; ++j) {
        toxtoken* x = token(j);
        std::string piece = blank_ideographic(QLTP_toxtoken_getnorm(x) ? QLTP_toxtoken_getnorm(x) : "");
        if (j > i) {
          const char* m = marker_of(x);
          if (!m || !*m || s->compound) break;
          if (japanese && QLTP_nrules_rgx(s->rules, "alphaonly", -1, QLTP_toxtoken_getnorm(x), -1, nullptr) > 0) {
            right = punctuation_class(QLTP_toxtoken_getpstpunc(x), false);
            break;
          }
          if (!japanese && (u8len(piece.c_str()) != 1 || std::strcmp(m, "m") == 0)) break;
          if (run.size() + piece.size() > QLTP_DISAM_RUN_BYTES) break;
        }
        if (piece != QLTP_toxtoken_getnorm(x)) QLTP_toxtoken_set_norm(x, piece.c_str(), static_cast<int>(piece.size()));
        run += piece;
        last = j;
        const char* post = QLTP_toxtoken_getpstpunc(x);
        if (QLTP_toxtoken_getfeat(x, QLTP_FEAT_WHITESPACE) || QLTP_toxtoken_getfeat(x, QLTP_FEAT_LINEBREAK)) {
          right = 5;
          break;
        }
        if (post && *post) {
          right = punctuation_class(post, false);
          punctuated_end = true;
          break;
        }
        if (has_break(x)) {
          right = 0;
          punctuated_end = true;
          break;
        }
        right = -1;
      }
      const bool single = last == i;
      if (!japanese && !s->compound && single) {
        i = last + 1;
        continue;
      }
      int first = QLTP_disambiguation_word_disam_n(s, run.c_str(), &s->left, right, japanese ? 1 : 0);
      if (first <= 0 || s->best_len == 0) {
        ++i;
        continue;
      }
      const disam_node word = s->best[0];
      if (s->compound) {
        if (word.bytes < normlen) split_compound(s, t);
        ++i;
        continue;
      }
      // Join the following tokens' norms into the first token.
      int next = i + 1;
      if (first >= 2) {
        std::string joined = QLTP_toxtoken_getnorm(t);
        for (int j = i + 1; j <= last && j <= i + first - 1 && u8len(joined.c_str()) < first; ++j) {
          toxtoken* x = token(j);
          joined += QLTP_toxtoken_getnorm(x);
          QLTP_toxtoken_set_norm(x, "", 0);
          const char* post = QLTP_toxtoken_getpstpunc(x);
          if ((post && *post) || has_break(x)) s->left = punctuation_class(post, false);
          next = j + 1;
        }
        QLTP_toxtoken_set_norm(t, joined.c_str(), static_cast<int>(joined.size()));
      }
      if (tagging) tag_japanese(s, t, word);
      const int joined_chars = u8len(QLTP_toxtoken_getnorm(t));
      if ((single && punctuated_end) || first < joined_chars) {
        s->left = first == 1 ? punctuation_class(QLTP_toxtoken_getpstpunc(t), false) : 0;
        s->previous_pos.clear();
      }
      i = next;
    }
  } catch (...) {
  }
  return tokens;
}

namespace {
const int disamctxt_registered = QLTP_tpobj_register(
    "TPOBJ_DISAMCTXT", {.load = QLTP_tpobj_disamctxt_load, .pstload = QLTP_tpobj_disamctxt_pstload,
                        .del = QLTP_tpobj_disamctxt_delete, .write = QLTP_tpobj_disamctxt_write});
}  // namespace

namespace {

int lexicon_test(lexmgr* mgr, void* lookup, const char* lexicon, const char* word) {
  if (!mgr || !word || !*word) return 0;
  const char* name = lexicon && *lexicon ? lexicon : nullptr;
  return QLTP_lexmgr_lookup(mgr, word, name, nullptr, static_cast<complkp_lkp*>(lookup), nullptr) != nullptr;
}

// The channel's normaliser hooks, and the linguistic parts the normaliser
// reaches through the channel's maintenance table.
const int normaliser_hooks = [] {
  QLTP_tpc_maintenance& m = QLTP_linguistics_maintenance();
  m.set_normaliser_tracing = [](channel* ch, int flag) { QLTP_normaliser_set_tracing(ch->normaliser, flag); };
  m.override_normaliser = [](channel* ch, const char* rules, const char* abbreviations) {
    nrules* set = QLTP_normalise_override_rules(ch->normaliser, rules, abbreviations);
    if (!set) return 0;
    // The token parsers split at the new set's separators.
    if (ch->toxparser) QLTP_toxparse_set_separators(ch->toxparser, ch, set);
    if (ch->toxparserlite) QLTP_toxparselite_set_separators(ch->toxparserlite, ch, set);
    return 1;
  };
  m.reset_rules = [](channel* ch) { QLTP_normalise_reset_rules(ch->normaliser); };
  m.override_abbrev = [](channel* ch, const char* path) { return QLTP_normalise_override_abbrev(ch->normaliser, path); };
  m.add_abbreviation = [](channel* ch, const char* abbreviation, const char* expansion, int flag) {
    return QLTP_normalise_add_abbreviation(ch->normaliser, abbreviation, expansion, flag);
  };
  m.new_disambiguation = QLTP_disambiguation_new;
  m.reset_disambiguation = QLTP_disambiguation_reset;
  m.reset_tpdb_disambiguation = QLTP_disambiguation_reset_tpdb;
  m.override_disambiguation_rules = QLTP_disambiguation_override_rules;
  m.process_disambiguation = QLTP_disambiguation_process;
  m.delete_disambiguation = QLTP_disambiguation_delete;
  m.new_lexlookup = [](lexmgr* mgr) -> void* { return QLTP_lexmgr_cursor(mgr); };
  m.delete_lexlookup = [](void* lookup) { QLTP_complkp_lkp_delete(static_cast<complkp_lkp*>(lookup)); };
  m.lexicon_test = lexicon_test;
  return 1;
}();

}  // namespace
