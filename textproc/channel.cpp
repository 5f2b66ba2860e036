#include "textproc/channel.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/tpdb.h"
#include "textproc/tokeniser.h"
#include "textproc/toxparse.h"
#include "textproc/toxparselite.h"

const char* const TPC_DEFAULT_CONFIG[] = {
    "<tpconfig>",
    "    <log log='True'",
    "        logdir='.'",
    "        logname='tpc'",
    "        loglevel='info'",
    "        logmoduleoutput='False'",
    "        logstore='False'",
    "        logmoduleclear='True'",
    "        logtofile='False'",
    "        logstderr='False'",
    "        logstdout='False'/>",
    "    <tokenise processing_mode='lax'",
    "        context_size='4096'/>",
    "    <toxparse hzone='True'",
    "        context_size='4096'",
    "        max_token_length='128'",
    "        hzone_start='45'",
    "        hzone_end='100'/>",
    "    <toxparselite max_token_length='30'/>",
    "    <phrasing max_phrase_length='30'",
    "        by_utterance='True'",
    "        max_utterance_length='10'",
    "\t      phrase_length_window='10'/>",
    "    <normalise trace='0'",
    "\t      active='True'/>",
    "    <postagger iterations='6'/>",
    "    <pronounce novowel_spell='True'/>",
    "    <syllabify slang=''/>",
    "    <archiphone match_all_phones='False'/>",
    "    <lgout max_phone_word='120'",
    "\t      max_chars_word='30'",
    " \t      max_pos_word='1'",
    "        max_phrase_sentence='50'",
    "        max_word_sentence='50'",
    "\t      max_syllable_sentence='6000'/>",
    "'</tpconfig>",
    "",
    nullptr,
};

// Type 3: the tokeniser alone.
int QLTP_tpc_init_type_tk(channel* ch) {
    ch->tokeniser = QLTP_tokenise_new(ch);
    return ch->tokeniser != nullptr;
}
void QLTP_tpc_reset_type_tk(channel* ch) { QLTP_tokenise_reset(ch->tokeniser, ch); }
void QLTP_tpc_reset_tpdb_type_tk(channel* ch) { QLTP_tokenise_reset_tpdb(ch->tokeniser, ch); }
void QLTP_tpc_delete_type_tk(channel* ch) {
    QLTP_tokenise_delete(ch->tokeniser);
    ch->tokeniser = nullptr;
}

// One piece: the tokeniser's output goes to the text callback (or the result
// string); at each application tag the text before it, then the tag itself.
// A final piece goes on after each tag until the tokeniser holds nothing.
void QLTP_tpc_process_type_tk(channel* ch, const char* text, int len, int final) {
    tokenise* tk = ch->tokeniser;
    if (tk == nullptr) return;
    int pass = final;
    for (;;) {
        const dystr* out = QLTP_tokenise_process(tk, text, len, pass);
        int taglen = 0, pending = 0, has_content = 0;
        const char* tag = QLTP_tokenise_application_tag(tk, &taglen, &pending, &has_content);
        if (ch->application_cb == nullptr) out = QLTP_tpc_builtin_cb_app_filter(ch, pending, tag, out);
        if (out != nullptr && (!pending || has_content)) {
            if (ch->text_cb != nullptr) {
                ch->text_cb(ch->user_data, QLTP_dystr_cstr(out), QLTP_dystr_sz(out));
            } else {
                QLTP_tpc_builtin_cb_app(ch, pending, tag, out);
            }
        }
        if (!pending) return;
        if (ch->application_cb != nullptr) ch->application_cb(ch->user_data, tag, taglen);
        if (!final) return;
        text = "";
        len = 0;
        pass = 2;
    }
}

