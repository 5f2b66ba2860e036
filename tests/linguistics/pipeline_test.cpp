#include "linguistics/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/logger.h"
#include "foundation/toxspurt.h"
#include "lg_fixture.h"
#include "linguistics/cbout.h"
#include "linguistics/lgout.h"
#include "linguistics/pbreak.h"
#include "linguistics/phonesetmap.h"
#include "english_db.h"
#include "spurt_xml_words.h"
#include "test_db.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

using orvelle_test::TextObject;

// The stage chain needs the database's rules and lexicons: a pipeline
// channel without one is refused, while the tokeniser type works alone.
TEST(PipelineTest, ChannelsWithoutADatabaseAreRefused) {
    for (int type : {QLTP_TPC_FULL, QLTP_TPC_SENTENCE, QLTP_TPC_SERVER, QLTP_TPC_NORM, QLTP_TPC_SPURT,
                     QLTP_TPC_ABOOK, QLTP_TPC_BUILD}) {
        SCOPED_TRACE(type);
        ASSERT_NE(QLTP_tpc_type_hooks(type), nullptr);
        EXPECT_EQ(QLTP_tpc_newtype(nullptr, nullptr, 0, "job", type), nullptr);
    }
    channel* tk = QLTP_tpc_newtype(nullptr, nullptr, 0, "job", QLTP_TPC_TK);
    ASSERT_NE(tk, nullptr);
    EXPECT_NE(std::string(QLTP_tpc_process(tk, "Hello world.", -1, 1)).find("world"), std::string::npos);
    QLTP_tpc_delete(tk);
    EXPECT_NE(QLTP_linguistics_maintenance().fetch_map, nullptr);
}

// The English database, written from tests/data/en and the CMU
// dictionary and loaded once per test program.
tpdb* English() {
    static const orvelle_test::ScratchDir dir;
    static const std::string path = dir.Path("english.tpdb");
    static const std::string error = [] {
        ::testing::internal::CaptureStdout();
        std::string e = orvelle_test::WriteEnglishDb(path);
        ::testing::internal::GetCapturedStdout();
        return e;
    }();
    static orvelle_test::LoadedDb db(path);
    static const int removed = std::remove(path.c_str());
    (void)removed;
    EXPECT_EQ(error, "");
    EXPECT_TRUE(db.loaded());
    return db.db;
}

// The checked-in paragraph, and the same repeated to at least `size` bytes.
std::string Paragraph(size_t size = 0) {
    const std::string one = orvelle_test::EnglishData("paragraph.txt");
    EXPECT_GT(one.size(), 500u);
    std::string text = one;
    while (!one.empty() && text.size() < size) text += one;
    return text;
}

// The lexicon's first pronunciation of each dictionary word.
const std::map<std::string, std::string>& FirstPronunciations() {
    static const std::map<std::string, std::string> first = [] {
        std::map<std::string, std::string> m;
        for (const auto& e : orvelle_test::ReadCmuDict()) m.emplace(e.word, orvelle_test::CmuToQrln(e, '_'));
        return m;
    }();
    return first;
}

// The phones of a syllabified pronunciation ("hh+ax0|l+ow1|").
std::vector<std::string> Phones(const std::string& spron) {
    std::vector<std::string> phones;
    std::string phone;
    for (char c : spron + "|") {
        if (c != '+' && c != '|' && c != '_') {
            phone += c;
        } else if (!phone.empty()) {
            phones.push_back(phone);
            phone.clear();
        }
    }
    return phones;
}

// What a channel gave: text deliveries, application tags, and the words of
// each spurt handed to the phrase callback ("norm/spron" items).
struct Events {
    std::vector<std::string> log;  // "T" text, "A<tag>" application tag, "P" spurt, in order
    std::string text;
    std::vector<std::string> words;
    std::vector<int> last;
    std::vector<std::string> lts;     // words pronounced by letter-to-sound
    std::vector<std::string> silent;  // words with a norm but no pronunciation
    std::vector<int> breaks;           // break index of each spurt's last token
    std::vector<std::string> shapes;   // each spurt: "<words>/<syls>: _{type,time} norm ... norm{type,time}"
    int spoken = 0;                    // spurts holding a pronounced word
    lgout* lg = nullptr;               // fed each spurt when set
    std::string lg_text;
};

