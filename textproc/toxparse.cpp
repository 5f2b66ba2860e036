#include "textproc/toxparse.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "foundation/regex.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "foundation/xmlscan.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

constexpr int kMaxContext = 8192;

// Every token carries a copy of each element open around it, so nesting
// costs tokens x depth: start tags past this depth are dropped with their
// end tags (their text stays). The stack keeps an empty slot for each.
constexpr int kMaxNesting = 256;

// Separator, white-space and line-break tests on one character: the
// scanner's own patterns, answered from a table for ASCII.
class CharClasses {
public:
    CharClasses() {
        QLTP_regex* const* re = QLTP_TPXML_REGEXES();
        for (int k = 0; k < 3; ++k) {
            re_[k] = re ? re[kSlots[k]] : nullptr;
            for (int b = 1; b < 128; ++b) {
                char c = static_cast<char>(b);
                ascii_[k][b] = re_[k] && QLTP_regex_exec(re_[k], &c, 1, 0, nullptr) > 0;
            }
        }
    }
    bool is(int k, const char* c, int len) const {
        auto b = static_cast<unsigned char>(c[0]);
        if (len == 1 && b < 128) return ascii_[k][b];
        return re_[k] && QLTP_regex_exec(re_[k], c, len, 0, nullptr, QLTP_REGEX_VALID_UTF8) > 0;
    }
    enum { kSeparator = 0, kWhitespace = 1, kLineBreak = 2 };

private:
    static constexpr int kSlots[3] = {QLTP_SEPARATORS, QLTP_WHITESPACE, QLTP_LINEBREAKS};
    const QLTP_regex* re_[3] = {};
    bool ascii_[3][128] = {};
};

const CharClasses& char_classes() {
    static const CharClasses classes;
    return classes;
}

int setting_int(const channel* ch, const char* key, int fallback) {
    const char* v = QLTP_configsettings_lookup(ch ? ch->settings : nullptr, "toxparse", 8, key, -1);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (end == v || n < INT32_MIN || n > INT32_MAX) return fallback;
    return static_cast<int>(n);
}

// The look-ahead is 1..8192; a value that is no number, or outside that
// range, gives the largest.
int context_setting(const channel* ch) {
    if (!QLTP_configsettings_lookup(ch ? ch->settings : nullptr, "toxparse", 8, "context_size", -1)) return 4096;
    const int n = setting_int(ch, "context_size", kMaxContext);
    return n >= 1 && n <= kMaxContext ? n : kMaxContext;
}

logger* log_of(const toxparse* p) { return p->ch ? p->ch->log : nullptr; }

toxtoken* last_token(const toxparse* p) {
    int n = QLTP_voidparray_sz(p->tokens);
    return n ? static_cast<toxtoken*>(QLTP_voidparray_idx(p->tokens, n - 1)) : nullptr;
}

toxtag* template_at(const toxparse* p, int i) { return static_cast<toxtag*>(QLTP_voidparray_idx(p->stack, i)); }

// Makes a token, gives it a copy of every open element (outermost first),
// linked to the copy on the token before, and appends it.
void push_token(toxparse* p, const char* text, int len, int f0, int f1) {
    toxtoken* token = QLTP_toxpool_token(p->pool);
    if (!token) return;
    token->parent = p->tokens;
    QLTP_toxtoken_set(token, text, len);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_WHITESPACE, f0);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_LINEBREAK, f1);
    QLTP_toxtoken_setid(token, p->next_id++);
    for (int i = 0, n = std::min(QLTP_voidparray_sz(p->stack), kMaxNesting); i < n; ++i) {
        toxtag* element = template_at(p, i);
        toxtag* copy = QLTP_toxpool_tag(p->pool);
        if (!copy) continue;
        QLTP_toxtag_copy(element, copy);
        QLTP_toxtoken_addtag(token, copy);
        QLTP_toxtag_set_fellow(copy, element->fellow);
        QLTP_toxtag_set_fellow(element, copy);
        element->type = QLTP_TAG_MID;
    }
    QLTP_voidparray_add(p->tokens, token);
}

void push_word(toxparse* p) {
    if (QLTP_dystr_sz(p->word) > 0) push_token(p, QLTP_dystr_cstr(p->word), QLTP_dystr_sz(p->word), 0, 0);
    QLTP_dystr_clear(p->word);
}

