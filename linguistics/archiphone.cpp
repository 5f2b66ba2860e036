#include "linguistics/archiphone.h"

#include <algorithm>
#include <cstdint>
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
#include "textproc/channel.h"

namespace {

constexpr size_t kMaxKey = 256;
constexpr size_t kMaxSequence = 18;
constexpr size_t kNoMatch = std::string::npos;

bool upper(char c) { return c >= 'A' && c <= 'Z'; }
bool digit(char c) { return c >= '0' && c <= '9'; }
// Phones of a "phonemes" value are separated by blanks or '.'.
bool separator(char c) { return c == ' ' || c == '.'; }
// Where a phone sequence of a pattern may begin or end.
bool boundary(char c) { return c == ' ' || c == '.' || c == '_' || c == '+'; }

// Bits: 1 word-initial archiphone, 2 word-final archiphone.
int archiphone_flags(std::string_view p) {
    if (p.empty()) return 0;
    return (upper(p.front()) ? 1 : 0) | (upper(p.back()) ? 2 : 0);
}

struct Span {
    size_t begin = 0, end = 0;
};

Span first_phone(std::string_view p) {
    size_t b = 0;
    while (b < p.size() && separator(p[b])) ++b;
    size_t e = b;
    while (e < p.size() && !separator(p[e])) ++e;
    return {b, e};
}

Span last_phone(std::string_view p) {
    size_t e = p.size();
    while (e > 0 && separator(p[e - 1])) --e;
    size_t b = e;
    while (b > 0 && !separator(p[b - 1])) --b;
    return {b, e};
}

// A phone as keys name it: its first three bytes without a stress digit.
std::string_view key_phone(std::string_view p, Span s) {
    std::string_view phone = p.substr(s.begin, std::min<size_t>(s.end - s.begin, 3));
    if (!phone.empty() && digit(phone.back())) phone.remove_suffix(1);
    return phone;
}

// Replaces the phones [begin, end) of p by the rule value (phones joined by
// '_'); "0" or no value deletes them with the separators that join them to
// the rest.
void _replace_phone(std::string& p, size_t begin, size_t end, const char* value) {
    if (value && std::strcmp(value, "0") != 0 && *value) {
        std::string v(value);
        for (char& c : v)
            if (c == '_') c = ' ';
        p.replace(begin, end - begin, v);
        return;
    }
    if (end < p.size() && separator(p[end])) {
        while (end < p.size() && separator(p[end])) ++end;
        if (begin > 0) {
            // Inside the word: keep one separator.
            while (begin > 0 && separator(p[begin - 1])) --begin;
            p.replace(begin, end - begin, " ");
            return;
        }
    } else {
        while (begin > 0 && separator(p[begin - 1])) --begin;
    }
    p.erase(begin, end - begin);
}

struct Values {
    std::string_view norm, pos, phonemes;
};

const Values kStart{"^", "^", ""};
const Values kEnd{"$", "$", ""};

void add_side(std::string& key, std::string_view phone, const Values& v, int mask) {
    if (mask & 1) key += phone;
    if (mask & 4) key.append("(").append(v.norm).append(")");
    if (mask & 2) key.append("[").append(v.pos).append("]");
}

// The value of the best lookup key: the most specific form (highest mask
// sum; the first found among equals). Word-final keys hold this word's side
// before '+', word-initial ones after '-'.
const char* best_rule(const hashstrarray* rules, bool final, std::string_view arch, const Values& self,
                      std::string_view other_phone, const Values& other) {
    const size_t longest = self.norm.size() + self.pos.size() + other.norm.size() + other.pos.size() +
                           other_phone.size() + arch.size() + 9;
    const int top = longest <= kMaxKey ? 7 : 1;
    const char* best = nullptr;
    int best_sum = -1;
    std::string key;
    for (int l = top; l >= 0; --l)
        for (int r = top; r >= 0; --r) {
            key.clear();
            if (final) {
                add_side(key, arch, self, l);
                key += '+';
                add_side(key, other_phone, other, r);
            } else {
                add_side(key, other_phone, other, r);
                key += '-';
                add_side(key, arch, self, l);
            }
            const char* v = QLTP_hashstrarray_lookup(rules, key.data(), static_cast<int>(key.size()));
            if (v && l + r > best_sum) {
                best = v;
                best_sum = l + r;
            }
        }
    return best;
}

// ---------------------------------------------------------------------------
// Key patterns

// Matches a rule's phone sequence against phonemes. match(pi, si), the end
// of the first match of the sequence from si on at phoneme byte pi ('?'
// runs shortest first), depends on nothing else. A run of boundaries in the
// sequence is stepped over as one, so match(., si) reads only match(., si)
// at later phoneme bytes and match(., si + 1): a sequence with '?' fills its
// rows from the last to the first keeping two of them, and a search costs
// phonemes x sequence steps and two rows of memory however many '?' there
// are.
class PhoneMatcher {
 public:
    PhoneMatcher(std::string_view phonemes, std::string_view sequence)
        : ph_(phonemes), step_digits_(sequence.find_first_of("0123456789") == std::string_view::npos) {
        for (size_t i = 0; i < sequence.size(); ++i)
            if (!boundary(sequence[i]) || i == 0 || !boundary(sequence[i - 1])) seq_ += sequence[i];
        const auto size = static_cast<Pos>(ph_.size());
        after_digits_.resize(ph_.size() + 1);
        after_boundaries_.resize(ph_.size() + 1);
        after_digits_[size] = after_boundaries_[size] = size;
        for (Pos i = size; i-- > 0;) {
            after_digits_[i] = step_digits_ && digit(ph_[i]) ? after_digits_[i + 1] : i;
            after_boundaries_[i] = boundary(ph_[i]) ? after_boundaries_[i + 1] : i;
        }
        if (seq_.find('?') != std::string::npos) fill_first_row();
    }

