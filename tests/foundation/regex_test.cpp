#include "foundation/regex.h"

#include <gtest/gtest.h>

#include "cpu_time.h"
#include "small_stack.h"
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct RegexDeleter {
  void operator()(QLTP_regex* re) const { QLTP_regex_free(re); }
};
using Regex = std::unique_ptr<QLTP_regex, RegexDeleter>;

Regex Compile(const char* pattern, int options = 0) {
  return Regex(QLTP_regex_compile(pattern, -1, options));
}

TEST(RegexTest, MatchFillsThirtyOffsetsWithUnsetGroupsAsMinusOne) {
  Regex re = Compile("(a)(x)?(b+)");
  ASSERT_TRUE(re);
  int ov[QLTP_REGEX_OVECSIZE];
  ASSERT_EQ(QLTP_regex_exec(re.get(), "zzabbb!", -1, 0, ov), 4);
  EXPECT_EQ(ov[0], 2);
  EXPECT_EQ(ov[1], 6);
  EXPECT_EQ(ov[2], 2);
  EXPECT_EQ(ov[3], 3);
  EXPECT_EQ(ov[4], -1);
  EXPECT_EQ(ov[5], -1);
  EXPECT_EQ(ov[6], 3);
  EXPECT_EQ(ov[7], 6);
  EXPECT_EQ(ov[8], -1);
  EXPECT_EQ(QLTP_regex_capture_count(re.get()), 3);
}

TEST(RegexTest, NoMatchStartOffsetsAndLengthsAreRespected) {
  Regex re = Compile("b+");
  int ov[QLTP_REGEX_OVECSIZE];
  EXPECT_EQ(QLTP_regex_exec(re.get(), "aaa", 3, 0, ov), 0);
  EXPECT_EQ(ov[0], -1);
  EXPECT_EQ(QLTP_regex_exec(re.get(), "abab", 4, 2, ov), 1);
  EXPECT_EQ(ov[0], 3);
  EXPECT_EQ(QLTP_regex_exec(re.get(), "aab", 2, 0, ov), 0);  // the b lies beyond len
  EXPECT_EQ(QLTP_regex_exec(re.get(), "ab", 2, 3, ov), 0);   // start past the end
  EXPECT_EQ(QLTP_regex_exec(re.get(), "ab", 2, -1, ov), 0);
  EXPECT_EQ(QLTP_regex_exec(nullptr, "ab", 2, 0, ov), 0);
  EXPECT_EQ(QLTP_regex_exec(re.get(), nullptr, 2, 0, ov), 0);
  EXPECT_EQ(QLTP_regex_exec(re.get(), "b", -1, 0, nullptr), 1);
}

TEST(RegexTest, MoreGroupsThanPairsReportsAFullVector) {
  std::string pattern;
  for (int i = 0; i < 20; ++i) pattern += "(a)";
  Regex re = Compile(pattern.c_str());
  int ov[QLTP_REGEX_OVECSIZE];
  EXPECT_EQ(QLTP_regex_exec(re.get(), std::string(20, 'a').c_str(), -1, 0, ov), 15);
  EXPECT_EQ(ov[28], 13);
  EXPECT_EQ(ov[29], 14);
}

TEST(RegexTest, CompilesInUtf8ModeWithOptionalDotAll) {
  Regex dot = Compile("^.$");
  int ov[QLTP_REGEX_OVECSIZE];
  EXPECT_EQ(QLTP_regex_exec(dot.get(), "\xC3\xA9", -1, 0, ov), 1);  // one character, two bytes
  EXPECT_EQ(ov[1], 2);
  EXPECT_EQ(QLTP_regex_exec(dot.get(), "\n", -1, 0, ov), 0);
  Regex dotall = Compile("^.$", QLTP_REGEX_DOTALL);
  EXPECT_EQ(QLTP_regex_exec(dotall.get(), "\n", -1, 0, ov), 1);
  Regex range = Compile("^[\\x{C0}-\\x{D6}]+");
  EXPECT_EQ(QLTP_regex_exec(range.get(), "\xC3\x80\xC3\x96x", -1, 0, ov), 1);
  EXPECT_EQ(ov[1], 4);
}

TEST(RegexTest, BadPatternGivesNullAndAMessage) {
  char err[128] = "";
  EXPECT_EQ(QLTP_regex_compile("a(b", -1, 0, err, sizeof err), nullptr);
  EXPECT_NE(std::strstr(err, "offset 3"), nullptr) << err;
  EXPECT_EQ(QLTP_regex_compile(nullptr, -1, 0, err, sizeof err), nullptr);
  EXPECT_EQ(QLTP_regex_compile("\xC3", -1, 0), nullptr);  // a pattern must be UTF-8 itself
  char tiny[4];
  EXPECT_EQ(QLTP_regex_compile("(", -1, 0, tiny, sizeof tiny), nullptr);
  EXPECT_EQ(std::strlen(tiny), 3u);
  QLTP_regex_free(nullptr);
}

