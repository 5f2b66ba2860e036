#include "client/voices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/orvelle.h"
#include "client/speech_server.h"

namespace {

using orvelle_test::ServerFrame;
using orvelle_test::SpeechServer;

// An open connection to a loopback server, destroyed at the end of the test.
class OpenConnection {
 public:
  explicit OpenConnection(const SpeechServer& server) : handle_(ovCreateConnection()) {
    ok_ = ovOpenConnection(handle_, "127.0.0.1", server.port()) == OV_SUCCESS;
  }
  ~OpenConnection() { ovDestroyConnection(handle_); }
  OpenConnection(const OpenConnection&) = delete;
  OpenConnection& operator=(const OpenConnection&) = delete;
  CONNECTION_HANDLE handle() const { return handle_; }
  bool ok() const { return ok_; }

 private:
  CONNECTION_HANDLE handle_;
  bool ok_ = false;
};

// A script whose voice-list query is answered with the given reply actions.
std::string ListReply(const std::string& actions_json) {
  return R"({"rules": [{"when": {"contains": "name=\"all\""}, "reply": [)" + actions_json +
         R"(, {"end": true}]}]})";
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::vector<std::string> Names(ENUMERATOR_HANDLE e) {
  std::vector<std::string> names;
  while (const char* name = ovNextVoice(e)) names.emplace_back(name);
  return names;
}

std::vector<ServerFrame> XmlFrames(const SpeechServer& server) {
  std::vector<ServerFrame> out;
  for (const ServerFrame& f : server.frames())
    if (f.type == PACKET_XML) out.push_back(f);
  return out;
}

TEST(VoicesTest, SendsTheVoiceListQueryAsOneXmlFrame) {
  SpeechServer server;
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
  ASSERT_GE(e, 1000);
  std::vector<ServerFrame> frames = server.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, 13u);
  EXPECT_EQ(frames[0].stream, 0u);
  EXPECT_EQ(frames[0].length, 20u);
  EXPECT_EQ(frames[0].trailer, 20u);
  EXPECT_TRUE(frames[0].ok);
  EXPECT_EQ(frames[0].data, std::string("<voice name=\"all\"/>\0", 20));
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
}

TEST(VoicesTest, NumbersEnumeratorsFrom1000AndReusesHandlesLastInFirstOut) {
  SpeechServer server;
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  ENUMERATOR_HANDLE first = ovEnumerateConnectionVoices(c.handle());
  ENUMERATOR_HANDLE second = ovEnumerateConnectionVoices(c.handle());
  EXPECT_EQ(first, 1000);
  EXPECT_EQ(second, 1001);
  EXPECT_EQ(ovCloseEnumerator(second), OV_SUCCESS);
  EXPECT_EQ(ovCloseEnumerator(first), OV_SUCCESS);
  EXPECT_EQ(ovEnumerateConnectionVoices(c.handle()), 1000);
  EXPECT_EQ(ovEnumerateConnectionVoices(c.handle()), 1001);

  // Closing twice frees the handle once: two later enumerations differ.
  EXPECT_EQ(ovCloseEnumerator(1001), OV_SUCCESS);
  EXPECT_EQ(ovCloseEnumerator(1001), OV_SUCCESS);
  ENUMERATOR_HANDLE a = ovEnumerateConnectionVoices(c.handle());
  ENUMERATOR_HANDLE b = ovEnumerateConnectionVoices(c.handle());
  EXPECT_EQ(a, 1001);
  EXPECT_EQ(b, 1002);
  for (ENUMERATOR_HANDLE h : {1000, a, b}) EXPECT_EQ(ovCloseEnumerator(h), OV_SUCCESS);
}

TEST(VoicesTest, UnknownHandlesAreRefused) {
  EXPECT_EQ(ovEnumerateConnectionVoices(5), OV_BAD_HANDLE);
  EXPECT_EQ(ovNumVoices(5), OV_BAD_HANDLE);
  EXPECT_EQ(ovNextVoice(5), nullptr);
  EXPECT_EQ(ovRewindEnumerator(5), OV_BAD_HANDLE);
  EXPECT_EQ(ovGetVoiceStringValue(5, OV_LANGUAGE), nullptr);
  EXPECT_EQ(ovGetVoiceIntegerValue(5, OV_SAMPLE_RATE), OV_BAD_HANDLE);
  EXPECT_EQ(ovCloseEnumerator(5), OV_SUCCESS);
  // A connection handle is not an enumerator handle.
  CONNECTION_HANDLE h = ovCreateConnection();
  EXPECT_EQ(ovNumVoices(h), OV_BAD_HANDLE);
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
}

