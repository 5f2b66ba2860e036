#include "linguistics/syllabify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/voidparray.h"
#include "linguistics/phonearray.h"
#include "linguistics/slang.h"
#include "textproc/channel.h"

namespace {

constexpr int kDictHint = 64;

int phone_count(std::string_view key) { return static_cast<int>(std::count(key.begin(), key.end(), '_')) + 1; }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

bool add_key(dict* d, std::string_view key) {
    return QLTP_dict_add_entry(d, key.data(), static_cast<int>(key.size())) != 0;
}

bool has(const dict* d, const std::string& key) {
    return QLTP_dict_lookup_word(d, key.data(), static_cast<int>(key.size())) != 0;
}

// Builds the key of phones [from, to) into `key`. The syllable-end and
// word-end flags of the phones before `flag_end` decide the "_SB" or "_WB"
// suffix.
const std::string& build_key(const phonearray* a, int from, int to, int flag_end, bool with_stress,
                             std::string& key) {
    key.clear();
    bool syllable_end = false, word_end = false;
    for (int j = from; j < to; ++j) {
        const phone_slot* p = QLTP_phonearray_idx(a, j);
        if (j > from) key += '_';
        key += p->long_name ? QLTP_phonearray_symbol(a, p) : p->symbol;
        if (with_stress && p->stress) key += static_cast<char>(p->stress);
        if (j < flag_end) {
            syllable_end |= p->syllable_end != 0;
            word_end |= p->word_end != 0;
        }
    }
    if (syllable_end) key += "_SB";
    else if (word_end) key += "_WB";
    return key;
}

// Length of the nucleus starting at i, or 0. A window reaching past the
// array holds only the phones present, and then its last position (which is
// absent) excludes no phone from the boundary flags: every such window gives
// the same key, tried once.
int find_nucleus(const maxonset* d, std::string& key, const phonearray* a, int i, int n) {
    const int present = n - i;
    const bool stress = d->stress != 0;
    if (d->max_nucleus > present && has(d->nuclei, build_key(a, i, n, n, stress, key))) return present;
    for (int k = std::min(d->max_nucleus, present); k >= 1; --k)
        if (has(d->nuclei, build_key(a, i, i + k, i + k - 1, stress, key))) return k;
    return 0;
}

// Length of the onset ending before i, or 0. All flags of the window count,
// so windows reaching before the array repeat the one that starts at 0.
int find_onset(const maxonset* d, std::string& key, const phonearray* a, int i) {
    for (int k = std::min(d->max_onset, i); k >= 1; --k)
        if (has(d->onsets, build_key(a, i - k, i, i, false, key))) return k;
    return 0;
}

maxonset* read_maxonset(FILE* file, int swap) {
    int32_t head[3];
    if (!file || QLTP_int_read(file, head, 3, swap) != 3) return nullptr;
    maxonset* m = QLTP_maxonset_new();
    if (!m) return nullptr;
    QLTP_dict_delete(m->onsets);
    QLTP_dict_delete(m->nuclei);
    m->onsets = m->nuclei = nullptr;
    m->stress = head[0];
    m->max_onset = head[1];
    m->max_nucleus = head[2];
    if (!QLTP_dict_read(file, &m->onsets, swap) || !QLTP_dict_read(file, &m->nuclei, swap)) {
        QLTP_maxonset_delete(m);
        return nullptr;
    }
    return m;
}

void* read_object(FILE* file, int swap) { return read_maxonset(file, swap); }

const int registered = QLTP_tpobj_register(
    "TPOBJ_SYLMAX", {.load = QLTP_tpobj_sylmax_load, .pstload = QLTP_tpobj_sylmax_pstload,
                     .del = QLTP_tpobj_sylmax_delete, .write = QLTP_tpobj_sylmax_write});

}  // namespace

maxonset* QLTP_maxonset_new() {
    auto* m = static_cast<maxonset*>(QLTP_calloc(sizeof(maxonset), 1));
    if (!m) return nullptr;
    m->onsets = QLTP_dict_new_empty(kDictHint);
    m->nuclei = QLTP_dict_new_empty(kDictHint);
    if (!m->onsets || !m->nuclei) {
        QLTP_maxonset_delete(m);
        return nullptr;
    }
    return m;
}

