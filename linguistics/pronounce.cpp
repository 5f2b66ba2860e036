#include "linguistics/pronounce.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "foundation/complkp.h"
#include "foundation/config.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "linguistics/ccart.h"
#include "linguistics/lexicon.h"
#include "linguistics/lexmgr.h"
#include "linguistics/ltsmgr.h"
#include "linguistics/phoneset.h"
#include "linguistics/pls.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The token's last tag of the name (with the attribute, when one is given).
toxtag* last_tag(const toxtoken* token, const char* name, const char* attribute = nullptr) {
    for (int i = QLTP_toxtoken_notags(token) - 1; i >= 0; --i) {
        toxtag* tag = QLTP_toxtoken_tagidx(token, i);
        const char* tag_name = QLTP_toxtag_name(tag);
        if (tag_name && std::strcmp(tag_name, name) == 0 && (!attribute || QLTP_toxtag_val(tag, attribute)))
            return tag;
    }
    return nullptr;
}

// A new "lex" tag of type startend on the token, from the channel's pool.
toxtag* new_lex_tag(pronounce* stage, toxtoken* token) {
    toxpool* pool = stage->ch ? stage->ch->pool : nullptr;
    toxtag* tag = pool ? QLTP_toxpool_tag(pool) : nullptr;
    if (!tag) return nullptr;
    QLTP_toxtag_init(tag, token, "lex", 3, QLTP_TAG_STARTEND);
    QLTP_toxtoken_addtag(token, tag);
    return tag;
}

std::string optional(const char* s) { return s ? s : ""; }

// Every field, without its trailing digits, is a qrln phone or an upper-case
// name, and none is made of digits only.
bool valid_pronunciation(const phoneset* ps, std::string text) {
    for (char& c : text)
        if (c == '.' || c == '_' || c == '+') c = ' ';
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && is_blank(text[at])) ++at;
        size_t end = at;
        while (end < text.size() && !is_blank(text[end])) ++end;
        if (end == at) break;
        std::string_view field(text.data() + at, end - at);
        while (!field.empty() && field.back() >= '0' && field.back() <= '9') field.remove_suffix(1);
        if (field.empty()) return false;
        bool upper = true;
        for (char c : field) upper &= c >= 'A' && c <= 'Z';
        if (!upper && !QLTP_phoneset_find_qrlnphone_id(ps, field.data(), static_cast<int>(field.size())))
            return false;
        at = end;
    }
    return true;
}

// The letter-to-sound models' pronunciation of a word (the manager's model of
// that name, when one is given); "" when they give none.
std::string letter_to_sound(pronounce* stage, const char* word, const char* model) {
    const char* result = nullptr;
    if (stage->lts)
        result = QLTP_ltsmgr_lookup(stage->lts, word, model, stage->log, stage->work1, stage->work2, stage->lexicons,
                                    stage->cursor, stage->language);
    else if (stage->default_trees)
        result = QLTP_runccart(stage->default_trees, word, stage->log, 0, stage->work1, stage->work2,
                               stage->lexicons, stage->cursor, stage->language);
    return optional(result);
}

std::string lookup(pronounce* stage, const char* word, const char* name, const char* type, bool* found) {
    int pronlen = 0;
    const char* entry = QLTP_lexmgr_lookup(stage->lexicons, word, name, type, stage->cursor, &pronlen);
    *found = entry != nullptr;
    return entry ? std::string(entry, static_cast<size_t>(pronlen)) : std::string();
}

// Letter by letter: each character's "letter" entry, or the models' answer.
std::string spell(pronounce* stage, std::string_view word, const char* model) {
    std::string out;
    for (size_t at = 0; at < word.size();) {
        int n = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(word.data() + at), word.size() - at);
        if (n < 1) n = 1;
        QLTP_dystr_replace(stage->letter, word.data() + at, n);
        bool found = false;
        std::string letter = lookup(stage, QLTP_dystr_cstr(stage->letter), nullptr, "letter", &found);
        if (!found) letter = letter_to_sound(stage, QLTP_dystr_cstr(stage->letter), model);
        // A letter that has no pronunciation adds no empty phone.
        if (!letter.empty()) {
            out += ' ';
            out += letter;
        }
        at += static_cast<size_t>(n);
    }
    return out;
}

