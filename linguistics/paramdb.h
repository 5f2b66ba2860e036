#pragma once
// Parameter databases: named sets of parameter matrices. A set has a sample
// rate, a frame size and named doublematrix tables of one common column
// count; the manager holds the sets by name with a replacement threshold and
// is the object of the database kind TPOBJ_PARAMDBMGR.
//
// Stored form, in the writer's byte order: the threshold (double), the set
// names (strarray form), then per name a set: int32 frame size, int32 sample
// rate, the matrix names (dict compact form), the matrices in id order.

#include <cstdint>
#include <cstdio>

#include "foundation/dict.h"
#include "foundation/doublematrix.h"
#include "foundation/strarray.h"
#include "foundation/voidparray.h"

struct tpdb;

struct paramdbset {
    dict* names;            // matrix name -> 1-based id
    voidparray* matrices;   // doublematrix*, index id - 1, owned
    int32_t framesz;
    int32_t srate;
};

struct paramdbmgr {
    double replacement_threshold;
    strarray* names;
    voidparray* sets;       // paramdbset*, parallel to names, owned
};

// Manager
paramdbmgr* QLTP_paramdbmgr_new();
void QLTP_paramdbmgr_delete(paramdbmgr* mgr);
int QLTP_paramdbmgr_sz(const paramdbmgr* mgr);
paramdbset* QLTP_paramdbmgr_idx(const paramdbmgr* mgr, int i);
const char* QLTP_paramdbmgr_idx2name(const paramdbmgr* mgr, int i);
// The set of the first name equal to the given one regardless of case
paramdbset* QLTP_paramdbmgr_name(const paramdbmgr* mgr, const char* name);
// Appends the name and the set, which the manager then owns; 0 leaves the set to the caller
int QLTP_paramdbmgr_add(paramdbmgr* mgr, const char* name, int len, paramdbset* set);
double QLTP_paramdbmgr_replacement_threshold_get(const paramdbmgr* mgr);
void QLTP_paramdbmgr_replacement_threshold_set(paramdbmgr* mgr, double value);

// Set
paramdbset* QLTP_paramdbset_new(int32_t srate, int32_t framesz);
void QLTP_paramdbset_delete(paramdbset* set);
// 1 and the set owns the matrix; 0 for a known name, another column count
// than the matrices added before, or a name the stored form cannot hold
int QLTP_paramdbset_add(paramdbset* set, const char* name, doublematrix* matrix);
doublematrix* QLTP_paramdbset_lookup_data(const paramdbset* set, const char* name);
// The matrix at 0-based position i, NULL outside 0..size-1
doublematrix* QLTP_paramdbset_idx_data(const paramdbset* set, int i);
// The name of a 1-based id, "" when out of range
const char* QLTP_paramdbset_lookup_idx(const paramdbset* set, int id);
int QLTP_paramdbset_sz(const paramdbset* set);
int32_t QLTP_paramdbset_srate(const paramdbset* set);
int32_t QLTP_paramdbset_framesz(const paramdbset* set);

// Stored form (readers give 0 and no object for a short or inconsistent form)
uint32_t QLTP_paramdbmgr_write_sz(const paramdbmgr* mgr);
char* QLTP_paramdbmgr_write(const paramdbmgr* mgr, char* dst, int swap);
int QLTP_paramdbmgr_read(FILE* file, paramdbmgr** out, int swap);
paramdbmgr* QLTPPy_paramdbmgr_load(const char* path, int swap);
uint32_t QLTP_paramdbset_write_sz(const paramdbset* set);
char* QLTP_paramdbset_write(const paramdbset* set, char* dst, int swap);
int QLTP_paramdbset_read(FILE* file, paramdbset** out, int swap);

// Registry operations of TPOBJ_PARAMDBMGR (a manager is not written back:
// write gives 0)
void* QLTP_tpobj_paramdbmgr_load(tpdb* db, int32_t offset);
int QLTP_tpobj_paramdbmgr_pstload(tpdb* db, void* object);
void QLTP_tpobj_paramdbmgr_delete(void* object);
int32_t QLTP_tpobj_paramdbmgr_write(void* object, char* dst, int swap);
