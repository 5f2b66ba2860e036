// Glue between the linguistics subsystem and the channel: the one table of
// channel maintenance operations (QLTP_tpc_maintenance) that all linguistics
// code shares. The channel keeps a single registered table, so every module
// fills its own entries of this table from a static initialiser in the unit
// that holds those operations:
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