void on_text(void* user, const char* text, int len) {
    auto* e = static_cast<Events*>(user);
    e->log.push_back("T");
    e->text.append(text, static_cast<size_t>(len));
}
void on_tag(void* user, const char* tag, int len) { static_cast<Events*>(user)->log.push_back("A" + std::string(tag, len)); }
void on_spurt(cbout*, void* user, toxspurt* spurt, int, int) {
    auto* e = static_cast<Events*>(user);
    e->log.push_back("P");
    e->last.push_back(spurt->last);
    voidparray* tokens = QLTP_cbout_tokens(spurt);
    e->breaks.push_back(QLTP_cbout_bidx(QLTP_toxtoken_cast(QLTP_voidparray_end(tokens))));
    if (e->lg) {
        voidparray* one = QLTP_voidparray_new();
        QLTP_voidparray_add(one, spurt);
        e->lg_text += QLTP_lgout_process(e->lg, one, spurt->last);
        QLTP_voidparray_delete(one);
    }
    const size_t before = e->words.size();
    std::string shape = std::to_string(spurt->words) + "/" + std::to_string(spurt->syls) + ":";
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
        const toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
        const char* shown = QLTP_toxtoken_getnorm(t);
        shape += std::string(" ") + (i == 0 ? "_" : shown ? shown : "");
        for (int k = 0; k < QLTP_toxtoken_notags(t); ++k) {
            const toxtag* tag = QLTP_toxtoken_tagidx(t, k);
            if (std::string(QLTP_toxtag_name(tag)) == "break")
                shape += std::string("{") + QLTP_toxtag_val(tag, "type") + "," + QLTP_toxtag_val(tag, "time") + "}";
        }
        const char* norm = QLTP_toxtoken_getnorm(t);
        const char* lts = QLTP_toxtoken_tagval(t, "lex", "ltsused");
        if (lts && std::string(lts) == "true") e->lts.push_back(norm);
        if (QLTP_cbout_isempty(t)) {
            if (norm && *norm) e->silent.push_back(norm);
            continue;
        }
        e->words.push_back(std::string(norm) + "/" + QLTP_toxtoken_tagval(t, "lex", "spron"));
    }
    e->spoken += e->words.size() > before;
    e->shapes.push_back(shape);
}

struct Channel {
    Channel(tpdb* db, int type, int markup = 1) : ch(QLTP_tpc_newtype(db, nullptr, markup, "J", type)) {
        EXPECT_NE(ch, nullptr) << type;
        QLTP_tpc_set_text_callback(ch, on_text, &events);
        QLTP_tpc_set_application_callback(ch, on_tag, &events);
        QLTP_tpc_set_phrase_callback(ch, on_spurt, &events, 0, 0);
    }
    ~Channel() {
        QLTP_lgout_delete(events.lg);
        QLTP_tpc_delete(ch);
    }
    channel* ch;
    Events events;
};

// Whether spurt XML wrapped in a root is well-formed for xmllint.
bool XmllintAccepts(const std::string& spurts) {
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("spurts.xml");
    orvelle_test::WriteFile(path, "<root>" + spurts + "</root>\n");
    int rc = std::system(("xmllint --noout " + path).c_str());
    std::remove(path.c_str());
    return rc == 0;
}

int Count(const std::vector<std::string>& log, const std::string& what) {
    return static_cast<int>(std::count(log.begin(), log.end(), what));
}

TEST(PipelineTest, EveryTypeRunsTheChainToItsOutput) {
    tpdb* db = English();
    const std::vector<std::string> sprons = {"hello/hh+ax0|l+ow1|", "world/w+er1+l_d|"};
    // Bare text phrases alike with the markup flag on or off.
    const std::pair<int, int> types[] = {
        {QLTP_TPC_FULL, 0}, {QLTP_TPC_SENTENCE, 0}, {QLTP_TPC_SERVER, 0}, {QLTP_TPC_FULL, 1}, {QLTP_TPC_SERVER, 1}};
    for (auto [type, markup] : types) {
        SCOPED_TRACE(std::to_string(type) + " markup " + std::to_string(markup));
        Channel c(db, type, markup);
        QLTP_tpc_process(c.ch, "Hello world.", -1, 1);
        EXPECT_EQ(c.events.words, sprons);
        // One spurt: the stream's first token is its leading pause.
        EXPECT_EQ(c.events.spoken, 1);
        EXPECT_EQ(Count(c.events.log, "P"), 1);
        ASSERT_EQ(c.events.shapes.size(), 1u);
        EXPECT_EQ(c.events.shapes[0].substr(0, 4), "2/3:");
        ASSERT_FALSE(c.events.last.empty());
        EXPECT_EQ(c.events.last.back(), 1);
        EXPECT_TRUE(c.events.text.empty());
    }
    std::string spurt_xml;
    for (int type : {QLTP_TPC_SPURT, QLTP_TPC_BUILD}) {
        SCOPED_TRACE(type);
        Channel c(db, type, 0);
        QLTP_tpc_process(c.ch, "Hello world.", -1, 1);
        int spurts = 0;
        EXPECT_EQ(orvelle_test::SpurtXmlWords(c.events.text, &spurts),
                  std::vector<std::string>({"hello/hh ax0 . l ow1 . ", "world/w er1 l d . "}));
        EXPECT_EQ(spurts, 1);
        EXPECT_NE(c.events.text.find("<spurt spurt_id='J_001' phrases='1' phrase='1' utt_words='2' utt_syls='3' "),
                  std::string::npos)
            << c.events.text;
        // Without reduction, archiphone or accent data the two types agree.
        if (type == QLTP_TPC_SPURT) {
            spurt_xml = c.events.text;
        } else {
            EXPECT_EQ(c.events.text, spurt_xml);
        }
    }
    for (int type : {QLTP_TPC_NORM, QLTP_TPC_ABOOK}) {
        SCOPED_TRACE(type);
        Channel c(db, type, 0);
        // A piece of white space gives no tokens; the abook type still
        // delivers on the pass, with no text.
        QLTP_tpc_process(c.ch, " ", 1, 0);
        if (type == QLTP_TPC_ABOOK) {
            EXPECT_EQ(c.events.log, std::vector<std::string>({"T"}));
        }
        EXPECT_EQ(c.events.text, "");
        QLTP_tpc_process(c.ch, "Hello world.", -1, 1);
        EXPECT_NE(c.events.text.find("[hello]"), std::string::npos) << c.events.text;
        EXPECT_NE(c.events.text.find("[world]"), std::string::npos);
    }
}

