// Many threads issue random sequences of every kind of request on a few
// shared connections and on connections of their own, against a speech
// server that answers normally, stalls, sends CLOSE with or without closing
// the socket, drops the connection or resets it.
//
// The server writes the number "req<N>" of the frame it answers into its
// audio, so every audio event says which request it belongs to. The test
// fails when a call blocks longer than it may (a watchdog names the call and
// the seed, then ends the process), returns a code the header does not give
// for it, receives another request's audio, sees an event's data change
// during its callback, or gets an event after its connection's destroy
// returned; and, from the server's frame log, when one thread's requests
// reach the server out of the order it made them, when a stopped request's
// text is not ended with the empty final text frame before anything else
// goes on its socket, or when a cancel made right after an asynchronous
// start returned does not stop that render. ORVELLE_STRESS_SEED repeats a
// run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/orvelle.h"
#include "client/speech_server.h"

using orvelle_test::SpeechServer;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

constexpr int kThreads = 6;
constexpr int kShared = 2;
const int kRunSeconds = kUnderSanitizer ? 25 : 8;
// Every call here either never blocks or waits for answers that take
// milliseconds (and for other threads' requests on a shared connection).
const int kCallBoundMs = kUnderSanitizer ? 30000 : 10000;
const int kSetterBoundMs = kUnderSanitizer ? 6000 : 2000;

// Behaviours of the server, chosen by a word in the request's text.
const char* const kBehaviours[] = {"normal", "normal", "normal", "normal", "normal",    "stall",
                                   "closeopen", "closedrop", "dropped", "resetting"};

const char* kScript = R"({"rules": [
  {"when": {"contains": "normal"}, "reply": [{"audio": {"number": 64}}, {"word": "w"},
                                             {"audio": {"number": 8}}, {"end": true}]},
  {"when": {"contains": "slow"}, "reply": [{"audio": {"number": 16}}, {"stall_ms": 4000},
                                           {"audio": {"number": 16}}, {"end": true}]},
  {"when": {"contains": "stall"}, "reply": [{"audio": {"number": 16}}, {"stall_ms": 40},
                                            {"audio": {"number": 16}}, {"end": true}]},
  {"when": {"contains": "closeopen"}, "reply": [{"audio": {"number": 16}}, {"close": true}]},
  {"when": {"contains": "closedrop"}, "reply": [{"close": true}, {"drop": true}]},
  {"when": {"contains": "dropped"}, "reply": [{"audio": {"number": 16}}, {"drop": true}]},
  {"when": {"contains": "resetting"}, "reply": [{"audio": {"number": 16}}, {"reset": true}]}],
  "text_reply": [{"audio": {"number": 8}}, {"end": true}],
  "query_reply": [{"end": true}]})";

std::uint64_t seed = 0;
std::atomic<std::uint32_t> next_number{1};
std::atomic<long> calls_done{0};

std::mutex failure_lock;
std::vector<std::string> failures;

void Fail(const std::string& what) {
  std::lock_guard<std::mutex> g(failure_lock);
  if (failures.size() < 20) failures.push_back(what);
}

// What the server's frame log is checked against at the end: the numbers
// of each thread's requests whose text or query goes out within the call
// (or on the worker the call started), in the order the thread made them;
// and the numbers of synchronous requests that their callback or a cancel
// stopped.
std::vector<std::uint32_t> made_in_order[kThreads];
std::mutex stopped_lock;
std::vector<std::uint32_t> stopped_requests;
std::set<std::uint32_t> closed_by_callback;  // their socket went with them
std::atomic<int> cancels_after_start{0};
// How often each property failed (not every message is kept).
std::atomic<int> lost_cancels{0}, out_of_order{0}, stops_not_ended{0};

// One created connection; kept until the test ends, so its address names it
// even after its handle number was given to another.
struct Conn {
  CONNECTION_HANDLE handle = -1;
  bool shared = false;
  std::atomic<bool> destroyed{false};
  // Something happened that may leave the connection failing (a server
  // misbehaviour, a refusal or a call made inside the callback).
  std::atomic<bool> disturbed{false};
  // The callback leaves the request alone (no refusal, no call back in).
  std::atomic<bool> quiet{false};
  // The code carried by the latest thread-finished event, and their count.
  std::atomic<long> finished_code{0};
  std::atomic<int> finished{0};
  std::mutex lock;
  std::set<std::uint32_t> streamed;  // numbers of pushes
  std::set<std::uint32_t> dropped;   // numbers of pushes that stopped
  std::set<std::uint32_t> async;     // numbers of asynchronous renders
  std::string history;               // the latest calls, for failure messages
};