TEST(VoicesTest, WalksTheListAndReadsEveryAttributeOfTheCurrentVoice) {
  SpeechServer server;
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
  ASSERT_EQ(ovNumVoices(e), 2);

  // No current voice before the first step.
  EXPECT_EQ(ovGetVoiceStringValue(e, OV_VOICE_ID), nullptr);
  EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_RATE), OV_NO_VOICE);
  EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_VOICE_ID), OV_NO_VOICE);

  ASSERT_STREQ(ovNextVoice(e), "Velisa");
  const struct {
    int key;
    const char* value;
  } strings[] = {
      {OV_VOICE_ID, "1"},
      {OV_SEX, "female"},
      {OV_LANGUAGE, "English"},
      {OV_LANGUAGE_ID, "1"},
      {OV_COUNTRY, "United States"},
      {OV_COUNTRY_ID, "1"},
      {OV_REGION, ""},
      {OV_ACCENT, "General American"},
      {OV_ACCENT_ID, "1"},
      {OV_VOICE_UUID, "6c1d7a3e-0001-4f00-9a00-000000000001"},
      {OV_ENCODING, "linear"},
      {OV_LANGUAGE_CODE_ISO, "en"},
      {OV_LANGUAGE_CODE_MICROSOFT, "1033"},
      {OV_COUNTRY_CODE_ISO, "US"},
  };
  for (const auto& s : strings) EXPECT_STREQ(ovGetVoiceStringValue(e, s.key), s.value) << s.key;
  for (int key : {0, 1, 2, 17, -1}) EXPECT_EQ(ovGetVoiceStringValue(e, key), nullptr) << key;
  EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_RATE), 16000);
  EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_BITS), 16);
  for (int key : {0, 3, 16, 99}) EXPECT_EQ(ovGetVoiceIntegerValue(e, key), OV_BAD_KEY) << key;

  const char* name = ovNextVoice(e);
  ASSERT_STREQ(name, "Torvald");
  EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_RATE), 22050);
  EXPECT_STREQ(ovGetVoiceStringValue(e, OV_REGION), "Svealand");
  // Past the end: NULL for good, and the last voice stays current.
  EXPECT_EQ(ovNextVoice(e), nullptr);
  EXPECT_EQ(ovNextVoice(e), nullptr);
  EXPECT_STREQ(ovGetVoiceStringValue(e, OV_COUNTRY), "Sweden");
  EXPECT_STREQ(name, "Torvald");  // still valid until the enumerator closes

  EXPECT_EQ(ovRewindEnumerator(e), OV_SUCCESS);
  EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_RATE), OV_NO_VOICE);
  EXPECT_EQ(Names(e), (std::vector<std::string>{"Velisa", "Torvald"}));
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
}

TEST(VoicesTest, CollectsVoicesAtAnyDepthInDocumentOrder) {
  std::string list =
      "<r><voice name='a' SAMPLE_RATE=' +8000Hz'><voice name='b' SAMPLE_RATE='-12'/></voice>"
      "<x>text<voice name='c' SAMPLE_RATE='99999999999' SAMPLE_BITS='2147483647'/></x>"
      "<voices/><voice/><Voice name='not me'/></r>";
  SpeechServer server(ListReply("{\"xml\": " + Json(list) + "}"));
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
  EXPECT_EQ(ovNumVoices(e), 4);
  const struct {
    const char* name;
    int rate;
    int bits;
  } expected[] = {{"a", 8000, 0}, {"b", -12, 0}, {"c", 0, 2147483647}, {"", 0, 0}};
  for (const auto& v : expected) {
    const char* name = ovNextVoice(e);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, v.name);
    EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_RATE), v.rate) << v.name;
    EXPECT_EQ(ovGetVoiceIntegerValue(e, OV_SAMPLE_BITS), v.bits) << v.name;
    EXPECT_STREQ(ovGetVoiceStringValue(e, OV_LANGUAGE), "");
  }
  EXPECT_EQ(ovNextVoice(e), nullptr);
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
}

