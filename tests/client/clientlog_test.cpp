// The client log's line format, levels, locale and thread safety.
#include "client/clientlog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <locale>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::regex kLine(R"((\d{4})(\d{2})(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) ([A-Z0-9]+): (.*))");

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

int calls = 0;
int Counted() { return ++calls; }

struct GroupingPunct : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};

}  // namespace

TEST(ClientLogTest, ErrorLineHasUtcStampLevelTextAndNewline) {
  // The system clock reads the same clock as the log; time() may read a
  // coarser one that is still in the previous second.
  std::time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  testing::internal::CaptureStderr();
  FILE_LOG(logERROR) << "x";
  std::string out = testing::internal::GetCapturedStderr();
  std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());

  ASSERT_EQ(out.size(), 31u) << out;  // 21-character stamp, " ERROR: x\n"
  ASSERT_EQ(out.back(), '\n');
  std::smatch m;
  std::string line = out.substr(0, out.size() - 1);
  ASSERT_TRUE(std::regex_match(line, m, kLine)) << out;
  EXPECT_EQ(m[8], "ERROR");
  EXPECT_EQ(m[9], "x");

  std::tm tm{};
  tm.tm_year = std::stoi(m[1]) - 1900;
  tm.tm_mon = std::stoi(m[2]) - 1;
  tm.tm_mday = std::stoi(m[3]);
  tm.tm_hour = std::stoi(m[4]);
  tm.tm_min = std::stoi(m[5]);
  tm.tm_sec = std::stoi(m[6]);
  std::time_t stamp = timegm(&tm);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);
}

TEST(ClientLogTest, FormatsEveryFieldWithFixedWidth) {
  EXPECT_EQ(FormatLogTime({2024, 3, 7, 4, 5, 6, 5}), "20240307 04:05:06.005");
  EXPECT_EQ(FormatLogTime({2009, 12, 31, 23, 59, 59, 999}), "20091231 23:59:59.999");
  EXPECT_EQ(FormatLogTime({2030, 1, 1, 0, 0, 0, 0}), "20300101 00:00:00.000");
}

TEST(ClientLogTest, WritesErrorWarningAndInfoButNoDebugLevel) {
  const TLogLevel levels[] = {logERROR,  logWARNING, logINFO,   logDEBUG,
                              logDEBUG1, logDEBUG2,  logDEBUG3, logDEBUG4};
  const char* names[] = {"ERROR", "WARNING", "INFO", "DEBUG", "DEBUG1", "DEBUG2", "DEBUG3", "DEBUG4"};
  EXPECT_EQ(FILELog::ReportingLevel(), logINFO);
  for (int i = 0; i < 8; ++i) {
    calls = 0;
    testing::internal::CaptureStderr();
    FILE_LOG(levels[i]) << "message " << Counted();
    std::string out = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(FILELog::ToString(levels[i]), names[i]);
    if (i <= 2) {
      EXPECT_EQ(calls, 1);
      EXPECT_NE(out.find(std::string(" ") + names[i] + ": message 1\n"), std::string::npos) << out;
    } else {
      EXPECT_EQ(calls, 0) << names[i] << " formatted its text";
      EXPECT_EQ(out, "");
    }
  }
}

TEST(ClientLogTest, NumbersIgnoreTheGlobalLocale) {
  std::locale old = std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
  testing::internal::CaptureStderr();
  FILE_LOG(logWARNING) << "length is " << 64001u;
  std::string out = testing::internal::GetCapturedStderr();
  std::locale::global(old);
  EXPECT_NE(out.find("WARNING: length is 64001\n"), std::string::npos) << out;
}

TEST(ClientLogTest, LinesOfDifferentThreadsNeverMix) {
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) FILE_LOG(logINFO) << "thread " << t << " line " << i << " end";
    });
  }
  for (auto& th : threads) th.join();
  std::vector<std::string> lines = Lines(testing::internal::GetCapturedStderr());
  ASSERT_EQ(lines.size(), 800u);
  const std::regex text(R"(thread \d line \d+ end)");
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
    EXPECT_EQ(m[8], "INFO");
    std::string body = m[9];
    EXPECT_TRUE(std::regex_match(body, text)) << line;
  }
}
