// The exported functions of the client (all but voice enumeration and the
// sample encoders). Each looks its handle up, forwards and turns the result
// into a return code; no exception leaves any of them.
#include <cstdio>
#include <memory>
#include <string>

#include "client/connection.h"
#include "client/bridge.h"
#include "client/guard.h"
#include "client/orvelle.h"
#include "client/registry.h"
#include "client/render.h"

namespace {

template <typename Store>
int WithConnection(CONNECTION_HANDLE handle, Store store) noexcept {
  return orvelle::Guarded(OV_ERROR, [&] {
    std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
    if (!connection) return static_cast<int>(OV_BAD_HANDLE);
    store(*connection);
    return static_cast<int>(OV_SUCCESS);
  });
}

}  // namespace

extern "C" {

CONNECTION_HANDLE ovCreateConnection(void) {
  return orvelle::Guarded(-1, [] {
    TearDownConnectionsBeforeExit();
    return connections().Register(std::make_shared<ThreadedConnection>());
  });
}

int ovOpenConnection(CONNECTION_HANDLE handle, const char* host, int port) {
  return orvelle::Guarded(OV_CONNECT_FAILED, [&] { return OpenConnection(handle, host, port); });
}

int ovCloseConnection(CONNECTION_HANDLE handle) {
  return orvelle::Guarded(OV_SEND_FAILED, [&] { return CloseConnection(handle); });
}

int ovDestroyConnection(CONNECTION_HANDLE handle) {
  int code = ovCloseConnection(handle);
  if (code == OV_BAD_HANDLE) return OV_SUCCESS;
  if (code != OV_SUCCESS && code != OV_SEND_FAILED) {
    orvelle::PrintLine("ERROR: unhandled return code in connection destroy \n");
    return OV_ERROR;
  }
  return orvelle::Guarded(OV_ERROR, [&] {
    // Its destructor waits for a running worker; it runs outside the
    // registry lock, or later on a thread that still uses the connection.
    std::shared_ptr<ThreadedConnection> connection = connections().Unregister(handle);
    // A worker keeps its connection alive; its render still ends (its
    // thread-finished event included) before the destroy returns, unless
    // the destroy comes from its own callback.
    if (connection) connection->Retire();
    connection.reset();
    return static_cast<int>(OV_SUCCESS);
  });
}

int ovSetCallBack(CONNECTION_HANDLE handle, EVENT_CALLBACK callback) {
  return WithConnection(handle, [&](ThreadedConnection& c) { c.SetCallBack(callback); });
}

int ovSetPascalCallBack(CONNECTION_HANDLE handle, PASCAL_EVENT_CALLBACK callback) {
  return WithConnection(handle, [&](ThreadedConnection& c) { c.SetPascalCallBack(callback); });
}

int ovSetUserData(CONNECTION_HANDLE handle, void* user_data) {
  return WithConnection(handle, [&](ThreadedConnection& c) { c.SetUserData(user_data); });
}

int ovRenderSpeech(CONNECTION_HANDLE handle, const char* text) {
  return orvelle::Guarded(OV_ERROR, [&] { return RenderSpeech(handle, text, true); });
}

int ovRenderSpeechXML(CONNECTION_HANDLE handle, const char* text) {
  return orvelle::Guarded(OV_ERROR, [&] { return RenderSpeech(handle, text, true); });
}

int ovPushSpeechStream(CONNECTION_HANDLE handle, const char* text) {
  return orvelle::Guarded(OV_ERROR, [&] { return RenderSpeech(handle, text, false); });
}

int ovPushSpeechStreamXML(CONNECTION_HANDLE handle, const char* text) {
  return orvelle::Guarded(OV_ERROR, [&] { return RenderSpeech(handle, text, false); });
}

int ovFlushSpeechStream(CONNECTION_HANDLE handle) {
  return orvelle::Guarded(OV_ERROR, [&] { return RenderSpeech(handle, "", true); });
}

int ovFlushSpeechStreamXML(CONNECTION_HANDLE handle) {
  return orvelle::Guarded(OV_ERROR, [&] { return RenderSpeech(handle, "", true); });
}

int ovRenderSpeechAsync(CONNECTION_HANDLE handle, const char* text) {
  return orvelle::Guarded(OV_ERROR, [&] { return _RenderSpeechAsync(handle, text, false); });
}

int ovRenderSpeechXMLAsync(CONNECTION_HANDLE handle, const char* text) {
  return orvelle::Guarded(OV_ERROR, [&] { return _RenderSpeechAsync(handle, text, true); });
}

int ovCancelRequest(CONNECTION_HANDLE handle) {
  return orvelle::Guarded(OV_ERROR, [&] { return CancelRequest(handle); });
}

int ovQueryServer(CONNECTION_HANDLE handle, const char* xml) {
  return orvelle::Guarded(OV_ERROR, [&] { return QueryServer(handle, xml); });
}

int ovSetVoiceFast(CONNECTION_HANDLE handle, const char* voice) {
  int code = orvelle::Guarded(OV_ERROR, [&] {
    if (!voice) return static_cast<int>(OV_ERROR);
    return QueryServer(handle, VoiceSelectQuery(voice).c_str());
  });
  if (code != OV_SUCCESS) orvelle::PrintLine("WARNING: Tervane query failed, the voice has not been switched\n");
  return code;
}

}  // extern "C"
