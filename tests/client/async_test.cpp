// Asynchronous renders, cancellation and calls back into the library from
// inside the application's callback, against the loopback speech server.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/orvelle.h"
#include "client/speech_server.h"
#include "cpu_time.h"
#include "scratch_dir.h"

using orvelle_test::SpeechServer;
using Clock = std::chrono::steady_clock;

namespace {

struct Event {
  int type;
  std::string data;
  std::thread::id thread;
  long length;
};

struct Recorder {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Event> events;
  // Runs inside the callback (outside the recorder's lock); its result is
  // the callback's.
  std::function<int(int type)> action;

  void SetAction(std::function<int(int type)> f) {
    std::lock_guard<std::mutex> g(lock);
    action = std::move(f);
  }

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> g(lock);
    return events;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(lock);
    events.clear();
  }
  int Count(int type) {
    int n = 0;
    for (const Event& e : Events()) n += e.type == type;
    return n;
  }
  bool WaitFor(int type, int count, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
      int n = 0;
      for (const Event& e : events) n += e.type == type;
      return n >= count;
    });
  }
};

int Record(void* user, int type, void* data, long length) {
  auto* r = static_cast<Recorder*>(user);
  Event e{type, {}, std::this_thread::get_id(), length};
  if (data && type != PACKET_PHONEME) e.data.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
  std::function<int(int)> action;
  {
    std::lock_guard<std::mutex> g(r->lock);
    action = r->action;
  }
  int result = action ? action(type) : 0;
  // The last touch of the recorder is under its lock, so a test that has
  // seen the event may let the recorder go.
  std::lock_guard<std::mutex> g(r->lock);
  r->events.push_back(e);
  r->changed.notify_all();
  return result;
}

struct Opened {
  SpeechServer server;
  Recorder recorder;
  CONNECTION_HANDLE handle;
  explicit Opened(const std::string& script) : server(script) {
    handle = ovCreateConnection();
    EXPECT_TRUE(server.running()) << server.error();
    EXPECT_EQ(ovOpenConnection(handle, "127.0.0.1", server.port()), OV_SUCCESS);
    ovSetCallBack(handle, Record);
    ovSetUserData(handle, &recorder);
  }
  ~Opened() { ovDestroyConnection(handle); }
};

// Requests whose text names them get answers that name them too.
const char* kNamedReplies = R"({
  "rules": [
    {"when": {"contains": "stream"}, "reply": [{"stream": {"type": 10, "bytes": 320, "interval_ms": 2}}]},
    {"when": {"contains": "slow"}, "reply": [{"word": "slow"}, {"stall_ms": 300}, {"audio": {"bytes": 4}},
                                             {"stall_ms": 300}, {"end": true}]},
    {"when": {"contains": "first"}, "reply": [{"word": "first"}, {"audio": {"bytes": 4}}, {"stall_ms": 100},
                                              {"audio": {"bytes": 4}}, {"word": "first"}, {"end": true}]},
    {"when": {"contains": "second"}, "reply": [{"word": "second"}, {"audio": {"bytes": 4}}, {"end": true}]},
    {"when": {"contains": "vanish"}, "reply": [{"word": "vanish"}, {"drop": true}]}
  ],
  "text_reply": [{"word": "other"}, {"end": true}]})";

const std::string kFirst("first", 6);

const int kPromptMs = static_cast<int>(std::chrono::milliseconds(orvelle_test::prompt_return_limit).count());

long long ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// After a cancelled "first" request, the next render gets the answers of the
// new request only (its closing empty frame gets the default answer).
void ExpectNextRenderIsClean(Opened& c) {
  c.recorder.SetAction(nullptr);
  c.recorder.Clear();
  EXPECT_EQ(ovRenderSpeech(c.handle, "second"), OV_SUCCESS);
  auto events = c.recorder.Events();
  ASSERT_FALSE(events.empty());
  for (const Event& e : events) EXPECT_NE(e.data, kFirst);
  EXPECT_GE(c.recorder.Count(PACKET_WORD), 1);
}

}  // namespace

TEST(AsyncTest, DeliversOneThreadFinishedEventOnTheWorkerThread) {
  Opened c(kNamedReplies);
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "second"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_THREAD_FINISHED, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto events = c.recorder.Events();
  EXPECT_EQ(c.recorder.Count(PACKET_THREAD_FINISHED), 1);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().type, PACKET_THREAD_FINISHED);
  EXPECT_EQ(events.back().data, "");
  EXPECT_EQ(events.back().length, OV_SUCCESS);
  for (const Event& e : events) {
    EXPECT_NE(e.thread, std::this_thread::get_id());
    EXPECT_EQ(e.thread, events.front().thread);
  }
  EXPECT_GE(c.recorder.Count(PACKET_WORD), 1);
  // A second asynchronous render waits for the first worker and works.
  c.recorder.Clear();
  ASSERT_EQ(ovRenderSpeechXMLAsync(c.handle, "<p>second</p>"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_THREAD_FINISHED, 1));
  EXPECT_GE(c.recorder.Count(PACKET_WORD), 1);
}

