// Channel: the text-processing library's unit of work. One channel owns its
// settings ("tpconfig" layered over built-in defaults), its logger ("TPC"),
// its output strings and the chain of stages of one channel type, and turns a
// stream of input text (fed in calls, the last one final) into output given
// to its callbacks or collected in its result string.
//
// Channel types: 0 full, 1 sentence, 2 server, 3 tk (tokeniser only), 4 norm,
// 5 spurt, 6 abook, 7 build. The tk type is built in; the others get their
// stage chain from the linguistics subsystem through QLTP_tpc_register_type.
// A channel belongs to one thread at a time; its callbacks run on that
// thread, inside the process call.
#pragma once

#include "foundation/config.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"

struct tpdb;
struct tokenise;
struct toxparse;
struct toxparselite;
struct normalise;
struct postagger;
struct homtagger;
struct phrasing;
struct reduction;
struct pronounce;
struct jpaccent;
struct archiphone;
struct syllabify;
struct cbout;
struct toxpool;
struct toxspurt;
struct phonesetmap;
struct lexmgr;
struct ltsmgr;
struct disambiguation;
struct nrules;
struct voidparray;

// Channel types.
enum {
    QLTP_TPC_FULL = 0,
    QLTP_TPC_SENTENCE = 1,
    QLTP_TPC_SERVER = 2,
    QLTP_TPC_TK = 3,
    QLTP_TPC_NORM = 4,
    QLTP_TPC_SPURT = 5,
    QLTP_TPC_ABOOK = 6,
    QLTP_TPC_BUILD = 7,
    QLTP_TPC_TYPE_COUNT = 8,
};

// Input is handed to the type's process hook in pieces of at most this size.
inline constexpr int QLTP_TPC_PIECE = 4096;

// Callbacks. All three share the channel's one user-data pointer.
using tpc_text_callback = void (*)(void* user, const char* text, int len);
using tpc_application_callback = void (*)(void* user, const char* tag, int len);
using tpc_phrase_callback = void (*)(cbout* stage, void* user, toxspurt* spurt, int a, int b);

struct channel {
    int type;
    char* jobid;            // owned; "" when none was given
    int xml_input;          // input is markup (1) or plain text (0)
    configsettings* settings;
    logger* log;            // "TPC"
    tpdb* db;               // borrowed, may be NULL
    int idle;               // 0 while a process call runs
    dystr* work;            // token and spurt printing, one-shot normalisation
    dystr* result;          // output without a text callback; cleared per call
    // Stage slots: NULL unless the type creates them.
    tokenise* tokeniser;
    toxparse* toxparser;
    toxparselite* toxparserlite;
    normalise* normaliser;
    postagger* pos_tagger;
    postagger* prenorm_pos_tagger;
    homtagger* hom_tagger;
    phrasing* phraser;
    reduction* reducer;
    pronounce* pronouncer;
    jpaccent* accent;
    archiphone* archiphones;
    syllabify* syllabifier;
    cbout* output_stage;
    toxpool* pool;          // borrowed from the token parser
    void* user_data;
    tpc_phrase_callback phrase_cb;
    tpc_text_callback text_cb;
    tpc_application_callback application_cb;
    int phrase_a;
    int phrase_b;
    int spurt_counter;      // 0 after every reset; phrasing numbers spurts from 1
    phonesetmap* sapi_visemes;
    phonesetmap* disney_visemes;
    phonesetmap* sapi_phoneids;
    phonesetmap* mac_phoneids;
    lexmgr* lexicon_manager;
    ltsmgr* lts_manager;
};

// Built-in "tpconfig" defaults: lines fed one after another, ended by "".
extern const char* const TPC_DEFAULT_CONFIG[];

// Create and free. newtype returns NULL for a type whose stages are not
// registered (logged as "Invalid channel type"); a type outside 0..7 gives a
// channel without stages. QLTP_tpc_new is newtype with type 0.
channel* QLTP_tpc_newtype(tpdb* db, const char* settings_path, int xml_input, const char* jobid, int type);
channel* QLTP_tpc_new(tpdb* db, const char* settings_path, int xml_input, const char* jobid);
void QLTP_tpc_delete(channel* ch);
configsettings* QLTP_tpc_config_settings(const char* path);

// Processing: cuts the input into pieces and runs the type's stages; len -1
// means up to the NUL; NULL text is empty text. Returns the result string,
// valid until the next call. A final call ends with a reset.
const char* QLTP_tpc_process(channel* ch, const char* text, int len, int final);
void QLTP_tpc_reset(channel* ch, int xml_input, const char* jobid);
void QLTP_tpc_reset_tpdb(channel* ch, tpdb* db);
void QLTP_tpc_set_jobid(channel* ch, const char* jobid);

// Callbacks; each setter also overwrites the shared user data.
void QLTP_tpc_set_text_callback(channel* ch, tpc_text_callback cb, void* user);
void QLTP_tpc_set_application_callback(channel* ch, tpc_application_callback cb, void* user);
void QLTP_tpc_set_phrase_callback(channel* ch, tpc_phrase_callback cb, void* user, int a, int b);

// Built-in output used without callbacks (see the tk type's process).
void QLTP_tpc_builtin_cb_app(channel* ch, int pending, const char* tag, const dystr* out);
const dystr* QLTP_tpc_builtin_cb_app_filter(channel* ch, int pending, const char* tag, const dystr* out);

