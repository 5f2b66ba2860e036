#include "linguistics/pbreak.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"

namespace {

constexpr int kDecimals = 3;  // times and weights are kept times 1000

// Calls `line` with each line of the text (without its line feed).
template <typename Fn>
void for_each_line(std::string_view text, Fn line) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool skipped_line(std::string_view line) { return line.size() < 2 || line[0] == '#'; }

// The line count sizes the key dictionary's buckets, which its stored form
// keeps.
int line_hint(std::string_view text) {
  return static_cast<int>(std::min<size_t>(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1, 1 << 22));
}

// The n-th whitespace field of a line, empty when there is none.
std::string_view field(std::string_view line, int n) {
  int len = 0;
  const char* f = QLTP_strfield(line.data(), static_cast<int>(line.size()), n, &len);
  return f ? std::string_view(f, static_cast<size_t>(len)) : std::string_view();
}

int32_t value_at(const intarray* column, int id) {
  return id >= 1 && id <= QLTP_intarray_sz(column) ? QLTP_intarray_idx(column, id - 1) : 0;
}

// Sets the value of key id, growing the column to hold one value per key.
bool set_value(intarray* column, int id, int32_t value) {
  if (id > QLTP_intarray_sz(column) && !QLTP_intarray_resize(column, id)) return false;
  return QLTP_intarray_replace(column, id - 1, value) != 0;
}

intarray* (&columns(const pbreak* t, intarray* (&out)[4]))[4] {
  out[0] = t->level_pre;
  out[1] = t->level_post;
  out[2] = t->time_pre;
  out[3] = t->time_post;
  return out;
}

// Sets a key's four values (post level, post time, pre level, pre time),
// adding the key when it is new. A key that cannot be added is skipped.
bool set_break(pbreak* t, std::string_view key, int32_t level_post, int32_t time_post, int32_t level_pre,
               int32_t time_pre) {
  if (key.empty() || key.size() > INT32_MAX) return false;
  int len = static_cast<int>(key.size());
  int id = QLTP_dict_lookup_word(t->keys, key.data(), len);
  if (!id) id = QLTP_dict_add_entry(t->keys, key.data(), len);
  if (!id) return false;
  int32_t values[4] = {level_pre, level_post, time_pre, time_post};
  intarray* cols[4];
  columns(t, cols);
  for (int i = 0; i < 4; ++i)
    if (!set_value(cols[i], id, values[i])) return false;
  t->longest = std::max(t->longest, static_cast<int32_t>(len));
  return true;
}

void parse_breaks(pbreak* t, std::string_view text) {
  for_each_line(text, [t](std::string_view line) {
    if (skipped_line(line)) return;
    std::string_view key = field(line, 0), f[4];
    for (int i = 0; i < 4; ++i) f[i] = field(line, i + 1);
    if (f[3].empty()) return;
    auto level = [](std::string_view s) { return QLTP_atoi(s.data(), static_cast<int>(s.size())); };
    auto time = [](std::string_view s) { return QLTP_atoifp(s.data(), static_cast<int>(s.size()), kDecimals); };
    int32_t lpost = level(f[0]), tpost = time(f[1]), lpre = level(f[2]), tpre = time(f[3]);
    set_break(t, key, lpost, tpost, lpre, tpre);
    if (key == "newline") set_break(t, "\n", lpost, tpost, lpre, tpre);
    if (key == "newlineX2") set_break(t, "\n\n", lpost, tpost, lpre, tpre);
  });
}

int32_t longest_key(const dict* keys) {
  int32_t longest = 0;
  for (int id = 1, n = QLTP_dict_size(keys); id <= n; ++id)
    longest = std::max(longest, static_cast<int32_t>(std::strlen(QLTP_dict_lookup_index(keys, id))));
  return longest;
}

// Raises level and time to the maxima over every substring of text, up to
// the longest key, of the pre or post columns.
bool punc_maxima(const pbreak* t, const char* text, int pre, int32_t* level, int32_t* time) {
  if (!text) return false;
  bool any = false;
  int n = static_cast<int>(std::strlen(text));
  for (int start = 0; start < n; ++start) {
    int most = std::min(n - start, static_cast<int>(t->longest));
    for (int len = 1; len <= most; ++len)
      any |= QLTP_prules_get_break(t, text + start, len, pre, *level, *time, level, time) != 0;
  }
  return any;
}

void* read_pbreak(FILE* f, int swap) { return QLTP_pbreak_load(f, swap); }
void* read_prules(FILE* f, int swap) { return QLTP_prules_load(f, swap); }

}  // namespace

// ---------------------------------------------------------------------------
// Break table

pbreak* QLTP_pbreak_new(int hint) {
  auto* t = static_cast<pbreak*>(QLTP_calloc(sizeof(pbreak), 1));
  if (!t) return nullptr;
  t->keys = QLTP_dict_new_empty(hint);
  t->level_pre = QLTP_intarray_new();
  t->level_post = QLTP_intarray_new();
  t->time_pre = QLTP_intarray_new();
  t->time_post = QLTP_intarray_new();
  if (!t->keys || !t->level_pre || !t->level_post || !t->time_pre || !t->time_post) {
    QLTP_pbreak_delete(t);
    return nullptr;
  }
  return t;
}