// What stands before the first word (an SSML break, a mark) is the first
// spurt's pause; with a break table alone the seed gets the table's
// opening break.
TEST(PipelineTest, TheStreamsFirstTokenIsTheFirstSpurtsPause) {
    Channel c(English(), QLTP_TPC_SPURT);
    QLTP_tpc_process(c.ch, "<speak><break time='500ms'/><mark name='m1'/>Hello world.</speak>", -1, 1);
    const std::string& xml = c.events.text;
    const size_t open = xml.find("<pause>"), close = xml.find("</pause>");
    ASSERT_LT(open, close) << xml;
    EXPECT_LT(xml.find("<speech>"), xml.find("hello"));
    const std::string pause = xml.substr(open, close - open);
    EXPECT_NE(pause.find("<break time='0.500' type='1'/>"), std::string::npos) << pause;
    EXPECT_NE(pause.find("<mark name='m1'/>"), std::string::npos) << pause;
    EXPECT_EQ(xml.find("<spurt ", 1), std::string::npos) << xml;

    // A text of no words keeps its marks in a spurt of the pause alone, an
    // empty final call the final mark.
    for (const char* text : {"<speak><mark name='only'/></speak>", ""}) {
        SCOPED_TRACE(text);
        Channel marks(English(), QLTP_TPC_SPURT);
        QLTP_tpc_process(marks.ch, text, -1, 1);
        const std::string& out = marks.events.text;
        EXPECT_NE(out.find("utt_words='0'"), std::string::npos) << out;
        EXPECT_EQ(out.find("<spurt ", 1), std::string::npos) << out;
        EXPECT_EQ(out.find("<lex"), std::string::npos) << out;
        EXPECT_NE(out.find("<mark name='qrln_final'/>"), std::string::npos) << out;
        if (*text) {
          EXPECT_NE(out.find("<mark name='only'/>"), std::string::npos) << out;
        }
    }

    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("breaks_only.tpdb");
    pbreak* table = QLTP_deserialise_pbreak("DEFAULT 1 0.1 1 0.05\n");
    orvelle_test::WriteTestDb(path, {{"TPOBJ_PBREAK:DEFAULT", table}});
    QLTP_pbreak_delete(table);
    orvelle_test::LoadedDb breaks(path);
    std::remove(path.c_str());
    ASSERT_TRUE(breaks.loaded());
    Channel sentence(breaks.db, QLTP_TPC_SENTENCE, 0);
    QLTP_tpc_process(sentence.ch, "Hello world", -1, 1);
    EXPECT_EQ(sentence.events.shapes, std::vector<std::string>({"0/0: _{1,0.050} Hello world{1,0.100}"}));
}

// Two application tags in a final call give three passes, the tag after
// each of the first two; a non-final call stops at its first tag.
TEST(PipelineTest, ApplicationTagsCutPasses) {
    tpdb* db = English();
    const char* text = "<speak>Hello <voice name='x'/>world <voice name='y'/>bye.</speak>";
    Channel full(db, QLTP_TPC_FULL);
    QLTP_tpc_process(full.ch, text, -1, 1);
    EXPECT_EQ(full.events.words,
              std::vector<std::string>({"hello/hh+ax0|l+ow1|", "world/w+er1+l_d|", "bye/b+ay1|"}));
    std::vector<std::string> tags;
    for (const std::string& e : full.events.log)
        if (e[0] == 'A') tags.push_back(e);
    EXPECT_EQ(tags, std::vector<std::string>({"A<voice name='x'/>", "A<voice name='y'/>"}));
    // Three passes: spurts of "hello", the first tag, spurts of "world",
    // the second tag, spurts of "bye".
    std::vector<std::string> passes;
    for (const std::string& e : full.events.log)
        if (passes.empty() || passes.back() != e) passes.push_back(e);
    EXPECT_EQ(passes, std::vector<std::string>({"P", "A<voice name='x'/>", "P", "A<voice name='y'/>", "P"}));

    // A non-final call handles at most one tag; the final call the rest.
    Channel spurt(db, QLTP_TPC_SPURT);
    QLTP_tpc_process(spurt.ch, text, -1, 0);
    EXPECT_LE(Count(spurt.events.log, "A<voice name='x'/>") + Count(spurt.events.log, "A<voice name='y'/>"), 1);
    QLTP_tpc_process(spurt.ch, "", 0, 1);
    tags.clear();
    for (const std::string& e : spurt.events.log)
        if (e[0] == 'A') tags.push_back(e);
    EXPECT_EQ(tags, std::vector<std::string>({"A<voice name='x'/>", "A<voice name='y'/>"}));
    int spurts = 0;
    EXPECT_EQ(orvelle_test::SpurtXmlWords(spurt.events.text, &spurts),
              std::vector<std::string>({"hello/hh ax0 . l ow1 . ", "world/w er1 l d . ", "bye/b ay1 . "}));
}

