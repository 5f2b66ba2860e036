// The tokeniser bridge: how tokeniser output and voice tags become frames,
// and how a refused piece stops a request without breaking the next one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "client/bridge.h"
#include "client/orvelle.h"
#include "client/speech_server.h"

using orvelle_test::ServerFrame;
using orvelle_test::SpeechServer;

namespace {

struct Frame {
  unsigned type;
  std::string text;  // the data without its NUL
  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Frame& f) { return os << f.type << " [" << f.text << "]"; }

std::vector<Frame> Frames(const SpeechServer& server) {
  std::vector<Frame> out;
  for (const ServerFrame& f : server.frames()) {
    std::string d = f.data;
    EXPECT_TRUE(!d.empty() && d.back() == '\0') << "text frames carry their NUL";
    if (!d.empty()) d.pop_back();
    out.push_back({f.type, d});
  }
  return out;
}

bool HasMark(const std::string& text) { return text.find("<mark name=\"qltk_") != std::string::npos; }

int refusals_left = 0;
int RefuseOnce(void*, int, void*, long) { return refusals_left-- > 0 ? 1 : 0; }

struct Opened {
  SpeechServer server;
  CONNECTION_HANDLE handle;
  explicit Opened(const std::string& script = R"({"text_reply": [{"end": true}]})") : server(script) {
    handle = ovCreateConnection();
    EXPECT_TRUE(server.running()) << server.error();
    EXPECT_EQ(ovOpenConnection(handle, "127.0.0.1", server.port()), OV_SUCCESS);
  }
  ~Opened() { ovDestroyConnection(handle); }
};

}  // namespace

TEST(BridgeTest, VoiceTagEndsTextSwitchesVoiceAndResumes) {
  Opened c;
  ASSERT_EQ(ovRenderSpeech(c.handle, "<p>x<voice name='b'>y</voice>z</p>"), OV_SUCCESS);
  auto f = Frames(c.server);
  ASSERT_EQ(f.size(), 7u);
  // Stream text up to the tag, then an empty final text ends it.
  EXPECT_EQ(f[0].type, static_cast<unsigned>(PACKET_TEXT_STREAM));
  EXPECT_TRUE(HasMark(f[0].text));
  EXPECT_NE(f[0].text.find(">x</p>"), std::string::npos);
  EXPECT_EQ(f[1], (Frame{PACKET_TEXT, ""}));
  EXPECT_EQ(f[2], (Frame{PACKET_XML, "<voice name='b' select='1'/>"}));
  // The text inside the voice element, ended by its own empty final text.
  EXPECT_EQ(f[3].type, static_cast<unsigned>(PACKET_TEXT_STREAM));
  EXPECT_NE(f[3].text.find("<voice name='b'>"), std::string::npos);
  EXPECT_NE(f[3].text.find(">y</voice>"), std::string::npos);
  EXPECT_EQ(f[4], (Frame{PACKET_TEXT, ""}));
  // The rest carries the final mark, then the render's closing frame.
  EXPECT_EQ(f[5].type, static_cast<unsigned>(PACKET_TEXT));
  EXPECT_NE(f[5].text.find(">z</p>"), std::string::npos);
  EXPECT_NE(f[5].text.find("<mark name=\"qrln_final\"/>"), std::string::npos);
  EXPECT_EQ(f[6], (Frame{PACKET_TEXT, ""}));
}

TEST(BridgeTest, VoiceTagsWithoutUsableNameSendNoQuery) {
  // Blanks around '=', and a voice tag without attributes.
  for (const char* text : {"<p>a<voice name = 'b'>c</voice>d</p>", "<p>a<voice>c</voice>d</p>"}) {
    Opened c;
    ASSERT_EQ(ovRenderSpeech(c.handle, text), OV_SUCCESS) << text;
    for (const Frame& f : Frames(c.server)) EXPECT_NE(f.type, static_cast<unsigned>(PACKET_XML)) << text;
  }
}

