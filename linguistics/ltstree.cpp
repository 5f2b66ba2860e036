#include "linguistics/ltstree.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strarray.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"

namespace {

constexpr int32_t kStringNode = 999;  // a string-typed field in a node-number place

// A bounded cursor over serialised bytes.
struct Source {
  const char* p;
  const char* end;
  int swap;

  bool Int(int32_t& v) {
    if (end - p < 4) return false;
    std::memcpy(&v, p, 4);
    if (swap) QLTP_swap_bytes(&v, 4);
    p += 4;
    return true;
  }
  // A whole line without its "\n"; the last line may lack one.
  bool Line(std::string_view& line) {
    if (p >= end) return false;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* stop = nl ? nl : end;
    line = std::string_view(p, static_cast<size_t>(stop - p));
    p = nl ? nl + 1 : end;
    return true;
  }
  bool Number(int32_t& v) {
    std::string_view line;
    if (!Line(line)) return false;
    std::string text(line);
    char* stop = nullptr;
    errno = 0;
    long long n = std::strtoll(text.c_str(), &stop, 10);
    if (stop == text.c_str() || errno != 0 || n < std::numeric_limits<int32_t>::min() ||
        n > std::numeric_limits<int32_t>::max())
      return false;
    for (; *stop; ++stop)
      if (!std::strchr(QLTP_WSPACE, *stop)) return false;
    v = static_cast<int32_t>(n);
    return true;
  }
  bool Bytes(int64_t n, const char*& at) {
    if (n < 0 || end - p < n) return false;
    at = p;
    p += n;
    return true;
  }
};

ltsfield* Field(const voidparray* fields, int i) { return static_cast<ltsfield*>(QLTP_voidparray_idx(fields, i)); }

// Byte position of field i in a record, or -1 when the fields do not fit.
int32_t FieldOffset(const voidparray* fields, int i) {
  int32_t at = 0;
  for (int j = 0; j < i; ++j) at += Field(fields, j)->width;
  return at;
}

int32_t FieldsWidth(const voidparray* fields) { return FieldOffset(fields, QLTP_voidparray_sz(fields)); }

uint32_t RawValue(const ltstree* tree, const char* record, const voidparray* fields, int i) {
  const ltsfield* f = Field(fields, i);
  char bytes[4] = {};
  std::memcpy(bytes, record + FieldOffset(fields, i), static_cast<size_t>(f->width));
  if (tree->swap && f->width > 1) QLTP_swap_bytes(bytes, f->width);
  return QLTP_read_bytes(bytes, f->width);
}

// A string field's value, or NULL when its index lies outside the table.
const char* StringValue(const ltstree* tree, const char* record, const voidparray* fields, int i) {
  const ltsfield* f = Field(fields, i);
  if (!f || f->type != 1) return nullptr;
  uint32_t index = RawValue(tree, record, fields, i);
  if (index >= static_cast<uint32_t>(QLTP_strarray_sz(f->strings))) return nullptr;
  return QLTP_strarray_idx(f->strings, static_cast<int>(index));
}

// A node-number field: the stored value less the bias, 999 for a string
// field; -1 when it lies outside the tree.
int32_t NodeValue(const ltstree* tree, const char* record, const voidparray* fields, int i) {
  const ltsfield* f = Field(fields, i);
  int64_t v = f->type == 1 ? kStringNode : static_cast<int64_t>(RawValue(tree, record, fields, i)) - f->bias;
  if (v < 0 || v >= static_cast<int64_t>(tree->terminal_count) + tree->nonterminal_count) return -1;
  return static_cast<int32_t>(v);
}

int32_t Root(const ltstree* tree) { return tree->terminal_count == 1 ? 0 : tree->terminal_count; }

// Records readable by QLTP_ltstree_get_record, every index inside its table.
bool TreeIsSound(const ltstree* tree) {
  const int32_t t = tree->terminal_count, u = tree->nonterminal_count;
  if (t < 0 || u < 0) return false;
  if (t > 0 && (QLTP_voidparray_sz(tree->terminal_fields) < 1 || Field(tree->terminal_fields, 0)->type != 1 ||
                FieldsWidth(tree->terminal_fields) > tree->terminal_size))
    return false;
  if (u > 0 && (QLTP_voidparray_sz(tree->nonterminal_fields) < 4 ||
                Field(tree->nonterminal_fields, 0)->type != 1 || Field(tree->nonterminal_fields, 1)->type != 1 ||
                FieldsWidth(tree->nonterminal_fields) > tree->nonterminal_size))
    return false;
  ltsrecord r;
  for (int32_t node = 0; node < t + u; ++node)
    if (!QLTP_ltstree_get_record(tree, node, &r)) return false;
  return true;
}

bool ReadField(Source& in, ltsfield*& out) {
  std::string_view type;
  int32_t width = 0;
  if (!in.Line(type) || !in.Number(width)) return false;
  bool is_string = !type.empty() && type[0] == 'S';
  ltsfield* f = QLTP_ltsfield_new(is_string ? 1 : 0, width);
  if (!f) return false;
  bool ok = true;
  if (is_string) {
    std::string_view values;
    ok = in.Line(values) && QLTP_ltsfield_addlookup(f, values.data(), static_cast<int>(values.size()));
  } else {
    ok = in.Number(f->bias);
  }
  if (!ok) {
    QLTP_ltsfield_delete(f);
    return false;
  }
  out = f;
  return true;
}

bool ReadFields(Source& in, int32_t count, ltstree* tree, bool terminal) {
  if (count < 0 || count > in.end - in.p) return false;
  for (int32_t i = 0; i < count; ++i) {
    ltsfield* f = nullptr;
    if (!ReadField(in, f)) return false;
    if (!(terminal ? QLTP_ltstree_addterminalfield(tree, f) : QLTP_ltstree_addnonterminalfield(tree, f))) {
      QLTP_ltsfield_delete(f);
      return false;
    }
  }
  return true;
}

bool ReadNodes(Source& in, int32_t count, int32_t size, ltstree* tree, bool terminal) {
  const char* bytes = nullptr;
  if (count < 0 || size < 0 || !in.Bytes(static_cast<int64_t>(count) * size, bytes)) return false;
  return (terminal ? QLTP_ltstree_addterminalnodes(tree, count, size, bytes)
                   : QLTP_ltstree_addnonterminalnodes(tree, count, size, bytes)) != nullptr;
}

// One tree from its "T" line on.
ltstree* ReadTree(Source& in) {
  ltstree* tree = QLTP_ltstree_new();
  if (!tree) return nullptr;
  tree->swap = in.swap;
  int32_t t = 0, size = 0, fields = 0, u = 0;
  std::string_view letter;
  bool ok = in.Number(t) && in.Number(size) && in.Number(fields) && ReadNodes(in, t, size, tree, true) &&
            ReadFields(in, fields, tree, true) && in.Number(u);
  if (ok && u > 0)
    ok = in.Number(size) && in.Number(fields) && ReadNodes(in, u, size, tree, false) &&
         ReadFields(in, fields, tree, false);
  ok = ok && u >= 0 && in.Line(letter) && !letter.empty();
  if (ok) {
    std::string line(letter);
    line += '\n';
    ok = QLTP_ltstree_addltr(tree, line.c_str()) && TreeIsSound(tree);
  }
  if (!ok) {
    QLTP_ltstree_delete(tree);
    return nullptr;
  }
  return tree;
}

lts* ReadSet(Source& in) {
  int32_t n = 0;
  if (!in.Int(n) || n < 0 || n > in.end - in.p) return nullptr;
  lts* set = QLTP_lts_new();
  if (!set) return nullptr;
  for (int32_t i = 0; i < n; ++i) {
    int32_t skipped = 0;
    ltstree* tree = in.Int(skipped) ? ReadTree(in) : nullptr;
    if (!tree || !QLTP_lts_addtree(set, tree)) {
      QLTP_ltstree_delete(tree);
      QLTP_lts_delete(set);
      return nullptr;
    }
  }
  set->context = QLTP_lts_context_width(set);
  return set;
}

// The byte length of the character at i: its sequence length when the
// sequence fits in the text, else 1 (a stray or cut byte is one character).
size_t CharLength(std::string_view text, size_t i) {
  const size_t n = static_cast<size_t>(QLTP_u8_seqlen(text.data() + i));
  return n == 0 || i + n > text.size() ? 1 : n;
}

// The characters of the padded word: the "#" pads and the word's letters.
using Characters = std::vector<std::string_view>;

// The character k characters after the window (at the window when k < 1),
// or "#" beyond the padded word.
std::string_view TestedChar(const Characters& chars, size_t window, int32_t k) {
  const size_t at = window + static_cast<size_t>(k > 0 ? k : 0);
  return at < chars.size() ? chars[at] : std::string_view(QLTP_HASH);
}

// The output of a search from the root, or NULL when the walk leaves the
// tree or runs longer than its node count.
const char* SearchTree(const ltstree* tree, int32_t context, const Characters& chars, size_t window, int verbose) {
  const int32_t nodes = tree->terminal_count + tree->nonterminal_count;
  int32_t node = Root(tree);
  for (int32_t steps = 0; steps <= nodes; ++steps) {
    ltsrecord r;
    if (!QLTP_ltstree_get_record(tree, node, &r)) return nullptr;
    if (std::strcmp(r.question, QLTP_HASH) == 0) {
      if (verbose) std::printf("SELECTED: %d %s\n", node, r.output);
      return r.output;
    }
    int32_t left = 0, right = 0;
    QLTP_lts_question_steps(r.question, &left, &right);
    std::string_view c = TestedChar(chars, window, context - left + right);
    bool yes = std::strncmp(c.data(), r.value, c.size()) == 0 && std::strlen(r.value) >= c.size();
    node = yes ? r.yes : r.no;
    if (verbose)
      std::printf("%s: %d %s %s %s\n", yes ? "YES" : "NO", node, r.question, r.value,
                  window < chars.size() ? chars[window].data() : "");
  }
  return nullptr;
}

// Same length and equal, or differing only in a final stress digit.
bool RepeatsLast(std::string_view r, std::string_view last, char top_digit) {
  if (r.size() != last.size()) return false;
  if (r == last) return true;
  auto digit = [top_digit](char c) { return c >= '0' && c <= top_digit; };
  return !r.empty() && r.substr(0, r.size() - 1) == last.substr(0, last.size() - 1) && digit(r.back()) &&
         digit(last.back());
}

void* LoadKind(tpdb* db, int32_t offset) {
  int32_t size = QLTP_read_int(db, offset);
  if (size <= 0) return nullptr;
  char* bytes = QLTP_read_chars(db, size, 0);
  if (!bytes) return nullptr;
  Source in{bytes, bytes + size, db->swap};
  lts* set = ReadSet(in);
  QLTP_free(bytes);
  return set;
}

void DeleteKind(void* object) { QLTP_lts_delete(static_cast<lts*>(object)); }
int32_t WriteNothing(void*, char*, int) { return 0; }

const int registered =
    QLTP_tpobj_register("TPOBJ_CARTLTS", {.load = LoadKind, .del = DeleteKind, .write = WriteNothing});

}  // namespace