    // The first match from the start (forward) or the end; false when none.
    bool find(bool forward, Span& out) const {
        const size_t n = ph_.size();
        for (size_t k = 0; k < n; ++k) {
            const size_t b = forward ? k : n - 1 - k;
            if (boundary(ph_[b]) || (b > 0 && !boundary(ph_[b - 1]))) continue;
            const Pos e = match(static_cast<Pos>(b), 0);
            if (e != kNone) {
                out = {b, e};
                return true;
            }
        }
        return false;
    }

 private:
    // Phoneme positions; a token's phonemes stay far below 4 GB.
    using Pos = uint32_t;
    static constexpr Pos kNone = UINT32_MAX;

    Pos match(Pos pi, size_t si) const {
        if (!first_row_.empty()) return first_row_[pi];
        return step(pi, si, [this](Pos p, size_t s) { return match(p, s); });
    }

    // Rows of later sequence positions come first, and within a row later
    // phoneme positions: every step reads only entries already made.
    void fill_first_row() {
        const size_t width = ph_.size() + 1;
        std::vector<Pos> row(width, kNone), later(width, kNone);
        for (size_t si = seq_.size() + 1; si-- > 0;) {
            auto at = [&](Pos p, size_t s) { return s == si ? row[p] : later[p]; };
            for (size_t pi = width; pi-- > 0;) row[pi] = step(static_cast<Pos>(pi), si, at);
            std::swap(row, later);
        }
        first_row_ = std::move(later);
    }

    // One step of the match at (pi, si); next(p, s) gives the match from a
    // later position.
    template <typename Next>
    Pos step(Pos pi, size_t si, const Next& next) const {
        const auto size = static_cast<Pos>(ph_.size());
        if (si == seq_.size()) {
            pi = after_digits_[pi];
            return pi == size || boundary(ph_[pi]) ? pi : kNone;
        }
        const char c = seq_[si];
        if (c == '?') {
            // A run of at least one phone character, shortest first: this
            // character ends the run, or the run goes on.
            if (pi >= size || boundary(ph_[pi])) return kNone;
            const Pos e = next(pi + 1, si + 1);
            return e != kNone ? e : next(pi + 1, si);
        }
        if (boundary(c)) {
            pi = after_digits_[pi];
            if (pi >= size || !boundary(ph_[pi])) return kNone;
            return next(after_boundaries_[pi], si + 1);
        }
        if (pi > 0 && !digit(c)) pi = after_digits_[pi];
        if (pi >= size || ph_[pi] != c) return kNone;
        return next(pi + 1, si + 1);
    }