void to_lg(cbout*, void* user, toxspurt* spurt, int, int) {
    auto* lg = static_cast<std::pair<lgout*, std::string>*>(user);
    voidparray* one = QLTP_voidparray_new();
    QLTP_voidparray_add(one, spurt);
    lg->second += QLTP_lgout_process(lg->first, one, spurt->last);
    QLTP_voidparray_delete(one);
}

// Input cut into small non-final pieces gives the spurts and lg text of one
// final call, and running the same text again takes no new objects from the
// pool.
TEST(PipelineTest, PiecesGiveTheWordsOfOneCallAndReuseThePool) {
    tpdb* db = English();
    const std::string text = Paragraph(20 * 1024);
    Channel whole(db, QLTP_TPC_FULL, 0);
    whole.events.lg = QLTP_lgout_new(whole.ch);
    QLTP_tpc_process(whole.ch, text.c_str(), -1, 1);
    Channel pieces(db, QLTP_TPC_FULL, 0);
    pieces.events.lg = QLTP_lgout_new(pieces.ch);
    for (size_t at = 0; at < text.size(); at += 37)
        QLTP_tpc_process(pieces.ch, text.c_str() + at, static_cast<int>(std::min<size_t>(37, text.size() - at)), 0);
    QLTP_tpc_process(pieces.ch, "", 0, 1);
    const size_t copies = text.size() / Paragraph().size();
    EXPECT_GT(whole.events.words.size(), 150 * copies);
    EXPECT_EQ(pieces.events.words, whole.events.words);
    EXPECT_EQ(pieces.events.breaks, whole.events.breaks);
    EXPECT_EQ(pieces.events.lg_text, whole.events.lg_text);
    EXPECT_EQ(pieces.events.lts, whole.events.lts);
    EXPECT_EQ(whole.events.lts.size(), copies);
    EXPECT_NE(whole.events.lg_text.find("SENTENCE " + std::to_string(10 * copies - 1) + "\n"), std::string::npos);

    // 1 MB twice through one channel: the second run takes nothing new.
    const std::string mb = Paragraph(1 << 20);
    Channel big(db, QLTP_TPC_FULL, 0);
    ASSERT_NE(big.ch, nullptr);
    QLTP_tpc_process(big.ch, mb.c_str(), -1, 1);
    auto objects = [&] {
        const toxpool* pool = big.ch->pool;
        return std::vector<int>({QLTP_voidparray_sz(pool->spurts.objects), QLTP_voidparray_sz(pool->tokens.objects),
                                 QLTP_voidparray_sz(pool->tags.objects)});
    };
    ASSERT_NE(big.ch->pool, nullptr);
    const std::vector<int> after_first = objects();
    const size_t words = big.events.words.size();
    QLTP_tpc_process(big.ch, mb.c_str(), -1, 1);
    EXPECT_EQ(objects(), after_first);
    EXPECT_EQ(big.events.words.size(), 2 * words);
}

// A random document of the paragraph's words (with their punctuation),
// line breaks, blank lines, SSML breaks and p, s, prosody and emphasis
// elements nested at random, about `size` bytes.
std::string RandomSsml(std::mt19937& rng, const std::vector<std::string>& words, size_t size) {
    static const char* const starts[] = {"<p>", "<s>", "<prosody rate='fast'>", "<prosody rate='80%' pitch='+5%'>",
                                         "<emphasis>", "<emphasis level='strong'>"};
    static const char* const ends[] = {"</p>", "</s>", "</prosody>", "</prosody>", "</emphasis>", "</emphasis>"};
    static const char* const breaks[] = {"<break/>", "<break time='300ms'/>", "<break strength='strong'/>",
                                         "<break time='2s' strength='weak'/>", "<break strength='none'/>"};
    std::string out = "<speak>";
    std::vector<int> open;
    while (out.size() < size) {
        const unsigned pick = rng() % 16;
        if (pick == 0 && open.size() < 5) {
            open.push_back(static_cast<int>(rng() % std::size(starts)));
            out += starts[open.back()];
        } else if (pick == 1 && !open.empty()) {
            out += ends[open.back()];
            open.pop_back();
        } else if (pick == 2) {
            out += breaks[rng() % std::size(breaks)];
        } else if (pick == 3) {
            out += rng() % 2 ? "\n" : "\n\n";
        } else if (pick == 4) {
            out += "(" + words[rng() % words.size()] + ") ";
        } else {
            out += words[rng() % words.size()] + " ";
        }
    }
    for (; !open.empty(); open.pop_back()) out += ends[open.back()];
    return out + "</speak>";
}