// Accent type and morae of a Japanese token's phonemes.
void accent_and_morae(const std::string& phonemes, int* atype, int* mora) {
    *atype = 0;
    *mora = 0;
    bool counting = true;
    bool seen_two = false;
    int count = 0;
    bool previous_other = false;
    size_t at = 0;
    while (at < phonemes.size()) {
        while (at < phonemes.size() && phonemes[at] == ' ') ++at;
        size_t end = at;
        while (end < phonemes.size() && phonemes[end] != ' ') ++end;
        if (end == at) break;
        const char last = phonemes[end - 1];
        if (counting) {
            if (last == '1') {
                ++count;
                counting = false;
                *atype = count;
            } else if (last == '2') {
                ++count;
                seen_two = true;
            } else if (last == '0') {
                if (seen_two) {
                    counting = false;
                    *atype = count;
                } else {
                    ++count;
                }
            }
        }
        const bool mora_field = last == '0' || last == '1' || last == '2' || last == 'Q' || last == 'x';
        if (mora_field || previous_other) ++*mora;
        previous_other = !mora_field;
        at = end;
    }
}

// Pronounces the token at i (and the tokens its word continues into);
// gives the index of the last token it consumed.
int pronounce_token(pronounce* stage, voidparray* tokens, int i) {
    toxtoken* token = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
    const char* norm = QLTP_toxtoken_getnorm(token);
    toxtag* lex = last_tag(token, "lex");
    if (!norm || !*norm) {
        if (lex) QLTP_toxtag_settype(lex, QLTP_TAG_STARTEND);
        return i;
    }
    if (lex && QLTP_toxtag_val(lex, "phoneset") && QLTP_toxtag_val(lex, "phonemes")) {
        const std::string alphabet = QLTP_toxtag_val(lex, "phoneset");
        if (stage->ipa && QLTP_phoneset_chk_name(stage->ipa, alphabet.c_str())) {
            const std::string given = QLTP_toxtag_val(lex, "phonemes");
            QLTP_toxtag_set_attrib(lex, "orgipa", -1, given.c_str(), -1);
            QLTP_dystr_replace(stage->scratch, given.data(), static_cast<int>(given.size()));
            QLTP_phoneset_parse(stage->ipa, stage->scratch, 0, -1);
            QLTP_toxtag_set_attrib(lex, "phonemes", -1, QLTP_dystr_cstr(stage->scratch), -1);
            QLTP_toxtag_set_attrib(lex, "phoneset", -1, "qrln_converted", -1);
        } else if (!QLTP_phoneset_chk_qorlname(alphabet.c_str())) {
            QLTP_logger_log(stage->log, QLTP_LOGGER_WARN, "PRONOUNCE", "phoneset conversion", "unknown alphabet",
                            alphabet.c_str());
        }
    }
    if (!lex) lex = new_lex_tag(stage, token);
    if (!lex) {
        QLTP_logger_set_error(stage->log, QLTP_MESSAGE_WARN, "No tags available pronunciation not set", norm);
        return i;
    }

    // The word runs on through tokens marked as continuing.
    QLTP_dystr_replace(stage->word, norm, -1);
    int last = i;
    while (QLTP_toxtoken_getfeat(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, last)), QLTP_FEAT_WORD_CONTINUES)) {
        int next = last + 1;
        while (next < QLTP_voidparray_sz(tokens)) {
            const char* n = QLTP_toxtoken_getnorm(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, next)));
            if (n && *n) break;
            ++next;
        }
        if (next >= QLTP_voidparray_sz(tokens)) {
            QLTP_logger_set_error(stage->log, QLTP_MESSAGE_WARN,
                                  "No token found after morpheme boundary, something is seriously wrong",
                                  QLTP_dystr_cstr(stage->word));
            break;
        }
        toxtoken* part = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, next));
        QLTP_dystr_append(stage->word, QLTP_toxtoken_getnorm(part), -1);
        toxtag* part_lex = last_tag(part, "lex", "phonemes");
        if (!part_lex) part_lex = new_lex_tag(stage, part);
        if (part_lex) {
            QLTP_toxtag_set_attrib(part_lex, "phonemes", -1, "", 0);
            QLTP_toxtag_settype(part_lex, QLTP_TAG_STARTEND);
            QLTP_toxtoken_move_tag(part, part_lex, -1);
        }
        last = next;
    }
    const std::string word = QLTP_dystr_cstr(stage->word);

    const bool novowel = stage->novowel_spell && stage->rules && QLTP_nrules_getrgx(stage->rules, "novowel", -1) &&
                         QLTP_nrules_rgx(stage->rules, "novowel", -1, word.c_str(),
                                         static_cast<int>(word.size()), nullptr) > 0;
    const char* given_value = QLTP_toxtag_val(lex, "phonemes");
    const bool has_given = given_value != nullptr;
    const std::string given = optional(given_value);
    const char* entry_value = QLTP_toxtag_val(lex, "entry");
    const bool has_entry = entry_value != nullptr;
    const std::string entry = optional(entry_value);
    const bool closed = QLTP_toxtag_type(lex) == QLTP_TAG_CLOSED;
    const bool japanese = QLTP_toxtoken_gettag(token, "jtag") != nullptr;

    bool lexicon_path = !has_given || (has_entry && ((!entry.empty() && japanese) || closed)) ||
                        (!has_entry && closed);
    if (!lexicon_path) {
        if (stage->ipa && !valid_pronunciation(stage->ipa, given)) {
            QLTP_logger_set_error(stage->log, QLTP_MESSAGE_ERROR, "Invalid pronunciation in lex", given.c_str());
            QLTP_toxtag_set_attrib(lex, "phonemes", -1, "", 0);
            lexicon_path = true;
        } else {
            if (stage->log) QLTP_logger_set_error(stage->log, QLTP_MESSAGE_INFO, "Overiding pronunciation", word.c_str());
            const int type = QLTP_toxtag_type(lex);
            std::string phonemes;
            if (type == QLTP_TAG_START || type == QLTP_TAG_STARTEND) {
                phonemes = given;
                for (char& c : phonemes)
                    if (static_cast<unsigned char>(c) >= 0x80) c = ' ';
            }
            QLTP_toxtag_set_attrib(lex, "phonemes", -1, phonemes.c_str(), static_cast<int>(phonemes.size()));
        }
    }

    if (lexicon_path) {
        const char* lexname = QLTP_toxtag_val(lex, "lexname");
        const std::string ltsname = optional(QLTP_toxtag_val(lex, "ltsname"));
        const char* model = ltsname.empty() ? nullptr : ltsname.c_str();
        const std::string lts = optional(QLTP_toxtag_val(lex, "lts"));
        const bool spelled = lts == "spell";
        const bool full_form = entry == "reduced" &&
                               ((stage->slang && *stage->slang) || QLTP_toxtoken_tagval(token, "voice", "slang"));
        bool found = false;
        std::string pron;
        if (full_form) {
            pron = lookup(stage, word.c_str(), lexname, "full", &found);
            if (!found) pron = lookup(stage, word.c_str(), lexname, nullptr, &found);
        } else {
            pron = lookup(stage, word.c_str(), lexname, has_entry ? entry.c_str() : nullptr, &found);
            if (!found && has_entry && !entry.empty()) pron = lookup(stage, word.c_str(), lexname, nullptr, &found);
        }
        bool ltsused = false;
        if (found && !spelled) {
            // the lexicon's pronunciation stands
        } else if (spelled || novowel) {
            pron = spell(stage, word, model);
        } else {
            pron = letter_to_sound(stage, word.c_str(), model);
            ltsused = true;
        }
        if (has_given && closed) pron += " " + given;
        for (char& c : pron)
            if (c == '_') c = ' ';
        const size_t start = pron.find_first_not_of(' ');
        pron = start == std::string::npos ? std::string() : pron.substr(start);
        QLTP_toxtag_set_attrib(lex, "phonemes", -1, pron.c_str(), static_cast<int>(pron.size()));
        if (ltsused) QLTP_toxtag_set_attrib(lex, "ltsused", -1, "true", -1);
    }

    QLTP_toxtag_settype(lex, QLTP_TAG_STARTEND);
    QLTP_toxtoken_move_tag(token, lex, -1);
    if (toxtag* jtag = QLTP_toxtoken_gettag(token, "jtag")) {
        int atype = 0;
        int mora = 0;
        accent_and_morae(optional(QLTP_toxtag_val(lex, "phonemes")), &atype, &mora);
        QLTP_toxtag_set_attrib_int(jtag, "atype", -1, atype);
        QLTP_toxtag_set_attrib_int(jtag, "mora", -1, mora);
    }
    return last;
}

}  // namespace