    std::string_view ph_;
    std::string seq_;  // the rule's sequence, each run of boundaries one byte
    bool step_digits_;
    std::vector<Pos> after_digits_;      // first position from i that is no stress digit
    std::vector<Pos> after_boundaries_;  // first position from i that is no boundary
    std::vector<Pos> first_row_;         // match(pi, 0), only for sequences with '?'
};

bool alternative_matches(std::string_view alt, std::string_view value, const std::vector<std::string>& seen) {
    if (alt == "*") return value != "^" && value != "$";
    if (alt.size() == 2 && alt[0] == '\\' && alt[1] >= '1' && alt[1] <= '9') {
        const size_t n = static_cast<size_t>(alt[1] - '0');
        return n <= seen.size() && value == seen[n - 1];
    }
    if (alt.size() > 1 && alt.front() == '*') return value.size() >= alt.size() - 1 && value.substr(value.size() - (alt.size() - 1)) == alt.substr(1);
    if (alt.size() > 1 && alt.back() == '*') return value.substr(0, alt.size() - 1) == alt.substr(0, alt.size() - 1);
    return alt == value;
}

bool alternatives_match(std::string_view text, std::string_view value, const std::vector<std::string>& seen) {
    if (text.find('_') == std::string_view::npos) value = value.substr(0, value.find('_'));
    for (size_t at = 0;;) {
        const size_t bar = text.find('|', at);
        if (alternative_matches(text.substr(at, bar == std::string_view::npos ? text.npos : bar - at), value, seen))
            return true;
        if (bar == std::string_view::npos) return false;
        at = bar + 1;
    }
}

bool is_real(const toxtoken* t) {
    const char* norm = QLTP_toxtoken_getnorm(t);
    return norm && *norm && QLTP_toxtoken_gettag(t, "lex");
}

// The token being resolved and its neighbours.
struct Context {
    archiphone* stage;
    voidparray* tokens;
    int index;       // the token's index in the spurt
    int next_index;  // the next token's, or -1 when the next side is "$"
    Values self;
    Values next;
};

Values token_values(const toxtoken* t) {
    const char* pos = QLTP_toxtoken_getpos(t);
    const char* ph = QLTP_toxtoken_tagval(t, "lex", "phonemes");
    return {QLTP_toxtoken_getnorm(t), pos ? pos : "", ph ? ph : ""};
}

Values values_at(const Context& c, int position) {
    const archiphone* s = c.stage;
    if (position == 0) return {c.self.norm, c.self.pos, s->result};
    if (position == -1) return {s->prev_norm, s->prev_pos, s->prev_phonemes};
    if (position == 1) return c.next;
    const int n = QLTP_voidparray_sz(c.tokens);
    auto at = [&c](int k) { return static_cast<const toxtoken*>(QLTP_voidparray_idx(c.tokens, k)); };
    if (position > 1) {
        if (c.next_index < 0) return kEnd;
        int k = c.next_index;
        for (int steps = position - 1; steps > 0;) {
            if (++k >= n) return kEnd;
            if (is_real(at(k))) --steps;
        }
        return token_values(at(k));
    }
    if (s->prev_norm == "^") return kStart;
    int k = c.index;
    for (int steps = -position; steps > 0;) {
        if (--k < 0) return kStart;
        if (is_real(at(k))) --steps;
    }
    return token_values(at(k));
}

void report(const archiphone* s, const char* message, const std::string& detail) {
    if (s->ch) QLTP_logger_set_error(s->ch->log, QLTP_MESSAGE_WARN, message, detail.c_str());
}

// Tries one key as a pattern; when it holds and matched phones of this token,
// they are replaced by the value in stage->result and true is given.
bool apply_pattern(const Context& c, std::string_view key, const char* value) {
    int position = -_getwcor(key.data(), static_cast<int>(key.size()));
    bool negate = false;
    bool have_span = false;
    Span span;
    std::vector<std::string> seen;
    for (size_t i = 0; i < key.size(); ++i) {
        const char ch = key[i];
        if (ch == '+' || ch == '-') {
            ++position;
            continue;
        }
        if (ch == '^') {
            negate = true;
            continue;
        }
        if (ch != '(' && ch != '[' && ch != '|') continue;
        const char close = ch == '(' ? ')' : ch == '[' ? ']' : '|';
        const size_t end = key.find(close, i + 1);
        if (end == std::string_view::npos) {
            report(c.stage, "Illegal archiphoneme rule, ignored.\n", std::string(key));
            return false;
        }
        std::string_view text = key.substr(i + 1, end - i - 1);
        i = end;
        const Values v = values_at(c, position);
        bool holds;
        std::string remembered;
        if (ch == '|') {
            if (text.size() > kMaxSequence) {
                report(c.stage, "phonetic match too long in archiphone rule, truncated.\n", std::string(key));
                text = text.substr(0, kMaxSequence);
            }
            Span found;
            holds = PhoneMatcher(v.phonemes, text).find(position > 0, found);
            if (holds) {
                remembered.assign(v.phonemes.substr(found.begin, found.end - found.begin));
                if (position == 0 && !negate && !have_span) {
                    span = found;
                    have_span = true;
                }
            }
        } else {
            const std::string_view value = ch == '(' ? v.norm : v.pos;
            holds = alternatives_match(text, value, seen);
            remembered.assign(value);
        }
        if (holds == negate) return false;
        negate = false;
        if (seen.size() < 9) seen.push_back(std::move(remembered));
    }
    if (!have_span) return false;
    _replace_phone(c.stage->result, span.begin, span.end, value);
    return true;
}

// Whether the scan can do anything with a key: rewrite phones (it holds a
// phone sequence) or report it (a bracket is left open).
bool pattern_key(std::string_view key) {
    if (key.find('|') != std::string_view::npos) return true;
    for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] != '(' && key[i] != '[') continue;
        const size_t end = key.find(key[i] == '(' ? ')' : ']', i + 1);
        if (end == std::string_view::npos) return true;
        i = end;
    }
    return false;
}

