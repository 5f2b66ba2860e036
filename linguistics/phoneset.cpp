#include "linguistics/phoneset.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/strarray.h"
#include "foundation/strmap.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/utf8.h"
#include "foundation/voidparray.h"
#include "textproc/unorm.h"

const char* const QLTP_QUORLANE_ALPHABET_NAMES[5] = {"quorlane", "qrln", "default", "vendor", ""};

struct phoneset {
    int32_t nr_phones = 0;
    int32_t nr_modifiers = 0;
    int32_t nr_questions = 0;
    int32_t nr_names = 0;
    int32_t nr_features = 0;
    int32_t nr_stresses = 0;
    std::string version;
    strarray* names = nullptr;
    voidparray* phones = nullptr;
    voidparray* modifiers = nullptr;
    voidparray* questions = nullptr;
    voidparray* stresses = nullptr;
    strarray* feature_names = nullptr;
    dict* phone_ids = nullptr;
    hashstrarray* qrln_map = nullptr;
    dict* feature_ids = nullptr;
    dystr* output = nullptr;
    dystr* input = nullptr;
    unsigned char scratch[QLTP_PHONESET_FEATURE_BYTES] = {};
    std::string stress = "0";  // the pending stress, "0" when none
    logger* log = nullptr;
};

namespace {

using Vector = unsigned char[QLTP_PHONESET_FEATURE_BYTES];

// The phone-set text is kept verbatim in the database.
void delete_text(void* object) { QLTP_free(object); }
int nothing_after_load(tpdb*, void*) { return 1; }
int32_t write_text(void* object, char* destination, int swap) {
    return QLTP_tpobj_config_write(static_cast<const char*>(object), destination, swap);
}
const int registered = QLTP_tpobj_register(
    "TPOBJ_PHONESET",
    {.load = QLTP_tpobj_config_load, .pstload = nothing_after_load, .del = delete_text, .write = write_text});

// ---------------------------------------------------------------------------
// Text helpers

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) ++i;
        size_t start = i;
        while (i < line.size() && !is_blank(line[i])) ++i;
        if (i > start) fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

char* dup(std::string_view s) { return QLTP_strndup(s.data(), static_cast<int>(s.size())); }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 24 hex digits, high nibble first; a pair that is cut short or holds a
// non-hex character gives 0.
void read_hex(std::string_view field, unsigned char* out) {
    for (size_t b = 0; b < QLTP_PHONESET_FEATURE_BYTES; ++b) {
        out[b] = 0;
        if (2 * b + 1 >= field.size()) continue;
        int hi = hex_digit(field[2 * b]);
        int lo = hex_digit(field[2 * b + 1]);
        if (hi >= 0 && lo >= 0) out[b] = static_cast<unsigned char>(hi << 4 | lo);
    }
}

// Decimal, saturating; a leading sign is allowed.
int32_t read_int(std::string_view field) {
    bool negative = !field.empty() && field[0] == '-';
    if (!field.empty() && (field[0] == '-' || field[0] == '+')) field.remove_prefix(1);
    int64_t v = 0;
    for (char c : field) {
        if (c < '0' || c > '9') break;
        v = v * 10 + (c - '0');
        if (v > INT32_MAX) v = INT32_MAX;
    }
    return static_cast<int32_t>(negative ? -v : v);
}

bool all_digits(std::string_view field) {
    if (field.empty()) return false;
    for (char c : field)
        if (c < '0' || c > '9') return false;
    return true;
}

bool shares_bit(const unsigned char* a, const unsigned char* b) {
    for (int i = 0; i < QLTP_PHONESET_FEATURE_BYTES; ++i)
        if (a[i] & b[i]) return true;
    return false;
}

bool has_feature(const unsigned char* v, int n) {
    if (n < 0 || n >= QLTP_PHONESET_FEATURE_BYTES * 8) return false;
    return v[n / 8] & (0x80 >> (n % 8));
}

void print_hex(const unsigned char* v) {
    for (int i = 0; i < QLTP_PHONESET_FEATURE_BYTES; ++i)
        if (v)
            std::printf("%02X", v[i]);
        else
            std::printf("--");
}

