// Synchronous renders, pushes, flushes and queries against the loopback
// speech server: what reaches the callback, and what reaches the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/orvelle.h"
#include "client/registry.h"
#include "client/speech_server.h"
#include "cpu_time.h"

using orvelle_test::ServerFrame;
using orvelle_test::SpeechServer;

namespace {

struct Event {
  int type = 0;
  std::string data;
  long length = 0;
  phoneme_data phoneme{};
  std::string phoneme_name, next_name;
};

struct Recorder {
  std::mutex lock;
  std::vector<Event> events;
  int refuse_at = -1;  // index of the event whose delivery returns non-zero

  std::vector<Event> Events() {
    std::lock_guard<std::mutex> g(lock);
    return events;
  }
  std::vector<int> Types() {
    std::vector<int> t;
    for (const Event& e : Events()) t.push_back(e.type);
    return t;
  }
};

int Record(void* user, int type, void* data, long length) {
  auto* r = static_cast<Recorder*>(user);
  Event e;
  e.type = type;
  e.length = length;
  if (type == PACKET_PHONEME) {
    std::memcpy(&e.phoneme, data, sizeof e.phoneme);
    e.phoneme_name = e.phoneme.phoneme;
    e.next_name = e.phoneme.next_phoneme;
  } else if (data) {
    e.data.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
  }
  std::lock_guard<std::mutex> g(r->lock);
  r->events.push_back(e);
  return static_cast<int>(r->events.size()) - 1 == r->refuse_at ? 1 : 0;
}

// A connection opened to a server with the given script.
struct Session {
  SpeechServer server;
  Recorder recorder;
  CONNECTION_HANDLE handle = -1;

  explicit Session(const std::string& script) : server(script) {
    handle = ovCreateConnection();
    if (server.running() && ovOpenConnection(handle, "127.0.0.1", server.port()) == OV_SUCCESS) {
      ovSetCallBack(handle, Record);
      ovSetUserData(handle, &recorder);
    }
  }
  ~Session() { ovDestroyConnection(handle); }

  std::vector<ServerFrame> Frames() { return server.frames(); }
  std::vector<unsigned> FrameTypes() {
    std::vector<unsigned> t;
    for (const ServerFrame& f : Frames()) t.push_back(f.type);
    return t;
  }
};

std::string Body(const ServerFrame& f) {
  std::string d = f.data;
  if (!d.empty() && d.back() == '\0') d.pop_back();
  return d;
}

const char* kShortReply = R"({"text_reply": [{"audio": {"bytes": 8}}, {"end": true}]})";

}  // namespace

TEST(RenderTest, RenderEndsWithEmptyFinalTextFrameAndReturnsSuccess) {
  Session s(kShortReply);
  ASSERT_TRUE(s.server.running()) << s.server.error();
  ASSERT_EQ(ovRenderSpeech(s.handle, "Hello there"), OV_SUCCESS);
  auto frames = s.Frames();
  ASSERT_FALSE(frames.empty());
  // Every frame the server got is well formed and on stream 0.
  for (const ServerFrame& f : frames) {
    EXPECT_TRUE(f.ok);
    EXPECT_EQ(f.stream, 0u);
  }
  const ServerFrame& last = frames.back();
  EXPECT_EQ(last.type, static_cast<unsigned>(PACKET_TEXT));
  EXPECT_EQ(last.length, 1u);
  EXPECT_EQ(last.data, std::string(1, '\0'));
  // The text went out, inside a frame that carries the final mark.
  bool text_seen = false, final_seen = false;
  for (const ServerFrame& f : frames) {
    if (f.data.find("Hello") != std::string::npos) text_seen = true;
    if (f.type == PACKET_TEXT && f.data.find("qrln_final") != std::string::npos) final_seen = true;
  }
  EXPECT_TRUE(text_seen);
  EXPECT_TRUE(final_seen);
  // One audio event per text frame answered; no END, no CLOSE delivered.
  for (const Event& e : s.recorder.Events()) EXPECT_EQ(e.type, PACKET_AUDIO);
  EXPECT_EQ(s.recorder.Events().size(), frames.size());
}