// Decodes one entity reference ("&name;"); false when it is not recognised.
bool decode_reference(const toxparse* p, std::string_view ref, std::string& out) {
    std::string_view name = ref.substr(1);
    if (!name.empty() && name.back() == ';') name.remove_suffix(1);
    static constexpr struct {
        std::string_view name, text;
    } kNamed[] = {{"quot", "\""}, {"apos", "'"}, {"lt", "<"}, {"gt", ">"}, {"amp", "&"}};
    for (const auto& e : kNamed)
        if (name == e.name) {
            out += e.text;
            return true;
        }
    if (name.size() > 1 && name[0] == '#') {
        bool hex = name[1] == 'x' || name[1] == 'X';
        std::string_view digits = name.substr(hex ? 2 : 1);
        uint32_t cp = 0;
        bool ok = !digits.empty() && digits.size() <= 8;
        for (char c : digits) {
            int d = c >= '0' && c <= '9'                 ? c - '0'
                    : hex && c >= 'a' && c <= 'f'       ? c - 'a' + 10
                    : hex && c >= 'A' && c <= 'F'       ? c - 'A' + 10
                                                        : -1;
            if (d < 0) ok = false;
            if (ok) cp = cp * (hex ? 16u : 10u) + static_cast<uint32_t>(d);
            if (cp > 0x10FFFF) ok = false;
        }
        // NUL, surrogates and values past Unicode would make broken text.
        if (ok && cp != 0 && (cp < 0xD800 || cp > 0xDFFF)) {
            QLTP_utf8_append(out, cp);
            return true;
        }
    }
    if (p->rules && !name.empty()) {
        const char* v = QLTP_nrules_lkp(p->rules, "xml_entities", 12, name.data(), static_cast<int>(name.size()));
        if (v && *v) {
            out += v;
            return true;
        }
    }
    return false;
}

void decode_or_space(const toxparse* p, std::string_view ref, std::string& out) {
    if (decode_reference(p, ref, out)) return;
    std::string detail(ref);
    QLTP_logger_set_error(log_of(p), QLTP_MESSAGE_WARN, "Replaced unknown entity with whitespace", detail.c_str());
    out += ' ';
}

// Attribute values decode their references like text does.
std::string decode_value(const toxparse* p, std::string_view value) {
    if (value.find('&') == std::string_view::npos) return std::string(value);
    std::string out;
    for (size_t i = 0; i < value.size();) {
        size_t semi = value[i] == '&' ? value.find(';', i) : std::string_view::npos;
        if (semi == std::string_view::npos) {
            out += value[i++];
            continue;
        }
        decode_or_space(p, value.substr(i, semi + 1 - i), out);
        i = semi + 1;
    }
    return out;
}

bool ends_in_hyphen(const toxtoken* t) {
    const char* text = t ? QLTP_toxtoken_get(t) : nullptr;
    size_t n = text ? std::strlen(text) : 0;
    return n >= 2 && text[n - 1] == '-';
}

// A hyphen-broken word is joined with the token that holds its first half:
// that token goes back to the pool, so the open elements take back the link
// their copy there had, and elements that ended on it end one token earlier.
void take_back_last_token(toxparse* p) {
    int n = QLTP_voidparray_sz(p->tokens);
    toxtoken* gone = last_token(p);
    toxtoken* before = n > 1 ? static_cast<toxtoken*>(QLTP_voidparray_idx(p->tokens, n - 2)) : nullptr;
    for (int i = 0, m = std::min(QLTP_voidparray_sz(p->stack), kMaxNesting); i < m; ++i) {
        toxtag* element = template_at(p, i);
        toxtag* copy = element->fellow;
        if (!copy || copy->parent != gone) continue;
        element->type = copy->type;
        QLTP_toxtag_set_fellow(element, copy->fellow);
    }
    for (int i = 0, m = QLTP_toxtoken_notags(gone); i < m && before; ++i) {
        toxtag* copy = QLTP_toxtoken_tagidx(gone, i);
        toxtag* previous = copy->fellow;
        if (!previous || previous->parent != before) continue;
        if (copy->type == QLTP_TAG_END) {
            if (previous->type == QLTP_TAG_MID) previous->type = QLTP_TAG_END;
            else if (previous->type == QLTP_TAG_START) QLTP_toxtag_settype(previous, QLTP_TAG_STARTEND);
        }
    }
    QLTP_voidparray_remove_item(p->tokens, n - 1);
    QLTP_toxtoken_clear(gone);
    --p->next_id;
}

