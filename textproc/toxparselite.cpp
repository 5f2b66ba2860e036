#include "textproc/toxparselite.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "foundation/regex.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

const char* const QLTPL_WHITESPACE_CHARS[6] = {" ", "\n", "\r", "\t", "\xC2\xA0", ""};
const char QLTPL_SEPARATORS[6] = "-+=/@";

namespace {

// One character's class, looked up for single bytes.
struct ByteClasses {
    bool space[256] = {};
    bool separator[256] = {};
    ByteClasses() {
        for (int i = 0; QLTPL_WHITESPACE_CHARS[i][0]; ++i)
            if (!QLTPL_WHITESPACE_CHARS[i][1]) space[static_cast<unsigned char>(QLTPL_WHITESPACE_CHARS[i][0])] = true;
        for (const char* c = QLTPL_SEPARATORS; *c; ++c) separator[static_cast<unsigned char>(*c)] = true;
    }
};
const ByteClasses kBytes;

constexpr uint32_t kKeepTokens = 1u << 22;

// A word longer than this many bytes is pushed before it grows further.
constexpr int kMaxWordBytes = 254;

logger* log_of(const toxparselite* p) { return p->ch ? p->ch->log : nullptr; }

toxtoken* last_token(const toxparselite* p) {
    int n = QLTP_voidparray_sz(p->tokens);
    return n ? static_cast<toxtoken*>(QLTP_voidparray_idx(p->tokens, n - 1)) : nullptr;
}

bool is_whitespace(const unsigned char* c, int len) {
    if (len == 1) return kBytes.space[c[0]];
    for (int i = 0; QLTPL_WHITESPACE_CHARS[i][0]; ++i)
        if (std::strlen(QLTPL_WHITESPACE_CHARS[i]) == static_cast<size_t>(len) &&
            std::memcmp(QLTPL_WHITESPACE_CHARS[i], c, static_cast<size_t>(len)) == 0)
            return true;
    return false;
}

bool is_separator(const toxparselite* p, const unsigned char* c, int len) {
    if (p->rules)
        return QLTP_nrules_rgx(p->rules, "separators", 10, reinterpret_cast<const char*>(c), len, nullptr) > 0;
    return len == 1 && kBytes.separator[c[0]];
}

void push_token(toxparselite* p, const char* text, int len, int f0, int64_t char_end, int64_t byte_end, int chars,
                int bytes) {
    toxtoken* token = QLTP_toxpool_token(p->pool);
    if (!token) {
        QLTP_logger_set_error(log_of(p), QLTP_MESSAGE_WARN, "No tokens available for tokenising", "");
        return;
    }
    token->parent = p->tokens;
    QLTP_toxtoken_set(token, text, len);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_WHITESPACE, f0);
    QLTP_toxtoken_setid(token, p->next_id++);
    if (chars != 0) {
        if (toxtag* mark = QLTP_toxpool_tag(p->pool)) {
            QLTP_toxtag_init(mark, token, "mark", 4, QLTP_TAG_CLOSED);
            QLTP_toxtoken_addtag(token, mark);
            char name[96];
            char* at = name;
            for (int64_t v : {char_end, byte_end, static_cast<int64_t>(chars), static_cast<int64_t>(bytes)}) {
                if (at != name) *at++ = '_';
                at = std::to_chars(at, name + sizeof name, v).ptr;
            }
            QLTP_toxtag_set_attrib(mark, "name", 4, name, static_cast<int>(at - name));
        }
    }
    if (p->pushed > 0) {
        if (toxtag* parent = QLTP_toxpool_tag(p->pool)) {
            QLTP_toxtag_init(parent, token, "parent", 6, p->pushed == 1 ? QLTP_TAG_START : QLTP_TAG_MID);
            QLTP_toxtoken_addtag(token, parent);
            if (p->pushed > 1) QLTP_toxtag_set_fellow(parent, p->last_parent);
            p->last_parent = parent;
        }
    }
    if (p->tokens->count == p->tokens->capacity)
        QLTP_voidparray_extend(p->tokens, std::max<int>(static_cast<int>(p->tokens->count), 128));
    QLTP_voidparray_add(p->tokens, token);
    ++p->pushed;
}