// Runs every key as a pattern, in map order; gives whether anything changed.
// Keys that can neither rewrite nor be reported are left out beforehand.
bool scan_keys(const Context& c) {
    const hashstrarray* rules = c.stage->rules;
    const std::vector<int>& keys = c.stage->pattern_keys;
    const int nkeys = QLTP_hashstrarray_sz(rules);
    bool changed = false;
    int rescans = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
        const int k = keys[i];
        const char* key = QLTP_hashstrarray_key(rules, k);
        if (!key || !apply_pattern(c, key, QLTP_hashstrarray_entry(rules, k))) continue;
        changed = true;
        if (archiphone_flags(c.stage->result) == 0) continue;
        // The value brought an archiphone back: look at every key again.
        if (++rescans > nkeys) {
            report(c.stage, "archiphone rule loop", c.stage->result);
            break;
        }
        i = static_cast<size_t>(-1);
    }
    return changed;
}

// Resolves the token's phonemes into stage->result; false when unchanged.
bool resolve(Context& c) {
    archiphone* s = c.stage;
    if (!s->rules) return false;
    s->result.assign(c.self.phonemes);
    if (archiphone_flags(s->result) == 0 && !s->match_all_phones) return false;
    bool changed = scan_keys(c);
    const int flags = archiphone_flags(s->result);
    if (flags & 2) {
        const Span last = last_phone(s->result);
        const std::string arch(key_phone(s->result, last));
        const Values self{c.self.norm, c.self.pos, s->result};
        const char* v = best_rule(s->rules, true, arch, self, key_phone(c.next.phonemes, first_phone(c.next.phonemes)),
                                  c.next);
        _replace_phone(s->result, last.begin, last.end, v);
        changed = true;
    }
    if ((flags & 1) && !s->result.empty() && upper(s->result.front())) {
        const Span first = first_phone(s->result);
        const std::string arch(key_phone(s->result, first));
        const Values prev{s->prev_norm, s->prev_pos, s->prev_phonemes};
        const char* v = best_rule(s->rules, false, arch, c.self,
                                  key_phone(s->prev_phonemes, last_phone(s->prev_phonemes)), prev);
        _replace_phone(s->result, first.begin, first.end, v);
        changed = true;
    }
    return changed || s->match_all_phones;
}

const int registered = QLTP_tpobj_register(
    "TPOBJ_ARCHIS", {.load = QLTP_tpobj_archis_load, .pstload = QLTP_tpobj_archis_pstload,
                     .del = QLTP_tpobj_archis_delete, .write = QLTP_tpobj_archis_write});

void reset_previous(archiphone* s) {
    s->prev_pos = "^";
    s->prev_norm = "^";
    s->prev_phonemes.clear();
}

void process_spurt(archiphone* s, toxspurt* spurt) {
    voidparray* tokens = QLTP_toxspurt_tokens(spurt);
    for (int i = 0, n = QLTP_voidparray_sz(tokens); i < n; ++i) {
        auto* t = static_cast<toxtoken*>(QLTP_voidparray_idx(tokens, i));
        if (!is_real(t)) continue;
        const char* type = QLTP_toxtoken_tagval(t, "break", "type");
        const bool sentence_end = type && std::strcmp(type, "4") == 0;
        const int next_index = sentence_end ? -1 : QLTP_toxstream_next_realtkidx(tokens, i + 1);
        // Copies: the token's own strings change when its phonemes are set.
        const std::string norm = QLTP_toxtoken_getnorm(t);
        const char* pos = QLTP_toxtoken_getpos(t);
        const std::string pos_s = pos ? pos : "";
        const char* ph = QLTP_toxtoken_tagval(t, "lex", "phonemes");
        const std::string phonemes = ph ? ph : "";
        Context c{s, tokens, i, next_index, {norm, pos_s, phonemes},
                  next_index < 0 ? kEnd : token_values(static_cast<toxtoken*>(QLTP_voidparray_idx(tokens, next_index)))};
        const bool changed = resolve(c);
        if (changed) {
            toxtag* lex = QLTP_toxtoken_gettag(t, "lex");
            if (lex) QLTP_toxtag_set_attrib(lex, "phonemes", -1, s->result.c_str(), -1);
            else report(s, "No tags available archiphoneme not set", s->result);
        }
        if (next_index < 0) {
            reset_previous(s);
        } else {
            s->prev_pos = pos_s;
            s->prev_norm = norm;
            s->prev_phonemes = changed ? s->result : phonemes;
        }
    }
}

}  // namespace

