#include "linguistics/ltsmgr.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "foundation/dystr.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"
#include "linguistics/ccart.h"
#include "linguistics/pipeline.h"

namespace {

constexpr size_t kMaxName = 64;
constexpr char kDefault[] = "TPOBJ_LTSMGR:DEFAULT";
constexpr char kModelPrefix[] = "TPOBJ_CCART:";

ltsmgr_entry* EntryAt(const ltsmgr* mgr, int i) {
  return static_cast<ltsmgr_entry*>(QLTP_voidparray_idx(mgr->entries, i));
}

std::string Cased(const char* name, int (*map)(int)) {
  std::string s(name, strnlen(name, kMaxName));
  for (char& c : s) c = static_cast<char>(map(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(const char* name) { return Cased(name, [](int c) { return std::tolower(c); }); }
std::string ObjectName(const char* name) { return kModelPrefix + Cased(name, [](int c) { return std::toupper(c); }); }

bool SameIgnoringCase(const char* a, std::string_view b) {
  if (!a || std::strlen(a) != b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Removes the entry at i from the list, releasing the manager's hold.
void RemoveAt(ltsmgr* mgr, int i) {
  QLTP_ltsmgr_entry_delete(static_cast<ltsmgr_entry*>(QLTP_voidparray_remove_item(mgr->entries, i)));
}

ltsmgr_entry* MakeEntry(const std::string& name, ccart* model, int32_t type, int32_t position) {
  ltsmgr_entry* e = QLTP_ltsmgr_entry_new();
  if (!e) return nullptr;
  e->name = QLTP_strndup(name.data(), static_cast<int>(name.size()));
  if (!e->name) {
    QLTP_ltsmgr_entry_delete(e);
    return nullptr;
  }
  e->model = model;
  e->type = type;
  e->position = position;
  return e;
}

int Insert(ltsmgr* mgr, ltsmgr_entry* e, int32_t position) {
  const int n = QLTP_voidparray_sz(mgr->entries);
  const int at = position < 0 || position > n ? n : position;
  if (!QLTP_voidparray_insert_item(mgr->entries, e, at)) {
    QLTP_ltsmgr_entry_delete(e);
    return 0;
  }
  return 1;
}

ccart* ReadModel(tpdb* db, const char* path, int type) {
  if (type == 2) return QLTP_ccart_readtxt(path);
  FILE* file = std::fopen(path, "rb");
  if (!file) return nullptr;
  ccart* c = nullptr;
  QLTP_ccart_read(file, &c, db->swap);
  std::fclose(file);
  return c;
}

// Type 3: the text form begins with "Number_Trees:"; -1 for a file that
// cannot be opened, 0 for one too short to tell.
int DetectType(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return -1;
  char head[13];
  size_t got = QLTP_fread(head, 1, sizeof head, file);
  std::fclose(file);
  if (got < sizeof head) return 0;
  return std::memcmp(head, "Number_Trees:", sizeof head) == 0 ? 2 : 1;
}

// ---------------------------------------------------------------------------
// The database kind

void* LoadKind(tpdb* db, int32_t offset) {
  return QLTP_tpdb_read_text_object(db, offset,
                                    [](const char* text) -> void* { return QLTP_deserialise_ltsmgr(text); });
}

int BindModels(tpdb* db, void* object) {
  auto* mgr = static_cast<ltsmgr*>(object);
  for (int i = 0; i < QLTP_voidparray_sz(mgr->entries); ++i) {
    ltsmgr_entry* e = EntryAt(mgr, i);
    if (e->type == 1) e->model = static_cast<ccart*>(QLTP_tpdb_get_tpdata(db, ObjectName(e->name).c_str()));
    e->refs = 1;
  }
  return 1;
}

void DeleteKind(void* object) { QLTP_ltsmgr_delete(static_cast<ltsmgr*>(object)); }
int32_t WriteNothing(void*, char*, int) { return 0; }

ltsmgr* CloneDefault(tpdb* db) {
  return QLTP_ltsmgr_clone(static_cast<const ltsmgr*>(QLTP_tpdb_get_tpdata(db, kDefault)));
}

const int registered = [] {
  QLTP_tpc_maintenance& m = QLTP_linguistics_maintenance();
  m.clone_ltsmgr = CloneDefault;
  m.delete_ltsmgr = QLTP_ltsmgr_delete;
  return QLTP_tpobj_register("TPOBJ_LTSMGR",
                             {.load = LoadKind, .pstload = BindModels, .del = DeleteKind, .write = WriteNothing});
}();

}  // namespace

// ---------------------------------------------------------------------------
// Managers and entries

ltsmgr* QLTP_ltsmgr_new() {
  auto* mgr = new (std::nothrow) ltsmgr{};
  if (!mgr) return nullptr;
  if (!(mgr->entries = QLTP_voidparray_new())) {
    delete mgr;
    return nullptr;
  }
  return mgr;
}

ltsmgr* QLTP_ltsmgr_clone(const ltsmgr* mgr) {
  if (!mgr) return nullptr;
  ltsmgr* copy = QLTP_ltsmgr_new();
  if (!copy) return nullptr;
  for (int i = 0; i < QLTP_voidparray_sz(mgr->entries); ++i) {
    ltsmgr_entry* e = QLTP_ltsmgr_entry_clone(EntryAt(mgr, i));
    if (!QLTP_voidparray_add(copy->entries, e)) {
      QLTP_ltsmgr_entry_delete(e);
      QLTP_ltsmgr_delete(copy);
      return nullptr;
    }
  }
  return copy;
}

void QLTP_ltsmgr_delete(ltsmgr* mgr) {
  if (!mgr) return;
  for (int i = 0; i < QLTP_voidparray_sz(mgr->entries); ++i) QLTP_ltsmgr_entry_delete(EntryAt(mgr, i));
  QLTP_voidparray_delete(mgr->entries);
  QLTP_free(mgr->text);
  delete mgr;
}

ltsmgr* QLTP_deserialise_ltsmgr(const char* text) {
  if (!text) return nullptr;
  try {
    ltsmgr* mgr = QLTP_ltsmgr_new();
    if (!mgr) return nullptr;
    mgr->text = QLTP_strndup(text, -1);
    bool ok = mgr->text != nullptr;
    const std::string_view all(text);
    for (size_t at = all.find_first_not_of(QLTP_WSPACE); ok && at != std::string_view::npos;) {
      size_t end = std::min(all.find_first_of(QLTP_WSPACE, at), all.size());
      std::string_view field = all.substr(at, end - at);
      size_t colon = field.rfind(':');
      std::string name(field.substr(0, colon));
      int32_t type = colon != std::string_view::npos && colon + 1 < field.size() && field[colon + 1] == '1' ? 1 : 0;
      ltsmgr_entry* e = MakeEntry(name, nullptr, type, QLTP_voidparray_sz(mgr->entries));
      ok = e && Insert(mgr, e, -1);
      at = all.find_first_not_of(QLTP_WSPACE, end);
    }
    if (!ok) {
      QLTP_ltsmgr_delete(mgr);
      return nullptr;
    }
    return mgr;
  } catch (...) {
    return nullptr;
  }
}

ltsmgr_entry* QLTP_ltsmgr_entry_new() {
  auto* e = new (std::nothrow) ltsmgr_entry{};
  if (e) e->refs = 1;
  return e;
}

ltsmgr_entry* QLTP_ltsmgr_entry_clone(ltsmgr_entry* entry) {
  if (!entry) return nullptr;
  entry->refs.fetch_add(1);
  return entry;
}

int32_t QLTP_ltsmgr_entry_delete(ltsmgr_entry* entry) {
  if (!entry) return -1;
  int32_t left = entry->refs.fetch_sub(1) - 1;
  if (left <= 0) {
    QLTP_free(entry->name);
    delete entry;
    return 0;
  }
  return left;
}

// ---------------------------------------------------------------------------
// Lookup and editing

const char* QLTP_ltsmgr_lookup(ltsmgr* mgr, const char* word, const char* model_name, logger* log, dystr* padded,
                               dystr* out, lexmgr* lexicons, complkp_lkp* cursor, const char* language) {
  if (!mgr || QLTP_voidparray_sz(mgr->entries) == 0) return QLTP_EMPTY_STRING;
  ltsmgr_entry* chosen = EntryAt(mgr, 0);
  for (int i = 0; model_name && i < QLTP_voidparray_sz(mgr->entries); ++i)
    if (std::strcmp(EntryAt(mgr, i)->name, model_name) == 0) {
      chosen = EntryAt(mgr, i);
      break;
    }
  if (chosen->type != 1 || !chosen->model) return QLTP_EMPTY_STRING;
  const char* r = QLTP_runccart(chosen->model, word, log, 0, padded, out, lexicons, cursor, language);
  return r ? r : QLTP_EMPTY_STRING;
}

int QLTP_ltsmgr_remove_ltsentry(ltsmgr* mgr, const char* name) {
  if (!mgr || !name) return 0;
  try {
    const std::string lower = Lower(name);
    for (int i = 0; i < QLTP_voidparray_sz(mgr->entries); ++i)
      if (EntryAt(mgr, i)->name && lower == EntryAt(mgr, i)->name) {
        RemoveAt(mgr, i);
        return 1;
      }
  } catch (...) {
  }
  return 0;
}

int QLTP_ltsmgr_add_ltsentry(ltsmgr* mgr, ccart* model, const char* name, int32_t position) {
  if (!mgr || !name) return 0;
  try {
    ltsmgr_entry* e = MakeEntry(Lower(name), model, 1, position);
    return e ? Insert(mgr, e, position) : 0;
  } catch (...) {
    return 0;
  }
}

int QLTP_ltsmgr_add_lts(tpdb* db, ltsmgr* mgr, const char* path, const char* name, int32_t position, int type) {
  if (!db || !mgr || !path || !name || (type != 1 && type != 2) || !QLTP_fileexists(path)) return 0;
  try {
    ccart* model = ReadModel(db, path, type);
    if (!model) return 0;
    const std::string object = ObjectName(name);
    void* old = QLTP_tpdb_get_tpdata(db, object.c_str());
    // The entry that holds the old model, whatever its name's case.
    ltsmgr_entry* held = nullptr;
    for (int i = 0; old && i < QLTP_voidparray_sz(mgr->entries) && !held; ++i)
      if (EntryAt(mgr, i)->model == old) held = EntryAt(mgr, i);
    if (old && !held) {
      const std::string lower = Lower(name);
      for (int i = 0; i < QLTP_voidparray_sz(mgr->entries) && !held; ++i)
        if (SameIgnoringCase(EntryAt(mgr, i)->name, lower)) held = EntryAt(mgr, i);
    }
    // The new model goes in before the old one goes out, so that a failure
    // leaves the name with its old model.
    ltsmgr_entry* e = MakeEntry(Lower(name), model, 1, position);
    if (!e) {
      QLTP_ccart_delete(model);
      return 0;
    }
    if (!QLTP_tpdb_append_object(db, object.c_str(), model)) {
      QLTP_ltsmgr_entry_delete(e);
      return 0;
    }
    // The new entry must stand at the position it would have once the old
    // one is gone: past the old one, that is one further on now.
    int held_at = -1;
    for (int i = 0; held && i < QLTP_voidparray_sz(mgr->entries); ++i)
      if (EntryAt(mgr, i) == held) held_at = i;
    const int left = QLTP_voidparray_sz(mgr->entries) - (held_at >= 0 ? 1 : 0);
    int at = position < 0 || position > left ? left : position;
    if (held_at >= 0 && at > held_at) ++at;
    if (!Insert(mgr, e, at)) {
      QLTP_tpdb_retire_object(db, object.c_str());
      return 0;
    }
    if (held_at >= 0) RemoveAt(mgr, held_at < at ? held_at : held_at + 1);
    if (old) QLTP_tpdb_retire_object(db, object.c_str(), old);
    return 1;
  } catch (...) {
    return 0;
  }
}

int QLTP_tpdb_add_lts_type(tpdb* db, const char* path, const char* name, int32_t position, int type) {
  auto* mgr = static_cast<ltsmgr*>(QLTP_tpdb_get_tpdata(db, kDefault));
  if (!mgr || !path) return 0;
  if (type == 3) {
    type = DetectType(path);
    if (type < 0) return 0;
  }
  if (type != 1 && type != 2) {
    std::fprintf(stderr, "Warning: unknown lexicon type %d, ignored.\n", type);
    return 0;
  }
  return QLTP_ltsmgr_add_lts(db, mgr, path, name, position, type);
}

int QLTP_tpdb_add_lts(tpdb* db, const char* path, const char* name, int32_t position) {
  return QLTP_tpdb_add_lts_type(db, path, name, position, 3);
}
