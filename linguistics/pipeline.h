// Glue between the linguistics subsystem and the channel.
//
// The seven pipeline channel types (full, sentence, server, norm, spurt,
// abook, build) register their stage chains with QLTP_tpc_register_type from
// this unit. Each type makes its stages in its channel's slots; a type whose
// stages cannot all be made, or a channel without a database, is refused
// ("Invalid channel type"; the stage that could not be made is logged as
// "Channel stage could not be made"). Use:
//
//   tpdb* db = QLTP_tpdb_new(nullptr);
//   QLTP_tpdb_load(db, "en.tpdb");
//   channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "job", QLTP_TPC_FULL);
//   QLTP_tpc_set_phrase_callback(ch, on_spurt, user, 0, 0);
//   QLTP_tpc_process(ch, "Hello world.", -1, 1);
//
// The one table of channel maintenance operations (QLTP_tpc_maintenance) is
// shared by all linguistics code. The channel keeps a single registered
// table, so every module fills its own entries of this table from a static
// initialiser in the unit that holds those operations:
//
//   static const int filled = [] {
//     QLTP_linguistics_maintenance().clone_lexmgr = ...;
//     return 1;
//   }();
//
// The table is registered with the channel the first time it is reached.
#pragma once

#include "textproc/channel.h"

QLTP_tpc_maintenance& QLTP_linguistics_maintenance();
