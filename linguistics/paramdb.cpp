#include "linguistics/paramdb.h"

#include <cstring>

#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"

namespace {

// The compact dictionary form holds words of at most this many bytes.
constexpr int kMaxMatrixName = 254;

doublematrix* matrix_at(const paramdbset* set, int i) {
    return static_cast<doublematrix*>(QLTP_voidparray_idx(set->matrices, i));
}

void delete_sets(voidparray* sets) {
    for (int i = 0, n = QLTP_voidparray_sz(sets); i < n; ++i)
        QLTP_paramdbset_delete(static_cast<paramdbset*>(QLTP_voidparray_idx(sets, i)));
    QLTP_voidparray_delete(sets);
}

paramdbmgr* make_mgr(double threshold, strarray* names, voidparray* sets) {
    auto* mgr = static_cast<paramdbmgr*>(QLTP_malloc(sizeof(paramdbmgr)));
    if (!mgr) return nullptr;
    mgr->replacement_threshold = threshold;
    mgr->names = names;
    mgr->sets = sets;
    return mgr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Manager

paramdbmgr* QLTP_paramdbmgr_new() {
    strarray* names = QLTP_strarray_new();
    voidparray* sets = QLTP_voidparray_new();
    paramdbmgr* mgr = names && sets ? make_mgr(0.0, names, sets) : nullptr;
    if (!mgr) {
        QLTP_strarray_delete(names);
        QLTP_voidparray_delete(sets);
    }
    return mgr;
}

void QLTP_paramdbmgr_delete(paramdbmgr* mgr) {
    if (!mgr) return;
    QLTP_strarray_delete(mgr->names);
    delete_sets(mgr->sets);
    QLTP_free(mgr);
}

int QLTP_paramdbmgr_sz(const paramdbmgr* mgr) { return mgr ? QLTP_voidparray_sz(mgr->sets) : 0; }

paramdbset* QLTP_paramdbmgr_idx(const paramdbmgr* mgr, int i) {
    return mgr ? static_cast<paramdbset*>(QLTP_voidparray_idx(mgr->sets, i)) : nullptr;
}

const char* QLTP_paramdbmgr_idx2name(const paramdbmgr* mgr, int i) {
    return mgr ? QLTP_strarray_idx(mgr->names, i) : nullptr;
}

paramdbset* QLTP_paramdbmgr_name(const paramdbmgr* mgr, const char* name) {
    if (!mgr || !name) return nullptr;
    for (int i = 0, n = QLTP_strarray_sz(mgr->names); i < n; ++i)
        if (QLTP_strcmp_nocase(QLTP_strarray_idx(mgr->names, i), name)) return QLTP_paramdbmgr_idx(mgr, i);
    return nullptr;
}

int QLTP_paramdbmgr_add(paramdbmgr* mgr, const char* name, int len, paramdbset* set) {
    if (!mgr || !name || !set) return 0;
    if (!QLTP_strarray_add(mgr->names, name, len)) return 0;
    if (!QLTP_voidparray_add(mgr->sets, set)) {
        QLTP_strarray_remove_item(mgr->names, QLTP_strarray_sz(mgr->names) - 1);
        return 0;
    }
    return 1;
}

double QLTP_paramdbmgr_replacement_threshold_get(const paramdbmgr* mgr) {
    return mgr ? mgr->replacement_threshold : 0.0;
}

void QLTP_paramdbmgr_replacement_threshold_set(paramdbmgr* mgr, double value) {
    if (mgr) mgr->replacement_threshold = value;
}

// ---------------------------------------------------------------------------
// Set

paramdbset* QLTP_paramdbset_new(int32_t srate, int32_t framesz) {
    auto* set = static_cast<paramdbset*>(QLTP_malloc(sizeof(paramdbset)));
    if (!set) return nullptr;
    set->names = QLTP_dict_new_empty(16);
    set->matrices = QLTP_voidparray_new();
    set->framesz = framesz;
    set->srate = srate;
    if (!set->names || !set->matrices) {
        QLTP_paramdbset_delete(set);
        return nullptr;
    }
    return set;
}

void QLTP_paramdbset_delete(paramdbset* set) {
    if (!set) return;
    QLTP_dict_delete(set->names);
    for (int i = 0, n = QLTP_voidparray_sz(set->matrices); i < n; ++i) QLTP_doublematrix_delete(matrix_at(set, i));
    QLTP_voidparray_delete(set->matrices);
    QLTP_free(set);
}

int QLTP_paramdbset_add(paramdbset* set, const char* name, doublematrix* matrix) {
    if (!set || !name || !matrix) return 0;
    int len = static_cast<int>(std::strlen(name));
    if (len < 1 || len > kMaxMatrixName || QLTP_dict_lookup_word(set->names, name, len)) return 0;
    int n = QLTP_voidparray_sz(set->matrices);
    if (n > 0 && QLTP_doublematrix_n(matrix_at(set, n - 1)) != QLTP_doublematrix_n(matrix)) return 0;
    if (!QLTP_voidparray_extend(set->matrices, 1)) return 0;
    if (QLTP_dict_add_entry(set->names, name, len) != n + 1) return 0;
    return QLTP_voidparray_add(set->matrices, matrix);
}

doublematrix* QLTP_paramdbset_lookup_data(const paramdbset* set, const char* name) {
    if (!set || !name) return nullptr;
    int id = QLTP_dict_lookup_word(set->names, name, -1);
    return id ? matrix_at(set, id - 1) : nullptr;
}

doublematrix* QLTP_paramdbset_idx_data(const paramdbset* set, int i) {
    return set && i >= 0 ? matrix_at(set, i) : nullptr;
}

const char* QLTP_paramdbset_lookup_idx(const paramdbset* set, int id) {
    if (!set || id < 1 || id > QLTP_paramdbset_sz(set)) return "";
    const char* name = QLTP_dict_lookup_index(set->names, id);
    return name ? name : "";
}

int QLTP_paramdbset_sz(const paramdbset* set) { return set ? QLTP_voidparray_sz(set->matrices) : 0; }
int32_t QLTP_paramdbset_srate(const paramdbset* set) { return set ? set->srate : 0; }
int32_t QLTP_paramdbset_framesz(const paramdbset* set) { return set ? set->framesz : 0; }

// ---------------------------------------------------------------------------
// Stored form

uint32_t QLTP_paramdbset_write_sz(const paramdbset* set) {
    if (!set) return 0;
    uint32_t size = 8 + static_cast<uint32_t>(QLTP_dict_write_sz(set->names));
    for (int i = 0, n = QLTP_paramdbset_sz(set); i < n; ++i) size += QLTP_doublematrix_write_sz(matrix_at(set, i));
    return size;
}

char* QLTP_paramdbset_write(const paramdbset* set, char* dst, int swap) {
    if (!set || !dst) return nullptr;
    int32_t head[2] = {set->framesz, set->srate};
    dst = QLTP_int_write(head, dst, 2, swap);
    dst = QLTP_dict_write(set->names, dst, swap);
    for (int i = 0, n = QLTP_paramdbset_sz(set); dst && i < n; ++i)
        dst = QLTP_doublematrix_write(matrix_at(set, i), dst, swap);
    return dst;
}

int QLTP_paramdbset_read(FILE* file, paramdbset** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    int32_t head[2] = {0, 0};
    if (!file || QLTP_int_read(file, head, 2, swap) != 2) return 0;
    auto* set = static_cast<paramdbset*>(QLTP_malloc(sizeof(paramdbset)));
    if (!set) return 0;
    set->framesz = head[0];
    set->srate = head[1];
    set->matrices = QLTP_voidparray_new();
    set->names = nullptr;
    int total = 2;
    int got = set->matrices ? QLTP_dict_read(file, &set->names, swap) : 0;
    bool ok = got > 0 && set->names;
    total += got;
    int count = ok ? QLTP_dict_size(set->names) : 0;
    for (int i = 0; ok && i < count; ++i) {
        doublematrix* matrix = nullptr;
        got = QLTP_doublematrix_read(file, &matrix, swap);
        // Every matrix of a set has the column count of the first.
        ok = got > 0 && (i == 0 || QLTP_doublematrix_n(matrix) == QLTP_doublematrix_n(matrix_at(set, 0))) &&
             QLTP_voidparray_add(set->matrices, matrix);
        if (!ok) QLTP_doublematrix_delete(matrix);
        total += got;
    }
    if (!ok) {
        QLTP_paramdbset_delete(set);
        return 0;
    }
    *out = set;
    return total;
}

uint32_t QLTP_paramdbmgr_write_sz(const paramdbmgr* mgr) {
    if (!mgr) return 0;
    uint32_t size = 8 + QLTP_strarray_write_sz(mgr->names);
    for (int i = 0, n = QLTP_paramdbmgr_sz(mgr); i < n; ++i) size += QLTP_paramdbset_write_sz(QLTP_paramdbmgr_idx(mgr, i));
    return size;
}

char* QLTP_paramdbmgr_write(const paramdbmgr* mgr, char* dst, int swap) {
    if (!mgr || !dst) return nullptr;
    dst = QLTP_double_write(&mgr->replacement_threshold, dst, 1, swap);
    dst = QLTP_strarray_write(mgr->names, dst, swap);
    for (int i = 0, n = QLTP_paramdbmgr_sz(mgr); dst && i < n; ++i)
        dst = QLTP_paramdbset_write(QLTP_paramdbmgr_idx(mgr, i), dst, swap);
    return dst;
}

int QLTP_paramdbmgr_read(FILE* file, paramdbmgr** out, int swap) {
    if (!out) return 0;
    *out = nullptr;
    double threshold = 0.0;
    if (!file || QLTP_double_read(file, &threshold, 1, swap) != 1) return 0;
    strarray* names = nullptr;
    int got = QLTP_strarray_read(file, &names, swap);
    voidparray* sets = names ? QLTP_voidparray_new() : nullptr;
    if (!got || !sets) {
        QLTP_strarray_delete(names);
        return 0;
    }
    int total = 1 + got;
    bool ok = true;
    for (int i = 0, n = QLTP_strarray_sz(names); ok && i < n; ++i) {
        paramdbset* set = nullptr;
        got = QLTP_paramdbset_read(file, &set, swap);
        ok = got > 0 && QLTP_voidparray_add(sets, set);
        if (!ok) QLTP_paramdbset_delete(set);
        total += got;
    }
    paramdbmgr* mgr = ok ? make_mgr(threshold, names, sets) : nullptr;
    if (!mgr) {
        QLTP_strarray_delete(names);
        delete_sets(sets);
        return 0;
    }
    *out = mgr;
    return total;
}

paramdbmgr* QLTPPy_paramdbmgr_load(const char* path, int swap) {
    FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (!file) return nullptr;
    paramdbmgr* mgr = nullptr;
    QLTP_paramdbmgr_read(file, &mgr, swap);
    std::fclose(file);
    return mgr;
}

// ---------------------------------------------------------------------------
// Registry operations

void* QLTP_tpobj_paramdbmgr_load(tpdb* db, int32_t offset) {
    if (!db || !db->file) return nullptr;
    int32_t size = QLTP_read_int(db, offset);
    paramdbmgr* mgr = nullptr;
    QLTP_paramdbmgr_read(db->file, &mgr, db->swap);
    // The manager must lie inside its own record.
    long end = mgr ? std::ftell(db->file) : -1;
    if (mgr && (end < 0 || end > int64_t{offset} + 4 + size)) {
        QLTP_paramdbmgr_delete(mgr);
        return nullptr;
    }
    return mgr;
}

int QLTP_tpobj_paramdbmgr_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_paramdbmgr_delete(void* object) { QLTP_paramdbmgr_delete(static_cast<paramdbmgr*>(object)); }

int32_t QLTP_tpobj_paramdbmgr_write(void*, char*, int) { return 0; }

namespace {

[[maybe_unused]] const int registered = QLTP_tpobj_register(
    "TPOBJ_PARAMDBMGR", {.load = QLTP_tpobj_paramdbmgr_load,
                         .pstload = QLTP_tpobj_paramdbmgr_pstload,
                         .del = QLTP_tpobj_paramdbmgr_delete,
                         .write = QLTP_tpobj_paramdbmgr_write});

}  // namespace
