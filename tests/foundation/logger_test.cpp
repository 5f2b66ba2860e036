#include "foundation/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "foundation/dystr.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;
using orvelle_test::ScratchDir;

namespace {

struct LoggerDeleter {
    void operator()(logger *lg) const { QLTP_logger_delete(lg); }
};
using LoggerPtr = std::unique_ptr<logger, LoggerDeleter>;

struct SettingsDeleter {
    void operator()(configsettings *s) const { QLTP_configsettings_delete(s); }
};
using SettingsPtr = std::unique_ptr<configsettings, SettingsDeleter>;

// A quiet logger: on, threshold DEBUG, every output off.
LoggerPtr QuietLogger(const char *name = "TPC") {
    testing::internal::CaptureStderr();
    LoggerPtr lg(QLTP_logger_new(name, -1, nullptr));
    testing::internal::GetCapturedStderr();
    QLTP_logger_set_stderr(lg.get(), 0);
    return lg;
}

// Settings whose override layer is the given "dbconfig" document.
SettingsPtr Settings(const std::string &doc) {
    config *defaults = QLTP_config_new("dbconfig", -1);
    QLTP_config_loads(defaults, TPDB_DEFAULT_CONFIG);
    config *over = nullptr;
    if (!doc.empty()) {
        over = QLTP_config_new("dbconfig", -1);
        QLTP_config_load(over, doc.c_str(), -1);
    }
    return SettingsPtr(QLTP_configsettings_new(defaults, over));
}

std::string ReadFile(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool IsStamp(const std::string &s) {
    static const std::string days = "SunMonTueWedThuFriSat";
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    auto digit = [&](size_t i) { return s[i] >= '0' && s[i] <= '9'; };
    if (s.size() != 24) return false;
    std::string day = s.substr(0, 3), month = s.substr(4, 3);
    size_t d = days.find(day), m = months.find(month);
    bool names = d != std::string::npos && d % 3 == 0 && m != std::string::npos && m % 3 == 0;
    return names && s[3] == '_' && s[7] == '_' && (s[8] == '_' || (s[8] >= '1' && s[8] <= '3')) && digit(9) &&
           s[10] == '_' && digit(11) && digit(12) && s[13] == ':' && digit(14) && digit(15) && s[16] == ':' &&
           digit(17) && digit(18) && s[19] == '_' && digit(20) && digit(21) && digit(22) && digit(23);
}

// Each output line is a time stamp (24 characters of calendar text with '_'
// for every blank) followed by the expected text.
::testing::AssertionResult Lines(const std::string &text, const std::vector<std::string> &expected) {
    size_t pos = 0;
    for (const std::string &rest : expected) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) return ::testing::AssertionFailure() << "missing line in: " << text;
        std::string line = text.substr(pos, end - pos);
        if (line.size() < 24 || !IsStamp(line.substr(0, 24)) || line.substr(24) != rest)
            return ::testing::AssertionFailure() << "line '" << line << "' is not a stamp and '" << rest << "'";
        pos = end + 1;
    }
    if (pos != text.size()) return ::testing::AssertionFailure() << "extra text: " << text.substr(pos);
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(LoggerTest, ErrorLineGoesToStandardErrorInExactFormat) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_level(lg.get(), QLTP_LOGGER_INFO);
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "job", "tokenise", 0, "x"), 1);

    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(QLTP_logger_set_error(lg.get(), QLTP_ERROR_CORRUPT_FILE, "bad input", ""), 1);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(out, "");
    EXPECT_TRUE(Lines(err, {" TPC : tokenise [ERROR] Corrupt or incorrently formatted input file : bad input"}));
}

