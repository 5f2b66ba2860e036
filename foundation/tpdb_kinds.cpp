#include "foundation/tpdb_kinds.h"

#include <cstring>

#include "foundation/config.h"
#include "foundation/tpdb.h"

namespace {

int config_pstload(tpdb* db, void* object) {
  return QLTP_tpobj_config_pstload(db, static_cast<char*>(object));
}
void config_delete(void* object) { QLTP_tpobj_config_delete(static_cast<char*>(object)); }
int32_t config_write(void* object, char* destination, int swap) {
  return QLTP_tpobj_config_write(static_cast<const char*>(object), destination, swap);
}

int nothing_after_load(tpdb*, void*) { return 1; }
int32_t writes_nothing(void*, char*, int) { return 0; }

}  // namespace

const char* const QLTP_TPOBJ_NAMES[QLTP_TPOBJ_KINDS] = {
    "TPOBJ_ABBREV",     "TPOBJ_ARCHIS",     "TPOBJ_CARTLTS",     "TPOBJ_CCART",
    "TPOBJ_CONFIG",     "TPOBJ_DISAMCTXT",  "TPOBJ_HEADER",      "TPOBJ_HOMTAGS",
    "TPOBJ_INDEX",      "TPOBJ_JPACCENT",   "TPOBJ_LEXCOMP",     "TPOBJ_LEXHASH",
    "TPOBJ_LEXMGR",     "TPOBJ_LGPHONEMAP", "TPOBJ_LGPOSMAP",    "TPOBJ_LTSMGR",
    "TPOBJ_NRULES",     "TPOBJ_PARAMDBMGR", "TPOBJ_PBREAK",      "TPOBJ_PHONESET",
    "TPOBJ_PHONESETMAP", "TPOBJ_POSSETS",   "TPOBJ_POSTAGS",     "TPOBJ_PRULES",
    "TPOBJ_RRULES",     "TPOBJ_SYLMAX",
};

// Constant-initialised, so that modules may register from static
// initialisers in any order.
constinit QLTP_tpobj_load_fn QLTP_TPOBJ_LOAD[QLTP_TPOBJ_KINDS] = {
    // config (4), header (6), index (8)
    nullptr, nullptr, nullptr, nullptr,
    QLTP_tpobj_config_load, nullptr, QLTP_tpobj_header_load, nullptr,
    QLTP_tpobj_index_load, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};
constinit QLTP_tpobj_pstload_fn QLTP_TPOBJ_PSTLOAD[QLTP_TPOBJ_KINDS] = {
    // config (4), header (6), index (8)
    nullptr, nullptr, nullptr, nullptr,
    config_pstload, nullptr, nothing_after_load, nullptr,
    nothing_after_load, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};
constinit QLTP_tpobj_delete_fn QLTP_TPOBJ_DELETE[QLTP_TPOBJ_KINDS] = {
    // config (4), header (6), index (8)
    nullptr, nullptr, nullptr, nullptr,
    config_delete, nullptr, QLTP_tpobj_header_delete, nullptr,
    QLTP_tpobj_index_delete, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};
constinit QLTP_tpobj_write_fn QLTP_TPOBJ_WRITE[QLTP_TPOBJ_KINDS] = {
    // config (4), header (6), index (8)
    nullptr, nullptr, nullptr, nullptr,
    config_write, nullptr, writes_nothing, nullptr,
    writes_nothing, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};
constinit QLTP_tpobj_loadcustom_fn QLTP_TPOBJ_LOADCUSTOM[QLTP_TPOBJ_KINDS] = {};
constinit QLTP_tpobj_writetxt_fn QLTP_TPOBJ_WRITETXT[QLTP_TPOBJ_KINDS] = {};
constinit QLTP_tpobj_lookup_fn QLTP_TPOBJ_LOOKUP[QLTP_TPOBJ_KINDS] = {};

int QLTP_tpobj_register(const char* kind, const QLTP_tpobj_ops& ops) {
  if (!kind || ((ops.load || ops.loadcustom) && !ops.del)) return 0;
  for (int slot = 0; slot < QLTP_TPOBJ_KINDS; ++slot) {
    if (std::strcmp(kind, QLTP_TPOBJ_NAMES[slot]) != 0) continue;
    if (slot == QLTP_TPOBJ_HEADER || slot == QLTP_TPOBJ_INDEX) return 0;
    QLTP_TPOBJ_LOAD[slot] = ops.load;
    QLTP_TPOBJ_PSTLOAD[slot] = ops.pstload;
    QLTP_TPOBJ_DELETE[slot] = ops.del;
    QLTP_TPOBJ_WRITE[slot] = ops.write;
    QLTP_TPOBJ_LOADCUSTOM[slot] = ops.loadcustom;
    QLTP_TPOBJ_WRITETXT[slot] = ops.writetxt;
    QLTP_TPOBJ_LOOKUP[slot] = ops.lookup;
    return 1;
  }
  return 0;
}

int QLTP_tpobj_kind_of(const char* name, int len) {
  if (!name) return -1;
  size_t n = len < 0 ? std::strlen(name) : static_cast<size_t>(len);
  const void* colon = std::memchr(name, ':', n);
  if (colon) n = static_cast<size_t>(static_cast<const char*>(colon) - name);
  // An empty kind part would select the first kind whatever the name.
  if (n == 0) return -1;
  for (int slot = 0; slot < QLTP_TPOBJ_KINDS; ++slot) {
    const char* kind = QLTP_TPOBJ_NAMES[slot];
    if (std::strlen(kind) >= n && std::memcmp(kind, name, n) == 0) return slot;
  }
  return -1;
}

const char* QLTP_tpobj_kind_name(int slot) {
  return slot >= 0 && slot < QLTP_TPOBJ_KINDS ? QLTP_TPOBJ_NAMES[slot] : nullptr;
}