// Random documents cut into random pieces (1 byte to 4 KB, some empty, the
// last final) give every phrasing type what one final call gives: the same
// spurt, build and abook text, the same spurts to the phrase callback.
TEST(PipelineTest, RandomPiecesGiveWhatOneCallGives) {
    tpdb* db = English();
    std::vector<std::string> words;
    std::istringstream in(Paragraph());
    for (std::string w; in >> w;) words.push_back(w);
    // Quotes opened and closed by apostrophes, some glued to the next token.
    for (const char* w : {"'tis", "dogs'", "'quoted'", "'open", "close'", "a'/b'", "'x'/y", "Dr.'s/'n", "it's"})
        for (int copies = 0; copies < 8; ++copies) words.push_back(w);
    std::mt19937 rng(26);
    for (int round = 0; round < 40; ++round) {
        // First the whole text in a call that is not final, then an empty final call.
        const std::string text = round == 0 ? "Hello world." : RandomSsml(rng, words, 200 + rng() % 6000);
        std::vector<std::pair<size_t, size_t>> pieces;  // (offset, length); the last one is final
        if (round == 0) pieces = {{0, text.size()}, {text.size(), 0}};
        for (size_t at = round == 0 ? text.size() : 0; at < text.size();) {
            const unsigned kind = rng() % 10;
            const size_t len = kind == 0 ? 0 : kind == 1 ? 1 + rng() % 4096 : 1 + rng() % 64;
            pieces.emplace_back(at, std::min(len, text.size() - at));
            at += pieces.back().second;
        }
        if (round > 0 && rng() % 3 == 0) pieces.emplace_back(text.size(), 0);
        for (int type : {QLTP_TPC_FULL, QLTP_TPC_SENTENCE, QLTP_TPC_SERVER, QLTP_TPC_SPURT, QLTP_TPC_ABOOK,
                         QLTP_TPC_BUILD}) {
            SCOPED_TRACE("round " + std::to_string(round) + " type " + std::to_string(type) + ": " + text.substr(0, 300));
            Channel whole(db, type), cut(db, type);
            QLTP_tpc_process(whole.ch, text.c_str(), static_cast<int>(text.size()), 1);
            for (size_t i = 0; i < pieces.size(); ++i)
                QLTP_tpc_process(cut.ch, text.c_str() + pieces[i].first, static_cast<int>(pieces[i].second),
                                 i + 1 == pieces.size() ? 1 : 0);
            EXPECT_EQ(cut.events.text, whole.events.text);
            EXPECT_EQ(cut.events.shapes, whole.events.shapes);
            EXPECT_EQ(cut.events.words, whole.events.words);
            EXPECT_EQ(cut.events.last, whole.events.last);
            const bool callback = type == QLTP_TPC_FULL || type == QLTP_TPC_SENTENCE || type == QLTP_TPC_SERVER;
            EXPECT_GT(callback ? whole.events.shapes.size() : whole.events.text.size(), 0u);
        }
    }
}

// What the paragraph's words should normalise to: lower-cased, punctuation
// cut off, the abbreviation and the numbers read out.
std::vector<std::string> ExpectedNorms(const std::string& text) {
    const std::map<std::string, std::string> read = {{"dr", "doctor"},
                                                     {"42", "forty two"},
                                                     {"1,234", "one thousand two hundred thirty four"},
                                                     {"17", "seventeen"}};
    std::vector<std::string> norms;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        while (!word.empty() && !std::isalnum(static_cast<unsigned char>(word.back()))) word.pop_back();
        while (!word.empty() && !std::isalnum(static_cast<unsigned char>(word.front()))) word.erase(0, 1);
        for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto it = read.find(word);
        std::istringstream words(it == read.end() ? word : it->second);
        for (std::string w; words >> w;) norms.push_back(w);
    }
    return norms;
}

// The paragraph through every type: each word is pronounced, dictionary
// words as the dictionary's first entry, the one unknown word by the
// letter trees; syllables and visemes fit the phones; the XML types write
// well-formed spurts of the same words.
TEST(PipelineTest, DictionaryWordsGetTheirPronunciation) {
    tpdb* db = English();
    const std::string paragraph = Paragraph();
    Channel full(db, QLTP_TPC_FULL, 0);
    QLTP_tpc_process(full.ch, paragraph.c_str(), -1, 1);
    EXPECT_TRUE(full.events.silent.empty()) << full.events.silent.front();
    EXPECT_EQ(full.events.lts, std::vector<std::string>({"zorblax"}));
    std::vector<std::string> norms;
    for (const std::string& w : full.events.words) {
        const std::string norm = w.substr(0, w.find('/')), spron = w.substr(w.find('/') + 1);
        norms.push_back(norm);
        std::vector<std::string> phones = Phones(spron);
        // One syllable per vowel, and each phone with a viseme.
        int vowels = 0;
        for (std::string phone : phones) {
            vowels += std::isdigit(static_cast<unsigned char>(phone.back())) != 0;
            phone.erase(std::remove_if(phone.begin(), phone.end(), ::isdigit), phone.end());
            EXPECT_GE(QLTP_phonesetmap_lookup(QLTP_tpc_sapi_visemes(full.ch), phone.c_str(), -1), 0) << phone;
        }
        EXPECT_EQ(std::count(spron.begin(), spron.end(), '|'), vowels) << w;
        if (norm == "zorblax") continue;
        std::string joined;
        for (const std::string& p : phones) joined += (joined.empty() ? "" : "_") + p;
        auto first = FirstPronunciations().find(norm);
        ASSERT_NE(first, FirstPronunciations().end()) << norm;
        EXPECT_EQ(joined, first->second) << norm;
    }
    EXPECT_EQ(norms, ExpectedNorms(paragraph));

    // The other spurt types pronounce every word alike.
    for (int type : {QLTP_TPC_SENTENCE, QLTP_TPC_SERVER}) {
        SCOPED_TRACE(type);
        Channel c(db, type, 0);
        QLTP_tpc_process(c.ch, paragraph.c_str(), -1, 1);
        EXPECT_TRUE(c.events.silent.empty());
        EXPECT_EQ(c.events.words, full.events.words);
    }
    std::string spurt_xml;
    for (int type : {QLTP_TPC_SPURT, QLTP_TPC_BUILD}) {
        SCOPED_TRACE(type);
        Channel c(db, type, 0);
        QLTP_tpc_process(c.ch, paragraph.c_str(), -1, 1);
        EXPECT_TRUE(XmllintAccepts(c.events.text));
        int spurts = 0;
        std::vector<std::string> words = orvelle_test::SpurtXmlWords(c.events.text, &spurts);
        EXPECT_EQ(words.size(), full.events.words.size());
        EXPECT_EQ(spurts, Count(full.events.log, "P"));
        if (type == QLTP_TPC_SPURT) spurt_xml = c.events.text;
        else EXPECT_EQ(c.events.text, spurt_xml);
    }
    for (int type : {QLTP_TPC_NORM, QLTP_TPC_ABOOK}) {
        SCOPED_TRACE(type);
        Channel c(db, type, 0);
        QLTP_tpc_process(c.ch, paragraph.c_str(), -1, 1);
        for (const char* word : {"[doctor]", "[forty]", "[two]", "[thousand]", "[thirty]", "[seventeen]"})
            EXPECT_NE(c.events.text.find(word), std::string::npos) << word;
    }
}

