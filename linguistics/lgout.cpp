#include "linguistics/lgout.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "foundation/strutil.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "linguistics/cbout.h"
#include "textproc/channel.h"

namespace {

struct Word {
    std::string norm;
    std::string spron;
    std::string pos;
};

// What writing needs of one spurt, copied when the spurt arrives.
struct Phrase {
    std::vector<Word> words;
    int syls = 0;
    std::string boundary;     // "break" "type" of the last token
    int start = -1;           // byte offset of the first token mark
    int end = -1;             // byte end of the last token mark
};

}  // namespace

struct lgout_sentence {
    std::vector<Phrase> phrases;
};

namespace {

logger* log_of(const lgout* st) { return QLTP_tpc_get_logger(st->ch); }
void warn(const lgout* st, const char* message, const std::string& detail = "") {
    QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, message, detail.c_str());
}

// Syllables: the '|' within the first max_phone_word phones, at least 1.
int syllables(const lgout* st, const std::string& spron) {
    std::vector<QLTP_spron_phone> phones(spron.size() + 1);
    int n = std::min(QLTP_spron_phones(spron.c_str(), phones.data(), static_cast<int>(phones.size())),
                     st->max_phone_word);
    int bars = 0;
    for (int i = 0; i < n; ++i) bars += phones[static_cast<size_t>(i)].separator == '|';
    return std::max(bars, 1);
}

Phrase copy_spurt(const lgout* st, const toxspurt* spurt) {
    Phrase p;
    int n = QLTP_voidparray_sz(spurt->tokens);
    auto token = [&](int i) { return QLTP_toxtoken_cast(QLTP_voidparray_idx(spurt->tokens, i)); };
    for (int i = 0; i < n; ++i) {
        const char* spron = QLTP_toxtoken_tagval(token(i), "lex", "spron");
        if (!spron || !*spron) continue;
        const char* norm = QLTP_toxtoken_getnorm(token(i));
        const char* pos = QLTP_toxtoken_getpos(token(i));
        p.words.push_back({norm ? norm : "", spron, pos ? pos : ""});
        p.syls += syllables(st, spron);
    }
    if (n > 0) {
        const char* type = QLTP_toxtoken_tagval(token(n - 1), "break", "type");
        p.boundary = type ? type : "";
    }
    int b, d;
    for (int i = 0; i < n && p.start < 0; ++i)
        if (QLTP_toxtoken_getcharpos(token(i), nullptr, &b, nullptr, nullptr)) p.start = b;
    for (int i = n - 1; i >= 0 && p.end < 0; --i)
        if (QLTP_toxtoken_getcharpos(token(i), nullptr, &b, nullptr, &d)) p.end = b + d;
    return p;
}

void line(lgout* st, const char* key, std::string_view value) {
    QLTP_dystr_append4(st->output, key, -1, " ", 1, value.data(), static_cast<int>(value.size()), "\n", 1);
}
void line(lgout* st, const char* key, long long value) { line(st, key, std::to_string(value)); }

bool accent_digit(char c) { return c >= '0' && c <= '2'; }

