// The exported functions' return codes, their printed warnings and their
// handling of bad arguments.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "client/orvelle.h"
#include "client/speech_server.h"

using orvelle_test::SpeechServer;

namespace {

const char* kEndOnly = R"({"text_reply": [{"end": true}], "query_reply": [{"end": true}]})";

int seen_pascal = 0;
int PascalCounter(void*, int, void*, long) { return ++seen_pascal, 0; }
int seen_plain = 0;
int PlainCounter(void*, int, void*, long) { return ++seen_plain, 0; }

// A port where nothing listens: a server that has just gone.
int DeadPort() {
  SpeechServer gone("{}");
  int port = gone.port();
  gone.stop();
  return port;
}

}  // namespace

TEST(ApiTest, NullArgumentsGiveErrorCodes) {
  SpeechServer server(kEndOnly);
  ASSERT_TRUE(server.running());
  CONNECTION_HANDLE h = ovCreateConnection();
  ASSERT_GE(h, 1000);
  EXPECT_EQ(ovOpenConnection(h, nullptr, server.port()), OV_CONNECT_FAILED);
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", server.port()), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(h, nullptr), OV_ERROR);
  EXPECT_EQ(ovRenderSpeechXML(h, nullptr), OV_ERROR);
  EXPECT_EQ(ovPushSpeechStream(h, nullptr), OV_ERROR);
  EXPECT_EQ(ovPushSpeechStreamXML(h, nullptr), OV_ERROR);
  EXPECT_EQ(ovRenderSpeechAsync(h, nullptr), OV_ERROR);
  EXPECT_EQ(ovRenderSpeechXMLAsync(h, nullptr), OV_ERROR);
  EXPECT_EQ(ovQueryServer(h, nullptr), OV_ERROR);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoiceFast(h, nullptr), OV_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: Tervane query failed, the voice has not been switched\n");
  // Nothing reached the server, and the connection still works.
  EXPECT_EQ(ovRenderSpeech(h, "fine"), OV_SUCCESS);
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
}

TEST(ApiTest, PortsOutsideTheRangeAndDeadServersFailToConnect) {
  CONNECTION_HANDLE h = ovCreateConnection();
  for (int port : {0, -1, 65536, 1 << 20}) EXPECT_EQ(ovOpenConnection(h, "127.0.0.1", port), OV_CONNECT_FAILED);
  EXPECT_EQ(ovOpenConnection(h, "no.such.host.invalid", 8989), OV_CONNECT_FAILED);
  EXPECT_EQ(ovOpenConnection(h, "127.0.0.1", DeadPort()), OV_CONNECT_FAILED);
  // Never opened: closing finds no socket, destroying still succeeds.
  EXPECT_EQ(ovCloseConnection(h), OV_SEND_FAILED);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ApiTest, SecondOpenClosesTheOldSocketAndUsesTheNewServer) {
  SpeechServer first(kEndOnly), second(kEndOnly);
  ASSERT_TRUE(first.running() && second.running());
  CONNECTION_HANDLE h = ovCreateConnection();
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", first.port()), OV_SUCCESS);
  ASSERT_EQ(ovRenderSpeech(h, "to the first"), OV_SUCCESS);
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", second.port()), OV_SUCCESS);
  // The first server saw its connection close.
  EXPECT_TRUE(first.wait_for("disconnect", 1));
  std::size_t first_frames = first.frames().size();
  ASSERT_EQ(ovRenderSpeech(h, "to the second"), OV_SUCCESS);
  EXPECT_EQ(first.frames().size(), first_frames);
  bool seen = false;
  for (const auto& f : second.frames()) seen |= f.data.find("second") != std::string::npos;
  EXPECT_TRUE(seen);
  // A failed reopen keeps the working connection.
  EXPECT_EQ(ovOpenConnection(h, "127.0.0.1", DeadPort()), OV_CONNECT_FAILED);
  EXPECT_EQ(ovRenderSpeech(h, "still the second"), OV_SUCCESS);
  EXPECT_EQ(ovCloseConnection(h), OV_SUCCESS);
  EXPECT_EQ(ovCloseConnection(h), OV_SEND_FAILED);
  EXPECT_EQ(ovDestroyConnection(h), OV_SUCCESS);
}

TEST(ApiTest, PascalCallbackIsUsedOnlyWithoutPlainCallback) {
  SpeechServer server(R"({"text_reply": [{"word": "w"}, {"end": true}]})");
  ASSERT_TRUE(server.running());
  CONNECTION_HANDLE h = ovCreateConnection();
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", server.port()), OV_SUCCESS);
  seen_pascal = seen_plain = 0;
  EXPECT_EQ(ovSetPascalCallBack(h, PascalCounter), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(h, "one"), OV_SUCCESS);
  EXPECT_GT(seen_pascal, 0);
  int pascal_before = seen_pascal;
  EXPECT_EQ(ovSetCallBack(h, PlainCounter), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(h, "two"), OV_SUCCESS);
  EXPECT_EQ(seen_pascal, pascal_before);
  EXPECT_GT(seen_plain, 0);
  // Clearing the plain callback hands events to the Pascal one again.
  EXPECT_EQ(ovSetCallBack(h, nullptr), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(h, "three"), OV_SUCCESS);
  EXPECT_GT(seen_pascal, pascal_before);
  ovDestroyConnection(h);
}