pbreak* QLTP_pbreak_copy(const pbreak* table) {
  if (!table) return nullptr;
  int n = QLTP_dict_size(table->keys);
  pbreak* copy = QLTP_pbreak_new(n);
  for (int id = 1; copy && id <= n; ++id) {
    const char* key = QLTP_dict_lookup_index(table->keys, id);
    if (!set_break(copy, key, value_at(table->level_post, id), value_at(table->time_post, id),
                   value_at(table->level_pre, id), value_at(table->time_pre, id))) {
      QLTP_pbreak_delete(copy);
      copy = nullptr;
    }
  }
  return copy;
}

void QLTP_pbreak_delete(pbreak* table) {
  if (!table) return;
  QLTP_dict_delete(table->keys);
  QLTP_intarray_delete(table->level_pre);
  QLTP_intarray_delete(table->level_post);
  QLTP_intarray_delete(table->time_pre);
  QLTP_intarray_delete(table->time_post);
  QLTP_free(table);
}

pbreak* QLTP_deserialise_pbreak(const char* text) {
  if (!text) return nullptr;
  pbreak* t = QLTP_pbreak_new(line_hint(text));
  if (t) parse_breaks(t, text);
  return t;
}

pbreak* QLTP_pbreak_readtxt(const char* path) {
  std::string text;
  if (!path || !QLTP_read_text_file(path, text)) return nullptr;
  pbreak* t = QLTP_pbreak_new(line_hint(text));
  if (t) parse_breaks(t, text);
  return t;
}

pbreak* QLTP_pbreak_add_rules(pbreak* table, const char* path) {
  std::string text;
  if (!path || !QLTP_read_text_file(path, text)) return table;
  if (!table) table = QLTP_pbreak_new(0);
  if (table) parse_breaks(table, text);
  return table;
}

// ---------------------------------------------------------------------------
// Pair-weight table

prules* QLTP_prules_new(int hint) {
  auto* t = static_cast<prules*>(QLTP_calloc(sizeof(prules), 1));
  if (!t) return nullptr;
  t->keys = QLTP_dict_new_empty(hint);
  t->weights = QLTP_intarray_new();
  if (!t->keys || !t->weights) {
    QLTP_prules_delete(t);
    return nullptr;
  }
  return t;
}

prules* QLTP_deserialise_prules(const char* text) {
  if (!text) return nullptr;
  prules* t = QLTP_prules_new(line_hint(text));
  if (!t) return nullptr;
  for_each_line(text, [t](std::string_view line) {
    if (skipped_line(line)) return;
    std::string_view key = field(line, 0), weight = field(line, 1);
    if (key.empty() || weight.empty()) return;
    int len = static_cast<int>(key.size());
    int id = QLTP_dict_lookup_word(t->keys, key.data(), len);
    if (!id) id = QLTP_dict_add_entry(t->keys, key.data(), len);
    if (id) set_value(t->weights, id, QLTP_atoifp(weight.data(), static_cast<int>(weight.size()), kDecimals));
  });
  return t;
}

prules* QLTP_prules_readtxt(const char* path) {
  std::string text;
  if (!path || !QLTP_read_text_file(path, text)) return nullptr;
  return QLTP_deserialise_prules(text.c_str());
}

void QLTP_prules_delete(prules* table) {
  if (!table) return;
  QLTP_dict_delete(table->keys);
  QLTP_intarray_delete(table->weights);
  QLTP_free(table);
}

// ---------------------------------------------------------------------------
// Lookups

int QLTP_prules_get_break(const pbreak* table, const char* key, int len, int pre, int32_t level, int32_t time,
                          int32_t* level_out, int32_t* time_out) {
  if (level_out) *level_out = level;
  if (time_out) *time_out = time;
  if (!table || !key) return 0;
  int id = QLTP_dict_lookup_word(table->keys, key, len);
  if (!id) return 0;
  int32_t l = value_at(pre ? table->level_pre : table->level_post, id);
  int32_t t = value_at(pre ? table->time_pre : table->time_post, id);
  if (level_out) *level_out = std::max(level, l);
  if (time_out) *time_out = std::max(time, t);
  return 1;
}

int QLTP_prules_punc_break(const pbreak* table, const char* post, const char* pre, int32_t* level, int32_t* time) {
  if (!table || !level || !time) return 0;
  bool before = punc_maxima(table, pre, 1, level, time);
  bool after = punc_maxima(table, post, 0, level, time);
  return before || after;
}

int32_t QLTP_prules_get_prule(const prules* table, const char* key) {
  if (!table || !key) return 0;
  return value_at(table->weights, QLTP_dict_lookup_word(table->keys, key, -1));
}