// The call the calling thread is making.
struct Call {
  Conn* conn = nullptr;
  std::uint32_t number = 0;
};
thread_local Call current;
thread_local std::mt19937_64* thread_random = nullptr;

// What each thread is blocked in, for the watchdog.
struct Slot {
  std::atomic<const char*> call{nullptr};
  std::atomic<long long> since_ms{0};
  std::atomic<int> bound_ms{0};
};
Slot slots[kThreads];
thread_local Slot* my_slot = nullptr;

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

template <typename F>
int Timed(const char* name, int bound_ms, F call) {
  Slot* slot = my_slot;
  const char* outer = slot ? slot->call.load() : nullptr;
  if (slot && !outer) {
    slot->since_ms = NowMs();
    slot->bound_ms = bound_ms;
    slot->call = name;
  }
  int code = call();
  if (slot && !outer) slot->call = nullptr;
  ++calls_done;
  return code;
}

void ExpectCode(const char* name, int code, std::initializer_list<int> allowed) {
  for (int a : allowed) {
    if (code == a) return;
  }
  Fail(std::string(name) + " returned " + std::to_string(code) + ", which the header does not give for it");
}

int Callback(void* user, int type, void* data, long length) {
  auto* c = static_cast<Conn*>(user);
  if (c->destroyed.load()) {
    std::lock_guard<std::mutex> g(c->lock);
    Fail("event of type " + std::to_string(type) + (current.conn ? "" : " on a worker") + " after the destroy of " +
         (c->shared ? "a shared" : "an own") + " connection returned, after" + c->history);
  }
  std::string copy;
  if (data && length > 0 && type != PACKET_PHONEME) copy.assign(static_cast<const char*>(data), length);

  if (type == PACKET_THREAD_FINISHED) {
    ExpectCode("the thread-finished event's code", static_cast<int>(length),
               {OV_SUCCESS, OV_ERROR, OV_SEND_FAILED, OV_CANCELLED});
    c->finished_code = length;
    ++c->finished;
  }
  if (current.conn && current.conn != c) Fail("an event of one connection arrived during a call on another");
  if (type == PACKET_AUDIO && copy.size() >= 4) {
    std::uint32_t number = 0;
    for (int i = 0; i < 4; ++i) number = number << 8 | static_cast<unsigned char>(copy[i]);
    for (std::size_t i = 4; i + 4 <= copy.size(); i += 4) {
      if (copy.compare(i, 4, copy, 0, 4) != 0) Fail("audio bytes of two answers in one event");
    }
    if (number != 0) {
      std::lock_guard<std::mutex> g(c->lock);
      bool own = current.conn == c && current.number == number;
      bool pushed = c->streamed.count(number) && !c->dropped.count(number);
      bool async = !current.conn && c->async.count(number);
      if (c->dropped.count(number)) {
        Fail("text of push req" + std::to_string(number) + " was spoken after the push stopped");
      } else if (!own && !pushed && !async) {
        Fail("request req" + std::to_string(current.number) + (c->shared ? " (shared)" : " (own)") +
             " received the audio of request req" + std::to_string(number));
      }
    }
  }

  // Now and then a call back into the library, or a refusal.
  int result = OV_SUCCESS;
  std::mt19937_64* random = thread_random;
  unsigned roll = random ? static_cast<unsigned>((*random)() % 400) : static_cast<unsigned>(NowMs() % 400);
  if (type != PACKET_THREAD_FINISHED && roll < 8 && !c->quiet.load()) {
    c->disturbed = true;
    if (roll >= 5 && current.conn == c) {
      // The request's socket goes with it: nothing is owed to the server.
      std::lock_guard<std::mutex> g(stopped_lock);
      closed_by_callback.insert(current.number);
    }
    if (roll < 3) {
      result = 1;
    } else if (roll < 5) {
      ExpectCode("ovCancelRequest inside the callback", ovCancelRequest(c->handle), {OV_SUCCESS});
    } else if (roll < 7 || c->shared || current.conn != c) {
      ExpectCode("ovCloseConnection inside the callback", ovCloseConnection(c->handle),
                 {OV_SUCCESS, OV_SEND_FAILED});
    } else {
      ExpectCode("ovDestroyConnection inside the callback", ovDestroyConnection(c->handle), {OV_SUCCESS});
      c->destroyed = true;
      std::lock_guard<std::mutex> g(c->lock);
      c->history += " destroy-in-callback";
    }
  }
  std::this_thread::yield();
  if (data && length > 0 && type != PACKET_PHONEME && std::memcmp(copy.data(), data, copy.size()) != 0) {
    Fail("the data of an event of type " + std::to_string(type) + " changed during its callback");
  }
  return result;
}

