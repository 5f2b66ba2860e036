// Letter-to-sound manager: the named compact CARTs of a database in priority
// order. A lookup runs the model of the given name, or the first one. The
// database's manager is "TPOBJ_LTSMGR:DEFAULT"; every channel works on a
// copy whose entries it shares through a reference count. Models belong to
// the database, never to an entry.
//
// Database text: blank-separated fields "<name>:<T>", T "1" for a compact
// CART (bound to "TPOBJ_CCART:<NAME>" after loading), any other character a
// type without a model.
#pragma once

#include <atomic>
#include <cstdint>

struct ccart;
struct complkp_lkp;
struct dystr;
struct lexmgr;
struct logger;
struct tpdb;
struct voidparray;

struct ltsmgr_entry {
  char* name;                 // lower case for entries added from files
  ccart* model;               // borrowed from the database
  int32_t type;               // 1 compact CART; others run nothing
  int32_t position;           // as given when added
  std::atomic<int32_t> refs;  // managers holding the entry
};

struct ltsmgr {
  voidparray* entries;  // ltsmgr_entry*, in priority order
  char* text;           // database text; NULL in copies
};

// Managers
ltsmgr* QLTP_ltsmgr_new();
ltsmgr* QLTP_ltsmgr_clone(const ltsmgr* mgr);
void QLTP_ltsmgr_delete(ltsmgr* mgr);
ltsmgr* QLTP_deserialise_ltsmgr(const char* text);

// Entries: a new entry counts 1 (its maker's hold); delete gives the count
// left (-1 for none) and frees at 0
ltsmgr_entry* QLTP_ltsmgr_entry_new();
ltsmgr_entry* QLTP_ltsmgr_entry_clone(ltsmgr_entry* entry);
int32_t QLTP_ltsmgr_entry_delete(ltsmgr_entry* entry);

// Lookup: the phones of the word from the entry of that name, else the
// first entry; "" when that entry has no model to run.
const char* QLTP_ltsmgr_lookup(ltsmgr* mgr, const char* word, const char* model_name, logger* log, dystr* padded,
                               dystr* out, lexmgr* lexicons, complkp_lkp* cursor, const char* language);

// Editing. Names are lower-cased and cut to 64 characters; a position
// inserts before that index, -1 (or past the end) appends. Removing takes
// the first entry named exactly by the lower-cased name.
int QLTP_ltsmgr_remove_ltsentry(ltsmgr* mgr, const char* name);
int QLTP_ltsmgr_add_ltsentry(ltsmgr* mgr, ccart* model, const char* name, int32_t position);

// Adding a model file (type 1 binary form, 2 text form) to the
// database and a manager; a model already stored under the name is retired
// (kept alive for channel copies until the database is freed) and its entry
// removed; the position counts among the entries left.
int QLTP_ltsmgr_add_lts(tpdb* db, ltsmgr* mgr, const char* path, const char* name, int32_t position, int type);
// The same for "TPOBJ_LTSMGR:DEFAULT"; type 3 detects the form from the
// file's first 13 bytes ("Number_Trees:" is text).
int QLTP_tpdb_add_lts_type(tpdb* db, const char* path, const char* name, int32_t position, int type);
int QLTP_tpdb_add_lts(tpdb* db, const char* path, const char* name, int32_t position);