TEST(VoicesTest, JoinsAReplySpreadOverSeveralFrames) {
  // The second piece comes without its NUL: the frame's end ends it.
  SpeechServer server(ListReply(R"({"xml": "<r><voice name='one'/>"}, {"xml": "<voice name='two'/></r>", "nul": false})"));
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
  EXPECT_EQ(Names(e), (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
}

TEST(VoicesTest, AnUnusableReplyGivesAnEmptyEnumerator) {
  const char* replies[] = {
      R"({"xml": "<r><voice name='a'>"})",                   // not well-formed
      R"({"xml": ""})",                                       // empty
      R"({"word": "<r><voice name='a'/></r>"})",              // not an XML reply
  };
  for (const char* reply : replies) {
    SpeechServer server(ListReply(reply));
    ASSERT_TRUE(server.running()) << server.error();
    OpenConnection c(server);
    ASSERT_TRUE(c.ok());
    ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
    EXPECT_GE(e, 1000) << reply;
    EXPECT_EQ(ovNumVoices(e), 0) << reply;
    EXPECT_EQ(ovNextVoice(e), nullptr);
    EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
  }
  // A connection that was never opened lists nothing either.
  CONNECTION_HANDLE h = ovCreateConnection();
  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(h);
  EXPECT_EQ(ovNumVoices(e), 0);
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
}

struct Received {
  std::atomic<int> events{0};
  std::atomic<int> foreign{0};  // calls with another user data, or voice lists
};

Received* g_received = nullptr;
int StrictCallback(void* user_data, int type, void* data, long length) {
  if (user_data != g_received) {
    if (g_received) ++g_received->foreign;
    return 0;
  }
  ++g_received->events;
  if (type == PACKET_XML && data != nullptr &&
      std::string(static_cast<const char*>(data), static_cast<std::size_t>(length)).find("<voices>") != std::string::npos)
    ++g_received->foreign;
  return 0;
}

TEST(VoicesTest, LeavesTheApplicationCallbackAndUserDataAlone) {
  SpeechServer server(R"({"query_reply": [{"xml": "<ping/>"}, {"end": true}]})");
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  Received received;
  g_received = &received;
  ASSERT_EQ(ovSetCallBack(c.handle(), StrictCallback), OV_SUCCESS);
  ASSERT_EQ(ovSetUserData(c.handle(), &received), OV_SUCCESS);

  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
  EXPECT_EQ(ovNumVoices(e), 2);
  EXPECT_EQ(received.events.load(), 0);
  ASSERT_EQ(ovQueryServer(c.handle(), "<ping/>"), OV_SUCCESS);
  EXPECT_EQ(received.events.load(), 1);
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);

  // Queries of the application and enumerations racing on one connection:
  // every event reaches the right receiver.
  std::atomic<bool> failed{false};
  std::thread queries([&] {
    for (int i = 0; i < 40; ++i)
      if (ovQueryServer(c.handle(), "<ping/>") != OV_SUCCESS) failed = true;
  });
  std::thread lists([&] {
    for (int i = 0; i < 40; ++i) {
      ENUMERATOR_HANDLE l = ovEnumerateConnectionVoices(c.handle());
      if (ovNumVoices(l) != 2) failed = true;
      ovCloseEnumerator(l);
    }
  });
  queries.join();
  lists.join();
  EXPECT_FALSE(failed.load());
  EXPECT_EQ(received.events.load(), 41);
  EXPECT_EQ(received.foreign.load(), 0);
  ovSetCallBack(c.handle(), nullptr);
  g_received = nullptr;
}

TEST(VoicesTest, SetVoiceSelectsOnlyAnExactlyMatchingName) {
  SpeechServer server;
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());
  // The handle an enumeration gets while no enumerator is leaked.
  ENUMERATOR_HANDLE free_handle = ovEnumerateConnectionVoices(c.handle());
  ASSERT_EQ(ovCloseEnumerator(free_handle), OV_SUCCESS);

  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoice(c.handle(), "Torvald"), OV_SUCCESS);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  std::vector<ServerFrame> frames = XmlFrames(server);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[2].data, std::string("<voice name='Torvald' select='1'/>") + '\0');

  const char* misses[] = {"torvald", "Torval", "Torvald ", "Nobody", ""};
  for (const char* name : misses) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ovSetVoice(c.handle(), name), OV_ERROR) << name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: voice was not found. Using default instead\n");
  }
  // Only the voice lists went out, and no enumerator was left registered.
  EXPECT_EQ(XmlFrames(server).size(), 3u + std::size(misses));
  ENUMERATOR_HANDLE e = ovEnumerateConnectionVoices(c.handle());
  EXPECT_EQ(e, free_handle);
  EXPECT_EQ(ovCloseEnumerator(e), OV_SUCCESS);
}