void QLTP_maxonset_delete(maxonset* data) {
    if (!data) return;
    QLTP_dict_delete(data->onsets);
    QLTP_dict_delete(data->nuclei);
    QLTP_free(data);
}

maxonset* QLTP_deserialise_maxonset(const char* text) {
    maxonset* m = QLTP_maxonset_new();
    if (!m || !text) return m;
    bool first_nucleus = true;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t eol = rest.find('\n');
        std::string_view line = trim(rest.substr(0, eol));
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.size() >= 2 && line.substr(0, 2) == "N_") {
            std::string_view key = line.substr(2);
            if (key.empty()) continue;
            const int32_t stressed = (key.back() >= '0' && key.back() <= '9') ? 1 : 0;
            if (first_nucleus) m->stress = stressed;
            else if (stressed != m->stress) std::printf("ERROR: Variation in nuclei stress marking\n");
            first_nucleus = false;
            add_key(m->nuclei, key);
            m->max_nucleus = std::max(m->max_nucleus, phone_count(key));
        } else {
            add_key(m->onsets, line);
            m->max_onset = std::max(m->max_onset, phone_count(line));
        }
    }
    return m;
}

maxonset* QLTP_maxonset_readtxt(const char* path) {
    std::string text;
    // The reader reports a file it cannot open.
    if (!QLTP_read_text_file(path, text)) return nullptr;
    return QLTP_deserialise_maxonset(text.c_str());
}

maxonset* QLTP_maxonset_load(FILE* file, int swap) { return read_maxonset(file, swap); }

maxonset* QLTPPy_maxonset_load(const char* path) { return QLTP_read_path(path, read_maxonset); }

int QLTPPy_maxonset_write(const maxonset* data, QLTP_fixedbuf* destination) {
    auto* object = const_cast<maxonset*>(data);
    const int32_t size = QLTP_tpobj_sylmax_write(object, nullptr, 0);
    if (!destination) return size;
    if (size <= 0) return 0;
    if (!destination->data) {
        destination->size = static_cast<uint32_t>(size);
        return 1;
    }
    if (destination->size < static_cast<uint32_t>(size)) return 0;
    return QLTP_tpobj_sylmax_write(object, destination->data, 0);
}

void* QLTP_tpobj_sylmax_load(tpdb* db, int32_t offset) {
    return QLTP_tpdb_read_object(db, offset, "TPOBJ_SYLMAX", read_object, QLTP_tpobj_sylmax_delete);
}

int QLTP_tpobj_sylmax_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_sylmax_delete(void* object) { QLTP_maxonset_delete(static_cast<maxonset*>(object)); }

int32_t QLTP_tpobj_sylmax_write(void* object, char* destination, int swap) {
    auto* m = static_cast<const maxonset*>(object);
    if (!m) return 0;
    const int onsets = QLTP_dict_write_sz(m->onsets);
    const int nuclei = QLTP_dict_write_sz(m->nuclei);
    // A key over 254 bytes has no stored form.
    if (onsets <= 0 || nuclei <= 0) return 0;
    const int64_t size = 12 + static_cast<int64_t>(onsets) + nuclei;
    if (size > INT32_MAX) return 0;
    if (!destination) return static_cast<int32_t>(size);
    const int32_t head[3] = {m->stress, m->max_onset, m->max_nucleus};
    char* p = QLTP_int_write(head, destination, 3, swap);
    p = QLTP_dict_write(m->onsets, p, swap);
    p = p ? QLTP_dict_write(m->nuclei, p, swap) : nullptr;
    return p ? 1 : 0;
}

