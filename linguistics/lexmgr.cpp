#include "linguistics/lexmgr.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/numarray.h"
#include "foundation/serial.h"
#include "foundation/strarray.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"
#include "linguistics/pipeline.h"
#include "textproc/channel.h"

namespace {

constexpr char kDefault[] = "TPOBJ_LEXMGR:DEFAULT";
constexpr char kCustom[] = "TPOBJ_LEXHASH:CUSTOM";
constexpr size_t kMaxName = 64;

int count(const lexmgr* m) { return QLTP_strarray_sz(m->names); }

int base_type(int type) { return type & ~QLTP_LEX_OWNED; }

void free_lexicon(void* lexicon, int type) {
  if (!(type & QLTP_LEX_OWNED)) return;
  if (base_type(type) == QLTP_LEX_PLAIN)
    QLTP_lexhash_delete(static_cast<lexhash*>(lexicon));
  else
    QLTP_complkp_delete(static_cast<complkp*>(lexicon));
}

void raise_bufsz(lexmgr* m, const void* lexicon, int type) {
  if (!lexicon || base_type(type) != QLTP_LEX_COMPRESSED) return;
  uint32_t need = QLTP_complkp_bufsz(static_cast<const complkp*>(lexicon));
  if (need > static_cast<uint32_t>(m->bufsz)) m->bufsz = static_cast<int32_t>(need);
}

// "TPOBJ_LEXHASH:<NAME>" or "TPOBJ_LEXCOMP:<NAME>", the name upper-cased and
// cut to 64 characters.
std::string object_name(const char* name, bool compressed) {
  std::string out = compressed ? "TPOBJ_LEXCOMP:" : "TPOBJ_LEXHASH:";
  std::string_view n(name);
  for (char ch : n.substr(0, kMaxName)) out += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return out;
}

const char* lookup_in(const lexmgr* m, int i, const char* word, const char* type, complkp_lkp* c) {
  void* lexicon = QLTP_voidparray_idx(m->lexicons, i);
  if (!lexicon) return nullptr;
  switch (base_type(QLTP_intarray_idx(m->types, i))) {
    case QLTP_LEX_PLAIN:
      return QLTP_lexhashlkp_lookup(static_cast<const lexhash*>(lexicon), c, word, type);
    case QLTP_LEX_COMPRESSED:
      return QLTP_lexcomp_lookup(static_cast<const complkp*>(lexicon), c, word, type);
    default:
      return nullptr;
  }
}

const char* longest_in(const lexmgr* m, int i, const char* word, complkp_lkp* c, int* len) {
  void* lexicon = QLTP_voidparray_idx(m->lexicons, i);
  if (!lexicon) return nullptr;
  switch (base_type(QLTP_intarray_idx(m->types, i))) {
    case QLTP_LEX_PLAIN:
      return QLTP_lexhash_longestword_lookup(static_cast<const lexhash*>(lexicon), word, len);
    case QLTP_LEX_COMPRESSED:
      return QLTP_lexcomp_longestword_lookup(static_cast<const complkp*>(lexicon), c, word, len);
    default:
      return nullptr;
  }
}

complkp_lkp* thread_cursor() {
  struct Owned {
    complkp_lkp* c = QLTP_complkp_lkp_new(64);
    ~Owned() { QLTP_complkp_lkp_delete(c); }
  };
  thread_local Owned owned;
  return owned.c;
}

int detect_type(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return -1;
  unsigned char head[64];
  size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  int nuls = 0;
  for (size_t i = 0; i < n; ++i) nuls += head[i] == 0;
  return nuls > 2 ? QLTP_LEX_COMPRESSED : QLTP_LEX_PLAIN;
}

// Resolves the type of a file to add: 0 or 1, or -1 (reported for an
// unknown type).
int resolve_type(const char* path, int type) {
  if (type == QLTP_LEX_PLAIN || type == QLTP_LEX_COMPRESSED) return type;
  if (type == QLTP_LEX_DETECT) return detect_type(path);
  std::fprintf(stderr, "Warning: unknown lexicon type %d, ignored.\n", type);
  return -1;
}

// Reads a lexicon file of a resolved type; NULL when it cannot be read.
void* read_lexicon(const char* path, int type, int swap) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return nullptr;
  void* lexicon = nullptr;
  if (type == QLTP_LEX_PLAIN) {
    lexicon = QLTP_lexhash_loadcustom(f, -1);
  } else {
    int64_t size = QLTP_filesize(f);
    if (size > 0) lexicon = QLTP_complkp_read_check(f, swap, size);
  }
  std::fclose(f);
  return lexicon;
}

// Registry operations of "TPOBJ_LEXMGR".
void* lexmgr_load(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_text_object(db, offset,
                                    [](const char* text) -> void* { return QLTP_deserialise_lexmgr(text); });
}

