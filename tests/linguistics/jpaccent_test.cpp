#include "linguistics/jpaccent.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/dystr.h"

namespace {

TEST(JpaccentTest, AcconRulesPickTheFirstAlternativeThatHolds) {
  const struct {
    const char* rule;
    const char* pos;
    const char* text;
    int number, index;
  } cases[] = {
      {"N%a@2/b", "N-x", "a", 2, 0}, {"N%a@2/b", "V", "b", 0, 1},     {"N%V%a/b@1", "N", "b", 1, 1},
      {"N%a", "V", "*", 0, -1},      {"", "N", "*", 0, -1},           {"N-%a@3", "N-1", "a", 3, 0},
      {"a@x/b", "", "a", 0, 0},      {"NN%a/b", "N", "b", 0, 1},
  };
  dystr* out = QLTP_dystr_new("", 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.rule) + " after " + c.pos);
    int number = -9;
    EXPECT_EQ(QLTP_accentjp_get_aconrule(c.rule, c.pos, out, &number), c.index);
    EXPECT_STREQ(QLTP_dystr_cstr(out), c.text);
    EXPECT_EQ(number, c.number);
  }
  EXPECT_EQ(QLTP_accentjp_get_aconrule(nullptr, nullptr, nullptr, nullptr), -1);
  QLTP_dystr_delete(out);
}

}  // namespace