namespace {

const QLTP_tpc_typehooks kTkHooks = {QLTP_tpc_init_type_tk, QLTP_tpc_reset_type_tk, QLTP_tpc_reset_tpdb_type_tk,
                                     QLTP_tpc_delete_type_tk, QLTP_tpc_process_type_tk};

constinit std::atomic<const QLTP_tpc_typehooks*> g_types[QLTP_TPC_TYPE_COUNT];
constinit std::atomic<const QLTP_tpc_maintenance*> g_maintenance{nullptr};

const QLTP_tpc_typehooks* Hooks(const channel* ch) { return ch ? QLTP_tpc_type_hooks(ch->type) : nullptr; }

const QLTP_tpc_maintenance* Maintenance() { return g_maintenance.load(std::memory_order_acquire); }

bool FileReadable(const char* path) {
    if (path == nullptr) return false;
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

// Reads a whole file into a string; false when it cannot be read.
bool ReadFile(const char* path, std::string& text) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

configsettings* BuildSettings(const char* path, tpdb* db) {
    config* defaults = QLTP_config_new("tpconfig", 8);
    if (defaults == nullptr) return nullptr;
    QLTP_config_loads(defaults, TPC_DEFAULT_CONFIG);
    config* user = nullptr;
    if (path != nullptr) {
        user = QLTP_config_new("tpconfig", 8);
        if (user != nullptr && !QLTP_config_loadf(user, path)) {
            QLTP_config_delete(user);
            user = nullptr;
        }
    }
    if (user == nullptr && db != nullptr) {
        const char* text = static_cast<const char*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_CONFIG:DEFAULT"));
        if (text != nullptr) {
            user = QLTP_config_new("tpconfig", 8);
            if (user != nullptr) QLTP_config_load(user, text, static_cast<int>(std::strlen(text)));
        }
    }
    configsettings* settings = QLTP_configsettings_new(defaults, user);
    if (settings == nullptr) {
        QLTP_config_delete(defaults);
        QLTP_config_delete(user);
    }
    return settings;
}

void FetchResources(channel* ch) {
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch->db == nullptr || m == nullptr) return;
    if (m->fetch_map != nullptr) {
        ch->sapi_visemes = m->fetch_map(ch->db, "SAPI_VISEMES");
        ch->disney_visemes = m->fetch_map(ch->db, "DISNEY_VISEMES");
        ch->sapi_phoneids = m->fetch_map(ch->db, "SAPI_PHONEIDS");
        ch->mac_phoneids = m->fetch_map(ch->db, "MAC_PHONEIDS");
    }
    if (m->clone_lexmgr != nullptr) ch->lexicon_manager = m->clone_lexmgr(ch->db);
    if (m->clone_ltsmgr != nullptr) ch->lts_manager = m->clone_ltsmgr(ch->db);
}

void DropResources(channel* ch) {
    const QLTP_tpc_maintenance* m = Maintenance();
    phonesetmap** maps[] = {&ch->sapi_visemes, &ch->disney_visemes, &ch->sapi_phoneids, &ch->mac_phoneids};
    for (phonesetmap** map : maps) {
        if (*map != nullptr && m != nullptr && m->delete_map != nullptr) m->delete_map(*map);
        *map = nullptr;
    }
    if (ch->lexicon_manager != nullptr && m != nullptr && m->delete_lexmgr != nullptr)
        m->delete_lexmgr(ch->lexicon_manager);
    ch->lexicon_manager = nullptr;
    if (ch->lts_manager != nullptr && m != nullptr && m->delete_ltsmgr != nullptr) m->delete_ltsmgr(ch->lts_manager);
    ch->lts_manager = nullptr;
}

// Frees everything but the stages.
void FreeChannel(channel* ch) {
    DropResources(ch);
    QLTP_free(ch->jobid);
    QLTP_logger_delete(ch->log);
    QLTP_dystr_delete(ch->work);
    QLTP_dystr_delete(ch->result);
    QLTP_configsettings_delete(ch->settings);
    QLTP_free(ch);
}

void NoStages(channel* ch, const char* operation) {
    QLTP_logger_set_error(ch->log, QLTP_MESSAGE_ERROR, operation, "the channel's type has no such stage");
}

}  // namespace

int QLTP_tpc_register_type(int type, const QLTP_tpc_typehooks* hooks) {
    if (type < 0 || type >= QLTP_TPC_TYPE_COUNT || type == QLTP_TPC_TK) return 0;
    g_types[type].store(hooks, std::memory_order_release);
    return 1;
}

const QLTP_tpc_typehooks* QLTP_tpc_type_hooks(int type) {
    if (type == QLTP_TPC_TK) return &kTkHooks;
    if (type < 0 || type >= QLTP_TPC_TYPE_COUNT) return nullptr;
    return g_types[type].load(std::memory_order_acquire);
}