TEST(AsyncTest, ThreadFinishedEventCarriesTheFailureOfTheRender) {
  Opened c(kNamedReplies);
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "vanish"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_THREAD_FINISHED, 1));
  auto events = c.recorder.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().type, PACKET_THREAD_FINISHED);
  // The server went away without an END: the render failed, and says so.
  EXPECT_LT(events.back().length, 0);
  EXPECT_EQ(c.recorder.Count(PACKET_THREAD_FINISHED), 1);
}

TEST(AsyncTest, SecondAsyncStartWhileRenderingIsBusy) {
  Opened c(kNamedReplies);
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "slow"), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeechAsync(c.handle, "second"), OV_BUSY);
  EXPECT_EQ(ovRenderSpeechXMLAsync(c.handle, "second"), OV_BUSY);
  // A synchronous render waits for the worker, then renders normally.
  c.recorder.SetAction(nullptr);
  EXPECT_EQ(ovRenderSpeech(c.handle, "second"), OV_SUCCESS);
  EXPECT_EQ(c.recorder.Count(PACKET_THREAD_FINISHED), 1);
  auto events = c.recorder.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().type, PACKET_WORD);
  EXPECT_EQ(events.back().thread, std::this_thread::get_id());
}

TEST(AsyncTest, CancelWhileServerStreamsReconnectsAndKeepsCallback) {
  Opened c(kNamedReplies);
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "stream forever"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_AUDIO, 3));
  auto start = Clock::now();
  EXPECT_EQ(ovCancelRequest(c.handle), OV_SUCCESS);
  // The stream never ends by itself.
  EXPECT_LT(ElapsedMs(start), kPromptMs);
  EXPECT_EQ(c.recorder.Count(PACKET_THREAD_FINISHED), 1);

  // The server saw CLOSE on the first connection, then a second connection.
  ASSERT_TRUE(c.server.wait_for("connect", 2));
  auto lines = c.server.log_lines();
  int close_at = -1, second_connect_at = -1;
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    if (lines[i] == "close conn=1") close_at = i;
    if (lines[i] == "connect conn=2") second_connect_at = i;
  }
  EXPECT_GE(close_at, 0);
  EXPECT_GT(second_connect_at, close_at);
  if (close_at < 0) {
    for (const std::string& l : lines) ADD_FAILURE() << l.substr(0, 120);
  }

  // Same handle, same callback and user data, on the new connection.
  c.recorder.Clear();
  EXPECT_EQ(ovRenderSpeech(c.handle, "second"), OV_SUCCESS);
  auto events = c.recorder.Events();
  ASSERT_FALSE(events.empty());
  // Answers of the new request only (the closing empty frame gets the
  // default answer).
  for (const Event& e : events) EXPECT_NE(e.data, kFirst);
  EXPECT_GE(c.recorder.Count(PACKET_WORD), 1);
}

TEST(AsyncTest, CancelOnIdleConnectionReconnects) {
  Opened c(kNamedReplies);
  EXPECT_EQ(ovCancelRequest(c.handle), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(c.handle, "second"), OV_SUCCESS);
  EXPECT_GE(c.recorder.Count(PACKET_WORD), 1);
  // A connection that was never opened cannot be closed.
  CONNECTION_HANDLE idle = ovCreateConnection();
  EXPECT_EQ(ovCancelRequest(idle), OV_SEND_FAILED);
  ovDestroyConnection(idle);
}

TEST(AsyncTest, CancelFromCallbackOnCallersThreadStopsRenderAndNextIsClean) {
  Opened c(kNamedReplies);
  long long cancel_ms = -1;
  CONNECTION_HANDLE h = c.handle;
  c.recorder.SetAction([&](int type) {
    if (type == PACKET_AUDIO && cancel_ms < 0) {
      auto t = Clock::now();
      EXPECT_EQ(ovCancelRequest(h), OV_SUCCESS);
      cancel_ms = ElapsedMs(t);
    }
    return 0;
  });
  auto start = Clock::now();
  EXPECT_EQ(ovRenderSpeech(c.handle, "first"), OV_CANCELLED);
  EXPECT_LT(ElapsedMs(start), kPromptMs);
  // Waiting for its own render to end would never return.
  EXPECT_GE(cancel_ms, 0);
  EXPECT_LT(cancel_ms, kPromptMs);
  // Nothing of the first request arrives after the cancel.
  int words = 0;
  for (const Event& e : c.recorder.Events()) words += e.type == PACKET_WORD;
  EXPECT_EQ(words, 1);

  ExpectNextRenderIsClean(c);
}

