// The connection's send path and wait loop, byte for byte against the
// loopback speech server.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/speech_server.h"
#include "cpu_time.h"

using orvelle_test::ServerFrame;
using orvelle_test::SpeechServer;

namespace {

struct Counter {
  int events = 0;
  int refuse_after = -1;
};

int Count(void* user, int, void*, long) {
  auto* c = static_cast<Counter*>(user);
  ++c->events;
  return c->events == c->refuse_after ? 1 : 0;
}

struct Connected {
  SpeechServer server;
  ThreadedConnection connection;
  Counter counter;
  explicit Connected(const std::string& script) : server(script) {
    EXPECT_TRUE(server.running()) << server.error();
    EXPECT_TRUE(connection.Connect("127.0.0.1", server.port()));
    connection.SetCallBack(Count);
    connection.SetUserData(&counter);
  }
};

const char* kEndOnly = R"({"text_reply": [{"end": true}], "query_reply": [{"end": true}]})";

}  // namespace

TEST(ConnectionTest, CloseFrameIsTypeTwelveWithTwelveZeroBytes) {
  Connected c(kEndOnly);
  ASSERT_TRUE(c.connection.CloseStreamSocket());
  EXPECT_TRUE(c.connection.Close());
  EXPECT_FALSE(c.connection.Close());  // no socket any more
  EXPECT_FALSE(c.connection.CloseStreamSocket());
  ASSERT_TRUE(c.server.wait_for("frame", 1));
  auto frames = c.server.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, 12u);
  EXPECT_EQ(frames[0].stream, 0u);
  EXPECT_EQ(frames[0].length, 0u);
  EXPECT_EQ(frames[0].trailer, 0u);
  EXPECT_TRUE(c.server.wait_for("close", 1));
}

TEST(ConnectionTest, SendDataFramesByLengthAndFlush) {
  struct Case {
    std::size_t length;
    bool flush;
    std::vector<std::pair<unsigned, unsigned long>> frames;  // type, data length
    int owed;  // answers not yet awaited after SendData
  } cases[] = {
      {0, false, {}, 0},
      {0, true, {{1, 1}}, 1},
      {5, false, {{15, 6}}, 1},
      {5, true, {{1, 6}}, 1},
      {63999, true, {{1, 64000}}, 1},
      {64000, true, {{15, 64000}, {1, 2}}, 1},
      {64000, false, {{15, 64000}, {15, 2}}, 1},
      {127998, true, {{15, 64000}, {1, 64000}}, 1},
      {127999, true, {{15, 64000}, {15, 64000}, {1, 2}}, 1},
  };
  for (const Case& k : cases) {
    Connected c(kEndOnly);
    std::string text(k.length, 'a');
    for (std::size_t i = 0; i < text.size(); i += 1000) text[i] = static_cast<char>('b' + (i / 1000) % 20);
    ASSERT_TRUE(c.connection.SendData(text.c_str(), true, k.flush)) << k.length;
    // Every piece but the last was awaited.
    EXPECT_EQ(c.connection.RepliesOwed(), k.owed) << k.length;
    EXPECT_TRUE(c.connection.WaitForEndPacket());
    EXPECT_EQ(c.connection.RepliesOwed(), 0);
    auto frames = c.server.frames();
    ASSERT_EQ(frames.size(), k.frames.size()) << k.length;
    std::string joined;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].type, k.frames[i].first) << k.length << " frame " << i;
      EXPECT_EQ(frames[i].length, k.frames[i].second) << k.length << " frame " << i;
      ASSERT_FALSE(frames[i].data.empty());
      EXPECT_EQ(frames[i].data.back(), '\0');
      joined += frames[i].data.substr(0, frames[i].data.size() - 1);
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(c.connection.LastLength(), k.length > 63999 ? (k.length - 1) % 63999 + 1 : k.length);
    EXPECT_EQ(c.connection.StreamMode(), k.flush || k.length == 0 ? 0 : 1);
  }
}

TEST(ConnectionTest, SendQueryCarriesTextAndNul) {
  Connected c(kEndOnly);
  ASSERT_TRUE(c.connection.SendQuery("<voice name=\"all\"/>"));
  EXPECT_TRUE(c.connection.WaitForEndPacket());
  auto frames = c.server.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, 13u);
  EXPECT_EQ(frames[0].data, std::string("<voice name=\"all\"/>", 20));
}

