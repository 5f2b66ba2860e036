// Object-kind registry of the text-processing database: for each of the 26
// kinds of "TPOBJ_<KIND>:<NAME>" objects, the operations that read, finish,
// free and serialise an object of that kind.
//
// The tables are filled at start-up. The database owns the header and index
// kinds and the configuration kind is built in; every other kind is
// registered by the module that owns its format, from a static initialiser
// in the translation unit that holds the kind's main operations (so that the
// registration is linked whenever the kind is used):
//
//   static const int registered = QLTP_tpobj_register(
//       "TPOBJ_NRULES", {.load = ..., .pstload = ..., .del = ..., .write = ...});
//
// A kind without a load operation is reported as "Can't find io load for
// object" when the database meets one of its objects.
#pragma once

#include <cstdint>
#include <cstdio>

struct tpdb;

inline constexpr int QLTP_TPOBJ_KINDS = 26;

// Load: database and file offset of the object's size word; gives the object
// or NULL. The database has checked that the size word and the object's bytes
// lie inside the file.
using QLTP_tpobj_load_fn = void* (*)(tpdb* db, int32_t offset);
// Post-load: runs once every object is loaded; gives 1 or 0.
using QLTP_tpobj_pstload_fn = int (*)(tpdb* db, void* object);
// Delete: frees the object.
using QLTP_tpobj_delete_fn = void (*)(void* object);
// Write: with a NULL destination the serialised size in bytes, else writes
// the object there (multi-byte fields reversed when swap is set) and gives 1,
// or 0 where the kind does not write.
using QLTP_tpobj_write_fn = int32_t (*)(void* object, char* destination, int swap);
// Reads a custom text file of the kind from an open file (limit -1: to its
// end); the custom abbreviation and custom lexicon files use it.
using QLTP_tpobj_loadcustom_fn = void* (*)(FILE* file, int32_t limit);
// Writes an object of the kind as a text file; 1 on success, else 0.
using QLTP_tpobj_writetxt_fn = int (*)(void* object, const char* path);
// Looks a key (len < 0: up to the NUL) up in an object of the kind: the value,
// with *flag set from the entry, or NULL; the abbreviation kind has one.
using QLTP_tpobj_lookup_fn = const char* (*)(const void* object, const char* key, int len, int* flag);

// The operations of one kind, as a module registers them.
struct QLTP_tpobj_ops {
  QLTP_tpobj_load_fn load = nullptr;
  QLTP_tpobj_pstload_fn pstload = nullptr;
  QLTP_tpobj_delete_fn del = nullptr;
  QLTP_tpobj_write_fn write = nullptr;
  QLTP_tpobj_loadcustom_fn loadcustom = nullptr;
  QLTP_tpobj_writetxt_fn writetxt = nullptr;
  QLTP_tpobj_lookup_fn lookup = nullptr;
};

// Kind slots, in table order.
enum QLTP_tpobj_kind : int {
  QLTP_TPOBJ_ABBREV = 0,
  QLTP_TPOBJ_ARCHIS,
  QLTP_TPOBJ_CARTLTS,
  QLTP_TPOBJ_CCART,
  QLTP_TPOBJ_CONFIG,
  QLTP_TPOBJ_DISAMCTXT,
  QLTP_TPOBJ_HEADER,
  QLTP_TPOBJ_HOMTAGS,
  QLTP_TPOBJ_INDEX,
  QLTP_TPOBJ_JPACCENT,
  QLTP_TPOBJ_LEXCOMP,
  QLTP_TPOBJ_LEXHASH,
  QLTP_TPOBJ_LEXMGR,
  QLTP_TPOBJ_LGPHONEMAP,
  QLTP_TPOBJ_LGPOSMAP,
  QLTP_TPOBJ_LTSMGR,
  QLTP_TPOBJ_NRULES,
  QLTP_TPOBJ_PARAMDBMGR,
  QLTP_TPOBJ_PBREAK,
  QLTP_TPOBJ_PHONESET,
  QLTP_TPOBJ_PHONESETMAP,
  QLTP_TPOBJ_POSSETS,
  QLTP_TPOBJ_POSTAGS,
  QLTP_TPOBJ_PRULES,
  QLTP_TPOBJ_RRULES,
  QLTP_TPOBJ_SYLMAX,
};

// The parallel tables, indexed by slot (NULL where a kind has no operation).
extern const char* const QLTP_TPOBJ_NAMES[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_load_fn QLTP_TPOBJ_LOAD[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_pstload_fn QLTP_TPOBJ_PSTLOAD[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_delete_fn QLTP_TPOBJ_DELETE[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_write_fn QLTP_TPOBJ_WRITE[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_loadcustom_fn QLTP_TPOBJ_LOADCUSTOM[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_writetxt_fn QLTP_TPOBJ_WRITETXT[QLTP_TPOBJ_KINDS];
extern QLTP_tpobj_lookup_fn QLTP_TPOBJ_LOOKUP[QLTP_TPOBJ_KINDS];

// Registration: installs the operations of the kind named exactly (for
// example "TPOBJ_NRULES"), replacing earlier ones; 1, or 0 for an unknown
// kind, the header and index kinds, or a load operation without a delete.
// Registering no operations takes a kind's operations away.
int QLTP_tpobj_register(const char* kind, const QLTP_tpobj_ops& ops);

// Lookup: the slot of an object name (its characters before the first ':'
// select the first kind name that begins with them), or -1; the kind name of
// a slot, or NULL.
int QLTP_tpobj_kind_of(const char* name, int len);
const char* QLTP_tpobj_kind_name(int slot);

// Load operation of the configuration kind: the object is the stored
// NUL-terminated text (its other operations are the configuration's own).
void* QLTP_tpobj_config_load(tpdb* db, int32_t offset);