TEST(RenderTest, RenderAndRenderXmlSendTheSameFrames) {
  SpeechServer a(kShortReply), b(kShortReply);
  ASSERT_TRUE(a.running() && b.running());
  CONNECTION_HANDLE ha = ovCreateConnection(), hb = ovCreateConnection();
  ASSERT_EQ(ovOpenConnection(ha, "127.0.0.1", a.port()), OV_SUCCESS);
  ASSERT_EQ(ovOpenConnection(hb, "127.0.0.1", b.port()), OV_SUCCESS);
  const char* text = "<speak>One <b>two</b> three &amp; four</speak>";
  EXPECT_EQ(ovRenderSpeech(ha, text), ovRenderSpeechXML(hb, text));
  EXPECT_EQ(ovPushSpeechStream(ha, "five"), ovPushSpeechStreamXML(hb, "five"));
  EXPECT_EQ(ovFlushSpeechStream(ha), ovFlushSpeechStreamXML(hb));
  ovDestroyConnection(ha);
  ovDestroyConnection(hb);
  ASSERT_TRUE(a.wait_for("disconnect", 1) && b.wait_for("disconnect", 1));
  auto fa = a.frames(), fb = b.frames();
  ASSERT_EQ(fa.size(), fb.size());
  for (std::size_t i = 0; i < fa.size(); ++i) {
    EXPECT_EQ(fa[i].type, fb[i].type) << i;
    EXPECT_EQ(fa[i].data, fb[i].data) << i;
  }
}

TEST(RenderTest, DeliversEventsOfEveryKindAndSkipsOthers) {
  // Audio of 0, 1 and 64,000 bytes; text events with their NUL; a type 14
  // and an unknown type from the server are never delivered.
  Session s(R"({"text_reply": [
      {"audio": {"hex": ""}},
      {"audio": {"hex": "7f"}},
      {"audio": {"bytes": 64000, "frame_bytes": 64000}},
      {"word": "hello"}, {"bookmark": "bm1"}, {"spurt": "<s/>"}, {"xml": "<r/>"},
      {"frame": {"type": 14, "text": "no"}},
      {"frame": {"type": 77, "text": "odd"}},
      {"end": true}]})");
  ASSERT_TRUE(s.server.running());
  ASSERT_EQ(ovRenderSpeech(s.handle, "x"), OV_SUCCESS);
  auto events = s.recorder.Events();
  // The reply comes once per awaited text frame; look at the first reply.
  ASSERT_GE(events.size(), 7u);
  EXPECT_EQ(events[0].type, PACKET_AUDIO);
  EXPECT_EQ(events[0].length, 0);
  EXPECT_EQ(events[1].type, PACKET_AUDIO);
  EXPECT_EQ(events[1].length, 1);
  EXPECT_EQ(events[1].data, "\x7f");
  EXPECT_EQ(events[2].type, PACKET_AUDIO);
  EXPECT_EQ(events[2].length, 64000);
  EXPECT_EQ(events[3].type, PACKET_WORD);
  EXPECT_EQ(events[3].data, std::string("hello", 6));
  EXPECT_EQ(events[4].type, PACKET_BOOKMARK);
  EXPECT_EQ(events[4].data, std::string("bm1", 4));
  EXPECT_EQ(events[5].type, PACKET_SPURT);
  EXPECT_EQ(events[6].type, PACKET_XML);
  EXPECT_EQ(events[6].data, std::string("<r/>", 5));
  for (const Event& e : events) {
    EXPECT_NE(e.type, PACKET_THREAD_FINISHED);
    EXPECT_NE(e.type, 77);
    EXPECT_NE(e.type, PACKET_END);
  }
  EXPECT_EQ(events.size() % 7, 0u);
}