Conn* NewConn(std::deque<Conn>& all, std::mutex& all_lock, int port, bool shared) {
  Conn* c;
  {
    std::lock_guard<std::mutex> g(all_lock);
    c = &all.emplace_back();
  }
  c->shared = shared;
  c->handle = Timed("ovCreateConnection", kSetterBoundMs, [] { return ovCreateConnection(); });
  if (c->handle < 1000) Fail("ovCreateConnection returned " + std::to_string(c->handle));
  ExpectCode("ovSetCallBack", ovSetCallBack(c->handle, Callback), {OV_SUCCESS});
  ExpectCode("ovSetUserData", ovSetUserData(c->handle, c), {OV_SUCCESS});
  int code = Timed("ovOpenConnection", kCallBoundMs, [&] { return ovOpenConnection(c->handle, "127.0.0.1", port); });
  ExpectCode("ovOpenConnection of a new connection", code, {OV_SUCCESS});
  return c;
}

void Destroy(Conn* c) {
  {
    std::lock_guard<std::mutex> g(c->lock);
    c->history += " destroy";
  }
  int code = Timed("ovDestroyConnection", kCallBoundMs, [&] { return ovDestroyConnection(c->handle); });
  ExpectCode("ovDestroyConnection", code, {OV_SUCCESS});
  c->destroyed = true;
}

std::string RequestText(std::mt19937_64& random, std::uint32_t number, const char* behaviour) {
  std::string word = "req" + std::to_string(number) + " " + behaviour + " ";
  std::string text = random() % 2 ? "<p>" : "";
  // Now and then a text of several pieces; every piece names the request.
  int repeat = random() % 8 == 0 ? 600 : 1 + static_cast<int>(random() % 3);
  for (int i = 0; i < repeat; ++i) text += word;
  if (text[0] == '<') text += "</p>";
  return text;
}

// An asynchronous render of a request the server answers only after 4 s,
// cancelled as soon as its start returned: the cancel must stop it, so its
// thread-finished event (delivered before the cancel returns) carries
// OV_CANCELLED. On a connection of this thread's own, made fresh first by a
// cancel, with a callback that leaves the request alone.
void CancelRightAfterStart(std::mt19937_64& random, Conn* c, int thread) {
  const CONNECTION_HANDLE h = c->handle;
  c->quiet = true;
  if (Timed("ovCancelRequest", kCallBoundMs, [&] { return ovCancelRequest(h); }) == OV_SUCCESS) {
    c->disturbed = false;
    const std::uint32_t number = next_number++;
    {
      std::lock_guard<std::mutex> g(c->lock);
      c->async.insert(number);
    }
    const std::string text = RequestText(random, number, "slow");
    const int before = c->finished.load();
    int code = Timed("ovRenderSpeechAsync", kCallBoundMs, [&] { return ovRenderSpeechAsync(h, text.c_str()); });
    ExpectCode("ovRenderSpeechAsync on a fresh connection", code, {OV_SUCCESS});
    if (code == OV_SUCCESS) {
      made_in_order[thread].push_back(number);
      code = Timed("ovCancelRequest", kCallBoundMs, [&] { return ovCancelRequest(h); });
      ExpectCode("ovCancelRequest right after a start", code, {OV_SUCCESS});
      ++cancels_after_start;
      if (c->finished.load() != before + 1 || c->finished_code.load() != OV_CANCELLED) {
        ++lost_cancels;
        Fail("a cancel right after the start of req" + std::to_string(number) + " left " +
             std::to_string(c->finished.load() - before) + " thread-finished events, the last with code " +
             std::to_string(c->finished_code.load()));
      }
    }
  }
  c->quiet = false;
}

