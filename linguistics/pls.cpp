#include "linguistics/pls.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/numarray.h"
#include "foundation/strarray.h"
#include "foundation/strutil.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"
#include "foundation/xmlscan.h"
#include "linguistics/lexicon.h"
#include "linguistics/phoneset.h"

namespace {

enum Element { kLexicon, kLexeme, kGrapheme, kPhoneme, kMetadata, kOther };

Element element_of(const char* name) {
    static constexpr const char* kNames[] = {"lexicon", "lexeme", "grapheme", "phoneme", "metadata"};
    for (int i = 0; i < kOther; ++i)
        if (std::strcmp(name, kNames[i]) == 0) return static_cast<Element>(i);
    return kOther;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

void add_error(pls* r, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
    for (std::string_view piece : {a, b, c})
        if (!piece.empty()) QLTP_dystr_append(r->errors, piece.data(), static_cast<int>(piece.size()));
}

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y) return false;
    }
    return true;
}

phoneset* phoneset_named(const pls* r, const char* name) {
    for (int i = 0; i < QLTP_voidparray_sz(r->phonesets); ++i) {
        auto* ps = static_cast<phoneset*>(QLTP_voidparray_idx(r->phonesets, i));
        if (QLTP_phoneset_chk_name(ps, name)) return ps;
    }
    return nullptr;
}

// An element start that is refused leaves its end tag without effect.
void refuse(pls* r, Element e, const char* message) {
    if (message) add_error(r, message);
    if (e != kOther) ++r->refused[e];
}

void start_lexicon(pls* r, const char** atts) {
    QLTP_free(r->language);
    r->language = nullptr;
    bool version = false;
    bool alphabet = false;
    for (int i = 0; atts && atts[i] && atts[i + 1]; i += 2) {
        if (std::strcmp(atts[i], "alphabet") == 0) {
            alphabet = true;
            if (!QLTP_pls_setalphabet(r, 0, atts[i + 1]))
                add_error(r, "ERROR: unknown lexicon alphabet, using Quorlane phoneset\n");
        } else if (std::strcmp(atts[i], "xml:lang") == 0) {
            QLTP_free(r->language);
            r->language = QLTP_strndup(atts[i + 1], static_cast<int>(std::strlen(atts[i + 1])));
        } else if (std::strcmp(atts[i], "version") == 0) {
            version = true;
        }
    }
    if (!version) add_error(r, "WARNING: no version found\n");
    if (!r->language) add_error(r, "WARNING: no language found\n");
    if (!alphabet) {
        r->lexicon_alphabet = nullptr;
        add_error(r, "ERROR: lexicon alphabet must be defined, using Quorlane phoneset\n");
        return;
    }
    r->in_lexicon = 1;
}

void end_lexeme(pls* r);

void start_lexeme(pls* r, const char** atts) {
    if (!r->in_lexicon) return refuse(r, kLexeme, "ERROR: lexeme not in lexicon tag\n");
    if (r->in_lexeme) {
        // Most often the open lexeme's end tag is missing: ending it here
        // keeps every later lexeme.
        add_error(r, "ERROR: lexemes cannot be nested\n");
        end_lexeme(r);
    }
    QLTP_dystr_clear(r->roles);
    for (int i = 0; atts && atts[i] && atts[i + 1]; i += 2) {
        if (std::strcmp(atts[i], "role") != 0) continue;
        strarray* items = QLTP_strarray_split_ws(atts[i + 1], static_cast<int>(std::strlen(atts[i + 1])));
        for (int k = 0; k < QLTP_strarray_sz(items); ++k) {
            std::string_view item = QLTP_strarray_idx(items, k);
            if (item.substr(0, 4) != "qrln") continue;
            const size_t colon = item.find(':');
            if (colon == std::string_view::npos || colon + 1 == item.size()) {
                add_error(r, "WARN: role is empty\n");
                continue;
            }
            std::string_view role = item.substr(colon + 1);
            if (QLTP_dystr_sz(r->roles) > 0) QLTP_dystr_append(r->roles, " ", 1);
            QLTP_dystr_append(r->roles, role.data(), static_cast<int>(role.size()));
        }
        QLTP_strarray_delete(items);
    }
    r->in_lexeme = 1;
    r->prefer_count = 0;
    QLTP_strarray_clear(r->graphemes);
    QLTP_strarray_clear(r->phonemes);
}

