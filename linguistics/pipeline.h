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

// The five operations of each type, as the channel core calls them.
int QLTP_tpc_init_type_full(channel* ch), QLTP_tpc_init_type_sentence(channel* ch),
    QLTP_tpc_init_type_server(channel* ch), QLTP_tpc_init_type_norm(channel* ch), QLTP_tpc_init_type_spurt(channel* ch),
    QLTP_tpc_init_type_abook(channel* ch), QLTP_tpc_init_type_build(channel* ch);
void QLTP_tpc_reset_type_full(channel* ch), QLTP_tpc_reset_type_sentence(channel* ch),
    QLTP_tpc_reset_type_server(channel* ch), QLTP_tpc_reset_type_norm(channel* ch),
    QLTP_tpc_reset_type_spurt(channel* ch), QLTP_tpc_reset_type_abook(channel* ch),
    QLTP_tpc_reset_type_build(channel* ch);
void QLTP_tpc_reset_tpdb_type_full(channel* ch), QLTP_tpc_reset_tpdb_type_sentence(channel* ch),
    QLTP_tpc_reset_tpdb_type_server(channel* ch), QLTP_tpc_reset_tpdb_type_norm(channel* ch),
    QLTP_tpc_reset_tpdb_type_spurt(channel* ch), QLTP_tpc_reset_tpdb_type_abook(channel* ch),
    QLTP_tpc_reset_tpdb_type_build(channel* ch);
void QLTP_tpc_delete_type_full(channel* ch), QLTP_tpc_delete_type_sentence(channel* ch),
    QLTP_tpc_delete_type_server(channel* ch), QLTP_tpc_delete_type_norm(channel* ch),
    QLTP_tpc_delete_type_spurt(channel* ch), QLTP_tpc_delete_type_abook(channel* ch),
    QLTP_tpc_delete_type_build(channel* ch);
void QLTP_tpc_process_type_full(channel* ch, const char* text, int len, int final),
    QLTP_tpc_process_type_sentence(channel* ch, const char* text, int len, int final),
    QLTP_tpc_process_type_server(channel* ch, const char* text, int len, int final),
    QLTP_tpc_process_type_norm(channel* ch, const char* text, int len, int final),
    QLTP_tpc_process_type_spurt(channel* ch, const char* text, int len, int final),
    QLTP_tpc_process_type_abook(channel* ch, const char* text, int len, int final),
    QLTP_tpc_process_type_build(channel* ch, const char* text, int len, int final);

