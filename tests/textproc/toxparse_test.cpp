#include "textproc/toxparse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/utf8.h"
#include "real_text.h"
#include "rules_fixture.h"
#include "scratch_dir.h"
#include "textproc/channel.h"

namespace {

struct ChannelDeleter {
    void operator()(channel* ch) const { QLTP_tpc_delete(ch); }
};
using Channel = std::unique_ptr<channel, ChannelDeleter>;
struct ParserDeleter {
    void operator()(toxparse* p) const { QLTP_toxparse_delete(p); }
};
using Parser = std::unique_ptr<toxparse, ParserDeleter>;

Channel tk_channel(int xml_input = 1) { return Channel(QLTP_tpc_newtype(nullptr, nullptr, xml_input, "T", QLTP_TPC_TK)); }

// Rules whose separators lack "-", so a trailing hyphen stays in the word,
// and that know one more entity.
nrules* rules_without_hyphen() {
    static orvelle_test::Nrules set = orvelle_test::RulesFrom(R"(<rules>
<regex name='separators'><![CDATA[^([+=/@])]]></regex>
<lookup name='xml_entities'><![CDATA[{'eacute':'é'}]]></lookup>
</rules>)");
    return set.get();
}

// Every token of a whole run, in order: the outputs of all calls.
struct Tokens {
    std::vector<toxtoken*> tokens;
    void take(const toxstream* s) {
        for (int i = 0; i < QLTP_voidparray_sz(s); ++i) tokens.push_back(static_cast<toxtoken*>(QLTP_voidparray_idx(s, i)));
    }
    std::string print() const {
        dystr* out = QLTP_dystr_new("", 0);
        for (toxtoken* t : tokens) QLTP_toxtoken_print(t, out);
        std::string s = QLTP_dystr_cstr(out);
        QLTP_dystr_delete(out);
        return s;
    }
    std::string texts(const char* sep = "|") const {
        std::string s;
        for (toxtoken* t : tokens) s += std::string(QLTP_toxtoken_get(t)) + sep;
        return s;
    }
};

Tokens parse(toxparse* p, const std::string& markup, size_t piece = 0) {
    Tokens run;
    if (piece == 0) piece = markup.size() + 1;
    for (size_t at = 0;; at += piece) {
        size_t n = std::min(piece, markup.size() - std::min(at, markup.size()));
        bool final = at + piece >= markup.size();
        run.take(QLTP_toxparse_process(p, markup.data() + std::min(at, markup.size()), static_cast<int>(n), final));
        if (final) break;
    }
    return run;
}

// The chain invariants over a parsed stream: tags owned by their token;
// start, startend and closed tags without fellow; a mid or end tag linked to
// the same element's open tag on the token before; every element's copies
// run start (mid)* end, or startend.
void check_chains(const Tokens& run) {
    for (size_t k = 0; k < run.tokens.size(); ++k) {
        const toxtoken* t = run.tokens[k];
        ASSERT_NE(t->parent, nullptr);
        for (int i = 0; i < QLTP_toxtoken_notags(t); ++i) {
            const toxtag* tag = QLTP_toxtoken_tagidx(t, i);
            SCOPED_TRACE(QLTP_toxtag_name(tag));
            ASSERT_EQ(tag->parent, t);
            if (tag->type == QLTP_TAG_START || tag->type == QLTP_TAG_STARTEND || tag->type == QLTP_TAG_CLOSED) {
                ASSERT_EQ(tag->fellow, nullptr);
                continue;
            }
            ASSERT_GT(k, 0u);
            ASSERT_NE(tag->fellow, nullptr);
            ASSERT_EQ(tag->fellow->parent, run.tokens[k - 1]);
            ASSERT_STREQ(QLTP_toxtag_name(tag->fellow), QLTP_toxtag_name(tag));
            ASSERT_TRUE(tag->fellow->type == QLTP_TAG_START || tag->fellow->type == QLTP_TAG_MID);
        }
        // An open tag continues on the next token.
        for (int i = 0; i < QLTP_toxtoken_notags(t); ++i) {
            const toxtag* tag = QLTP_toxtoken_tagidx(t, i);
            if (tag->type != QLTP_TAG_START && tag->type != QLTP_TAG_MID) continue;
            if (k + 1 == run.tokens.size()) continue;
            bool followed = false;
            for (int j = 0; j < QLTP_toxtoken_notags(run.tokens[k + 1]); ++j)
                followed |= QLTP_toxtoken_tagidx(run.tokens[k + 1], j)->fellow == tag;
            ASSERT_TRUE(followed) << "open element not continued";
        }
    }
}

std::string mark(const char* name) { return "mark closed {'name': '" + std::string(name) + "'}"; }

TEST(ToxParseTest, TokeniserMarkupOfHelloWorld) {
    Channel ch = tk_channel(0);
    std::string markup = QLTP_tpc_process(ch.get(), "Hello, world", -1, 1);
    Parser p(QLTP_toxparse_new(ch.get()));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ch->pool, p->pool);
    Tokens run = parse(p.get(), markup);
    EXPECT_EQ(run.print(),
              " 0 {[] -1  [][][FFFFF]} p " + mark("qltk_0_0_6_6") + "\n" +
              "Hello, 1 {[] -1  [][][FFFFF]} p parent start {}," + mark("qltk_7_7_5_5") + "\n" +
              "world 2 {[] -1  [][][FFFFF]} p parent end {}," + mark("qrln_final") + "\n");
    EXPECT_EQ(QLTP_toxtoken_getfeat(run.tokens[1], QLTP_FEAT_WHITESPACE), 1);
    EXPECT_EQ(QLTP_toxtoken_getfeat(run.tokens[2], QLTP_FEAT_WHITESPACE), 0);
    int a, b, c, d;
    EXPECT_EQ(QLTP_toxtoken_getcharpos(run.tokens[1], &a, &b, &c, &d), 1);
    EXPECT_EQ(std::vector<int>({a, b, c, d}), std::vector<int>({7, 7, 5, 5}));
    ASSERT_NO_FATAL_FAILURE(check_chains(run));
}

