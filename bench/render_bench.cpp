// Audio throughput and latency of ovRenderSpeech against an in-process
// loopback peer that replays prepared frames, next to a plain recv loop over
// the same bytes from the same peer.
//
//   BM_PlainRecv/<frame bytes>     the yardstick: recv() of the reply bytes
//   BM_RenderAudio/<frame bytes>   the same replies through ovRenderSpeech
//   BM_RenderOneWord               one word answered by one audio frame + END
//   BM_CancelLongRender            ovCancelRequest while an asynchronous
//                                  render of 1 MB of text is under way
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/orvelle.h"
#include "client/platform.h"
#include "client/socket.h"

namespace {

void Put16(std::string& out, unsigned v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v));
}

void Put32(std::string& out, unsigned v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
}

std::string Frame(unsigned type, const std::string& data) {
  std::string f;
  Put16(f, type);
  Put32(f, 0);
  Put32(f, static_cast<unsigned>(data.size()));
  f += data;
  Put32(f, static_cast<unsigned>(data.size()));
  return f;
}

// About a mebibyte of audio in frames of the given size, then END.
std::string AudioReply(std::size_t frame_bytes, std::size_t total = 1 << 20) {
  std::string reply;
  std::string audio(frame_bytes, '\x11');
  for (std::size_t sent = 0; sent < total; sent += frame_bytes) reply += Frame(PACKET_AUDIO, audio);
  return reply + Frame(PACKET_END, "");
}

bool ReadExact(platform::socket_handle h, void* buffer, std::size_t size) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    platform::byte_range part{p, size};
    long n = platform::receive_parts(h, &part, 1, true);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// A peer on 127.0.0.1. In frame mode it answers every text frame and query
// with the prepared reply until CLOSE; in raw mode it sends the reply each
// time it reads one byte.
class Peer {
 public:
  Peer(std::string reply, bool raw) : reply_(std::move(reply)), raw_(raw), server_(0, 4) {
    port_ = platform::local_port(server_.Handle());
    thread_ = std::thread([this] { Run(); });
  }
  ~Peer() { thread_.join(); }
  int port() const { return port_; }

 private:
  void Run() {
    std::unique_ptr<Socket> peer(server_.Accept());
    if (!peer) return;
    platform::socket_handle h = peer->Handle();
    std::vector<char> data;
    for (;;) {
      if (raw_) {
        char go;
        if (!ReadExact(h, &go, 1) || go == 'q') return;
      } else {
        unsigned char header[10];
        if (!ReadExact(h, header, sizeof header)) return;
        unsigned type = (header[0] << 8) | header[1];
        unsigned length = (unsigned{header[6]} << 24) | (header[7] << 16) | (header[8] << 8) | header[9];
        data.resize(length + 4);
        if (!ReadExact(h, data.data(), data.size())) return;
        if (type == PACKET_CLOSE) return;
        if (type != PACKET_TEXT && type != PACKET_TEXT_STREAM && type != PACKET_XML) continue;
      }
      if (peer->SendBytes(reply_.data(), reply_.size()) < 0) return;
    }
  }

  std::string reply_;
  bool raw_;
  SocketServer server_;
  int port_ = 0;
  std::thread thread_;
};

struct Tally {
  std::atomic<long long> audio{0};
};

int CountAudio(void* user, int type, void*, long length) {
  if (type == PACKET_AUDIO) static_cast<Tally*>(user)->audio += length;
  return 0;
}

