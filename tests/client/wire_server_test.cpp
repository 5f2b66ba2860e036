// Packets against the loopback speech server, which checks our frames from
// its own reading of the protocol.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/packet.h"
#include "client/socket.h"
#include "client/speech_server.h"

using orvelle_test::SpeechServer;
using orvelle_test::to_hex;

namespace {

struct Received {
  bool ok = false;        // GetData never failed
  unsigned type = 0;
  std::string data;
  bool good = false;      // both length copies agree
  int calls_with_data = 0;
  int idle_calls = 0;
};

// Reads one frame, polling as the wait loop does.
Received ReadFrame(Socket& socket, int timeout_ms = 10000) {
  Received r;
  Packet p;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!p.FilledPacket() && std::chrono::steady_clock::now() < deadline) {
    int got = 0;
    if (!p.GetData(&socket, &got)) return r;
    if (got > 0) {
      ++r.calls_with_data;
    } else {
      ++r.idle_calls;
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }
  r.ok = p.FilledPacket();
  r.good = p.OK();
  r.type = p.PacketType();
  r.data.assign(reinterpret_cast<const char*>(p.Data()), p.Length());
  return r;
}

bool Send(Socket& socket, unsigned short type, std::string data) {
  Packet p(0, type, reinterpret_cast<unsigned char*>(data.data()), static_cast<unsigned>(data.size()), false);
  return p.SendData(&socket);
}

std::string Text(const std::string& s) { return s + '\0'; }

// Frames until END (included), or until a frame fails.
std::vector<Received> ReadUntilEnd(Socket& socket) {
  std::vector<Received> frames;
  for (;;) {
    frames.push_back(ReadFrame(socket));
    if (!frames.back().ok || frames.back().type == PACKET_END) return frames;
  }
}

std::string Pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(i * 7 % 251);
  return s;
}

}  // namespace

TEST(WireServerTest, ServerSeesTextQueryAndCloseFramesByteExact) {
  SpeechServer server;
  ASSERT_TRUE(server.running()) << server.error();
  SocketClient client("localhost", server.port());

  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("hello")));
  std::vector<Received> reply = ReadUntilEnd(client);
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0].type, PACKET_AUDIO);
  EXPECT_EQ(reply[0].data.size(), 32000u) << "one second of 16-bit audio at 16 kHz";

  ASSERT_TRUE(Send(client, PACKET_XML, Text("<voice name=\"all\"/>")));
  reply = ReadUntilEnd(client);
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0].type, PACKET_XML);
  EXPECT_NE(reply[0].data.find("<voice name=\"Velisa\""), std::string::npos) << reply[0].data;
  EXPECT_NE(reply[0].data.find("SAMPLE_RATE=\"16000\""), std::string::npos);
  EXPECT_EQ(reply[0].data.back(), '\0');

  ASSERT_TRUE(Send(client, PACKET_CLOSE, ""));
  ASSERT_TRUE(server.wait_for("disconnect", 1));

  auto frames = server.frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].type, 1u);
  EXPECT_EQ(frames[0].data, std::string("hello\0", 6));
  EXPECT_EQ(frames[0].length, 6u);
  EXPECT_EQ(frames[0].trailer, 6u);
  EXPECT_TRUE(frames[0].ok);
  EXPECT_EQ(frames[1].type, 13u);
  EXPECT_EQ(frames[1].data, Text("<voice name=\"all\"/>"));
  EXPECT_EQ(frames[2].type, 12u);
  EXPECT_EQ(frames[2].length, 0u);
  EXPECT_TRUE(frames[2].ok);
}