TEST(ToxParseTest, WordsElementsAndEntities) {
    struct Case {
        const char* markup;
        const char* texts;   // token texts after the seed, "|" after each
        const char* detail;  // a fragment of the printed stream, or ""
        int unknown;         // references replaced by a space
        int mismatched = 0;  // close tags naming another element
    } cases[] = {
        {"a+b", "a|+|b|", "", 0},
        {"<p>one</p> two", "one|two|", "one 1 {[] -1  [][][FFFFF]} p p startend {}", 0},
        {"x <b/>y", "x|y|", "x 1 {[] -1  [][][FFFFF]} p b closed {}", 0},
        {"<s n='1'>a b c</s>", "a|b|c|", "b 2 {[] -1  [][][FFFFF]} p s mid {'n': '1'}", 0},
        {"&#x41;&#66;&amp;&lt;&quot;", "AB&<\"|", "", 0},
        {"a&#0;b", "a|b|", "", 1},
        {"a&#xD800;b&#x110000;c", "a|b|c|", "", 2},
        {"a&#99999999999;b", "a|b|", "", 1},
        {"a&nosuch;b", "a|b|", "", 1},
        {"<e v='&lt;&#x41;&bogus;'>w</e>", "w|", "e startend {'v': '<A '}", 1},
        {"tail after the last tag", "tail|after|the|last|tag|", "", 0},
        {"</x>stray", "stray|", "", 0},
        // A close tag naming another element ends nothing: the copy stays open.
        {"<p>a</q>b", "a|b|", "a 1 {[] -1  [][][FFFFF]} p p start {}\nb 2 {[] -1  [][][FFFFF]} p \n", 0, 1},
        {"<p><s>a b</p></s>c", "a|b|c|", "b 2 {[] -1  [][][FFFFF]} p p mid {},s mid {}\nc", 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.markup);
        Channel ch = tk_channel();
        Parser p(QLTP_toxparse_new(ch.get()));
        int before = QLTP_logger_no_warnings(ch->log), errors = QLTP_logger_no_errors(ch->log);
        testing::internal::CaptureStderr();
        Tokens run = parse(p.get(), c.markup);
        std::string err = testing::internal::GetCapturedStderr();
        ASSERT_GE(run.tokens.size(), 1u);
        run.tokens.erase(run.tokens.begin());
        EXPECT_EQ(run.texts(), c.texts);
        EXPECT_NE(run.print().find(c.detail), std::string::npos) << run.print();
        EXPECT_EQ(QLTP_logger_no_warnings(ch->log) - before, c.unknown);
        EXPECT_EQ(QLTP_logger_no_errors(ch->log) - errors, c.mismatched);
        if (std::strncmp(c.markup, "</x>", 4) == 0) {
            EXPECT_EQ(err, "ERROR toxparse: critical parser error, close tag 'x', no open tag left\n");
        }
        for (toxtoken* t : run.tokens) EXPECT_EQ(std::strlen(QLTP_toxtoken_get(t)) > 0, true);
    }
}