TEST(RenderTest, DecodesPhonemeRecordsFieldByField) {
  Session s(R"({"text_reply": [
      {"phoneme": {"phoneme": "ae", "next": "t", "phone_length": 640, "sample_rate": 16000,
                   "sapi_viseme": 1, "disney_viseme": 2, "stress": 3, "sapi_phoneid": 4,
                   "next_sapi_phoneid": 5, "next_sapi_viseme": 6}},
      {"phoneme": {"phoneme": "k", "next": "", "sample_rate": 22050, "sapi_viseme": 9,
                   "disney_viseme": 8, "truncate": 27}},
      {"phoneme": {"phoneme": "k", "next": "x", "truncate": 10}},
      {"end": true}]})");
  ASSERT_TRUE(s.server.running());
  ASSERT_EQ(ovRenderSpeech(s.handle, "cat"), OV_SUCCESS);
  auto events = s.recorder.Events();
  ASSERT_GE(events.size(), 2u);
  const Event& a = events[0];
  EXPECT_EQ(a.type, PACKET_PHONEME);
  EXPECT_EQ(a.length, static_cast<long>(sizeof(phoneme_data)));
  EXPECT_EQ(a.phoneme.struct_size, sizeof(phoneme_data));
  EXPECT_EQ(a.phoneme_name, "ae");
  EXPECT_EQ(a.next_name, "t");
  EXPECT_EQ(a.phoneme.phone_length_in_bytes, 640u);
  EXPECT_EQ(a.phoneme.sample_rate, 16000u);
  EXPECT_EQ(a.phoneme.sapi_viseme, 1u);
  EXPECT_EQ(a.phoneme.disney_viseme, 2u);
  EXPECT_EQ(a.phoneme.stress, 3u);
  EXPECT_EQ(a.phoneme.sapi_phoneid, 4u);
  EXPECT_EQ(a.phoneme.next_sapi_phoneid, 5u);
  EXPECT_EQ(a.phoneme.next_sapi_viseme, 6u);
  // A payload that ends after disney_viseme: the later fields are 0.
  const Event& b = events[1];
  EXPECT_EQ(b.type, PACKET_PHONEME);
  EXPECT_EQ(b.phoneme_name, "k");
  EXPECT_EQ(b.next_name, "");
  EXPECT_EQ(b.phoneme.sample_rate, 22050u);
  EXPECT_EQ(b.phoneme.sapi_viseme, 9u);
  EXPECT_EQ(b.phoneme.disney_viseme, 8u);
  EXPECT_EQ(b.phoneme.stress, 0u);
  EXPECT_EQ(b.phoneme.next_sapi_viseme, 0u);
  // The third payload ends inside its names and is skipped: every reply
  // delivers exactly two records.
  EXPECT_EQ(events.size() % 2, 0u);
}

TEST(RenderTest, RefusingCallbackStopsRequestAndNextRequestStillWorks) {
  // Every answer: a word naming the request, three audio frames, END.
  Session s(R"({"text_reply": [{"word": "reply"}, {"audio": {"bytes": 4}}, {"audio": {"bytes": 4}},
                               {"audio": {"bytes": 4}}, {"end": true}]})");
  ASSERT_TRUE(s.server.running());
  s.recorder.refuse_at = 1;  // the first audio of the first answer
  int code = ovRenderSpeech(s.handle, "first request");
  EXPECT_NE(code, OV_SUCCESS);
  EXPECT_EQ(s.recorder.Events().size(), 2u);  // nothing after the refusal

  // The next request gets its own answers only: each begins with the word
  // and has three audio frames, and the render succeeds.
  s.recorder.events.clear();
  s.recorder.refuse_at = -1;
  EXPECT_EQ(ovRenderSpeech(s.handle, "second request"), OV_SUCCESS);
  auto types = s.recorder.Types();
  ASSERT_FALSE(types.empty());
  ASSERT_EQ(types.size() % 4, 0u);
  for (std::size_t i = 0; i < types.size(); i += 4) {
    EXPECT_EQ(types[i], PACKET_WORD);
    EXPECT_EQ(types[i + 1], PACKET_AUDIO);
    EXPECT_EQ(types[i + 3], PACKET_AUDIO);
  }
  // And the second request's text reached the server.
  bool sent = false;
  for (const ServerFrame& f : s.Frames()) sent |= f.data.find("second") != std::string::npos;
  EXPECT_TRUE(sent);
}

TEST(RenderTest, RepliesOfAnAbandonedRequestAreNeverDeliveredToTheNext) {
  // The server answers the text frames of the first render slowly; the
  // callback refuses at once, so all those answers are still owed when the
  // second render starts.
  Session s(R"({"rules": [{"when": {"contains": "alpha"}, "reply": [{"word": "A"}, {"stall_ms": 50},
                                                                     {"word": "A"}, {"end": true}]}],
                "text_reply": [{"word": "B"}, {"end": true}]})");
  ASSERT_TRUE(s.server.running());
  s.recorder.refuse_at = 0;
  EXPECT_NE(ovRenderSpeech(s.handle, "alpha"), OV_SUCCESS);
  s.recorder.events.clear();
  s.recorder.refuse_at = -1;
  EXPECT_EQ(ovRenderSpeech(s.handle, "beta"), OV_SUCCESS);
  auto events = s.recorder.Events();
  ASSERT_FALSE(events.empty());
  for (const Event& e : events) EXPECT_EQ(e.data, std::string("B", 2));
}