void start_phoneme(pls* r, const char** atts) {
    if (!r->in_lexeme) return refuse(r, kPhoneme, "ERROR: phoneme not in lexeme tag\n");
    if (r->in_phoneme) return refuse(r, kPhoneme, "ERROR: phonemes cannot be nested\n");
    r->in_phoneme = 1;
    r->phoneme_alphabet = r->lexicon_alphabet;
    for (int i = 0; atts && atts[i] && atts[i + 1]; i += 2) {
        if (std::strcmp(atts[i], "alphabet") == 0) {
            r->phoneme_alphabet = phoneset_named(r, atts[i + 1]);
            if (!r->phoneme_alphabet && !QLTP_phoneset_chk_qorlname(atts[i + 1]))
                add_error(r, "WARN: unknown alphabet ", atts[i + 1], "\n");
        } else if (std::strcmp(atts[i], "prefer") == 0 && equal_nocase(atts[i + 1], "true")) {
            ++r->prefer_count;
        }
    }
    QLTP_dystr_clear(r->phoneme_text);
}

// A numeric reference: the code point, or 0 when it is none a character
// can have (zero, a surrogate, beyond U+10FFFF, too many digits).
uint32_t numeric_reference(std::string_view name) {
    if (name.size() < 2 || name[0] != '#') return 0;
    int base = 10;
    name.remove_prefix(1);
    if (name[0] == 'x' || name[0] == 'X') {
        base = 16;
        name.remove_prefix(1);
    }
    if (name.empty()) return 0;
    uint32_t cp = 0;
    for (char c : name) {
        int digit = -1;
        if (c >= '0' && c <= '9') digit = c - '0';
        if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        if (digit < 0) return 0;
        cp = cp * base + digit;
        if (cp > 0x10FFFF) return 0;
    }
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
    return cp;
}

void start_metadata(pls* r) {
    r->in_metadata = 1;
    r->metadata_trial = !r->in_lexeme;
    r->metadata_errors = QLTP_dystr_sz(r->errors);
    std::memcpy(r->metadata_refused, r->refused, sizeof r->refused);
    QLTP_strarray_clear(r->pending);
}

// The end tag of a metadata element: whatever it held is none of the
// lexicon's.
void end_metadata(pls* r) {
    r->in_metadata = 0;
    if (!r->metadata_trial) return;
    QLTP_dystr_truncate(r->errors, r->metadata_errors);
    std::memcpy(r->refused, r->metadata_refused, sizeof r->refused);
    r->in_lexeme = r->in_grapheme = r->in_phoneme = 0;
    QLTP_strarray_clear(r->pending);
}

// The lexicon or the document ends inside a metadata element: its end tag is
// missing, and the lexemes read after its start are the lexicon's.
void end_open_metadata(pls* r) {
    if (!r->in_metadata) return;
    add_error(r, "ERROR: metadata not closed\n");
    r->in_metadata = 0;
    for (int i = 0; i < QLTP_strarray_sz(r->pending); ++i) {
        const char* line = QLTP_strarray_idx(r->pending, i);
        QLTP_lexhash_loadline(r->result, line, static_cast<int>(std::strlen(line)));
    }
    QLTP_strarray_clear(r->pending);
}

// A lexicon line of the lexeme being ended.
void add_line(pls* r) {
    if (r->in_metadata)
        QLTP_strarray_add(r->pending, QLTP_dystr_cstr(r->line), QLTP_dystr_sz(r->line));
    else
        QLTP_lexhash_loadline(r->result, QLTP_dystr_cstr(r->line), QLTP_dystr_sz(r->line));
}

// A reference's text (the name without '&' and ';'): an unknown one is
// reported and stands as a blank.
std::string reference_text(pls* r, std::string_view name) {
    static constexpr std::pair<std::string_view, const char*> kNamed[] = {
        {"quot", "\""}, {"apos", "'"}, {"lt", "<"}, {"gt", ">"}, {"amp", "&"}};
    for (const auto& [entity, value] : kNamed)
        if (name == entity) return value;
    if (const uint32_t cp = numeric_reference(name)) {
        // The converter gives 1, not a byte count; its output ends in NUL.
        char buf[5] = {};
        if (QLTP_unicode2utf8(cp, buf)) return buf;
        return {};
    }
    add_error(r, "Unknown entity: ", name, "\n");
    return " ";
}

