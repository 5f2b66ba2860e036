// What it costs to make the objects a host application makes often: a
// connection to a speech server and a pipeline channel.
//
//   BM_PlainSocketCycle            the yardstick: socket + connect + close to a
//                                  loopback listener
//   BM_ConnectionCycle             ovCreateConnection + ovOpenConnection +
//                                  ovCloseConnection + ovDestroyConnection
//                                  against the same listener
//   BM_ConnectionCreateDestroy     ovCreateConnection + ovDestroyConnection
//   BM_ChannelCreateDelete/<type>  a pipeline channel over the English
//                                  database, created and deleted
//   BM_SentenceOnNewChannel/<type> the same with one 18-word sentence
//   BM_SentenceOnChannel/<type>    the sentence alone, on a kept channel
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <thread>

#include "bench/english_channel.h"
#include "client/orvelle.h"
#include "client/platform.h"

namespace {

// Accepts connections on 127.0.0.1 and reads each until the client closes
// it. Two accepting threads and a long backlog keep it ahead of the client,
// so that no connection waits for a dropped handshake to be retried.
class Listener {
 public:
  Listener() {
    handle_ = platform::open_tcp_socket();
    if (handle_ == platform::invalid_socket || platform::bind_ipv4_any(handle_, 0) != 0 ||
        platform::listen_socket(handle_, 4096) != 0)
      return;
    port_ = platform::local_port(handle_);
    for (std::thread& t : threads_) t = std::thread([this] { Run(); });
  }
  ~Listener() {
    stop_ = true;
    for (std::thread& t : threads_)
      if (t.joinable()) Connect();  // wakes one accept each
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
    platform::close_socket(handle_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int port() const { return port_; }

  // The address of the next connection. Each closed connection leaves its
  // port in TIME_WAIT for a minute; spreading the connections over 200
  // loopback addresses keeps the local ports from running out, which would
  // time the kernel's port search instead of the loop.
  std::string NextHost() { return "127.0.0." + std::to_string(1 + next_++ % 200); }

  // One plain connection, opened and closed at once.
  bool Connect(const std::string& host = "127.0.0.1") const {
    platform::socket_handle s = platform::open_tcp_socket();
    if (s == platform::invalid_socket) return false;
    std::uint32_t address = 0;
    bool ok = platform::resolve_ipv4(host, &address) && platform::connect_ipv4(s, address, port_) == 0;
    platform::close_socket(s);
    return ok;
  }

 private:
  void Run() {
    char buffer[4096];
    while (!stop_) {
      platform::socket_handle peer = platform::accept_socket(handle_);
      if (peer == platform::invalid_socket) continue;
      platform::byte_range part{buffer, sizeof buffer};
      while (platform::receive_parts(peer, &part, 1, true) > 0) {
      }
      platform::close_socket(peer);
    }
  }

  platform::socket_handle handle_ = platform::invalid_socket;
  int port_ = 0;
  unsigned next_ = 0;
  std::atomic<bool> stop_{false};
  std::thread threads_[2];
};

void BM_PlainSocketCycle(benchmark::State& state) {
  Listener listener;
  for (auto _ : state) {
    if (!listener.Connect(listener.NextHost())) {
      state.SkipWithError("cannot connect");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ConnectionCycle(benchmark::State& state) {
  Listener listener;
  for (auto _ : state) {
    CONNECTION_HANDLE h = ovCreateConnection();
    if (ovOpenConnection(h, listener.NextHost().c_str(), listener.port()) != OV_SUCCESS) {
      ovDestroyConnection(h);
      state.SkipWithError("cannot open");
      break;
    }
    ovCloseConnection(h);
    ovDestroyConnection(h);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ConnectionCreateDestroy(benchmark::State& state) {
  for (auto _ : state) ovDestroyConnection(ovCreateConnection());
  state.SetItemsProcessed(state.iterations());
}

// Eighteen words.
const char kSentence[] =
    "The quick brown fox jumps over the lazy dog while the children play happily in the sunny park.";

tpdb* EnglishDb() {
  static tpdb* db = [] {
    tpdb* d = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_load(d, orvelle_bench::EnglishDatabase().c_str());
    return d;
  }();
  return db;
}

void BM_ChannelCreateDelete(benchmark::State& state) {
  tpdb* db = EnglishDb();
  const int type = static_cast<int>(state.range(0));
  for (auto _ : state) {
    channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", type);
    if (!ch) {
      state.SkipWithError("channel refused");
      break;
    }
    QLTP_tpc_delete(ch);
  }
}

void BM_SentenceOnNewChannel(benchmark::State& state) {
  tpdb* db = EnglishDb();
  const int type = static_cast<int>(state.range(0));
  long spurts = 0;
  for (auto _ : state) {
    channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "B", type);
    if (!ch) {
      state.SkipWithError("channel refused");
      break;
    }
    orvelle_bench::CountSpurtsDropText(ch, type, &spurts);
    QLTP_tpc_process(ch, kSentence, -1, 1);
    QLTP_tpc_delete(ch);
  }
  state.counters["spurts"] = static_cast<double>(spurts) / static_cast<double>(state.iterations());
}

void BM_SentenceOnChannel(benchmark::State& state) {
  const int type = static_cast<int>(state.range(0));
  channel* ch = QLTP_tpc_newtype(EnglishDb(), nullptr, 0, "B", type);
  if (!ch) {
    state.SkipWithError("channel refused");
    return;
  }
  long spurts = 0;
  orvelle_bench::CountSpurtsDropText(ch, type, &spurts);
  for (auto _ : state) QLTP_tpc_process(ch, kSentence, -1, 1);
  state.counters["spurts"] = static_cast<double>(spurts) / static_cast<double>(state.iterations());
  QLTP_tpc_delete(ch);
}

}  // namespace

BENCHMARK(BM_PlainSocketCycle)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ConnectionCycle)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ConnectionCreateDestroy)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ChannelCreateDelete)->Arg(QLTP_TPC_FULL)->Arg(QLTP_TPC_SPURT)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SentenceOnNewChannel)->Arg(QLTP_TPC_FULL)->Arg(QLTP_TPC_SPURT)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SentenceOnChannel)->Arg(QLTP_TPC_FULL)->Arg(QLTP_TPC_SPURT)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