pronounce* QLTP_pronounce_new(channel* ch) {
    if (!ch || !ch->db) return nullptr;
    auto* stage = new (std::nothrow) pronounce{};
    if (!stage) return nullptr;
    stage->name = "pronounce";
    stage->ch = ch;
    stage->log = ch->log;
    const char* novowel = QLTP_configsettings_lookup(ch->settings, "pronounce", -1, "novowel_spell", -1);
    stage->novowel_spell = novowel && std::strcmp(novowel, "True") == 0;
    const char* slang = QLTP_configsettings_lookup(ch->settings, "syllabify", -1, "slang", -1);
    stage->slang = QLTP_strndup(slang ? slang : "", -1);
    stage->ipa = QLTP_tpdb_get_ipa(ch->db);
    if (stage->ipa) {
        stage->reader = QLTP_pls_new();
        QLTP_pls_addphoneset(stage->reader, stage->ipa, 0);
        QLTP_phoneset_set_logger(stage->ipa, ch->log);
    }
    stage->scratch = QLTP_dystr_newcustom(nullptr, 0, 64, 1024);
    stage->word = QLTP_dystr_newcustom(nullptr, 0, 64, 1024);
    stage->letter = QLTP_dystr_newcustom(nullptr, 0, 64, 1024);
    stage->output = QLTP_voidparray_newcustom(128, 32, 1024);
    stage->spare = QLTP_voidparray_newcustom(128, 32, 1024);
    stage->work1 = QLTP_dystr_newcustom(nullptr, 0, 128, 1024);
    stage->work2 = QLTP_dystr_newcustom(nullptr, 0, 128, 1024);
    if (QLTP_logger_modulelogging(ch->log)) stage->trace = QLTP_dystr_newcustom(nullptr, 0, 65536, 65536);
    if (!stage->slang || !stage->scratch || !stage->word || !stage->letter || !stage->output || !stage->spare ||
        !stage->work1 || !stage->work2 || (stage->ipa && !stage->reader)) {
        QLTP_pronounce_delete(stage);
        return nullptr;
    }
    QLTP_pronounce_reset(stage, ch);
    QLTP_pronounce_reset_tpdb(stage, ch);
    return stage;
}

