// Every database object kind and channel type that the library registers
// from a static initialiser is there in a program that names none of the
// registering units: the build links every unit of the library.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "foundation/tpdb_kinds.h"
#include "textproc/channel.h"

namespace {

// Kinds that load, and channel types, as the library registers them today.
const std::set<std::string> kLoadedKinds = {
    "TPOBJ_ABBREV",
    "TPOBJ_ARCHIS",
    "TPOBJ_CARTLTS",
    "TPOBJ_CCART",
    "TPOBJ_CONFIG",
    "TPOBJ_DISAMCTXT",
    "TPOBJ_HEADER",
    "TPOBJ_HOMTAGS",
    "TPOBJ_INDEX",
    "TPOBJ_JPACCENT",
    "TPOBJ_LEXCOMP",
    "TPOBJ_LEXHASH",
    "TPOBJ_LEXMGR",
    "TPOBJ_LGPHONEMAP",
    "TPOBJ_LGPOSMAP",
    "TPOBJ_LTSMGR",
    "TPOBJ_NRULES",
    "TPOBJ_PARAMDBMGR",
    "TPOBJ_PBREAK",
    "TPOBJ_PHONESET",
    "TPOBJ_PHONESETMAP",
    "TPOBJ_POSSETS",
    "TPOBJ_POSTAGS",
    "TPOBJ_PRULES",
    "TPOBJ_RRULES",
    "TPOBJ_SYLMAX",
};
const std::set<int> kChannelTypes = {QLTP_TPC_FULL,  QLTP_TPC_SENTENCE, QLTP_TPC_SERVER, QLTP_TPC_TK,
                                     QLTP_TPC_NORM, QLTP_TPC_SPURT,    QLTP_TPC_ABOOK,  QLTP_TPC_BUILD};

}  // namespace

TEST(RegistrationTest, EveryRegisteredKindAndTypeIsLinked) {
  std::set<std::string> kinds;
  for (int slot = 0; slot < QLTP_TPOBJ_KINDS; ++slot) {
    if (QLTP_TPOBJ_LOAD[slot]) {
      kinds.insert(QLTP_tpobj_kind_name(slot));
      EXPECT_NE(QLTP_TPOBJ_DELETE[slot], nullptr) << QLTP_tpobj_kind_name(slot);
    }
  }
  EXPECT_EQ(kinds, kLoadedKinds);

  std::set<int> types;
  for (int type = -1; type <= QLTP_TPC_TYPE_COUNT; ++type) {
    const QLTP_tpc_typehooks* hooks = QLTP_tpc_type_hooks(type);
    if (!hooks) continue;
    types.insert(type);
    EXPECT_NE(hooks->init, nullptr) << type;
    EXPECT_NE(hooks->process, nullptr) << type;
  }
  EXPECT_EQ(types, kChannelTypes);
}