TEST(ToxParseTest, LineBreaksAndLongWords) {
    Channel ch = tk_channel();
    Parser p(QLTP_toxparse_new(ch.get()));
    // The break sets feature 1 on the token it ends, wherever blanks stand
    // around it: an indented line keeps the break before it.
    struct Case {
        const char* text;
        const char* breaks;  // feature 1 of each token after the seed
    } cases[] = {
        {"one\n two  three\nfour", "1010"}, {"Hello\n world", "10"},   {"Hello \nworld", "10"},
        {"Hello\n\t \tworld", "10"},       {"Hello\r\n  world", "10"}, {"a  b \n\n  c", "010"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        QLTP_toxparse_reset(p.get(), ch.get());
        Tokens run = parse(p.get(), c.text);
        std::string breaks;
        for (size_t i = 1; i < run.tokens.size(); ++i) breaks += QLTP_toxtoken_getfeat(run.tokens[i], QLTP_FEAT_LINEBREAK) ? '1' : '0';
        EXPECT_EQ(breaks, c.breaks);
    }

    // A word longer than max_token_length ends with its character data: the
    // next piece of text (here a reference) starts a new token.
    std::string word(200, 'w');
    EXPECT_EQ(parse(p.get(), word + "&amp;b").texts(), "|" + word + "|&b|");
    EXPECT_EQ(parse(p.get(), "abc&amp;b").texts(), "|abc&b|");
}

// The look-ahead takes 1..8192 and anything else as 8192; a negative token
// length pushes every word at the end of its character data, never an empty one.
TEST(ToxParseTest, SettingsFromTheChannelConfiguration) {
    struct Case {
        const char* attributes;
        int context;
    } cases[] = {
        {"", 4096},
        {"context_size='100'", 100},
        {"context_size='8192'", 8192},
        {"context_size='abc'", 8192},
        {"context_size=''", 8192},
        {"context_size='0'", 8192},
        {"context_size='-3'", 8192},
        {"context_size='8193'", 8192},
        {"context_size='4294967396'", 8192},
        {"context_size='99999999999999999999999'", 8192},
        {"max_token_length='-1'", 4096},
        {"max_token_length='0'", 4096},
    };
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("toxparse_tpconfig.xml");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attributes);
        {
            std::ofstream f(path, std::ios::trunc);
            f << "<tpconfig><toxparse " << c.attributes << "/></tpconfig>\n";
        }
        Channel ch(QLTP_tpc_newtype(nullptr, path.c_str(), 1, "T", QLTP_TPC_TK));
        ASSERT_NE(ch, nullptr);
        Parser p(QLTP_toxparse_new(ch.get()));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->context_size, c.context);
        for (size_t piece : {size_t{0}, size_t{1}, size_t{3}}) {
            QLTP_toxparse_reset(p.get(), ch.get());
            Tokens run = parse(p.get(), "<p>ab cd</p> <q>e</q>", piece);
            EXPECT_EQ(run.texts(), "|ab|cd|e|") << piece;
            ASSERT_NO_FATAL_FAILURE(check_chains(run));
        }
    }
    std::remove(path.c_str());
}

TEST(ToxParseTest, HyphenatedLineEndJoinsOnlyInTheZone) {
    struct Case {
        int column;
        const char* texts;
    } cases[] = {{55, "example|"}, {16, "exam-|ple|"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.column);
        // The hyphen stays in the word: the joined text drops it.
        Channel ch = tk_channel();
        Parser p(QLTP_toxparse_new(ch.get()));
        QLTP_toxparse_set_separators(p.get(), ch.get(), rules_without_hyphen());
        std::string markup = "<s>" + std::string(static_cast<size_t>(c.column - 6), 'x') + " exam-\nple</s>";
        Tokens run = parse(p.get(), markup);
        ASSERT_GE(run.tokens.size(), 2u);
        run.tokens.erase(run.tokens.begin(), run.tokens.begin() + 2);
        EXPECT_EQ(run.texts(), c.texts);
        if (c.column == 16) {
            EXPECT_EQ(QLTP_toxtoken_getfeat(run.tokens[0], QLTP_FEAT_LINEBREAK), 1);
        }
    }
}