// The paragraph's sentences as written: each ends at '.', '?' or '!' (and
// a closing quote) before white space, except after "Dr".
std::vector<std::string> Sentences(const std::string& text) {
    std::vector<std::string> out;
    size_t start = text.find_first_not_of(" \n");
    for (size_t at = start; at < text.size(); ++at) {
        if (text[at] != '.' && text[at] != '?' && text[at] != '!') continue;
        size_t end = at + 1;
        if (end < text.size() && text[end] == '"') ++end;
        if (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) continue;
        if (text.compare(at - 2, 2, "Dr") == 0) continue;
        out.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(" \n", end);
        at = end;
    }
    return out;
}

// lg text written from the phrase callback: one sentence per sentence of
// the input, whose positions give back the sentence as written.
TEST(PipelineTest, LgSentencesPointBackIntoTheInput) {
    tpdb* db = English();
    const std::string text = Paragraph();
    channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "J", QLTP_TPC_FULL);
    ASSERT_NE(ch, nullptr);
    std::pair<lgout*, std::string> lg(QLTP_lgout_new(ch), "");
    QLTP_tpc_set_phrase_callback(ch, to_lg, &lg, 0, 0);
    QLTP_tpc_process(ch, text.c_str(), -1, 1);
    std::vector<std::string> sentences;
    std::vector<int> words;
    int start = -1, words_seen = 0, tagged = 0, coded = 0;
    for (size_t at = 0; at < lg.second.size();) {
        size_t end = lg.second.find('\n', at);
        std::string line = lg.second.substr(at, end - at);
        at = end + 1;
        std::string key = line.substr(0, line.find(' '));
        int value = std::atoi(line.c_str() + key.size());
        if (key == "nNumberOfWords") words.push_back(value);
        if (key == "nSentenceStartPos") start = value;
        if (key == "WORD") ++words_seen;
        if (key == "pos") tagged += value > 0;
        if (key == "pcPhonemeCode") {
            std::istringstream codes(line.substr(key.size()));
            bool all = true;
            for (int code; codes >> code;) all &= code > 0;
            coded += all;
        }
        if (key == "nSentenceEndPos" && words.back() > 0) {
            ASSERT_GE(start, 0);
            ASSERT_LE(static_cast<size_t>(value), text.size());
            sentences.push_back(text.substr(static_cast<size_t>(start), static_cast<size_t>(value - start)));
        }
    }
    EXPECT_EQ(sentences.size(), 10u);
    EXPECT_EQ(sentences, Sentences(text)) << lg.second;
    // Every word's tag and phones have codes in the LG maps.
    EXPECT_EQ(tagged, words_seen);
    EXPECT_EQ(coded, words_seen);
    QLTP_lgout_delete(lg.first);
    QLTP_tpc_delete(ch);
}

// One-shot normalisation prints what the norm type delivers for one final
// call of the same text, on every type that has the normalisation stages;
// an application tag in the text costs none of the text after it.
TEST(PipelineTest, OneShotNormalisationMatchesTheNormType) {
    tpdb* db = English();
    const std::string paragraph = Paragraph();
    for (const char* text : {"Hello world.", "Hello, world! Bye?", "<speak>Hello <voice name='x'/>world.</speak>",
                             paragraph.c_str()}) {
        SCOPED_TRACE(std::string(text).substr(0, 40));
        const std::string word = text == paragraph.c_str() ? "[forty]" : "[world]";
        Channel norm_type(db, QLTP_TPC_NORM);
        QLTP_tpc_process(norm_type.ch, text, -1, 1);
        ASSERT_NE(norm_type.events.text.find(word), std::string::npos) << norm_type.events.text;
        for (int type : {QLTP_TPC_NORM, QLTP_TPC_FULL, QLTP_TPC_SPURT}) {
            Channel c(db, type);
            EXPECT_EQ(std::string(QLTP_tpc_norm(c.ch, text)), norm_type.events.text) << type;
            // Tagging adds to the tokens but keeps the words.
            std::string tagged = QLTP_tpc_norm_pos(c.ch, text, 1);
            EXPECT_NE(tagged.find(word), std::string::npos) << tagged;
        }
    }
    Channel sentence(db, QLTP_TPC_SENTENCE);
    EXPECT_STREQ(QLTP_tpc_norm(sentence.ch, "Hello."), "");
}