TEST(VoicesTest, SetVoiceReportsFailuresWithAnErrorCode) {
  SpeechServer server(R"({"voices": [{"name": "O'Neil & <Co>"}, {"name": "Refused"}],
                          "rules": [{"when": {"contains": "Refused"}, "reply": [{"close": true}]}]})");
  ASSERT_TRUE(server.running()) << server.error();
  OpenConnection c(server);
  ASSERT_TRUE(c.ok());

  // A name from the list always makes a well-formed query.
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoice(c.handle(), "O'Neil & <Co>"), OV_SUCCESS);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(XmlFrames(server).back().data, std::string("<voice name='O&apos;Neil &amp; &lt;Co>' select='1'/>") + '\0');

  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoice(c.handle(), "Refused"), OV_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: Tervane query failed, the voice has not been switched\n");

  std::size_t sent = XmlFrames(server).size();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoice(c.handle(), nullptr), OV_ERROR);
  EXPECT_EQ(ovSetVoice(4242, "Velisa"), OV_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: failed to set voice. Using default instead\n"
            "WARNING: failed to set voice. Using default instead\n");
  EXPECT_EQ(XmlFrames(server).size(), sent);

  // A connection that is not open finds no voices.
  CONNECTION_HANDLE closed = ovCreateConnection();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoice(closed, "Velisa"), OV_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: voice was not found. Using default instead\n");
  EXPECT_EQ(ovDestroyConnection(closed), OV_SUCCESS);
}

TEST(VoicesTest, EntityExpansionInAReplyStaysBounded) {
  std::string bomb = "<!DOCTYPE r [<!ENTITY a0 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'>";
  for (int i = 1; i < 12; ++i) {
    bomb += "<!ENTITY a" + std::to_string(i) + " '";
    for (int k = 0; k < 10; ++k) bomb += "&a" + std::to_string(i - 1) + ";";
    bomb += "'>";
  }
  bomb += "]><r><voice name='&a11;'/><voice name='&a1;'/></r>";
  auto started = std::chrono::steady_clock::now();
  NameEnumerator e(bomb);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  // Whatever the parser keeps, no name is anywhere near 4 * 10^12 bytes.
  while (const char* name = e.Next()) EXPECT_LT(std::strlen(name), 1u << 20);
}

TEST(VoicesTest, ReadsIntegersAsAtoiDoesWithoutOverflow) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {
      {"16000", 16000},     {"  \t\n+42x", 42},         {"-8", -8},          {"", 0},
      {"abc", 0},           {"- 5", 0},                 {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN}, {"2147483648", 0},    {"99999999999999999999999", 0},
      {"00000000000000000000016", 16}, {"1e5", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseVoiceInteger(c.text), c.value) << c.text;
  EXPECT_EQ(ParseVoiceInteger(nullptr), 0);
}

TEST(VoicesTest, RandomRepliesNeverCrashTheParser) {
  const char* pieces[] = {"<voice", " name='", "'", "\"", "/>", ">", "</voice>", "<r>", "</r>", "<", "&",
                          "&amp;", "&#0;", "SAMPLE_RATE='", "9", "-", "<!--", "-->", "<![CDATA[", "]]>",
                          "\xC3\xA9", "\xFF", "<?xml version='1.0'?>", "<!DOCTYPE r [<!ENTITY e 'x'>]>",
                          "&e;", " "};
  std::mt19937 rng(99);
  auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < 3000; ++round) {
    std::string reply;
    int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) reply += pieces[rng() % std::size(pieces)];
    NameEnumerator e(reply);
    int32_t count = e.Count();
    int walked = 0;
    while (e.Next() != nullptr) {
      ++walked;
      EXPECT_NE(e.StringValue(OV_VOICE_ID), nullptr);
      EXPECT_NE(e.IntegerValue(OV_SAMPLE_RATE), OV_NO_VOICE);
    }
    ASSERT_EQ(walked, count);
  }
  // Deep nesting stops at the parser's depth limit instead of the stack's.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<voice name='d'>";
  NameEnumerator e(deep);
  EXPECT_EQ(e.Count(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

}  // namespace
