// The real orvelleclient program against the loopback speech server: raw
// files, printed lines, the voice information file and exit status.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/orvelle.h"
#include "client/speech_server.h"
#include "cpu_time.h"
#include "scratch_dir.h"

using orvelle_test::ServerFrame;
using orvelle_test::SpeechServer;
using orvelle_test::to_hex;
namespace fs = std::filesystem;

namespace {

// Frame types on the wire, as the server logs them.
constexpr unsigned kFinalText = 1, kStreamText = 15, kXml = 13;

struct Result {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// Bytes that differ from frame to frame, so that order and completeness show.
std::string Pattern(std::size_t size, int seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed) * 31) % 253);
  return s;
}

std::string Usage() {
  return std::string("Usage: ") + ORVELLECLIENT +
         " [options] infiles\n"
         "Transmit xml or text files to server for rendering\n"
         "Options:\n"
         "  -H  Host name (default: localhost)\n"
         "  -p  Port number (default: 8989)\n"
         "  -o  Output directory\n"
         "  -V  (Case-sensitive) Voice name (e.g. Velisa)\n"
         "  -t  Flag: input files contain text\n"
         "  -a  Flag: use asynchronous call\n"
         "  -s  Flag: use streaming call\n"
         "  -i  Flag: print voice header information\n"
         "  -v  Flag: print callback info messages\n"
         "  -h  print this message and exit\n";
}

const char kConnected[] = "INFO: connection to server established\nINFO: speech callback set\n";

// A port on which nothing listens.
int ClosedPort() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(s);
  return ntohs(a.sin_port);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_ / "out"); }

  // Runs the program in the test's directory.
  Result Run(const std::vector<std::string>& args) {
    Result r;
    fs::path out_path = dir_ / ".stdout", err_path = dir_ / ".stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    std::vector<std::string> all = {ORVELLECLIENT};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      ADD_FAILURE() << "cannot start " << ORVELLECLIENT << ": " << std::strerror(rc);
      return r;
    }
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "the program did not end in time";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(out_path);
    r.err = ReadFile(err_path);
    return r;
  }

  // Runs against a server: host and port come first.
  Result RunWith(const SpeechServer& server, std::vector<std::string> args) {
    args.insert(args.begin(), {"-H", "127.0.0.1", "-p", std::to_string(server.port())});
    return Run(args);
  }

  orvelle_test::ScratchDir scratch_;
  const fs::path dir_ = scratch_.path();
};

// The server answers a text frame holding word with the given actions, and
// every other text frame with END alone.
std::string ReplyTo(const std::vector<std::pair<std::string, std::string>>& word_actions,
                    const std::string& extra = "") {
  std::string rules;
  for (const auto& [word, actions] : word_actions) {
    if (!rules.empty()) rules += ",";
    rules += R"({"when": {"contains": ")" + word + R"("}, "reply": [)" + actions + R"(, {"end": true}]})";
  }
  return R"({"rules": [)" + rules + R"(], "text_reply": [{"end": true}])" + extra + "}";
}

std::string Audio(const std::string& bytes, int frame_bytes) {
  return R"({"audio": {"hex": ")" + to_hex(bytes) + R"(", "frame_bytes": )" + std::to_string(frame_bytes) + "}}";
}

// The text of every text frame the server received, in order, each without
// its NUL (long texts arrive cut into several frames).
std::string ReceivedText(const SpeechServer& server) {
  std::string all;
  for (const auto& f : server.frames()) {
    if (f.type == kFinalText || f.type == kStreamText) all += f.data.substr(0, f.data.find('\0'));
  }
  return all;
}

// ---- command line ----

TEST_F(CliTest, HelpPrintsUsageOnStandardErrorAndExitsZero) {
  Result r = Run({"-h"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, Usage());
  EXPECT_EQ(r.out, "");
}

TEST_F(CliTest, BadCommandLinesPrintUsageAndTheirErrorAndExitOne) {
  const struct {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{"-x", "a.xml"}, "ERROR: unknown option\n"},
      {{"a.xml", "-p"}, "ERROR: unknown option\n"},  // option argument missing
      {{}, "ERROR: please specify input data files\n"},
      {{"-t", "-v"}, "ERROR: please specify input data files\n"},
      {{"-p", "0", "a.xml"}, "ERROR: port number must be a positive integer\n"},
      {{"-p", "abc", "a.xml"}, "ERROR: port number must be a positive integer\n"},
      {{"-p", "-5", "a.xml"}, "ERROR: port number must be a positive integer\n"},
  };
  for (const auto& c : cases) {
    Result r = Run(c.args);
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.err, Usage() + c.error) << shown;
    EXPECT_EQ(r.out, "") << shown;
  }
}