TEST(LoggerTest, WarnReachesStandardErrorOnlyWhenAsked) {
    LoggerPtr lg = QuietLogger();
    testing::internal::CaptureStderr();
    QLTP_logger_log(lg.get(), QLTP_LOGGER_WARN, "m", "t", "quiet", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    QLTP_logger_set_stderr(lg.get(), 1);
    testing::internal::CaptureStderr();
    QLTP_logger_log(lg.get(), QLTP_LOGGER_WARN, "m", "t", "loud", "why");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Lines(err, {" TPC : m [WARN] t : loud : why"}));
}

TEST(LoggerTest, StoresLinesAndLevelsInMemory) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    QLTP_logger_log(lg.get(), QLTP_LOGGER_WARN, "normalise", "Message", "odd number", "12a");
    QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "normalise", "Message", "no detail", "");
    QLTP_logger_log(lg.get(), QLTP_LOGGER_DEBUG, "normalise", "Message", "trace", nullptr);

    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0), "normalise [WARN] Message : odd number : 12a");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 1), "normalise [INFO] Message : no detail");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 2), "normalise [DEBUG] Message : trace");
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 3), nullptr);
    EXPECT_EQ(QLTP_logger_msg(lg.get(), -1), nullptr);
    EXPECT_EQ(QLTP_logger_lvl(lg.get(), 0), QLTP_LOGGER_WARN);
    EXPECT_EQ(QLTP_logger_lvl(lg.get(), 1), QLTP_LOGGER_INFO);
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_no_errors(lg.get()), 0);

    dystr *d = QLTP_dystr_new(nullptr, 0);
    EXPECT_EQ(QLTP_logger_print(lg.get(), d), 1);
    EXPECT_STREQ(QLTP_dystr_cstr(d),
                 "normalise [WARN] Message : odd number : 12a\n"
                 "normalise [INFO] Message : no detail\n"
                 "normalise [DEBUG] Message : trace\n");
    QLTP_dystr_delete(d);

    testing::internal::CaptureStdout();
    QLTP_logger_printf(lg.get());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Logger (TPC), level: DEBUG\n"
              "normalise [WARN] Message : odd number : 12a\n"
              "normalise [INFO] Message : no detail\n"
              "normalise [DEBUG] Message : trace\n");
}

TEST(LoggerTest, PrintsToStandardOutput) {
    LoggerPtr lg = QuietLogger("NRULES");
    QLTP_logger_set_stdout(lg.get(), 1);
    testing::internal::CaptureStdout();
    QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "reader", "Message", "rule read", "r1");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(Lines(out, {" NRULES : reader [INFO] Message : rule read : r1"}));
}

TEST(LoggerTest, CountsEventsBelowThresholdOrWhileOffWithoutEmitting) {
    SettingsPtr s = Settings("<dbconfig><log log='False' logstore='True' logstderr='True'/></dbconfig>");
    testing::internal::CaptureStderr();
    LoggerPtr lg(QLTP_logger_new("TPDB", 4, s.get()));
    QLTP_logger_log(lg.get(), QLTP_LOGGER_ERROR, "m", "t", "off", "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(QLTP_logger_no_errors(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 0), nullptr);

    QLTP_logger_set_on(lg.get());
    QLTP_logger_set_level(lg.get(), QLTP_LOGGER_ERROR);
    QLTP_logger_log(lg.get(), QLTP_LOGGER_WARN, "m", "t", "below", "");
    testing::internal::CaptureStderr();
    QLTP_logger_log(lg.get(), QLTP_LOGGER_CRITICAL, "m", "t", "above", "");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("m [CRITICAL] t : above"), std::string::npos);
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_no_errors(lg.get()), 2);
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0), "m [CRITICAL] t : above");
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 1), nullptr);
}

TEST(LoggerTest, AppendsEachLineToItsLogFile) {
    ScratchDir dir;
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_logfile(lg.get(), dir.path().c_str());
    EXPECT_EQ(QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "m", "t", "one", ""), 1);
    EXPECT_EQ(QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "m", "t", "two", "d"), 1);
    std::string text = ReadFile(dir.path() / "TPC.log");
    EXPECT_TRUE(Lines(text, {" TPC : m [INFO] t : one", " TPC : m [INFO] t : two : d"}));

    QLTP_logger_set_logfile(lg.get(), "");
    QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "m", "t", "three", "");
    EXPECT_EQ(ReadFile(dir.path() / "TPC.log"), text);
}

