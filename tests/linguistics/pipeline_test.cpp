#include "linguistics/pipeline.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "foundation/toxspurt.h"
#include "lg_fixture.h"
#include "linguistics/cbout.h"
#include "linguistics/lgout.h"
#include "linguistics/pbreak.h"
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

// A small English database: rules that strip punctuation and downcase, and
// a lexicon of the words the tests say.
class PipelineDb {
public:
    explicit PipelineDb(const std::string& lexicon = "main\nhello hh_ax0_l_ow1\nworld w_er1_l_d\nbye b_ay1\n")
        : db(QLTP_tpdb_new(nullptr)) {
        std::string rules = "<rules>\n<regex name='punc_strip'><![CDATA[^(\\W*)(.*?)(\\W*)$]]></regex>\n"
                            "<regex name='alpha'><![CDATA[[A-Za-z]]]></regex>\n<lookup name='downcase'><![CDATA[{";
        for (char c = 'A'; c <= 'Z'; ++c) rules += std::string(c == 'A' ? "" : ", ") + "'" + c + "':'" + char(c + 32) + "'";
        rules += "}]]></lookup>\n</rules>\n";
        ::testing::internal::CaptureStdout();
        nrules* set = QLTP_deserialise_nrules(nullptr, rules.c_str());
        ::testing::internal::GetCapturedStdout();
        pbreak* breaks = QLTP_deserialise_pbreak(
            "DEFAULT 1 0.05 1 0.05\nFORCED 2 0.1 0 0\n, 2 0.2 0 0\n. 4 0.4 0 0\n? 4 0.4 0 0\n! 4 0.4 0 0\n");
        const std::string path = orvelle_test::TempPath("pipeline.tpdb");
        orvelle_test::WriteTestDb(path, {{"TPOBJ_NRULES:DEFAULT", set},
                                         {"TPOBJ_PBREAK:DEFAULT", breaks},
                                         {"TPOBJ_LGPHONEMAP:DEFAULT", nullptr,
                                          orvelle_test::StrMapImage("TPOBJ_LGPHONEMAP", {})},
                                         {"TPOBJ_LGPOSMAP:DEFAULT", nullptr,
                                          orvelle_test::StrMapImage("TPOBJ_LGPOSMAP", {{"NN", "1"}})},
                                         {"TPOBJ_LEXMGR:DEFAULT", nullptr, TextObject("main:0")},
                                         {"TPOBJ_LEXHASH:MAIN", nullptr, TextObject(lexicon)}});
        QLTP_nrules_delete(set);
        QLTP_pbreak_delete(breaks);
        EXPECT_EQ(QLTP_tpdb_load(db, path.c_str()), 1);
        std::remove(path.c_str());
    }
    ~PipelineDb() { QLTP_tpdb_delete(db); }
    tpdb* db;
};

// What a channel gave: text deliveries, application tags, and the words of
// each spurt handed to the phrase callback ("norm/spron" items).
struct Events {
    std::vector<std::string> log;  // "T" text, "A<tag>" application tag, "P" spurt, in order
    std::string text;
    std::vector<std::string> words;
    std::vector<int> last;
    std::vector<std::string> unknown;  // words left silent after letter-to-sound
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
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
        const toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
        if (QLTP_cbout_isempty(t)) {
            const char* lts = QLTP_toxtoken_tagval(t, "lex", "ltsused");
            if (lts && std::string(lts) == "true") e->unknown.push_back(QLTP_toxtoken_getnorm(t));
            continue;
        }
        e->words.push_back(std::string(QLTP_toxtoken_getnorm(t)) + "/" + QLTP_toxtoken_tagval(t, "lex", "spron"));
    }
}