TEST(ToxParseTest, RuleSetSeparatorsAndEntities) {
    Channel ch = tk_channel();
    Parser p(QLTP_toxparse_new(ch.get()));
    ASSERT_EQ(QLTP_toxparse_set_separators(p.get(), ch.get(), rules_without_hyphen()), 1);
    EXPECT_EQ(parse(p.get(), "caf&eacute; a-b c+d &nosuch;").texts(), "|caf\xC3\xA9|a-b|c|+|d|");
    // Without a database there is no rule set: back to the default separators.
    EXPECT_EQ(QLTP_toxparse_set_separators(p.get(), ch.get(), nullptr), 1);
    EXPECT_EQ(p->rules, nullptr);
    EXPECT_EQ(parse(p.get(), "a-b").texts(), "|a|-|b|");
}

TEST(ToxParseTest, JoiningATokenAlreadyPushedKeepsTheElementsLinked) {
    // "exam-" is pushed at the blank before the break; the break in the zone
    // then takes it back and joins it with "ple".
    std::string pad(50, 'x');
    for (std::string markup : {"<s>" + pad + " <b>exam- \nple</b></s>",
                               "<s>" + pad + " exam- \nple</s>", "<s>" + pad + " <b>exam-</b> \nple</s>"}) {
        SCOPED_TRACE(markup);
        Channel ch = tk_channel();
        Parser p(QLTP_toxparse_new(ch.get()));
        QLTP_toxparse_set_separators(p.get(), ch.get(), rules_without_hyphen());
        std::string whole;
        for (size_t piece : {size_t{0}, size_t{1}}) {
            QLTP_toxparse_reset(p.get(), ch.get());
            Tokens run = parse(p.get(), markup, piece);
            EXPECT_EQ(run.texts(), "|" + pad + "|example|");
            ASSERT_NO_FATAL_FAILURE(check_chains(run));
            if (piece == 0) whole = run.print();
            else EXPECT_EQ(run.print(), whole);
        }
    }
}

// Random markup: nesting, empty elements, references at the extremes, line
// breaks inside and outside the hyphen zone. Byte by byte or whole, the
// tokens are the same and every chain is sound.
TEST(ToxParseTest, RandomMarkupOneByteAtATimeEqualsOneCall) {
    std::mt19937 rng(14);
    const char* words[] = {"alpha", "be-",   "ta",     "x+y",   "&#x41;",  "&#0;",     "&#x10FFFF;", "&#xD800;",
                           "&amp;", "&zz;",  "\n",     " ",     "  \n",    "long-",    "\xC3\xA9t\xC3\xA9", "\xFF",
                           "a/b",   "-",     "&#99999999999;", "q"};
    const char* names[] = {"s", "p", "emph", "voice"};
    for (int round = 0; round < 300; ++round) {
        std::string markup;
        std::vector<std::string> open;
        for (int step = 0, n = 5 + static_cast<int>(rng() % 60); step < n; ++step) {
            switch (rng() % 6) {
                case 0: {
                    std::string name = names[rng() % 4];
                    markup += "<" + name + (rng() % 2 ? " k='v&amp;w'" : "") + ">";
                    open.push_back(name);
                    break;
                }
                case 1:
                    if (!open.empty()) {
                        markup += "</" + open.back() + ">";
                        open.pop_back();
                    }
                    break;
                case 2: markup += "<mark name='m" + std::to_string(step) + "'/>"; break;
                default: markup += std::string(rng() % 3 ? " " : "") + words[rng() % 20];
            }
            if (rng() % 4 == 0) markup += std::string(40 + rng() % 30, 'z') + " ";
        }
        while (!open.empty()) {
            markup += "</" + open.back() + ">";
            open.pop_back();
        }
        SCOPED_TRACE(markup);
        Channel ch = tk_channel();
        Parser p(QLTP_toxparse_new(ch.get()));
        if (round % 2) QLTP_toxparse_set_separators(p.get(), ch.get(), rules_without_hyphen());
        Tokens whole = parse(p.get(), markup);
        std::string expected = whole.print();
        ASSERT_NO_FATAL_FAILURE(check_chains(whole));
        for (toxtoken* t : whole.tokens) {
            const char* text = QLTP_toxtoken_get(t);
            ASSERT_EQ(QLTP_check_utf8(text, static_cast<int>(std::strlen(text)), nullptr), -1) << text;
        }
        QLTP_toxparse_reset(p.get(), ch.get());
        Tokens bytes = parse(p.get(), markup, 1);
        ASSERT_NO_FATAL_FAILURE(check_chains(bytes));
        EXPECT_EQ(bytes.print(), expected);
    }
}