// An attribute value with its references decoded; an '&' that starts none
// stays as it is.
std::string decode_value(pls* r, std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size();) {
        if (value[i] == '&') {
            const size_t end = value.find_first_of("; \t\r\n&<\"'", i + 1);
            if (end != std::string_view::npos && value[end] == ';' && end > i + 1) {
                out += reference_text(r, value.substr(i + 1, end - i - 1));
                i = end + 1;
                continue;
            }
        }
        out += value[i++];
    }
    return out;
}

// The attributes of an element the reader reads, references decoded.
struct Attributes {
    std::vector<std::string> values;
    std::vector<const char*> list;
    const char** Of(pls* r, const char** atts) {
        bool any = false;
        for (int i = 0; atts && atts[i] && atts[i + 1]; i += 2) any = any || std::strchr(atts[i + 1], '&');
        if (!any) return atts;
        for (int i = 0; atts[i] && atts[i + 1]; i += 2) values.push_back(decode_value(r, atts[i + 1]));
        for (int i = 0; atts[i] && atts[i + 1]; i += 2) {
            list.push_back(atts[i]);
            list.push_back(values[static_cast<size_t>(i / 2)].c_str());
        }
        list.push_back(nullptr);
        return list.data();
    }
};

void on_start(void* user, const char* name, const char** raw) {
    auto* r = static_cast<pls*>(user);
    const Element e = element_of(name);
    // Inside a metadata element read on trial, lexemes are read for the case
    // that its end tag is missing; nothing else is.
    if (r->in_metadata && (!r->metadata_trial || (e != kLexeme && e != kGrapheme && e != kPhoneme)))
        return refuse(r, e, nullptr);
    Attributes decoded;
    const char** atts = raw;
    if (e == kLexicon || e == kLexeme || e == kPhoneme) {
        try {
            atts = decoded.Of(r, raw);
        } catch (...) {
            atts = raw;
        }
    }
    switch (e) {
        case kLexicon: return start_lexicon(r, atts);
        case kLexeme: return start_lexeme(r, atts);
        case kGrapheme:
            if (!r->in_lexeme) return refuse(r, e, "ERROR: grapheme not in lexeme tag\n");
            if (r->in_grapheme) return refuse(r, e, "ERROR: graphemes cannot be nested\n");
            r->in_grapheme = 1;
            QLTP_dystr_clear(r->grapheme_text);
            return;
        case kPhoneme: return start_phoneme(r, atts);
        case kMetadata:
            return start_metadata(r);
        case kOther:
            if (std::strcmp(name, "meta") != 0 && std::strcmp(name, "alias") != 0 && std::strcmp(name, "example") != 0)
                add_error(r, "WARNING: unknown tag ", name, "\n");
            return;
    }
}

// Blanks (tabs, CR, LF too) become '_' between phones; '.' marks go.
std::string tidy_phonemes(std::string_view text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == '.') continue;
        if (is_space(c)) {
            blank = !out.empty();
            continue;
        }
        if (blank) out += '_';
        blank = false;
        out += c;
    }
    return out;
}

void end_phoneme(pls* r) {
    r->in_phoneme = 0;
    if (r->phoneme_alphabet) QLTP_phoneset_parse(r->phoneme_alphabet, r->phoneme_text, 0, -1);
    const std::string phones = tidy_phonemes(QLTP_dystr_cstr(r->phoneme_text));
    if (r->prefer_count == 1) {
        QLTP_strarray_insert_item(r->phonemes, phones.c_str(), static_cast<int>(phones.size()), 0);
        r->prefer_count = 2;
    } else {
        QLTP_strarray_add(r->phonemes, phones.c_str(), static_cast<int>(phones.size()));
    }
}

void end_grapheme(pls* r) {
    r->in_grapheme = 0;
    std::string_view text = QLTP_dystr_cstr(r->grapheme_text);
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    std::string grapheme(text);
    QLTP_asciilower(grapheme.data());
    QLTP_strarray_add(r->graphemes, grapheme.c_str(), static_cast<int>(grapheme.size()));
}

bool usable_grapheme(std::string_view g) {
    if (g.empty()) return false;
    for (char c : g)
        if (is_space(c)) return false;
    return true;
}