// ---------------------------------------------------------------------------
// Stored forms

pbreak* QLTP_pbreak_load(FILE* file, int swap) {
  if (!file) return nullptr;
  auto* t = static_cast<pbreak*>(QLTP_calloc(sizeof(pbreak), 1));
  if (!t) return nullptr;
  bool ok = QLTP_dict_read(file, &t->keys, swap) && QLTP_intarray_read(file, &t->time_pre, swap) &&
            QLTP_intarray_read(file, &t->time_post, swap) && QLTP_intarray_read(file, &t->level_pre, swap) &&
            QLTP_intarray_read(file, &t->level_post, swap);
  int n = QLTP_dict_size(t->keys);
  intarray* cols[4];
  for (intarray* c : columns(t, cols)) ok = ok && c && QLTP_intarray_sz(c) == n;
  if (!ok) {
    QLTP_pbreak_delete(t);
    return nullptr;
  }
  t->longest = longest_key(t->keys);
  return t;
}

prules* QLTP_prules_load(FILE* file, int swap) {
  if (!file) return nullptr;
  auto* t = static_cast<prules*>(QLTP_calloc(sizeof(prules), 1));
  if (!t) return nullptr;
  bool ok = QLTP_dict_read(file, &t->keys, swap) && QLTP_intarray_read(file, &t->weights, swap) &&
            t->weights && QLTP_intarray_sz(t->weights) == QLTP_dict_size(t->keys);
  if (!ok) {
    QLTP_prules_delete(t);
    return nullptr;
  }
  return t;
}

pbreak* QLTPPy_pbreak_load(const char* path) { return QLTP_read_path(path, QLTP_pbreak_load); }
prules* QLTPPy_prules_load(const char* path) { return QLTP_read_path(path, QLTP_prules_load); }

int QLTPPy_pbreak_write(const pbreak* table, QLTP_fixedbuf* buffer) {
  return QLTP_fixedbuf_write_object(table, buffer, QLTP_tpobj_pbreak_write);
}
int QLTPPy_prules_write(const prules* table, QLTP_fixedbuf* buffer) {
  return QLTP_fixedbuf_write_object(table, buffer, QLTP_tpobj_prules_write);
}

void* QLTP_tpobj_pbreak_load(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_object(db, offset, "TPOBJ_PBREAK", read_pbreak, QLTP_tpobj_pbreak_delete);
}
int QLTP_tpobj_pbreak_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_pbreak_delete(void* object) { QLTP_pbreak_delete(static_cast<pbreak*>(object)); }

int32_t QLTP_tpobj_pbreak_write(void* object, char* destination, int swap) {
  auto* t = static_cast<const pbreak*>(object);
  if (!t) return 0;
  int32_t keys = QLTP_dict_write_sz(t->keys);
  // A key over 254 bytes has no stored form.
  if (keys <= 0) return 0;
  intarray* cols[4];
  columns(t, cols);
  int64_t size = keys;
  for (intarray* c : cols) size += QLTP_intarray_write_sz(c);
  if (size > INT32_MAX) return 0;
  if (!destination) return static_cast<int32_t>(size);
  char* p = QLTP_dict_write(t->keys, destination, swap);
  for (intarray* c : {t->time_pre, t->time_post, t->level_pre, t->level_post}) p = QLTP_intarray_write(c, p, swap);
  return p ? 1 : 0;
}

void* QLTP_tpobj_prules_load(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_object(db, offset, "TPOBJ_PRULES", read_prules, QLTP_tpobj_prules_delete);
}
int QLTP_tpobj_prules_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_prules_delete(void* object) { QLTP_prules_delete(static_cast<prules*>(object)); }

int32_t QLTP_tpobj_prules_write(void* object, char* destination, int swap) {
  auto* t = static_cast<const prules*>(object);
  if (!t) return 0;
  int32_t keys = QLTP_dict_write_sz(t->keys);
  if (keys <= 0) return 0;
  int64_t size = int64_t{keys} + QLTP_intarray_write_sz(t->weights);
  if (size > INT32_MAX) return 0;
  if (!destination) return static_cast<int32_t>(size);
  char* p = QLTP_dict_write(t->keys, destination, swap);
  p = QLTP_intarray_write(t->weights, p, swap);
  return p ? 1 : 0;
}

namespace {

const int pbreak_registered = QLTP_tpobj_register(
    "TPOBJ_PBREAK", {.load = QLTP_tpobj_pbreak_load, .pstload = QLTP_tpobj_pbreak_pstload,
                     .del = QLTP_tpobj_pbreak_delete, .write = QLTP_tpobj_pbreak_write});
const int prules_registered = QLTP_tpobj_register(
    "TPOBJ_PRULES", {.load = QLTP_tpobj_prules_load, .pstload = QLTP_tpobj_prules_pstload,
                     .del = QLTP_tpobj_prules_delete, .write = QLTP_tpobj_prules_write});

}  // namespace