void on_character_data(void* user, const char* text, int len) {
    auto* p = static_cast<toxparse*>(user);
    // The unfinished word is the scratch: it is read only here and written
    // back at the end, so the word is worked on in place.
    dystr* scratch = p->word;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const CharClasses& chars = char_classes();
    for (int i = 0; i < len;) {
        // A run of plain ASCII word characters goes in at once.
        int run = i;
        while (!p->rules && run < len && bytes[run] < 128 && bytes[run] != 0 && !chars.is(CharClasses::kSeparator, text + run, 1) &&
               !chars.is(CharClasses::kWhitespace, text + run, 1))
            ++run;
        if (run > i) {
            QLTP_dystr_append(scratch, text + i, run - i);
            p->column += run - i;
            i = run;
            continue;
        }
        int clen = QLTP_utf8_sequence(bytes + i, static_cast<size_t>(len - i));
        const char* c = text + i;
        int step = clen;
        if (clen <= 0 || bytes[i] == 0) {
            // Ill-formed bytes (and NUL) stand for one character "_".
            step = clen <= 0 ? QLTP_utf8_bad_length(bytes + i, static_cast<size_t>(len - i)) : 1;
            c = "_";
            clen = 1;
        }
        i += step;
        bool sep = p->rules ? QLTP_nrules_rgx(p->rules, "separators", 10, c, clen, nullptr) > 0
                            : chars.is(CharClasses::kSeparator, c, clen);
        bool ws = chars.is(CharClasses::kWhitespace, c, clen);
        if (!sep && !ws) {
            QLTP_dystr_append(scratch, c, clen);
            ++p->column;
            continue;
        }
        bool line_break = false;
        if (chars.is(CharClasses::kLineBreak, c, clen)) {
            if (p->hzone && p->hzone_start < p->column && p->column <= p->hzone_end) {
                int n = QLTP_dystr_sz(scratch);
                toxtoken* last = last_token(p);
                if (n > 1 && QLTP_dystr_cstr(scratch)[n - 1] == '-') {
                    QLTP_dystr_truncate(scratch, n - 1);
                    p->column = 0;
                    continue;
                }
                if (n == 0 && ends_in_hyphen(last) && QLTP_voidparray_sz(p->tokens) > 1) {
                    QLTP_dystr_replace(scratch, QLTP_toxtoken_get(last), static_cast<int>(std::strlen(QLTP_toxtoken_get(last)) - 1));
                    take_back_last_token(p);
                    p->column = 0;
                    continue;
                }
            } else {
                line_break = true;
            }
            p->column = -1;
        }
        if (QLTP_dystr_sz(scratch) > 0) {
            push_token(p, QLTP_dystr_cstr(scratch), QLTP_dystr_sz(scratch), !sep, line_break);
            QLTP_dystr_clear(scratch);
        } else if (ws) {
            if (toxtoken* last = last_token(p)) {
                QLTP_toxtoken_setfeat(last, QLTP_FEAT_WHITESPACE, 1);
                // A blank after a line break must not wipe the break.
                if (line_break) QLTP_toxtoken_setfeat(last, QLTP_FEAT_LINEBREAK, 1);
            }
            ++p->column;
            continue;
        }
        if (sep) push_token(p, c, clen, 0, 0);
        ++p->column;
    }
    // A word longer than max_token_length does not wait for the next call.
    int n = QLTP_dystr_sz(scratch);
    if (n > 0 && n > p->max_token_length) {
        push_token(p, QLTP_dystr_cstr(scratch), n, 0, 0);
        QLTP_dystr_clear(scratch);
    }
}

void on_entity(void* user, const char* text, int len) {
    auto* p = static_cast<toxparse*>(user);
    std::string out;
    decode_or_space(p, std::string_view(text, static_cast<size_t>(len)), out);
    on_character_data(user, out.data(), static_cast<int>(out.size()));
}