// Pushes the collected word, cut at character boundaries into pieces of at
// most max_token_length bytes (at least one character each); the word ends
// at the given offsets.
void push_word(toxparselite* p, int f0, int64_t char_end, int64_t byte_end) {
    int n = QLTP_dystr_sz(p->word);
    if (n <= 0) return;
    const char* w = QLTP_dystr_cstr(p->word);
    int count = static_cast<int>(p->word_in.size());
    if (n <= p->max_token_length) {
        // One piece, the usual case: no need to walk its characters.
        push_token(p, w, n, f0, char_end, byte_end, count, p->word_bytes);
        count = 0;
    }
    int chars_left = p->word_chars, bytes_left = p->word_bytes;
    int start = 0, k = 0;
    while (k < count) {
        int piece_bytes = 0, piece_in = 0, piece_chars = 0;
        while (k < count) {
            int out = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(w + start + piece_bytes),
                                         static_cast<size_t>(n - start - piece_bytes));
            if (out < 1) out = 1;
            if (piece_chars > 0 && piece_bytes + out > p->max_token_length) break;
            piece_bytes += out;
            piece_in += p->word_in[static_cast<size_t>(k)];
            ++piece_chars;
            ++k;
        }
        chars_left -= piece_chars;
        bytes_left -= piece_in;
        push_token(p, w + start, piece_bytes, k == count ? f0 : 0, char_end - chars_left, byte_end - bytes_left,
                   piece_chars, piece_in);
        start += piece_bytes;
    }
    QLTP_dystr_clear(p->word);
    p->word_in.clear();
    p->word_chars = p->word_bytes = 0;
}

// One character: its input bytes (in_len) and the bytes that stand for it.
void take_char(toxparselite* p, const unsigned char* c, int len, int in_len) {
    bool ws = is_whitespace(c, len);
    bool sep = !ws && is_separator(p, c, len);
    if (!ws && !sep) {
        if (QLTP_dystr_sz(p->word) > kMaxWordBytes) push_word(p, 0, p->chars, p->bytes);
        QLTP_dystr_append(p->word, reinterpret_cast<const char*>(c), len);
        p->word_in.push_back(static_cast<unsigned char>(in_len));
        ++p->word_chars;
        p->word_bytes += in_len;
    } else if (QLTP_dystr_sz(p->word) > 0) {
        push_word(p, ws ? 1 : 0, p->chars, p->bytes);
        if (sep) push_token(p, reinterpret_cast<const char*>(c), len, 0, 0, 0, 0, 0);
    } else if (ws) {
        QLTP_toxtoken_setfeat(last_token(p), QLTP_FEAT_WHITESPACE, 1);
    } else {
        push_token(p, reinterpret_cast<const char*>(c), len, 0, 0, 0, 0, 0);
    }
    ++p->chars;
    p->bytes += in_len;
}

// Walks the bytes; a character cut by the end of a non-final piece waits
// for the next one.
void walk(toxparselite* p, const unsigned char* b, int n, int final) {
    static const unsigned char kBad[] = "_";
    for (int i = 0; i < n;) {
        // A run of plain ASCII word characters joins the word at once, in
        // pieces that keep the word buffer at most one byte over its limit.
        int run = i;
        while (run < n && b[run] > 0 && b[run] < 128 && !kBytes.space[b[run]] &&
               (p->rules || !kBytes.separator[b[run]]))
            ++run;
        if (run > i + 1 && !p->rules) {
            while (i < run) {
                if (QLTP_dystr_sz(p->word) > kMaxWordBytes) push_word(p, 0, p->chars, p->bytes);
                int k = std::min(run - i, kMaxWordBytes + 1 - QLTP_dystr_sz(p->word));
                QLTP_dystr_append(p->word, reinterpret_cast<const char*>(b + i), k);
                p->word_in.insert(p->word_in.end(), static_cast<size_t>(k), 1);
                p->word_chars += k;
                p->word_bytes += k;
                p->chars += k;
                p->bytes += k;
                i += k;
            }
            continue;
        }
        int seq = QLTP_utf8_sequence(b + i, static_cast<size_t>(n - i));
        if (seq == -1 && !final) {
            p->carry_len = n - i;
            std::memcpy(p->carry, b + i, static_cast<size_t>(p->carry_len));
            return;
        }
        if (seq > 0 && b[i] != 0) {
            take_char(p, b + i, seq, seq);
            i += seq;
            continue;
        }
        // Ill-formed bytes (and NUL) become one character "_".
        int bad = seq == -1 ? n - i : (b[i] == 0 ? 1 : QLTP_utf8_bad_length(b + i, static_cast<size_t>(n - i)));
        take_char(p, kBad, 1, bad);
        i += bad;
    }
}

bool defines_separators(nrules* rules) {
    int ovector[QLTP_REGEX_OVECSIZE];
    return rules && QLTP_nrules_apply_component(rules, nullptr, "R:separators", ovector, nullptr, nullptr, "") > 0;
}

}  // namespace