void end_lexeme(pls* r) {
    r->in_lexeme = 0;
    // A grapheme or phoneme still open lost its end tag: what it holds may
    // run into what followed, so it is dropped, and it cannot reach the
    // next lexeme.
    if (r->in_grapheme) add_error(r, "ERROR: grapheme not closed\n");
    if (r->in_phoneme) add_error(r, "ERROR: phoneme not closed\n");
    r->in_grapheme = r->in_phoneme = 0;
    r->refused[kGrapheme] = r->refused[kPhoneme] = 0;
    // Pairs that cannot form a lexicon line are reported once each.
    strarray* graphemes = QLTP_strarray_new();
    strarray* phonemes = QLTP_strarray_new();
    for (int g = 0; g < QLTP_strarray_sz(r->graphemes); ++g) {
        const char* text = QLTP_strarray_idx(r->graphemes, g);
        if (usable_grapheme(text))
            QLTP_strarray_add(graphemes, text, -1);
        else
            add_error(r, "WARN: grapheme or phoneme skipped: ", text, "\n");
    }
    for (int p = 0; p < QLTP_strarray_sz(r->phonemes); ++p) {
        const char* text = QLTP_strarray_idx(r->phonemes, p);
        if (*text)
            QLTP_strarray_add(phonemes, text, -1);
        else
            add_error(r, "WARN: grapheme or phoneme skipped: ", text, "\n");
    }
    const int nr_phonemes = QLTP_strarray_sz(phonemes);
    for (int g = 0; g < QLTP_strarray_sz(graphemes); ++g) {
        const std::string_view grapheme = QLTP_strarray_idx(graphemes, g);
        for (int p = 0; p < nr_phonemes; ++p) {
            const std::string_view phoneme = QLTP_strarray_idx(phonemes, p);
            // "%-15s    %-20s": left-aligned in 15 and 20 bytes.
            QLTP_dystr_replace(r->line, grapheme.data(), static_cast<int>(grapheme.size()));
            for (size_t n = grapheme.size(); n < 15; ++n) QLTP_dystr_append(r->line, " ", 1);
            QLTP_dystr_append2(r->line, "    ", 4, phoneme.data(), static_cast<int>(phoneme.size()));
            for (size_t n = phoneme.size(); n < 20; ++n) QLTP_dystr_append(r->line, " ", 1);
            if (nr_phonemes > 1) QLTP_dystr_append(r->line, p == 0 ? "  default_1" : "  default_0", -1);
            if (QLTP_dystr_sz(r->roles) > 0)
                QLTP_dystr_append2(r->line, "  ", 2, QLTP_dystr_cstr(r->roles), QLTP_dystr_sz(r->roles));
            add_line(r);
        }
    }
    QLTP_strarray_delete(graphemes);
    QLTP_strarray_delete(phonemes);
}

// A lexeme left open at the lexicon's or the document's end.
void end_open_lexeme(pls* r) {
    if (!r->in_lexeme) return;
    add_error(r, "ERROR: lexeme not closed\n");
    end_lexeme(r);
}

void on_end(void* user, const char* name) {
    auto* r = static_cast<pls*>(user);
    const Element e = element_of(name);
    if (e != kOther && r->refused[e] > 0) {
        --r->refused[e];
        return;
    }
    switch (e) {
        case kPhoneme:
            if (r->in_phoneme) end_phoneme(r);
            break;
        case kGrapheme:
            if (r->in_grapheme) end_grapheme(r);
            break;
        case kLexeme:
            // A metadata element opened in the lexeme and left open ends
            // with it, so that neither this lexeme nor the later ones are
            // taken for its content.
            if (r->in_lexeme && r->in_metadata && !r->metadata_trial) end_open_metadata(r);
            if (r->in_lexeme) end_lexeme(r);
            break;
        case kLexicon:
            end_open_metadata(r);
            end_open_lexeme(r);
            r->in_lexicon = 0;
            break;
        case kMetadata:
            if (r->in_metadata) end_metadata(r);
            break;
        case kOther:
            break;
    }
}

dystr* current_text(pls* r) {
    if (r->in_phoneme) return r->phoneme_text;
    if (r->in_grapheme) return r->grapheme_text;
    return nullptr;
}

void on_text(void* user, const char* text, int len) {
    auto* r = static_cast<pls*>(user);
    if (dystr* d = current_text(r)) QLTP_dystr_append(d, text, len);
}