void BM_PlainRecv(benchmark::State& state) {
  std::string reply = AudioReply(static_cast<std::size_t>(state.range(0)));
  Peer peer(reply, true);
  SocketClient client("127.0.0.1", peer.port());
  std::vector<char> buffer(1 << 18);
  long long bytes = 0;
  for (auto _ : state) {
    // The render below asks twice per word (the text and the closing
    // empty frame); so does the yardstick.
    for (int ask = 0; ask < 2; ++ask) {
      client.SendBytes("g", 1);
      std::size_t left = reply.size();
      while (left > 0) {
        platform::byte_range part{buffer.data(), std::min(left, buffer.size())};
        long n = platform::receive_parts(client.Handle(), &part, 1, true);
        if (n <= 0) {
          state.SkipWithError("recv failed");
          return;
        }
        left -= static_cast<std::size_t>(n);
      }
      bytes += static_cast<long long>(reply.size());
    }
  }
  client.SendBytes("q", 1);
  state.SetBytesProcessed(bytes);
}

void BM_RenderAudio(benchmark::State& state) {
  std::string reply = AudioReply(static_cast<std::size_t>(state.range(0)));
  Peer peer(reply, false);
  Tally tally;
  CONNECTION_HANDLE h = ovCreateConnection();
  if (ovOpenConnection(h, "127.0.0.1", peer.port()) != OV_SUCCESS) {
    state.SkipWithError("cannot connect");
    return;
  }
  ovSetCallBack(h, CountAudio);
  ovSetUserData(h, &tally);
  for (auto _ : state) {
    if (ovRenderSpeech(h, "word") != OV_SUCCESS) {
      state.SkipWithError("render failed");
      break;
    }
  }
  // Wire bytes, comparable with the yardstick's.
  long long frames = tally.audio / state.range(0);
  state.SetBytesProcessed(tally.audio + frames * 14 + 14 * (frames ? 1 : 0));
  state.counters["audio_MiB"] = static_cast<double>(tally.audio) / (1 << 20);
  ovDestroyConnection(h);
}

void BM_RenderOneWord(benchmark::State& state) {
  Peer peer(Frame(PACKET_AUDIO, std::string(320, '\x22')) + Frame(PACKET_END, ""), false);
  Tally tally;
  CONNECTION_HANDLE h = ovCreateConnection();
  if (ovOpenConnection(h, "127.0.0.1", peer.port()) != OV_SUCCESS) {
    state.SkipWithError("cannot connect");
    return;
  }
  ovSetCallBack(h, CountAudio);
  ovSetUserData(h, &tally);
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (ovRenderSpeech(h, "hello") != OV_SUCCESS) {
      state.SkipWithError("render failed");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  if (!micros.empty()) {
    std::nth_element(micros.begin(), micros.begin() + micros.size() / 2, micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
  }
  ovDestroyConnection(h);
}

// Every piece of the text is answered at once with a little audio; the
// iteration's time is that of the cancel alone.
void BM_CancelLongRender(benchmark::State& state) {
  std::string text;
  while (text.size() < 1000000) text += "many words of a long text ";
  for (auto _ : state) {
    Peer peer(Frame(PACKET_AUDIO, std::string(64, '\x33')) + Frame(PACKET_END, ""), false);
    Tally tally;
    CONNECTION_HANDLE h = ovCreateConnection();
    ovSetCallBack(h, CountAudio);
    ovSetUserData(h, &tally);
    if (ovOpenConnection(h, "127.0.0.1", peer.port()) != OV_SUCCESS ||
        ovRenderSpeechAsync(h, text.c_str()) != OV_SUCCESS) {
      state.SkipWithError("cannot start the render");
      ovDestroyConnection(h);
      break;
    }
    while (tally.audio < 5 * 64) std::this_thread::sleep_for(std::chrono::microseconds(100));
    auto start = std::chrono::steady_clock::now();
    const int code = ovCancelRequest(h);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // The peer took one connection only: the cancel's new one finds nobody.
    if (code != OV_SUCCESS && code != OV_CONNECT_FAILED) state.SkipWithError("cancel failed");
    ovDestroyConnection(h);
  }
}

}  // namespace

BENCHMARK(BM_PlainRecv)->Arg(64000)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderAudio)->Arg(64000)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderOneWord)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_CancelLongRender)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

BENCHMARK_MAIN();