TEST(RegexTest, InvalidUtf8IsNoMatchWhileTheCheckIsOn) {
  Regex re = Compile("b");
  const char bad[] = "a\xC3(b";
  EXPECT_EQ(QLTP_regex_exec(re.get(), bad, -1, 0, nullptr), 0);
  EXPECT_EQ(QLTP_regex_exec(re.get(), "a\xC3\xA9" "b", -1, 0, nullptr), 1);
}

// Inputs that make a backtracking matcher run for astronomically long (or,
// with a recursive matcher, overflow the stack) end as "no match" quickly,
// even on a thread with a 1 MB stack: twice the input takes at most about
// twice the time, where a backtracking search would explode.
TEST(RegexTest, CatastrophicBacktrackingEndsAsNoMatchOnA1MBStack) {
  struct Case {
    std::string pattern;
    std::string subject;
  };
  auto cases = [](int k) {
    std::string decl = "<?";
    for (int i = 0; i < 5000 * k; ++i) decl += "a?";
    std::string nested(12000 * static_cast<size_t>(k), 'a');
    std::string spaced = "<a";
    for (int i = 0; i < 3000 * k; ++i) spaced += "  b";
    const std::string n = std::to_string(40 * k);
    return std::vector<Case>{
        {"^(<\\?([^?]*(\\?[^>])?)*\\?>)", decl},
        {"^(<\\?([^?]*(\\?[^>])?)*\\?>)", decl + "a>"},
        {"^(a+)+$", nested + "b"},
        {"^(a|aa)+$", nested + "b"},
        {"^(\\w+\\s?)*$", std::string(3000 * static_cast<size_t>(k), 'x') + "!"},
        {"(^<[a-z]*([\\s]+[a-z]*[\\s]*=[^\\s>]*|[\\s]+[a-z]*[\\s]*)*[\\s]*>)", spaced + "  \"x"},
        {"^((a?){" + n + "}a{" + n + "})$", std::string(40 * static_cast<size_t>(k), 'a') + "b"},
        {"^(a(?1)?b)$", std::string(6000 * static_cast<size_t>(k), 'a') +
                            std::string(6000 * static_cast<size_t>(k) - 1, 'b')},  // deep recursion
        {"^(x+x+)+y", std::string(40 * static_cast<size_t>(k), 'x')},
    };
  };
  const std::vector<Case> small = cases(1), large = cases(2);
  RunOnSmallStack([&] {
    for (size_t i = 0; i < small.size(); ++i) {
      SCOPED_TRACE(small[i].pattern);
      Regex re_small = Compile(small[i].pattern.c_str()), re_large = Compile(large[i].pattern.c_str());
      ASSERT_TRUE(re_small && re_large);
      auto run = [](const Regex& re, const std::string& subject) {
        int ov[QLTP_REGEX_OVECSIZE];
        return QLTP_regex_exec(re.get(), subject.data(), static_cast<int>(subject.size()), 0, ov,
                               QLTP_REGEX_VALID_UTF8);
      };
      EXPECT_EQ(run(re_small, small[i].subject), 0);
      EXPECT_EQ(run(re_large, large[i].subject), 0);
      const double ratio = orvelle_test::CpuTimeRatio([&] { run(re_small, small[i].subject); },
                                                      [&] { run(re_large, large[i].subject); });
      EXPECT_LT(ratio, 8.0) << "twice the input took " << ratio << " times the CPU time";
    }
  });
}

TEST(RegexTest, LegitimateLongMatchesStillSucceedOnA1MBStack) {
  RunOnSmallStack([] {
    Regex re = Compile("^<a( [a-z]+=\"[^\"]*\")*>");
    std::string tag = "<a";
    for (int i = 0; i < 2000; ++i) tag += " x=\"" + std::string(20, 'v') + "\"";
    tag += ">";
    int ov[QLTP_REGEX_OVECSIZE];
    EXPECT_GT(QLTP_regex_exec(re.get(), tag.data(), static_cast<int>(tag.size()), 0, ov), 0);
    EXPECT_EQ(ov[1], static_cast<int>(tag.size()));
  });
}