void QLTP_pronounce_reset(pronounce* stage, channel*) {
    if (!stage) return;
    stage->state = 1;
    QLTP_dystr_clear(stage->trace);
    QLTP_voidparray_clear(stage->output);
}

void QLTP_pronounce_reset_tpdb(pronounce* stage, channel* ch) {
    if (!stage || !ch) return;
    QLTP_complkp_lkp_delete(stage->cursor);
    stage->lexicons = ch->lexicon_manager;
    stage->lts = ch->lts_manager;
    stage->default_trees =
        stage->lts ? nullptr : static_cast<ccart*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_CCART:DEFAULT"));
    stage->cursor = QLTP_lexmgr_cursor(stage->lexicons);
    stage->rules = static_cast<nrules*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_NRULES:DEFAULT"));
    stage->language = QLTP_tpdb_header_val(ch->db, "LANGUAGE", -1);
}

void QLTP_pronounce_delete(pronounce* stage) {
    if (!stage) return;
    QLTP_pls_delete(stage->reader);
    QLTP_phoneset_delete(stage->ipa);
    QLTP_complkp_lkp_delete(stage->cursor);
    QLTP_dystr_delete(stage->scratch);
    QLTP_dystr_delete(stage->word);
    QLTP_dystr_delete(stage->letter);
    QLTP_dystr_delete(stage->work1);
    QLTP_dystr_delete(stage->work2);
    QLTP_dystr_delete(stage->trace);
    QLTP_voidparray_delete(stage->output);
    QLTP_voidparray_delete(stage->spare);
    QLTP_free(stage->slang);
    delete stage;
}

voidparray* QLTP_pronounce_process(pronounce* stage, voidparray* spurts, int final) {
    if (!stage) return nullptr;
    QLTP_voidparray_clear(stage->output);
    for (int s = 0; s < QLTP_voidparray_sz(spurts); ++s) {
        toxspurt* spurt = QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, s));
        voidparray* tokens = QLTP_toxspurt_tokens(spurt);
        for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) i = pronounce_token(stage, tokens, i);
        QLTP_voidparray_add(stage->output, spurt);
    }
    if (QLTP_logger_modulelogging(stage->log))
        QLTP_tpc_log_spurts(stage->ch, "pronounce", stage->state, stage->output, stage->trace);
    stage->state = final;
    return stage->output;
}

phoneset* QLTP_tpc_get_ipa(channel* ch) { return ch && ch->pronouncer ? ch->pronouncer->ipa : nullptr; }

int QLTP_tpc_add_pls(channel* ch, const char* path, const char* name, int position) {
    pronounce* stage = ch ? ch->pronouncer : nullptr;
    if (!stage || !stage->lexicons || !stage->reader || !path || !name || !QLTP_fileexists(path)) return 0;
    lexhash* lex = QLTP_pls_load_pls_filename(stage->reader, path);
    if (!lex) return 0;
    QLTP_lexmgr_remove_lexicon(stage->lexicons, name);
    if (!QLTP_lexmgr_insert(stage->lexicons, name, lex, 4, position)) {
        QLTP_lexhash_delete(lex);
        return 0;
    }
    return 1;
}
