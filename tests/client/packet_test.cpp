// Framing over a real loopback connection whose far end the test drives
// byte by byte.
#include "client/packet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "client/loopback_pair.h"
#include "client/socket.h"

using orvelle_test::LoopbackPair;

namespace {

std::string be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string be32(unsigned long v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::string FrameBytes(unsigned type, unsigned long stream, const std::string& data) {
  return be16(type) + be32(stream) + be32(data.size()) + data + be32(data.size());
}

void WriteAll(Socket& s, const std::string& bytes) {
  ASSERT_EQ(s.SendBytes(bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
}

// Calls GetData until `want` bytes were taken or the packet is filled; every
// call must succeed. Returns the bytes taken.
unsigned long Take(Packet& p, Socket& s, unsigned long want) {
  unsigned long taken = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (taken < want && !p.FilledPacket() && std::chrono::steady_clock::now() < deadline) {
    int got = -1;
    EXPECT_TRUE(p.GetData(&s, &got));
    EXPECT_GE(got, 0);
    if (got <= 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    taken += static_cast<unsigned long>(got > 0 ? got : 0);
  }
  return taken;
}

// Reads `size` raw bytes from a socket, waiting for them.
std::string ReadRaw(Socket& s, std::size_t size) {
  std::string out(size, '\0');
  std::size_t have = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (have < size && std::chrono::steady_clock::now() < deadline) {
    unsigned long got = 0;
    if (!s.ReceiveBytes(out.data() + have, size - have, &got)) break;
    if (got == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    have += got;
  }
  out.resize(have);
  return out;
}

void ExpectFrame(const Packet& p, unsigned type, const std::string& data) {
  ASSERT_TRUE(p.FilledPacket());
  EXPECT_TRUE(p.OK());
  EXPECT_EQ(p.PacketType(), type);
  ASSERT_EQ(p.Length(), data.size());
  ASSERT_NE(p.Data(), nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.Data()), p.Length()), data);
  EXPECT_EQ(p.Data()[p.Length()], 0) << "received data must be followed by a NUL";
}

}  // namespace

TEST(PacketTest, AssemblesFrameSplitAtEveryOffset) {
  LoopbackPair pair;
  const std::string data = "the quick brown fox";
  const std::string frame = FrameBytes(0x0102, 7, data);
  for (std::size_t cut = 1; cut < frame.size(); ++cut) {
    SCOPED_TRACE("split at " + std::to_string(cut));
    Packet p;
    WriteAll(*pair.peer, frame.substr(0, cut));
    EXPECT_EQ(Take(p, *pair.client, cut), cut);
    EXPECT_FALSE(p.FilledPacket());
    WriteAll(*pair.peer, frame.substr(cut));
    EXPECT_EQ(Take(p, *pair.client, frame.size() - cut), frame.size() - cut);
    ExpectFrame(p, 258, data);
  }
}

TEST(PacketTest, AssemblesFrameSentOneByteAtATime) {
  LoopbackPair pair;
  const std::string data = "word";
  const std::string frame = FrameBytes(PACKET_WORD, 1, data);
  Packet p;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    EXPECT_FALSE(p.FilledPacket()) << "filled before byte " << i;
    WriteAll(*pair.peer, frame.substr(i, 1));
    EXPECT_EQ(Take(p, *pair.client, 1), 1u);
  }
  ExpectFrame(p, PACKET_WORD, data);
}

TEST(PacketTest, TakesOnlyTheFirstOfTwoFramesWrittenTogether) {
  LoopbackPair pair;
  const std::string first = FrameBytes(PACKET_AUDIO, 0, std::string(300, 'a'));
  const std::string second = FrameBytes(PACKET_END, 0, "");
  WriteAll(*pair.peer, first + second);
  Packet p1;
  EXPECT_EQ(Take(p1, *pair.client, first.size() + second.size()), first.size());
  ExpectFrame(p1, PACKET_AUDIO, std::string(300, 'a'));

  // A filled packet takes nothing more.
  int got = -1;
  EXPECT_TRUE(p1.GetData(pair.client.get(), &got));
  EXPECT_EQ(got, 0);

  Packet p2;
  EXPECT_EQ(Take(p2, *pair.client, second.size()), second.size());
  ExpectFrame(p2, PACKET_END, "");
}

TEST(PacketTest, ReceivedDataGetsNulAfterItAndEmptyFrameAnEmptyBuffer) {
  LoopbackPair pair;
  WriteAll(*pair.peer, FrameBytes(PACKET_WORD, 0, "word") + FrameBytes(PACKET_END, 0, ""));
  Packet word;
  Take(word, *pair.client, 1000);
  ExpectFrame(word, PACKET_WORD, "word");

  Packet end;
  EXPECT_EQ(Take(end, *pair.client, 1000), 14u);
  ExpectFrame(end, PACKET_END, "");
  EXPECT_NE(end.Data(), nullptr);
}

TEST(PacketTest, DifferentClosingLengthIsFilledButNotOK) {
  LoopbackPair pair;
  WriteAll(*pair.peer, be16(PACKET_WORD) + be32(0) + be32(3) + "abc" + be32(4));
  Packet p;
  Take(p, *pair.client, 1000);
  EXPECT_TRUE(p.FilledPacket());
  EXPECT_FALSE(p.OK());
}

TEST(PacketTest, ReceivesLargestFrameAndRefusesOneByteMore) {
  LoopbackPair pair;
  std::string big(max_packet_length, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  std::thread writer([&] { WriteAll(*pair.peer, FrameBytes(PACKET_AUDIO, 0, big)); });
  Packet p;
  Take(p, *pair.client, big.size() + 14);
  writer.join();
  ExpectFrame(p, PACKET_AUDIO, big);

  WriteAll(*pair.peer, be16(PACKET_AUDIO) + be32(0) + be32(max_packet_length + 1) + "next");
  testing::internal::CaptureStderr();
  Packet refused;
  bool ok = true;
  int got = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ok && std::chrono::steady_clock::now() < deadline) {
    ok = refused.GetData(pair.client.get(), &got);
    if (ok) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  // Asked again, it stays refused and reads none of the data.
  EXPECT_FALSE(refused.GetData(pair.client.get(), &got));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_FALSE(refused.FilledPacket());
  EXPECT_NE(log.find(" ERROR: orvelle receive error, packet too big for packet type 10 length is 64001\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(ReadRaw(*pair.client, 4), "next");
}

TEST(PacketTest, SendsLargestFrameAndRefusesOneByteMoreBeforeWritingAnything) {
  LoopbackPair pair;
  std::string big(max_packet_length + 1, 'x');
  testing::internal::CaptureStderr();
  Packet refused(0, PACKET_TEXT, reinterpret_cast<unsigned char*>(big.data()), max_packet_length + 1, false);
  EXPECT_FALSE(refused.SendData(pair.client.get()));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" ERROR: orvelle send error, packet too big for packet type 1 length is 64001\n"),
            std::string::npos)
      << log;

  // The next frame is the first thing the peer sees: nothing of the refused
  // one reached the connection.
  bool sent = false;
  std::thread sender([&] {
    Packet largest(3, PACKET_TEXT, reinterpret_cast<unsigned char*>(big.data()), max_packet_length, false);
    sent = largest.SendData(pair.client.get());
  });
  Packet p;
  Take(p, *pair.peer, max_packet_length + 14);
  sender.join();
  EXPECT_TRUE(sent);
  ExpectFrame(p, PACKET_TEXT, std::string(max_packet_length, 'x'));
}

TEST(PacketTest, WritesBigEndianFrameWithTheLengthTwice) {
  LoopbackPair pair;
  auto* owned = static_cast<unsigned char*>(std::malloc(3));
  std::memcpy(owned, "abc", 3);
  {
    Packet p(0x01020304, 0x0102, owned, 3, true);  // frees its bytes
    EXPECT_TRUE(p.SendData(pair.client.get()));
  }
  Packet close(5, PACKET_CLOSE, nullptr, 0, false);
  EXPECT_TRUE(close.SendData(pair.client.get()));
  EXPECT_EQ(ReadRaw(*pair.peer, 17), be16(0x0102) + be32(0x01020304) + be32(3) + "abc" + be32(3));
  EXPECT_EQ(ReadRaw(*pair.peer, 14), std::string("\x00\x0c\x00\x00\x00\x05", 6) + std::string(8, '\0'));
}

TEST(PacketTest, PayloadIsSerialisedAfreshOnEverySend) {
  LoopbackPair pair;
  unsigned char ae[] = "ae";
  unsigned char t[] = "t";
  Packet p(0, PACKET_PHONEME, new PhonemePacketData(640, ae, t, 16000, 1, 2, 3, 4, 5, 6));
  EXPECT_TRUE(p.SendData(pair.client.get()));
  ae[1] = 'x';
  EXPECT_TRUE(p.SendData(pair.client.get()));
  EXPECT_EQ(p.Length(), 51u);

  for (const char* name : {"ae", "ax"}) {
    Packet got;
    Take(got, *pair.peer, 1000);
    ASSERT_TRUE(got.OK());
    EXPECT_EQ(got.PacketType(), PACKET_PHONEME);
    phoneme_data record;
    ASSERT_TRUE(ReadPhonemeData(got.Data(), got.Length(), &record));
    EXPECT_STREQ(record.phoneme, name);
    EXPECT_STREQ(record.next_phoneme, "t");
    EXPECT_EQ(record.next_sapi_viseme, 6u);
  }
}

TEST(PacketTest, SendToClosedPeerFailsWithoutSignal) {
  LoopbackPair pair;
  pair.peer->Close();
  std::string text = "hello";
  testing::internal::CaptureStderr();
  bool sent = true;
  // The first frames may still be taken by the kernel; the reset that the
  // closed peer answers with then fails the next send (never a SIGPIPE).
  for (int i = 0; i < 200 && sent; ++i) {
    Packet p(0, PACKET_TEXT, reinterpret_cast<unsigned char*>(text.data()), 6, false);
    sent = p.SendData(pair.client.get());
    if (sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(sent);
  EXPECT_NE(log.find(" ERROR: error sending net_packet_type for packet of type 1\n"), std::string::npos) << log;
}

TEST(PacketTest, ReceiveFailsOnceThePeerHasClosed) {
  LoopbackPair pair;
  WriteAll(*pair.peer, be16(PACKET_AUDIO) + be32(0));
  pair.peer->Close();
  Packet p;
  bool ok = true;
  int got = 0;
  unsigned long taken = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ok && std::chrono::steady_clock::now() < deadline) {
    ok = p.GetData(pair.client.get(), &got);
    if (ok) taken += static_cast<unsigned long>(got);
  }
  EXPECT_FALSE(ok);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(taken, 6u);
  EXPECT_FALSE(p.FilledPacket());
}

TEST(PacketTest, NoSocketFailsBothWays) {
  Packet p;
  int got = 7;
  EXPECT_FALSE(p.GetData(nullptr, &got));
  EXPECT_EQ(got, 0);
  testing::internal::CaptureStderr();
  Packet q(0, PACKET_CLOSE, nullptr, 0, false);
  EXPECT_FALSE(q.SendData(nullptr));
  testing::internal::GetCapturedStderr();
}

// Random byte streams: every frame taken lies within what was written, and
// the reader ends (false) once the stream closes.
TEST(PacketTest, RandomByteStreamsNeverOverrunOrHang) {
  std::mt19937 rng(12345);
  for (int round = 0; round < 60; ++round) {
    LoopbackPair pair;
    std::string bytes;
    int frames = static_cast<int>(rng() % 4);
    for (int f = 0; f < frames; ++f) {
      std::string data(rng() % 40, '\0');
      for (char& c : data) c = static_cast<char>(rng());
      bytes += FrameBytes(rng() % 20, rng(), data);
    }
    std::size_t noise = rng() % 40;
    for (std::size_t i = 0; i < noise; ++i) {
      // Small lengths now and then so that a random header still completes.
      bytes.push_back(static_cast<char>(rng() % 3 == 0 ? 0 : rng()));
    }
    if (!bytes.empty()) bytes.resize(rng() % (bytes.size() + 1));
    WriteAll(*pair.peer, bytes);
    pair.peer->Close();

    testing::internal::CaptureStderr();
    unsigned long taken = 0;
    int good = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::unique_ptr<Packet> p = std::make_unique<Packet>();
    for (;;) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "reader did not finish";
      int got = 0;
      if (!p->GetData(pair.client.get(), &got)) break;
      taken += static_cast<unsigned long>(got);
      if (p->FilledPacket()) {
        ASSERT_LE(p->Length() + 14ul, taken);
        if (p->OK()) ++good;
        ASSERT_EQ(p->Data()[p->Length()], 0);
        p = std::make_unique<Packet>();
      }
    }
    testing::internal::GetCapturedStderr();
    EXPECT_LE(taken, bytes.size());
    EXPECT_LE(good, frames + 3);
  }
}