void write_word(lgout* st, const Word& w, int number, bool boundary, const std::string& break_type) {
    line(st, "WORD", number);
    std::string text = w.norm;
    if (text.size() > static_cast<size_t>(st->max_chars_word)) {
        size_t cut = static_cast<size_t>(st->max_chars_word);
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
        warn(st, "Word characters truncated in lgout", w.norm);
    }
    line(st, "pcText", text);

    std::vector<QLTP_spron_phone> phones(w.spron.size() + 1);
    int all = QLTP_spron_phones(w.spron.c_str(), phones.data(), static_cast<int>(phones.size()));
    phones.resize(static_cast<size_t>(all));
    int separators = 0;
    for (char c : w.spron) separators += c == '|' || c == '_' || c == '+';
    int count = separators;
    if (count > st->max_phone_word) {
        count = st->max_phone_word;
        warn(st, "Word phones truncated in lgout - phones lost", w.spron);
    }
    count = std::min(count, all);
    line(st, "nNumberOfPhones", count);

    std::string codes, types, accents;
    char letter = 'O';
    for (int i = 0; i < count; ++i) {
        const QLTP_spron_phone& ph = phones[static_cast<size_t>(i)];
        std::string bare;
        char accent = '0';
        for (int k = 0; k < ph.len; ++k) {
            if (accent_digit(ph.text[k])) {
                accent = ph.text[k];
                letter = 'N';
            } else {
                bare += ph.text[k];
            }
        }
        int code = QLTP_lgmap_code(st->phone_map, bare.c_str(), static_cast<int>(bare.size()));
        if (code < 0) {
            warn(st, "Word not mapped to LG set - phone lost", w.spron);
        } else {
            if (!codes.empty()) codes += ' ';
            codes += std::to_string(code);
        }
        types += letter;
        accents += accent;
        if (ph.separator == '|') letter = 'O';
        else if (ph.separator == '+') letter = 'C';
    }
    line(st, "pcPhonemeCode", codes);
    line(st, "cBoundary", boundary ? (break_type.empty() ? std::string("0") : break_type) : std::string("0"));

    std::vector<std::string> tags;
    for (std::string_view rest = w.pos; !rest.empty();) {
        size_t blank = rest.find(' ');
        if (blank != 0) tags.emplace_back(rest.substr(0, blank));
        rest.remove_prefix(blank == std::string_view::npos ? rest.size() : blank + 1);
    }
    size_t segments = tags.size();
    if (segments > static_cast<size_t>(st->max_pos_word)) {
        segments = static_cast<size_t>(st->max_pos_word);
        warn(st, "Word part of speech truncated in lgout - pos items lost", w.pos);
    }
    line(st, "nSegment", static_cast<long long>(segments));
    std::string pos;
    for (size_t i = 0; i < segments; ++i) {
        int code = QLTP_lgmap_code(st->pos_map, tags[i].c_str(), static_cast<int>(tags[i].size()));
        if (code < 0) {
            warn(st, "POS tag not mapped to LG set - tag lost", tags[i]);
            continue;
        }
        if (!pos.empty()) pos += ' ';
        pos += std::to_string(code);
    }
    line(st, "pos", pos);
    line(st, "ph_type", types);
    line(st, "pcAccent", accents);
    line(st, "nNumberOfSyllable", syllables(st, w.spron));
    int syl = 0, first = 0;
    for (int i = 0; i < all; ++i) {
        if (phones[static_cast<size_t>(i)].separator != '|') continue;
        line(st, "SYL", syl++);
        line(st, "phidx", first);
        line(st, "nNumberOfPhones", i + 1 - first);
        first = i + 1;
    }
}

// Writes the pending sentence; cut counts (>= 0) replace the phrases' own
// and limit the words listed.
void write_sentence(lgout* st, int cut_words = -1, int cut_syls = -1) {
    std::vector<Phrase>& pending = st->pending->phrases;
    if (pending.empty()) return;
    line(st, "SENTENCE", st->sentence++);
    long long words = 0, syls = 0;
    for (const Phrase& p : pending) {
        words += static_cast<long long>(p.words.size());
        syls += p.syls;
    }
    line(st, "nNumberOfWords", cut_words >= 0 ? cut_words : words);
    line(st, "nNumberOfSyllables", cut_syls >= 0 ? cut_syls : syls);
    line(st, "nNumberOfIps", static_cast<long long>(pending.size()));
    line(st, "nSentenceStartPos", pending.front().start);
    line(st, "nSentenceEndPos", pending.back().end);
    for (size_t i = 0; i < pending.size(); ++i) {
        const Phrase& p = pending[i];
        int listed = cut_words >= 0 ? std::min(cut_words, static_cast<int>(p.words.size()))
                                    : static_cast<int>(p.words.size());
        line(st, "PHRASE", static_cast<long long>(i));
        line(st, "num_words", listed);
        line(st, "num_syllables", cut_syls >= 0 ? cut_syls : p.syls);
        for (int k = 0; k < listed; ++k) write_word(st, p.words[static_cast<size_t>(k)], k, k + 1 == listed, p.boundary);
    }
    pending.clear();
    st->words = st->syls = st->phrases = 0;
}

// A limit given as decimal text, as atoi reads it ("abc" is 0); a negative
// limit is 0, since every limit counts or cuts something.
int setting(const channel* ch, const char* key, int fallback) {
    const char* v = ch ? QLTP_configsettings_lookup(ch->settings, "lgout", -1, key, -1) : nullptr;
    if (!v) return fallback;
    return std::max(QLTP_atoi(v, static_cast<int>(std::strlen(v))), 0);
}