void on_entity(void* user, const char* text, int len) {
    auto* r = static_cast<pls*>(user);
    dystr* d = current_text(r);
    if (!d) return;
    std::string_view name(text, static_cast<size_t>(len));
    if (!name.empty() && name.front() == '&') name.remove_prefix(1);
    if (!name.empty() && name.back() == ';') name.remove_suffix(1);
    try {
        const std::string value = reference_text(r, name);
        QLTP_dystr_append(d, value.data(), static_cast<int>(value.size()));
    } catch (...) {
    }
}

}  // namespace

pls* QLTP_pls_new() {
    auto* r = new (std::nothrow) pls{};
    if (!r) return nullptr;
    r->errors = QLTP_dystr_new(nullptr, 0);
    r->scanner = QLTP_tpxml_new();
    r->phonesets = QLTP_voidparray_new();
    r->owned = QLTP_intarray_new();
    r->roles = QLTP_dystr_new(nullptr, 0);
    r->graphemes = QLTP_strarray_new();
    r->phonemes = QLTP_strarray_new();
    r->line = QLTP_dystr_new(nullptr, 0);
    r->phoneme_text = QLTP_dystr_new(nullptr, 0);
    r->grapheme_text = QLTP_dystr_new(nullptr, 0);
    r->pending = QLTP_strarray_new();
    if (!r->pending || !r->errors || !r->scanner || !r->phonesets || !r->owned || !r->roles || !r->graphemes ||
        !r->phonemes || !r->line || !r->phoneme_text || !r->grapheme_text) {
        QLTP_pls_delete(r);
        return nullptr;
    }
    QLTP_tpxml_set_userdata(r->scanner, r);
    QLTP_tpxml_set_element_handler(r->scanner, on_start, on_end);
    QLTP_tpxml_set_character_data_handler(r->scanner, on_text);
    QLTP_tpxml_set_entity_handler(r->scanner, on_entity);
    return r;
}

namespace {

// Deletes the phone sets the reader owns and forgets every listed one.
void drop_phonesets(pls* r) {
    for (int i = 0; i < QLTP_voidparray_sz(r->phonesets); ++i)
        if (QLTP_intarray_idx(r->owned, i))
            QLTP_phoneset_delete(static_cast<phoneset*>(QLTP_voidparray_idx(r->phonesets, i)));
    QLTP_voidparray_clear(r->phonesets);
    QLTP_intarray_clear(r->owned);
    r->nr_phonesets = 0;
    r->lexicon_alphabet = nullptr;
    r->phoneme_alphabet = nullptr;
}

}  // namespace

void QLTP_pls_clear(pls* r) {
    if (!r) return;
    drop_phonesets(r);
    QLTP_dystr_clear(r->errors);
    QLTP_dystr_clear(r->roles);
    QLTP_dystr_clear(r->line);
    QLTP_dystr_clear(r->phoneme_text);
    QLTP_dystr_clear(r->grapheme_text);
    QLTP_free(r->language);
    r->language = nullptr;
    QLTP_strarray_clear(r->graphemes);
    QLTP_strarray_clear(r->phonemes);
    QLTP_strarray_clear(r->pending);
}

void QLTP_pls_delete(pls* r) {
    if (!r) return;
    if (r->phonesets && r->owned) drop_phonesets(r);
    QLTP_tpxml_delete(r->scanner);
    QLTP_voidparray_delete(r->phonesets);
    QLTP_intarray_delete(r->owned);
    QLTP_dystr_delete(r->errors);
    QLTP_dystr_delete(r->roles);
    QLTP_dystr_delete(r->line);
    QLTP_dystr_delete(r->phoneme_text);
    QLTP_dystr_delete(r->grapheme_text);
    QLTP_strarray_delete(r->graphemes);
    QLTP_strarray_delete(r->phonemes);
    QLTP_strarray_delete(r->pending);
    QLTP_free(r->language);
    delete r;
}

int QLTP_pls_addphoneset(pls* r, phoneset* ps, int owned) {
    if (!r || !ps) return 0;
    if (!QLTP_voidparray_add(r->phonesets, ps)) return 0;
    if (!QLTP_intarray_add(r->owned, owned)) {
        QLTP_voidparray_remove_item(r->phonesets, QLTP_voidparray_sz(r->phonesets) - 1);
        return 0;
    }
    ++r->nr_phonesets;
    return 1;
}