TEST(LoggerTest, UnwritableLogFileIsReportedOnceAndEventStillReachesOtherOutputs) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    QLTP_logger_set_logfile(lg.get(), "/nonexistent-logger-dir/sub");

    testing::internal::CaptureStderr();
    EXPECT_EQ(QLTP_logger_set_error(lg.get(), QLTP_MESSAGE_ERROR, "failed", "x"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0),
                 "PRE_DEF [WARN] Log file missing : Logger cannot print to file : /nonexistent-logger-dir/sub/TPC.log");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 1), "PRE_DEF [ERROR] Message : failed : x");
    // The ERROR line is not lost: it still reaches standard error.
    EXPECT_NE(err.find("TPC : PRE_DEF [ERROR] Message : failed : x\n"), std::string::npos) << err;
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_no_errors(lg.get()), 1);

    // File output is off from now on: no second report.
    EXPECT_EQ(QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "m", "t", "later", ""), 1);
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 2), "m [INFO] t : later");
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 3), nullptr);
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 1);
}

TEST(LoggerTest, ModuleFileIsTruncatedWithModeAndAppendedWithout) {
    ScratchDir dir;
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_logfile(lg.get(), dir.path().c_str());
    QLTP_logger_set_store(lg.get());
    EXPECT_EQ(QLTP_logger_modulelogging(lg.get()), 1);

    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "J1", "phrasing", 1, "first\n"), 1);
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "J1", "phrasing", 0, "second\n"), 1);
    EXPECT_EQ(ReadFile(dir.path() / "phrasing_J1.log"), "first\nsecond\n");
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "J1", "phrasing", 2, "again\n"), 1);
    EXPECT_EQ(ReadFile(dir.path() / "phrasing_J1.log"), "again\n");

    // At threshold DEBUG each call announces itself; the current module follows.
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0),
                 "LOGGER [DEBUG] Module logging started : module logging has commenced : "
                 "{\"module\":\"phrasing\",\"level\":\"DEBUG\"}");
    QLTP_logger_set_error(lg.get(), QLTP_MESSAGE_WARN, "w", "");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 3), "phrasing [WARN] Message : w");
}

TEST(LoggerTest, ModuleFileNeedsModuleOutputAndFileOutput) {
    ScratchDir dir;
    SettingsPtr s = Settings("<dbconfig><log logdir='" + dir.path().string() + "' logtofile='True'/></dbconfig>");
    LoggerPtr lg(QLTP_logger_new("TPDB", -1, s.get()));
    EXPECT_EQ(QLTP_logger_modulelogging(lg.get()), 0);
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "J", "normalise", 1, "t"), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "normalise_J.log"));

    LoggerPtr quiet = QuietLogger();  // module output on, file output off
    EXPECT_EQ(QLTP_logger_logmodule(quiet.get(), "J", "normalise", 1, "t"), 1);
}

TEST(LoggerTest, JobIdWithSlashStaysInsideLogDirectory) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "logs");
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_logfile(lg.get(), (dir.path() / "logs").c_str());
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "../../escaped", "tokenise", 1, "x"), 1);
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "/tmp/abs", "tokenise", 1, "y"), 1);
    EXPECT_EQ(ReadFile(dir.path() / "logs" / "tokenise_.._.._escaped.log"), "x");
    EXPECT_EQ(ReadFile(dir.path() / "logs" / "tokenise__tmp_abs.log"), "y");
    EXPECT_FALSE(fs::exists(dir.path() / "escaped.log"));
    size_t files = 0;
    for (const auto &e : fs::directory_iterator(dir.path())) files += e.path().filename() != "logs";
    EXPECT_EQ(files, 0u);
}