void on_start(void* user, const char* name, const char** attributes) {
    auto* p = static_cast<toxparse*>(user);
    push_word(p);
    if (QLTP_voidparray_sz(p->stack) >= kMaxNesting) {
        if (QLTP_voidparray_sz(p->stack) == kMaxNesting)
            QLTP_logger_set_error(log_of(p), QLTP_MESSAGE_WARN, "Markup nested too deeply, element dropped", name);
        QLTP_voidparray_add(p->stack, nullptr);
        return;
    }
    toxtag* element = QLTP_toxpool_tag(p->pool);
    if (!element) return;
    QLTP_toxtag_init(element, p->holder, name, -1, QLTP_TAG_START);
    for (const char** a = attributes; a && a[0] && a[1]; a += 2) {
        if (!std::strchr(a[1], '&')) {
            QLTP_toxtag_add_attrib(element, a[0], -1, a[1], -1);
            continue;
        }
        std::string value = decode_value(p, a[1]);
        QLTP_toxtag_add_attrib(element, a[0], -1, value.data(), static_cast<int>(value.size()));
    }
    QLTP_voidparray_add(p->stack, element);
}

void on_end(void* user, const char* name) {
    auto* p = static_cast<toxparse*>(user);
    push_word(p);
    int depth = QLTP_voidparray_sz(p->stack);
    if (depth == 0) {
        std::fprintf(stderr, "ERROR toxparse: critical parser error, close tag '%s', no open tag left\n", name);
        return;
    }
    toxtag* element = template_at(p, depth - 1);
    QLTP_voidparray_delete_range(p->stack, depth - 1, 1);
    if (!element) return;  // dropped with its start tag
    QLTP_toxtag_setparent(element, nullptr);
    if (element->type != QLTP_TAG_START) {
        toxtag* copy = element->fellow;
        if (!copy || !name || std::strcmp(QLTP_toxtag_name(copy), name) != 0) {
            QLTP_logger_set_error(log_of(p), QLTP_MESSAGE_CRITICAL,
                                  "closing tag not matching opening tag, something is seriously wrong.", name);
        } else if (copy->type == QLTP_TAG_START) {
            QLTP_toxtag_settype(copy, QLTP_TAG_STARTEND);
        } else {
            copy->type = QLTP_TAG_END;
        }
        QLTP_toxtag_clear(element);
        return;
    }
    toxtoken* last = last_token(p);
    if (!last) {
        QLTP_toxtag_clear(element);
        return;
    }
    QLTP_toxtag_settype(element, QLTP_TAG_CLOSED);
    QLTP_toxtoken_addtag(last, element);
}

void install(toxparse* p) {
    QLTP_tpxml_set_userdata(p->scanner, p);
    QLTP_tpxml_set_element_handler(p->scanner, on_start, on_end);
    QLTP_tpxml_set_character_data_handler(p->scanner, on_character_data);
    QLTP_tpxml_set_entity_handler(p->scanner, on_entity);
}

bool defines_separators(nrules* rules) {
    int ovector[QLTP_REGEX_OVECSIZE];
    return rules && QLTP_nrules_apply_component(rules, nullptr, "R:separators", ovector, nullptr, nullptr, "") > 0;
}

}  // namespace

toxparse* QLTP_toxparse_new(channel* ch) {
    auto* p = new (std::nothrow) toxparse{};
    if (!p) return nullptr;
    p->name = "toxparse";
    p->ch = ch;
    p->stream_start = 1;
    const char* hzone = QLTP_configsettings_lookup(ch ? ch->settings : nullptr, "toxparse", 8, "hzone", -1);
    p->hzone = hzone && std::strcmp(hzone, "True") == 0;
    p->hzone_start = setting_int(ch, "hzone_start", 45);
    p->hzone_end = setting_int(ch, "hzone_end", 100);
    p->max_token_length = setting_int(ch, "max_token_length", 128);
    p->context_size = context_setting(ch);
    p->word = QLTP_dystr_new("", 0);
    p->tokens = QLTP_voidparray_newcustom(128, 32, 1 << 16);
    p->output = QLTP_voidparray_newcustom(128, 32, 1 << 16);
    p->stack = QLTP_voidparray_newcustom(32, 8, 64);
    p->pool = QLTP_toxpool_new(20, 100, 400);
    p->holder = QLTP_toxtoken_new();
    if (ch && QLTP_logger_modulelogging(ch->log)) p->module_log = QLTP_dystr_newcustom("", 0, 1024, 65536);
    if (!p->word || !p->tokens || !p->output || !p->stack || !p->pool || !p->holder) {
        QLTP_toxparse_delete(p);
        return nullptr;
    }
    if (ch) ch->pool = p->pool;
    QLTP_toxparse_reset(p, ch);
    if (!p->scanner) {
        QLTP_toxparse_delete(p);
        return nullptr;
    }
    QLTP_toxparse_reset_tpdb(p, ch);
    return p;
}