std::string without_space(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == ' ' || (c >= '\t' && c <= '\r')) continue;
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xA0) {
            ++i;
            continue;
        }
        out += s[i];
    }
    return out;
}

// Real text through the tokeniser and the parser: the tokens give back the
// input without its white space, and every token mark's run is the text of
// the tokens it stands before.
TEST(ToxParseTest, RealTextThroughTheTokeniser) {
    std::vector<std::string> texts = {orvelle_test::KingJames("Gen1:1-Gen12:20")};
    for (const char* path : orvelle_test::kUtf8Fortunes) texts.push_back(orvelle_test::ReadText(path));
    for (const std::string& input : texts) {
        ASSERT_GT(input.size(), 10000u) << "test data missing: run scripts/setup.sh";
        Channel ch = tk_channel(0);
        std::string markup = QLTP_tpc_process(ch.get(), input.data(), static_cast<int>(input.size()), 1);
        Parser p(QLTP_toxparse_new(ch.get()));
        Tokens run = parse(p.get(), markup, 4096);
        ASSERT_NO_FATAL_FAILURE(check_chains(run));
        std::string joined = run.texts("");
        // Words broken by a hyphen at a wrapped line end come back joined.
        EXPECT_EQ(joined, without_space(input));

        // Runs: each mark stands on the token before the run it measures.
        std::string pending;
        int run_start = -1, run_bytes = 0, checked = 0;
        for (toxtoken* t : run.tokens) {
            if (run_start >= 0) pending += QLTP_toxtoken_get(t);
            int c, b, nc, nb;
            if (!QLTP_toxtoken_getcharpos(t, &c, &b, &nc, &nb)) continue;
            if (run_start >= 0) {
                // Text the tokeniser leaves outside runs (escaped markup) may follow.
            std::string expected = without_space(input.substr(static_cast<size_t>(run_start), static_cast<size_t>(run_bytes)));
            ASSERT_EQ(pending.substr(0, expected.size()), expected);
                ++checked;
            }
            pending.clear();
            run_start = b;
            run_bytes = nb;
        }
        EXPECT_GT(checked, 1000);
    }
}

}  // namespace

namespace {

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// Start tags nested past 256 are dropped with their end tags and a warning
// each time the bound is crossed; their words stay, and the elements around
// them close where they should.
TEST(ToxParseTest, ElementsPastTheNestingBoundAreDroppedWithTheirEndTags) {
    struct Case {
        std::string markup;
        std::vector<int> tags;  // tags on each token after the seed
        int warnings;
    };
    std::vector<int> rising, held;
    for (int k = 1; k <= 300; ++k) rising.push_back(std::min(k, 256));
    held = {256, 256, 0};
    std::vector<int> unclosed = rising;
    rising.push_back(0);
    const Case cases[] = {
        {repeat("<e>w ", 300) + repeat("</e>", 300) + "tail", rising, 1},
        {repeat("<p>x ", 300), unclosed, 1},
        {repeat("<e>", 256) + "<b>a</b><b>b</b>" + repeat("</e>", 256) + "tail", held, 2},
        {repeat("<e>", 255) + "<b>a</b>" + repeat("</e>", 255) + "tail", {256, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.markup.substr(0, 40));
        std::string once;
        for (size_t piece : {size_t{0}, size_t{7}}) {
            Channel ch = tk_channel();
            Parser p(QLTP_toxparse_new(ch.get()));
            const int before = QLTP_logger_no_warnings(ch->log);
            Tokens run = parse(p.get(), c.markup, piece);
            EXPECT_EQ(QLTP_logger_no_warnings(ch->log) - before, c.warnings);
            ASSERT_NO_FATAL_FAILURE(check_chains(run));
            std::vector<int> tags;
            for (size_t k = 1; k < run.tokens.size(); ++k) tags.push_back(QLTP_toxtoken_notags(run.tokens[k]));
            EXPECT_EQ(tags, c.tags);
            if (piece == 0) once = run.print();
            else EXPECT_EQ(run.print(), once);
        }
    }
}

}  // namespace