// One random call on c; the caller holds what keeps c alive.
void OneCall(std::mt19937_64& random, Conn* c, int port, int thread) {
  const char* behaviour = kBehaviours[random() % (sizeof kBehaviours / sizeof *kBehaviours)];
  const bool answered = std::strcmp(behaviour, "normal") == 0 || std::strcmp(behaviour, "stall") == 0;
  const std::uint32_t number = next_number++;
  const std::string text = RequestText(random, number, behaviour);
  // A render on a connection of this thread's own that nothing disturbed
  // must succeed.
  const bool must_succeed = !c->shared && answered && !c->disturbed.load();
  const unsigned op = static_cast<unsigned>(random() % 14);
  // Any other answer (a CLOSE without the rest of its answer included)
  // takes the socket down.
  if (!answered) c->disturbed = true;
  current = {c, number};
  const CONNECTION_HANDLE h = c->handle;
  const std::initializer_list<int> render_codes = {OV_SUCCESS, OV_ERROR, OV_SEND_FAILED, OV_CANCELLED};
  int code = 0;
  switch (op) {
    case 0:
    case 1: {
      bool xml = random() % 2;
      code = Timed("ovRenderSpeech", kCallBoundMs,
                   [&] { return xml ? ovRenderSpeechXML(h, text.c_str()) : ovRenderSpeech(h, text.c_str()); });
      ExpectCode("ovRenderSpeech", code, render_codes);
      made_in_order[thread].push_back(number);
      if (code == OV_CANCELLED) {
        std::lock_guard<std::mutex> g(stopped_lock);
        stopped_requests.push_back(number);
      }
      if (must_succeed && !c->disturbed.load() && code != OV_SUCCESS) {
        std::lock_guard<std::mutex> g(c->lock);
        Fail("the normal render req" + std::to_string(number) + " on an undisturbed connection returned " +
             std::to_string(code) + " after " + c->history);
      }
      break;
    }
    case 2:
    case 3: {
      {
        std::lock_guard<std::mutex> g(c->lock);
        c->streamed.insert(number);
      }
      bool xml = random() % 2;
      code = Timed("ovPushSpeechStream", kCallBoundMs, [&] {
        return xml ? ovPushSpeechStreamXML(h, text.c_str()) : ovPushSpeechStream(h, text.c_str());
      });
      ExpectCode("ovPushSpeechStream", code, {OV_SUCCESS, OV_SEND_FAILED, OV_CANCELLED});
      if (code != OV_SUCCESS) {
        std::lock_guard<std::mutex> g(c->lock);
        c->dropped.insert(number);
      }
      if (code == OV_CANCELLED) {
        std::lock_guard<std::mutex> g(stopped_lock);
        stopped_requests.push_back(number);
      }
      break;
    }
    case 4:
      code = Timed("ovFlushSpeechStream", kCallBoundMs,
                   [&] { return random() % 2 ? ovFlushSpeechStreamXML(h) : ovFlushSpeechStream(h); });
      ExpectCode("ovFlushSpeechStream", code, render_codes);
      break;
    case 5:
    case 6: {
      {
        std::lock_guard<std::mutex> g(c->lock);
        c->async.insert(number);
      }
      bool xml = random() % 2;
      code = Timed("ovRenderSpeechAsync", kCallBoundMs, [&] {
        return xml ? ovRenderSpeechXMLAsync(h, text.c_str()) : ovRenderSpeechAsync(h, text.c_str());
      });
      // OV_ERROR: the call reached a connection that a cancel on another thread replaced.
      ExpectCode("ovRenderSpeechAsync", code, {OV_SUCCESS, OV_BUSY, OV_ERROR});
      c->disturbed = true;  // its callback runs on the worker
      if (code == OV_SUCCESS) {
        made_in_order[thread].push_back(number);
        // A query right after the start reaches the server after the
        // render's text.
        if (random() % 2) {
          const std::uint32_t next = next_number++;
          current.number = next;
          std::string query = "<query id='req" + std::to_string(next) + "' how='normal'/>";
          int q = Timed("ovQueryServer", kCallBoundMs, [&] { return ovQueryServer(h, query.c_str()); });
          ExpectCode("ovQueryServer after an asynchronous start", q, render_codes);
          made_in_order[thread].push_back(next);
        }
      }
      break;
    }
    case 7:
      code = Timed("ovCancelRequest", kCallBoundMs, [&] { return ovCancelRequest(h); });
      ExpectCode("ovCancelRequest", code, {OV_SUCCESS, OV_SEND_FAILED, OV_CONNECT_FAILED});
      if (code == OV_SUCCESS && !c->shared) c->disturbed = false;
      break;
    case 8: {
      std::string query = "<query id='req" + std::to_string(number) + "' how='" + behaviour + "'/>";
      code = Timed("ovQueryServer", kCallBoundMs, [&] { return ovQueryServer(h, query.c_str()); });
      ExpectCode("ovQueryServer", code, render_codes);
      made_in_order[thread].push_back(number);
      break;
    }
    case 9:
      if (random() % 2) {
        code = Timed("ovSetVoice", kCallBoundMs, [&] { return ovSetVoice(h, "Velisa"); });
        ExpectCode("ovSetVoice", code, {OV_SUCCESS, OV_ERROR});
      } else {
        code = Timed("ovSetVoiceFast", kCallBoundMs, [&] { return ovSetVoiceFast(h, "Torvald"); });
        ExpectCode("ovSetVoiceFast", code, render_codes);
      }
      break;
    case 10: {
      ENUMERATOR_HANDLE e = Timed("ovEnumerateConnectionVoices", kCallBoundMs, [&] { return ovEnumerateConnectionVoices(h); });
      if (e < 1000) {
        Fail("ovEnumerateConnectionVoices returned " + std::to_string(e));
        break;
      }
      int n = ovNumVoices(e);
      if (n < 0) Fail("ovNumVoices returned " + std::to_string(n));
      while (const char* name = ovNextVoice(e)) {
        int rate = ovGetVoiceIntegerValue(e, OV_SAMPLE_RATE);
        if (rate < 0) Fail(std::string("ovGetVoiceIntegerValue of ") + name + " returned " + std::to_string(rate));
      }
      ExpectCode("ovCloseEnumerator", ovCloseEnumerator(e), {OV_SUCCESS});
      break;
    }
    case 11: {
      code = Timed("ovCloseConnection", kCallBoundMs, [&] { return ovCloseConnection(h); });
      ExpectCode("ovCloseConnection", code, {OV_SUCCESS, OV_SEND_FAILED});
      code = Timed("ovOpenConnection", kCallBoundMs, [&] { return ovOpenConnection(h, "127.0.0.1", port); });
      ExpectCode("ovOpenConnection", code, {OV_SUCCESS});
      break;
    }
    case 12:
      ExpectCode("ovSetCallBack", Timed("ovSetCallBack", kSetterBoundMs, [&] { return ovSetCallBack(h, Callback); }),
                 {OV_SUCCESS});
      ExpectCode("ovSetUserData", Timed("ovSetUserData", kSetterBoundMs, [&] { return ovSetUserData(h, c); }),
                 {OV_SUCCESS});
      break;
    case 13:
      if (!c->shared) CancelRightAfterStart(random, c, thread);
      break;
    default:
      break;
  }
  current = {};
  std::lock_guard<std::mutex> g(c->lock);
  c->history += " req" + std::to_string(number) + ":" + behaviour + "=" + std::to_string(code);
  if (c->history.size() > 300) c->history.erase(0, c->history.size() - 300);
}