TEST(RenderTest, PushSendsPiecesAndFlushEndsTheStream) {
  Session s(kShortReply);
  ASSERT_TRUE(s.server.running());
  ASSERT_EQ(ovPushSpeechStream(s.handle, "part one, "), OV_SUCCESS);
  auto after_push = s.Frames();
  // A push sends no final text frame.
  for (const ServerFrame& f : after_push) EXPECT_EQ(f.type, static_cast<unsigned>(PACKET_TEXT_STREAM));
  ASSERT_EQ(ovPushSpeechStream(s.handle, "part two"), OV_SUCCESS);
  ASSERT_EQ(ovFlushSpeechStream(s.handle), OV_SUCCESS);
  auto frames = s.Frames();
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().type, static_cast<unsigned>(PACKET_TEXT));
  EXPECT_EQ(frames.back().length, 1u);
  std::string all;
  for (const ServerFrame& f : frames) all += Body(f);
  EXPECT_NE(all.find("one"), std::string::npos);
  EXPECT_NE(all.find("two"), std::string::npos);
  EXPECT_NE(all.find("qrln_final"), std::string::npos);
}

TEST(RenderTest, QueryDeliversXmlReplyAndSendsTextWithItsNul) {
  Session s(R"({"query_reply": [{"xml": "<ok/>"}, {"end": true}]})");
  ASSERT_TRUE(s.server.running());
  EXPECT_EQ(ovQueryServer(s.handle, "<hello/>"), OV_SUCCESS);
  auto events = s.recorder.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, PACKET_XML);
  EXPECT_EQ(events[0].data, std::string("<ok/>", 6));
  auto frames = s.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, static_cast<unsigned>(PACKET_XML));
  EXPECT_EQ(frames[0].data, std::string("<hello/>", 9));
}

TEST(RenderTest, SendFailureGivesSendFailedAndLeavesConnectionIdle) {
  Session s(R"({"text_reply": [{"drop": true}]})");
  ASSERT_TRUE(s.server.running());
  int first = ovRenderSpeech(s.handle, "words");
  EXPECT_NE(first, OV_SUCCESS);
  // The server is gone: sending fails now, and cancel does not hang.
  s.server.stop();
  int second = OV_SUCCESS;
  for (int i = 0; i < 20 && second == OV_SUCCESS; ++i) second = ovRenderSpeech(s.handle, "more");
  EXPECT_NE(second, OV_SUCCESS);
  EXPECT_NE(ovCancelRequest(s.handle), OV_SUCCESS);
}

TEST(RenderTest, RenderWithoutConnectionFailsToSend) {
  CONNECTION_HANDLE h = ovCreateConnection();
  EXPECT_EQ(ovRenderSpeech(h, "x"), OV_SEND_FAILED);
  EXPECT_EQ(ovPushSpeechStream(h, "x"), OV_SEND_FAILED);
  EXPECT_EQ(ovFlushSpeechStream(h), OV_SEND_FAILED);
  EXPECT_EQ(ovQueryServer(h, "<q/>"), OV_SEND_FAILED);
  EXPECT_EQ(ovSetVoiceFast(h, "v"), OV_SEND_FAILED);
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
}