TEST(LoggerTest, MissingModuleFileIsWarnedEachTime) {
    ScratchDir dir;
    fs::create_directory(dir.path() / "pronounce_J.log");  // cannot be opened as a file
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    QLTP_logger_set_level(lg.get(), QLTP_LOGGER_WARN);
    QLTP_logger_set_logfile(lg.get(), dir.path().c_str());
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "J", "pronounce", 1, "x"), 0);
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), "J", "pronounce", 0, "x"), 0);
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 2);
    std::string expected = "pronounce [WARN] Missing file : Cannot open module log file : " +
                           (dir.path() / "pronounce_J.log").string();
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 0), expected);
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 1), expected);
    // The logger's own file is unaffected.
    EXPECT_NE(ReadFile(dir.path() / "TPC.log").find(expected), std::string::npos);
}

TEST(LoggerTest, CodesOutsideTableUseCodeZero) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    for (int code : {-1, 20, 1000}) QLTP_logger_set_error(lg.get(), code, "m", "");
    for (int i = 0; i < 3; ++i)
        EXPECT_STREQ(QLTP_logger_msg(lg.get(), i), "PRE_DEF [WARN] Attempted set of unknown error type : m");
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 3);
    EXPECT_STREQ(QLTP_logger_error_name(-5), "Attempted set of unknown error type");
    EXPECT_STREQ(QLTP_logger_error_name(20), "Attempted set of unknown error type");
    EXPECT_STREQ(QLTP_logger_error_name(16), "Log file missing");
    EXPECT_STREQ(QLTP_logger_error_name(19), "Message");
}

TEST(LoggerTest, CodeTableSelectsTitleAndLevel) {
    struct Case {
        int code;
        const char *line;
    } cases[] = {
        {QLTP_ERROR_EXPAT_PARSE, "PRE_DEF [CRITICAL] Expat parse error : m"},
        {QLTP_ERROR_RESET_DATA_LOSS, "PRE_DEF [WARN] Channel reset caused data loss : m"},
        {QLTP_MESSAGE_INFO, "PRE_DEF [INFO] Message : m"},
        {QLTP_ERROR_MISSING_FILE, "PRE_DEF [WARN] Missing file : m"},
        {QLTP_MESSAGE_CRITICAL, "PRE_DEF [CRITICAL] Message : m"},
        {QLTP_MESSAGE_ERROR, "PRE_DEF [ERROR] Message : m"},
        {QLTP_MESSAGE_DEBUG, "PRE_DEF [DEBUG] Message : m"},
    };
    for (const Case &c : cases) {
        LoggerPtr lg = QuietLogger();
        QLTP_logger_set_store(lg.get());
        testing::internal::CaptureStderr();
        QLTP_logger_set_error(lg.get(), c.code, "m", "");
        testing::internal::GetCapturedStderr();
        EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0), c.line) << c.code;
    }
}

