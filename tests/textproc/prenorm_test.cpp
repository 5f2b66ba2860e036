#include "textproc/prenorm.h"

#include <gtest/gtest.h>

#include <string>

#include "rules_fixture.h"

namespace {

// Features 2 to 6 as the printed token shows them.
std::string features(const toxtoken* t) {
    std::string f;
    for (int i = QLTP_FEAT_DOWNCASED; i <= QLTP_FEAT_CAPITALISED; ++i) f += QLTP_toxtoken_getfeat(t, i) ? 'T' : 'F';
    return f;
}

TEST(PrenormTest, DowncasesConvertsAndRecordsWhatHappened) {
    orvelle_test::Nrules rules = orvelle_test::RulesFrom(R"(<rules>
<regex name='alpha'><![CDATA[^\p{L}]]></regex>
<lookup name='downcase'><![CDATA[{'H':'h','E':'e','L':'l','O':'o'}]]></lookup>
<lookup name='convertillegal'><![CDATA[{'@':'at','#':'H'}]]></lookup>
</rules>)");
    ASSERT_NE(rules, nullptr);
    struct Case {
        const char* norm;
        bool with_rules;
        const char* after;
        const char* features;  // downcased, alpha, other, converted, capitalised
    } cases[] = {
        {"Hello", true, "hello", "TTFFT"},  {"HELLO", true, "hello", "TTFFF"}, {"123", true, "123", "FFTFF"},
        {"", true, "", "FFFFT"},            {"x@y", true, "xaty", "FTFTF"},    {"#i", true, "hi", "TTFTT"},
        {"hEllo", true, "hello", "TTFFF"},  {"Hello", false, "Hello", "FFTFF"}, {"\xFF", true, "\xFF", "FFTFF"},
    };
    dystr* scratch = QLTP_dystr_new("", 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.norm);
        toxtoken* t = QLTP_toxtoken_new();
        QLTP_toxtoken_set_norm(t, c.norm, -1);
        toxtag* tag = QLTP_toxtag_new();
        QLTP_toxtoken_addtag(t, tag);
        EXPECT_EQ(QLTP_toxtoken_prenorm(c.with_rules ? rules.get() : nullptr, scratch, t), 1);
        EXPECT_STREQ(QLTP_toxtoken_getnorm(t), c.after);
        EXPECT_EQ(features(t), c.features);
        EXPECT_EQ(t->tagmark, 1);
        QLTP_toxtoken_delete(t);
        QLTP_toxtag_delete(tag);
    }
    EXPECT_EQ(QLTP_toxtoken_prenorm(rules.get(), scratch, nullptr), 0);
    QLTP_dystr_delete(scratch);
}

}  // namespace