toxparselite* QLTP_toxparselite_new(channel* ch) {
    auto* p = new (std::nothrow) toxparselite{};
    if (!p) return nullptr;
    p->name = "toxparselite";
    p->ch = ch;
    p->max_token_length = 30;
    if (const char* v = QLTP_configsettings_lookup(ch ? ch->settings : nullptr, "toxparselite", 12,
                                                   "max_token_length", -1)) {
        char* end = nullptr;
        long n = std::strtol(v, &end, 10);
        if (end != v && n >= INT32_MIN && n <= INT32_MAX) p->max_token_length = static_cast<int>(n);
    }
    p->word = QLTP_dystr_newcustom("", 0, 32, 1024);
    // The arrays keep their storage for texts of millions of words: a large
    // text would otherwise grow them afresh at every call.
    p->tokens = QLTP_voidparray_newcustom(128, 32, kKeepTokens);
    p->output = QLTP_voidparray_newcustom(128, 32, kKeepTokens);
    p->pool = QLTP_toxpool_new(50, 100, 256);
    if (ch && QLTP_logger_modulelogging(ch->log)) p->module_log = QLTP_dystr_newcustom("", 0, 1024, 65536);
    if (!p->word || !p->tokens || !p->output || !p->pool || !QLTP_dystr_extend(p->word, 256)) {
        QLTP_toxparselite_delete(p);
        return nullptr;
    }
    if (ch) ch->pool = p->pool;
    QLTP_toxparselite_reset(p);
    QLTP_toxparselite_reset_tpdb(p, ch);
    return p;
}

void QLTP_toxparselite_reset(toxparselite* p) {
    if (!p) return;
    p->stream_start = 1;
    p->next_id = 0;
    if (p->module_log) QLTP_dystr_clear(p->module_log);
    QLTP_voidparray_clear(p->tokens);
    QLTP_voidparray_clear(p->output);
    QLTP_toxpool_clear(p->pool);
    QLTP_dystr_clear(p->word);
    p->word_in.clear();
    p->word_chars = p->word_bytes = 0;
    p->chars = p->bytes = 0;
    p->carry_len = 0;
    p->pushed = 0;
    p->last_parent = nullptr;
    p->in_text = 1;
    if (p->max_token_length >= 0) push_token(p, "", 0, 0, 0, 0, 0, 0);
}

void QLTP_toxparselite_reset_tpdb(toxparselite* p, channel* ch) {
    if (!p) return;
    if (ch) p->ch = ch;
    QLTP_toxparselite_set_separators(p, p->ch, nullptr);
}

int QLTP_toxparselite_set_separators(toxparselite* p, channel* ch, nrules* rules) {
    if (!p) return 0;
    if (!rules && ch && ch->db) rules = static_cast<nrules*>(QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_NRULES:DEFAULT"));
    p->rules = defines_separators(rules) ? rules : nullptr;
    return p->rules != nullptr;
}

void QLTP_toxparselite_delete(toxparselite* p) {
    if (!p) return;
    if (p->ch && p->ch->pool == p->pool) p->ch->pool = nullptr;
    QLTP_toxpool_delete(p->pool);
    QLTP_voidparray_delete(p->tokens);
    QLTP_voidparray_delete(p->output);
    QLTP_dystr_delete(p->word);
    QLTP_dystr_delete(p->module_log);
    delete p;
}

toxstream* QLTP_toxparselite_process(toxparselite* p, const char* text, int len, int final) {
    if (!p) return nullptr;
    if (!text) len = 0;
    else if (len < 0) len = static_cast<int>(std::strlen(text));
    if (!p->in_text) QLTP_toxparselite_reset(p);
    QLTP_voidparray_clear(p->output);
    if (p->module_log) QLTP_dystr_clear(p->module_log);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (p->carry_len > 0) {
        std::string joined(reinterpret_cast<const char*>(p->carry), static_cast<size_t>(p->carry_len));
        joined.append(text ? text : "", static_cast<size_t>(len));
        p->carry_len = 0;
        walk(p, reinterpret_cast<const unsigned char*>(joined.data()), static_cast<int>(joined.size()), final);
    } else {
        walk(p, bytes, len, final);
    }
    if (final) {
        push_word(p, 0, p->chars, p->bytes);
        toxtag* parent = QLTP_toxtoken_gettag(last_token(p), "parent");
        if (!parent) {
            QLTP_logger_set_error(log_of(p), QLTP_MESSAGE_WARN, "No more tags available, increase pool size", "");
        } else if (parent->type == QLTP_TAG_START) {
            QLTP_toxtag_settype(parent, QLTP_TAG_STARTEND);
        } else {
            parent->type = QLTP_TAG_END;
        }
    }
    // The last token of an unfinished text may still learn that white space
    // follows it, or close the text's element.
    int n = QLTP_voidparray_sz(p->tokens);
    int keep = final ? 0 : (n > 0 ? 1 : 0);
    if (n - keep > 0) QLTP_array_append(p->output, p->tokens->storage, n - keep);
    QLTP_voidparray_delete_range(p->tokens, 0, n - keep);
    if (p->module_log && p->ch) {
        QLTP_toxstream_print(p->output, p->module_log);
        QLTP_logger_logmodule(p->ch->log, p->ch->jobid, p->name, p->stream_start, QLTP_dystr_cstr(p->module_log));
    }
    p->stream_start = final ? 1 : 0;
    p->in_text = final ? 0 : 1;
    return p->output;
}