void QLTP_toxparse_reset(toxparse* p, channel* ch) {
    if (!p) return;
    if (ch) p->ch = ch;
    if (!p->stream_start) QLTP_logger_set_error(log_of(p), QLTP_ERROR_RESET_DATA_LOSS, "Toxparse context lost", "");
    p->stream_start = 1;
    p->column = 0;
    p->next_id = 0;
    QLTP_dystr_clear(p->word);
    if (p->module_log) QLTP_dystr_clear(p->module_log);
    QLTP_voidparray_clear(p->tokens);
    QLTP_voidparray_clear(p->output);
    QLTP_voidparray_clear(p->stack);
    QLTP_toxpool_clear(p->pool);
    push_token(p, "", 0, 0, 0);
    if (p->scanner) {
        QLTP_tpxml_reset(p->scanner);
    } else {
        p->scanner = QLTP_tpxml_new();
        if (!p->scanner) return;
        QLTP_tpxml_set_lookahead(p->scanner, p->context_size);
    }
    install(p);
}

void QLTP_toxparse_reset_tpdb(toxparse* p, channel* ch) {
    if (!p) return;
    if (ch) p->ch = ch;
    QLTP_toxparse_set_separators(p, p->ch, nullptr);
}

int QLTP_toxparse_set_separators(toxparse* p, channel* ch, nrules* rules) {
    if (!p) return 0;
    if (rules) {
        p->rules = rules;
        return 1;
    }
    p->rules = nullptr;
    auto* found = static_cast<nrules*>(ch && ch->db ? QLTP_tpdb_get_tpdata(ch->db, "TPOBJ_NRULES:DEFAULT") : nullptr);
    if (!found) return 1;
    if (!defines_separators(found)) return 0;
    p->rules = found;
    return 1;
}

void QLTP_toxparse_delete(toxparse* p) {
    if (!p) return;
    if (p->ch && p->ch->pool == p->pool) p->ch->pool = nullptr;
    QLTP_tpxml_delete(p->scanner);
    QLTP_toxpool_delete(p->pool);
    QLTP_toxtoken_delete(p->holder);
    QLTP_voidparray_delete(p->tokens);
    QLTP_voidparray_delete(p->output);
    QLTP_voidparray_delete(p->stack);
    QLTP_dystr_delete(p->word);
    QLTP_dystr_delete(p->module_log);
    delete p;
}

toxstream* QLTP_toxparse_process(toxparse* p, const char* text, int len, int final) {
    if (!p) return nullptr;
    if (!text) len = 0;
    else if (len < 0) len = static_cast<int>(std::strlen(text));
    QLTP_tpxml_parse(p->scanner, text ? text : "", len, final);
    // Text after the last element is a word too: a server channel's stream
    // has no final mark behind it.
    if (final) push_word(p);
    QLTP_voidparray_clear(p->output);
    if (p->module_log) QLTP_dystr_clear(p->module_log);
    int n = QLTP_voidparray_sz(p->tokens);
    // The last token may still get white-space features or closed tags; one
    // ending in a hyphen may still be joined with the next line's word, which
    // changes the elements of the token before it too.
    int keep = final ? 0 : std::min(n, ends_in_hyphen(last_token(p)) && p->hzone ? 2 : 1);
    for (int i = 0; i < n - keep; ++i) QLTP_voidparray_add(p->output, QLTP_voidparray_idx(p->tokens, i));
    QLTP_voidparray_delete_range(p->tokens, 0, n - keep);
    if (p->module_log && p->ch) {
        QLTP_toxstream_print(p->output, p->module_log);
        QLTP_logger_logmodule(p->ch->log, p->ch->jobid, p->name, p->stream_start, QLTP_dystr_cstr(p->module_log));
    }
    p->stream_start = final ? 1 : 0;
    if (final) push_token(p, "", 0, 0, 0);
    return p->output;
}