void QLTP_tpc_register_maintenance(const QLTP_tpc_maintenance* hooks) {
    g_maintenance.store(hooks, std::memory_order_release);
}

const QLTP_tpc_maintenance* QLTP_tpc_maintenance_hooks() { return Maintenance(); }

configsettings* QLTP_tpc_config_settings(const char* path) {
    try {
        return BuildSettings(path, nullptr);
    } catch (...) {
        return nullptr;
    }
}

channel* QLTP_tpc_newtype(tpdb* db, const char* settings_path, int xml_input, const char* jobid, int type) {
    auto* ch = static_cast<channel*>(QLTP_calloc(sizeof(channel), 1));
    if (ch == nullptr) return nullptr;
    try {
        ch->db = db;
        ch->type = type;
        ch->settings = BuildSettings(settings_path, db);
        ch->log = QLTP_logger_new("TPC", 3, ch->settings);
        ch->work = QLTP_dystr_newcustom(nullptr, 0, 1024, 5120);
        ch->result = QLTP_dystr_newcustom(nullptr, 0, 1024, 1024);
        ch->jobid = QLTP_strndup("", -1);
        if (ch->settings == nullptr || ch->log == nullptr || ch->work == nullptr || ch->result == nullptr ||
            ch->jobid == nullptr) {
            FreeChannel(ch);
            return nullptr;
        }
        if (settings_path != nullptr && !FileReadable(settings_path))
            QLTP_logger_set_error(ch->log, QLTP_ERROR_MISSING_FILE, "tpc config does not exist", settings_path);
        FetchResources(ch);
        if (type < 0 || type >= QLTP_TPC_TYPE_COUNT) {
            QLTP_logger_set_error(ch->log, QLTP_MESSAGE_CRITICAL, "Invalid channel type", "");
        } else {
            const QLTP_tpc_typehooks* hooks = QLTP_tpc_type_hooks(type);
            if (hooks == nullptr || hooks->init == nullptr || !hooks->init(ch)) {
                char detail[64];
                std::snprintf(detail, sizeof detail, hooks == nullptr ? "type %d has no stages here"
                                                                      : "type %d stages could not be made",
                              type);
                QLTP_logger_set_error(ch->log, QLTP_MESSAGE_CRITICAL, "Invalid channel type", detail);
                if (hooks != nullptr && hooks->del != nullptr) hooks->del(ch);
                FreeChannel(ch);
                return nullptr;
            }
        }
        QLTP_tpc_reset(ch, xml_input, jobid);
        return ch;
    } catch (...) {
        FreeChannel(ch);
        return nullptr;
    }
}

channel* QLTP_tpc_new(tpdb* db, const char* settings_path, int xml_input, const char* jobid) {
    return QLTP_tpc_newtype(db, settings_path, xml_input, jobid, QLTP_TPC_FULL);
}

void QLTP_tpc_delete(channel* ch) {
    if (ch == nullptr) return;
    const QLTP_tpc_typehooks* hooks = Hooks(ch);
    if (hooks != nullptr && hooks->del != nullptr) hooks->del(ch);
    FreeChannel(ch);
}

void QLTP_tpc_set_jobid(channel* ch, const char* jobid) {
    if (ch == nullptr) return;
    if (jobid == nullptr) jobid = "";
    if (ch->jobid != nullptr && std::strcmp(ch->jobid, jobid) == 0) return;
    char* copy = QLTP_strndup(jobid, -1);
    if (copy == nullptr) return;
    QLTP_free(ch->jobid);
    ch->jobid = copy;
}

void QLTP_tpc_reset(channel* ch, int xml_input, const char* jobid) {
    if (ch == nullptr) return;
    ch->xml_input = xml_input != 0;
    QLTP_tpc_set_jobid(ch, jobid);
    QLTP_logger_module_reset(ch->log);
    const QLTP_tpc_typehooks* hooks = Hooks(ch);
    if (hooks != nullptr && hooks->reset != nullptr) hooks->reset(ch);
    ch->spurt_counter = 0;
    ch->idle = 1;
}