TEST(RegexTest, ConcurrentMatchesOnOnePatternAgree) {
  Regex re = Compile("(\\d+)-(\\d+)");
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        std::string s = "x" + std::to_string(t) + "-" + std::to_string(i) + "y";
        int ov[QLTP_REGEX_OVECSIZE];
        if (QLTP_regex_exec(re.get(), s.c_str(), -1, 0, ov) != 3 ||
            s.substr(ov[4], ov[5] - ov[4]) != std::to_string(i))
          ++failures;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(RegexTest, SharedSetIsCompiledOnceAndAFailedSetIsNotKept) {
  static const QLTP_regex_spec words[] = {{"^(\\w+)", 0}, {"^(a.b)", QLTP_REGEX_DOTALL}};
  static const QLTP_regex_spec same_text[] = {{"^(\\w+)", 0}, {"^(a.b)", QLTP_REGEX_DOTALL}};
  static const QLTP_regex_spec broken[] = {{"^a", 0}, {"^b", 0}, {"(unclosed", 0}};

  // Threads asking at once all get the one table, with its NULL entry.
  std::vector<QLTP_regex* const*> seen(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { seen[t] = QLTP_regex_shared_set(words, 2); });
  for (auto& th : threads) th.join();
  ASSERT_NE(seen[0], nullptr);
  for (auto* table : seen) EXPECT_EQ(table, seen[0]);
  EXPECT_EQ(seen[0][2], nullptr);
  int ov[QLTP_REGEX_OVECSIZE];
  EXPECT_EQ(QLTP_regex_exec(seen[0][1], "a\nb", -1, 0, ov), 2);  // options kept
  // A set is named by its array, not by its text.
  QLTP_regex* const* other = QLTP_regex_shared_set(same_text, 2);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, seen[0]);

  // A pattern that does not compile refuses the set, every time it is asked.
  for (int attempt = 0; attempt < 2; ++attempt) {
    char err[200] = "";
    EXPECT_EQ(QLTP_regex_shared_set(broken, 3, err, static_cast<int>(sizeof err)), nullptr);
    EXPECT_EQ(std::string(err).rfind("pattern 2: ", 0), 0u) << err;
    EXPECT_NE(std::strstr(err, " at offset "), nullptr) << err;
  }
  EXPECT_EQ(QLTP_regex_shared_set(nullptr, 1), nullptr);
}

TEST(RegexTest, ImageRoundTripMatchesLikeTheOriginal) {
  Regex re = Compile("^(\\w+)\\s*=\\s*(.*)$", QLTP_REGEX_DOTALL);
  int32_t size = QLTP_regex_image_sz(re.get());
  ASSERT_GT(size, 20);
  std::vector<char> image(static_cast<size_t>(size));
  EXPECT_EQ(QLTP_regex_image(re.get(), image.data(), size - 1), 0);  // too small: refused
  ASSERT_EQ(QLTP_regex_image(re.get(), image.data(), size), size);
  char err[200] = "";
  Regex copy(QLTP_regex_from_image(image.data(), size, err, sizeof err));
  ASSERT_TRUE(copy) << err;
  int a[QLTP_REGEX_OVECSIZE], b[QLTP_REGEX_OVECSIZE];
  const char* text = "key = multi\nline";
  ASSERT_EQ(QLTP_regex_exec(re.get(), text, -1, 0, a), 3);
  ASSERT_EQ(QLTP_regex_exec(copy.get(), text, -1, 0, b), 3);
  EXPECT_EQ(0, std::memcmp(a, b, sizeof a));
  EXPECT_EQ(QLTP_regex_image_sz(nullptr), 0);
}

TEST(RegexTest, DamagedOrForeignImagesAreRefusedWithAReason) {
  Regex re = Compile("abc+");
  int32_t size = QLTP_regex_image_sz(re.get());
  std::vector<char> good(static_cast<size_t>(size));
  ASSERT_EQ(QLTP_regex_image(re.get(), good.data(), size), size);
  char err[200];

  auto refused = [&](std::vector<char> image, const char* why) {
    err[0] = '\0';
    QLTP_regex* r = QLTP_regex_from_image(image.data(), static_cast<int32_t>(image.size()), err, sizeof err);
    EXPECT_EQ(r, nullptr) << why;
    QLTP_regex_free(r);
    EXPECT_NE(err[0], '\0') << why;
    return std::string(err);
  };
  std::vector<char> truncated(good.begin(), good.end() - 1);
  refused(truncated, "truncated");
  refused(std::vector<char>(good.begin(), good.begin() + 10), "header only");
  std::vector<char> flipped = good;
  flipped[flipped.size() / 2] ^= 0x40;
  EXPECT_NE(refused(flipped, "damaged").find("damaged"), std::string::npos);
  std::vector<char> foreign = good;
  foreign[4] ^= 0x01;  // another PCRE2 minor version
  EXPECT_NE(refused(foreign, "foreign").find("PCRE2"), std::string::npos);
  std::vector<char> magic = good;
  magic[0] = 'X';
  refused(magic, "magic");
  EXPECT_EQ(QLTP_regex_from_image(nullptr, 100, nullptr, 0), nullptr);
  EXPECT_EQ(QLTP_regex_from_image(good.data(), -5, nullptr, 0), nullptr);
}

}  // namespace