TEST(ConnectionTest, WaitEndsFalseWhenServerClosesOrDrops) {
  for (const char* script : {R"({"query_reply": [{"word": "w"}, {"close": true}]})",
                             R"({"query_reply": [{"word": "w"}, {"drop": true}]})",
                             R"({"query_reply": [{"reset": true}]})"}) {
    Connected c(script);
    ASSERT_TRUE(c.connection.SendQuery("<q/>"));
    EXPECT_FALSE(c.connection.WaitForEndPacket()) << script;
  }
}

TEST(ConnectionTest, FramingErrorClosesTheSocket) {
  // A wrong closing length, and a length above the limit.
  for (const char* script : {R"({"query_reply": [{"frame": {"type": 10, "hex": "0102", "trailer": 3}},
                                                 {"end": true}]})",
                             R"({"query_reply": [{"frame": {"type": 10, "hex": "", "length": 64001}},
                                                 {"end": true}]})"}) {
    Connected c(script);
    ASSERT_TRUE(c.connection.SendQuery("<q/>"));
    EXPECT_FALSE(c.connection.WaitForEndPacket()) << script;
    EXPECT_FALSE(c.connection.IsConnected()) << script;
    EXPECT_EQ(c.counter.events, 0);
    EXPECT_FALSE(c.connection.SendQuery("<q/>"));
  }
}

TEST(ConnectionTest, FramesArrivingByteByByteAreAssembled) {
  Connected c(R"({"query_reply": [{"mode": "bytewise", "delay_ms": 0}, {"word": "slowly"},
                                  {"audio": {"bytes": 100}}, {"end": true}]})");
  ASSERT_TRUE(c.connection.SendQuery("<q/>"));
  EXPECT_TRUE(c.connection.WaitForEndPacket());
  EXPECT_EQ(c.counter.events, 2);
}

TEST(ConnectionTest, SilenceLongerThanTimeoutClosesTheConnection) {
  Connected c(R"({"rules": [{"when": {"text": "late"}, "reply": [{"stall_ms": 60000}, {"word": "late"},
                                                                  {"end": true}]}],
                  "query_reply": [{"word": "on time"}, {"end": true}]})");
  c.connection.SetReceiveTimeout(50);
  ASSERT_TRUE(c.connection.SendQuery("late"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.connection.WaitForEndPacket());
  EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit);
  // A silent server may have lost its END: the stream is not trusted any
  // more, so the next request fails at once instead of waiting again.
  EXPECT_FALSE(c.connection.IsConnected());
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(c.connection.SendQuery("next"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit);
  EXPECT_EQ(c.counter.events, 0);
  // Connecting again gives a connection in step.
  c.connection.SetReceiveTimeout(5000);
  ASSERT_TRUE(c.connection.Connect("127.0.0.1", c.server.port()));
  ASSERT_TRUE(c.connection.SendQuery("next"));
  EXPECT_TRUE(c.connection.WaitForEndPacket());
  EXPECT_EQ(c.counter.events, 1);
  EXPECT_EQ(c.connection.RepliesOwed(), 0);
}

TEST(ConnectionTest, QuitFlagEndsWaitAtOnceAndDeliversNothing) {
  Connected c(R"({"query_reply": [{"stall_ms": 100}, {"word": "w"}, {"end": true}]})");
  ASSERT_TRUE(c.connection.SendQuery("<q/>"));
  c.connection.SetQuitFlag(true);
  EXPECT_TRUE(c.connection.WaitForEndPacket());
  EXPECT_EQ(c.counter.events, 0);
  c.connection.SetQuitFlag(false);
  ASSERT_TRUE(c.connection.SendQuery("<q/>"));
  EXPECT_TRUE(c.connection.WaitForEndPacket());
  EXPECT_EQ(c.counter.events, 1);  // only the second answer's word
}

TEST(ConnectionTest, EventCaptureTakesEventsInsteadOfTheCallback) {
  Connected c(R"({"query_reply": [{"xml": "<v/>"}, {"end": true}]})");
  Counter captured;
  c.connection.SetEventCapture(Count, &captured);
  ASSERT_TRUE(c.connection.SendQuery("<q/>"));
  EXPECT_TRUE(c.connection.WaitForEndPacket());
  c.connection.ClearEventCapture();
  EXPECT_EQ(captured.events, 1);
  EXPECT_EQ(c.counter.events, 0);
  EXPECT_EQ(c.connection.GetUserData(), &c.counter);
  EXPECT_EQ(c.connection.GetCallBack(), &Count);
}