struct Channel {
    Channel(tpdb* db, int type, int markup = 1) : ch(QLTP_tpc_newtype(db, nullptr, markup, "J", type)) {
        EXPECT_NE(ch, nullptr) << type;
        QLTP_tpc_set_text_callback(ch, on_text, &events);
        QLTP_tpc_set_application_callback(ch, on_tag, &events);
        QLTP_tpc_set_phrase_callback(ch, on_spurt, &events, 0, 0);
    }
    ~Channel() { QLTP_tpc_delete(ch); }
    channel* ch;
    Events events;
};

// The words of spurt XML, "norm/phonemes", from a document of spurts.
std::vector<std::string> xml_words(const std::string& spurts, int* count) {
    std::string doc = "<root>" + spurts + "</root>";
    xmlDoc* parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), nullptr, "UTF-8",
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    std::vector<std::string> words;
    *count = -1;
    if (!parsed) return words;
    *count = 0;
    std::vector<xmlNode*> todo = {xmlDocGetRootElement(parsed)};
    while (!todo.empty()) {
        xmlNode* n = todo.back();
        todo.pop_back();
        for (xmlNode* c = n->last; c; c = c->prev) todo.push_back(c);
        if (n->type != XML_ELEMENT_NODE) continue;
        if (xmlStrEqual(n->name, BAD_CAST "spurt")) ++*count;
        if (!xmlStrEqual(n->name, BAD_CAST "lex")) continue;
        xmlChar* text = xmlNodeGetContent(n);
        xmlChar* phonemes = xmlGetProp(n, BAD_CAST "phonemes");
        std::string w = reinterpret_cast<const char*>(text);
        w.erase(0, w.find_first_not_of("\n\t"));
        w.erase(w.find_last_not_of("\n\t") + 1);
        words.push_back(w + "/" + (phonemes ? reinterpret_cast<const char*>(phonemes) : ""));
        xmlFree(text);
        xmlFree(phonemes);
    }
    xmlFreeDoc(parsed);
    return words;
}

