#include "linguistics/accent.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/voidparray.h"
#include "linguistics/jpaccent.h"
#include "textproc/channel.h"

namespace {

enum class Set { Compound, Accent, Numbers };

bool feature(const toxtoken* t, int f) { return QLTP_toxtoken_getfeat(t, f) != 0; }

bool has_norm(const toxtoken* t) {
    const char* norm = QLTP_toxtoken_getnorm(t);
    return norm && *norm;
}

bool is_real(const toxtoken* t) { return has_norm(t) && QLTP_toxtoken_gettag(t, "lex"); }

bool sentence_end(const toxtoken* t) {
    const char* type = QLTP_toxtoken_tagval(t, "break", "type");
    return type && std::strcmp(type, "4") == 0;
}

void report(const jpaccent* s, int code, const char* message, const char* detail = "") {
    if (s->ch) QLTP_logger_set_error(s->ch->log, code, message, detail ? detail : "");
}

// An accent type read from "jtag" "atype"; `missing` when there is none.
int atype_of(const toxtoken* t, int missing) {
    const char* v = t ? QLTP_toxtoken_tagval(t, "jtag", "atype") : nullptr;
    return v && *v ? std::atoi(v) : missing;
}

int mora_of(const toxtoken* t) {
    const char* v = t ? QLTP_toxtoken_tagval(t, "jtag", "mora") : nullptr;
    return v ? std::atoi(v) : 0;
}

// The real tokens of a spurt (those with a "lex" tag and a norm) and, for
// the rule set being applied, each one's neighbours in the matcher's window.
struct Spurt {
    std::vector<toxtoken*> tokens;
    std::vector<int> next_real;  // index in `tokens` of the next real token of the spurt, or -1
};

// Where the matcher stands: the token and its window.
struct Window {
    const Spurt* spurt;
    int index;
    const toxtoken* prev;  // NULL: "^"
    const toxtoken* next;  // NULL: "$"
};

// The token at a key position, or NULL with *marker "^" or "$".
const toxtoken* token_at(const Window& w, int position, const char** marker) {
    *marker = nullptr;
    if (position == 0) return w.spurt->tokens[static_cast<size_t>(w.index)];
    if (position == -1 || position == 1) {
        const toxtoken* t = position < 0 ? w.prev : w.next;
        if (!t) *marker = position < 0 ? "^" : "$";
        return t;
    }
    const int k = w.index + position;
    if (k < 0 || k >= static_cast<int>(w.spurt->tokens.size())) {
        *marker = k < 0 ? "^" : "$";
        return nullptr;
    }
    return w.spurt->tokens[static_cast<size_t>(k)];
}

// The first token of the accent phrase holding token index i.
const toxtoken* phrase_first(const Spurt& s, int i) {
    while (i > 0 && feature(s.tokens[static_cast<size_t>(i)], QLTP_FEAT_WORD_CONTINUES)) --i;
    return s.tokens[static_cast<size_t>(i)];
}

bool star_match(std::string_view alt, std::string_view value, bool* decided) {
    *decided = true;
    if (alt == "*") return value != "^" && value != "$";
    const size_t star = alt.find('*');
    if (star == std::string_view::npos) {
        *decided = false;
        return false;
    }
    const std::string_view pre = alt.substr(0, star), post = alt.substr(star + 1);
    return value.size() >= pre.size() + post.size() && value.substr(0, pre.size()) == pre &&
           value.substr(value.size() - post.size()) == post;
}

// POS classes: the part before the first '_', components separated by '-'.
bool pos_match(std::string_view alt, std::string_view value) {
    value = value.substr(0, value.find('_'));
    const size_t dash = value.find('-');
    const std::string_view first = value.substr(0, dash);
    if (alt.find('-') == std::string_view::npos) return alt == first;
    if (dash == std::string_view::npos) return false;
    const std::string_view rest = value.substr(dash + 1);
    const std::string_view second = rest.substr(0, rest.find('-'));
    if (alt.back() == '-') return alt.substr(0, alt.size() - 1) == first;
    if (alt.front() == '-') return alt.substr(1) == second;
    return alt == value.substr(0, dash + 1 + second.size());
}

// One '{' alternative: an accent-type test or the POS after its second '-'.
bool class_match(const Window& w, std::string_view alt, std::string_view pos) {
    if (alt.size() == 2 && (alt[1] == '+' || alt[1] == '0') && (alt[0] == 'P' || alt[0] == 'C' || alt[0] == 'T')) {
        const toxtoken* t = alt[0] == 'C'   ? w.spurt->tokens[static_cast<size_t>(w.index)]
                            : alt[0] == 'P' ? w.prev
                                            : phrase_first(*w.spurt, w.index);
        const int type = atype_of(t, -1);
        return alt[1] == '+' ? type > 0 : type == 0;
    }
    const size_t d1 = pos.find('-');
    const size_t d2 = d1 == std::string_view::npos ? d1 : pos.find('-', d1 + 1);
    if (d2 == std::string_view::npos) return false;
    std::string_view tail = pos.substr(d2 + 1);
    bool decided;
    const bool m = star_match(alt, tail, &decided);
    return decided ? m : alt == tail;
}

bool condition_holds(const Window& w, char kind, std::string_view text, std::string_view value) {
    for (size_t at = 0;;) {
        const size_t bar = text.find('|', at);
        const std::string_view alt = text.substr(at, bar == std::string_view::npos ? text.npos : bar - at);
        bool decided;
        bool m = false;
        if (kind == '{') {
            m = class_match(w, alt, value);
        } else {
            m = star_match(alt, value, &decided);
            if (!decided) m = kind == '[' ? pos_match(alt, value) : alt == value;
        }
        if (m) return true;
        if (bar == std::string_view::npos) return false;
        at = bar + 1;
    }
}

int dashes_outside(std::string_view key) {
    int depth = 0, n = 0;
    for (char c : key) {
        if (c == '(' || c == '[' || c == '{' || c == '<') ++depth;
        else if ((c == ')' || c == ']' || c == '}' || c == '>') && depth > 0) --depth;
        else if (c == '-' && depth == 0) ++n;
    }
    return n;
}

bool rule_matches(const jpaccent* s, const Window& w, std::string_view key) {
    int position = -dashes_outside(key);
    for (size_t i = 0; i < key.size(); ++i) {
        const char c = key[i];
        if (c == '-' || c == '+') {
            ++position;
            continue;
        }
        const char close = c == '(' ? ')' : c == '[' ? ']' : c == '{' ? '}' : c == '<' ? '>' : 0;
        if (!close) {
            report(s, QLTP_MESSAGE_ERROR, "Character not valid in rule.\n", std::string(key).c_str());
            continue;
        }
        const size_t end = key.find(close, i + 1);
        if (end == std::string_view::npos) {
            report(s, QLTP_MESSAGE_ERROR, "Illegal archiphoneme rule, ignored.\n", std::string(key).c_str());
            return false;
        }
        const std::string_view text = key.substr(i + 1, end - i - 1);
        i = end;
        const char* marker;
        const toxtoken* t = token_at(w, position, &marker);
        const char* value = marker;
        if (t) {
            value = c == '(' ? QLTP_toxtoken_getnorm(t)
                    : c == '<' ? QLTP_toxtoken_tagval(t, "jtag", "aconr")
                               : QLTP_toxtoken_getpos(t);
        }
        if (!value || !condition_holds(w, c, text, value)) return false;
    }
    return true;
}

void set_jtag(const jpaccent* s, toxtoken* t, const char* attribute, const std::string& value) {
    toxtag* jtag = QLTP_toxtoken_gettag(t, "jtag");
    if (!jtag) {
        report(s, QLTP_MESSAGE_ERROR, "The jtag has not been set.\n", QLTP_toxtoken_getnorm(t));
        return;
    }
    QLTP_toxtag_set_attrib(jtag, attribute, -1, value.c_str(), -1);
}

// Evaluates an accent-type expression for the window's token.
int evaluate(const jpaccent* s, const Window& w, std::string_view expr);

void apply_rule(const jpaccent* s, const Window& w, std::string_view value) {
    toxtoken* t = w.spurt->tokens[static_cast<size_t>(w.index)];
    if (value == "0" || value == "1") {
        const bool continues = value == "1";
        QLTP_toxtoken_setfeat(t, QLTP_FEAT_WORD_CONTINUES, continues ? 1 : 0);
        set_jtag(s, t, "top", continues ? "0" : "1");
        return;
    }
    set_jtag(s, t, "atype", std::to_string(evaluate(s, w, value)));
}

void apply_set(const jpaccent* s, const hashstrarray* rules, Set set, const Spurt& sp) {
    const int n = static_cast<int>(sp.tokens.size());
    const int nrules = QLTP_hashstrarray_sz(rules);
    for (int i = 0; i < n; ++i) {
        const toxtoken* t = sp.tokens[static_cast<size_t>(i)];
        const toxtoken* before = i > 0 ? sp.tokens[static_cast<size_t>(i - 1)] : nullptr;
        const toxtoken* after = sp.next_real[static_cast<size_t>(i)] >= 0
                                    ? sp.tokens[static_cast<size_t>(sp.next_real[static_cast<size_t>(i)])]
                                    : nullptr;
        Window w{&sp, i, before, sentence_end(t) ? nullptr : after};
        // A sentence end or a token without a following one starts the window afresh.
        if (before && (sentence_end(before) || sp.next_real[static_cast<size_t>(i - 1)] < 0)) w.prev = nullptr;
        if (set != Set::Compound) {
            if (!feature(t, QLTP_FEAT_WORD_CONTINUES)) w.prev = nullptr;
            if (w.next && !feature(w.next, QLTP_FEAT_WORD_CONTINUES)) w.next = nullptr;
        }
        for (int r = 0; r < nrules; ++r) {
            const char* key = QLTP_hashstrarray_key(rules, r);
            if (!key || !rule_matches(s, w, key)) continue;
            apply_rule(s, w, QLTP_hashstrarray_entry(rules, r));
            if (set != Set::Compound) break;
        }
    }
}

bool is_stress(char c) { return c == '0' || c == '1' || c == '2'; }

// Writes the phrase accent types into the vowels' stress digits.
void write_accents(const jpaccent* s, const Spurt& sp) {
    int counter = -1;
    bool first_vowel = true;
    bool prev_other = false;
    std::string out;
    for (toxtoken* t : sp.tokens) {
        if (!feature(t, QLTP_FEAT_WORD_CONTINUES)) {
            const int type = atype_of(t, -2);
            if (type == -2) report(s, QLTP_MESSAGE_CRITICAL, "Token does not have atype set\n", QLTP_toxtoken_getnorm(t));
            counter = type == 0 || type == -2 ? -1 : type;
            first_vowel = true;
            prev_other = false;
        }
        toxtag* lex = QLTP_toxtoken_gettag(t, "lex");
        const char* phonemes = lex ? QLTP_toxtag_val(lex, "phonemes") : nullptr;
        if (!phonemes) continue;
        out = phonemes;
        for (size_t b = 0; b < out.size();) {
            if (out[b] == ' ') {
                ++b;
                continue;
            }
            size_t e = out.find(' ', b);
            if (e == std::string::npos) e = out.size();
            const char last = out[e - 1];
            if (e - b == 1 && last == '.') {
                // A syllable mark, not a phone.
            } else if (is_stress(last)) {
                out[e - 1] = counter == 1 ? '1' : counter == 0 ? '0' : first_vowel ? '0' : '2';
                first_vowel = false;
                if (counter > 0) --counter;
                prev_other = false;
            } else if (last == 'Q' || last == 'x') {
                if (counter > 0) --counter;
                prev_other = false;
            } else {
                if (prev_other && counter > 0) --counter;
                prev_other = true;
            }
            b = e;
        }
        QLTP_toxtag_set_attrib(lex, "phonemes", -1, out.c_str(), -1);
    }
}

// Swedish compound stress: first parts keep secondary stress as '3', middle
// parts lose theirs, last parts keep only their last stress, as '2'.
void swedish_stress(const std::vector<toxtoken*>& all) {
    bool in = false;
    for (toxtoken* t : all) {
        toxtag* lex = QLTP_toxtoken_gettag(t, "lex");
        if (!lex || !has_norm(t)) {
            in = false;
            continue;
        }
        const bool out = feature(t, QLTP_FEAT_COMPOUND_CONTINUES);
        const char* ph = QLTP_toxtag_val(lex, "phonemes");
        if (ph && (in || out)) {
            std::string p = ph;
            size_t last_high = std::string::npos;
            for (size_t i = 0; i < p.size(); ++i)
                if (p[i] >= '2' && p[i] <= '9') last_high = i;
            for (size_t i = 0; i < p.size(); ++i) {
                char& c = p[i];
                if (c < '0' || c > '9') continue;
                if (!in) c = c <= '2' ? '0' : '3';
                else if (out) c = '0';
                else c = c >= '2' && i == last_high ? '2' : '0';
            }
            QLTP_toxtag_set_attrib(lex, "phonemes", -1, p.c_str(), -1);
        }
        in = out;
    }
}

void merge_compounds(const jpaccent* s, const std::vector<toxtoken*>& all) {
    const int n = static_cast<int>(all.size());
    for (int i = 0; i < n; ++i) {
        toxtoken* first = all[static_cast<size_t>(i)];
        if (!has_norm(first) || !feature(first, QLTP_FEAT_COMPOUND_CONTINUES)) continue;
        const char* ph = QLTP_toxtoken_tagval(first, "lex", "phonemes");
        std::string norm = QLTP_toxtoken_getnorm(first);
        std::string phonemes = ph ? ph : "";
        int j = i;
        while (feature(all[static_cast<size_t>(j)], QLTP_FEAT_COMPOUND_CONTINUES)) {
            if (j + 1 >= n) {
                report(s, QLTP_MESSAGE_CRITICAL, "Broken compound encountered!\n", norm.c_str());
                for (int k = i; k < n; ++k) QLTP_toxtoken_printf(all[static_cast<size_t>(k)]);
                std::fprintf(stderr, "Pos: %d; norm: %s\n", j, norm.c_str());
                break;
            }
            toxtoken* part = all[static_cast<size_t>(++j)];
            norm += QLTP_toxtoken_getnorm(part) ? QLTP_toxtoken_getnorm(part) : "";
            QLTP_toxtoken_set_norm(part, "", 0);
            toxtag* lex = QLTP_toxtoken_gettag(part, "lex");
            const char* pp = lex ? QLTP_toxtag_val(lex, "phonemes") : nullptr;
            phonemes.append(" . ").append(pp ? pp : "");
            if (lex) QLTP_toxtag_set_attrib(lex, "phonemes", -1, "", 0);
        }
        QLTP_toxtoken_set_norm(first, norm.c_str(), -1);
        if (toxtag* lex = QLTP_toxtoken_gettag(first, "lex")) QLTP_toxtag_set_attrib(lex, "phonemes", -1, phonemes.c_str(), -1);
        i = j;
    }
}

void process_spurt(jpaccent* s, toxspurt* spurt) {
    voidparray* tokens = QLTP_toxspurt_tokens(spurt);
    std::vector<toxtoken*> all;
    for (int i = 0, n = QLTP_voidparray_sz(tokens); i < n; ++i)
        all.push_back(static_cast<toxtoken*>(QLTP_voidparray_idx(tokens, i)));
    if (s->language == "sv" || s->language == "no") {
        if (s->language == "sv") swedish_stress(all);
        merge_compounds(s, all);
        return;
    }
    if (!s->compound || !s->accent || !s->numbers) return;
    Spurt sp;
    for (toxtoken* t : all)
        if (is_real(t)) sp.tokens.push_back(t);
    const int n = static_cast<int>(sp.tokens.size());
    sp.next_real.assign(static_cast<size_t>(n), -1);
    for (int i = 0; i + 1 < n; ++i) sp.next_real[static_cast<size_t>(i)] = i + 1;
    apply_set(s, s->compound, Set::Compound, sp);
    apply_set(s, s->accent, Set::Accent, sp);
    apply_set(s, s->numbers, Set::Numbers, sp);
    write_accents(s, sp);
}

int evaluate(const jpaccent* s, const Window& w, std::string_view expr) {
    enum class Op { Select, Add, Nothing, AddType, AddMora };
    const toxtoken* current = w.spurt->tokens[static_cast<size_t>(w.index)];
    // Select, the operation before the first operator, always gives 0.
    int64_t acc = 0;
    int pending = 0;
    Op op = Op::Select;
    auto apply = [&](int64_t v) {
        if (op == Op::Select) acc = 0;
        else if (op != Op::Nothing) acc += v;
    };
    auto apply_number = [&] {
        apply(pending);
        pending = 0;
    };
    auto apply_token = [&](const toxtoken* t) { apply(op == Op::AddMora ? mora_of(t) : std::max(atype_of(t, 0), 0)); };
    for (size_t i = 0; i < expr.size(); ++i) {
        const char c = expr[i];
        if (c >= '0' && c <= '9') {
            pending = std::min(pending * 10 + (c - '0'), 100000000);
            continue;
        }
        switch (c) {
            case '+': apply_number(); op = Op::Add; break;
            case '-': apply_number(); op = Op::Nothing; break;
            case '(': case '}': op = Op::Add; break;
            case ')': apply_number(); break;
            case '{': op = Op::AddType; break;
            case 'M': {
                op = Op::AddMora;
                const char next = i + 1 < expr.size() ? expr[i + 1] : '\0';
                if (next != 'C' && next != 'P' && next != 'T') {
                    // The morae of the phrase's tokens before this one.
                    int k = w.index;
                    while (k > 0 && feature(w.spurt->tokens[static_cast<size_t>(k)], QLTP_FEAT_WORD_CONTINUES)) {
                        --k;
                        acc += mora_of(w.spurt->tokens[static_cast<size_t>(k)]);
                    }
                    op = Op::Add;
                }
                break;
            }
            case 'C': apply_token(current); break;
            case 'P': apply_token(w.prev); break;
            case 'T': apply_token(phrase_first(*w.spurt, w.index)); break;
            case 'A': {
                int number = 0;
                const char* pos = w.prev ? QLTP_toxtoken_getpos(w.prev) : "^";
                QLTP_accentjp_get_aconrule(QLTP_toxtoken_tagval(current, "jtag", "acon"), pos, nullptr, &number);
                acc += number;
                break;
            }
            default:
                report(s, QLTP_MESSAGE_ERROR, "Unknown character in rule replacement.\n", std::string(expr).c_str());
        }
    }
    return static_cast<int>(std::clamp<int64_t>(acc, INT32_MIN, INT32_MAX));
}

const int registered = QLTP_tpobj_register(
    "TPOBJ_JPACCENT", {.load = QLTP_tpobj_jpaccent_load, .pstload = QLTP_tpobj_jpaccent_pstload,
                       .del = QLTP_tpobj_jpaccent_delete, .write = QLTP_tpobj_jpaccent_write});

}  // namespace