TEST(AsyncTest, CancelFromCallbackOnWorkerThreadEndsRenderAndNextIsClean) {
  Opened c(kNamedReplies);
  CONNECTION_HANDLE h = c.handle;
  std::atomic<long long> cancel_ms{-1};
  c.recorder.SetAction([&](int type) {
    if (type == PACKET_AUDIO && cancel_ms.load() < 0) {
      auto t = Clock::now();
      EXPECT_EQ(ovCancelRequest(h), OV_SUCCESS);
      cancel_ms = ElapsedMs(t);
    }
    return 0;
  });
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "first"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_THREAD_FINISHED, 1, kPromptMs));
  EXPECT_GE(cancel_ms.load(), 0);
  EXPECT_LT(cancel_ms.load(), kPromptMs);

  ExpectNextRenderIsClean(c);
}

TEST(AsyncTest, RequestsFromInsideOwnCallbackAreBusyOtherConnectionsWork) {
  Opened c(kNamedReplies);
  Opened other(kNamedReplies);
  CONNECTION_HANDLE h = c.handle;
  std::vector<int> nested;
  int other_code = -100;
  c.recorder.SetAction([&](int type) {
    if (type == PACKET_WORD && nested.empty()) {
      nested = {ovRenderSpeech(h, "x"),      ovRenderSpeechXML(h, "x"),      ovPushSpeechStream(h, "x"),
                ovPushSpeechStreamXML(h, "x"), ovFlushSpeechStream(h),         ovFlushSpeechStreamXML(h),
                ovQueryServer(h, "<q/>"),     ovRenderSpeechAsync(h, "x"),    ovOpenConnection(h, "127.0.0.1", 1)};
      other_code = ovRenderSpeech(other.handle, "second");
    }
    return 0;
  });
  EXPECT_EQ(ovRenderSpeech(c.handle, "first"), OV_SUCCESS);
  for (int code : nested) EXPECT_EQ(code, OV_BUSY);
  EXPECT_EQ(nested.size(), 9u);
  EXPECT_EQ(other_code, OV_SUCCESS);
  EXPECT_GE(other.recorder.Count(PACKET_WORD), 1);
  // The first request was not disturbed: both its words arrived.
  int words = 0;
  for (const Event& e : c.recorder.Events()) words += e.type == PACKET_WORD && e.data == kFirst;
  EXPECT_EQ(words % 2, 0);
  EXPECT_GE(words, 2);
}

TEST(AsyncTest, DestroyWhileWorkerRendersWaitsForIt) {
  auto* c = new Opened(kNamedReplies);
  ASSERT_EQ(ovRenderSpeechAsync(c->handle, "slow"), OV_SUCCESS);
  EXPECT_EQ(ovDestroyConnection(c->handle), OV_SUCCESS);
  EXPECT_EQ(c->recorder.Count(PACKET_THREAD_FINISHED), 1);
  EXPECT_EQ(ovRenderSpeech(c->handle, "x"), OV_BAD_HANDLE);
  delete c;
}

TEST(AsyncTest, DestroyFromInsideWorkerCallbackIsSafe) {
  Opened c(kNamedReplies);
  CONNECTION_HANDLE h = c.handle;
  std::atomic<int> destroyed{-100};
  c.recorder.SetAction([&](int type) {
    if (type == PACKET_WORD && destroyed.load() == -100) destroyed = ovDestroyConnection(h);
    return 0;
  });
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "first"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_THREAD_FINISHED, 1));
  EXPECT_EQ(destroyed.load(), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(h, "x"), OV_BAD_HANDLE);
  // Let the worker finish letting go of its connection.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(AsyncTest, PlainAsyncRenderClosesAnOpenMarkupStreamFirst) {
  Opened c(R"({"text_reply": [{"end": true}]})");
  // Long enough for the tokeniser to hand pieces on before the flush.
  std::string pushed_text;
  while (pushed_text.size() < 12000) pushed_text += "pushed words ";
  ASSERT_EQ(ovPushSpeechStream(c.handle, pushed_text.c_str()), OV_SUCCESS);
  std::size_t pushed = c.server.frames().size();
  ASSERT_GT(pushed, 0u);
  ASSERT_EQ(ovRenderSpeechAsync(c.handle, "plain text"), OV_SUCCESS);
  ASSERT_TRUE(c.recorder.WaitFor(PACKET_THREAD_FINISHED, 1));
  auto frames = c.server.frames();
  ASSERT_GT(frames.size(), pushed);
  // The markup stream's end comes before anything of the plain render.
  bool closed_first = false;
  for (std::size_t i = pushed; i < frames.size(); ++i) {
    if (frames[i].data.find("plain") != std::string::npos) break;
    if (frames[i].type == PACKET_TEXT) closed_first = true;
  }
  EXPECT_TRUE(closed_first);
  EXPECT_EQ(frames.back().type, static_cast<unsigned>(PACKET_TEXT));
  EXPECT_EQ(frames.back().length, 1u);
}