void append_json_string(std::string& out, std::string_view s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// Characters of s counted as a UTF-8 length, as bytes (len < 0: all of s).
std::string_view chars_prefix(const char* s, int len) {
    if (!s) return {};
    if (len < 0) return std::string_view(s);
    return std::string_view(s, static_cast<size_t>(QLTP_u8_bytelen(s, len)));
}

size_t char_len(std::string_view t, size_t at) {
    int n = QLTP_utf8_sequence(reinterpret_cast<const unsigned char*>(t.data() + at), t.size() - at);
    return n > 0 ? static_cast<size_t>(n) : 1;
}

template <typename T>
T* record(const voidparray* a, int i) {
    return static_cast<T*>(QLTP_voidparray_idx(a, i));
}

// ---------------------------------------------------------------------------
// Records

void free_records(phoneset* ps) {
    for (int i = 0; i < QLTP_voidparray_sz(ps->phones); ++i)
        QLTP_phoneset_phone_delete(record<phoneset_phone>(ps->phones, i));
    for (int i = 0; i < QLTP_voidparray_sz(ps->modifiers); ++i)
        QLTP_phoneset_modifier_delete(record<phoneset_modifier>(ps->modifiers, i));
    for (int i = 0; i < QLTP_voidparray_sz(ps->questions); ++i)
        QLTP_phoneset_question_delete(record<phoneset_question>(ps->questions, i));
    for (int i = 0; i < QLTP_voidparray_sz(ps->stresses); ++i)
        QLTP_phoneset_stress_delete(record<phoneset_stress>(ps->stresses, i));
    QLTP_voidparray_clear(ps->phones);
    QLTP_voidparray_clear(ps->modifiers);
    QLTP_voidparray_clear(ps->questions);
    QLTP_voidparray_clear(ps->stresses);
}

bool symbol_match(const char* symbol, const char* s, int len) {
    if (!symbol) return false;
    if (!s) return false;
    if (len < 0) return std::strcmp(symbol, s) == 0;
    std::string_view text = chars_prefix(s, len);
    return QLTP_u8_strlen(symbol) == len && text == symbol;
}

// The first modifier (file order) whose symbol is exactly c.
const phoneset_modifier* single_char_modifier(const phoneset* ps, std::string_view c) {
    for (int i = 0; i < QLTP_voidparray_sz(ps->modifiers); ++i) {
        auto* m = record<phoneset_modifier>(ps->modifiers, i);
        if (m->symbol && c == m->symbol) return m;
    }
    return nullptr;
}

const phoneset_phone* phone_of(const phoneset* ps, std::string_view s) {
    if (s.empty()) return nullptr;
    int id = QLTP_dict_lookup_word(ps->phone_ids, s.data(), static_cast<int>(s.size()));
    return QLTP_phoneset_get_phone_id(ps, id);
}

// ---------------------------------------------------------------------------
// Loading

enum class Section { none, names, phones, modifiers, questions, features, stresses };

struct SectionKey {
    const char* key;
    Section section;
};
constexpr SectionKey kSectionKeys[] = {
    {"NR_NAMES", Section::names},         {"NR_PHONES", Section::phones},
    {"NR_MODIFIERS", Section::modifiers}, {"NR_QUESTIONS", Section::questions},
    {"NR_FEATURES", Section::features},   {"NR_STRESSES", Section::stresses},
};

// Lines up to CR or LF, without the empty ones and the comments.
std::vector<std::string_view> content_lines(const char* text) {
    std::vector<std::string_view> lines;
    const char* p = text;
    while (*p) {
        size_t n = std::strcspn(p, "\r\n");
        if (n > 0 && p[0] != '#') lines.emplace_back(p, n);
        p += n;
        if (*p) ++p;
    }
    return lines;
}

// Starts a section of count records; false for a count the text cannot hold.
bool start_section(phoneset* ps, Section section, int32_t count, size_t lines_left) {
    if (count < 0 || static_cast<size_t>(count) > lines_left) return false;
    auto reset = [](voidparray* a, void (*del)(void*)) {
        for (int i = 0; i < QLTP_voidparray_sz(a); ++i) del(QLTP_voidparray_idx(a, i));
        QLTP_voidparray_clear(a);
    };
    switch (section) {
        case Section::names:
            ps->nr_names = count;
            QLTP_strarray_clear(ps->names);
            break;
        case Section::phones:
            ps->nr_phones = count;
            reset(ps->phones, [](void* p) { QLTP_phoneset_phone_delete(static_cast<phoneset_phone*>(p)); });
            QLTP_dict_delete(ps->phone_ids);
            QLTP_hashstrarray_delete(ps->qrln_map);
            ps->phone_ids = QLTP_dict_new_empty(count + 1);
            ps->qrln_map = QLTP_hashstrarray_new(count + 1);
            if (!ps->phone_ids || !ps->qrln_map) return false;
            break;
        case Section::modifiers:
            ps->nr_modifiers = count;
            reset(ps->modifiers,
                  [](void* m) { QLTP_phoneset_modifier_delete(static_cast<phoneset_modifier*>(m)); });
            break;
        case Section::questions:
            ps->nr_questions = count;
            reset(ps->questions,
                  [](void* q) { QLTP_phoneset_question_delete(static_cast<phoneset_question*>(q)); });
            break;
        case Section::features:
            ps->nr_features = count;
            QLTP_strarray_clear(ps->feature_names);
            QLTP_dict_delete(ps->feature_ids);
            ps->feature_ids = QLTP_dict_new_empty(count + 1);
            if (!ps->feature_ids) return false;
            break;
        case Section::stresses:
            ps->nr_stresses = count;
            reset(ps->stresses, [](void* s) { QLTP_phoneset_stress_delete(static_cast<phoneset_stress*>(s)); });
            break;
        case Section::none:
            break;
    }
    return true;
}

// One section line; position is the record's 1-based id.
bool read_section_line(phoneset* ps, Section section, std::string_view line, int position) {
    std::string text(line);
    switch (section) {
        case Section::names:
            return QLTP_strarray_add(ps->names, text.c_str(), static_cast<int>(text.size())) != 0;
        case Section::phones: {
            phoneset_phone* p = QLTP_phoneset_phone_new();
            if (!p || !QLTP_phoneset_phone_set_from_str(p, text.c_str()) || !QLTP_voidparray_add(ps->phones, p)) {
                QLTP_phoneset_phone_delete(p);
                return false;
            }
            QLTP_phoneset_phone_set_id(p, position);
            QLTP_dict_add_entry(ps->phone_ids, p->symbol, static_cast<int>(std::strlen(p->symbol)));
            if (p->qrln && !std::strchr(p->qrln, '_') && !QLTP_hashstrarray_lookup(ps->qrln_map, p->qrln, -1)) {
                std::string id = std::to_string(position);
                QLTP_hashstrarray_add(ps->qrln_map, p->qrln, -1, id.c_str(), -1);
            }
            return true;
        }
        case Section::modifiers: {
            phoneset_modifier* m = QLTP_phoneset_modifier_new();
            if (!m || !QLTP_phoneset_modifier_set_from_str(m, text.c_str()) ||
                !QLTP_voidparray_add(ps->modifiers, m)) {
                QLTP_phoneset_modifier_delete(m);
                return false;
            }
            QLTP_phoneset_modifier_set_id(m, position);
            return true;
        }
        case Section::questions: {
            phoneset_question* q = QLTP_phoneset_question_new();
            if (!q || !QLTP_phoneset_question_set_from_str(q, text.c_str()) ||
                !QLTP_voidparray_add(ps->questions, q)) {
                QLTP_phoneset_question_delete(q);
                return false;
            }
            QLTP_phoneset_question_set_id(q, position);
            return true;
        }
        case Section::features:
            if (QLTP_dict_lookup_word(ps->feature_ids, text.c_str(), static_cast<int>(text.size())))
                std::fprintf(stderr,
                             "WARN: Duplicate feature in phoneset: '%s', This voice will not load in future "
                             "versions.\n",
                             text.c_str());
            QLTP_dict_add_entry(ps->feature_ids, text.c_str(), static_cast<int>(text.size()));
            return QLTP_strarray_add(ps->feature_names, text.c_str(), static_cast<int>(text.size())) != 0;
        case Section::stresses: {
            phoneset_stress* s = QLTP_phoneset_stress_new();
            if (!s || !QLTP_phoneset_stress_set_from_str(s, text.c_str()) || !QLTP_voidparray_add(ps->stresses, s)) {
                QLTP_phoneset_stress_delete(s);
                return false;
            }
            QLTP_phoneset_stress_set_id(s, position);
            return true;
        }
        case Section::none:
            break;
    }
    return false;
}

// 0-based position of a feature name (case-insensitive), or -1.
int feature_position(const phoneset* ps, std::string_view name) {
    for (int i = 0; i < QLTP_strarray_sz(ps->feature_names); ++i)
        if (equal_nocase(QLTP_strarray_idx(ps->feature_names, i), name)) return i;
    return -1;
}

bool question_links_valid(const phoneset* ps) {
    for (int i = 0; i < QLTP_voidparray_sz(ps->questions); ++i) {
        auto* q = record<phoneset_question>(ps->questions, i);
        for (int link : {q->yes, q->no})
            if (link != 0 && (link < 1 || link > ps->nr_questions)) return false;
    }
    return true;
}

bool resolve_flags(phoneset* ps) {
    const int vowel = feature_position(ps, "vowel");
    const int basephone = feature_position(ps, "basephone");
    const int breaking = feature_position(ps, "breaking symbol");
    const int syllable_break = feature_position(ps, "syllable break");
    const int stress_marker = feature_position(ps, "stress marker");
    if (vowel < 0 || basephone < 0 || breaking < 0 || syllable_break < 0 || stress_marker < 0) return false;
    for (int i = 0; i < QLTP_voidparray_sz(ps->phones); ++i) {
        auto* p = record<phoneset_phone>(ps->phones, i);
        p->is_basephone = has_feature(p->onset, basephone);
        p->is_vowel = has_feature(p->onset, vowel) || has_feature(p->offset, vowel);
        p->resolved = 1;
    }
    for (int i = 0; i < QLTP_voidparray_sz(ps->modifiers); ++i) {
        auto* m = record<phoneset_modifier>(ps->modifiers, i);
        m->is_breaking = has_feature(m->mask, breaking);
        m->is_syllable_break = has_feature(m->mask, syllable_break);
        m->is_stress_marker = has_feature(m->mask, stress_marker);
        m->resolved = 1;
    }
    return true;
}

bool load(phoneset* ps, const char* text) {
    const std::vector<std::string_view> lines = content_lines(text);
    Section pending = Section::none;
    int32_t left = 0;
    int position = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (left > 0) {
            if (!read_section_line(ps, pending, lines[i], ++position)) return false;
            --left;
            continue;
        }
        const std::vector<std::string_view> fields = split_fields(lines[i]);
        for (size_t k = 0; k + 1 < fields.size(); ++k) {
            if (equal_nocase(fields[k], "NR_FEATURE_BYTES")) {
                if (read_int(fields[k + 1]) != QLTP_PHONESET_FEATURE_BYTES || !all_digits(fields[k + 1]))
                    return false;
                ++k;
                continue;
            }
            if (equal_nocase(fields[k], "VERSION")) {
                ps->version.assign(fields[k + 1]);
                break;
            }
            const SectionKey* key = nullptr;
            for (const SectionKey& candidate : kSectionKeys)
                if (equal_nocase(fields[k], candidate.key)) key = &candidate;
            if (!key) continue;
            const int32_t count = read_int(fields[k + 1]);
            if (!start_section(ps, key->section, count, lines.size() - i - 1)) return false;
            pending = key->section;
            left = count;
            position = 0;
            break;
        }
    }
    return question_links_valid(ps) && resolve_flags(ps);
}

