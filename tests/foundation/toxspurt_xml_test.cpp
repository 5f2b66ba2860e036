#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"

namespace {

struct PoolDeleter {
    void operator()(toxpool* p) const { QLTP_toxpool_delete(p); }
};
struct DystrDeleter {
    void operator()(dystr* d) const { QLTP_dystr_delete(d); }
};

struct Tag {
    const char* name;
    int type;
    std::vector<std::pair<std::string, std::string>> attributes;
};

struct Tok {
    std::string norm;
    std::string pos;
    std::vector<Tag> tags;
};

// Builds a spurt from a pool: the tokens in order, token 0 the pause.
class SpurtBuilder {
public:
    SpurtBuilder() : pool_(QLTP_toxpool_new(2, 8, 16)), out_(QLTP_dystr_new("", 0)) {}

    toxspurt* build(int id, const char* jobid, const std::vector<Tok>& tokens) {
        toxspurt* s = QLTP_toxpool_spurt(pool_.get());
        QLTP_toxspurt_setparent(s, this);
        QLTP_toxspurt_setid(s, id);
        jobid_ = jobid ? jobid : "";
        QLTP_toxspurt_set_jobid(s, jobid ? jobid_.data() : nullptr);
        for (const Tok& t : tokens) {
            toxtoken* token = QLTP_toxpool_token(pool_.get());
            QLTP_toxtoken_setparent(token, s);
            QLTP_toxtoken_set_norm(token, t.norm.c_str(), -1);
            QLTP_toxtoken_setpos(token, t.pos.c_str(), -1, nullptr, 0);
            for (const Tag& g : t.tags) {
                toxtag* tag = QLTP_toxpool_tag(pool_.get());
                QLTP_toxtag_init(tag, token, g.name, -1, g.type);
                for (const auto& [n, v] : g.attributes) QLTP_toxtag_set_attrib(tag, n.c_str(), -1, v.c_str(), -1);
                QLTP_toxtoken_addtag(token, tag);
            }
            QLTP_toxspurt_add(s, token);
        }
        return s;
    }