void QLTP_tpc_reset_tpdb(channel* ch, tpdb* db) {
    if (ch == nullptr) return;
    ch->db = db;
    DropResources(ch);
    FetchResources(ch);
    const QLTP_tpc_typehooks* hooks = Hooks(ch);
    if (hooks != nullptr && hooks->reset_tpdb != nullptr) hooks->reset_tpdb(ch);
}

const char* QLTP_tpc_process(channel* ch, const char* text, int len, int final) {
    if (ch == nullptr) return "";
    ch->idle = 0;
    QLTP_dystr_clear(ch->result);
    if (text == nullptr) {
        len = 0;
    } else if (len < 0) {
        len = static_cast<int>(std::strlen(text));
    }
    const QLTP_tpc_typehooks* hooks = Hooks(ch);
    if (len > 0 || final) {
        for (;;) {
            int piece = len <= QLTP_TPC_PIECE ? len : QLTP_TPC_PIECE;
            int piece_final = piece == len ? final : 0;
            if (hooks != nullptr && hooks->process != nullptr) hooks->process(ch, text, piece, piece_final);
            text += piece;
            len -= piece;
            if (len == 0) break;
        }
        if (final) {
            ch->idle = 1;
            QLTP_tpc_reset(ch, ch->xml_input, ch->jobid);
        }
    }
    return QLTP_dystr_cstr(ch->result);
}

void QLTP_tpc_set_text_callback(channel* ch, tpc_text_callback cb, void* user) {
    if (ch == nullptr) return;
    ch->text_cb = cb;
    ch->user_data = user;
}

void QLTP_tpc_set_application_callback(channel* ch, tpc_application_callback cb, void* user) {
    if (ch == nullptr) return;
    ch->application_cb = cb;
    ch->user_data = user;
}

void QLTP_tpc_set_phrase_callback(channel* ch, tpc_phrase_callback cb, void* user, int a, int b) {
    if (ch == nullptr) return;
    ch->phrase_cb = cb;
    ch->user_data = user;
    ch->phrase_a = a;
    ch->phrase_b = b;
}

namespace {

// A pending closing metadata tag: the text before it is not for output.
bool ClosesMetadata(int pending, const char* tag) {
    if (!pending || tag == nullptr || std::strncmp(tag, "</metadata", 10) != 0) return false;
    char c = tag[10];
    return c == '>' || QLTP_is_whitespace(c);
}

}  // namespace

void QLTP_tpc_builtin_cb_app(channel* ch, int pending, const char* tag, const dystr* out) {
    if (ch == nullptr || out == nullptr || ClosesMetadata(pending, tag)) return;
    QLTP_dystr_append(ch->result, QLTP_dystr_cstr(out), QLTP_dystr_sz(out));
}

const dystr* QLTP_tpc_builtin_cb_app_filter(channel*, int pending, const char* tag, const dystr* out) {
    return ClosesMetadata(pending, tag) ? nullptr : out;
}

void QLTP_tpc_log_spurts(channel* ch, const char* module, int state, const voidparray* spurts, dystr* scratch) {
  if (!scratch) return;
  QLTP_dystr_clear(scratch);
  QLTP_toxspstream_print(spurts, scratch);
  QLTP_logger_logmodule(QLTP_tpc_get_logger(ch), ch ? ch->jobid : "", module, state, QLTP_dystr_cstr(scratch));
}

logger* QLTP_tpc_get_logger(const channel* ch) { return ch ? ch->log : nullptr; }
logger* QLTP_tokenise_logger(const channel* ch) { return ch ? ch->log : nullptr; }
phonesetmap* QLTP_tpc_sapi_visemes(const channel* ch) { return ch ? ch->sapi_visemes : nullptr; }
phonesetmap* QLTP_tpc_disney_visemes(const channel* ch) { return ch ? ch->disney_visemes : nullptr; }
phonesetmap* QLTP_tpc_sapi_phoneids(const channel* ch) { return ch ? ch->sapi_phoneids : nullptr; }
phonesetmap* QLTP_tpc_mac_phoneids(const channel* ch) { return ch ? ch->mac_phoneids : nullptr; }

void QLTP_tpc_set_normaliser_tracing(channel* ch, int flag) {
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch == nullptr || ch->normaliser == nullptr || m == nullptr || m->set_normaliser_tracing == nullptr) return;
    m->set_normaliser_tracing(ch, flag);
}