int _getwcor(const char* key, int len) {
    if (!key) return 0;
    if (len < 0) len = static_cast<int>(std::strlen(key));
    int depth = 0, count = 0;
    for (int i = 0; i < len; ++i) {
        const char c = key[i];
        if (c == '(' || c == '[') ++depth;
        else if ((c == ')' || c == ']') && depth > 0) --depth;
        else if (c == '-' && depth == 0) ++count;
    }
    return count;
}

void* QLTP_tpobj_archis_load(tpdb* db, int32_t offset) {
    return QLTP_tpdb_read_strmap(db, offset, "TPOBJ_ARCHIS");
}

int QLTP_tpobj_archis_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_archis_delete(void* object) { QLTP_tpobj_strmap_delete(object); }

int32_t QLTP_tpobj_archis_write(void* object, char* destination, int swap) {
    return QLTP_tpobj_strmap_write(object, destination, swap);
}

archiphone* QLTP_archiphone_new(channel* ch) {
    auto* s = new (std::nothrow) archiphone{};
    if (!s) return nullptr;
    s->name = "archiphone";
    s->ch = ch;
    s->work1 = QLTP_dystr_newcustom(nullptr, 0, 128, 128);
    s->work2 = QLTP_dystr_newcustom(nullptr, 0, 128, 128);
    s->input = QLTP_voidparray_new();
    s->output = QLTP_voidparray_newcustom(128, 32, 128);
    if (!s->work1 || !s->work2 || !s->input || !s->output) {
        QLTP_archiphone_delete(s);
        return nullptr;
    }
    const char* all = ch ? QLTP_configsettings_lookup(ch->settings, "archiphone", -1, "match_all_phones", -1) : nullptr;
    s->match_all_phones = all && std::strcmp(all, "True") == 0;
    if (ch && QLTP_logger_modulelogging(ch->log)) s->trace = QLTP_dystr_newcustom(nullptr, 0, 65536, 65536);
    QLTP_archiphone_reset(s, ch);
    QLTP_archiphone_reset_tpdb(s, ch);
    return s;
}

void QLTP_archiphone_reset(archiphone* stage, channel*) {
    if (!stage) return;
    stage->state = 1;
    if (stage->trace) QLTP_dystr_clear(stage->trace);
    QLTP_voidparray_clear(stage->input);
    reset_previous(stage);
}

void QLTP_archiphone_reset_tpdb(archiphone* stage, channel* ch) {
    if (!stage) return;
    tpdb* db = ch ? ch->db : nullptr;
    stage->rules = db ? static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_ARCHIS:DEFAULT")) : nullptr;
    stage->pattern_keys.clear();
    try {
        for (int k = 0, n = QLTP_hashstrarray_sz(stage->rules); k < n; ++k) {
            const char* key = QLTP_hashstrarray_key(stage->rules, k);
            if (key && pattern_key(key)) stage->pattern_keys.push_back(k);
        }
    } catch (...) {
        // Out of memory: no key is tried as a pattern.
        stage->pattern_keys.clear();
    }
}

void QLTP_archiphone_delete(archiphone* stage) {
    if (!stage) return;
    QLTP_dystr_delete(stage->work1);
    QLTP_dystr_delete(stage->work2);
    QLTP_voidparray_delete(stage->input);
    QLTP_voidparray_delete(stage->output);
    QLTP_dystr_delete(stage->trace);
    delete stage;
}

voidparray* QLTP_archiphone_process(archiphone* stage, voidparray* spurts, int final) {
    if (!stage) return nullptr;
    QLTP_toxspstream_each(spurts, stage->output, [&](toxspurt* spurt) { process_spurt(stage, spurt); });
    if (stage->ch) QLTP_tpc_log_spurts(stage->ch, "archiphone", stage->state, stage->output, stage->trace);
    stage->state = final;
    return stage->output;
}
