// The client's receive path against a server that answers with any bytes.
// A loopback server on a thread of this process answers the first text
// frame of a render with the input after byte 0 (up to the END a reading of
// it reaches); byte 0 bits 0-6, when not 0, are the event at which the
// application's callback refuses, and bit 7 keeps the server connected but
// silent after a reply without END. The render reports an error or exactly
// the events that reading expects, and the next render either fails or gets
// exactly its own audio: nothing of the first reply leaks into it, and no
// two requests wait out the receive time-out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/connection.h"
#include "client/orvelle.h"
#include "client/registry.h"
#include "fuzz/fuzz.h"

using namespace orvelle_fuzz;

namespace {

const std::string kOwnAudio = "audio of the second render";

// An event as the application sees it: type, then the data or the fields
// of a phoneme record.
std::string Event(int type, const std::string& data) { return std::to_string(type) + ":" + data; }
std::string PhonemeEvent(const std::string& name, const std::string& next, const std::vector<uint32_t>& fields) {
  std::string e = name + "|" + next;
  for (uint32_t v : fields) e += "|" + std::to_string(v);
  return Event(PACKET_PHONEME, e);
}

// A phoneme payload read by the rules of its layout: lengths N1 and N2 of
// two NUL-ended names, then the sample rate and up to six optional fields.
bool ReadPhoneme(const std::string& d, std::string* event) {
  if (d.size() < 12) return false;
  const uint64_t n1 = Load32(d, 4), n2 = Load32(d, 8), e = 12 + n1 + n2;
  if (n1 == 0 || n2 == 0 || e + 4 > d.size() || d[12 + n1 - 1] != 0 || d[e - 1] != 0) return false;
  std::vector<uint32_t> fields = {Load32(d, 0), Load32(d, e)};
  for (uint64_t at = e + 4; at + 4 <= d.size() && fields.size() < 8; at += 4) fields.push_back(Load32(d, at));
  fields.resize(8);  // missing optional fields read as 0
  *event = PhonemeEvent(d.c_str() + 12, d.c_str() + 12 + n1, fields);
  return true;
}

// What a client should make of a reply: its events, and whether an END
// ends it (and after how many bytes) or it is broken.
struct Reading {
  std::vector<std::string> events;
  bool ended = false;
  size_t used = 0;
};

Reading Read(const std::string& r) {
  Reading reading;
  for (size_t at = 0;;) {
    if (r.size() - at < 10) return reading;
    const unsigned type = (static_cast<unsigned char>(r[at]) << 8) | static_cast<unsigned char>(r[at + 1]);
    const uint32_t length = Load32(r, at + 6);
    if (length > 64000 || r.size() - at < 14ULL + length || Load32(r, at + 10 + length) != length) return reading;
    const std::string data = r.substr(at + 10, length);
    at += 14 + length;
    std::string event;
    switch (type) {
      case PACKET_PHONEME:
        if (ReadPhoneme(data, &event)) reading.events.push_back(event);
        break;
      case PACKET_SPURT: case PACKET_WORD: case PACKET_BOOKMARK: case PACKET_AUDIO: case PACKET_XML:
        reading.events.push_back(Event(static_cast<int>(type), data));
        break;
      case PACKET_END:
        reading.ended = true;
        reading.used = at;
        return reading;
      case PACKET_CLOSE:
        return reading;
      default:
        break;
    }
  }
}

// ---- the server ----

int Listener(int* port) {
  static int fd = -1, bound_port = 0;
  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    Check(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd, 4) == 0 &&
              ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0,
          "the loopback server listens");
    bound_port = ntohs(a.sin_port);
  }
  *port = bound_port;
  return fd;
}

bool ReadExactly(int fd, std::string* out, size_t n) {
  out->resize(n);
  for (size_t got = 0; got < n;) {
    ssize_t r = ::recv(fd, out->data() + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void SendAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    ssize_t r = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) return;
    sent += static_cast<size_t>(r);
  }
}

// Answers the connection's first text frame with the reply (cut after its
// END) and every later one with an END, a text of the second render with
// its own audio first. A reply without END is all the server says: it ends
// its side (or, silent, just says nothing more) and reads until the client
// goes.
void Serve(int fd, const std::string& reply, const Reading& reading, bool silent) {
  int texts = 0;
  std::string head, data;
  while (ReadExactly(fd, &head, 10) && ReadExactly(fd, &data, Load32(head, 6) + 4ULL)) {
    const unsigned type = (static_cast<unsigned char>(head[0]) << 8) | static_cast<unsigned char>(head[1]);
    if (type == PACKET_CLOSE) break;
    if (type != PACKET_TEXT && type != PACKET_TEXT_STREAM && type != PACKET_XML) continue;
    if (texts++ == 0) {
      if (!reading.ended) {
        SendAll(fd, reply);
        if (!silent) ::shutdown(fd, SHUT_WR);
        while (ReadExactly(fd, &data, 1)) {
        }
        break;
      }
      SendAll(fd, reply.substr(0, reading.used));
      continue;
    }
    const bool second = data.find("second") != std::string::npos;
    SendAll(fd, (second ? WireFrame(PACKET_AUDIO, kOwnAudio) : "") + WireFrame(PACKET_END, ""));
  }
  ::close(fd);
}