TEST_F(CliTest, UnreachableServerIsAnErrorWithoutOutputFiles) {
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  Result r = Run({"-H", "127.0.0.1", "-p", std::to_string(ClosedPort()), "-o", "out", "in.xml"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: failed to open connection to server\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(dir_ / "out" / "in.raw"));
}

// ---- renders ----

struct Mode {
  const char* name;
  std::vector<std::string> flags;
  bool async;
  const char* failure;  // the error line of a render whose connection breaks
};

void PrintTo(const Mode& mode, std::ostream* os) { *os << mode.name; }

class CliModeTest : public CliTest, public ::testing::WithParamInterface<Mode> {};

TEST_P(CliModeTest, WritesEachFilesAudioToItsRawFileInOrder) {
  const std::string a = Pattern(1000, 1), b = Pattern(70000, 2), c = Pattern(2, 3);
  SpeechServer server(ReplyTo({{"alpha", Audio(a, 300) + R"(, {"word": "alpha"})"},
                               {"beta", Audio(b, 32000)},
                               {"gamma", Audio(c, 32000)}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "dir" / "speech.part.xml", "<speak>alpha</speak>");
  WriteFile(dir_ / "dir" / "second.xml", "<speak>beta</speak>");
  WriteFile(dir_ / "dir" / ".third.txt", "gamma");
  std::vector<std::string> args = GetParam().flags;
  for (const char* s : {"-o", "out", "dir/speech.part.xml", "dir/second.xml", "dir/.third.txt"}) args.push_back(s);
  Result r = RunWith(server, args);

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ReadFile(dir_ / "out" / "speech.raw"), a);
  EXPECT_EQ(ReadFile(dir_ / "out" / "second.raw"), b);
  EXPECT_EQ(ReadFile(dir_ / "out" / "third.raw"), c);
  const std::string wait = GetParam().async ? "INFO: waiting for asynchronous calls\n" : "";
  EXPECT_EQ(r.out, std::string(kConnected) +
                       "INFO: rendering dir/speech.part.xml\n" + wait +
                       "INFO: rendering completed and written to out/speech.raw\n"
                       "INFO: rendering dir/second.xml\n" + wait +
                       "INFO: rendering completed and written to out/second.raw\n"
                       "INFO: rendering dir/.third.txt\n" + wait +
                       "INFO: rendering completed and written to out/third.raw\n");
  std::string text = ReceivedText(server);
  std::size_t alpha = text.find("alpha"), beta = text.find("beta"), gamma = text.find("gamma");
  ASSERT_NE(gamma, std::string::npos);
  EXPECT_LT(alpha, beta);
  EXPECT_LT(beta, gamma);
}

// An asynchronous render's outcome reaches the program only through the
// thread-finished event, whose length carries the worker's render code.
TEST_P(CliModeTest, FailedRenderIsAnErrorAndLaterFilesAreNotRendered) {
  SpeechServer server(ReplyTo({{"alpha", Audio(Pattern(10, 1), 32000) + R"(, {"drop": true})"}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "first.xml", "<speak>alpha</speak>");
  WriteFile(dir_ / "second.xml", "<speak>beta</speak>");
  std::vector<std::string> args = GetParam().flags;
  for (const char* s : {"-o", "out", "first.xml", "second.xml"}) args.push_back(s);
  Result r = RunWith(server, args);

  EXPECT_EQ(r.status, 1);
  // The client log on standard error may add lines of its own.
  EXPECT_NE(r.err.find(GetParam().failure), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("rendering completed"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("second.xml"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(dir_ / "out" / "second.raw"));
}

TEST_P(CliModeTest, OutputThatCannotBeWrittenInFullIsAnError) {
  SpeechServer server(ReplyTo({{"alpha", Audio(Pattern(9000, 1), 3000)}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  // Every write to /dev/full fails for want of space.
  fs::create_symlink("/dev/full", dir_ / "out" / "in.raw");
  std::vector<std::string> args = GetParam().flags;
  for (const char* s : {"-o", "out", "in.xml"}) args.push_back(s);
  Result r = RunWith(server, args);

  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: failed to open output file out/in.raw for writing\n");
  EXPECT_EQ(r.out.find("rendering completed"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(AllModes, CliModeTest,
                         ::testing::Values(Mode{"Synchronous", {}, false, "ERROR: rendering failed\n"},
                                           Mode{"PlainText", {"-t"}, false, "ERROR: rendering failed\n"},
                                           Mode{"Stream", {"-s"}, false, "ERROR: stream flush failed\n"},
                                           Mode{"Asynchronous", {"-a"}, true, "ERROR: rendering failed\n"},
                                           Mode{"AsynchronousWinsOverStream", {"-s", "-a"}, true,
                                                "ERROR: rendering failed\n"}),
                         [](const ::testing::TestParamInfo<Mode>& info) { return std::string(info.param.name); });

TEST_F(CliTest, VerbosePrintsALineForEveryEvent) {
  const std::string events =
      R"({"phoneme": {"phoneme": "ae", "next": "t", "phone_length": 1600, "sample_rate": 16000,)"
      R"( "sapi_viseme": 1, "disney_viseme": 2, "stress": 1, "sapi_phoneid": 11,)"
      R"( "next_sapi_phoneid": 41, "next_sapi_viseme": 19}},)"
      R"( {"word": "hello"}, {"bookmark": "mark1"}, {"spurt": "<spurt/>"}, {"xml": "<reply ok=\"1\"/>"},)"
      R"( {"word": "unterminated", "nul": false}, {"audio": {"hex": "01020304"}})";
  SpeechServer server(ReplyTo({{"alpha", events}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  Result r = RunWith(server, {"-v", "-o", "out", "in.xml"});

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kConnected) +
                       "INFO: rendering in.xml\n"
                       "INFO: callback 1 message:PHONEME ae length 1600 next phoneme t sample rate 16000 "
                       "sapi viseme 1 next sapi viseme 19 disney viseme 2 stress 1 "
                       "sapi phone ID 11 next sapi phone ID 41\n"
                       "INFO: callback 1 message: WORD hello\n"
                       "INFO: callback 1 message: BOOKMARK mark1\n"
                       "INFO: callback 1 message: SPURT <spurt/>\n"
                       "INFO: callback 1 message: XMLREPLY <reply ok=\"1\"/>\n"
                       "INFO: callback 1 message: WORD unterminated\n"
                       "INFO: callback 1 message: writing 4 bytes\n"
                       "INFO: rendering completed and written to out/in.raw\n");
  EXPECT_EQ(ReadFile(dir_ / "out" / "in.raw"), std::string("\x01\x02\x03\x04"));
}

TEST_F(CliTest, VerboseAsynchronousRenderReportsTheFinishedThread) {
  SpeechServer server(ReplyTo({{"alpha", R"({"word": "hello"}, {"audio": {"hex": "0102"}})"}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  Result r = RunWith(server, {"-v", "-a", "-o", "out", "in.xml"});

  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* line : {"INFO: waiting for asynchronous calls\n", "INFO: callback 1 message: WORD hello\n",
                           "INFO: callback 1 message: writing 2 bytes\n",
                           "INFO: callback message: Thread Finished\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "in:\n" << r.out;
  }
  EXPECT_LT(r.out.find("writing 2 bytes"), r.out.find("Thread Finished"));
  const std::string last = "\nINFO: rendering completed and written to out/in.raw\n";
  EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), last.size())), last);
}

// ---- input files ----

TEST_F(CliTest, MissingOrUnreadableInputIsAnError) {
  SpeechServer server(ReplyTo({}));
  ASSERT_TRUE(server.running()) << server.error();
  fs::create_directories(dir_ / "adir");
  for (const char* input : {"missing.xml", "adir"}) {
    Result r = RunWith(server, {"-o", "out", input});
    EXPECT_EQ(r.status, 1) << input;
    EXPECT_EQ(r.err, std::string("ERROR: failed to open input file ") + input + "\n");
    EXPECT_EQ(r.out, kConnected);
  }
}

TEST_F(CliTest, InputIsCutAt128000BytesWithAWarning) {
  SpeechServer server(ReplyTo({}));
  ASSERT_TRUE(server.running()) << server.error();
  std::string filler;
  while (filler.size() < 127990) filler += "word ";
  filler.resize(127990, ' ');
  WriteFile(dir_ / "exact.txt", filler + "lastwordZZ");      // 128,000 bytes
  WriteFile(dir_ / "over.txt", filler + "finalwordQ" + "Y");  // 128,001 bytes

  Result exact = RunWith(server, {"-t", "-o", "out", "exact.txt"});
  EXPECT_EQ(exact.status, 0) << exact.err;
  EXPECT_EQ(exact.out, std::string(kConnected) + "INFO: rendering exact.txt\n"
                                                 "INFO: rendering completed and written to out/exact.raw\n");
  EXPECT_NE(ReceivedText(server).find("lastwordZZ"), std::string::npos);

  Result over = RunWith(server, {"-t", "-o", "out", "over.txt"});
  EXPECT_EQ(over.status, 0) << over.err;
  EXPECT_EQ(over.out, std::string(kConnected) +
                          "WARNING: input file over.txtexceeds maximum permitted file size, "
                          "and will be trunkated accordingly\n"
                          "INFO: rendering over.txt\n"
                          "INFO: rendering completed and written to out/over.raw\n");
  std::string text = ReceivedText(server);
  EXPECT_NE(text.find("finalwordQ"), std::string::npos);
  EXPECT_EQ(text.find("finalwordQY"), std::string::npos);
}

TEST_F(CliTest, ByteFFIsDataNotEndOfFile) {
  SpeechServer server(ReplyTo({}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "latin.txt", "caf\xff and afterwards more");
  Result r = RunWith(server, {"-t", "-o", "out", "latin.txt"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReceivedText(server).find("afterwards"), std::string::npos);
}

// ---- output files ----

TEST_F(CliTest, UnwritableOutputDirectoryIsAnError) {
  SpeechServer server(ReplyTo({}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  WriteFile(dir_ / "plainfile", "x");
  for (const char* out : {"no/such/dir", "plainfile"}) {
    Result r = RunWith(server, {"-o", out, "in.xml"});
    EXPECT_EQ(r.status, 1) << out;
    EXPECT_EQ(r.err, std::string("ERROR: failed to open output file ") + out + "/in.raw for writing\n");
    EXPECT_EQ(r.out, kConnected);
  }
}

TEST_F(CliTest, InputWithoutANameIsRefused) {
  SpeechServer server(ReplyTo({}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "dir" / "...", "<speak>alpha</speak>");
  Result r = RunWith(server, {"-o", "out", "dir/..."});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "ERROR: failed to open output file out/.raw for writing\n");
  EXPECT_FALSE(fs::exists(dir_ / "out" / ".raw"));
}

// ---- voices ----

const char kVoices[] =
    R"("voices": [{"name": "Velisa", "VOICE_ID": "1", "SEX": "female", "LANGUAGE": "English",)"
    R"( "LANGUAGE_ID": "7", "COUNTRY": "United States", "COUNTRY_ID": "3", "REGION": "",)"
    R"( "ACCENT": "General American", "ACCENT_ID": "4", "VOICE_UUID": "u-1", "SAMPLE_RATE": "16000",)"
    R"( "SAMPLE_BITS": "16", "ENCODING": "linear", "LANGUAGE_CODE_ISO": "en",)"
    R"( "LANGUAGE_CODE_MICROSOFT": "1033", "COUNTRY_CODE_ISO": "US"}, {"name": "Bare"}])";

TEST_F(CliTest, WritesTheVoiceInformationFile) {
  SpeechServer server(ReplyTo({}, std::string(", ") + kVoices));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  Result r = RunWith(server, {"-i", "-o", "out", "in.xml"});

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out" / "voiceinfo"),
            "Voice Found: Velisa\n\tSample Rate = 16000\n\tSample Bits = 16\n\tVoice ID = 1\n"
            "\tGender = female\n\tLanguage = English\n\tLanguage ID = 7\n\tCountry = United States\n"
            "\tCountry ID = 3\n\tRegion = \n\tAccent = General American\n\tAccent ID = 4\n\tUUID = u-1\n"
            "\tEncoding = linear\n\tLanguage Code ISO = en\n\tLanguage Code Microsoft = 1033\n"
            "\tCountry Code ISO = US\n\n"
            "Voice Found: Bare\n\tSample Rate = 0\n\tSample Bits = 0\n\tVoice ID = \n\tGender = \n"
            "\tLanguage = \n\tLanguage ID = \n\tCountry = \n\tCountry ID = \n\tRegion = \n\tAccent = \n"
            "\tAccent ID = \n\tUUID = \n\tEncoding = \n\tLanguage Code ISO = \n"
            "\tLanguage Code Microsoft = \n\tCountry Code ISO = \n\n");
  EXPECT_EQ(r.out, std::string(kConnected) +
                       "INFO: wrote voice header information file out/voiceinfo\n"
                       "INFO: rendering in.xml\n"
                       "INFO: rendering completed and written to out/in.raw\n");
}

TEST_F(CliTest, UnwritableVoiceInformationIsReportedAndTheRunFails) {
  SpeechServer server(ReplyTo({{"alpha", Audio("ab", 32000)}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  fs::create_symlink("/dev/full", dir_ / "out" / "voiceinfo");
  Result r = RunWith(server, {"-i", "-o", "out", "in.xml"});

  // The renders still run; the run does not count as complete.
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kConnected) +
                       "WARNING: failed to open output file out/voiceinfo for writing\n"
                       "INFO: rendering in.xml\n"
                       "INFO: rendering completed and written to out/in.raw\n");
  EXPECT_EQ(ReadFile(dir_ / "out" / "in.raw"), "ab");

  Result missing = RunWith(server, {"-i", "-o", "no/dir", "in.xml"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, std::string(kConnected) + "WARNING: failed to open output file no/dir/voiceinfo for writing\n");
  EXPECT_EQ(missing.err, "ERROR: failed to open output file no/dir/in.raw for writing\n");
}

// The XML queries the server received, without their NUL.
std::vector<std::string> Queries(const SpeechServer& server) {
  std::vector<std::string> out;
  for (const auto& f : server.frames()) {
    if (f.type == kXml) out.push_back(f.data.substr(0, f.data.find('\0')));
  }
  return out;
}

TEST_F(CliTest, SelectsAKnownVoiceByItsExactName) {
  SpeechServer server(ReplyTo({{"alpha", Audio("ab", 32000)}}));
  ASSERT_TRUE(server.running()) << server.error();
  WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
  Result r = RunWith(server, {"-V", "Velisa", "-o", "out", "in.xml"});

  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, std::string(kConnected) +
                       "INFO: voice set successfully\n"
                       "INFO: rendering in.xml\n"
                       "INFO: rendering completed and written to out/in.raw\n");
  EXPECT_EQ(Queries(server), (std::vector<std::string>{"<voice name=\"all\"/>",
                                                       "<voice name=\"Velisa\" select=\"1\"/>"}));
  EXPECT_EQ(ReadFile(dir_ / "out" / "in.raw"), "ab");
}

TEST_F(CliTest, WrongCaseOrUnknownVoiceKeepsTheDefault) {
  for (const char* voice : {"velisa", "Nobody"}) {
    SpeechServer server(ReplyTo({{"alpha", Audio("ab", 32000)}}));
    ASSERT_TRUE(server.running()) << server.error();
    WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
    Result r = RunWith(server, {"-V", voice, "-o", "out", "in.xml"});

    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kConnected) +
                         "WARNING: voice was not found. Using default instead\n"
                         "INFO: rendering in.xml\n"
                         "INFO: rendering completed and written to out/in.raw\n")
        << voice;
    EXPECT_EQ(Queries(server), std::vector<std::string>{"<voice name=\"all\"/>"}) << voice;
  }
}

TEST_F(CliTest, RefusedVoiceSwitchIsAWarning) {
  // The server refuses with CLOSE, followed by the END of that answer or
  // not, and keeps the socket open: the file renders at once with the
  // default voice, on a connection opened again (the library drops a socket
  // whose CLOSE came without its END).
  for (const char* refusal : {R"([{"close": true}, {"end": true}])", R"([{"close": true}])"}) {
    SCOPED_TRACE(refusal);
    SpeechServer server(std::string(R"({"rules": [{"when": {"contains": "select"}, "reply": )") + refusal +
                        R"(},)"
                        R"( {"when": {"contains": "alpha"}, "reply": [{"audio": {"hex": "6162"}}, {"end": true}]}],)"
                        R"( "text_reply": [{"end": true}]})");
    ASSERT_TRUE(server.running()) << server.error();
    WriteFile(dir_ / "in.xml", "<speak>alpha</speak>");
    auto start = std::chrono::steady_clock::now();
    Result r = RunWith(server, {"-V", "Torvald", "-o", "out", "in.xml"});

    EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kConnected) +
                         "WARNING: failed to set voice to Torvald. Using default instead\n"
                         "INFO: rendering in.xml\n"
                         "INFO: rendering completed and written to out/in.raw\n");
    EXPECT_EQ(ReadFile(dir_ / "out" / "in.raw"), "ab");
    // The voice queries on the first connection, the text on the second.
    std::vector<std::pair<int, unsigned>> sent;
    for (const ServerFrame& f : server.frames()) {
      if (f.type != PACKET_CLOSE) sent.emplace_back(f.conn, f.type);
    }
    EXPECT_EQ(sent, (std::vector<std::pair<int, unsigned>>{
                        {1, PACKET_XML}, {1, PACKET_XML}, {2, PACKET_TEXT}, {2, PACKET_TEXT}}));
  }
}

}  // namespace