// Where the server met request numbers: the socket (the log's connection
// number) and the positions in the log of the first and the last frame
// naming it.
struct Seen {
  int conn = 0;
  std::size_t first = 0, last = 0;
};

void CheckFramesTheServerReceived(const SpeechServer& server) {
  const std::vector<orvelle_test::ServerFrame> frames = server.frames();
  std::map<std::uint32_t, Seen> seen;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const std::string& d = frames[i].data;
    for (std::size_t at = d.find("req"); at != std::string::npos; at = d.find("req", at + 3)) {
      std::size_t end = at + 3;
      std::uint32_t number = 0;
      while (end < d.size() && d[end] >= '0' && d[end] <= '9') number = number * 10 + (d[end++] - '0');
      if (end == at + 3) continue;
      auto [it, fresh] = seen.try_emplace(number, Seen{frames[i].conn, i, i});
      if (!fresh && it->second.conn == frames[i].conn) it->second.last = i;
    }
  }

  // One thread's requests reach each socket in the order the thread made
  // them.
  for (int t = 0; t < kThreads; ++t) {
    std::map<int, std::pair<std::uint32_t, std::size_t>> latest;  // per socket
    for (std::uint32_t number : made_in_order[t]) {
      auto it = seen.find(number);
      if (it == seen.end()) continue;
      auto [before, fresh] = latest.try_emplace(it->second.conn, number, it->second.first);
      if (!fresh) {
        if (before->second.second > it->second.first) {
          ++out_of_order;
          Fail("thread " + std::to_string(t) + " made req" + std::to_string(before->second.first) +
               " before req" + std::to_string(number) + ", but the server received them the other way round");
        }
        before->second = {number, it->second.first};
      }
    }
  }

  // After a stopped request, the next frame on its socket is the empty
  // final text frame.
  for (std::uint32_t number : stopped_requests) {
    auto it = seen.find(number);
    if (it == seen.end() || closed_by_callback.count(number)) continue;
    for (std::size_t i = it->second.last + 1; i < frames.size(); ++i) {
      if (frames[i].conn != it->second.conn) continue;
      if (frames[i].type != PACKET_TEXT || frames[i].data != std::string(1, '\0')) {
        ++stops_not_ended;
        std::string data = frames[i].data.substr(0, 60);
        Fail("after the stopped req" + std::to_string(number) + " the server received a frame of type " +
             std::to_string(frames[i].type) + " [" + data + "] before the empty final text frame");
      }
      break;
    }
  }
}