// Whatever the application passes, the server's own XML parser finds each
// request's markup well-formed.
TEST(RenderTest, ConnectionsMadeOnManyThreadsAtOnceAllSendTheSameFrames) {
  // Every connection uses the process's one set of compiled patterns; the
  // threads start together, so the set is first made while they race.
  SpeechServer server(kShortReply);
  ASSERT_TRUE(server.running()) << server.error();
  const char* text = "<speak>One <b x='1'>two</b><!-- c --> three &amp; <![CDATA[<4>]]> five</speak>";
  constexpr int kThreads = 8;
  std::atomic<int> waiting{kThreads};
  std::vector<int> results(2 * kThreads, OV_ERROR);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      waiting.fetch_sub(1);
      while (waiting.load() > 0) std::this_thread::yield();
      CONNECTION_HANDLE h = ovCreateConnection();
      results[2 * t] = ovOpenConnection(h, "127.0.0.1", server.port());
      results[2 * t + 1] = ovRenderSpeechXML(h, text);
      ovDestroyConnection(h);
    });
  for (auto& th : threads) th.join();
  for (int r : results) EXPECT_EQ(r, OV_SUCCESS);
  ASSERT_TRUE(server.wait_for("disconnect", kThreads));
  std::map<int, std::vector<std::string>> sent;  // text frames by connection
  for (const ServerFrame& f : server.frames())
    if (f.type == PACKET_TEXT || f.type == PACKET_TEXT_STREAM) sent[f.conn].push_back(f.data);
  ASSERT_EQ(sent.size(), static_cast<std::size_t>(kThreads));
  const std::vector<std::string>& first = sent.begin()->second;
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first.front().find("qltk"), std::string::npos) << first.front();
  for (const auto& [conn, frames] : sent) EXPECT_EQ(frames, first) << "connection " << conn;
}

TEST(RenderTest, ServerReceivesWellFormedMarkupForHostileInput) {
  Session s(R"({"text_reply": [{"end": true}], "query_reply": [{"end": true}]})");
  ASSERT_TRUE(s.server.running()) << s.server.error();
  const char* inputs[] = {
      "AT&1;",        "a &1x; &-y; b", "<a b='&1x;' c='&-y;'>t</a>", "<a b='1'\f>t", "<a\fb='1'>t</a>",
      "<b/ >x",       "<a\vb='1'>t</a>", "&#0; &#xD800; &#x110000; &#99999999999; &#65; &nbsp;",
      "<c x='1'\x01>", "</a> <p>", "<voice name='v'>x</voice>&",
  };
  int requests = 0;
  for (const char* in : inputs) {
    EXPECT_EQ(ovRenderSpeechXML(s.handle, in), OV_SUCCESS) << in;
    EXPECT_EQ(ovRenderSpeech(s.handle, in), OV_SUCCESS) << in;
    requests += 2;
  }
  ASSERT_TRUE(s.server.wait_for("markup", static_cast<std::size_t>(requests)));
  int checked = 0;
  for (const std::string& line : s.server.log_lines()) {
    if (line.rfind("markup ", 0) != 0) continue;
    ++checked;
    EXPECT_EQ(orvelle_test::log_field(line, "wellformed"), "1") << "request " << checked;
  }
  // Voice switches and the final mark may end a request's text early.
  EXPECT_GE(checked, requests);
}