void* QLTP_tpobj_jpaccent_load(tpdb* db, int32_t offset) {
    return QLTP_tpdb_read_strmap(db, offset, "TPOBJ_JPACCENT");
}

int QLTP_tpobj_jpaccent_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_jpaccent_delete(void* object) { QLTP_tpobj_strmap_delete(object); }

int32_t QLTP_tpobj_jpaccent_write(void* object, char* destination, int swap) {
    return QLTP_tpobj_strmap_write(object, destination, swap);
}

jpaccent* QLTP_jpaccent_new(channel* ch) {
    auto* s = new (std::nothrow) jpaccent{};
    if (!s) return nullptr;
    s->name = "jpaccenting";
    s->ch = ch;
    s->work = QLTP_dystr_newcustom(nullptr, 0, 128, 128);
    s->merged = QLTP_dystr_newcustom(nullptr, 0, 128, 128);
    s->input = QLTP_voidparray_newcustom(128, 32, 128);
    s->output = QLTP_voidparray_newcustom(128, 32, 128);
    if (!s->work || !s->merged || !s->input || !s->output) {
        QLTP_jpaccent_delete(s);
        return nullptr;
    }
    if (ch && QLTP_logger_modulelogging(ch->log)) s->trace = QLTP_dystr_newcustom(nullptr, 0, 65536, 65536);
    QLTP_jpaccent_reset(s, ch);
    QLTP_jpaccent_reset_tpdb(s, ch);
    return s;
}