int QLTP_maxonset_syllabify(const maxonset* data, dystr* scratch, phonearray* phones) {
    if (!data || !phones) return 0;
    const int n = QLTP_phonearray_sz(phones);
    if (n == 0) return 1;
    // Keys are built in a plain string: appending to the dynamic string
    // phone by phone cost a third of the time. The last key tried is left in
    // the scratch string.
    std::string key;
    key.reserve(64);
    auto at = [phones](int j) { return QLTP_phonearray_idx(phones, j); };
    for (int i = 0; i < n;) {
        const int m = data->nuclei && data->max_nucleus >= 1 ? find_nucleus(data, key, phones, i, n) : 0;
        if (m == 0) {
            ++i;
            continue;
        }
        for (int j = i; j < i + m; ++j) at(j)->role = 1;
        const int c = data->onsets && data->max_onset >= 1 ? find_onset(data, key, phones, i) : 0;
        if (c > 0) {
            for (int j = i - c; j < i; ++j)
                if (at(j)->role == 0) at(j)->role = 2;
            if (i - c > 0) at(i - c - 1)->syllable_end = 1;
        } else if (i > 0) {
            at(i - 1)->syllable_end = 1;
        }
        i += m;
    }
    at(n - 1)->syllable_end = 1;

    // Consonants that open a word before its first nucleus are onset phones.
    phone_slot* first = at(0);
    if (first->role == 0 && !first->word_end) {
        first->role = 2;
        if (n > 1) first->syllable_end = 0;
    }
    // A first word of one nucleus ("a") puts the next word's first nucleus ahead.
    bool ahead = first->role != 1 || first->word_end;
    for (int j = 1; j < n; ++j) {
        phone_slot* p = at(j);
        const bool nucleus = p->role == 1;
        if (ahead && !nucleus) {
            if (p->role == 0) p->role = 2;
            if (at(j - 1)->word_end) at(j - 1)->syllable_end = 1;
            if (j != n - 1 && !p->word_end) p->syllable_end = 0;
        }
        ahead = p->word_end || (ahead && !nucleus);
    }
    for (int j = 1; j < n; ++j)
        if (at(j)->role != at(j - 1)->role) at(j - 1)->role_change = 1;
    if (scratch) QLTP_dystr_replace(scratch, key.data(), static_cast<int>(key.size()));
    return 1;
}

// ---------------------------------------------------------------------------
// The stage

namespace {

bool has_phones(const char* phonemes) {
    for (const char* p = phonemes; p && *p; ++p)
        if (*p != ' ' && *p != '_') return true;
    return false;
}

bool has_norm(const toxtoken* t) {
    const char* norm = QLTP_toxtoken_getnorm(t);
    return norm && *norm;
}

// Where each token's phones lie in the spurt's phone array.
struct PronSlots {
    int start;
    int count;
};

void syllabify_spurt(syllabify* s, toxspurt* spurt, std::vector<PronSlots>& slots) {
    voidparray* tokens = QLTP_toxspurt_tokens(spurt);
    const int nt = QLTP_voidparray_sz(tokens);
    QLTP_phonearray_clear(s->phones);
    slots.assign(static_cast<size_t>(nt), PronSlots{0, 0});
    for (int i = 0; i < nt; ++i) {
        auto* t = static_cast<toxtoken*>(QLTP_voidparray_idx(tokens, i));
        toxtag* lex = QLTP_toxtoken_gettag(t, "lex");
        if (!lex || !has_norm(t)) continue;
        const char* phonemes = QLTP_toxtag_val(lex, "phonemes");
        const int before = QLTP_phonearray_sz(s->phones);
        if (phonemes) QLTP_phone_add_pron(s->phones, phonemes);
        slots[static_cast<size_t>(i)] = {before, QLTP_phonearray_sz(s->phones) - before};
    }
    QLTP_maxonset_syllabify(s->data, s->spare, s->phones);

    spurt->words = spurt->syls = 0;
    for (int i = 0; i < nt; ++i) {
        auto* t = static_cast<toxtoken*>(QLTP_voidparray_idx(tokens, i));
        toxtag* lex = QLTP_toxtoken_gettag(t, "lex");
        if (!lex) continue;
        const PronSlots& own = slots[static_cast<size_t>(i)];
        if (has_norm(t) && own.count > 0 && has_phones(QLTP_toxtag_val(lex, "phonemes"))) {
            QLTP_phone_get_pron(s->phones, own.start, s->spron);
            QLTP_toxtag_set_attrib(lex, "spron", -1, QLTP_dystr_cstr(s->spron), -1);
            QLTP_slang(s->accent, s->slang, t);
        }
        if (!QLTP_toxtoken_issilent(t)) {
            ++spurt->words;
            spurt->syls += QLTP_toxtoken_nsyl(t);
        }
    }
}

// A run longer than the input is cut at its end.
void utterance_totals(voidparray* spurts) {
    const int n = QLTP_voidparray_sz(spurts);
    auto at = [spurts](int i) { return static_cast<toxspurt*>(QLTP_voidparray_idx(spurts, i)); };
    for (int i = 0; i < n;) {
        const int phrases = at(i)->phrases;
        if (phrases <= 0) break;
        const int end = phrases > n - i ? n : i + phrases;
        int words = 0, syls = 0;
        for (int j = i; j < end; ++j) {
            words += at(j)->words;
            syls += at(j)->syls;
        }
        for (int j = i; j < end; ++j) {
            at(j)->utt_words = words;
            at(j)->utt_syls = syls;
            if (j + 1 < end) {
                at(j + 1)->pre_syls = at(j)->syls;
                at(j + 1)->pre_words = at(j)->words;
                at(j)->pst_syls = at(j + 1)->syls;
                at(j)->pst_words = at(j + 1)->words;
            }
        }
        i = end;
    }
}

}  // namespace