int lexmgr_pstload(tpdb* db, void* object) {
  auto* m = static_cast<lexmgr*>(object);
  for (int i = 0; i < count(m); ++i) {
    int type = QLTP_intarray_idx(m->types, i);
    std::string name = object_name(QLTP_strarray_idx(m->names, i), type != QLTP_LEX_PLAIN);
    void* lexicon = QLTP_tpdb_get_tpdata(db, name.c_str());
    QLTP_voidparray_replace(m->lexicons, i, lexicon);
    raise_bufsz(m, lexicon, type);
  }
  if (void* custom = QLTP_tpdb_get_tpdata(db, kCustom)) QLTP_lexmgr_insert(m, "custom", custom, QLTP_LEX_PLAIN, 0);
  return 1;
}

void lexmgr_delete(void* object) { QLTP_lexmgr_delete(static_cast<lexmgr*>(object)); }

int32_t lexmgr_write(void* object, char* destination, int) {
  return QLTP_tpobj_lexmgr_write(static_cast<const lexmgr*>(object), destination);
}

lexmgr* clone_default(tpdb* db) { return QLTP_lexmgr_clone(QLTP_lexmgr_getlmgr(db)); }

const int registered = QLTP_tpobj_register("TPOBJ_LEXMGR", {.load = lexmgr_load,
                                                            .pstload = lexmgr_pstload,
                                                            .del = lexmgr_delete,
                                                            .write = lexmgr_write});

const int maintained = [] {
  QLTP_tpc_maintenance& m = QLTP_linguistics_maintenance();
  m.clone_lexmgr = clone_default;
  m.delete_lexmgr = QLTP_lexmgr_delete;
  return 1;
}();

}  // namespace

// ---------------------------------------------------------------------------
// Create, copy and free

lexmgr* QLTP_lexmgr_new() {
  auto* m = static_cast<lexmgr*>(QLTP_calloc(sizeof(lexmgr), 1));
  if (!m) return nullptr;
  m->names = QLTP_strarray_new();
  m->lexicons = QLTP_voidparray_new();
  m->types = QLTP_intarray_new();
  if (!m->names || !m->lexicons || !m->types) {
    QLTP_lexmgr_delete(m);
    return nullptr;
  }
  return m;
}

