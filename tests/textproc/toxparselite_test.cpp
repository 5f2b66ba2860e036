#include "textproc/toxparselite.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/utf8.h"
#include "real_text.h"
#include "scratch_dir.h"
#include "textproc/channel.h"

namespace {

struct ChannelDeleter {
    void operator()(channel* ch) const { QLTP_tpc_delete(ch); }
};
using Channel = std::unique_ptr<channel, ChannelDeleter>;
struct ParserDeleter {
    void operator()(toxparselite* p) const { QLTP_toxparselite_delete(p); }
};
using Parser = std::unique_ptr<toxparselite, ParserDeleter>;

// A tk channel for settings, logger and database; max_token_length set when
// given.
struct LiteParser {
    orvelle_test::ScratchDir dir;
    std::string path;
    Channel ch;
    Parser p;
    explicit LiteParser(const char* max_token_length = nullptr) {
        if (max_token_length) {
            path = dir.Path("lite.xml");
            FILE* f = std::fopen(path.c_str(), "w");
            std::fprintf(f, "<tpconfig><toxparselite max_token_length='%s'/></tpconfig>\n", max_token_length);
            std::fclose(f);
        }
        ch.reset(QLTP_tpc_newtype(nullptr, max_token_length ? path.c_str() : nullptr, 1, "T", QLTP_TPC_TK));
        p.reset(QLTP_toxparselite_new(ch.get()));
    }
    ~LiteParser() {
        p.reset();
        if (!path.empty()) std::remove(path.c_str());
    }
    // Tokens of a text fed in pieces cut at the given offsets (none: one call).
    std::vector<toxtoken*> run(const std::string& text, std::vector<size_t> cuts = {}) {
        std::vector<toxtoken*> tokens;
        cuts.push_back(text.size());
        size_t at = 0;
        for (size_t i = 0; i < cuts.size(); ++i) {
            size_t end = std::max(at, std::min(cuts[i], text.size()));
            toxstream* s = QLTP_toxparselite_process(p.get(), text.data() + at, static_cast<int>(end - at),
                                                     i + 1 == cuts.size());
            for (int k = 0; k < QLTP_voidparray_sz(s); ++k)
                tokens.push_back(static_cast<toxtoken*>(QLTP_voidparray_idx(s, k)));
            at = end;
        }
        return tokens;
    }
};

std::string print(const std::vector<toxtoken*>& tokens) {
    dystr* out = QLTP_dystr_new("", 0);
    for (toxtoken* t : tokens) QLTP_toxtoken_print(t, out);
    std::string s = QLTP_dystr_cstr(out);
    QLTP_dystr_delete(out);
    return s;
}

std::string texts(const std::vector<toxtoken*>& tokens, const char* sep = "|") {
    std::string s;
    for (toxtoken* t : tokens) s += std::string(QLTP_toxtoken_get(t)) + sep;
    return s;
}

TEST(ToxParseLiteTest, WorkedTexts) {
    struct Case {
        const char* text;
        const char* max;
        const char* printed;
    } cases[] = {
        {"Hi there", nullptr,
         " 0 {[] -1  [][][FFFFF]} p \n"
         "Hi 1 {[] -1  [][][FFFFF]} p mark closed {'name': '2_2_2_2'},parent start {}\n"
         "there 2 {[] -1  [][][FFFFF]} p mark closed {'name': '8_8_5_5'},parent end {}\n"},
        {"word", nullptr,
         " 0 {[] -1  [][][FFFFF]} p \nword 1 {[] -1  [][][FFFFF]} p mark closed {'name': '4_4_4_4'},parent startend {}\n"},
        {"a-b", nullptr,
         " 0 {[] -1  [][][FFFFF]} p \n"
         "a 1 {[] -1  [][][FFFFF]} p mark closed {'name': '1_1_1_1'},parent start {}\n"
         "- 2 {[] -1  [][][FFFFF]} p parent mid {}\n"
         "b 3 {[] -1  [][][FFFFF]} p mark closed {'name': '3_3_1_1'},parent end {}\n"},
        {"\xC3\xA9t\xC3\xA9\xC2\xA0x", nullptr,
         " 0 {[] -1  [][][FFFFF]} p \n"
         "\xC3\xA9t\xC3\xA9 1 {[] -1  [][][FFFFF]} p mark closed {'name': '3_5_3_5'},parent start {}\n"
         "x 2 {[] -1  [][][FFFFF]} p mark closed {'name': '5_8_1_1'},parent end {}\n"},
        // Ill-formed bytes are one character "_" each, counted by their bytes.
        {"a\xFF\xC3z", nullptr,
         " 0 {[] -1  [][][FFFFF]} p \na__z 1 {[] -1  [][][FFFFF]} p mark closed {'name': '4_4_4_4'},parent startend {}\n"},
        {"abcd", "0",
         " 0 {[] -1  [][][FFFFF]} p \n"
         "a 1 {[] -1  [][][FFFFF]} p mark closed {'name': '1_1_1_1'},parent start {}\n"
         "b 2 {[] -1  [][][FFFFF]} p mark closed {'name': '2_2_1_1'},parent mid {}\n"
         "c 3 {[] -1  [][][FFFFF]} p mark closed {'name': '3_3_1_1'},parent mid {}\n"
         "d 4 {[] -1  [][][FFFFF]} p mark closed {'name': '4_4_1_1'},parent end {}\n"},
        {"", nullptr, " 0 {[] -1  [][][FFFFF]} p \n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        LiteParser s(c.max);
        int warnings = QLTP_logger_no_warnings(s.ch->log);
        std::vector<toxtoken*> tokens = s.run(c.text);
        EXPECT_EQ(print(tokens), c.printed);
        EXPECT_EQ(QLTP_logger_no_warnings(s.ch->log) - warnings, *c.text ? 0 : 1);
    }
    LiteParser s;
    std::vector<toxtoken*> hi = s.run("Hi there");
    EXPECT_EQ(QLTP_toxtoken_getfeat(hi[1], QLTP_FEAT_WHITESPACE), 1);
    EXPECT_EQ(QLTP_toxtoken_getfeat(hi[2], QLTP_FEAT_WHITESPACE), 0);
    EXPECT_EQ(QLTP_toxtag_get_fellow(QLTP_toxtoken_gettag(hi[2], "parent")), QLTP_toxtoken_gettag(hi[1], "parent"));
    EXPECT_EQ(s.ch->pool, s.p->pool);
    EXPECT_EQ(QLTP_voidparray_sz(QLTP_toxparselite_process(s.p.get(), nullptr, 5, 1)), 1);
    toxstream* negative = QLTP_toxparselite_process(s.p.get(), "one two", -1, 1);
    EXPECT_EQ(QLTP_voidparray_sz(negative), 3);
}

TEST(ToxParseLiteTest, LongWordsAreCutAtCharacterBoundaries) {
    LiteParser s;
    std::string word(70, 'w');
    std::vector<toxtoken*> tokens = s.run(word + " x");
    ASSERT_EQ(tokens.size(), 5u);
    std::vector<size_t> sizes;
    for (size_t i = 1; i < 4; ++i) sizes.push_back(std::strlen(QLTP_toxtoken_get(tokens[i])));
    EXPECT_EQ(sizes, std::vector<size_t>({30, 30, 10}));
    int c, b, nc, nb;
    QLTP_toxtoken_getcharpos(tokens[2], &c, &b, &nc, &nb);
    EXPECT_EQ(std::vector<int>({c, b, nc, nb}), std::vector<int>({60, 60, 30, 30}));
    EXPECT_EQ(QLTP_toxtoken_getfeat(tokens[2], QLTP_FEAT_WHITESPACE), 0);
    EXPECT_EQ(QLTP_toxtoken_getfeat(tokens[3], QLTP_FEAT_WHITESPACE), 1);

    // A word past 255 bytes is pushed on its own first; fed whole or byte by
    // byte, the pieces are the same.
    std::string huge(600, 'h');
    std::vector<size_t> each;
    for (size_t i = 1; i < huge.size(); ++i) each.push_back(i);
    tokens = s.run(huge);
    EXPECT_EQ(print(s.run(huge, each)), print(tokens));
    ASSERT_EQ(tokens.size(), 1u + 9 + 9 + 3);
    EXPECT_EQ(std::strlen(QLTP_toxtoken_get(tokens[9])), 15u);

    // Two-byte characters are never split: 16 of them give pieces of 30 and 2 bytes.
    std::string e;
    for (int i = 0; i < 16; ++i) e += "\xC3\xA9";
    tokens = s.run(e);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(std::strlen(QLTP_toxtoken_get(tokens[1])), 30u);
    EXPECT_EQ(std::strlen(QLTP_toxtoken_get(tokens[2])), 2u);
}

// Real text, whole and in random pieces (cuts inside characters included):
// the same tokens, texts that give back the input without white space, and
// marks that point at each token's bytes.
TEST(ToxParseLiteTest, RealTextWholeAndInPieces) {
    std::vector<std::string> inputs = {orvelle_test::KingJames("Gen1:1-Gen5:32")};
    for (const char* path : orvelle_test::kUtf8Fortunes) inputs.push_back(orvelle_test::ReadText(path).substr(0, 60000));
    std::mt19937 rng(106);
    for (const std::string& input : inputs) {
        ASSERT_GT(input.size(), 10000u) << "test data missing: run scripts/setup.sh";
        LiteParser s;
        std::vector<toxtoken*> tokens = s.run(input);
        std::string whole = print(tokens);
        std::string expected;
        for (size_t i = 0; i < input.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(input[i]);
            if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
            if (c == 0xC2 && i + 1 < input.size() && static_cast<unsigned char>(input[i + 1]) == 0xA0) {
                ++i;
                continue;
            }
            expected += input[i];
        }
        EXPECT_EQ(texts(tokens, ""), expected);
        int marks = 0;
        for (toxtoken* t : tokens) {
            int c, b, nc, nb;
            if (!QLTP_toxtoken_getcharpos(t, &c, &b, &nc, &nb)) continue;
            ++marks;
            ASSERT_EQ(input.substr(static_cast<size_t>(b - nb), static_cast<size_t>(nb)), QLTP_toxtoken_get(t));
            ASSERT_EQ(QLTP_u8_count(input.data(), static_cast<size_t>(b)), c);
            ASSERT_EQ(QLTP_u8_count(input.data() + b - nb, static_cast<size_t>(nb)), nc);
        }
        EXPECT_GT(marks, 1000);
        for (int round = 0; round < 5; ++round) {
            std::vector<size_t> cuts;
            for (size_t at = 0; at < input.size(); at += 1 + rng() % 4096) cuts.push_back(at);
            ASSERT_EQ(print(s.run(input, cuts)), whole);
        }
        // One byte per call, on a short stretch with two-byte characters.
        std::string part = input.substr(0, 3000);
        std::vector<size_t> bytes;
        for (size_t i = 0; i < part.size(); ++i) bytes.push_back(i);
        EXPECT_EQ(print(s.run(part, bytes)), print(s.run(part)));
    }
}

}  // namespace