    std::string xml(toxspurt* s) {
        QLTP_toxspurt_xml(s, out_.get());
        return QLTP_dystr_cstr(out_.get());
    }

private:
    std::unique_ptr<toxpool, PoolDeleter> pool_;
    std::unique_ptr<dystr, DystrDeleter> out_;
    std::string jobid_;
};

Tag Break(const char* type, const char* time) { return {"break", QLTP_TAG_CLOSED, {{"type", type}, {"time", time}}}; }
Tag Lex(std::vector<std::pair<std::string, std::string>> a) { return {"lex", QLTP_TAG_STARTEND, std::move(a)}; }

TEST(SpurtXmlTest, WritesTheFixedLayout) {
    struct Case {
        const char* what;
        int id;
        const char* jobid;
        int phrases;
        std::vector<Tok> tokens;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"job id, phrase counts, pos and phonemes", 42, "CLIENT", 2,
         {{"", "", {{"mark", QLTP_TAG_CLOSED, {{"name", "qltk_0_0_0_5"}}}}},
          {"hello", "UH", {Lex({{"spron", "hh+ax0|l+ow1|"}, {"phonemes", "x"}, {"pos", "NN"}})}},
          {"world", "NN", {Lex({{"spron", "w+er1+l_d|"}}), Break("4", "0.400"),
                           {"mark", QLTP_TAG_CLOSED, {{"name", "qrln_final"}}}}}},
         "<spurt spurt_id='CLIENT_042' phrases='2' phrase='1' utt_words='0' utt_syls='0' pre_words='0' "
         "pre_syls='0' pst_words='0' pst_syls='0'>\n"
         "\t<pause>\n\t\t\n\t\t<mark name='qltk_0_0_0_5'/>\n\t</pause>\n"
         "\t<speech>\n"
         "\t\t<lex pos='UH' phonemes='hh ax0 . l ow1 . '>\n\t\t\thello\n\t\t</lex>\n"
         "\t\t<lex pos='NN'>\n\t\t\tworld\n\t\t</lex>\n"
         "\t</speech>\n"
         "\t<pause>\n\t\t<break type='4' time='0.400'/>\n\t\t<mark name='qrln_final'/>\n\t</pause>\n"
         "\n</spurt>\n"},
        {"unphrased, unpadded id, no job id", 1234, nullptr, 0,
         {{"", "", {}}, {"a", "", {{"w", QLTP_TAG_START, {}}}}, {"b", "", {{"w", QLTP_TAG_END, {}}}}},
         "<spurt spurt_id='1234'>\n\t<pause>\n\t\t\n\t</pause>\n\t<speech>\n"
         "\t\t<w>\n\t\t\ta\n\t\t\tb\n\t\t</w>\n\t</speech>\n\t<pause>\n\t\t\n\t</pause>\n\n</spurt>\n"},
        {"pause-only spurt splits its last break", 7, nullptr, 0,
         {{"", "", {Break("3", "0.100"), {"mark", QLTP_TAG_CLOSED, {{"name", "m"}}}, Break("4", "0.400")}}},
         "<spurt spurt_id='007'>\n\t<pause>\n\t\t<break type='3' time='0.100'/><mark name='m'/>"
         "<break type='4' time='0.200'/>\n\t</pause>\n\t<speech>\n\t</speech>\n\t<pause>\n\t\t"
         "<break type='4' time='0.200'/>\n\t</pause>\n</spurt>\n"},
        {"a break without a readable time splits as 0", 8, nullptr, 0,
         {{"", "", {Break("4", "soon")}}},
         "<spurt spurt_id='008'>\n\t<pause>\n\t\t<break type='4' time='0'/>\n\t</pause>\n\t<speech>\n"
         "\t</speech>\n\t<pause>\n\t\t<break type='4' time='0'/>\n\t</pause>\n</spurt>\n"},
        {"lex without spron is commented out, dashes broken up", 9, nullptr, 0,
         {{"", "", {}}, {"a--b-", "", {Lex({{"orth", "x--y"}})}}},
         "<spurt spurt_id='009'>\n\t<pause>\n\t\t\n\t</pause>\n\t<speech>\n"
         "\t\t<!--<lex orth='x- -y'>\n\t\t\ta- -b-\n\t\t</lex>-->\n\t</speech>\n\t<pause>\n\t\t\n\t</pause>\n\n</spurt>\n"},
        {"escapes text and attribute values; closed tags before the break", 10, "a'b&", 0,
         {{"", "", {}},
          {"R&D <x>", "", {{"sub", QLTP_TAG_STARTEND, {{"alias", "it's <\"ok\">"}}},
                           {"", QLTP_TAG_START, {}},
                           {"mark", QLTP_TAG_CLOSED, {{"name", "inner"}}}, Break("3", "0.1")}}},
         "<spurt spurt_id='a&apos;b&amp;_010'>\n\t<pause>\n\t\t\n\t</pause>\n\t<speech>\n"
         "\t\t<sub alias='it&apos;s &lt;\"ok\"&gt;'>\n\t\t\t<xmlfixemptyopen>\n\t\t\t\tR&amp;D &lt;x&gt;\n"
         "\t\t\t</xmlfixemptyopen>\n\t\t</sub>\n\t\t<mark name='inner'/>\n\t</speech>\n"
         "\t<pause>\n\t\t<break type='3' time='0.1'/>\n\t</pause>\n\n</spurt>\n"},
        {"another element's tags stay outside a commented-out lex", 12, nullptr, 0,
         {{"", "", {}},
          {",", "", {Lex({}), {"b", QLTP_TAG_START, {}}}},
          {"hello", "", {{"b", QLTP_TAG_END, {}}, Lex({{"spron", "hh+ax0|l+ow1|"}})}}},
         "<spurt spurt_id='012'>\n\t<pause>\n\t\t\n\t</pause>\n\t<speech>\n"
         "\t\t<!--<lex>\n\t\t\t--><b><!--\n\t\t\t\t,\n\t\t\t</lex>-->\n"
         "\t\t\t<lex>\n\t\t\t\thello\n\t\t\t</lex>\n\t\t</b>\n"
         "\t</speech>\n\t<pause>\n\t\t\n\t</pause>\n\n</spurt>\n"},
        {"tags and attributes not named as markup are not written", 13, nullptr, 0,
         {{"", "", {}},
          {"a", "", {{"b[", QLTP_TAG_START, {}}, {"sub", QLTP_TAG_STARTEND, {{"x[", "1"}, {"alias", "y"}, {"1x", "2"}}}}},
          {"b", "", {{"b[", QLTP_TAG_END, {}}, {"voic\xe9" "e", QLTP_TAG_CLOSED, {}}}}},
         "<spurt spurt_id='013'>\n\t<pause>\n\t\t\n\t</pause>\n\t<speech>\n"
         "\t\t<sub alias='y'>\n\t\t\ta\n\t\t</sub>\n\t\tb\n"
         "\t</speech>\n\t<pause>\n\t\t\n\t</pause>\n\n</spurt>\n"},
        {"elements nest whatever the tags say", 14, nullptr, 0,
         {{"", "", {}},
          {"a", "", {{"x", QLTP_TAG_START, {}}, {"y", QLTP_TAG_START, {}}}},
          {"b", "", {{"x", QLTP_TAG_END, {}}, {"z", QLTP_TAG_END, {}}}},
          {"c", "", {{"y", QLTP_TAG_END, {}}}},
          {"d", "", {{"w", QLTP_TAG_START, {{"k", "v"}}}}}},
         "<spurt spurt_id='014'>\n\t<pause>\n\t\t\n\t</pause>\n\t<speech>\n"
         "\t\t<x>\n\t\t\t<y>\n\t\t\t\ta\n\t\t\t\tb\n\t\t\t</y>\n\t\t</x>\n\t\t<y>\n\t\t\tc\n\t\t</y>\n"
         "\t\t<w k='v'>\n\t\t\td\n\t\t</w>\n"
         "\t</speech>\n\t<pause>\n\t\t\n\t</pause>\n\n</spurt>\n"},
    };
    // Pause-only spurts halve any pause without wrapping.
    const std::pair<const char*, std::string> halves[] = {{"1.5", "0.750"},
                                                          {"3000000.000", "1500000"},
                                                          {"4294967.297", "2147483.648"},
                                                          {"5000000000.001", "2500000000"},
                                                          {"99999999999999999999", "499999999999999.500"}};
    for (const auto& [time, half] : halves)
        cases.push_back({time, 11, nullptr, 0, {{"", "", {Break("4", time)}}},
                         "<spurt spurt_id='011'>\n\t<pause>\n\t\t<break type='4' time='" + half +
                             "'/>\n\t</pause>\n\t<speech>\n\t</speech>\n\t<pause>\n\t\t<break type='4' time='" + half +
                             "'/>\n\t</pause>\n</spurt>\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SpurtBuilder b;
        toxspurt* s = b.build(c.id, c.jobid, c.tokens);
        s->phrases = c.phrases;
        s->phrase = c.phrases ? 1 : 0;
        EXPECT_EQ(b.xml(s), c.expected);
        // Writing leaves the spurt as it was: a second write is the same.
        EXPECT_EQ(b.xml(s), c.expected);
    }
}

TEST(SpurtXmlTest, PauseOnlySpurtKeepsTheBreakTime) {
    SpurtBuilder b;
    toxspurt* s = b.build(1, nullptr, {{"", "", {Break("4", "0.400")}}});
    std::string xml = b.xml(s);
    size_t first = xml.find("time='0.200'"), second = xml.find("time='0.200'", first + 1);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(xml.find("<speech>"), second);
    EXPECT_GT(xml.find("<speech>"), first);
    toxtoken* pause = QLTP_toxtoken_cast(QLTP_voidparray_idx(s->tokens, 0));
    EXPECT_STREQ(QLTP_toxtoken_tagval(pause, "break", "time"), "0.400");
    EXPECT_EQ(b.xml(b.build(2, nullptr, {})), "");
}

void collect_text(xmlNode* node, std::string& out) {
    for (xmlNode* n = node; n; n = n->next) {
        if (n->type == XML_TEXT_NODE) {
            xmlChar* text = xmlNodeGetContent(n);
            out += reinterpret_cast<const char*>(text);
            xmlFree(text);
        }
        collect_text(n->children, out);
    }
}

// Parses a fragment of spurts inside a root element; NULL when it is not
// well-formed.
xmlDoc* Parse(const std::string& spurts) {
    const std::string doc = "<root>" + spurts + "</root>";
    return xmlReadMemory(doc.data(), static_cast<int>(doc.size()), nullptr, "UTF-8",
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

// Any bytes in words, attribute values and job ids give a well-formed
// fragment: words and attribute values read back whole, with each character
// XML does not allow and each run of bytes that is not UTF-8 read as "_".
TEST(SpurtXmlTest, RandomTextStaysWellFormedAndReadsBack) {
    std::mt19937 rng(2024);
    // Pieces as written and as read back; no piece begins with a
    // continuation byte, so pieces never join into another character.
    const std::vector<std::pair<std::string, std::string>> pieces = {
        {"a", "a"}, {"b", "b"}, {" ", " "}, {"-", "-"}, {"&", "&"}, {"<", "<"}, {">", ">"}, {"'", "'"},
        {"\"", "\""}, {"|", "|"}, {"+", "+"}, {"_", "_"}, {"!", "!"}, {"?", "?"}, {";", ";"},
        {"\xc3\xa9", "\xc3\xa9"}, {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}, {"\xef\xbf\xbd", "\xef\xbf\xbd"},
        {"\x01", "_"}, {"\x1f", "_"}, {"\x7f", "\x7f"}, {"\xff", "_"}, {"\xc0\xaf", "__"}, {"\xe2\x82", "_"},
        {"\xf0\x9f\x98", "_"}, {"\xef\xbf\xbe", "_"}, {"\xef\xbf\xbf", "_"}, {"\xed\xa0\x80", "___"},
        {"\xf4\x90\x80\x80", "____"}};
    auto word = [&](int max) {
        std::pair<std::string, std::string> w;
        for (int n = std::uniform_int_distribution<int>(1, max)(rng); n > 0; --n) {
            const auto& piece = pieces[rng() % pieces.size()];
            w.first += piece.first;
            w.second += piece.second;
        }
        return w;
    };
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(round);
        std::vector<Tok> tokens = {{"", "", {}}};
        std::string expected_text, expected_alias;
        int n = std::uniform_int_distribution<int>(1, 5)(rng);
        for (int i = 0; i < n; ++i) {
            auto [norm, norm_read] = word(8);
            Tok t{norm, word(3).first, {}};
            auto [alias, alias_read] = word(6);
            expected_alias += alias_read;
            t.tags.push_back({"sub", QLTP_TAG_STARTEND, {{"alias", alias}}});
            if (rng() % 2) t.tags.push_back(Lex({{"orth", word(4).first}}));
            else {
                t.tags.push_back(Lex({{"spron", word(4).first}, {"phonemes", "x"}, {"orth", word(4).first}}));
                expected_text += norm_read;
            }
            tokens.push_back(t);
        }
        tokens.back().tags.push_back(Break("4", "0.5"));
        SpurtBuilder b;
        const std::string xml = b.xml(b.build(round, word(3).first.c_str(), tokens));
        xmlDoc* parsed = Parse(xml);
        ASSERT_NE(parsed, nullptr) << xml;
        std::string text, alias;
        collect_text(xmlDocGetRootElement(parsed)->children, text);
        for (xmlNode* sp = xmlDocGetRootElement(parsed)->children; sp; sp = sp->next)
            for (xmlNode* part = sp->children; part; part = part->next)
                for (xmlNode* sub = part->children; sub; sub = sub->next)
                    if (sub->type == XML_ELEMENT_NODE && xmlStrEqual(sub->name, BAD_CAST "sub")) {
                        xmlChar* a = xmlGetProp(sub, BAD_CAST "alias");
                        alias += reinterpret_cast<const char*>(a);
                        xmlFree(a);
                    }
        xmlFreeDoc(parsed);
        std::string words;  // text without the layout's white space
        for (char c : text)
            if (c != '\n' && c != '\t') words += c;
        EXPECT_EQ(words, expected_text);
        EXPECT_EQ(alias, expected_alias);

        // Wholly random bytes anywhere a value goes, a pause-only spurt included.
        auto bytes = [&](int max) {
            std::string r;
            for (int k = std::uniform_int_distribution<int>(1, max)(rng); k > 0; --k)
                r += static_cast<char>(1 + rng() % 255);
            return r;
        };
        const std::vector<Tok> random = {
            {"", "", {{"mark", QLTP_TAG_CLOSED, {{"name", bytes(6)}}}, Break(bytes(2).c_str(), bytes(6).c_str())}},
            {bytes(12), bytes(4), {Lex({{"spron", bytes(6)}, {"phonemes", bytes(3)}, {"orth", bytes(8)}})}}};
        for (size_t count : {random.size(), size_t{1}}) {
            const std::string any = b.xml(b.build(round, bytes(5).c_str(), {random.begin(), random.begin() + count}));
            xmlDoc* doc = Parse(any);
            EXPECT_NE(doc, nullptr) << any;
            xmlFreeDoc(doc);
        }

        // Tags in any order and nesting, lex elements with and without a
        // pronunciation among them: the elements still nest, and each "b"
        // that starts is written.
        const char* names[] = {"lex", "lex", "b", "say-as", "mark", "x[", "", "break"};
        std::vector<Tok> soup = {{"", "", {}}};
        int starts = 0;
        for (int i = std::uniform_int_distribution<int>(1, 6)(rng); i > 0; --i) {
            Tok t{word(3).first, "NN", {}};
            for (int k = static_cast<int>(rng() % 5); k > 0; --k) {
                const char* name = names[rng() % std::size(names)];
                const int type = static_cast<int>(rng() % 5);
                Tag tag{name, type, {}};
                if (rng() % 2) tag.attributes.push_back({"spron", word(2).first});
                starts += std::string(name) == "b" && (type == QLTP_TAG_START || type == QLTP_TAG_STARTEND);
                t.tags.push_back(tag);
            }
            soup.push_back(t);
        }
        const std::string nested = b.xml(b.build(round, nullptr, soup));
        xmlDoc* doc = Parse(nested);
        ASSERT_NE(doc, nullptr) << nested;
        int written = 0;
        std::vector<xmlNode*> todo = {xmlDocGetRootElement(doc)};
        while (!todo.empty()) {
            xmlNode* node = todo.back();
            todo.pop_back();
            written += node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST "b");
            for (xmlNode* c = node->children; c; c = c->next) todo.push_back(c);
        }
        xmlFreeDoc(doc);
        EXPECT_GE(written, starts) << nested;
    }
}

}  // namespace