// ---------------------------------------------------------------------------
// Conversion

// The character at `at` stops a segment: a single-character base phone, or,
// when the character is no phone, a breaking modifier.
bool is_stop(const phoneset* ps, std::string_view t, size_t at) {
    std::string_view c = t.substr(at, char_len(t, at));
    if (const phoneset_phone* p = phone_of(ps, c)) return p->is_basephone;
    const phoneset_modifier* m = single_char_modifier(ps, c);
    return m && m->is_breaking;
}

size_t next_stop(const phoneset* ps, std::string_view t, size_t at) {
    if (at >= t.size()) return t.size();
    size_t q = at + char_len(t, at);
    while (q < t.size() && !is_stop(ps, t, q)) q += char_len(t, q);
    return q < t.size() ? q : t.size();
}

// The qrln answer of the question tree for the scratch vector, or NULL. The
// walk is bounded so that a cyclic tree ends without an answer.
const char* walk_questions(const phoneset* ps) {
    int id = 1;
    for (int step = 0; step < ps->nr_questions; ++step) {
        if (id < 1 || id > QLTP_voidparray_sz(ps->questions)) return nullptr;
        auto* q = record<phoneset_question>(ps->questions, id - 1);
        const bool yes = shares_bit(ps->scratch, q->mask);
        const char* answer = yes ? q->yes_answer : q->no_answer;
        if (answer) return answer;
        id = yes ? q->yes : q->no;
    }
    return nullptr;
}