// A one-shot normalisation is a stream of its own: whatever its text leaves
// open (a comment, CDATA, a tag, half a UTF-8 character, its offsets), the
// channel's next run gives what a fresh channel gives, and it gives the same
// on a fresh channel as after a run. Between a non-final call and the final
// one it is refused, and the stream goes on untouched.
TEST(PipelineTest, OneShotNormalisationLeavesTheNextRunAlone) {
    tpdb* db = English();
    const std::vector<std::string> before = {"Thirty-two bytes of text, to go.", "Note <!-- unfinished",
                                             "Data <![CDATA[ open", "Tag <b attr='open", "caf\xc3",
                                             "<speak>Hi <voice name='x'/>there"};
    const char* next = "<speak>Hello <mark name='m'/>world.</speak>";
    for (int type : {QLTP_TPC_FULL, QLTP_TPC_SERVER, QLTP_TPC_NORM, QLTP_TPC_SPURT, QLTP_TPC_ABOOK, QLTP_TPC_BUILD}) {
        Channel fresh(db, type);
        QLTP_tpc_process(fresh.ch, next, -1, 1);
        ASSERT_FALSE(fresh.events.log.empty());
        for (const std::string& x : before) {
            for (int with_pos : {0, 1}) {
                SCOPED_TRACE(std::to_string(type) + " " + x + " " + std::to_string(with_pos));
                Channel c(db, type);
                const std::string first = QLTP_tpc_norm_pos(c.ch, x.c_str(), with_pos);
                QLTP_tpc_process(c.ch, next, -1, 1);
                EXPECT_EQ(c.events.log, fresh.events.log);
                EXPECT_EQ(c.events.text, fresh.events.text);
                EXPECT_EQ(c.events.words, fresh.events.words);
                EXPECT_EQ(c.events.shapes, fresh.events.shapes);
                EXPECT_EQ(QLTP_tpc_norm_pos(c.ch, x.c_str(), with_pos), first);
            }
        }
        SCOPED_TRACE(std::to_string(type) + " in the middle of a stream");
        Channel split(db, type), interrupted(db, type);
        for (Channel* c : {&split, &interrupted}) QLTP_tpc_process(c->ch, "<speak>Hello <!-- a ", -1, 0);
        ::testing::internal::CaptureStderr();
        EXPECT_STREQ(QLTP_tpc_norm(interrupted.ch, "Bye now."), "");
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("One-shot normalisation refused"), std::string::npos) << err;
        for (Channel* c : {&split, &interrupted}) QLTP_tpc_process(c->ch, "comment -->world.</speak>", -1, 1);
        EXPECT_EQ(interrupted.events.log, split.events.log);
        EXPECT_EQ(interrupted.events.text, split.events.text);
        EXPECT_EQ(interrupted.events.words, split.events.words);
        EXPECT_NE(QLTP_tpc_norm(interrupted.ch, "Bye now."), std::string());
    }
}

// Text with every comment taken out.
std::string Uncommented(std::string xml) {
    for (size_t at; (at = xml.find("<!--")) != std::string::npos;) {
        const size_t end = xml.find("-->", at);
        xml.erase(at, end == std::string::npos ? std::string::npos : end + 3 - at);
    }
    return xml;
}

// Abbreviation expansions, their inline tags and job ids reach the spurt XML
// unchecked by the tokeniser: control characters, bytes that are not UTF-8
// and names that are not markup names in them still give well-formed spurt
// and build output. A tag so named is not applied (its text stays), an
// attribute so named is dropped, each with a warning.
TEST(PipelineTest, ExpansionsKeepSpurtXmlWellFormed) {
    tpdb* db = English();
    struct Case {
        const char* expansion;
        const char* kept;     // text that stays outside comments
        const char* dropped;  // what never reaches the output
        const char* warning;
    };
    const Case cases[] = {
        {"\x01", "_", "", ""},
        {"\xff", "_", "", ""},
        {"a\xe2", "_", "", ""},
        {"\xef\xbf\xbf x", "_", "", ""},
        {"b:\x02\xc0", "_", "", ""},
        {"<b[ x='1'>yes", "yes", "b[", "Inline tag with an invalid name not applied"},
        {"<voic\xe9\xe9" "e>yes", "yes", "voic", "Inline tag with an invalid name not applied"},
        {"<b x[='1'>yes", "<b>", "x[", "Inline tag attribute with an invalid name dropped"},
        {"<b 1x='1' y='2'>yes", "<b y='2'>", "1x", "Inline tag attribute with an invalid name dropped"},
        {"<say-as intezpr[t-as='characters'>abc", "<say-as>", "intezpr", "attribute with an invalid name"},
        {"<break ti]e='5ms'/>yes", "yes", "ti]e", "attribute with an invalid name"},
    };
    for (const Case& c : cases) {
        for (int type : {QLTP_TPC_SPURT, QLTP_TPC_BUILD}) {
            SCOPED_TRACE(std::string(c.expansion) + " " + std::to_string(type));
            Events events;
            channel* ch = QLTP_tpc_newtype(db, nullptr, 1, "J\x03\xfe", type);
            ASSERT_NE(ch, nullptr);
            QLTP_tpc_set_text_callback(ch, on_text, &events);
            QLTP_logger_set_stderr(QLTP_tpc_get_logger(ch), 1);
            ASSERT_EQ(QLTP_tpc_add_abbreviation(ch, "zork", c.expansion, 0), 1);
            ::testing::internal::CaptureStderr();
            QLTP_tpc_process(ch, "We saw zork today.", -1, 1);
            const std::string err = ::testing::internal::GetCapturedStderr();
            QLTP_tpc_delete(ch);
            int spurts = 0;
            orvelle_test::SpurtXmlWords(events.text, &spurts);
            EXPECT_GT(spurts, 0) << events.text;
            EXPECT_NE(events.text.find("J__"), std::string::npos);
            EXPECT_NE(Uncommented(events.text).find(c.kept), std::string::npos) << events.text;
            if (*c.dropped) {
                EXPECT_EQ(events.text.find(c.dropped), std::string::npos) << events.text;
            }
            EXPECT_NE(err.find(c.warning), std::string::npos) << err;
        }
    }
}