TEST(ConnectionTest, ConnectFailuresLeaveTheOpenSocket) {
  Connected c(kEndOnly);
  EXPECT_FALSE(c.connection.Connect("no.such.host.invalid", c.server.port()));
  EXPECT_FALSE(c.connection.Connect(nullptr, 1));
  EXPECT_FALSE(c.connection.Connect("127.0.0.1", 0));
  EXPECT_FALSE(c.connection.Connect("127.0.0.1", 65536));
  EXPECT_TRUE(c.connection.IsConnected());
  ASSERT_TRUE(c.connection.SendQuery("<still/>"));
  EXPECT_TRUE(c.connection.WaitForEndPacket());
}

TEST(ConnectionTest, ThreadFinishedEventIsFiredEvenWhenQuitting) {
  ThreadedConnection connection;
  Counter counter;
  connection.SetCallBack(Count);
  connection.SetUserData(&counter);
  connection.SetQuitFlag(true);
  connection.FireEvent(PACKET_AUDIO);
  EXPECT_EQ(counter.events, 0);
  connection.FireEvent(PACKET_THREAD_FINISHED);
  EXPECT_EQ(counter.events, 1);
}

TEST(ConnectionTest, RandomAnswerBytesNeverCrashOrHang) {
  // Forty answers: valid frames with one byte changed, and plain noise,
  // each followed by an END. The wait ends either way, quickly.
  std::mt19937 random(11);
  auto frame = [](unsigned type, const std::string& data) {
    std::string f;
    f.push_back(static_cast<char>(type >> 8));
    f.push_back(static_cast<char>(type));
    f.append(4, '\0');
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<char>(data.size() >> shift));
    f += data;
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<char>(data.size() >> shift));
    return f;
  };
  std::string rules;
  const int cases = 40;
  for (int i = 0; i < cases; ++i) {
    std::string bytes;
    if (i % 2 == 0) {
      bytes = frame(3, std::string(random() % 40, 'p')) + frame(10, std::string(random() % 300, 'a')) +
              frame(8, "w");
      bytes[random() % bytes.size()] = static_cast<char>(random());
    } else {
      bytes.resize(random() % 200);
      for (char& ch : bytes) ch = static_cast<char>(random() % 4 == 0 ? random() : random() % 16);
    }
    bytes += frame(11, "");
    if (!rules.empty()) rules += ",";
    rules += R"({"when": {"text": "q)" + std::to_string(i) + R"("}, "reply": [{"raw": ")" +
             orvelle_test::to_hex(bytes) + R"("}]})";
  }
  SpeechServer server(R"({"rules": [)" + rules + "]}");
  ASSERT_TRUE(server.running()) << server.error();
  int ended = 0, failed = 0;
  for (int i = 0; i < cases; ++i) {
    ThreadedConnection connection;
    Counter counter;
    connection.SetCallBack(Count);
    connection.SetUserData(&counter);
    connection.SetReceiveTimeout(100);
    ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(connection.SendQuery(("q" + std::to_string(i)).c_str()));
    auto start = std::chrono::steady_clock::now();
    (connection.WaitForEndPacket() ? ended : failed)++;
    EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit) << i;
    EXPECT_LE(counter.events, 3) << i;
  }
  // Both outcomes occur: changed bytes that still frame correctly end with
  // the END, the rest is refused.
  EXPECT_GT(ended, 0);
  EXPECT_GT(failed, 0);
}

TEST(ConnectionTest, InlineTokeniserWorksOnTheConnectionsOwnState) {
  ThreadedConnection connection;
  ASSERT_TRUE(connection.Inline().ok()) << connection.Inline().pattern_error();
  connection.TokeniseText("a<b", false, true);
  EXPECT_EQ(connection.Inline().tokenised_out(),
            "<parent><mark name=\"qrlntk_0_0_1_1\"/>a&lt;<mark name=\"qrlntk_2_2_1_1\"/>b</parent>");
  // The channel route empties the inline output and hands back the
  // channel's own result.
  const char* out = connection.TokeniseTextTP("Hi", true, true);
  EXPECT_TRUE(connection.Inline().tokenised_out().empty());
  EXPECT_NE(out, nullptr);
  EXPECT_EQ(Connection::totoken("x", 5000), 904);
  EXPECT_EQ(Connection::totoken("x", 100), 0);
}
