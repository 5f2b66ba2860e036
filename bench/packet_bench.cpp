// Frames over loopback through Packet against an in-process peer, measured
// against a plain send/recv loop over the same bytes in the same run:
//   throughput of 64,000- and 1,000-byte frames (aim: at least 0.7 of plain)
//   round trip of one small frame and its reply (aim: within 1.5x of plain)
// The ratios are printed after the table (best of several rounds).
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/packet.h"
#include "client/socket.h"
#include "tests/client/loopback_pair.h"

using orvelle_test::LoopbackPair;

namespace {

std::string FrameBytes(unsigned short type, const std::string& data) {
  auto be32 = [](unsigned long v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
  };
  return std::string{static_cast<char>(type >> 8), static_cast<char>(type)} + be32(0) + be32(data.size()) + data +
         be32(data.size());
}

// Receives one whole frame through Packet, waiting for readability when the
// socket has nothing. A reply cannot be there before it is asked for, so a
// round trip waits first, as the blocking recv of the plain loop does.
bool ReceivePacket(Socket& socket, Packet& p, bool wait_first = false) {
  if (wait_first) SocketSelect wait(&socket, nullptr, BlockingSocket);
  while (!p.FilledPacket()) {
    int got = 0;
    if (!p.GetData(&socket, &got)) return false;
    // An unfilled frame waits for more bytes (at once if some are there).
    if (!p.FilledPacket()) SocketSelect wait(&socket, nullptr, BlockingSocket);
  }
  return true;
}

bool PlainReceive(int handle, char* buffer, std::size_t size) {
  return ::recv(handle, buffer, size, MSG_WAITALL) == static_cast<ssize_t>(size);
}

bool PlainSend(int handle, const std::string& bytes) {
  return ::send(handle, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// The sender keeps writing until told to stop; the reader then drains what
// is left so that no send fails (and logs) at the end.
void StopSender(std::atomic<bool>& stop, std::atomic<bool>& done, Socket& reader, std::thread& sender) {
  stop = true;
  char scratch[65536];
  while (!done) {
    unsigned long got = 0;
    if (!reader.ReceiveBytes(scratch, sizeof scratch, &got)) break;
    if (got == 0) std::this_thread::yield();
  }
  sender.join();
}

void BM_PacketThroughput(benchmark::State& state) {
  const unsigned size = static_cast<unsigned>(state.range(0));
  LoopbackPair pair;
  std::string data(size, 'a');
  std::atomic<bool> stop{false}, done{false};
  std::thread sender([&] {
    Packet p(0, PACKET_AUDIO, reinterpret_cast<unsigned char*>(data.data()), size, false);
    while (!stop && p.SendData(pair.peer.get())) {
    }
    done = true;
  });
  for (auto _ : state) {
    Packet p;
    if (!ReceivePacket(*pair.client, p) || p.Length() != size) {
      state.SkipWithError("receive failed");
      break;
    }
    benchmark::DoNotOptimize(p.Data());
  }
  StopSender(stop, done, *pair.client, sender);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BM_PlainThroughput(benchmark::State& state) {
  const unsigned size = static_cast<unsigned>(state.range(0));
  LoopbackPair pair;
  const std::string frame = FrameBytes(PACKET_AUDIO, std::string(size, 'a'));
  std::atomic<bool> stop{false}, done{false};
  std::thread sender([&] {
    while (!stop && PlainSend(pair.peer->Handle(), frame)) {
    }
    done = true;
  });
  std::vector<char> buffer(frame.size());
  for (auto _ : state) {
    if (!PlainReceive(pair.client->Handle(), buffer.data(), buffer.size())) {
      state.SkipWithError("receive failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  StopSender(stop, done, *pair.client, sender);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

constexpr unsigned small_frame = 32;

void BM_PacketRoundTrip(benchmark::State& state) {
  LoopbackPair pair;
  std::thread echo([&] {
    for (;;) {
      Packet request;
      if (!ReceivePacket(*pair.peer, request, true) || request.PacketType() == PACKET_CLOSE) return;
      Packet reply(0, PACKET_WORD, request.Data(), request.Length(), false);
      if (!reply.SendData(pair.peer.get())) return;
    }
  });
  std::string data(small_frame, 'w');
  for (auto _ : state) {
    Packet request(0, PACKET_TEXT, reinterpret_cast<unsigned char*>(data.data()), small_frame, false);
    Packet reply;
    if (!request.SendData(pair.client.get()) || !ReceivePacket(*pair.client, reply, true)) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  Packet close(0, PACKET_CLOSE, nullptr, 0, false);
  close.SendData(pair.client.get());
  echo.join();
}

void BM_PlainRoundTrip(benchmark::State& state) {
  LoopbackPair pair;
  const std::string request = FrameBytes(PACKET_TEXT, std::string(small_frame, 'w'));
  const std::string reply = FrameBytes(PACKET_WORD, std::string(small_frame, 'w'));
  std::thread echo([&] {
    std::vector<char> buffer(request.size());
    while (PlainReceive(pair.peer->Handle(), buffer.data(), buffer.size()) && buffer[1] != PACKET_CLOSE) {
      if (!PlainSend(pair.peer->Handle(), reply)) return;
    }
  });
  std::vector<char> buffer(reply.size());
  for (auto _ : state) {
    if (!PlainSend(pair.client->Handle(), request) ||
        !PlainReceive(pair.client->Handle(), buffer.data(), buffer.size())) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  PlainSend(pair.client->Handle(), FrameBytes(PACKET_CLOSE, std::string(small_frame, '\0')));
  echo.join();
}

// Each measurement and its yardstick run in turn, several rounds, so that a
// change of machine load touches both alike.
void RegisterRounds(int rounds) {
  for (int r = 0; r < rounds; ++r) {
    for (int size : {64000, 1000}) {
      benchmark::RegisterBenchmark("BM_PacketThroughput", BM_PacketThroughput)->Arg(size)->UseRealTime();
      benchmark::RegisterBenchmark("BM_PlainThroughput", BM_PlainThroughput)->Arg(size)->UseRealTime();
    }
    benchmark::RegisterBenchmark("BM_PacketRoundTrip", BM_PacketRoundTrip)->UseRealTime();
    benchmark::RegisterBenchmark("BM_PlainRoundTrip", BM_PlainRoundTrip)->UseRealTime();
  }
}

// Prints the table as usual, then the ratios from the best repetition of
// each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(int rounds) : rounds_(rounds) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      std::string name = run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
      double t = run.GetAdjustedRealTime();
      auto it = best_.find(name);
      if (it == best_.end() || t < it->second) best_[name] = t;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto ratio = [&](const std::string& a, const std::string& b) {
      return best_.count(a) && best_.count(b) && best_[b] > 0 ? best_[a] / best_[b] : 0.0;
    };
    std::printf("\nPacket against plain send/recv, best of %d rounds:\n", rounds_);
    std::printf("  throughput 64,000-byte frames: %.2f of plain (aim >= 0.7)\n",
                ratio("BM_PlainThroughput/64000", "BM_PacketThroughput/64000"));
    std::printf("  throughput  1,000-byte frames: %.2f of plain (aim >= 0.7)\n",
                ratio("BM_PlainThroughput/1000", "BM_PacketThroughput/1000"));
    std::printf("  round trip of a %u-byte frame: %.2fx plain (aim <= 1.5)\n", small_frame,
                ratio("BM_PacketRoundTrip", "BM_PlainRoundTrip"));
  }

 private:
  int rounds_;
  std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  const int rounds = 5;
  RegisterRounds(rounds);
  RatioReporter reporter(rounds);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