struct SharedSlot {
  std::shared_mutex use;  // calls take it shared, destroy and create alone
  Conn* conn = nullptr;
};

}  // namespace

TEST(StressTest, ThreadsOnSharedAndOwnConnectionsAgainstAMisbehavingServer) {
  const char* given = std::getenv("ORVELLE_STRESS_SEED");
  seed = given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
  std::fprintf(stderr, "stress seed %llu (ORVELLE_STRESS_SEED=%llu repeats it)\n",
               static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  SCOPED_TRACE("seed " + std::to_string(seed));

  SpeechServer server(kScript);
  ASSERT_TRUE(server.running()) << server.error();
  const int port = server.port();

  std::deque<Conn> all;
  std::mutex all_lock;
  SharedSlot shared[kShared];
  for (SharedSlot& s : shared) s.conn = NewConn(all, all_lock, port, true);

  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    while (!done.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (int t = 0; t < kThreads; ++t) {
        const char* call = slots[t].call.load();
        long long since = slots[t].since_ms.load();
        if (call && NowMs() - since > slots[t].bound_ms.load()) {
          std::fprintf(stderr, "stress: thread %d blocked in %s for more than %d ms (seed %llu)\n", t, call,
                       slots[t].bound_ms.load(), static_cast<unsigned long long>(seed));
          for (int u = 0; u < kThreads; ++u) {
            if (const char* other = slots[u].call.load()) {
              std::fprintf(stderr, "stress:   thread %d in %s for %lld ms\n", u, other, NowMs() - slots[u].since_ms.load());
            }
          }
          std::fflush(stderr);
          server.stop();
          std::_Exit(1);
        }
      }
    }
  });

  const auto deadline = Clock::now() + std::chrono::seconds(kRunSeconds);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 random(seed * 1000003u + static_cast<unsigned>(t));
      thread_random = &random;
      my_slot = &slots[t];
      Conn* own = NewConn(all, all_lock, port, false);
      while (Clock::now() < deadline) {
        const bool on_shared = random() % 2;
        const bool renew = random() % 14 == 13;
        if (!on_shared) {
          if (renew || own->destroyed.load()) {
            if (!own->destroyed.load()) Destroy(own);
            own = NewConn(all, all_lock, port, false);
          } else {
            OneCall(random, own, port, t);
          }
          continue;
        }
        SharedSlot& s = shared[random() % kShared];
        if (renew) {
          std::unique_lock<std::shared_mutex> alone(s.use);
          Destroy(s.conn);
          s.conn = NewConn(all, all_lock, port, true);
        } else {
          std::shared_lock<std::shared_mutex> together(s.use);
          OneCall(random, s.conn, port, t);
        }
      }
      if (!own->destroyed.load()) Destroy(own);
      thread_random = nullptr;
    });
  }
  for (auto& th : threads) th.join();
  for (SharedSlot& s : shared) Destroy(s.conn);
  done = true;
  watchdog.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::fprintf(stderr, "stress: %ld calls in %.1f s, %.0f calls per second\n", calls_done.load(), seconds,
               calls_done.load() / seconds);

  CheckFramesTheServerReceived(server);
  std::fprintf(stderr,
               "stress: %d of %d cancels right after a start lost, %d requests out of their thread's order, "
               "%d of %zu stopped requests not ended first\n",
               lost_cancels.load(), cancels_after_start.load(), out_of_order.load(), stops_not_ended.load(),
               stopped_requests.size());

  std::lock_guard<std::mutex> g(failure_lock);
  for (const std::string& f : failures) ADD_FAILURE() << f << " (seed " << seed << ")";
  EXPECT_GT(calls_done.load(), 100) << "seed " << seed;
  EXPECT_GT(cancels_after_start.load(), 10) << "seed " << seed;
}