// ---- the application ----

struct Events {
  std::vector<std::string> seen;
  size_t refuse_at = 0;  // 1-based; 0: never
  static int Callback(void* user, int type, void* data, long length) {
    auto* e = static_cast<Events*>(user);
    if (type == PACKET_PHONEME) {
      const auto* p = static_cast<const phoneme_data*>(data);
      Check(length == static_cast<long>(sizeof(phoneme_data)) && p->struct_size == sizeof(phoneme_data),
            "a phoneme event carries its record");
      e->seen.push_back(PhonemeEvent(p->phoneme, p->next_phoneme,
                                     {p->phone_length_in_bytes, p->sample_rate, p->sapi_viseme, p->disney_viseme,
                                      p->stress, p->sapi_phoneid, p->next_sapi_phoneid, p->next_sapi_viseme}));
    } else {
      Check(data != nullptr && static_cast<const char*>(data)[length] == '\0', "event data ends with a NUL");
      e->seen.push_back(Event(type, std::string(static_cast<const char*>(data), static_cast<size_t>(length))));
    }
    return e->seen.size() == e->refuse_at ? OV_ERROR : OV_SUCCESS;
  }
};

std::string Joined(const std::vector<std::string>& events) {
  std::string s;
  for (const std::string& e : events) s += e + "\n";
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input in{data, size};
  const std::string reply = in.Payload(1);
  const Reading reading = Read(reply);
  Events events;
  events.refuse_at = in.Byte(0) & 0x7F;
  const bool silent = in.Byte(0) & 0x80;
  // A silent server makes the client wait out its time-out once; anywhere
  // else a wait that long is a client waiting for what never comes.
  const int timeout_ms = silent && !reading.ended ? 100 : 5000;

  int port = 0;
  const int listener = Listener(&port);
  std::thread server([&] {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) Serve(fd, reply, reading, silent);
  });

  const CONNECTION_HANDLE h = ovCreateConnection();
  Check(ovOpenConnection(h, "127.0.0.1", port) == OV_SUCCESS, "the client connects");
  connections().Find(h)->SetReceiveTimeout(timeout_ms);
  ovSetCallBack(h, Events::Callback);
  ovSetUserData(h, &events);

  auto start = std::chrono::steady_clock::now();
  const int first = ovRenderSpeech(h, "first");
  const auto first_took = std::chrono::steady_clock::now() - start;
  std::vector<std::string> expected = reading.events;
  bool succeeds = reading.ended;
  if (events.refuse_at >= 1 && events.refuse_at <= expected.size()) {
    expected.resize(events.refuse_at);
    succeeds = false;
  }
  Check((first == OV_SUCCESS) == succeeds, "a render succeeds exactly when its reply ends well",
        "code " + std::to_string(first) + "\n" + Joined(events.seen));
  // A time-out may rightly come before a slow server's reply is all there.
  const bool may_be_cut = timeout_ms < 5000 && events.seen.size() < expected.size() &&
                          std::equal(events.seen.begin(), events.seen.end(), expected.begin());
  Check(events.seen == expected || may_be_cut, "a render gets the events of its reply",
        Joined(events.seen) + "--- expected\n" + Joined(expected));

  // A reply that ended leaves the stream in step (even when the callback
  // refused it); after one that did not, the server is gone.
  events.seen.clear();
  events.refuse_at = 0;
  start = std::chrono::steady_clock::now();
  const int second = ovRenderSpeech(h, "second");
  const auto second_took = std::chrono::steady_clock::now() - start;
  const auto limit = std::chrono::milliseconds(timeout_ms);
  Check(first_took < limit || second_took < limit, "no two requests wait out the time-out",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(first_took + second_took).count()) + " ms");
  Check((second == OV_SUCCESS) == reading.ended, "the next render works exactly when the reply ended",
        "code " + std::to_string(second));
  if (second == OV_SUCCESS) {
    Check(events.seen == std::vector<std::string>{Event(PACKET_AUDIO, kOwnAudio)}, "the next render gets its own audio",
          Joined(events.seen));
  }
  ovDestroyConnection(h);
  server.join();
  return 0;
}