TEST(AsyncTest, CancelDuringALongRenderIsPromptAndSendsNoMoreText) {
  // Every piece of a 1 MB text is answered a little later with a little
  // audio: the whole render would take over ten seconds. The cancel comes
  // once the render runs, or while its start still waits for another
  // thread's request to let go of the connection: that one stops, and the
  // render, which begins after it, stops as well.
  std::string text;
  while (text.size() < 1000000) text += "many words of a long text ";
  for (bool while_starting : {false, true}) {
    SCOPED_TRACE(while_starting ? "cancel while the start waits" : "cancel during the render");
    Opened c(R"({"rules": [{"when": {"contains": "slow"}, "reply": [{"word": "slow"}, {"stall_ms": 300},
                                                                  {"end": true}]}],
                 "text_reply": [{"stall_ms": 40}, {"audio": {"bytes": 64}}, {"end": true}]})");
    std::thread holder, starter;
    int held = OV_SUCCESS, started = OV_ERROR;
    if (while_starting) {
      holder = std::thread([&] { held = ovRenderSpeech(c.handle, "slow"); });
      ASSERT_TRUE(c.recorder.WaitFor(PACKET_WORD, 1));
      starter = std::thread([&] { started = ovRenderSpeechAsync(c.handle, text.c_str()); });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
      ASSERT_EQ(ovRenderSpeechAsync(c.handle, text.c_str()), OV_SUCCESS);
      ASSERT_TRUE(c.recorder.WaitFor(PACKET_AUDIO, 5));
    }
    auto start = Clock::now();
    EXPECT_EQ(ovCancelRequest(c.handle), OV_SUCCESS);
    // How fast the cancel is, bench/render_bench measures; here it must not
    // wait for the render's end.
    EXPECT_LT(ElapsedMs(start), kPromptMs);
    if (while_starting) {
      holder.join();
      starter.join();
      EXPECT_EQ(started, OV_SUCCESS);
      EXPECT_NE(held, OV_SUCCESS);
    }
    auto events = c.recorder.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(c.recorder.Count(PACKET_THREAD_FINISHED), 1);
    EXPECT_EQ(events.back().type, PACKET_THREAD_FINISHED);
    EXPECT_EQ(events.back().length, OV_CANCELLED);
    // Each piece's answer carries one audio event. Beyond the pieces whose
    // audio was delivered, at most the piece being answered when the cancel
    // came and the frame that ends the stopped text went out (and the other
    // thread's request with its closing frame).
    const std::size_t answered = static_cast<std::size_t>(c.recorder.Count(PACKET_AUDIO));
    std::size_t text_frames = 0;
    for (const auto& f : c.server.frames()) text_frames += f.conn == 1 && f.type != PACKET_CLOSE;
    EXPECT_LE(text_frames, answered + (while_starting ? 4 : 2));
    EXPECT_LT(answered, 200u);
  }
}

TEST(AsyncTest, ExitDuringAnAsynchronousRenderEndsItBeforeTheApplicationsGlobals) {
  SpeechServer server(kNamedReplies);
  orvelle_test::ScratchDir scratch;
  const std::string log = scratch.Path("events");
  // The application returns from main while the server stalls its answer;
  // its event log is a global object built before its first connection.
  const std::string command = std::string(EXIT_ORDER_APP) + " " + std::to_string(server.port()) + " " + log;
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(log);
  std::string word, text;
  int type = 0, known = 0, finished = 0;
  long long ms = 0;
  bool destroyed = false;
  while (in >> word) {
    if (word == "log") {
      in >> text >> ms;
      destroyed = true;
      continue;
    }
    ASSERT_TRUE(in >> type >> known >> ms);
    EXPECT_EQ(word, "event") << "an event of type " << type << " came after the application's log was destroyed";
    EXPECT_EQ(known, OV_SUCCESS) << "an event of type " << type << " ran after its connection was gone";
    finished += type == PACKET_THREAD_FINISHED;
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(finished, 1);
  if (HasFailure()) {
    std::ifstream again(log);
    for (std::string line; std::getline(again, line);) ADD_FAILURE() << line;
  }
}
