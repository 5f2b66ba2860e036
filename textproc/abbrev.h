// Abbreviation dictionaries: abbreviation -> entry, an entry being one flag
// character ('t': a full stop after the abbreviation belongs to it, 'f'
// not) and the expansion. Read from abbreviation text files (one entry per
// line: abbreviation, flag, expansion to the end of the line) or stored in
// the database as objects "TPOBJ_ABBREV:<NAME>". The manager holds the
// dictionaries a channel adds at run time, in lookup order.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/strmap.h"

struct tpdb;
struct QLTP_fixedbuf;
struct intarray;
struct voidparray;

struct abbdict {
  hashstrarray* map;
};

struct abbmgr {
  strarray* names;
  voidparray* dicts;  // abbdict*, parallel to names
  intarray* owned;    // 1: the manager frees the dictionary
};

// Create, free, add, look up
abbdict* QLTP_abbdict_new(int size);
void QLTP_abbdict_delete(abbdict* d);
int QLTP_abbdict_add(abbdict* d, const char* abbrev, int alen, const char* expansion, int elen, int fullstop);
const char* QLTP_abbdict_lookup(const abbdict* d, const char* key, int len, int* fullstop);

// Text files
abbdict* QLTP_deserialise_abbrev(const char* text);
abbdict* QLTP_abbrev_readtxt(const char* path);
abbdict* QLTP_abbrev_loadcustom(FILE* file, int32_t limit);
int QLTP_abbrev_writetxt(const abbdict* d, const char* path);

// Serial form and the TPOBJ_ABBREV kind
abbdict* QLTP_abbrev_load(FILE* file, int swap);
abbdict* QLTPPy_abbrev_load(const char* path);
void* QLTP_tpobj_abbrev_load(tpdb* db, int32_t offset);
int QLTP_tpobj_abbrev_pstload(tpdb* db, void* d);
void QLTP_tpobj_abbrev_delete(void* d);
int32_t QLTP_tpobj_abbrev_write(void* d, char* destination, int swap);
int32_t QLTPPy_abbrev_write(abbdict* d, QLTP_fixedbuf* buffer);

// Installing a file's dictionary in a loaded database
int QLTP_tpdb_replace_abbreviations(tpdb* db, const char* path, const char* name);
int QLTP_tpdb_replace_custom_abbreviations(tpdb* db, const char* path);

// Manager
abbmgr* QLTP_abbmgr_new();
void QLTP_abbmgr_delete(abbmgr* m);
int QLTP_abbmgr_sz(const abbmgr* m);
abbdict* QLTP_abbmgr_item_abbrev(const abbmgr* m, int i);
int QLTP_abbmgr_add_channel_abbrev(abbmgr* m, const char* path, const char* name, int position);
int QLTP_abbmgr_remove_channel_abbrev(abbmgr* m, const char* name);
// Inserts a dictionary under a name (replacing one of that name) at a
// position (-1: the end); owned dictionaries are freed with the manager,
// and on failure. 1 or 0.
int QLTP_abbmgr_insert(abbmgr* m, const char* name, abbdict* d, int owned, int position);