const phoneset_phone* phone_with_qrln(const phoneset* ps, const char* qrln) {
    for (int i = 0; i < QLTP_voidparray_sz(ps->phones); ++i) {
        auto* p = record<phoneset_phone>(ps->phones, i);
        if (p->qrln && equal_nocase(p->qrln, qrln)) return p;
    }
    return nullptr;
}

void detect_stress(phoneset* ps, std::string_view segment) {
    int best = 0;
    const phoneset_stress* winner = nullptr;
    for (int r = 0; r < QLTP_voidparray_sz(ps->stresses); ++r) {
        auto* s = record<phoneset_stress>(ps->stresses, r);
        int count = 0;
        for (size_t at = 0; at < segment.size() && count < 4; at += char_len(segment, at)) {
            const phoneset_modifier* m = single_char_modifier(ps, segment.substr(at, char_len(segment, at)));
            if (m && m->is_stress_marker && shares_bit(m->mask, s->sequence[count])) ++count;
        }
        if (count > best) {
            best = count;
            winner = s;
        }
    }
    if (winner && winner->symbol) {
        std::string_view symbol(winner->symbol);
        size_t n = 0;
        while (n < symbol.size() && !is_blank(symbol[n])) ++n;
        ps->stress.assign(symbol.substr(0, n));
    }
}