int QLTP_pls_setalphabet(pls* r, int level, const char* name) {
    if (!r) return 0;
    if (level != 0 && level != 1) {
        add_error(r, "ERROR: bad alphabet level enumeration\n");
        return 0;
    }
    phoneset*& slot = level == 0 ? r->lexicon_alphabet : r->phoneme_alphabet;
    slot = name ? phoneset_named(r, name) : nullptr;
    if (slot || QLTP_phoneset_chk_qorlname(name)) return 1;
    add_error(r, "WARN: unknown alphabet ", name ? name : "", "\n");
    return 0;
}

pls* QLTP_pls_setlogger(pls* r, logger* lg) {
    if (r) r->log = lg;
    return r;
}

lexhash* QLTP_pls_load_pls(pls* r, const char* text) {
    if (!r || !text) return nullptr;
    r->result = QLTP_lexhash_new(512);
    if (!r->result) return nullptr;
    r->lexicon_alphabet = nullptr;
    r->phoneme_alphabet = nullptr;
    r->in_metadata = r->in_lexicon = r->in_lexeme = r->in_grapheme = r->in_phoneme = 0;
    r->prefer_count = 0;
    r->metadata_trial = 0;
    std::memset(r->refused, 0, sizeof r->refused);
    QLTP_strarray_clear(r->pending);
    QLTP_dystr_clear(r->grapheme_text);
    QLTP_dystr_clear(r->phoneme_text);
    QLTP_dystr_clear(r->errors);
    // Every document starts afresh: one that ended inside a comment must not
    // swallow the next.
    QLTP_tpxml_reset(r->scanner);
    const int parsed = QLTP_tpxml_parse(r->scanner, text, static_cast<int>(std::strlen(text)), 1);
    if (parsed) {
        end_open_metadata(r);
        end_open_lexeme(r);
    }
    lexhash* lex = r->result;
    r->result = nullptr;
    if (!parsed) {
        QLTP_lexhash_delete(lex);
        return nullptr;
    }
    return lex;
}

namespace {

// The rest of an open file; false when it cannot be read.
bool read_rest(FILE* file, std::string& text) {
    char block[65536];
    size_t got;
    try {
        while ((got = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    } catch (...) {
        return false;
    }
    return !std::ferror(file);
}

}  // namespace

lexhash* QLTP_pls_load_pls_file(pls* r, FILE* file) {
    if (!r || !file) return nullptr;
    std::string text;
    if (!read_rest(file, text)) return nullptr;
    return QLTP_pls_load_pls(r, text.c_str());
}

lexhash* QLTP_pls_load_pls_filename(pls* r, const char* path) {
    if (!r || !path) return nullptr;
    FILE* file = std::fopen(path, "rb");
    if (!file) return nullptr;
    lexhash* lex = QLTP_pls_load_pls_file(r, file);
    std::fclose(file);
    return lex;
}

int QLTP_pls_convert_and_display(const char* phoneset_path, const char* pls_path) {
    FILE* file = phoneset_path ? std::fopen(phoneset_path, "rb") : nullptr;
    if (!file) {
        std::printf("could not open phone set file\n");
        return 0;
    }
    std::string text;
    bool read = read_rest(file, text);
    std::fclose(file);
    phoneset* ps = QLTP_phoneset_new();
    if (!read || !QLTP_phoneset_load_file(ps, text.c_str())) {
        std::printf("failed to parse phoneset file\n");
        QLTP_phoneset_delete(ps);
        return 0;
    }
    file = pls_path ? std::fopen(pls_path, "rb") : nullptr;
    if (!file) {
        std::printf("could not open pls file\n");
        QLTP_phoneset_delete(ps);
        return 0;
    }
    text.clear();
    read = read_rest(file, text);
    std::fclose(file);
    pls* reader = QLTP_pls_new();
    QLTP_pls_addphoneset(reader, ps, 1);
    lexhash* lex = read ? QLTP_pls_load_pls(reader, text.c_str()) : nullptr;
    std::printf("errors:\n%s\n", QLTP_dystr_cstr(reader->errors));
    QLTP_lexhash_delete(lex);
    QLTP_pls_delete(reader);
    return lex ? 1 : 0;
}
