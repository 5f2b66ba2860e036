#include "linguistics/cbout.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/logger.h"
#include "foundation/strutil.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "textproc/channel.h"

namespace {

constexpr const char* kPhoneMap = "TPOBJ_LGPHONEMAP:DEFAULT";
constexpr const char* kPosMap = "TPOBJ_LGPOSMAP:DEFAULT";

logger* log_of(const cbout* st) { return st ? QLTP_tpc_get_logger(st->ch) : nullptr; }

void warn(const cbout* st, const char* message, std::string_view detail) {
    std::string d(detail);
    QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, message, d.c_str());
}

bool separator(char c) { return c == '|' || c == '+' || c == '_'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

const char* spron_of(const toxtoken* token) { return QLTP_toxtoken_tagval(token, "lex", "spron"); }

// Calls f(phone, separator) for each phone of the spron; stops when f
// gives false.
template <class F>
void each_phone(const char* spron, F f) {
    for (const char* p = spron; p && *p;) {
        const char* from = p;
        while (*p && !separator(*p)) ++p;
        char sep = *p;
        std::string_view phone(from, static_cast<size_t>(p - from));
        if (*p) ++p;
        if (!phone.empty() && !f(phone, sep)) return;
    }
}

void* read_strmap(FILE* file, int swap) {
    hashstrarray* map = nullptr;
    QLTP_hashstrarray_read(file, &map, swap);
    return map;
}

void delete_strmap(void* object) { QLTP_hashstrarray_delete(static_cast<hashstrarray*>(object)); }

int32_t write_strmap(void* object, char* destination, int swap) {
    auto* map = static_cast<const hashstrarray*>(object);
    if (!map) return 0;
    uint32_t size = QLTP_hashstrarray_write_sz(map);
    if (size == 0 || size > INT32_MAX) return 0;
    if (!destination) return static_cast<int32_t>(size);
    return QLTP_hashstrarray_write(map, destination, swap) ? 1 : 0;
}

const int phonemap_registered = QLTP_tpobj_register(
    "TPOBJ_LGPHONEMAP", {.load = QLTP_tpobj_lgphonemap_load, .pstload = QLTP_tpobj_lgphonemap_pstload,
                         .del = QLTP_tpobj_lgphonemap_delete, .write = QLTP_tpobj_lgphonemap_write});
const int posmap_registered = QLTP_tpobj_register(
    "TPOBJ_LGPOSMAP", {.load = QLTP_tpobj_lgposmap_load, .pstload = QLTP_tpobj_lgposmap_pstload,
                       .del = QLTP_tpobj_lgposmap_delete, .write = QLTP_tpobj_lgposmap_write});

}  // namespace

int QLTP_spron_phones(const char* spron, QLTP_spron_phone* out, int max) {
    int n = 0;
    each_phone(spron, [&](std::string_view phone, char sep) {
        if (out && n < max) out[n] = {phone.data(), static_cast<int>(phone.size()), sep};
        ++n;
        return true;
    });
    return n;
}

// Codes are stored as bytes: anything else would wrap into another code.
int QLTP_lgmap_code(const hashstrarray* map, const char* key, int len) {
    const char* value = map && key ? QLTP_hashstrarray_lookup(map, key, len) : nullptr;
    if (!value || !*value) return -1;
    int code = 0;
    for (const char* p = value; *p; ++p) {
        if (!digit(*p) || (code = code * 10 + (*p - '0')) > 255) return -1;
    }
    return code;
}

cbout* QLTP_cbout_new(channel* ch) {
    auto* st = static_cast<cbout*>(QLTP_calloc(sizeof(cbout), 1));
    if (!st) return nullptr;
    st->name = "cbout";
    st->ch = ch;
    st->state = 1;
    if (QLTP_logger_modulelogging(QLTP_tpc_get_logger(ch))) {
        st->module_log = QLTP_dystr_newcustom("", 0, 65536, 65536);
        if (!st->module_log) {
            QLTP_free(st);
            return nullptr;
        }
    }
    QLTP_cbout_reset_tpdb(st, ch);
    return st;
}

void QLTP_cbout_reset(cbout* st) {
    if (!st) return;
    QLTP_dystr_clear(st->module_log);
    st->state = 1;
}

void QLTP_cbout_reset_tpdb(cbout* st, channel* ch) {
    if (!st) return;
    tpdb* db = ch ? ch->db : nullptr;
    st->phone_map = static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, kPhoneMap));
    st->pos_map = static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, kPosMap));
}

void QLTP_cbout_delete(cbout* st) {
    if (!st) return;
    QLTP_dystr_delete(st->module_log);
    QLTP_free(st);
}

int QLTP_cbout_process(cbout* st, toxspstream* spurts, int final) {
    if (!st) return 0;
    st->state = 0;
    int n = QLTP_voidparray_sz(spurts);
    channel* ch = st->ch;
    for (int i = 0; i < n; ++i) {
        toxspurt* spurt = QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, i));
        if (final && i == n - 1) spurt->last = 1;
        if (ch && ch->phrase_cb) ch->phrase_cb(st, ch->user_data, spurt, ch->phrase_a, ch->phrase_b);
        if (st->state) break;
    }
    if (st->module_log) {
        QLTP_dystr_clear(st->module_log);
        QLTP_toxspstream_print(spurts, st->module_log);
        QLTP_logger_logmodule(log_of(st), ch ? ch->jobid : "", st->name, st->state, QLTP_dystr_cstr(st->module_log));
    }
    st->state = final;
    return 0;
}