TEST(BridgeTest, ReadsVoiceNameFromTagAttributes) {
  struct Case {
    const char* tag;
    bool found;
    const char* name;
  } cases[] = {
      {"<voice name=\"x\">", true, "x"},
      {"<voice name='Torvald'>", true, "Torvald"},
      {"<voice gender='f' name='b'>", true, "b"},
      {"<voice  \n name='b' age='3'>", true, "b"},
      {"<voice name=\"it's\">", true, "it"},  // cut at the apostrophe
      {"<voice name = 'b'>", false, ""},
      {"<voice name= 'b'>", false, ""},
      {"<voice Name='b'>", false, ""},
      {"<voice names='b'>", false, ""},
      {"<voice>", false, ""},
      {"<voice name='b>", false, ""},  // the value runs into the '>'
      {"<voice name='unterminated", false, ""},
      {"<voice name=", false, ""},
      {"<voice ", false, ""},
      {"</voice>", false, ""},
      {"<p><voice name='inner'>", true, "inner"},
  };
  for (const Case& c : cases) {
    std::string name = "unchanged";
    EXPECT_EQ(ReadVoiceName(c.tag, static_cast<int>(std::strlen(c.tag)), &name), c.found) << c.tag;
    if (c.found) {
      EXPECT_EQ(name, c.name) << c.tag;
    }
  }
  EXPECT_EQ(VoiceSelectQuery("b"), "<voice name='b' select='1'/>");
}

TEST(BridgeTest, VoiceNameScanStaysWithinTheTagLength) {
  // A tag without '>' and without NUL: the scan must stop at its length.
  const std::string text = "<voice name='abc' x='y";
  std::vector<char> exact(text.begin(), text.end());
  std::string name;
  EXPECT_TRUE(ReadVoiceName(exact.data(), static_cast<int>(exact.size()), &name));
  EXPECT_EQ(name, "abc");
  // Only the first 14 bytes belong to the tag: the value has no end there.
  EXPECT_FALSE(ReadVoiceName(exact.data(), 14, &name));

  // Random tags in buffers of their exact size (the sanitizer build catches
  // any read past them); a name found lies inside the tag.
  std::mt19937 random(7);
  const char alphabet[] = "<voice name='\"=> \tabx/";
  for (int round = 0; round < 20000; ++round) {
    std::size_t length = random() % 40;
    std::vector<char> tag(length);
    for (char& ch : tag) ch = alphabet[random() % (sizeof alphabet - 1)];
    if (length >= 7 && random() % 2) std::memcpy(tag.data(), "<voice ", 7);
    std::string found;
    if (ReadVoiceName(tag.data(), static_cast<int>(length), &found)) {
      ASSERT_LE(found.size(), length);
      EXPECT_NE(std::string(tag.begin(), tag.end()).find(found), std::string::npos);
    }
  }
}

TEST(BridgeTest, RefusedPieceCancelsRenderAndNextRenderSendsItsText) {
  Opened c(R"({"text_reply": [{"word": "w"}, {"end": true}]})");
  ovSetCallBack(c.handle, RefuseOnce);
  refusals_left = 1;
  EXPECT_EQ(ovRenderSpeech(c.handle, "<p>a<voice name='b'>first</voice>z</p>"), OV_CANCELLED);
  auto before = Frames(c.server).size();
  for (const Frame& f : Frames(c.server)) EXPECT_EQ(f.text.find("first"), std::string::npos);

  // The next render puts the bridge back: its text reaches the server.
  EXPECT_EQ(ovRenderSpeech(c.handle, "second words"), OV_SUCCESS);
  auto after = Frames(c.server);
  bool seen = false;
  for (std::size_t i = before; i < after.size(); ++i) seen |= after[i].text.find("second") != std::string::npos;
  EXPECT_TRUE(seen);
  EXPECT_EQ(after.back(), (Frame{PACKET_TEXT, ""}));
}

// How the callback stops a request at the first audio of its answers.
enum class Stop { refuse, cancel };
struct Stopper {
  CONNECTION_HANDLE handle = 0;
  Stop how = Stop::refuse;
  int stops_left = 0;
  std::vector<std::uint32_t> audio;  // the request number each audio names
};

int StopAtFirstAudio(void* user, int type, void* data, long length) {
  auto* s = static_cast<Stopper*>(user);
  if (type != PACKET_AUDIO) return OV_SUCCESS;
  std::uint32_t number = 0;
  for (long i = 0; i < 4 && i < length; ++i) number = number << 8 | static_cast<const unsigned char*>(data)[i];
  s->audio.push_back(number);
  if (s->stops_left <= 0) return OV_SUCCESS;
  --s->stops_left;
  if (s->how == Stop::refuse) return 1;
  EXPECT_EQ(ovCancelRequest(s->handle), OV_SUCCESS);
  return OV_SUCCESS;
}