// Writes the spurts a stage hands on to the channel's module log under the
// stage's module name and state, printing them into scratch; nothing without
// scratch.
void QLTP_tpc_log_spurts(channel* ch, const char* module, int state, const voidparray* spurts, dystr* scratch);

// Accessors; NULL for a NULL channel.
logger* QLTP_tpc_get_logger(const channel* ch);
logger* QLTP_tokenise_logger(const channel* ch);
phonesetmap* QLTP_tpc_sapi_visemes(const channel* ch);
phonesetmap* QLTP_tpc_disney_visemes(const channel* ch);
phonesetmap* QLTP_tpc_sapi_phoneids(const channel* ch);
phonesetmap* QLTP_tpc_mac_phoneids(const channel* ch);

// Maintenance of the normaliser, phrasing and POS stages; they take effect
// only in channels whose type registered them (see QLTP_tpc_maintenance).
void QLTP_tpc_set_normaliser_tracing(channel* ch, int flag);
int QLTP_tpc_override_normaliser(channel* ch, const char* rule_file, const char* abbrev_file);
void QLTP_tpc_reset_rules(channel* ch);
int QLTP_tpc_override_abbrev(channel* ch, const char* abbrev_file);
int QLTP_tpc_add_abbreviation(channel* ch, const char* abbreviation, const char* expansion, int flag);
int QLTP_tpc_add_pbreak(channel* ch, const char* line);
int QLTP_tpc_posset(channel* ch, const char* tag);
// One-shot normalisation: the text as a stream of its own, printed as tokens;
// the channel's next run is not changed by it. Refused ("", logged) between
// a non-final process call and the final one.
const char* QLTP_tpc_norm(channel* ch, const char* text);
const char* QLTP_tpc_norm_pos(channel* ch, const char* text, int with_pos);

// Hooks supplied by later subsystems.
// Per-type stage chain: init creates the type's stages into their slots and
// returns 1 (0 makes newtype fail); process handles one piece.
struct QLTP_tpc_typehooks {
    int (*init)(channel* ch);
    void (*reset)(channel* ch);
    void (*reset_tpdb)(channel* ch);
    void (*del)(channel* ch);
    void (*process)(channel* ch, const char* text, int len, int final);
};
// The five operations of each type, as the channel core calls them: the tk
// type's are built in, the pipeline types' come from the linguistics
// subsystem (linguistics/pipeline.cpp), which registers them.
int QLTP_tpc_init_type_tk(channel* ch);
void QLTP_tpc_reset_type_tk(channel* ch);
void QLTP_tpc_reset_tpdb_type_tk(channel* ch);
void QLTP_tpc_delete_type_tk(channel* ch);
void QLTP_tpc_process_type_tk(channel* ch, const char* text, int len, int final);
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

// Registers the hooks of a type other than tk (the table must outlive every
// channel; NULL unregisters). Returns 1, or 0 for tk or a type outside 0..7.
int QLTP_tpc_register_type(int type, const QLTP_tpc_typehooks* hooks);
const QLTP_tpc_typehooks* QLTP_tpc_type_hooks(int type);

// Database resources a channel derives (phone-set maps, manager copies) and
// the maintenance operations above; each entry may be NULL.
struct QLTP_tpc_maintenance {
    phonesetmap* (*fetch_map)(tpdb* db, const char* name);
    void (*delete_map)(phonesetmap* map);
    lexmgr* (*clone_lexmgr)(tpdb* db);   // copy of "TPOBJ_LEXMGR:DEFAULT"
    void (*delete_lexmgr)(lexmgr* mgr);
    ltsmgr* (*clone_ltsmgr)(tpdb* db);   // copy of "TPOBJ_LTSMGR:DEFAULT"
    void (*delete_ltsmgr)(ltsmgr* mgr);
    void (*set_normaliser_tracing)(channel* ch, int flag);
    int (*override_normaliser)(channel* ch, const char* rules, const char* abbreviations);
    void (*reset_rules)(channel* ch);
    int (*override_abbrev)(channel* ch, const char* path);
    int (*add_abbreviation)(channel* ch, const char* abbreviation, const char* expansion, int flag);
    int (*add_pbreak)(channel* ch, const char* line);
    int (*posset)(channel* ch, const char* tag);
    const char* (*norm)(channel* ch, const char* text, int with_pos);
    // The normaliser's linguistic parts: its word segmentation stage and the
    // lexicon lookups behind the rule interpreter's lexicon tests.
    disambiguation* (*new_disambiguation)(channel* ch);
    void (*reset_disambiguation)(disambiguation* stage);
    void (*reset_tpdb_disambiguation)(disambiguation* stage, channel* ch);
    void (*override_disambiguation_rules)(disambiguation* stage, nrules* rules);
    voidparray* (*process_disambiguation)(disambiguation* stage, voidparray* tokens, int flags);
    void (*delete_disambiguation)(disambiguation* stage);
    void* (*new_lexlookup)(lexmgr* mgr);
    void (*delete_lexlookup)(void* lookup);
    int (*lexicon_test)(lexmgr* mgr, void* lookup, const char* lexicon, const char* word);
};
// The registered table, or NULL.
const QLTP_tpc_maintenance* QLTP_tpc_maintenance_hooks();
void QLTP_tpc_register_maintenance(const QLTP_tpc_maintenance* hooks);