syllabify* QLTP_syllabify_new(channel* ch) {
    auto* s = new (std::nothrow) syllabify{};
    if (!s) return nullptr;
    s->name = "syllabify";
    s->ch = ch;
    s->state = 1;
    s->spare = QLTP_dystr_newcustom(nullptr, 0, 128, 128);
    s->spron = QLTP_dystr_newcustom(nullptr, 0, 128, 128);
    s->input = QLTP_voidparray_new();
    s->output = QLTP_voidparray_newcustom(128, 32, 128);
    s->phones = QLTP_phonearray_new();
    if (!s->spare || !s->spron || !s->input || !s->output || !s->phones) {
        QLTP_syllabify_delete(s);
        return nullptr;
    }
    const char* slang = ch ? QLTP_configsettings_lookup(ch->settings, "syllabify", -1, "slang", -1) : nullptr;
    s->slang = slang ? slang : "";
    if (ch && QLTP_logger_modulelogging(ch->log)) s->trace = QLTP_dystr_newcustom(nullptr, 0, 65536, 65536);
    QLTP_syllabify_reset_tpdb(s, ch);
    return s;
}

void QLTP_syllabify_reset(syllabify* stage) {
    if (!stage) return;
    stage->state = 1;
    if (stage->trace) QLTP_dystr_clear(stage->trace);
    QLTP_voidparray_clear(stage->input);
}

void QLTP_syllabify_reset_tpdb(syllabify* stage, channel* ch) {
    if (!stage) return;
    tpdb* db = ch ? ch->db : nullptr;
    const char* accent = db ? QLTP_tpdb_header_val(db, "ACCENT", -1) : nullptr;
    stage->accent = accent ? accent : "";
    stage->data = db ? static_cast<const maxonset*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_SYLMAX:DEFAULT")) : nullptr;
}

void QLTP_syllabify_delete(syllabify* stage) {
    if (!stage) return;
    QLTP_dystr_delete(stage->spare);
    QLTP_dystr_delete(stage->spron);
    QLTP_voidparray_delete(stage->input);
    QLTP_voidparray_delete(stage->output);
    QLTP_phonearray_delete(stage->phones);
    QLTP_dystr_delete(stage->trace);
    delete stage;
}

voidparray* QLTP_syllabify_process(syllabify* stage, voidparray* spurts, int final) {
    if (!stage) return nullptr;
    std::vector<PronSlots> slots;
    QLTP_toxspstream_each(spurts, stage->output, [&](toxspurt* spurt) { syllabify_spurt(stage, spurt, slots); });
    utterance_totals(stage->output);
    if (stage->ch) QLTP_tpc_log_spurts(stage->ch, "syllabify", stage->state, stage->output, stage->trace);
    stage->state = final;
    return stage->output;
}
