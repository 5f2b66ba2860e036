// Sockets over real loopback connections.
#include "client/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/loopback_pair.h"
#include "client/platform.h"
#include "cpu_time.h"

using orvelle_test::LoopbackPair;

namespace {

// Waits until `size` bytes wait on the socket.
void WaitPending(Socket& s, int size) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int pending = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(platform::pending_bytes(s.Handle(), &pending), 0);
    if (pending >= size) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FAIL() << "only " << pending << " bytes arrived";
}

}  // namespace

TEST(SocketTest, SendBytesDeliversEveryByteOnceAndInOrder) {
  LoopbackPair pair;
  std::string data(100000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 253);
  std::string got;
  std::thread reader([&] {
    char buffer[4096];
    while (got.size() < data.size()) {
      int n = recv_to(pair.peer->Handle(), buffer, sizeof buffer, 0, 10000);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
  });
  EXPECT_EQ(pair.client->SendBytes(data.data(), data.size()), 100000);
  reader.join();
  EXPECT_TRUE(got == data);
  EXPECT_EQ(pair.client->SendBytes("", 0), 0);
}

TEST(SocketTest, ReceiveBytesTakesWhatIsAskedAndLeavesTheRest) {
  LoopbackPair pair;
  ASSERT_EQ(pair.peer->SendBytes("12345", 5), 5);
  WaitPending(*pair.client, 5);
  char buffer[8] = {};
  unsigned long got = 0;
  EXPECT_TRUE(pair.client->ReceiveBytes(buffer, 2, &got));
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(std::string(buffer, 2), "12");

  // The other three still wait, and make the socket readable.
  SocketSelect select(pair.client.get(), nullptr, NonBlockingSocket);
  EXPECT_TRUE(select.Readable(pair.client.get()));
  EXPECT_TRUE(pair.client->ReceiveBytes(buffer, 8, &got));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(std::string(buffer, 3), "345");
  EXPECT_TRUE(pair.client->ReceiveBytes(buffer, 8, &got));
  EXPECT_EQ(got, 0u);
}

TEST(SocketTest, ReceiveBytesOnSilentConnectionReturnsAtOnceAndFailsAfterClose) {
  LoopbackPair pair;
  char buffer[4];
  unsigned long got = 9;
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(pair.client->ReceiveBytes(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit);

  pair.peer->Close();
  bool alive = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (alive && std::chrono::steady_clock::now() < deadline) alive = pair.client->ReceiveBytes(buffer, 4, &got);
  EXPECT_FALSE(alive);
  EXPECT_EQ(got, 0u);
}

TEST(SocketTest, ReceiveOnClosedHandleLogsAndFails) {
  LoopbackPair pair;
  pair.client->Close();
  EXPECT_EQ(pair.client->Close(), -1) << "a second close must not close another descriptor";
  char buffer[4];
  unsigned long got = 9;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(pair.client->ReceiveBytes(buffer, 4, &got));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(got, 0u);
  EXPECT_NE(log.find(" ERROR: orvelle socket closed, cannot receive bytes\n"), std::string::npos) << log;
  EXPECT_FALSE(pair.client->IsAlive());
  EXPECT_TRUE(pair.peer->IsAlive());
}

TEST(SocketTest, SendToVanishedPeerFailsWithoutSignal) {
  LoopbackPair pair;
  pair.peer->Close();
  long result = 0;
  for (int i = 0; i < 200 && result >= 0; ++i) {
    result = pair.client->SendBytes("abc", 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(result, -1);
}

TEST(SocketTest, TickDifferenceAllowsForTheWrap) {
  EXPECT_EQ(GetTickDifference(10, 20), 10);
  EXPECT_EQ(GetTickDifference(4294967290LL, 5), 10);
  long long a = GetCurrentTicks();
  platform::sleep_ms(20);
  long long b = GetCurrentTicks();
  EXPECT_GE(GetTickDifference(a, b), 20);
  EXPECT_LT(GetTickDifference(a, b), 5000);
}

TEST(SocketTest, ClientReportsUnknownHostAndRefusedPort) {
  try {
    SocketClient c("no-such-host.invalid", 80);
    FAIL() << "connected to an unknown host";
  } catch (const std::string& e) {
    EXPECT_EQ(e, "");
  }
  int port;
  {
    SocketServer s(0, 1);
    port = platform::local_port(s.Handle());
  }  // nothing listens there any more
  try {
    SocketClient c("127.0.0.1", port);
    FAIL() << "connected to a closed port";
  } catch (const std::string& e) {
    EXPECT_EQ(e, "Connection refused");
  }
  try {
    SocketClient c("localhost", 70000);
    FAIL() << "connected to a port out of range";
  } catch (const std::string& e) {
    EXPECT_FALSE(e.empty());
  }
}

TEST(SocketTest, ServerRefusesATakenPortAndNonBlockingAcceptReturnsNull) {
  SocketServer server(0, 4, NonBlockingSocket);
  int port = platform::local_port(server.Handle());
  EXPECT_EQ(server.Accept(), nullptr);

  testing::internal::CaptureStderr();
  try {
    SocketServer second(port, 4);
    ADD_FAILURE() << "bound a port that is taken";
  } catch (const char* e) {
    EXPECT_STREQ(e, "INVALID_SOCKET");
  }
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" ERROR: orvelle socket failed to bind to port " + std::to_string(port) + "\n"),
            std::string::npos)
      << log;

  SocketClient client("127.0.0.1", port);
  std::unique_ptr<Socket> accepted;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!accepted && std::chrono::steady_clock::now() < deadline) accepted.reset(server.Accept());
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->SendBytes("hi", 2), 2);

  server.Close();
  try {
    server.Accept();
    ADD_FAILURE() << "accepted on a closed socket";
  } catch (const char* e) {
    EXPECT_STREQ(e, "Invalid Socket");
  }
}

TEST(SocketTest, SelectReportsReadableSocketsAndCountsADuplicateOnce) {
  LoopbackPair a;
  LoopbackPair b;
  {
    SocketSelect none(a.client.get(), b.client.get(), NonBlockingSocket);
    EXPECT_FALSE(none.Readable(a.client.get()));
    EXPECT_FALSE(none.Readable(b.client.get()));
  }
  ASSERT_EQ(b.peer->SendBytes("x", 1), 1);
  SocketSelect one(a.client.get(), b.client.get(), BlockingSocket);
  EXPECT_FALSE(one.Readable(a.client.get()));
  EXPECT_TRUE(one.Readable(b.client.get()));

  ASSERT_EQ(a.peer->SendBytes("x", 1), 1);
  SocketSelect same(a.client.get(), a.client.get(), BlockingSocket);
  EXPECT_TRUE(same.Readable(a.client.get()));

  a.client->Close();
  try {
    SocketSelect failed(a.client.get(), nullptr, NonBlockingSocket);
    ADD_FAILURE() << "waited on a closed socket";
  } catch (const char* e) {
    EXPECT_STREQ(e, "Error in select");
  }
}

TEST(SocketTest, ReceiveWithTimeoutWaitsOnlyAsLongAsAsked) {
  LoopbackPair pair;
  char buffer[8];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(recv_to(pair.client->Handle(), buffer, 8, 0, 30), -2);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
  ASSERT_EQ(pair.peer->SendBytes("abc", 3), 3);
  EXPECT_EQ(recv_to(pair.client->Handle(), buffer, 8, 0, 5000), 3);
  EXPECT_EQ(recv_to(-1, buffer, 8, 0, 10), -1);
}
