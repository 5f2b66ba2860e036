#include "linguistics/slang.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "foundation/toxtoken.h"

const char* const QRLN_SLANG_VOWEL_ACCENTS[8] = {"ga", "rp", "sc", "ie", "ca", "hd", "fr", "it"};
const char* const QRLN_SLANG_WAY[8] = {"w+ey1|", "w+ei1|", "w+ei1|", "w+ei1|",
                                       "w+e1_i0|", "w+ei1|", "w+ei1|", "w+e1_i0|"};
const char* const QRLN_SLANG_AY[8] = {"ey1|", "ei1|", "ei1|", "ei1|", "e1_i0|", "ei1|", "ei1|", "e1_i0|"};
const char* const QRLN_SLANG_UB[8] = {"ah1|b+", "uh1|b+", "uh1|b+", "uh1|b+", "u1|b+", "uh1|b+", "uh1|b+", "u1|b+"};
const char* const QRLN_SLANG_UVERG[8] = {"ah1+v+ax0|g+", "uh1+v+@|g+", "uh1+v+@|g+", "uh1+v+@|g+",
                                         "u1+v+a0|g+",   "uh1+v+@0|g+", "uh1+v+@0|g+", "u1+v+a0|g+"};

namespace {

constexpr int kMaxSpron = 128;

bool is_separator(char c) { return c == '_' || c == '+' || c == '|'; }

// A bare "y" is a consonant; a stressed y is a vowel.
bool is_vowel(const char* phone, int len) {
    if (len <= 0) return false;
    switch (phone[0]) {
        case 'a': case 'e': case 'i': case 'o': case 'u': case '@': return true;
        case 'y': return len > 1;
        default: return false;
    }
}

int accent_column(const char* accent) {
    if (!accent) return -1;
    for (int i = 0; i < 8; ++i)
        if (std::strncmp(accent, QRLN_SLANG_VOWEL_ACCENTS[i], 2) == 0) return i;
    return -1;
}

// Inserts `insert` before every vowel phone.
std::string insert_before_vowels(const spron& s, const char* insert) {
    std::string out;
    for (int i = 0; i < s.nphone; ++i) {
        if (is_vowel(s.phone[i], s.phone_len[i])) out += insert;
        const char* end = i + 1 < s.nphone ? s.phone[i + 1] : s.text + std::strlen(s.text);
        out.append(s.phone[i], static_cast<size_t>(end - s.phone[i]));
    }
    return out;
}

bool holds_vowel(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        size_t end = at;
        while (end < text.size() && !is_separator(text[end])) ++end;
        if (is_vowel(text.data() + at, static_cast<int>(end - at))) return true;
        at = end + 1;
    }
    return false;
}

// Ends the last syllable of a new spron, before the game's syllable goes
// after it. A spron written without syllable marks ends in no separator:
// its end becomes a syllable end. A word that goes on in the next token
// ends in an open syllable, most often its next syllable's first consonants:
// with no vowel of its own it joins the syllable before it as its coda.
void end_syllable(std::string& out) {
    if (out.empty() || out.back() == '|') return;
    const size_t bar = out.rfind('|');
    if (bar == std::string::npos || holds_vowel(std::string_view(out).substr(bar + 1))) {
        if (!is_separator(out.back())) out += '|';
        return;
    }
    while (out.size() > bar + 1 && is_separator(out.back())) out.pop_back();
    if (out.size() == bar + 1) return;
    size_t last = bar;
    while (last > 0 && !is_separator(out[last - 1])) --last;
    out[bar] = is_vowel(out.data() + last, static_cast<int>(bar - last)) ? '+' : '_';
    out += '|';
}

std::string piglatin(const spron& s, int column) {
    if (s.nphone == 0 || is_vowel(s.phone[0], s.phone_len[0])) {
        std::string out(s.text);
        end_syllable(out);
        return out + QRLN_SLANG_WAY[column];
    }
    int v = 1;
    while (v < s.nphone && !is_vowel(s.phone[v], s.phone_len[v])) ++v;
    // Empty when the spron has phones but no vowel: such a word has no
    // place to move its consonants to.
    if (v == s.nphone) return {};
    std::string out(s.phone[v]);
    end_syllable(out);
    out.append(s.text, static_cast<size_t>(s.phone[v] - s.text));
    return out + QRLN_SLANG_AY[column];
}

}  // namespace

spron* QLTP_spron_new() { return new (std::nothrow) spron{}; }

void QLTP_spron_delete(spron* record) { delete record; }

int QLTP_spron_fill(spron* record, const char* text) {
    if (!record) return 0;
    *record = spron{};
    record->text = text;
    if (!text || !*text) return 1;
    const char* syl = text;
    const char* phone = text;
    for (const char* p = text;; ++p) {
        const char c = *p;
        if (c == '\0' || is_separator(c)) {
            if (p > phone) {
                if (record->nphone == 64) return 0;
                record->phone[record->nphone] = phone;
                record->phone_len[record->nphone++] = static_cast<int>(p - phone);
            }
            phone = p + 1;
        }
        if (c == '|' || (c == '\0' && p > syl)) {
            if (record->nsyl == 16) return 0;
            record->syl[record->nsyl] = syl;
            record->syl_len[record->nsyl++] = static_cast<int>(p - syl);
            syl = p + 1;
        }
        if (c == '\0') break;
    }
    return 1;
}

int QLTP_slang(const char* accent, const char* name, toxtoken* token) {
    if (!token) return 0;
    if (!name || !*name) name = QLTP_toxtoken_tagval(token, "voice", "slang");
    if (!name || !*name) return 0;
    toxtag* lex = QLTP_toxtoken_gettag(token, "lex");
    const char* text = lex ? QLTP_toxtag_val(lex, "spron") : nullptr;
    if (!text || std::strlen(text) >= kMaxSpron) return 0;
    const int column = accent_column(accent);
    if (column < 0) return 0;
    const bool pig = std::strcmp(name, "piglatin") == 0;
    const char* insert = std::strcmp(name, "ubbidubbi") == 0   ? QRLN_SLANG_UB[column]
                         : std::strcmp(name, "gibberish") == 0 ? QRLN_SLANG_UVERG[column]
                                                               : nullptr;
    if (!pig && !insert) return 0;
    spron parsed;
    if (!QLTP_spron_fill(&parsed, text)) return 0;
    std::string result;
    try {
        result = pig ? piglatin(parsed, column) : insert_before_vowels(parsed, insert);
    } catch (...) {
        return 0;
    }
    if (result.empty()) return 0;
    std::string phonemes;
    for (char c : result) {
        if (c == '+' || c == '_') phonemes += ' ';
        else if (c == '|') phonemes += " . ";
        else phonemes += c;
    }
    // The parsed record points into the old spron: set it only when done.
    QLTP_toxtag_set_attrib(lex, "phonemes", -1, phonemes.c_str(), -1);
    QLTP_toxtag_set_attrib(lex, "spron", -1, result.c_str(), -1);
    return 1;
}