voidparray* QLTP_cbout_tokens(const toxspurt* spurt) { return QLTP_toxspurt_tokens(spurt); }
int QLTP_cbout_sptid(const toxspurt* spurt) { return QLTP_toxspurt_getid(spurt); }
const char* QLTP_cbout_tpc_jobid(const cbout* st) { return st && st->ch ? st->ch->jobid : nullptr; }
int QLTP_cbout_isempty(const toxtoken* token) { return QLTP_toxtoken_issilent(token); }
int QLTP_cbout_nsyl(const toxtoken* token) { return QLTP_toxtoken_nsyl(token); }

int QLTP_cbout_pos(cbout* st, const toxtoken* token, unsigned char* buf, int size) {
    const char* pos = QLTP_toxtoken_getpos(token);
    if (!pos || !buf || size <= 0) return 0;
    int i = 0;
    for (std::string_view rest = pos; i < size && !rest.empty();) {
        size_t blank = rest.find(' ');
        std::string_view tag = rest.substr(0, blank);
        rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
        if (tag.empty()) continue;
        std::string key(tag.substr(0, tag.find('_')));
        int code = QLTP_lgmap_code(st ? st->pos_map : nullptr, key.c_str(), static_cast<int>(key.size()));
        if (code < 0) warn(st, "POS tag not mapped to LG set - tag lost", key);
        else buf[i] = static_cast<unsigned char>(code);
        ++i;
    }
    return i;
}

int QLTP_cbout_bidx(const toxtoken* token) {
    const char* type = QLTP_toxtoken_tagval(token, "break", "type");
    if (type && (type[0] == '3' || type[0] == '4')) return type[0] - '0';
    return 1;
}

void QLTP_cbout_stress(cbout* st, const toxtoken* token, unsigned char* buf, int size) {
    const char* spron = spron_of(token);
    if (!buf) return;
    int i = 0;
    each_phone(spron, [&](std::string_view phone, char) {
        if (i >= size) {
            warn(st, "CBOUT - phone overun", spron);
            return false;
        }
        char stress = '0';
        for (char c : phone)
            if (digit(c)) stress = c;
        buf[i++] = static_cast<unsigned char>(stress);
        return true;
    });
}

void QLTP_cbout_phtype(cbout* st, const toxtoken* token, unsigned char* buf, int size) {
    const char* spron = spron_of(token);
    if (!buf) return;
    int i = 0;
    unsigned char type = 1;
    each_phone(spron, [&](std::string_view phone, char sep) {
        if (i >= size) {
            warn(st, "CBOUT - phone overun", spron);
            return false;
        }
        for (char c : phone)
            if (digit(c)) type = 2;
        buf[i++] = type;
        if (sep == '|') type = 1;
        else if (sep == '+') type = 3;
        return true;
    });
}

int QLTP_cbout_phones(cbout* st, const toxtoken* token, unsigned char* buf, int size) {
    const char* spron = spron_of(token);
    if (!buf) return 0;
    int i = 0;
    each_phone(spron, [&](std::string_view phone, char) {
        if (i >= size) return false;
        std::string bare;
        for (char c : phone)
            if (!digit(c)) bare += c;
        int code = QLTP_lgmap_code(st ? st->phone_map : nullptr, bare.c_str(), static_cast<int>(bare.size()));
        if (code < 0) {
            warn(st, "Word not mapped to LG set - phone lost", spron);
            code = 0;
        }
        buf[i++] = static_cast<unsigned char>(code);
        return true;
    });
    return i;
}

int QLTP_cbout_wordpos(const toxtoken* token, int16_t* first, int16_t* second) {
    int a, b, c, d;
    QLTP_toxtoken_getcharpos(token, &a, &b, &c, &d);
    if (first) *first = static_cast<int16_t>(c - d);
    if (second) *second = static_cast<int16_t>(c);
    return c;
}

const char* QLTP_cbout_syl(const toxtoken* token, int16_t* count, const char* position) {
    const char* spron = spron_of(token);
    const char* p = position ? position : spron;
    int16_t phones = 0;
    if (p) {
        bool in_phone = false;
        for (; *p && *p != '|'; ++p) {
            if (separator(*p)) {
                in_phone = false;
            } else if (!in_phone) {
                in_phone = true;
                ++phones;
            }
        }
        if (*p == '|') ++p;
    }
    if (count) *count = phones;
    return p;
}

void* QLTP_tpobj_lgphonemap_load(tpdb* db, int32_t offset) {
    return QLTP_tpdb_read_object(db, offset, "TPOBJ_LGPHONEMAP", read_strmap, delete_strmap);
}
int QLTP_tpobj_lgphonemap_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_lgphonemap_delete(void* object) { delete_strmap(object); }
int32_t QLTP_tpobj_lgphonemap_write(void* object, char* destination, int swap) {
    return write_strmap(object, destination, swap);
}

void* QLTP_tpobj_lgposmap_load(tpdb* db, int32_t offset) {
    return QLTP_tpdb_read_object(db, offset, "TPOBJ_LGPOSMAP", read_strmap, delete_strmap);
}
int QLTP_tpobj_lgposmap_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_lgposmap_delete(void* object) { delete_strmap(object); }
int32_t QLTP_tpobj_lgposmap_write(void* object, char* destination, int swap) {
    return write_strmap(object, destination, swap);
}