TEST(WireServerTest, ReceivesEveryEventTypeAsSent) {
  SpeechServer server(R"({"rules": [{"when": {"text": "events"}, "reply": [
      {"word": "w1"}, {"bookmark": "b1", "nul": false}, {"spurt": "<s/>"}, {"xml": "<x/>"},
      {"audio": {"hex": "0102fffe"}},
      {"phoneme": {"phoneme": "ae", "next": "t", "phone_length": 640, "sample_rate": 16000,
                   "sapi_viseme": 1, "disney_viseme": 2, "stress": 3, "sapi_phoneid": 4,
                   "next_sapi_phoneid": 5, "next_sapi_viseme": 6}},
      {"phoneme": {"phoneme": "ae", "next": "t", "sample_rate": 8000, "sapi_viseme": 9,
                   "disney_viseme": 8, "stress": 7, "truncate": 29}},
      {"phoneme": {"phoneme": "ae", "next": "t", "truncate": 10}},
      {"end": true}]}]})");
  ASSERT_TRUE(server.running()) << server.error();
  SocketClient client("127.0.0.1", server.port());
  ASSERT_TRUE(Send(client, PACKET_TEXT_STREAM, Text("events")));
  std::vector<Received> f = ReadUntilEnd(client);
  ASSERT_EQ(f.size(), 9u);
  for (const Received& r : f) EXPECT_TRUE(r.good);
  EXPECT_EQ(f[0].type, PACKET_WORD);
  EXPECT_EQ(f[0].data, Text("w1"));
  EXPECT_EQ(f[1].type, PACKET_BOOKMARK);
  EXPECT_EQ(f[1].data, "b1");
  EXPECT_EQ(f[2].type, PACKET_SPURT);
  EXPECT_EQ(f[3].type, PACKET_XML);
  EXPECT_EQ(f[3].data, Text("<x/>"));
  EXPECT_EQ(f[4].type, PACKET_AUDIO);
  EXPECT_EQ(f[4].data, std::string("\x01\x02\xff\xfe", 4));

  phoneme_data record;
  ASSERT_EQ(f[5].type, PACKET_PHONEME);
  ASSERT_TRUE(ReadPhonemeData(reinterpret_cast<unsigned char*>(f[5].data.data()),
                              static_cast<unsigned>(f[5].data.size()), &record));
  EXPECT_STREQ(record.phoneme, "ae");
  EXPECT_STREQ(record.next_phoneme, "t");
  EXPECT_EQ(record.phone_length_in_bytes, 640u);
  EXPECT_EQ(record.sample_rate, 16000u);
  EXPECT_EQ(record.sapi_viseme, 1u);
  EXPECT_EQ(record.disney_viseme, 2u);
  EXPECT_EQ(record.stress, 3u);
  EXPECT_EQ(record.sapi_phoneid, 4u);
  EXPECT_EQ(record.next_sapi_phoneid, 5u);
  EXPECT_EQ(record.next_sapi_viseme, 6u);

  // Cut after disney_viseme (E + 12 bytes).
  ASSERT_TRUE(ReadPhonemeData(reinterpret_cast<unsigned char*>(f[6].data.data()),
                              static_cast<unsigned>(f[6].data.size()), &record));
  EXPECT_EQ(record.sample_rate, 8000u);
  EXPECT_EQ(record.sapi_viseme, 9u);
  EXPECT_EQ(record.disney_viseme, 8u);
  EXPECT_EQ(record.stress, 0u);
  EXPECT_EQ(record.next_sapi_viseme, 0u);

  testing::internal::CaptureStderr();
  EXPECT_FALSE(ReadPhonemeData(reinterpret_cast<unsigned char*>(f[7].data.data()),
                               static_cast<unsigned>(f[7].data.size()), &record));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("WARNING: malformed phoneme packet of length 10"),
            std::string::npos);
}

TEST(WireServerTest, AssemblesFramesDeliveredInSlices) {
  SpeechServer server(R"({"rules": [
      {"when": {"text": "bytewise"}, "reply": [{"mode": "bytewise", "delay_ms": 3},
          {"word": "one byte at a time"}, {"end": true}]},
      {"when": {"text": "chunks"}, "reply": [{"mode": "chunks", "size": 3, "delay_ms": 2},
          {"audio": {"hex": "00112233445566778899"}}, {"end": true}]},
      {"when": {"text": "pairs"}, "reply": [{"mode": "pairs"},
          {"word": "a"}, {"word": "b"}, {"word": "c"}, {"end": true}]},
      {"when": {"text": "stall"}, "reply": [
          {"frame": {"type": 8, "text": "late", "split_at": [3, 12], "pause_ms": 150}}, {"end": true}]}]})");
  ASSERT_TRUE(server.running()) << server.error();
  SocketClient client("127.0.0.1", server.port());

  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("bytewise")));
  std::vector<Received> f = ReadUntilEnd(client);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].data, Text("one byte at a time"));
  EXPECT_GT(f[0].calls_with_data, 5) << "the frame came in one piece; the slicing was not exercised";
  EXPECT_TRUE(f[1].ok);

  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("chunks")));
  f = ReadUntilEnd(client);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].data, std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99", 10));

  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("pairs")));
  f = ReadUntilEnd(client);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].data + f[1].data + f[2].data, Text("a") + Text("b") + Text("c"));

  // A stall inside the header: polling sees nothing for a while, then the
  // frame completes where it stopped.
  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("stall")));
  f = ReadUntilEnd(client);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].type, PACKET_WORD);
  EXPECT_EQ(f[0].data, "late");
  EXPECT_GT(f[0].idle_calls, 10);
}