// Lex elements in the markup meet the stages' own: a word without a
// pronunciation has its lex element commented out, and the elements that
// open or close on that word stay outside the comment; lex elements nested
// in the markup still give properly nested output. The output is well-formed
// and keeps every element.
TEST(PipelineTest, LexMarkupKeepsTheElementsAroundIt) {
    tpdb* db = English();
    struct Case {
        const char* markup;
        const char* element;
    };
    const Case cases[] = {{"<lex><b>, hello</b></lex>", "b"},
                          {"<lex><b>/r</b></lex>", "b"},
                          {"<speak><lex><emphasis>- yes</emphasis></lex></speak>", "emphasis"},
                          {"<speak><emphasis><lex>, <b>hello</b> -</lex></emphasis></speak>", "b"},
                          {"<lex><b>hello world</b></lex>", "b"},
                          {"<lex><b>hello <lex><b>world again</b></lex></b></lex>", "b"},
                          {"<speak><lex><mark name='m'/>, <say-as interpret-as='characters'>ab</say-as></lex></speak>",
                           "say-as"}};
    for (const Case& c : cases) {
        for (int type : {QLTP_TPC_SPURT, QLTP_TPC_BUILD}) {
            SCOPED_TRACE(std::string(c.markup) + " " + std::to_string(type));
            Channel ch(db, type);
            QLTP_tpc_process(ch.ch, c.markup, -1, 1);
            int spurts = 0;
            orvelle_test::SpurtXmlWords(ch.events.text, &spurts);
            EXPECT_GT(spurts, 0) << ch.events.text;
            const std::string out = Uncommented(ch.events.text);
            EXPECT_NE(out.find("<" + std::string(c.element)), std::string::npos) << ch.events.text;
            EXPECT_NE(out.find("</" + std::string(c.element) + ">"), std::string::npos) << ch.events.text;
        }
    }
}

// Undoing a rule override gives the token parsers the database's
// separators back: every type then gives what a channel never overridden
// gives (the override's set is freed by then).
TEST(PipelineTest, ResetRulesGivesTheParsersTheirSeparatorsBack) {
    tpdb* db = English();
    orvelle_test::ScratchDir dir;
    const std::string rules_path = dir.Path("reset_rules.xml");
    const std::string abbrev_path = dir.Path("reset_abbrev.txt");
    orvelle_test::WriteFile(rules_path, "<rules><regex name='separators'><![CDATA[^([-o])]]></regex></rules>\n");
    orvelle_test::WriteFile(abbrev_path, "Dr 1 doctor\n");
    const char* text = "Hello well-known world.";
    for (int type : {QLTP_TPC_NORM, QLTP_TPC_FULL, QLTP_TPC_SENTENCE}) {
        for (bool by_database : {false, true}) {
            SCOPED_TRACE(std::to_string(type) + (by_database ? " database reset" : " rules reset"));
            Channel fresh(db, type);
            QLTP_tpc_process(fresh.ch, text, -1, 1);
            Channel c(db, type);
            ::testing::internal::CaptureStdout();
            ASSERT_EQ(QLTP_tpc_override_normaliser(c.ch, rules_path.c_str(), abbrev_path.c_str()), 1);
            ::testing::internal::GetCapturedStdout();
            if (by_database) QLTP_tpc_reset_tpdb(c.ch, db);
            else QLTP_tpc_reset_rules(c.ch);
            QLTP_tpc_process(c.ch, text, -1, 1);
            EXPECT_EQ(c.events.log, fresh.events.log);
            EXPECT_EQ(c.events.text, fresh.events.text);
            EXPECT_EQ(c.events.words, fresh.events.words);
            EXPECT_FALSE(fresh.events.log.empty());
        }
    }
    std::remove(rules_path.c_str());
    std::remove(abbrev_path.c_str());
}

}  // namespace