void QLTP_jpaccent_reset(jpaccent* stage, channel*) {
    if (!stage) return;
    stage->state = 1;
    if (stage->trace) QLTP_dystr_clear(stage->trace);
    QLTP_voidparray_clear(stage->input);
}

void QLTP_jpaccent_reset_tpdb(jpaccent* stage, channel* ch) {
    if (!stage) return;
    tpdb* db = ch ? ch->db : nullptr;
    auto header = [db](const char* key) {
        const char* v = db ? QLTP_tpdb_header_val(db, key, -1) : nullptr;
        return std::string(v ? v : "");
    };
    stage->language = header("LANGUAGE");
    stage->region = header("REGION");
    auto rules = [db](const char* name) {
        return db ? static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, name)) : nullptr;
    };
    stage->compound = rules("TPOBJ_JPACCENT:COMPOUND");
    stage->accent = rules("TPOBJ_JPACCENT:ACCENT");
    stage->numbers = rules("TPOBJ_JPACCENT:NUMBERS");
}

void QLTP_jpaccent_delete(jpaccent* stage) {
    if (!stage) return;
    QLTP_dystr_delete(stage->work);
    QLTP_dystr_delete(stage->merged);
    QLTP_voidparray_delete(stage->input);
    QLTP_voidparray_delete(stage->output);
    QLTP_dystr_delete(stage->trace);
    delete stage;
}

voidparray* QLTP_jpaccent_process(jpaccent* stage, voidparray* spurts, int final) {
    if (!stage) return nullptr;
    QLTP_toxspstream_each(spurts, stage->output, [&](toxspurt* spurt) { process_spurt(stage, spurt); });
    if (stage->ch) QLTP_tpc_log_spurts(stage->ch, "jpaccenting", stage->state, stage->output, stage->trace);
    stage->state = final;
    return stage->output;
}
