#include "linguistics/lgout.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "lg_fixture.h"

namespace {

using orvelle_test::LgChannel;
using orvelle_test::WordRow;

struct LgoutDeleter {
    void operator()(lgout* st) const { QLTP_lgout_delete(st); }
};
using Lgout = std::unique_ptr<lgout, LgoutDeleter>;

// Runs each group of spurts as one call, releasing the spurts after it as
// the channel does; gives the text of all calls.
std::string run(LgChannel& lg, lgout* st, const std::vector<std::vector<std::vector<WordRow>>>& calls, int final) {
    std::string out;
    int id = 0;
    for (size_t c = 0; c < calls.size(); ++c) {
        voidparray* spurts = QLTP_voidparray_new();
        for (const auto& rows : calls[c]) QLTP_voidparray_add(spurts, lg.Spurt(++id, rows));
        out += QLTP_lgout_process(st, spurts, c + 1 == calls.size() ? final : 0);
        QLTP_toxspstream_release_tox(spurts);
        QLTP_voidparray_delete(spurts);
    }
    return out;
}

const WordRow kHello{"hello", "hh+ax0|l+ow1|", "UH", "3", "qltk_0_0_5_5"};
const WordRow kWorld{"world", "w+er1+l_d|", "NN", "4", "qltk_6_6_5_5"};

TEST(LgoutTest, WritesASentenceFromPhrasesOfSeveralCalls) {
    const std::string expected =
        "SENTENCE 0\nnNumberOfWords 2\nnNumberOfSyllables 3\nnNumberOfIps 2\nnSentenceStartPos 0\n"
        "nSentenceEndPos 11\n"
        "PHRASE 0\nnum_words 1\nnum_syllables 2\n"
        "WORD 0\npcText hello\nnNumberOfPhones 4\npcPhonemeCode 10 11 12 13\ncBoundary 3\nnSegment 1\npos 4\n"
        "ph_type ONON\npcAccent 0001\nnNumberOfSyllable 2\n"
        "SYL 0\nphidx 0\nnNumberOfPhones 2\nSYL 1\nphidx 2\nnNumberOfPhones 2\n"
        "PHRASE 1\nnum_words 1\nnum_syllables 1\n"
        "WORD 0\npcText world\nnNumberOfPhones 4\npcPhonemeCode 14 15 12 16\ncBoundary 4\nnSegment 1\npos 1\n"
        "ph_type ONCC\npcAccent 0100\nnNumberOfSyllable 1\n"
        "SYL 0\nphidx 0\nnNumberOfPhones 4\n";
    for (bool apart : {false, true}) {
        SCOPED_TRACE(apart);
        LgChannel lg;
        Lgout st(QLTP_lgout_new(lg.ch));
        // Apart, the first phrase's spurt is recycled before the sentence ends.
        auto calls = apart ? std::vector<std::vector<std::vector<WordRow>>>{{{kHello}}, {{kWorld}}}
                           : std::vector<std::vector<std::vector<WordRow>>>{{{kHello}, {kWorld}}};
        EXPECT_EQ(run(lg, st.get(), calls, 1), expected);
        EXPECT_EQ(lg.Logged("lgout"), 0);
        EXPECT_EQ(st->sentence, 1);
    }
}

TEST(LgoutTest, FinalCallKeepsAnUnfinishedSentenceAndResetReportsIt) {
    LgChannel lg;
    Lgout st(QLTP_lgout_new(lg.ch));
    EXPECT_EQ(run(lg, st.get(), {{{kHello}}}, 1), "");
    QLTP_lgout_reset(st.get());
    EXPECT_EQ(lg.Logged("LGout context lost"), 0);
    EXPECT_EQ(run(lg, st.get(), {{{kHello}}}, 0), "");
    QLTP_lgout_reset(st.get());
    EXPECT_EQ(lg.Logged("LGout context lost"), 1);
    // After the reset nothing of the lost sentence comes back.
    EXPECT_EQ(run(lg, st.get(), {{{kWorld}}}, 1).find("hello"), std::string::npos);
}

TEST(LgoutTest, LimitsCutSentencesWordsAndText) {
    LgChannel lg;
    Lgout st(QLTP_lgout_new(lg.ch));
    st->max_phrase_sentence = 2;
    WordRow open = kHello;
    open.break_type = "3";
    std::string out = run(lg, st.get(), {{{open}, {open}, {open}, {kWorld}}}, 1);
    EXPECT_EQ(lg.Logged("Sentence truncated in lgout"), 1);
    size_t second = out.find("SENTENCE 1\n");
    ASSERT_NE(second, std::string::npos);
    EXPECT_NE(out.find("nNumberOfIps 2\n"), std::string::npos);
    EXPECT_NE(out.find("nNumberOfIps 2\n", second), std::string::npos);

    // A spurt that ends its sentence right after a limit is written at once.
    out = run(lg, st.get(), {{{open}, {open}, {kWorld}}}, 1);
    EXPECT_EQ(lg.Logged("Sentence truncated in lgout"), 2);
    second = out.find("SENTENCE 3\n");
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_NE(out.find("nNumberOfIps 1\n", second), std::string::npos);
    EXPECT_NE(out.find("pcText world\n", second), std::string::npos);

    // A word of 40 bytes is cut at the last whole character within 30.
    std::string long_word = "a";
    for (int i = 0; i < 19; ++i) long_word += "\xc3\xa9";
    long_word += "a";
    ASSERT_EQ(long_word.size(), 40u);
    out = run(lg, st.get(), {{{{long_word, "k+a1+t|", "NN VB ZZ", "4"}}}}, 1);
    EXPECT_NE(out.find("pcText " + long_word.substr(0, 29) + "\n"), std::string::npos);
    EXPECT_NE(out.find("nSegment 1\npos 1\n"), std::string::npos);
    EXPECT_EQ(lg.Logged("Word characters truncated in lgout"), 1);
    EXPECT_EQ(lg.Logged("Word part of speech truncated in lgout - pos items lost"), 1);

    // A phrase over the word limit is cut and written alone.
    st->max_word_sentence = 2;
    WordRow w = kHello;
    w.break_type = "";
    WordRow end = kWorld;
    out = run(lg, st.get(), {{{w}, {w, w, w, end}}}, 1);
    EXPECT_EQ(lg.Logged("Phrase truncated in lgout - words lost"), 1);
    EXPECT_NE(out.find("nNumberOfWords 2\nnNumberOfSyllables 4\nnNumberOfIps 1\n"), std::string::npos) << out;
    // Every cut reports the sentence truncated, also with nothing pending.
    const int reported = lg.Logged("Sentence truncated in lgout");
    out = run(lg, st.get(), {{{w, w, w, end}}}, 1);
    EXPECT_EQ(lg.Logged("Sentence truncated in lgout"), reported + 1);
    EXPECT_EQ(lg.Logged("Phrase truncated in lgout - words lost"), 2);
}

// Limits are read as decimal text: "0" and text that is no number give 0,
// which cuts everything, with a report.
TEST(LgoutTest, ReadsLimitsAsDecimalNumbers) {
    const char* keys[] = {"max_phone_word",      "max_chars_word",    "max_pos_word",
                          "max_phrase_sentence", "max_word_sentence", "max_syllable_sentence"};
    const struct {
        const char* text;  // nullptr: not set
        std::vector<int> limits;
    } cases[] = {
        {nullptr, {120, 30, 1, 50, 50, 6000}}, {"7", {7, 7, 7, 7, 7, 7}}, {"0", {0, 0, 0, 0, 0, 0}},
        {"abc", {0, 0, 0, 0, 0, 0}},           {" 12abc", {12, 12, 12, 12, 12, 12}}, {"-4", {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(none)");
        LgChannel lg;
        config* cfg = QLTP_config_new("tpconfig", 8);
        std::string doc = "<tpconfig><lgout";
        if (c.text)
            for (const char* key : keys) doc += std::string(" ") + key + "='" + c.text + "'";
        doc += "/></tpconfig>";
        ASSERT_TRUE(QLTP_config_load(cfg, doc.c_str(), static_cast<int>(doc.size())));
        QLTP_configsettings_delete(lg.ch->settings);
        lg.ch->settings = QLTP_configsettings_new(cfg, nullptr);
        Lgout st(QLTP_lgout_new(lg.ch));
        const std::vector<int> limits = {st->max_phone_word,      st->max_chars_word,    st->max_pos_word,
                                         st->max_phrase_sentence, st->max_word_sentence, st->max_syllable_sentence};
        EXPECT_EQ(limits, c.limits);
        // A sentence of no words, reported.
        if (c.limits[5] == 0) {
            const std::string out = run(lg, st.get(), {{{kWorld}}}, 1);
            EXPECT_EQ(out.find("nNumberOfWords 0\nnNumberOfSyllables 0\nnNumberOfIps 1\n"), 11u) << out;
            EXPECT_EQ(out.find("WORD"), std::string::npos) << out;
            EXPECT_EQ(lg.Logged("Sentence truncated in lgout"), 1);
            EXPECT_EQ(lg.Logged("Phrase truncated in lgout - words lost"), 1);
        }
    }
}

// Words of the English dictionary, one sentence each, come out as the
// dictionary's syllables, phones and stresses say.
TEST(LgoutTest, DictionaryWordsReadBackFromTheirLines) {
    std::vector<orvelle_test::CmuEntry> entries = orvelle_test::ReadCmuDict();
    ASSERT_GT(entries.size(), 100000u) << orvelle_test::kCmuDictPath;
    LgChannel lg;
    Lgout st(QLTP_lgout_new(lg.ch));
    std::vector<std::vector<WordRow>> spurts;
    std::string expected;
    std::map<std::string, int> hand_made = {{"hh", 10}, {"ax", 11}, {"l", 12}, {"ow", 13}, {"w", 14},
                                            {"er", 15}, {"d", 16},  {"k", 17}, {"t", 19}};
    for (size_t i = 0; i < entries.size(); i += 37) {
        const orvelle_test::CmuEntry& e = entries[i];
        if (e.word.size() > 30 || e.word.find(' ') != std::string::npos) continue;
        std::string spron, codes, types, accents, syls;
        int phones = 0;
        for (size_t k = 0; k < e.syllables.size(); ++k) {
            const orvelle_test::CmuSyllable& s = e.syllables[k];
            syls += "SYL " + std::to_string(k) + "\nphidx " + std::to_string(phones) + "\nnNumberOfPhones " +
                    std::to_string(s.phones.size()) + "\n";
            char letter = 'O';
            for (size_t p = 0; p < s.phones.size(); ++p) {
                const std::string& ph = s.phones[p];
                bool vowel = orvelle_test::CmuVowels().count(ph) > 0;
                spron += ph + (vowel ? std::string(1, s.stress) : "") + (p + 1 == s.phones.size() ? "|" : "_");
                int code = hand_made.count(ph) ? hand_made[ph] : orvelle_test::CmuCode(ph);
                codes += (codes.empty() ? "" : " ") + std::to_string(code);
                if (vowel) letter = 'N';
                types += letter;
                accents += vowel ? s.stress : '0';
                ++phones;
            }
        }
        std::string n = std::to_string(e.syllables.size());
        expected += "SENTENCE " + std::to_string(spurts.size()) + "\nnNumberOfWords 1\nnNumberOfSyllables " + n +
                    "\nnNumberOfIps 1\nnSentenceStartPos -1\nnSentenceEndPos -1\nPHRASE 0\nnum_words 1\n"
                    "num_syllables " + n + "\nWORD 0\npcText " + e.word + "\nnNumberOfPhones " +
                    std::to_string(phones) + "\npcPhonemeCode " + codes + "\ncBoundary 4\nnSegment 1\npos 1\n"
                    "ph_type " + types + "\npcAccent " + accents + "\nnNumberOfSyllable " + n + "\n" + syls;
        spurts.push_back({{e.word, spron, "NN", "4"}});
    }
    ASSERT_GT(spurts.size(), 2500u);
    EXPECT_EQ(run(lg, st.get(), {spurts}, 1), expected);
    EXPECT_EQ(lg.Logged("lgout"), 0);
}

// However the spurts are spread over calls, and whatever the pool recycles
// between calls, the text is that of one call.
TEST(LgoutTest, SplittingCallsChangesNothing) {
    std::mt19937 rng(11);
    const std::vector<WordRow> words = {kHello, kWorld, {"cat", "k+a1+t|", "NN_3", "", "qltk_9_12_3_3"},
                                        {"x", "zz1|", "VB", "", ""}};
    for (int round = 0; round < 200; ++round) {
        std::vector<std::vector<WordRow>> spurts;
        int n = std::uniform_int_distribution<int>(1, 12)(rng);
        for (int i = 0; i < n; ++i) {
            std::vector<WordRow> rows;
            int k = std::uniform_int_distribution<int>(0, 4)(rng);
            for (int j = 0; j < k; ++j) rows.push_back(words[rng() % words.size()]);
            if (!rows.empty()) rows.back().break_type = std::to_string(rng() % 2 + 3);
            spurts.push_back(rows);
        }
        std::vector<std::vector<std::vector<WordRow>>> pieces(1);
        for (const auto& s : spurts) {
            if (rng() % 3 == 0) pieces.emplace_back();
            pieces.back().push_back(s);
        }
        LgChannel one, many;
        Lgout a(QLTP_lgout_new(one.ch)), b(QLTP_lgout_new(many.ch));
        a->max_word_sentence = b->max_word_sentence = 6;
        a->max_phrase_sentence = b->max_phrase_sentence = 3;
        ASSERT_EQ(run(one, a.get(), {spurts}, 1), run(many, b.get(), pieces, 1)) << round;
    }
}

}  // namespace