// ---------------------------------------------------------------------------
// Read and free

lts* QLTP_lts_load(FILE* file, int swap) {
  if (!file) return nullptr;
  try {
    long start = std::ftell(file);
    std::string bytes;
    char chunk[65536];
    size_t n;
    while ((n = QLTP_fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
    Source in{bytes.data(), bytes.data() + bytes.size(), swap};
    lts* set = ReadSet(in);
    if (set && start >= 0) std::fseek(file, start + static_cast<long>(in.p - bytes.data()), SEEK_SET);
    return set;
  } catch (...) {
    return nullptr;
  }
}

lts* QLTPPy_lts_load(const char* path) { return QLTP_read_path(path, QLTP_lts_load); }

ltstree* QLTP_deserialise_ltstree(const char* bytes, int32_t len, int swap) {
  if (!bytes || len < 0) return nullptr;
  try {
    Source in{bytes, bytes + len, swap};
    return ReadTree(in);
  } catch (...) {
    return nullptr;
  }
}

void QLTP_ltsfield_delete(ltsfield* field) {
  if (!field) return;
  QLTP_strarray_delete(field->strings);
  delete field;
}

void QLTP_ltstree_delete(ltstree* tree) {
  if (!tree) return;
  for (voidparray* fields : {tree->terminal_fields, tree->nonterminal_fields}) {
    for (int i = 0; i < QLTP_voidparray_sz(fields); ++i) QLTP_ltsfield_delete(Field(fields, i));
    QLTP_voidparray_delete(fields);
  }
  QLTP_free(tree->terminal_data);
  QLTP_free(tree->nonterminal_data);
  QLTP_free(tree->letter);
  delete tree;
}

void QLTP_lts_delete(lts* set) {
  if (!set) return;
  QLTP_dict_delete(set->letters);
  for (int i = 0; i < QLTP_voidparray_sz(set->trees); ++i)
    QLTP_ltstree_delete(static_cast<ltstree*>(QLTP_voidparray_idx(set->trees, i)));
  QLTP_voidparray_delete(set->trees);
  QLTP_dystr_delete(set->padded);
  QLTP_dystr_delete(set->result);
  delete set;
}

// ---------------------------------------------------------------------------
// Run

int QLTP_ltstree_get_record(const ltstree* tree, int32_t node, ltsrecord* record) {
  if (!tree || !record || node < 0) return 0;
  // Trees made with the building operations are checked here, not on adding.
  if (node < tree->terminal_count) {
    if (QLTP_voidparray_sz(tree->terminal_fields) < 1 || FieldsWidth(tree->terminal_fields) > tree->terminal_size)
      return 0;
    const char* rec = tree->terminal_data + static_cast<int64_t>(node) * tree->terminal_size;
    const char* out = StringValue(tree, rec, tree->terminal_fields, 0);
    if (!out) return 0;
    *record = {QLTP_HASH, QLTP_HASH, -1, -1, out};
    return 1;
  }
  int32_t i = node - tree->terminal_count;
  if (i >= tree->nonterminal_count || QLTP_voidparray_sz(tree->nonterminal_fields) < 4 ||
      FieldsWidth(tree->nonterminal_fields) > tree->nonterminal_size)
    return 0;
  const char* rec = tree->nonterminal_data + static_cast<int64_t>(i) * tree->nonterminal_size;
  const char* question = StringValue(tree, rec, tree->nonterminal_fields, 0);
  const char* value = StringValue(tree, rec, tree->nonterminal_fields, 1);
  int32_t yes = NodeValue(tree, rec, tree->nonterminal_fields, 2);
  int32_t no = NodeValue(tree, rec, tree->nonterminal_fields, 3);
  if (!question || !value || yes < 0 || no < 0) return 0;
  *record = {question, value, yes, no, QLTP_HASH};
  return 1;
}

void QLTP_lts_question_steps(const char* name, int32_t* left, int32_t* right) {
  int32_t p = 0, n = 0;
  size_t len = name ? std::strlen(name) : 0;
  for (size_t i = 0; i + 4 < len; ++i) {
    if (name[i] == 'p') ++p;
    if (name[i] == 'n') ++n;
  }
  if (left) *left = p;
  if (right) *right = n;
}

int32_t QLTP_lts_context_width(const lts* set) {
  if (!set) return 0;
  int32_t widest = 0;
  for (int i = 0; i < QLTP_voidparray_sz(set->trees); ++i) {
    auto* tree = static_cast<const ltstree*>(QLTP_voidparray_idx(set->trees, i));
    if (tree->nonterminal_count <= 0 || QLTP_voidparray_sz(tree->nonterminal_fields) < 1) continue;
    const strarray* names = Field(tree->nonterminal_fields, 0)->strings;
    for (int j = 0; j < QLTP_strarray_sz(names); ++j) {
      int32_t p = 0, n = 0;
      QLTP_lts_question_steps(QLTP_strarray_idx(names, j), &p, &n);
      if (p + n > widest) widest = p + n;
    }
  }
  return widest;
}

const char* QLTP_runlts(lts* set, const char* word, logger* log, int verbose, dystr* padded, dystr* out) {
  if (!set || !word || !padded || !out) return nullptr;
  try {
    QLTP_dystr_clear(padded);
    QLTP_dystr_clear(out);
    const int32_t w = set->context > 0 ? set->context : 0;
    std::string pad(static_cast<size_t>(w), '#');
    const std::string_view text(word);
    std::string padded_word = pad + std::string(text) + pad;
    QLTP_dystr_append(padded, padded_word.data(), static_cast<int>(padded_word.size()));
    // The window of letter i starts at character i of the padded word; both
    // are cut into characters by the same checked length.
    const std::string_view padded_view(padded_word);
    Characters chars;
    for (size_t at = 0; at < padded_view.size(); at += chars.back().size())
      chars.push_back(padded_view.substr(at, at < pad.size() || at >= pad.size() + text.size()
                                                 ? 1
                                                 : CharLength(text, at - pad.size())));
    std::string result, last;
    for (size_t window = 0, at = 0; at < text.size(); ++window) {
      const std::string_view letter = chars[window + pad.size()];
      int id = QLTP_dict_lookup_word(set->letters, letter.data(), static_cast<int>(letter.size()));
      auto* tree = static_cast<const ltstree*>(id > 0 ? QLTP_voidparray_idx(set->trees, id - 1) : nullptr);
      if (!tree) {
        if (log) QLTP_logger_set_error(log, QLTP_MESSAGE_INFO, "Bad LTS starting", text.data() + at);
      } else if (const char* r = SearchTree(tree, w, chars, window, verbose)) {
        std::string_view phones(r);
        if (!RepeatsLast(phones, last, '2') && phones != QLTP_HASH) {
          if (!result.empty()) result += ' ';
          result += phones;
          last = phones;
        }
      }
      at += letter.size();
    }
    for (char& c : result)
      if (c == '_') c = ' ';
    QLTP_dystr_append(out, result.data(), static_cast<int>(result.size()));
    return QLTP_dystr_cstr(out);
  } catch (...) {
    return nullptr;
  }
}

const char* QLTP_lts_test(tpdb* db, const char* word, int verbose) {
  auto* set = static_cast<lts*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_CARTLTS:DEFAULT"));
  if (!set) return nullptr;
  return QLTP_runlts(set, word, db->log, verbose, set->padded, set->result);
}

// ---------------------------------------------------------------------------
// Building

lts* QLTP_lts_new() {
  auto* set = new (std::nothrow) lts{};
  if (!set) return nullptr;
  set->letters = QLTP_dict_new_empty(64);
  set->trees = QLTP_voidparray_new();
  set->padded = QLTP_dystr_new(nullptr, 0);
  set->result = QLTP_dystr_new(nullptr, 0);
  if (!set->letters || !set->trees || !set->padded || !set->result) {
    QLTP_lts_delete(set);
    return nullptr;
  }
  return set;
}

ltstree* QLTP_ltstree_new() {
  auto* tree = new (std::nothrow) ltstree{};
  if (!tree) return nullptr;
  tree->terminal_fields = QLTP_voidparray_new();
  tree->nonterminal_fields = QLTP_voidparray_new();
  if (!tree->terminal_fields || !tree->nonterminal_fields) {
    QLTP_ltstree_delete(tree);
    return nullptr;
  }
  return tree;
}

ltsfield* QLTP_ltsfield_new(int32_t type, int32_t width) {
  auto* f = new (std::nothrow) ltsfield{};
  if (!f) return nullptr;
  f->type = type == 1 ? 1 : 0;
  f->width = width == 1 || width == 2 ? width : 4;
  if (f->type == 1 && !(f->strings = QLTP_strarray_new())) {
    delete f;
    return nullptr;
  }
  return f;
}

int QLTP_ltsfield_addlookup(ltsfield* field, const char* text, int len) {
  if (!field || !field->strings || !text) return 0;
  strarray* words = QLTP_strarray_split_ws(text, len);
  if (!words) return 0;
  int ok = 1;
  for (int i = 0; i < QLTP_strarray_sz(words) && ok; ++i)
    ok = QLTP_strarray_add(field->strings, QLTP_strarray_idx(words, i), -1) > 0 ? 1 : 0;
  QLTP_strarray_delete(words);
  return ok;
}

void QLTP_ltsfield_setoffset(ltsfield* field, int32_t bias) {
  if (field) field->bias = bias;
}

namespace {

const char* AddNodes(char*& data, int32_t& have, int32_t& node_size, int32_t count, int32_t size,
                     const char* bytes) {
  if (count < 0 || size < 0 || (count > 0 && !bytes)) return nullptr;
  const size_t n = static_cast<size_t>(count) * static_cast<size_t>(size);
  char* copy = static_cast<char*>(QLTP_malloc(n + 1));
  if (!copy) return nullptr;
  if (n) std::memcpy(copy, bytes, n);
  QLTP_free(data);
  data = copy;
  have = count;
  node_size = size;
  return bytes + n;
}

}  // namespace

const char* QLTP_ltstree_addterminalnodes(ltstree* tree, int32_t count, int32_t size, const char* bytes) {
  if (!tree) return nullptr;
  return AddNodes(tree->terminal_data, tree->terminal_count, tree->terminal_size, count, size, bytes);
}

const char* QLTP_ltstree_addnonterminalnodes(ltstree* tree, int32_t count, int32_t size, const char* bytes) {
  if (!tree) return nullptr;
  return AddNodes(tree->nonterminal_data, tree->nonterminal_count, tree->nonterminal_size, count, size, bytes);
}

int QLTP_ltstree_addterminalfield(ltstree* tree, ltsfield* field) {
  return tree && field && QLTP_voidparray_add(tree->terminal_fields, field) > 0 ? 1 : 0;
}

int QLTP_ltstree_addnonterminalfield(ltstree* tree, ltsfield* field) {
  return tree && field && QLTP_voidparray_add(tree->nonterminal_fields, field) > 0 ? 1 : 0;
}

int QLTP_ltstree_addltr(ltstree* tree, const char* line) {
  if (!tree || !line || !*line) return 0;
  size_t len = std::strlen(line) - 1;
  char* letter = static_cast<char*>(QLTP_malloc(len + 1));
  if (!letter) return 0;
  std::memcpy(letter, line, len);
  letter[len] = '\0';
  QLTP_free(tree->letter);
  tree->letter = letter;
  return 1;
}

int QLTP_lts_addtree(lts* set, ltstree* tree) {
  if (!set || !tree || !tree->letter || !*tree->letter) return 0;
  int len = static_cast<int>(std::strlen(tree->letter));
  // Tree ids index the list, so a letter may have one tree only.
  if (QLTP_dict_lookup_word(set->letters, tree->letter, len) > 0) return 0;
  if (QLTP_dict_add_entry(set->letters, tree->letter, len) != QLTP_voidparray_sz(set->trees) + 1) return 0;
  return QLTP_voidparray_add(set->trees, tree) > 0 ? 1 : 0;
}
