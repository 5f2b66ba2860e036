#include "textproc/abbrev.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/numarray.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"

namespace {

constexpr size_t kMaxExpansion = 253;
// Longer abbreviations could not be stored in the database.
constexpr size_t kMaxAbbrev = 254;
constexpr size_t kMaxName = 64;
constexpr char kPrefix[] = "TPOBJ_ABBREV:";

std::string_view view(const char* s, int len) {
  if (!s) return {};
  return len < 0 ? std::string_view(s) : std::string_view(s, static_cast<size_t>(QLTP_strnlen(s, len)));
}

bool is_space(char c) { return QLTP_is_whitespace(c) != 0; }

// One line of an abbreviation file into the dictionary: 1 when an entry was
// added, with the abbreviation and expansion in `abbrev` and `expansion`.
bool add_line(abbdict* d, std::string_view line, std::string_view* abbrev, std::string_view* expansion) {
  if (line.empty() || line.front() == '#') return false;
  size_t i = 0;
  auto skip = [&] {
    while (i < line.size() && is_space(line[i])) ++i;
  };
  auto field = [&] {
    size_t start = i;
    while (i < line.size() && !is_space(line[i])) ++i;
    return line.substr(start, i - start);
  };
  skip();
  std::string_view abb = field();
  skip();
  std::string_view flag = field();
  skip();
  std::string_view exp = line.substr(i);
  if (abb.empty() || exp.empty()) return false;
  *abbrev = abb;
  *expansion = exp;
  return QLTP_abbdict_add(d, abb.data(), static_cast<int>(abb.size()), exp.data(), static_cast<int>(exp.size()),
                          !flag.empty() && flag.front() == '1') != 0;
}

std::string object_name(const char* name) {
  std::string n = name ? std::string(name).substr(0, kMaxName) : std::string();
  for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return kPrefix + n;
}

}  // namespace

// ---------------------------------------------------------------------------
// Create, free, add, look up

abbdict* QLTP_abbdict_new(int size) {
  auto* d = static_cast<abbdict*>(QLTP_calloc(sizeof(abbdict), 1));
  if (!d) return nullptr;
  d->map = QLTP_hashstrarray_new(size);
  if (!d->map) {
    QLTP_free(d);
    return nullptr;
  }
  return d;
}

void QLTP_abbdict_delete(abbdict* d) {
  if (!d) return;
  QLTP_hashstrarray_delete(d->map);
  QLTP_free(d);
}

int QLTP_abbdict_add(abbdict* d, const char* abbrev, int alen, const char* expansion, int elen, int fullstop) {
  if (!d) return 0;
  std::string_view a = view(abbrev, alen), e = view(expansion, elen);
  if (a.empty() || a.size() > kMaxAbbrev) return 0;
  if (e.size() > kMaxExpansion) {
    size_t n = kMaxExpansion;
    while (n > 0 && QLTP_u8_is_cont(static_cast<unsigned char>(e[n]))) --n;
    e = e.substr(0, n);
  }
  std::string entry(1, fullstop ? 't' : 'f');
  entry.append(e);
  QLTP_hashstrarray_add(d->map, a.data(), static_cast<int>(a.size()), entry.data(), static_cast<int>(entry.size()));
  return 1;
}

const char* QLTP_abbdict_lookup(const abbdict* d, const char* key, int len, int* fullstop) {
  if (!d || !key) return nullptr;
  const char* entry = QLTP_hashstrarray_lookup(d->map, key, len);
  if (!entry || !*entry) return nullptr;
  if (fullstop) *fullstop = entry[0] == 't';
  return entry + 1;
}

// ---------------------------------------------------------------------------
// Text files

abbdict* QLTP_deserialise_abbrev(const char* text) {
  if (!text) return nullptr;
  abbdict* d = QLTP_abbdict_new(128);
  if (!d) return nullptr;
  std::string_view rest(text);
  for (int index = 0; !rest.empty(); ++index) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    std::string_view abb, exp;
    if (add_line(d, line, &abb, &exp))
      std::printf("ABB %i %s %s \n", index, std::string(abb).c_str(), std::string(exp).c_str());
  }
  return d;
}

abbdict* QLTP_abbrev_readtxt(const char* path) {
  std::string text;
  if (!QLTP_read_text_file(path, text)) return nullptr;
  return QLTP_deserialise_abbrev(text.c_str());
}