void add(lgout* st, Phrase& p) {
    bool ends = p.boundary == "4";
    int words = static_cast<int>(p.words.size()), syls = p.syls;
    st->pending->phrases.push_back(std::move(p));
    if (ends) {
        write_sentence(st);
        return;
    }
    ++st->phrases;
    st->words += words;
    st->syls += syls;
}

}  // namespace

lgout* QLTP_lgout_new(channel* ch) {
    auto* st = static_cast<lgout*>(QLTP_calloc(sizeof(lgout), 1));
    if (!st) return nullptr;
    st->name = "lgout";
    st->ch = ch;
    st->state = 1;
    st->output = QLTP_dystr_newcustom("", 0, 16384, 16384);
    st->scratch = QLTP_dystr_newcustom("", 0, 128, 128);
    try {
        st->pending = new lgout_sentence;
    } catch (...) {
        st->pending = nullptr;
    }
    if (!st->output || !st->scratch || !st->pending) {
        QLTP_lgout_delete(st);
        return nullptr;
    }
    tpdb* db = ch ? ch->db : nullptr;
    st->phone_map = static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_LGPHONEMAP:DEFAULT"));
    st->pos_map = static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_LGPOSMAP:DEFAULT"));
    st->max_phone_word = setting(ch, "max_phone_word", 120);
    st->max_chars_word = setting(ch, "max_chars_word", 30);
    st->max_pos_word = setting(ch, "max_pos_word", 1);
    st->max_phrase_sentence = setting(ch, "max_phrase_sentence", 50);
    st->max_word_sentence = setting(ch, "max_word_sentence", 50);
    st->max_syllable_sentence = setting(ch, "max_syllable_sentence", 6000);
    return st;
}

void QLTP_lgout_reset(lgout* st) {
    if (!st) return;
    if (st->state == 0 && !st->pending->phrases.empty())
        QLTP_logger_set_error(log_of(st), QLTP_ERROR_RESET_DATA_LOSS, "LGout context lost", "");
    st->state = 1;
    QLTP_dystr_clear(st->output);
    st->pending->phrases.clear();
    st->words = st->syls = st->phrases = 0;
    st->sentence = 0;
}

void QLTP_lgout_delete(lgout* st) {
    if (!st) return;
    QLTP_dystr_delete(st->output);
    QLTP_dystr_delete(st->scratch);
    delete st->pending;
    QLTP_free(st);
}

const char* QLTP_lgout_process(lgout* st, const toxspstream* spurts, int final) {
    if (!st) return nullptr;
    QLTP_dystr_clear(st->output);
    int previous = st->state;
    try {
        for (int i = 0, n = QLTP_voidparray_sz(spurts); i < n; ++i) {
            Phrase p = copy_spurt(st, QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, i)));
            // A phrase that alone passes a limit is cut.
            int s = 0, w = 0, cut_words = -1, cut_syls = -1;
            for (const Word& word : p.words) {
                int ws = syllables(st, word.spron);
                if (s + ws >= st->max_syllable_sentence) {
                    cut_words = w;
                    cut_syls = s;
                    break;
                }
                s += ws;
                if (++w >= st->max_word_sentence) {
                    cut_words = w;
                    cut_syls = s;
                    break;
                }
            }
            if (cut_words >= 0) {
                warn(st, "Sentence truncated in lgout");
                write_sentence(st);
                st->pending->phrases.push_back(std::move(p));
                warn(st, "Phrase truncated in lgout - words lost");
                write_sentence(st, cut_words, cut_syls);
                continue;
            }
            if (st->words + static_cast<int>(p.words.size()) >= st->max_word_sentence ||
                st->syls + p.syls >= st->max_syllable_sentence || st->phrases >= st->max_phrase_sentence) {
                warn(st, "Sentence truncated in lgout");
                write_sentence(st);
            }
            // A spurt that ends its sentence is written at once, even as the
            // first of a sentence begun by a limit: held back, it would run
            // into the next sentence, or be lost at the end of the stream.
            add(st, p);
        }
    } catch (...) {
        QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_ERROR, "lgout out of memory", "");
    }
    if (QLTP_logger_modulelogging(log_of(st)))
        QLTP_logger_logmodule(log_of(st), st->ch ? st->ch->jobid : "", st->name, previous, QLTP_dystr_cstr(st->output));
    st->state = final;
    return QLTP_dystr_cstr(st->output);
}