TEST(WireServerTest, LargestFramePassesBothWaysAndOneByteMoreIsRefused) {
  const std::string big = Pattern(max_packet_length);
  SpeechServer server(R"({"text_reply": [{"end": true}], "rules": [
      {"when": {"text": "big"}, "reply": [{"audio": {"hex": ")" + to_hex(big) + R"(", "frame_bytes": 64000}},
          {"end": true}]},
      {"when": {"text": "too big"}, "reply": [{"frame": {"type": 10, "length": 64001}}]}]})");
  ASSERT_TRUE(server.running()) << server.error();
  SocketClient client("127.0.0.1", server.port());

  // Sending: 64,001 bytes are refused before anything is written; 64,000 go.
  std::string text(max_packet_length + 1, 'y');
  testing::internal::CaptureStderr();
  EXPECT_FALSE(Send(client, PACKET_TEXT, text));
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "ERROR: orvelle send error, packet too big for packet type 1 length is 64001\n"),
            std::string::npos);
  text.resize(max_packet_length - 1);
  ASSERT_TRUE(Send(client, PACKET_TEXT, Text(text)));
  EXPECT_EQ(ReadUntilEnd(client).size(), 1u);
  auto frames = server.frames();
  ASSERT_EQ(frames.size(), 1u) << "the refused frame reached the server";
  EXPECT_EQ(frames[0].length, 64000u);
  EXPECT_TRUE(frames[0].ok);
  EXPECT_EQ(frames[0].data, Text(text));

  // Receiving.
  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("big")));
  std::vector<Received> f = ReadUntilEnd(client);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_TRUE(f[0].data == big);

  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("too big")));
  testing::internal::CaptureStderr();
  Received refused = ReadFrame(client);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(refused.ok);
  EXPECT_NE(log.find("ERROR: orvelle receive error, packet too big for packet type 10 length is 64001\n"),
            std::string::npos)
      << log;
}

TEST(WireServerTest, BadLengthTrailerAndConnectionEndsAreReported) {
  SpeechServer server(R"({"rules": [
      {"when": {"text": "trailer"}, "reply": [{"frame": {"type": 8, "text": "w", "trailer": 2}}]},
      {"when": {"text": "close"}, "reply": [{"word": "bye"}, {"close": true}]},
      {"when": {"text": "drop"}, "reply": [{"word": "gone"}, {"drop": true}]}]})");
  ASSERT_TRUE(server.running()) << server.error();
  {
    SocketClient client("127.0.0.1", server.port());
    ASSERT_TRUE(Send(client, PACKET_TEXT, Text("trailer")));
    Received r = ReadFrame(client);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.good);
  }
  {
    SocketClient client("127.0.0.1", server.port());
    ASSERT_TRUE(Send(client, PACKET_TEXT, Text("close")));
    EXPECT_EQ(ReadFrame(client).data, Text("bye"));
    Received close = ReadFrame(client);
    EXPECT_TRUE(close.good);
    EXPECT_EQ(close.type, PACKET_CLOSE);
  }
  {
    SocketClient client("127.0.0.1", server.port());
    ASSERT_TRUE(Send(client, PACKET_TEXT, Text("drop")));
    EXPECT_EQ(ReadFrame(client).data, Text("gone"));
    EXPECT_FALSE(ReadFrame(client).ok) << "a dropped connection must fail the receive";
  }
}

TEST(WireServerTest, ServerRefusesBadFramesFromAClient) {
  SpeechServer server;
  ASSERT_TRUE(server.running()) << server.error();
  {
    SocketClient client("127.0.0.1", server.port());
    const char header[] = {0, 1, 0, 0, 0, 0, 0, 0, '\xfa', 1};  // length 64,001
    ASSERT_EQ(client.SendBytes(header, sizeof header), 10);
    ASSERT_TRUE(server.wait_for("disconnect", 1));
  }
  {
    SocketClient client("127.0.0.1", server.port());
    const char frame[] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 'x', 0, 0, 0, 2};
    ASSERT_EQ(client.SendBytes(frame, sizeof frame), 15);
    ASSERT_TRUE(server.wait_for("disconnect", 2));
  }
  std::string lines;
  for (const std::string& l : server.log_lines()) lines += l + "\n";
  EXPECT_NE(lines.find("bad_length conn=1 type=1 stream=0 length=64001"), std::string::npos) << lines;
  EXPECT_NE(lines.find("disconnect conn=1 reason=bad_length"), std::string::npos) << lines;
  EXPECT_NE(lines.find("frame conn=2 type=1 stream=0 length=1 trailer=2 ok=0 data=78"), std::string::npos) << lines;
  EXPECT_NE(lines.find("disconnect conn=2 reason=bad_trailer"), std::string::npos) << lines;
}

TEST(WireServerTest, StreamingServerStopsWhenTheClientCloses) {
  SpeechServer server(R"({"text_reply": [{"stream": {"type": 10, "bytes": 640, "interval_ms": 2}}]})");
  ASSERT_TRUE(server.running()) << server.error();
  SocketClient client("127.0.0.1", server.port());
  ASSERT_TRUE(Send(client, PACKET_TEXT, Text("go on")));
  for (int i = 0; i < 5; ++i) {
    Received r = ReadFrame(client);
    ASSERT_TRUE(r.good);
    EXPECT_EQ(r.type, PACKET_AUDIO);
    EXPECT_EQ(r.data.size(), 640u);
  }
  ASSERT_TRUE(Send(client, PACKET_CLOSE, ""));
  ASSERT_TRUE(server.wait_for("disconnect", 1));
  EXPECT_TRUE(server.wait_for("close", 1));
}
