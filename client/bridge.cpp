#include "client/bridge.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "client/connection.h"
#include "client/guard.h"
#include "client/registry.h"
#include "foundation/strutil.h"

namespace {

constexpr std::string_view final_mark = "<mark name=\"qrln_final\"/>";
constexpr std::string_view voice_start = "<voice ";
constexpr std::string_view voice_end = "</voice";
constexpr char empty_voice[] = "";

// The channel hands NUL-terminated text; its length is only a bound.
std::string_view Bounded(const char* text, int length) {
  if (!text) return {};
  std::size_t bound = length >= 0 ? static_cast<std::size_t>(length) : std::strlen(text);
  return {text, strnlen(text, bound)};
}

// A failed wait (callback refusal, time-out, broken connection) stops the
// request: nothing more of this text goes out, and the render reports it.
void StopRequest(Connection& connection) {
  connection.ClearTokeniserCallBack();
  connection.SetQuitFlag(true);
}

// A failed send: the render reports it as such.
void SendFailed(Connection& connection) {
  connection.NotePieceSendFailed();
  connection.ClearTokeniserCallBack();
}

// Sends a voice switch on the connection that is rendering (its lock is
// held already) and waits for its END.
bool SwitchVoice(Connection& connection, const std::string& name) {
  if (!connection.SendQuery(VoiceSelectQuery(name).c_str())) return false;
  return connection.WaitForEndPacket();
}

}  // namespace

std::string VoiceSelectQuery(const std::string& name) { return "<voice name='" + name + "' select='1'/>"; }

bool ReadVoiceName(const char* tag, int length, std::string* name) {
  std::string_view text = Bounded(tag, length);
  std::size_t at = text.find(voice_start);
  if (at == std::string_view::npos) return false;
  const char* p = text.data() + at + voice_start.size();
  std::string_view rest = text.substr(at + voice_start.size());
  // The attributes end at the tag's '>' or, without one, at the tag's end.
  std::size_t close = rest.find('>');
  int n = static_cast<int>(close == std::string_view::npos ? rest.size() : close);
  for (;;) {
    int ws = QLTP_strlen_ws(p, n);
    int nl = QLTP_strlen_equals(p + ws, n - ws);
    if (ws + nl >= n) return false;
    int e = ws + nl;  // the '='
    if (e + 1 >= n || !QLTP_is_quote(p[e + 1])) return false;
    int vl = QLTP_strlen_quote(p + e + 2, n - (e + 2));
    if (e + 2 + vl >= n) return false;
    if (nl == 4 && std::memcmp(p + ws, "name", 4) == 0) {
      if (name) name->assign(p + e + 2, static_cast<std::size_t>(vl));
      return true;
    }
    int step = e + 3 + vl;
    p += step;
    n -= step;
  }
}

bool InstallTokeniserBridge(Connection& connection, CONNECTION_HANDLE handle) {
  auto context = std::make_unique<TokeniserContext>();
  context->handle = handle;
  context->default_voice = empty_voice;
  context->connection = &connection;
  connection.SetTokeniserCallBack(text_callback, application_callback, context.release());
  return true;
}

int _init_voice_switch(CONNECTION_HANDLE handle) {
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return OV_BAD_HANDLE;
  std::lock_guard<std::recursive_mutex> guard(connection->Lock());
  InstallTokeniserBridge(*connection, handle);
  return OV_SUCCESS;
}

void text_callback(void* user, const char* text, int length) {
  auto* context = static_cast<TokeniserContext*>(user);
  if (!context || !context->connection) return;
  Connection& connection = *context->connection;
  // Once the quit flag is seen nothing more of the request is sent.
  if (connection.GetQuitFlag()) {
    StopRequest(connection);
    return;
  }
  std::string_view piece = Bounded(text, length);
  // A plain substring test: the final mark anywhere makes the final frame.
  const bool final = piece.find(final_mark) != std::string_view::npos;
  const bool sent = connection.SendData(piece.data(), piece.size(), true, final);
  if (!final && piece.empty()) return;  // nothing went out
  if (!sent) {
    SendFailed(connection);
    return;
  }
  if (!connection.WaitForEndPacket() || connection.GetQuitFlag()) StopRequest(connection);
}

void application_callback(void* user, const char* tag, int length) {
  auto* context = static_cast<TokeniserContext*>(user);
  if (!context || !context->connection) return;
  Connection& connection = *context->connection;
  if (connection.GetQuitFlag()) {
    StopRequest(connection);
    return;
  }
  std::string_view text = Bounded(tag, length);
  const bool starts = text.find(voice_start) != std::string_view::npos;
  const bool ends = text.find(voice_end) != std::string_view::npos;

  if (starts || ends) {
    // The text so far is spoken in the voice it began with.
    if (!connection.SendData(empty_voice, 0, true, true)) {
      SendFailed(connection);
      return;
    }
    if (!connection.WaitForEndPacket() || connection.GetQuitFlag()) {
      StopRequest(connection);
      return;
    }
  }
  if (starts) {
    std::string name;
    if (ReadVoiceName(text.data(), static_cast<int>(text.size()), &name)) {
      // A refusal by the application's callback while the switch is
      // answered stops the request like any other.
      if (connection.SendQuery(VoiceSelectQuery(name).c_str()) &&
          (!connection.WaitForEndPacket() || connection.GetQuitFlag())) {
        StopRequest(connection);
      }
      return;
    }
  }
  const char* fallback = context->default_voice;
  if (fallback && *fallback && !SwitchVoice(connection, fallback)) {
    orvelle::PrintLine("WARNING: Tervane query failed, the voice has not been switched\n");
  }
}