TEST(PipelineTest, EveryTypeRunsTheChainToItsOutput) {
    PipelineDb db;
    const std::vector<std::string> sprons = {"hello/hh_ax0_l_ow1", "world/w_er1_l_d"};
    for (int type : {QLTP_TPC_FULL, QLTP_TPC_SENTENCE, QLTP_TPC_SERVER}) {
        SCOPED_TRACE(type);
        Channel c(db.db, type, 0);
        QLTP_tpc_process(c.ch, "Hello world.", -1, 1);
        EXPECT_EQ(c.events.words, sprons);
        ASSERT_FALSE(c.events.last.empty());
        EXPECT_EQ(c.events.last.back(), 1);
        EXPECT_TRUE(c.events.text.empty());
    }
    std::string spurt_xml;
    for (int type : {QLTP_TPC_SPURT, QLTP_TPC_BUILD}) {
        SCOPED_TRACE(type);
        Channel c(db.db, type, 0);
        QLTP_tpc_process(c.ch, "Hello world.", -1, 1);
        int spurts = 0;
        EXPECT_EQ(xml_words(c.events.text, &spurts),
                  std::vector<std::string>({"hello/hh ax0 l ow1", "world/w er1 l d"}));
        EXPECT_GE(spurts, 1);
        // Without reduction, archiphone or accent data the two types agree.
        if (type == QLTP_TPC_SPURT) {
            spurt_xml = c.events.text;
        } else {
            EXPECT_EQ(c.events.text, spurt_xml);
        }
    }
    for (int type : {QLTP_TPC_NORM, QLTP_TPC_ABOOK}) {
        SCOPED_TRACE(type);
        Channel c(db.db, type, 0);
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

// Two application tags in a final call give three passes, the tag after
// each of the first two; a non-final call stops at its first tag.
TEST(PipelineTest, ApplicationTagsCutPasses) {
    PipelineDb db;
    const char* text = "<speak>Hello <voice name='x'/>world <voice name='y'/>bye.</speak>";
    Channel full(db.db, QLTP_TPC_FULL);
    QLTP_tpc_process(full.ch, text, -1, 1);
    EXPECT_EQ(full.events.words, std::vector<std::string>({"hello/hh_ax0_l_ow1", "world/w_er1_l_d", "bye/b_ay1"}));
    std::vector<std::string> tags;
    for (const std::string& e : full.events.log)
        if (e[0] == 'A') tags.push_back(e);
    EXPECT_EQ(tags, std::vector<std::string>({"A<voice name='x'/>", "A<voice name='y'/>"}));
    // Spurts of "hello" come before the first tag, of "bye" after the second.
    EXPECT_EQ(full.events.log.front(), "P");
    EXPECT_EQ(full.events.log.back(), "P");

    // A non-final call handles at most one tag; the final call the rest.
    Channel spurt(db.db, QLTP_TPC_SPURT);
    QLTP_tpc_process(spurt.ch, text, -1, 0);
    int early = 0;
    for (const std::string& e : spurt.events.log) early += e[0] == 'A';
    EXPECT_LE(early, 1);
    QLTP_tpc_process(spurt.ch, "", 0, 1);
    tags.clear();
    for (const std::string& e : spurt.events.log)
        if (e[0] == 'A') tags.push_back(e);
    EXPECT_EQ(tags, std::vector<std::string>({"A<voice name='x'/>", "A<voice name='y'/>"}));
    int spurts = 0;
    EXPECT_EQ(xml_words(spurt.events.text, &spurts),
              std::vector<std::string>({"hello/hh ax0 l ow1", "world/w er1 l d", "bye/b ay1"}));
}

// Input cut into small non-final pieces gives the words of one final call,
// and running the same text again takes no new objects from the pool.
TEST(PipelineTest, PiecesGiveTheWordsOfOneCallAndReuseThePool) {
    PipelineDb db;
    std::string text;
    for (int i = 0; i < 300; ++i) text += i % 7 == 6 ? "Bye. " : "Hello world, hello. ";
    Channel whole(db.db, QLTP_TPC_FULL, 0);
    QLTP_tpc_process(whole.ch, text.c_str(), -1, 1);
    Channel pieces(db.db, QLTP_TPC_FULL, 0);
    for (size_t at = 0; at < text.size(); at += 37)
        QLTP_tpc_process(pieces.ch, text.c_str() + at, static_cast<int>(std::min<size_t>(37, text.size() - at)), 0);
    QLTP_tpc_process(pieces.ch, "", 0, 1);
    EXPECT_EQ(whole.events.words.size(), 258u * 3 + 42);
    EXPECT_EQ(pieces.events.words, whole.events.words);

    auto objects = [&] {
        const toxpool* pool = whole.ch->pool;
        return std::vector<int>({QLTP_voidparray_sz(pool->spurts.objects), QLTP_voidparray_sz(pool->tokens.objects),
                                 QLTP_voidparray_sz(pool->tags.objects)});
    };
    ASSERT_NE(whole.ch->pool, nullptr);
    std::vector<int> after_first = objects();
    QLTP_tpc_process(whole.ch, text.c_str(), -1, 1);
    EXPECT_EQ(objects(), after_first);
}

// A paragraph of dictionary words through the full type: every word gets
// the dictionary's pronunciation, and the spurt type writes the same spurts
// as well-formed XML.
TEST(PipelineTest, DictionaryWordsGetTheirPronunciation) {
    std::vector<orvelle_test::CmuEntry> entries = orvelle_test::ReadCmuDict();
    ASSERT_GT(entries.size(), 100000u) << orvelle_test::kCmuDictPath;
    std::string lexicon = "main\n";
    std::map<std::string, std::string> spron;
    std::map<std::string, int> seen;
    for (const auto& e : entries) {
        std::string phones = orvelle_test::CmuToQrln(e, '_');
        lexicon += e.word + " " + phones + "\n";
        spron[e.word] = phones;
        ++seen[e.word];
    }
    PipelineDb db(lexicon);
    const std::string paragraph =
        "The river ran quietly past the old mill, and the children watched the water from the bridge. "
        "Nobody knew when the miller would return; some said he had gone to the city, others that he had "
        "simply grown tired of the valley. Would the wheel ever turn again? The youngest girl thought so. "
        "She climbed down to the bank every morning, listened for the creak of wood, and waited. "
        "One grey afternoon a cart came slowly along the road, loaded with sacks and tools, and a tall man "
        "walked beside it, whistling a tune that none of them had heard before. \"Is this the mill?\" he "
        "asked, and the girl nodded, too surprised to speak.";
    Channel full(db.db, QLTP_TPC_FULL, 0);
    QLTP_tpc_process(full.ch, paragraph.c_str(), -1, 1);
    size_t checked = 0;
    for (const std::string& w : full.events.words) {
        std::string word = w.substr(0, w.find('/'));
        ASSERT_TRUE(spron.count(word)) << word;
        if (seen[word] != 1) continue;
        EXPECT_EQ(w.substr(w.find('/') + 1), spron[word]) << word;
        ++checked;
    }
    // "creak" is no dictionary word, and the database has no letter-to-sound
    // trees: it is tried by letter-to-sound and stays silent.
    EXPECT_EQ(full.events.words.size(), 114u);
    EXPECT_EQ(full.events.unknown, std::vector<std::string>({"creak"}));
    EXPECT_GT(checked, 80u);

    Channel spurt(db.db, QLTP_TPC_SPURT, 0);
    QLTP_tpc_process(spurt.ch, paragraph.c_str(), -1, 1);
    int spurts = 0;
    EXPECT_EQ(xml_words(spurt.events.text, &spurts).size(), full.events.words.size());
    int phrases = 0;
    for (const std::string& e : full.events.log) phrases += e == "P";
    EXPECT_EQ(spurts, phrases);
}

void to_lg(cbout*, void* user, toxspurt* spurt, int, int) {
    auto* lg = static_cast<std::pair<lgout*, std::string>*>(user);
    voidparray* one = QLTP_voidparray_new();
    QLTP_voidparray_add(one, spurt);
    lg->second += QLTP_lgout_process(lg->first, one, spurt->last);
    QLTP_voidparray_delete(one);
}

// lg text written from the phrase callback: one sentence per sentence of
// the input, whose positions give back the sentence as written.
TEST(PipelineTest, LgSentencesPointBackIntoTheInput) {
    PipelineDb db;
    const std::string text = "Hello world. Bye, hello world!  World hello bye.";
    channel* ch = QLTP_tpc_newtype(db.db, nullptr, 0, "J", QLTP_TPC_FULL);
    ASSERT_NE(ch, nullptr);
    std::pair<lgout*, std::string> lg(QLTP_lgout_new(ch), "");
    QLTP_tpc_set_phrase_callback(ch, to_lg, &lg, 0, 0);
    QLTP_tpc_process(ch, text.c_str(), -1, 1);
    std::vector<std::string> sentences;
    std::vector<int> words;
    int start = -1;
    for (size_t at = 0; at < lg.second.size();) {
        size_t end = lg.second.find('\n', at);
        std::string line = lg.second.substr(at, end - at);
        at = end + 1;
        std::string key = line.substr(0, line.find(' '));
        int value = std::atoi(line.c_str() + key.size());
        if (key == "nNumberOfWords") words.push_back(value);
        if (key == "nSentenceStartPos") start = value;
        if (key == "nSentenceEndPos" && words.back() > 0) {
            ASSERT_GE(start, 0);
            ASSERT_LE(static_cast<size_t>(value), text.size());
            sentences.push_back(text.substr(static_cast<size_t>(start), static_cast<size_t>(value - start)));
        }
    }
    EXPECT_EQ(sentences, std::vector<std::string>({"Hello world.", "Bye, hello world!", "World hello bye."}))
        << lg.second;
    QLTP_lgout_delete(lg.first);
    QLTP_tpc_delete(ch);
}

}  // namespace