abbdict* QLTP_abbrev_loadcustom(FILE* file, int32_t limit) {
  if (!file) return nullptr;
  abbdict* d = QLTP_abbdict_new(128);
  if (!d) return nullptr;
  std::string line;
  int64_t consumed = 0;
  // Lines are read whole, however long, and keep their line feed.
  for (;;) {
    if (limit >= 0 && consumed >= limit) break;
    line.clear();
    int c;
    while ((c = std::getc(file)) != EOF) {
      line.push_back(static_cast<char>(c));
      if (c == '\n') break;
    }
    if (line.empty()) break;
    consumed += static_cast<int64_t>(line.size());
    std::string_view abb, exp;
    add_line(d, line, &abb, &exp);
  }
  return d;
}

int QLTP_abbrev_writetxt(const abbdict* d, const char* path) {
  if (!d || !path) return 0;
  FILE* f = std::fopen(path, "wb");
  if (!f) return 0;
  int n = QLTP_hashstrarray_sz(d->map);
  bool ok = true;
  for (int i = 0; i < n && ok; ++i) {
    const char* key = QLTP_hashstrarray_key(d->map, i);
    const char* entry = QLTP_hashstrarray_entry(d->map, i);
    if (!key || !entry || !*entry) continue;
    ok = std::fprintf(f, "%s\t%s\t%s\n", key, entry[0] == 't' ? "1" : "0", entry + 1) >= 0;
  }
  ok = std::fclose(f) == 0 && ok;
  return ok ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Serial form

abbdict* QLTP_abbrev_load(FILE* file, int swap) {
  hashstrarray* map = nullptr;
  if (!QLTP_hashstrarray_read(file, &map, swap) || !map) return nullptr;
  // Every entry starts with its flag character.
  int n = QLTP_hashstrarray_sz(map);
  for (int i = 0; i < n; ++i) {
    const char* entry = QLTP_hashstrarray_entry(map, i);
    if (!entry || (entry[0] != 't' && entry[0] != 'f')) {
      QLTP_hashstrarray_delete(map);
      return nullptr;
    }
  }
  auto* d = static_cast<abbdict*>(QLTP_calloc(sizeof(abbdict), 1));
  if (!d) {
    QLTP_hashstrarray_delete(map);
    return nullptr;
  }
  d->map = map;
  return d;
}

abbdict* QLTPPy_abbrev_load(const char* path) { return QLTP_read_path(path, QLTP_abbrev_load); }

void* QLTP_tpobj_abbrev_load(tpdb* db, int32_t offset) {
  char* bytes = nullptr;
  FILE* f = QLTP_tpdb_object_stream(db, offset, &bytes);
  abbdict* d = f ? QLTP_abbrev_load(f, db->swap) : nullptr;
  if (f) std::fclose(f);
  QLTP_free(bytes);
  if (!d && db) QLTP_logger_set_error(db->log, QLTP_ERROR_CORRUPT_FILE, "Corrupted abbreviation object", "");
  return d;
}

int QLTP_tpobj_abbrev_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_abbrev_delete(void* d) { QLTP_abbdict_delete(static_cast<abbdict*>(d)); }

int32_t QLTP_tpobj_abbrev_write(void* object, char* dst, int swap) {
  auto* d = static_cast<abbdict*>(object);
  if (!d) return 0;
  uint32_t size = QLTP_hashstrarray_write_sz(d->map);
  if (size == 0 || size > INT32_MAX) return 0;
  if (!dst) return static_cast<int32_t>(size);
  return QLTP_hashstrarray_write(d->map, dst, swap) ? 1 : 0;
}

int32_t QLTPPy_abbrev_write(abbdict* d, QLTP_fixedbuf* buffer) {
  int32_t size = QLTP_tpobj_abbrev_write(d, nullptr, 0);
  if (!buffer) return size;
  if (size > 0 && buffer->data && buffer->size >= static_cast<uint32_t>(size))
    QLTP_tpobj_abbrev_write(d, buffer->data, 0);
  return 1;
}

namespace {
void* loadcustom(FILE* file, int32_t limit) { return QLTP_abbrev_loadcustom(file, limit); }
int writetxt(void* d, const char* path) { return QLTP_abbrev_writetxt(static_cast<abbdict*>(d), path); }
const char* lookup(const void* d, const char* key, int len, int* fullstop) {
  return QLTP_abbdict_lookup(static_cast<const abbdict*>(d), key, len, fullstop);
}

const int registered = QLTP_tpobj_register("TPOBJ_ABBREV", {.load = QLTP_tpobj_abbrev_load,
                                                             .pstload = QLTP_tpobj_abbrev_pstload,
                                                             .del = QLTP_tpobj_abbrev_delete,
                                                             .write = QLTP_tpobj_abbrev_write,
                                                             .loadcustom = loadcustom,
                                                             .writetxt = writetxt,
                                                             .lookup = lookup});
}  // namespace

// ---------------------------------------------------------------------------
// Database

int QLTP_tpdb_replace_abbreviations(tpdb* db, const char* path, const char* name) {
  if (!db || !path || !name) return 0;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  abbdict* d = QLTP_abbrev_loadcustom(f, -1);
  std::fclose(f);
  if (!d) return 0;
  std::string full = object_name(name);
  // The replaced dictionary may still be borrowed: the database keeps it,
  // retired, until it is freed.
  QLTP_tpdb_retire_object(db, full.c_str());
  return QLTP_tpdb_append_object(db, full.c_str(), d);
}

int QLTP_tpdb_replace_custom_abbreviations(tpdb* db, const char* path) {
  return QLTP_tpdb_replace_abbreviations(db, path, "CUSTOM");
}

// ---------------------------------------------------------------------------
// Manager

abbmgr* QLTP_abbmgr_new() {
  auto* m = static_cast<abbmgr*>(QLTP_calloc(sizeof(abbmgr), 1));
  if (!m) return nullptr;
  m->names = QLTP_strarray_new();
  m->dicts = QLTP_voidparray_new();
  m->owned = QLTP_intarray_new();
  if (!m->names || !m->dicts || !m->owned) {
    QLTP_abbmgr_delete(m);
    return nullptr;
  }
  return m;
}

void QLTP_abbmgr_delete(abbmgr* m) {
  if (!m) return;
  int n = QLTP_voidparray_sz(m->dicts);
  for (int i = 0; i < n; ++i)
    if (QLTP_intarray_idx(m->owned, i)) QLTP_abbdict_delete(static_cast<abbdict*>(QLTP_voidparray_idx(m->dicts, i)));
  QLTP_strarray_delete(m->names);
  QLTP_voidparray_delete(m->dicts);
  QLTP_intarray_delete(m->owned);
  QLTP_free(m);
}

int QLTP_abbmgr_sz(const abbmgr* m) { return m ? QLTP_strarray_sz(m->names) : -1; }

abbdict* QLTP_abbmgr_item_abbrev(const abbmgr* m, int i) {
  return m ? static_cast<abbdict*>(QLTP_voidparray_idx(m->dicts, i)) : nullptr;
}

int QLTP_abbmgr_add_channel_abbrev(abbmgr* m, const char* path, const char* name, int position) {
  if (!m || !path || !name) return 0;
  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;
  abbdict* d = QLTP_abbrev_loadcustom(f, -1);
  std::fclose(f);
  if (!d) return 0;
  return QLTP_abbmgr_insert(m, name, d, 1, position);
}

int QLTP_abbmgr_insert(abbmgr* m, const char* name, abbdict* d, int owned, int position) {
  auto refuse = [d, owned] {
    if (owned) QLTP_abbdict_delete(d);
    return 0;
  };
  if (!m || !name || !d) return refuse();
  QLTP_abbmgr_remove_channel_abbrev(m, name);
  int n = QLTP_abbmgr_sz(m);
  if (position < 0 || position > n) position = n;
  if (!QLTP_strarray_insert_item(m->names, name, -1, position)) return refuse();
  if (!QLTP_voidparray_insert_item(m->dicts, d, position)) {
    QLTP_strarray_remove_item(m->names, position);
    return refuse();
  }
  if (!QLTP_intarray_insert_item(m->owned, owned ? 1 : 0, position)) {
    QLTP_voidparray_remove_item(m->dicts, position);
    QLTP_strarray_remove_item(m->names, position);
    return refuse();
  }
  return 1;
}

int QLTP_abbmgr_remove_channel_abbrev(abbmgr* m, const char* name) {
  if (!m || !name) return 0;
  int n = QLTP_abbmgr_sz(m);
  for (int i = 0; i < n; ++i) {
    if (std::strcmp(QLTP_strarray_idx(m->names, i), name) != 0) continue;
    auto* d = static_cast<abbdict*>(QLTP_voidparray_remove_item(m->dicts, i));
    if (QLTP_intarray_idx(m->owned, i)) QLTP_abbdict_delete(d);
    QLTP_intarray_remove_item(m->owned, i);
    QLTP_strarray_remove_item(m->names, i);
    return 1;
  }
  return 0;
}
