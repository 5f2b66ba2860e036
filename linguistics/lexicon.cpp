#include "linguistics/lexicon.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/dict.h"
#include "foundation/dystrarray.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"

namespace {

constexpr std::string_view kEntryTag = "entry_";

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

size_t skip_space(std::string_view s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

size_t skip_field(std::string_view s, size_t i) {
  while (i < s.size() && !is_space(s[i])) ++i;
  return i;
}

// A line without its line feed and a carriage return before it.
std::string_view chomp(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

dystrarray* entries_of(const lexhash* lex, int id) {
  return static_cast<dystrarray*>(QLTP_voidparray_idx(lex->entries, id - 1));
}

bool add_entry(lexhash* lex, std::string_view headword, std::string_view entry) {
  int before = QLTP_dict_size(lex->headwords);
  int id = QLTP_dict_add_entry(lex->headwords, headword.data(), static_cast<int>(headword.size()));
  if (id <= 0) return false;
  if (id > before) {
    dystrarray* list = QLTP_dystrarray_newcustom(0, 0, 2, 32, 256);
    if (!list) return false;
    if (!QLTP_voidparray_add(lex->entries, list)) {
      QLTP_dystrarray_delete(list);
      return false;
    }
  }
  dystrarray* list = entries_of(lex, id);
  return list && QLTP_dystrarray_add(list, entry.data(), static_cast<int>(entry.size())) != 0;
}

// The entry's "entry_" type field; false when it has none.
bool entry_type(const char* entry, std::string_view* type) {
  std::string_view s(entry);
  for (size_t i = skip_space(s, 0); i < s.size(); i = skip_space(s, i)) {
    size_t end = skip_field(s, i);
    std::string_view field = s.substr(i, end - i);
    if (field.substr(0, kEntryTag.size()) == kEntryTag) {
      *type = field.substr(kEntryTag.size());
      return true;
    }
    i = end;
  }
  return false;
}

int headword_id(const lexhash* lex, const char* word, int len) {
  return QLTP_dict_lookup_word(lex->headwords, word, len);
}

void start_search(complkp_lkp* c, const char* word) {
  QLTP_complkp_lkp_setword(c, word, -1);
  c->entry = 0;
}

// Reads one whole line into `line`; false at the end of the file.
bool read_line(FILE* f, std::string& line) {
  line.clear();
  char chunk[4096];
  while (std::fgets(chunk, sizeof chunk, f)) {
    line.append(chunk);
    if (!line.empty() && line.back() == '\n') return true;
  }
  return !line.empty();
}

void* lexhash_load(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_text_object(db, offset,
                                    [](const char* text) -> void* { return QLTP_deserialise_lexhash(text); });
}

void lexhash_delete(void* lex) { QLTP_lexhash_delete(static_cast<lexhash*>(lex)); }

void* lexhash_loadcustom(FILE* file, int32_t limit) { return QLTP_lexhash_loadcustom(file, limit); }

void lexcomp_delete(void* table) { QLTP_complkp_delete(static_cast<complkp*>(table)); }

// The writer pads the data with zero bytes; a table is accepted with or
// without that padding, never with more.
void* lexcomp_read(FILE* file, int swap) {
  complkp* t = QLTP_complkp_read(file, swap);
  if (!t) return nullptr;
  const long used = std::ftell(file);
  const int32_t written = QLTP_tpobj_complkp_write(t, nullptr, 0);
  char pad[16];
  if (used >= 0 && written > used && written - used <= static_cast<long>(sizeof pad))
    (void)std::fread(pad, 1, static_cast<size_t>(written - used), file);
  return t;
}

void* lexcomp_load(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_object(db, offset, "TPOBJ_LEXCOMP", lexcomp_read, lexcomp_delete);
}

int lexcomp_writetxt(void* table, const char* path) {
  return QLTP_complkp_writetxt(static_cast<const complkp*>(table), path);
}

int32_t writes_nothing(void*, char*, int) { return 0; }

int nothing_after_load(tpdb*, void*) { return 1; }

const int registered = QLTP_tpobj_register("TPOBJ_LEXHASH", {.load = lexhash_load,
                                                             .pstload = nothing_after_load,
                                                             .del = lexhash_delete,
                                                             .write = writes_nothing,
                                                             .loadcustom = lexhash_loadcustom}) +
                       QLTP_tpobj_register("TPOBJ_LEXCOMP", {.load = lexcomp_load,
                                                             .pstload = nothing_after_load,
                                                             .del = lexcomp_delete,
                                                             .write = writes_nothing,
                                                             .writetxt = lexcomp_writetxt});

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

lexhash* QLTP_lexhash_new(int n) {
  auto* lex = static_cast<lexhash*>(QLTP_calloc(sizeof(lexhash), 1));
  if (!lex) return nullptr;
  lex->headwords = QLTP_dict_new_empty(n > 0 ? n : 1);
  lex->entries = QLTP_voidparray_new();
  if (!lex->headwords || !lex->entries) {
    QLTP_lexhash_delete(lex);
    return nullptr;
  }
  if (n > 0) QLTP_voidparray_extend(lex->entries, n);
  return lex;
}

void QLTP_lexhash_delete(lexhash* lex) {
  if (!lex) return;
  int n = QLTP_voidparray_sz(lex->entries);
  for (int i = 0; i < n; ++i) QLTP_dystrarray_delete(static_cast<dystrarray*>(QLTP_voidparray_idx(lex->entries, i)));
  QLTP_voidparray_delete(lex->entries);
  QLTP_dict_delete(lex->headwords);
  QLTP_free(lex);
}

// ---------------------------------------------------------------------------
// Read

int QLTP_lexhash_loadline(lexhash* lex, const char* line, int len) {
  if (!lex || !line) return 0;
  std::string_view s = chomp(std::string_view(line, len < 0 ? std::strlen(line) : static_cast<size_t>(len)));
  if (s.empty() || s[0] == '#') return 1;
  size_t start = skip_space(s, 0);
  size_t end = skip_field(s, start);
  size_t second = skip_space(s, end);
  if (start == end || second >= s.size()) return 0;
  return add_entry(lex, s.substr(start, end - start), s.substr(second)) ? 1 : 0;
}

lexhash* QLTP_lexhash_loadcustom(FILE* file, int32_t limit) {
  if (!file) return nullptr;
  lexhash* lex = QLTP_lexhash_new(512);
  if (!lex) return nullptr;
  int64_t read = 0;
  for (std::string line; (limit < 0 || read < limit) && read_line(file, line);) {
    read += static_cast<int64_t>(line.size());
    QLTP_lexhash_loadline(lex, line.data(), static_cast<int>(line.size()));
  }
  return lex;
}

lexhash* QLTP_deserialise_lexhash(const char* text) {
  if (!text) return nullptr;
  lexhash* lex = QLTP_lexhash_new(512);
  if (!lex) return nullptr;
  std::string_view all(text);
  size_t at = all.find('\n');
  at = at == std::string_view::npos ? all.size() : at + 1;  // the first line is skipped
  while (at < all.size()) {
    size_t nl = all.find('\n', at);
    size_t next = nl == std::string_view::npos ? all.size() : nl + 1;
    std::string_view line = chomp(all.substr(at, next - at));
    at = next;
    if (line.empty() || line[0] == '#') continue;
    size_t start = skip_space(line, 0);
    size_t end = skip_field(line, start);
    if (start == end || skip_space(line, end) >= line.size()) continue;
    // The entry follows the headword and the one character after it.
    add_entry(lex, line.substr(start, end - start), line.substr(end + 1));
  }
  return lex;
}

// ---------------------------------------------------------------------------
// Entries

int QLTP_lexentry_pronlen(const char* entry) {
  if (!entry) return 0;
  std::string_view s(entry);
  return static_cast<int>(skip_field(s, 0));
}

int QLTP_lexentry_has_type(const char* entry, const char* type, int prefix) {
  if (!entry) return 0;
  std::string_view got;
  if (!type || !entry_type(entry, &got)) return 1;
  std::string_view want(type);
  if (prefix) return want.substr(0, got.size()) == got ? 1 : 0;
  return want == got ? 1 : 0;
}

void QLTP_lexicon_reset_cursor(complkp_lkp* c) {
  if (!c) return;
  c->position = -1;
  c->entry = 0;
  if (c->bufsz > 0) c->buffer[0] = '\0';
  c->key = c->buffer;
  c->value = c->buffer;
}

// ---------------------------------------------------------------------------
// Plain lookups

const char* QLTP_lexhashlkp_lookup(const lexhash* lex, complkp_lkp* c, const char* word, const char* type) {
  if (!lex || !c) return nullptr;
  if (word && *word) {
    int id = headword_id(lex, word, -1);
    start_search(c, word);
    c->position = id > 0 ? id : -1;
    if (id <= 0) return nullptr;
  } else if (c->position <= 0 || c->position > QLTP_voidparray_sz(lex->entries)) {
    return nullptr;
  }
  dystrarray* list = entries_of(lex, c->position);
  int n = QLTP_dystrarray_sz(list);
  // Continued calls give the entries after the current one, typed or not,
  // as compressed lexicons do, so that a caller's loop ends.
  while (c->entry < n) {
    char* e = QLTP_dystrarray_idx(list, c->entry++);
    if (!type || QLTP_lexentry_has_type(e, type, 0)) return c->value = e;
  }
  return nullptr;
}

const char* QLTP_lexhash_lookup(const lexhash* lex, const char* word, const char* type) {
  if (!lex || !word) return nullptr;
  int id = headword_id(lex, word, -1);
  if (id <= 0) return nullptr;
  dystrarray* list = entries_of(lex, id);
  int n = QLTP_dystrarray_sz(list);
  for (int i = 0; i < n; ++i) {
    const char* e = QLTP_dystrarray_idx(list, i);
    if (!type || QLTP_lexentry_has_type(e, type, 1)) return e;
  }
  return nullptr;
}

const char* QLTP_lexhash_longestword_lookup(const lexhash* lex, const char* word, int* len) {
  if (!lex || !word) return nullptr;
  int n = static_cast<int>(std::strlen(word));
  if (len && *len >= 0 && *len < n) n = *len;
  for (; n >= 1; --n) {
    int id = headword_id(lex, word, n);
    if (id <= 0) continue;
    if (len) *len = n;
    return QLTP_dystrarray_idx(entries_of(lex, id), 0);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Compressed lookups

const char* QLTP_lexcomp_lookup(const complkp* table, complkp_lkp* c, const char* word, const char* type) {
  if (!table || !c) return nullptr;
  if (word && *word) {
    start_search(c, word);
    c->position = -1;
  }
  if (!c->word || !*c->word) return nullptr;
  while (QLTP_complkp_lookup(table, c->word, -1, c) == 1)
    if (!type || QLTP_lexentry_has_type(c->value, type, 0)) return c->value;
  return nullptr;
}

const char* QLTP_lexcomp_longestword_lookup(const complkp* table, complkp_lkp* c, const char* word, int* len) {
  if (!table || !c || !word) return nullptr;
  int n = static_cast<int>(std::strlen(word));
  if (len && *len >= 0 && *len < n) n = *len;
  for (; n >= 1; --n) {
    c->position = -1;
    if (QLTP_complkp_lookup(table, word, n, c) != 1) continue;
    QLTP_complkp_lkp_setword(c, word, n);
    if (len) *len = n;
    return c->value;
  }
  return nullptr;
}