lexmgr* QLTP_deserialise_lexmgr(const char* text) {
  if (!text) return nullptr;
  lexmgr* m = QLTP_lexmgr_new();
  if (!m) return nullptr;
  m->text = QLTP_strndup(text, -1);
  strarray* fields = QLTP_strarray_split_ws(text, static_cast<int>(std::strlen(text)));
  if (!m->text || !fields) {
    QLTP_strarray_delete(fields);
    QLTP_lexmgr_delete(m);
    return nullptr;
  }
  for (int i = 0; i < QLTP_strarray_sz(fields); ++i) {
    std::string_view field(QLTP_strarray_idx(fields, i));
    size_t colon = field.rfind(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    std::string name(field.substr(0, colon));
    std::string_view t = field.substr(colon + 1);
    QLTP_lexmgr_insert(m, name.c_str(), nullptr, t == "0" ? QLTP_LEX_PLAIN : QLTP_LEX_COMPRESSED, -1);
  }
  QLTP_strarray_delete(fields);
  return m;
}

lexmgr* QLTP_lexmgr_clone(const lexmgr* mgr) {
  if (!mgr) return nullptr;
  lexmgr* m = QLTP_lexmgr_new();
  if (!m) return nullptr;
  for (int i = 0; i < count(mgr); ++i) {
    int type = base_type(QLTP_intarray_idx(mgr->types, i));
    if (!QLTP_lexmgr_insert(m, QLTP_strarray_idx(mgr->names, i), QLTP_voidparray_idx(mgr->lexicons, i), type,
                            -1)) {
      QLTP_lexmgr_delete(m);
      return nullptr;
    }
  }
  m->bufsz = mgr->bufsz;
  return m;
}

void QLTP_lexmgr_delete(lexmgr* mgr) {
  if (!mgr) return;
  for (int i = 0; i < QLTP_voidparray_sz(mgr->lexicons); ++i)
    free_lexicon(QLTP_voidparray_idx(mgr->lexicons, i), QLTP_intarray_idx(mgr->types, i));
  QLTP_strarray_delete(mgr->names);
  QLTP_voidparray_delete(mgr->lexicons);
  QLTP_intarray_delete(mgr->types);
  QLTP_free(mgr->text);
  QLTP_free(mgr);
}

// ---------------------------------------------------------------------------
// Lists

int QLTP_lexmgr_insert(lexmgr* mgr, const char* name, void* lexicon, int type, int position) {
  if (!mgr || !name) return 0;
  int n = count(mgr);
  if (position < 0 || position > n) position = n;
  if (!QLTP_strarray_insert_item(mgr->names, name, -1, position)) return 0;
  if (!QLTP_voidparray_insert_item(mgr->lexicons, lexicon, position)) {
    QLTP_strarray_remove_item(mgr->names, position);
    return 0;
  }
  if (!QLTP_intarray_insert_item(mgr->types, type, position)) {
    QLTP_voidparray_remove_item(mgr->lexicons, position);
    QLTP_strarray_remove_item(mgr->names, position);
    return 0;
  }
  raise_bufsz(mgr, lexicon, type);
  return 1;
}

namespace {

int remove_at(lexmgr* mgr, int i) {
  free_lexicon(QLTP_voidparray_idx(mgr->lexicons, i), QLTP_intarray_idx(mgr->types, i));
  QLTP_strarray_remove_item(mgr->names, i);
  QLTP_voidparray_remove_item(mgr->lexicons, i);
  QLTP_intarray_remove_item(mgr->types, i);
  return 1;
}

int find(const lexmgr* mgr, const char* name, bool any_case) {
  for (int i = 0; i < count(mgr); ++i) {
    const char* n = QLTP_strarray_idx(mgr->names, i);
    if (any_case ? strcasecmp(n, name) == 0 : std::strcmp(n, name) == 0) return i;
  }
  return -1;
}

}  // namespace

int QLTP_lexmgr_remove_lexicon(lexmgr* mgr, const char* name) {
  if (!mgr || !name) return 0;
  int i = find(mgr, name, false);
  return i < 0 ? 0 : remove_at(mgr, i);
}

// ---------------------------------------------------------------------------
// Lookups

complkp_lkp* QLTP_lexmgr_cursor(const lexmgr* mgr) {
  complkp_lkp* c = QLTP_complkp_lkp_new(mgr && mgr->bufsz > 0 ? static_cast<uint32_t>(mgr->bufsz) : 1);
  QLTP_lexicon_reset_cursor(c);
  return c;
}

const char* QLTP_lexmgr_lookup(lexmgr* mgr, const char* word, const char* name, const char* type,
                               complkp_lkp* c, int* pronlen) {
  if (pronlen) *pronlen = 0;
  if (!mgr) return nullptr;
  if (!c) c = thread_cursor();
  if (!c) return nullptr;
  bool fresh = word && *word;
  const char* entry = nullptr;
  int found = -1;
  if (name) {
    int i = find(mgr, name, false);
    if (i < 0) i = 0;
    if (i < count(mgr) && (entry = lookup_in(mgr, i, word, type, c))) found = i;
  } else {
    int start = fresh ? 0 : c->lexidx;
    if (start < 0) start = 0;
    const char* w = word;
    for (int i = start; i < count(mgr); ++i) {
      if ((entry = lookup_in(mgr, i, w, type, c))) {
        found = i;
        break;
      }
      // The next lexicon starts a new search for the same word.
      if (!fresh) {
        if (!c->word || !*c->word) break;
        w = c->word;
        fresh = true;
      }
      QLTP_lexicon_reset_cursor(c);
    }
  }
  if (found < 0) return nullptr;
  c->lexidx = found;
  if (pronlen) *pronlen = QLTP_lexentry_pronlen(entry);
  return entry;
}

const char* QLTP_lexmgr_longestword_lookup(lexmgr* mgr, const char* word, complkp_lkp* c, int* len) {
  if (!mgr || !word) return nullptr;
  if (!c) c = thread_cursor();
  if (!c) return nullptr;
  int given = len ? *len : -1;
  int best = -1, best_len = 0;
  for (int i = 0; i < count(mgr); ++i) {
    int n = given;
    if (longest_in(mgr, i, word, c, &n) && n > best_len) {
      best = i;
      best_len = n;
    }
  }
  if (best < 0) {
    if (len && given > 0) *len = 1;
    return nullptr;
  }
  // Looked up again: a later lexicon may have reused the cursor's buffer.
  int n = best_len;
  const char* entry = longest_in(mgr, best, word, c, &n);
  c->lexidx = best;
  if (len) *len = best_len;
  return entry;
}

// ---------------------------------------------------------------------------
// Adding lexicon files

int QLTP_tpc_lexmgr_add_lexicon(channel* ch, lexmgr* mgr, const char* path, const char* name, int position,
                                int type) {
  if (!mgr || !path || !name) return 0;
  if (!QLTP_fileexists(path)) return 0;
  type = resolve_type(path, type);
  if (type < 0) return 0;
  void* lexicon = read_lexicon(path, type, ch && ch->db ? ch->db->swap : 0);
  if (!lexicon) return 0;
  while (QLTP_lexmgr_remove_lexicon(mgr, name)) {
  }
  if (!QLTP_lexmgr_insert(mgr, name, lexicon, type | QLTP_LEX_OWNED, position)) {
    free_lexicon(lexicon, type | QLTP_LEX_OWNED);
    return 0;
  }
  return 1;
}

int QLTP_tpc_add_lexicon_type(channel* ch, const char* path, const char* name, int position, int type) {
  if (!ch || !ch->lexicon_manager) return 0;
  return QLTP_tpc_lexmgr_add_lexicon(ch, ch->lexicon_manager, path, name, position, type);
}

int QLTP_tpc_add_lexicon(channel* ch, const char* path, const char* name, int position) {
  return QLTP_tpc_add_lexicon_type(ch, path, name, position, QLTP_LEX_DETECT);
}

int QLTP_lexmgr_add_lexicon(tpdb* db, lexmgr* mgr, const char* path, const char* name, int position, int type) {
  if (!db || !mgr || !path || !name) return 0;
  if (!QLTP_fileexists(path)) return 0;
  type = resolve_type(path, type);
  if (type < 0) return 0;
  void* lexicon = read_lexicon(path, type, db->swap);
  if (!lexicon) return 0;
  std::string plain = object_name(name, false), compressed = object_name(name, true);
  // The last object under either name leaves the lists; it stays alive until
  // the database is freed, as channel copies may still use it.
  for (int i = QLTP_strarray_sz(db->names) - 1; i >= 0; --i) {
    const char* n = QLTP_strarray_idx(db->names, i);
    if (plain == n || compressed == n) {
      QLTP_tpdb_retire_object(db, n == plain ? plain.c_str() : compressed.c_str());
      int at = find(mgr, name, true);
      if (at >= 0) remove_at(mgr, at);
      break;
    }
  }
  const std::string& object = type == QLTP_LEX_PLAIN ? plain : compressed;
  if (!QLTP_tpdb_append_object(db, object.c_str(), lexicon)) return 0;
  return QLTP_lexmgr_insert(mgr, name, lexicon, type, position);
}

int QLTP_tpdb_add_lexicon_type(tpdb* db, const char* path, const char* name, int position, int type) {
  return QLTP_lexmgr_add_lexicon(db, QLTP_lexmgr_getlmgr(db), path, name, position, type);
}

int QLTP_tpdb_add_lexicon(tpdb* db, const char* path, const char* name, int position) {
  return QLTP_tpdb_add_lexicon_type(db, path, name, position, QLTP_LEX_DETECT);
}

int QLTP_tpdb_replace_custom_lexicon(tpdb* db, const char* path) {
  return QLTP_tpdb_add_lexicon_type(db, path, "custom", 0, QLTP_LEX_PLAIN);
}

// ---------------------------------------------------------------------------
// The database's default manager

lexmgr* QLTP_lexmgr_getlmgr(const tpdb* db) { return static_cast<lexmgr*>(QLTP_tpdb_get_tpdata(db, kDefault)); }

complkp_lkp* QLTP_lexmgr_getlkp(const tpdb* db) {
  lexmgr* m = QLTP_lexmgr_getlmgr(db);
  return m ? QLTP_lexmgr_cursor(m) : nullptr;
}

int32_t QLTP_lexmgr_get_idxlen(const tpdb* db) {
  lexmgr* m = QLTP_lexmgr_getlmgr(db);
  if (!m || count(m) == 0 || base_type(QLTP_intarray_idx(m->types, 0)) != QLTP_LEX_COMPRESSED) return 0;
  auto* table = static_cast<const complkp*>(QLTP_voidparray_idx(m->lexicons, 0));
  return table ? table->flags : 0;
}

const char* QLTP_lexmgr_test(tpdb* db, const char* word, const char* name, const char* type, complkp_lkp* c) {
  if (name && !*name) name = nullptr;
  if (type && !*type) type = nullptr;
  return QLTP_lexmgr_lookup(QLTP_lexmgr_getlmgr(db), word, name, type, c, nullptr);
}

int32_t QLTP_tpobj_lexmgr_write(const lexmgr* mgr, char* destination) {
  if (!mgr) return 0;
  std::string text;
  for (int i = 0; i < count(mgr); ++i) {
    if (i > 0) text += ' ';
    text += QLTP_strarray_idx(mgr->names, i);
    text += base_type(QLTP_intarray_idx(mgr->types, i)) == QLTP_LEX_PLAIN ? ":0" : ":1";
  }
  if (!destination) return static_cast<int32_t>(text.size() + 1);
  std::memcpy(destination, text.c_str(), text.size() + 1);
  return 1;
}