int QLTP_tpc_override_normaliser(channel* ch, const char* rule_file, const char* abbrev_file) {
    if (ch == nullptr) return 0;
    try {
        std::string rules, abbreviations;
        if (rule_file == nullptr || !ReadFile(rule_file, rules)) {
            QLTP_logger_set_error(ch->log, QLTP_ERROR_MISSING_FILE, "Rule file", rule_file ? rule_file : "");
            return 0;
        }
        if (abbrev_file == nullptr || !ReadFile(abbrev_file, abbreviations)) {
            QLTP_logger_set_error(ch->log, QLTP_ERROR_MISSING_FILE, "Abbreviation file",
                                  abbrev_file ? abbrev_file : "");
            return 0;
        }
        const QLTP_tpc_maintenance* m = Maintenance();
        if (ch->normaliser == nullptr || m == nullptr || m->override_normaliser == nullptr) {
            NoStages(ch, "Normaliser override");
            return 0;
        }
        return m->override_normaliser(ch, rules.c_str(), abbreviations.c_str()) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void QLTP_tpc_reset_rules(channel* ch) {
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch == nullptr || ch->normaliser == nullptr || m == nullptr || m->reset_rules == nullptr) return;
    m->reset_rules(ch);
    // The overriding set is freed: the parsers split at the database's separators again.
    if (ch->toxparser) QLTP_toxparse_set_separators(ch->toxparser, ch, nullptr);
    if (ch->toxparserlite) QLTP_toxparselite_set_separators(ch->toxparserlite, ch, nullptr);
}

int QLTP_tpc_override_abbrev(channel* ch, const char* abbrev_file) {
    if (ch == nullptr) return 0;
    if (!FileReadable(abbrev_file)) {
        QLTP_logger_set_error(ch->log, QLTP_ERROR_MISSING_FILE, "Abbreviation file", abbrev_file ? abbrev_file : "");
        return 0;
    }
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch->normaliser == nullptr || m == nullptr || m->override_abbrev == nullptr) {
        NoStages(ch, "Abbreviation override");
        return 0;
    }
    return m->override_abbrev(ch, abbrev_file);
}

int QLTP_tpc_add_abbreviation(channel* ch, const char* abbreviation, const char* expansion, int flag) {
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch == nullptr || ch->normaliser == nullptr || m == nullptr || m->add_abbreviation == nullptr) return 0;
    return m->add_abbreviation(ch, abbreviation, expansion, flag);
}

int QLTP_tpc_add_pbreak(channel* ch, const char* line) {
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch == nullptr || ch->phraser == nullptr || m == nullptr || m->add_pbreak == nullptr) return 0;
    return m->add_pbreak(ch, line);
}

int QLTP_tpc_posset(channel* ch, const char* tag) {
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch == nullptr || ch->pos_tagger == nullptr || m == nullptr || m->posset == nullptr) return 0;
    return m->posset(ch, tag);
}

const char* QLTP_tpc_norm_pos(channel* ch, const char* text, int with_pos) {
    if (ch == nullptr) return "";
    const QLTP_tpc_maintenance* m = Maintenance();
    if (ch->tokeniser == nullptr || ch->toxparser == nullptr || ch->normaliser == nullptr || m == nullptr ||
        m->norm == nullptr) {
        NoStages(ch, "One-shot normalisation");
        QLTP_dystr_clear(ch->work);
        return QLTP_dystr_cstr(ch->work);
    }
    // The one-shot call runs the channel's own stages: in the middle of a
    // stream it would take the held-back text into its output, or leave its
    // own behind for the stream.
    if (!ch->idle) {
        QLTP_logger_set_error(ch->log, QLTP_MESSAGE_ERROR, "One-shot normalisation refused",
                              "a stream is under way; end it with a final call first");
        QLTP_dystr_clear(ch->work);
        return QLTP_dystr_cstr(ch->work);
    }
    ch->idle = 0;
    const char* result = m->norm(ch, text ? text : "", with_pos);
    ch->idle = 1;
    return result ? result : "";
}

const char* QLTP_tpc_norm(channel* ch, const char* text) { return QLTP_tpc_norm_pos(ch, text, 0); }