// Appends the qrln phones of the result, each vowel with the pending stress.
void emit(phoneset* ps, const char* qrln, std::string_view segment, std::string* lookups) {
    std::string_view rest(qrln);
    while (true) {
        const size_t cut = rest.find('_');
        std::string_view part = rest.substr(0, cut);
        const char* id_text = part.empty() ? nullptr
                                           : QLTP_hashstrarray_lookup(ps->qrln_map, part.data(),
                                                                      static_cast<int>(part.size()));
        const phoneset_phone* phone =
            id_text ? QLTP_phoneset_get_phone_id(ps, read_int(id_text)) : nullptr;
        if (phone) {
            std::string stress;
            if (phone->is_vowel) {
                stress = ps->stress;
                ps->stress = "0";
            }
            QLTP_dystr_append3(ps->output, part.data(), static_cast<int>(part.size()), stress.data(),
                               static_cast<int>(stress.size()), " ", 1);
            if (lookups) {
                if (lookups->size() > 1) *lookups += ',';
                *lookups += '{';
                append_json_string(*lookups, segment);
                *lookups += ':';
                append_json_string(*lookups, std::string(rest) + stress);
                *lookups += '}';
            }
        }
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
}

void convert(phoneset* ps, std::string_view t, std::string* lookups) {
    size_t p = 0;
    while (p < t.size()) {
        const size_t e1 = next_stop(ps, t, p);
        const size_t e2 = next_stop(ps, t, e1);
        const phoneset_phone* result = nullptr;
        const char* qrln = nullptr;
        size_t end = e1;
        const phoneset_phone* whole = phone_of(ps, t.substr(p, e2 - p));
        const phoneset_phone* first = phone_of(ps, t.substr(p, e1 - p));
        if (whole && whole->qrln) {
            result = whole;
            end = e2;
        } else if (first && first->qrln) {
            result = first;
        }
        std::string_view segment = t.substr(p, end - p);
        if (result) {
            qrln = result->qrln;
        } else if (const phoneset_modifier* m = single_char_modifier(ps, segment)) {
            if (ps->nr_stresses > 0) detect_stress(ps, segment);
            if (m->is_syllable_break) QLTP_dystr_append(ps->output, ".", 1);
            p = end;
            continue;
        } else {
            const phoneset_phone* base = phone_of(ps, segment.substr(0, char_len(segment, 0)));
            if (!base) {
                p = end;
                continue;
            }
            std::memcpy(ps->scratch, base->onset, sizeof ps->scratch);
            for (size_t at = 0; at < segment.size(); at += char_len(segment, at)) {
                std::string_view c = segment.substr(at, char_len(segment, at));
                for (int i = 0; i < QLTP_voidparray_sz(ps->modifiers); ++i) {
                    auto* mod = record<phoneset_modifier>(ps->modifiers, i);
                    if (mod->symbol && c == mod->symbol) QLTP_phoneset_modifier_apply(mod, ps->scratch);
                }
            }
            const char* answer = walk_questions(ps);
            const phoneset_phone* found = answer ? phone_with_qrln(ps, answer) : nullptr;
            qrln = found ? found->qrln : nullptr;
        }
        if (ps->nr_stresses > 0) detect_stress(ps, segment);
        if (qrln) emit(ps, qrln, segment, lookups);
        p = end;
    }
}

void print_list(const char* title, const strarray* items, const char* none) {
    const int n = QLTP_strarray_sz(items);
    if (n == 0) {
        std::printf("%s\n", none);
        return;
    }
    std::printf("%s%d\n", title, n);
    for (int i = 0; i < n; ++i) std::printf("    \"%s\"\n", QLTP_strarray_idx(items, i));
}

template <typename T>
void print_records(const char* title, const voidparray* items, const char* none, void (*print)(const T*)) {
    const int n = QLTP_voidparray_sz(items);
    if (n == 0) {
        std::printf("%s\n", none);
        return;
    }
    std::printf("%s%d\n", title, n);
    for (int i = 0; i < n; ++i) {
        std::printf("    ");
        print(record<T>(items, i));
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Phone set

phoneset* QLTP_phoneset_new() {
    auto* ps = new (std::nothrow) phoneset{};
    if (!ps) return nullptr;
    ps->names = QLTP_strarray_new();
    ps->feature_names = QLTP_strarray_new();
    ps->phones = QLTP_voidparray_new();
    ps->modifiers = QLTP_voidparray_new();
    ps->questions = QLTP_voidparray_new();
    ps->stresses = QLTP_voidparray_new();
    ps->output = QLTP_dystr_new(nullptr, 0);
    ps->input = QLTP_dystr_new(nullptr, 0);
    if (!ps->names || !ps->feature_names || !ps->phones || !ps->modifiers || !ps->questions || !ps->stresses ||
        !ps->output || !ps->input) {
        QLTP_phoneset_delete(ps);
        return nullptr;
    }
    return ps;
}

void QLTP_phoneset_clear(phoneset* ps) {
    if (!ps) return;
    ps->version.clear();
    QLTP_dict_delete(ps->phone_ids);
    QLTP_dict_delete(ps->feature_ids);
    QLTP_hashstrarray_delete(ps->qrln_map);
    ps->phone_ids = nullptr;
    ps->feature_ids = nullptr;
    ps->qrln_map = nullptr;
    ps->nr_phones = ps->nr_modifiers = ps->nr_questions = ps->nr_names = ps->nr_features = ps->nr_stresses = 0;
    QLTP_strarray_clear(ps->names);
    QLTP_strarray_clear(ps->feature_names);
    QLTP_dystr_clear(ps->output);
    QLTP_dystr_clear(ps->input);
    ps->stress = "0";
    // A second load must not keep the first one's records.
    free_records(ps);
}

void QLTP_phoneset_delete(phoneset* ps) {
    if (!ps) return;
    QLTP_phoneset_clear(ps);
    QLTP_strarray_delete(ps->names);
    QLTP_strarray_delete(ps->feature_names);
    QLTP_voidparray_delete(ps->phones);
    QLTP_voidparray_delete(ps->modifiers);
    QLTP_voidparray_delete(ps->questions);
    QLTP_voidparray_delete(ps->stresses);
    QLTP_dystr_delete(ps->output);
    QLTP_dystr_delete(ps->input);
    delete ps;
}

int QLTP_phoneset_load_file(phoneset* ps, const char* text) {
    if (!ps) return 0;
    QLTP_phoneset_clear(ps);
    if (!text || !*text) return 0;
    if (load(ps, text)) return 1;
    QLTP_phoneset_clear(ps);
    return 0;
}

phoneset* QLTP_tpdb_get_ipa(tpdb* db) {
    if (!db) return nullptr;
    auto* text = static_cast<const char*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_PHONESET:DEFAULT"));
    if (!text) return nullptr;
    phoneset* ps = QLTP_phoneset_new();
    if (!QLTP_phoneset_load_file(ps, text)) {
        QLTP_phoneset_delete(ps);
        return nullptr;
    }
    return ps;
}

void QLTP_phoneset_set_logger(phoneset* ps, logger* lg) {
    if (ps) ps->log = lg;
}

int QLTP_phoneset_chk_name(const phoneset* ps, const char* name) {
    if (!ps || !name) return 0;
    for (int i = 0; i < QLTP_strarray_sz(ps->names); ++i)
        if (equal_nocase(QLTP_strarray_idx(ps->names, i), name)) return 1;
    return 0;
}

int QLTP_phoneset_chk_qorlname(const char* name) {
    if (!name) return 0;
    for (const char* own : QLTP_QUORLANE_ALPHABET_NAMES)
        if (equal_nocase(own, name)) return 1;
    return 0;
}

int QLTP_phoneset_find_phone(const phoneset* ps, const char* s, int len) {
    if (!ps || !s) return 0;
    std::string_view symbol = chars_prefix(s, len);
    if (symbol.empty()) return 0;
    return QLTP_dict_lookup_word(ps->phone_ids, symbol.data(), static_cast<int>(symbol.size()));
}

int QLTP_phoneset_find_phone_nondecomposed(phoneset* ps, const char* s) {
    if (!ps || !s) return 0;
    int len = static_cast<int>(std::strlen(s));
    QLTP_utf8_normalise_decomposed(s, ps->input, &len, 0, 1);
    const int id = QLTP_phoneset_find_phone(ps, QLTP_dystr_cstr(ps->input), -1);
    if (ps->log && QLTP_logger_loglevel(ps->log) <= QLTP_LOGGER_DEBUG) {
        std::string detail = "{\"original phone\":";
        append_json_string(detail, s);
        detail += ",\"decomposed\":";
        append_json_string(detail, QLTP_dystr_cstr(ps->input));
        detail += ",\"pid\":" + std::to_string(id) + "}";
        QLTP_logger_log(ps->log, QLTP_LOGGER_DEBUG, "PHONESET", "pid lookup", "see data", detail.c_str());
    }
    return id;
}

phoneset_phone* QLTP_phoneset_get_phone_id(const phoneset* ps, int id) {
    if (!ps || id < 1 || id > ps->nr_phones || id > QLTP_voidparray_sz(ps->phones)) return nullptr;
    return record<phoneset_phone>(ps->phones, id - 1);
}

int QLTP_phoneset_phone_has_onset_feature(const phoneset* ps, int id, int n) {
    const phoneset_phone* p = QLTP_phoneset_get_phone_id(ps, id);
    return p && n >= 1 && n <= ps->nr_features && has_feature(p->onset, n - 1);
}

int QLTP_phoneset_phone_has_offset_feature(const phoneset* ps, int id, int n) {
    const phoneset_phone* p = QLTP_phoneset_get_phone_id(ps, id);
    return p && n >= 1 && n <= ps->nr_features && has_feature(p->offset, n - 1);
}

phoneset_phone* QLTP_phoneset_find_qrlnphone(const phoneset* ps, const char* name, int len) {
    return QLTP_phoneset_get_phone_id(ps, QLTP_phoneset_find_qrlnphone_id(ps, name, len));
}

int QLTP_phoneset_find_qrlnphone_id(const phoneset* ps, const char* name, int len) {
    if (!ps || !name) return 0;
    const char* id = QLTP_hashstrarray_lookup(ps->qrln_map, name, len);
    return id && QLTP_phoneset_get_phone_id(ps, read_int(id)) ? read_int(id) : 0;
}

phoneset_phone* QLTP_phoneset_qrlnphone_by_id(const phoneset* ps, int id) {
    return QLTP_phoneset_get_phone_id(ps, id);
}

int QLTP_phoneset_nr_qrlnphone(const phoneset* ps) { return ps ? QLTP_hashstrarray_sz(ps->qrln_map) : 0; }

const char* QLTP_phoneset_qrlnphone_symbol(const phoneset* ps, int i) {
    return ps ? QLTP_hashstrarray_key(ps->qrln_map, i) : nullptr;
}

int QLTP_phoneset_pid_from_qrlnphone(const phoneset* ps, int i) {
    const char* id = ps ? QLTP_hashstrarray_entry(ps->qrln_map, i) : nullptr;
    return id ? read_int(id) : 0;
}

const char* QLTP_phoneset_featurename(const phoneset* ps, int n) {
    if (!ps || n < 1 || n > ps->nr_features || n > QLTP_strarray_sz(ps->feature_names)) return nullptr;
    return QLTP_strarray_idx(ps->feature_names, n - 1);
}

int QLTP_phoneset_featurename_lookup(const phoneset* ps, const char* name, int len) {
    if (!ps || !name) return 0;
    return QLTP_dict_lookup_word(ps->feature_ids, name, len);
}

int QLTP_phoneset_nr_phones(const phoneset* ps) { return ps ? ps->nr_phones : 0; }
int QLTP_phoneset_nr_features(const phoneset* ps) { return ps ? ps->nr_features : 0; }
int QLTP_phoneset_nr_modifiers(const phoneset* ps) { return ps ? ps->nr_modifiers : 0; }
int QLTP_phoneset_nr_questions(const phoneset* ps) { return ps ? ps->nr_questions : 0; }
int QLTP_phoneset_nr_stresses(const phoneset* ps) { return ps ? ps->nr_stresses : 0; }

int QLTP_phoneset_find_one_modifier(const phoneset* ps, const char* s, int len) {
    if (!ps || !s) return 0;
    for (int i = 0; i < QLTP_voidparray_sz(ps->modifiers); ++i)
        if (QLTP_phoneset_modifier_is_match(record<phoneset_modifier>(ps->modifiers, i), s, len)) return i + 1;
    return 0;
}

void QLTP_phoneset_modifier_apply(const phoneset_modifier* m, unsigned char* vector) {
    if (!m || !vector) return;
    for (int i = 0; i < QLTP_PHONESET_FEATURE_BYTES; ++i)
        vector[i] = m->value ? vector[i] | m->mask[i] : vector[i] & ~m->mask[i];
}

int QLTP_phoneset_parse(phoneset* ps, dystr* text, int start, int len) {
    if (!ps || !text) return 0;
    const int size = QLTP_dystr_sz(text);
    if (start < 0 || start > size) return 1;
    if (len < 0 || len > size - start) len = size - start;
    const std::string span(QLTP_dystr_cstr(text) + start, static_cast<size_t>(len));
    int consumed = len;
    QLTP_utf8_normalise_decomposed(span.c_str(), ps->input, &consumed, 0, 1);
    QLTP_dystr_clear(ps->output);
    const bool debug = ps->log && QLTP_logger_loglevel(ps->log) <= QLTP_LOGGER_DEBUG;
    std::string lookups = "[";
    convert(ps, std::string_view(QLTP_dystr_cstr(ps->input), QLTP_dystr_sz(ps->input)), debug ? &lookups : nullptr);
    QLTP_dystr_asciireplace(ps->output, '_', ' ');
    int out_len = QLTP_dystr_sz(ps->output);
    // The output ends in the blank after its last phone or in a syllable
    // mark; either goes.
    if (out_len > 0) --out_len;
    QLTP_dystr_delete_range(text, start, len);
    QLTP_dystr_insert_range(text, QLTP_dystr_cstr(ps->output), out_len, start);
    if (debug) {
        std::string message = "converted  \"" + span + "\" from \"";
        if (QLTP_strarray_sz(ps->names) > 0) message += QLTP_strarray_idx(ps->names, 0);
        message += "\"";
        std::string detail = "{\"phoneset lookups\":" + lookups + "]}";
        QLTP_logger_log(ps->log, QLTP_LOGGER_DEBUG, "PHONESET", "phoneset conversion", message.c_str(),
                        detail.c_str());
    }
    return 1;
}

void QLTP_phoneset_printf(const phoneset* ps) {
    if (!ps) return;
    std::printf("Phone set version: %s\n", ps->version.c_str());
    print_list("Number of names: ", ps->names, "No phoneset names found");
    print_records<phoneset_phone>("Number of phone symbols: ", ps->phones, "No phones found",
                                  QLTP_phoneset_phone_printf);
    print_records<phoneset_modifier>("Number of modifier symbols: ", ps->modifiers, "No modifiers found",
                                     QLTP_phoneset_modifier_printf);
    print_records<phoneset_question>("Number of questions: ", ps->questions, "No questions found",
                                     QLTP_phoneset_question_printf);
    print_records<phoneset_stress>("Number of stress lookups: ", ps->stresses, "No stress lookups found",
                                   QLTP_phoneset_stress_printf);
    print_list("Number of feature names: ", ps->feature_names, "No feature names found");
}

// ---------------------------------------------------------------------------
// Phone records

phoneset_phone* QLTP_phoneset_phone_new() { return new (std::nothrow) phoneset_phone{}; }

void QLTP_phoneset_phone_clear(phoneset_phone* p) {
    if (!p) return;
    QLTP_free(p->qrln);
    QLTP_free(p->symbol);
    *p = phoneset_phone{};
}

void QLTP_phoneset_phone_delete(phoneset_phone* p) {
    QLTP_phoneset_phone_clear(p);
    delete p;
}

int QLTP_phoneset_phone_set_from_str(phoneset_phone* p, const char* line) {
    if (!p) return 0;
    QLTP_phoneset_phone_clear(p);
    if (!line) return 0;
    const std::vector<std::string_view> f = split_fields(line);
    if (f.size() != 6 && f.size() != 7) return 0;
    const size_t qrln = f.size() == 7 ? 4 : 3;
    p->symbol = dup(f[0]);
    read_hex(f[2], p->onset);
    read_hex(f[qrln == 4 ? 3 : 2], p->offset);
    if (f[qrln] != "0") p->qrln = dup(f[qrln]);
    p->onset_ipa = read_int(f[qrln + 1]);
    p->offset_ipa = read_int(f[qrln + 2]);
    return 1;
}

int QLTP_phoneset_phone_set_id(phoneset_phone* p, int id) {
    if (!p || id < 1) return 0;
    p->id = id;
    return 1;
}

const char* QLTP_phoneset_phone_symbol(const phoneset_phone* p) { return p ? p->symbol : nullptr; }

int QLTP_phoneset_phone_is_match(const phoneset_phone* p, const char* s, int len) {
    return p && symbol_match(p->symbol, s, len);
}

void QLTP_phoneset_phone_printf(const phoneset_phone* p) {
    if (!p) {
        std::printf("phone not found\n");
        return;
    }
    std::printf("id: %d ", p->id);
    std::printf("symbol: %s ", p->symbol ? p->symbol : "-");
    std::printf("onset features: ");
    print_hex(p->onset);
    std::printf(" offset features: ");
    print_hex(p->offset);
    std::printf(" onset ipa: %d offset ipa: %d ", p->onset_ipa, p->offset_ipa);
    std::printf("qrln: %s\n", p->qrln ? p->qrln : "-");
}

// ---------------------------------------------------------------------------
// Modifier records

phoneset_modifier* QLTP_phoneset_modifier_new() { return new (std::nothrow) phoneset_modifier{}; }

void QLTP_phoneset_modifier_clear(phoneset_modifier* m) {
    if (!m) return;
    QLTP_free(m->symbol);
    *m = phoneset_modifier{};
}

void QLTP_phoneset_modifier_delete(phoneset_modifier* m) {
    QLTP_phoneset_modifier_clear(m);
    delete m;
}

int QLTP_phoneset_modifier_set_from_str(phoneset_modifier* m, const char* line) {
    if (!m) return 0;
    QLTP_phoneset_modifier_clear(m);
    if (!line) return 0;
    const std::vector<std::string_view> f = split_fields(line);
    if (f.size() != 4) return 0;
    std::string_view symbol = f[0];
    if (symbol[0] == 'e') symbol.remove_prefix(1);
    m->symbol = dup(symbol);
    read_hex(f[2], m->mask);
    m->value = read_int(f[3]);
    return 1;
}

int QLTP_phoneset_modifier_set_id(phoneset_modifier* m, int id) {
    if (!m || id < 1) return 0;
    m->id = id;
    return 1;
}

const char* QLTP_phoneset_modifier_symbol(const phoneset_modifier* m) { return m ? m->symbol : nullptr; }

int QLTP_phoneset_modifier_is_match(const phoneset_modifier* m, const char* s, int len) {
    return m && symbol_match(m->symbol, s, len);
}

void QLTP_phoneset_modifier_printf(const phoneset_modifier* m) {
    if (!m) {
        std::printf("modifier not found\n");
        return;
    }
    std::printf("id: %d symbol: e%s features to change: ", m->id, m->symbol ? m->symbol : "");
    print_hex(m->mask);
    std::printf(" value:%s", m->value ? "TRUE " : "FALSE ");
    std::printf("breaking:%s\n", m->is_breaking ? "TRUE " : "FALSE ");
}

// ---------------------------------------------------------------------------
// Question records

phoneset_question* QLTP_phoneset_question_new() { return new (std::nothrow) phoneset_question{}; }

void QLTP_phoneset_question_clear(phoneset_question* q) {
    if (!q) return;
    QLTP_free(q->yes_answer);
    QLTP_free(q->no_answer);
    *q = phoneset_question{};
}

void QLTP_phoneset_question_delete(phoneset_question* q) {
    QLTP_phoneset_question_clear(q);
    delete q;
}

int QLTP_phoneset_question_set_from_str(phoneset_question* q, const char* line) {
    if (!q) return 0;
    QLTP_phoneset_question_clear(q);
    if (!line) return 0;
    const std::vector<std::string_view> f = split_fields(line);
    if (f.size() != 3) return 0;
    read_hex(f[0], q->mask);
    auto side = [](std::string_view field, int32_t* id, char** answer) {
        if (all_digits(field) && read_int(field) != 0)
            *id = read_int(field);
        else
            *answer = dup(field);
    };
    side(f[1], &q->yes, &q->yes_answer);
    side(f[2], &q->no, &q->no_answer);
    return 1;
}

int QLTP_phoneset_question_set_id(phoneset_question* q, int id) {
    if (!q || id < 1) return 0;
    q->id = id;
    return 1;
}

void QLTP_phoneset_question_printf(const phoneset_question* q) {
    if (!q) {
        std::printf("modifier not found\n");
        return;
    }
    std::printf("id: %d query: ", q->id);
    print_hex(q->mask);
    if (q->yes_answer)
        std::printf(" yes:%s ", q->yes_answer);
    else
        std::printf(" yes:%d ", q->yes);
    if (q->no_answer)
        std::printf("no:%s \n", q->no_answer);
    else
        std::printf("no:%d \n", q->no);
}

// ---------------------------------------------------------------------------
// Stress records

phoneset_stress* QLTP_phoneset_stress_new() { return new (std::nothrow) phoneset_stress{}; }

void QLTP_phoneset_stress_clear(phoneset_stress* s) {
    if (!s) return;
    QLTP_free(s->symbol);
    *s = phoneset_stress{};
}

void QLTP_phoneset_stress_delete(phoneset_stress* s) {
    QLTP_phoneset_stress_clear(s);
    delete s;
}

int QLTP_phoneset_stress_set_from_str(phoneset_stress* s, const char* line) {
    if (!s) return 0;
    QLTP_phoneset_stress_clear(s);
    if (!line) return 0;
    const std::vector<std::string_view> f = split_fields(line);
    if (f.size() != 5) return 0;
    for (int i = 0; i < 4; ++i) read_hex(f[i], s->sequence[i]);
    s->symbol = dup(f[4]);
    return 1;
}

int QLTP_phoneset_stress_set_id(phoneset_stress* s, int id) {
    if (!s || id < 1) return 0;
    s->id = id;
    return 1;
}

void QLTP_phoneset_stress_printf(const phoneset_stress* s) {
    if (!s) {
        std::printf("stress not found\n");
        return;
    }
    std::printf("id: %d stress: %s  feature sequence: ", s->id, s->symbol ? s->symbol : "-");
    for (const auto& mask : s->sequence) {
        print_hex(mask);
        std::printf(" ");
    }
    std::printf("\n");
}