TEST(ApiTest, SetVoiceFastSendsSelectQueryAndReportsItsCode) {
  SpeechServer server(kEndOnly);
  ASSERT_TRUE(server.running());
  CONNECTION_HANDLE h = ovCreateConnection();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoiceFast(h, "Velisa"), OV_SEND_FAILED);  // not connected
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "WARNING: Tervane query failed, the voice has not been switched\n");
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", server.port()), OV_SUCCESS);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovSetVoiceFast(h, "Velisa"), OV_SUCCESS);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  auto frames = server.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, static_cast<unsigned>(PACKET_XML));
  EXPECT_EQ(frames[0].data, std::string("<voice name='Velisa' select='1'/>", 34));
  ovDestroyConnection(h);
}

TEST(ApiTest, CancelOfUnknownHandlePrintsBadHandle) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovCancelRequest(42), OV_BAD_HANDLE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: bad handle.\n");
  CONNECTION_HANDLE h = ovCreateConnection();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ovCancelRequest(h), OV_SEND_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: could not close the connection!\n");
  ovDestroyConnection(h);

  // A handle destroyed while its cancel waits for the running render is
  // unknown by the time the cancel would close it.
  SpeechServer server(R"({"text_reply": [{"word": "w"}, {"stall_ms": 100}, {"end": true}]})");
  ASSERT_TRUE(server.running());
  struct Race {
    CONNECTION_HANDLE handle;
    std::thread canceller;
    std::atomic<int> code{-100};
  } race;
  race.handle = ovCreateConnection();
  ASSERT_EQ(ovOpenConnection(race.handle, "127.0.0.1", server.port()), OV_SUCCESS);
  ovSetUserData(race.handle, &race);
  ovSetCallBack(race.handle, [](void* user, int type, void*, long) {
    auto* r = static_cast<Race*>(user);
    if (type == PACKET_WORD && !r->canceller.joinable()) {
      r->canceller = std::thread([r] { r->code = ovCancelRequest(r->handle); });
      // The cancel now waits for this render to end.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ovDestroyConnection(r->handle);
    }
    return static_cast<int>(OV_SUCCESS);
  });
  testing::internal::CaptureStdout();
  ovRenderSpeech(race.handle, "words");
  ASSERT_TRUE(race.canceller.joinable());
  race.canceller.join();
  EXPECT_EQ(race.code.load(), OV_BAD_HANDLE);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WARNING: bad handle.\n");
  // The destroy closed the connection; the cancel neither closed nor
  // connected again.
  ASSERT_TRUE(server.wait_for("close", 1));
  EXPECT_FALSE(server.wait_for("close", 2, 0));
  EXPECT_FALSE(server.wait_for("connect", 2, 0));
}

TEST(ApiTest, QueryAfterCancelledRenderReportsCancelled) {
  // A render cancelled from inside its callback leaves the quit flag set; a
  // query, which does not clear it, reports the cancel once sent.
  SpeechServer server(R"({"text_reply": [{"word": "w"}, {"end": true}], "query_reply": [{"end": true}]})");
  ASSERT_TRUE(server.running());
  static CONNECTION_HANDLE h;
  h = ovCreateConnection();
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", server.port()), OV_SUCCESS);
  ovSetCallBack(h, [](void*, int, void*, long) { return ovCancelRequest(h); });
  EXPECT_EQ(ovRenderSpeech(h, "words"), OV_CANCELLED);
  EXPECT_EQ(ovQueryServer(h, "<q/>"), OV_CANCELLED);
  // A render clears the flag, reads the owed answers and works again.
  ovSetCallBack(h, nullptr);
  EXPECT_EQ(ovRenderSpeech(h, "words"), OV_SUCCESS);
  EXPECT_EQ(ovQueryServer(h, "<q/>"), OV_SUCCESS);
  ovDestroyConnection(h);
}

TEST(ApiTest, CallbackExceptionsStopTheRequestWithoutCrossingTheInterface) {
  SpeechServer server(R"({"text_reply": [{"word": "w"}, {"end": true}]})");
  ASSERT_TRUE(server.running());
  CONNECTION_HANDLE h = ovCreateConnection();
  ASSERT_EQ(ovOpenConnection(h, "127.0.0.1", server.port()), OV_SUCCESS);
  ovSetCallBack(h, [](void*, int, void*, long) -> int { throw 5; });
  EXPECT_NE(ovRenderSpeech(h, "words"), OV_SUCCESS);
  ovSetCallBack(h, nullptr);
  EXPECT_EQ(ovRenderSpeech(h, "words"), OV_SUCCESS);
  ovDestroyConnection(h);
}