TEST(LoggerTest, LevelsAreClampedAndNoneIsOnlyAMessage) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    int messages = QLTP_logger_no_messages(lg.get());
    testing::internal::CaptureStderr();
    QLTP_logger_log(lg.get(), 99, "m", "t", "high", "");
    QLTP_logger_log(lg.get(), -7, "m", "t", "low", "");
    QLTP_logger_log(lg.get(), QLTP_LOGGER_NONE, "mod", "T", "level five", "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0), "m [CRITICAL] t : high");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 1), "m [DEBUG] t : low");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 2), "mod [NONE] T : level five");
    EXPECT_EQ(QLTP_logger_lvl(lg.get(), 2), QLTP_LOGGER_NONE);
    EXPECT_EQ(QLTP_logger_no_errors(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 0);
    EXPECT_EQ(QLTP_logger_no_messages(lg.get()), messages + 3);
    // Only ERROR and CRITICAL lines go to standard error unasked.
    EXPECT_NE(err.find("m [CRITICAL] t : high"), std::string::npos);
    EXPECT_EQ(err.find("[NONE]"), std::string::npos);

    QLTP_logger_set_level(lg.get(), 42);
    EXPECT_EQ(QLTP_logger_loglevel(lg.get()), QLTP_LOGGER_NONE);
    QLTP_logger_log(lg.get(), QLTP_LOGGER_CRITICAL, "m", "t", "silenced", "");
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 3), nullptr);
    QLTP_logger_set_level(lg.get(), -3);
    EXPECT_EQ(QLTP_logger_loglevel(lg.get()), QLTP_LOGGER_DEBUG);

    EXPECT_STREQ(QLTP_logger_level_name(-1), "DEBUG");
    EXPECT_STREQ(QLTP_logger_level_name(3), "ERROR");
    EXPECT_STREQ(QLTP_logger_level_name(9), "NONE");
}

TEST(LoggerTest, NullTextsPrintAsEmpty) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    EXPECT_EQ(QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, nullptr, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(QLTP_logger_set_error(lg.get(), QLTP_MESSAGE_INFO, nullptr, nullptr), 1);
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0), " [INFO]  : ");
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 1), "PRE_DEF [INFO] Message : ");
    EXPECT_EQ(QLTP_logger_logmodule(lg.get(), nullptr, nullptr, 0, nullptr), 1);
    QLTP_logger_set_error(lg.get(), QLTP_MESSAGE_INFO, "after", nullptr);
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 3), "PRE_DEF [INFO] Message : after");
}

TEST(LoggerTest, DefaultLoggerAnnouncesItselfOnStandardError) {
    testing::internal::CaptureStderr();
    LoggerPtr lg(QLTP_logger_new("TPCXYZ", 3, nullptr));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Lines(err, {" TPC : LOGGER [INFO] log created : new log has been created with default values"}));
    EXPECT_EQ(QLTP_logger_no_messages(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_loglevel(lg.get()), QLTP_LOGGER_DEBUG);
    EXPECT_EQ(QLTP_logger_modulelogging(lg.get()), 1);
}

TEST(LoggerTest, DatabaseDefaultsCountButLeaveNoTrace) {
    SettingsPtr s = Settings("");
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    LoggerPtr lg(QLTP_logger_new("TPDB", -1, s.get()));
    QLTP_logger_log(lg.get(), QLTP_LOGGER_WARN, "m", "t", "w", "");
    QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "m", "t", "i", "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(QLTP_logger_loglevel(lg.get()), QLTP_LOGGER_DEBUG);
    EXPECT_EQ(QLTP_logger_modulelogging(lg.get()), 0);
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 1);
    EXPECT_EQ(QLTP_logger_no_messages(lg.get()), 3);
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 0), nullptr);
    EXPECT_FALSE(fs::exists("TPDB.log"));
}

TEST(LoggerTest, LogLevelSettingIsReadCaseBlind) {
    struct Case {
        const char *value;
        int threshold;
        int errors;
    } cases[] = {{"warn", 2, 0}, {"none", 5, 0}, {"all", 0, 0}, {"Critical", 4, 0}, {"verbose", 0, 1}};
    for (const Case &c : cases) {
        SettingsPtr s =
            Settings(std::string("<dbconfig><log logstore='True' loglevel='") + c.value + "'/></dbconfig>");
        testing::internal::CaptureStderr();
        LoggerPtr lg(QLTP_logger_new("TPDB", -1, s.get()));
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(QLTP_logger_loglevel(lg.get()), c.threshold) << c.value;
        EXPECT_EQ(QLTP_logger_no_errors(lg.get()), c.errors) << c.value;
        if (c.errors) {
            EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0),
                         "LOGGER [ERROR] log initialisation error : Invalid log level : verbose");
            EXPECT_NE(err.find("Invalid log level : verbose"), std::string::npos);
            EXPECT_EQ(QLTP_logger_no_messages(lg.get()), 2);
        }
    }
}

