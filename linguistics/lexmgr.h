#pragma once
// Lexicon manager: named lexicons in priority order. An unnamed lookup
// consults them in order; a lookup may name one lexicon and one entry type.
// A database holds the default manager "TPOBJ_LEXMGR:DEFAULT", whose
// lexicons are database objects; every channel works on its own copy, to
// which lexicon files can be added.
//
// Database text: blank-separated fields "<name>:<T>", T "0" plain, anything
// else compressed. After loading, each name is bound to the object
// "TPOBJ_LEXHASH:<NAME>" or "TPOBJ_LEXCOMP:<NAME>", and a database holding
// "TPOBJ_LEXHASH:CUSTOM" puts it first as "custom".

#include <cstdint>

#include "foundation/complkp.h"
#include "linguistics/lexicon.h"

struct channel;
struct intarray;
struct strarray;
struct tpdb;
struct voidparray;

// Lexicon types; a manager owns (and frees) the lexicons it marks owned.
enum {
  QLTP_LEX_PLAIN = 0,
  QLTP_LEX_COMPRESSED = 1,
  QLTP_LEX_DETECT = 3,
  QLTP_LEX_OWNED = 4,
};

struct lexmgr {
  int32_t bufsz;          // cursor buffer size its compressed lexicons need
  strarray* names;        // in priority order
  voidparray* lexicons;   // parallel to names; NULL where an object is missing
  intarray* types;        // parallel: 0 plain, 1 compressed, + 4 owned
  char* text;             // the database text it was read from; none in copies
};

// Create, copy and free. A copy shares the lexicons and owns none of them.
lexmgr* QLTP_lexmgr_new();
lexmgr* QLTP_deserialise_lexmgr(const char* text);
lexmgr* QLTP_lexmgr_clone(const lexmgr* mgr);
void QLTP_lexmgr_delete(lexmgr* mgr);

// Lookups: the entry text or NULL; pronlen gets the length of its first
// field (0 when nothing is found). A NULL or empty word continues the
// cursor's search; without a cursor a per-thread one is used, valid until
// the next lookup on the thread.
const char* QLTP_lexmgr_lookup(lexmgr* mgr, const char* word, const char* name, const char* type,
                               complkp_lkp* cursor, int* pronlen);
const char* QLTP_lexmgr_longestword_lookup(lexmgr* mgr, const char* word, complkp_lkp* cursor, int* len);
complkp_lkp* QLTP_lexmgr_cursor(const lexmgr* mgr);

// Lists. insert: position -1 appends; the manager takes the lexicon over
// when the type says owned. remove: the first lexicon of exactly that name.
int QLTP_lexmgr_insert(lexmgr* mgr, const char* name, void* lexicon, int type, int position);
int QLTP_lexmgr_remove_lexicon(lexmgr* mgr, const char* name);

// Adding lexicon files (type 0 plain, 1 compressed, 3 detected from the
// file). To a channel's copy: the manager owns the new lexicon. To the
// database's default manager: the database owns it, and an object it
// replaces is retired with the database, since channel copies may still
// use it. Each gives 1 or 0.
int QLTP_tpc_lexmgr_add_lexicon(channel* ch, lexmgr* mgr, const char* path, const char* name, int position,
                                int type);
int QLTP_tpc_add_lexicon_type(channel* ch, const char* path, const char* name, int position, int type);
int QLTP_tpc_add_lexicon(channel* ch, const char* path, const char* name, int position);
int QLTP_lexmgr_add_lexicon(tpdb* db, lexmgr* mgr, const char* path, const char* name, int position, int type);
int QLTP_tpdb_add_lexicon_type(tpdb* db, const char* path, const char* name, int position, int type);
int QLTP_tpdb_add_lexicon(tpdb* db, const char* path, const char* name, int position);
int QLTP_tpdb_replace_custom_lexicon(tpdb* db, const char* path);

// The database's default manager.
lexmgr* QLTP_lexmgr_getlmgr(const tpdb* db);
complkp_lkp* QLTP_lexmgr_getlkp(const tpdb* db);
int32_t QLTP_lexmgr_get_idxlen(const tpdb* db);
const char* QLTP_lexmgr_test(tpdb* db, const char* word, const char* name, const char* type, complkp_lkp* cursor);

// The database kind's write: the text of the fields with its NUL; without a
// destination the size it needs, else 1 once written (0: nothing to write).
int32_t QLTP_tpobj_lexmgr_write(const lexmgr* mgr, char* destination);