// Each way a server can fail while a piece of text (or a query) is being
// answered: the code of a render, a push and a query, the line on standard
// error, and what the next request on the connection gets.
TEST(RenderTest, ServerFailuresGiveTheHeadersCodesAndLines) {
  struct Row {
    const char* name;
    const char* reply;     // the answer to anything holding "bad"
    int timeout_ms;        // the connection's receive time-out
    int render, push, query;
    const char* line;      // on standard error ("" for none)
    int next;              // code of the next render on the connection
  } rows[] = {
      {"close", R"([{"audio": {"number": 8}}, {"close": true}])", 60000, OV_CANCELLED, OV_CANCELLED, OV_ERROR,
       "WARNING: the server has closed the connection to the orvelle client", OV_SEND_FAILED},
      {"close, then its end at once", R"([{"audio": {"number": 8}}, {"close": true}, {"end": true}])", 60000,
       OV_CANCELLED, OV_CANCELLED, OV_ERROR, "WARNING: the server has closed the connection to the orvelle client",
       OV_SUCCESS},
      {"close, its end later", R"([{"audio": {"number": 8}}, {"close": true}, {"stall_ms": 100}, {"end": true}])",
       60000, OV_CANCELLED, OV_CANCELLED, OV_ERROR,
       "WARNING: the server has closed the connection to the orvelle client", OV_SEND_FAILED},
      {"close, the rest later", R"([{"audio": {"number": 8}}, {"close": true}, {"stall_ms": 100},
                                     {"audio": {"number": 8}}, {"end": true}])",
       60000, OV_CANCELLED, OV_CANCELLED, OV_ERROR,
       "WARNING: the server has closed the connection to the orvelle client", OV_SEND_FAILED},
      {"close and drop", R"([{"close": true}, {"drop": true}])", 60000, OV_CANCELLED, OV_CANCELLED, OV_ERROR,
       "WARNING: the server has closed the connection to the orvelle client", OV_SEND_FAILED},
      {"drop", R"([{"audio": {"number": 8}}, {"drop": true}])", 60000, OV_CANCELLED, OV_CANCELLED, OV_ERROR, "",
       OV_SEND_FAILED},
      {"reset", R"([{"audio": {"number": 8}}, {"reset": true}])", 60000, OV_CANCELLED, OV_CANCELLED, OV_ERROR, "",
       OV_SEND_FAILED},
      {"time-out", R"([{"stall_ms": 60000}, {"end": true}])", 100, OV_SEND_FAILED, OV_SEND_FAILED, OV_ERROR,
       "WARNING: orvelle packet receive from server timed out after 100ms", OV_SEND_FAILED},
      {"lengths differ", R"([{"frame": {"type": 10, "hex": "0102", "trailer": 3}}, {"end": true}])", 60000,
       OV_SEND_FAILED, OV_SEND_FAILED, OV_ERROR, "ERROR: orvelle packet receive error", OV_SEND_FAILED},
      {"too long", R"([{"frame": {"type": 10, "hex": "", "length": 64001}}])", 60000, OV_SEND_FAILED,
       OV_SEND_FAILED, OV_ERROR, "ERROR: orvelle receive error, packet too big for packet type 10 length is 64001",
       OV_SEND_FAILED},
  };
  enum Kind { render, push, query };
  for (const Row& row : rows) {
    for (Kind kind : {render, push, query}) {
      SCOPED_TRACE(std::string(row.name) + (kind == render ? " render" : kind == push ? " push" : " query"));
      Session s(std::string(R"({"rules": [{"when": {"contains": "bad"}, "reply": )") + row.reply +
                R"(}], "text_reply": [{"audio": {"number": 8}}, {"end": true}], "query_reply": [{"end": true}]})");
      ASSERT_TRUE(s.server.running()) << s.server.error();
      connections().Find(s.handle)->SetReceiveTimeout(row.timeout_ms);
      // A push long enough to send a piece of its own.
      std::string pushed;
      while (pushed.size() < 6000) pushed += "req7 bad words ";
      testing::internal::CaptureStderr();
      auto start = std::chrono::steady_clock::now();
      int code = kind == render ? ovRenderSpeech(s.handle, "req7 bad words")
                 : kind == push ? ovPushSpeechStream(s.handle, pushed.c_str())
                                : ovQueryServer(s.handle, "<req7 bad/>");
      std::string err = testing::internal::GetCapturedStderr();
      EXPECT_EQ(code, kind == render ? row.render : kind == push ? row.push : row.query);
      EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit);
      if (*row.line) {
        EXPECT_NE(err.find(row.line), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      } else {
        EXPECT_EQ(err, "");
      }
      // The next requests get their own answers only, as soon as they come.
      for (int number : {8, 9, 10}) {
        SCOPED_TRACE("req" + std::to_string(number));
        s.recorder.events.clear();
        start = std::chrono::steady_clock::now();
        EXPECT_EQ(ovRenderSpeech(s.handle, ("req" + std::to_string(number) + " fine").c_str()), row.next);
        EXPECT_LT(std::chrono::steady_clock::now() - start, orvelle_test::prompt_return_limit);
        // Its text frame's answer carries its number; the closing empty
        // frame's, 0; in that order.
        std::vector<int> numbers;
        for (const Event& e : s.recorder.Events()) {
          ASSERT_EQ(e.type, PACKET_AUDIO);
          ASSERT_EQ(e.data.size(), 8u);
          numbers.push_back(e.data[3]);
        }
        const std::vector<int> own = {number, 0};
        EXPECT_EQ(numbers, row.next == OV_SUCCESS ? own : std::vector<int>());
      }
      // Nothing of the stopped text went out after the failure.
      std::size_t bad_frames = 0;
      for (const ServerFrame& f : s.Frames()) bad_frames += f.data.find("bad") != std::string::npos;
      EXPECT_EQ(bad_frames, 1u);
    }
  }
}