TEST(LoggerTest, EmptyLogDirectoryWritesNoFile) {
    ScratchDir dir;
    fs::path old = fs::current_path();
    fs::current_path(dir.path());
    SettingsPtr s = Settings("<dbconfig><log logdir='' logtofile='True' logstore='True'/></dbconfig>");
    LoggerPtr lg(QLTP_logger_new("TPDB", -1, s.get()));
    EXPECT_EQ(QLTP_logger_log(lg.get(), QLTP_LOGGER_INFO, "m", "t", "x", ""), 1);
    fs::current_path(old);
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 1), "m [INFO] t : x");
}

TEST(LoggerTest, ResetsClearStoredLinesAndCounters) {
    LoggerPtr lg = QuietLogger();
    QLTP_logger_set_store(lg.get());
    QLTP_logger_log(lg.get(), QLTP_LOGGER_WARN, "m", "t", "w", "");
    QLTP_logger_module_reset(lg.get());  // module clear is on by default
    EXPECT_EQ(QLTP_logger_no_warnings(lg.get()), 0);
    EXPECT_EQ(QLTP_logger_no_messages(lg.get()), 0);
    EXPECT_EQ(QLTP_logger_msg(lg.get(), 0), nullptr);

    testing::internal::CaptureStderr();
    QLTP_logger_log(lg.get(), QLTP_LOGGER_ERROR + 1, "m", "t", "c", "");
    testing::internal::GetCapturedStderr();
    QLTP_logger_reset(lg.get());
    EXPECT_EQ(QLTP_logger_no_errors(lg.get()), 0);
    EXPECT_EQ(QLTP_logger_no_messages(lg.get()), 1);
    EXPECT_STREQ(QLTP_logger_msg(lg.get(), 0), "LOGGER [DEBUG] logger function call : reset");

    SettingsPtr s = Settings("<dbconfig><log logmoduleclear='False' logstore='True'/></dbconfig>");
    LoggerPtr keep(QLTP_logger_new("TPDB", -1, s.get()));
    QLTP_logger_log(keep.get(), QLTP_LOGGER_WARN, "m", "t", "w", "");
    QLTP_logger_module_reset(keep.get());
    EXPECT_EQ(QLTP_logger_no_warnings(keep.get()), 1);
    EXPECT_STREQ(QLTP_logger_msg(keep.get(), 2), "LOGGER [DEBUG] logger function call : module reset : False");
}

TEST(LoggerTest, NullLoggerIsAccepted) {
    EXPECT_EQ(QLTP_logger_log(nullptr, QLTP_LOGGER_ERROR, "m", "t", "x", ""), 0);
    EXPECT_EQ(QLTP_logger_set_error(nullptr, 3, "x", ""), 0);
    EXPECT_EQ(QLTP_logger_logmodule(nullptr, "j", "m", 1, "t"), 0);
    EXPECT_EQ(QLTP_logger_loglevel(nullptr), QLTP_LOGGER_NONE);
    EXPECT_EQ(QLTP_logger_no_errors(nullptr), 0);
    EXPECT_EQ(QLTP_logger_no_messages(nullptr), 0);
    EXPECT_EQ(QLTP_logger_modulelogging(nullptr), 0);
    EXPECT_EQ(QLTP_logger_msg(nullptr, 0), nullptr);
    EXPECT_EQ(QLTP_logger_print(nullptr, nullptr), 0);
    QLTP_logger_set_level(nullptr, 1);
    QLTP_logger_set_store(nullptr);
    QLTP_logger_set_logfile(nullptr, "/tmp");
    QLTP_logger_module_reset(nullptr);
    QLTP_logger_reset(nullptr);
    QLTP_logger_printf(nullptr);
    QLTP_logger_delete(nullptr);
}