// A push or a render stopped by its callback at the first audio: the server's open text is ended with the empty final text frame
// before anything else goes on the socket, nothing more of the stopped text
// goes out, the answers to the stopped request never reach the next one,
// and the next request sends exactly its own text with marks from 0.
TEST(BridgeTest, StoppedRequestIsEndedBeforeTheNextOne) {
  std::string stopped_text;
  while (stopped_text.size() < 20000) stopped_text += "req1 stopped ";
  stopped_text.resize(20000);
  struct Row {
    const char* name;
    bool push;
    Stop how;
    const char* text;
  } rows[] = {{"push refused", true, Stop::refuse, stopped_text.c_str()},
              {"render refused", false, Stop::refuse, stopped_text.c_str()},
              {"push cancelled in the callback", true, Stop::cancel, stopped_text.c_str()},
              {"render cancelled in the callback", false, Stop::cancel, stopped_text.c_str()},
              // Stopped while its final text frame is answered.
              {"short render refused", false, Stop::refuse, "req1 stopped"}};
  const char* script = R"({"text_reply": [{"audio": {"number": 8}}, {"audio": {"number": 8}}, {"end": true}]})";
  std::vector<Frame> fresh;
  {
    Opened c(script);
    ASSERT_EQ(ovRenderSpeech(c.handle, "req2 next"), OV_SUCCESS);
    fresh = Frames(c.server);
    ASSERT_FALSE(fresh.empty());
    EXPECT_NE(fresh.front().text.find("<mark name=\"qltk_0_0_4_4\"/>req2"), std::string::npos) << fresh.front();
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Opened c(script);
    Stopper stopper{c.handle, row.how, 1, {}};
    ovSetCallBack(c.handle, StopAtFirstAudio);
    ovSetUserData(c.handle, &stopper);
    EXPECT_EQ(row.push ? ovPushSpeechStream(c.handle, row.text) : ovRenderSpeech(c.handle, row.text), OV_CANCELLED);
    stopper.audio.clear();
    EXPECT_EQ(ovRenderSpeech(c.handle, "req2 next"), OV_SUCCESS);
    // Its own answers only: its text frame's (2) and its closing frame's (0).
    EXPECT_EQ(stopper.audio, (std::vector<std::uint32_t>{2, 2, 0, 0}));

    auto frames = Frames(c.server);
    std::size_t last_stopped = 0, stopped_frames = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (frames[i].text.find("stopped") == std::string::npos) continue;
      last_stopped = i;
      ++stopped_frames;
    }
    // Only the piece being answered when the stop came went out.
    EXPECT_EQ(stopped_frames, 1u);
    ASSERT_GE(frames.size(), last_stopped + 3) << testing::PrintToString(frames);
    EXPECT_EQ(frames[last_stopped + 1], (Frame{PACKET_TEXT, ""}));
    // The next request's frames are those it sends on a fresh connection.
    const std::vector<Frame> next(frames.begin() + static_cast<std::ptrdiff_t>(last_stopped) + 2, frames.end());
    EXPECT_EQ(next, fresh) << testing::PrintToString(next);
  }
}

TEST(BridgeTest, RefusalWhileVoiceSwitchIsAnsweredStopsTheRequest) {
  Opened c(R"({"text_reply": [{"end": true}], "query_reply": [{"xml": "<switched/>"}, {"end": true}]})");
  ovSetCallBack(c.handle, RefuseOnce);
  refusals_left = 1;
  EXPECT_EQ(ovRenderSpeech(c.handle, "<p>a<voice name='b'>in voice</voice>after</p>"), OV_CANCELLED);
  for (const Frame& f : Frames(c.server)) EXPECT_EQ(f.text.find("after"), std::string::npos);
  EXPECT_EQ(ovRenderSpeech(c.handle, "<p>again</p>"), OV_SUCCESS);
}

TEST(BridgeTest, InitVoiceSwitchNeedsRegisteredHandle) {
  EXPECT_EQ(_init_voice_switch(7), OV_BAD_HANDLE);
  Opened c;
  EXPECT_EQ(_init_voice_switch(c.handle), OV_SUCCESS);
  EXPECT_EQ(ovRenderSpeech(c.handle, "still fine"), OV_SUCCESS);
}
