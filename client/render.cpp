#include "client/render.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "client/bridge.h"
#include "client/guard.h"
#include "client/registry.h"

namespace {

// One asynchronous render; the worker owns it and, through it, a share of
// its connection.
struct RenderJob {
  std::string text;
  std::shared_ptr<ThreadedConnection> connection;
  bool flush = true;
  bool xml = false;
  // The starter's signal, set only by the worker once it holds the
  // connection and its request has begun; broken (so the starter goes on
  // all the same) when the job goes before that.
  std::promise<void> holds_connection;
};

// Ends a request: busy is clear at every return of the render core.
int Finish(ThreadedConnection& connection, int code) {
  connection.SetBusy(false);
  return code;
}

// How a request whose text could not go out ends: one that began on a
// connection a cancel (or the exit) had already stopped and closed was
// cancelled; otherwise the send failed.
int SendFailedCode(const ThreadedConnection& connection) {
  return connection.GetQuitFlag() && !connection.IsConnected() ? OV_CANCELLED : OV_SEND_FAILED;
}

// How a request whose text stopped while a piece was answered ends: after
// a silence or a malformed frame the socket is gone, as after a failed send.
int StoppedCode(const ThreadedConnection& connection) {
  const Connection::WaitFailure why = connection.LastWaitFailure();
  if (why == Connection::WaitFailure::timed_out || why == Connection::WaitFailure::malformed) {
    return OV_SEND_FAILED;
  }
  return OV_CANCELLED;
}

// Once per request, before anything of it is sent. The quit flag is
// cleared here and nowhere later in the request, so a cancel made at any
// time after this stops the request.
void BeginRequest(ThreadedConnection& connection) {
  connection.SetBusy(true);
  // A connection that is going, or being cancelled, keeps its quit flag.
  connection.SetQuitFlag(connection.Stopping() || connection.Cancelling());
  connection.ClearWaitFailure();
  // A request that stopped earlier took the bridge down; this one needs it.
  connection.RestoreTokeniserCallBack();
}

void ThreadProcedure(void* argument) {
  std::unique_ptr<RenderJob> job(static_cast<RenderJob*>(argument));
  ThreadedConnection& connection = *job->connection;
  try {
    RequestScope scope(connection);
    // The request begins before the starter returns: a request the
    // starter's thread makes next waits for this one, and a cancel made
    // after the start returned is not undone by the render clearing the
    // quit flag.
    BeginRequest(connection);
    job->holds_connection.set_value();
    int code = OV_ERROR;
    try {
      code = _RenderSpeech(connection, job->text.c_str(), false, job->xml, job->flush, true);
    } catch (...) {
    }
    // The application learns how the render ended from the event's length,
    // and always gets exactly one thread-finished event.
    connection.FireEvent(PACKET_THREAD_FINISHED, code);
  } catch (...) {
  }
  connection.SetBusy(false);
  // Whatever happened, the starter must not wait for ever: a signal not
  // yet given breaks with the job. The job may also hold the last share of
  // the connection; its destructor then runs here and lets this thread go.
  job.reset();
}

}  // namespace

int _RenderSpeech(ThreadedConnection& connection, const char* text, bool wait_for_worker, bool xml, bool flush,
                  bool begun) {
  if (!text) return OV_ERROR;
  if (wait_for_worker && connection.ThreadRunning() && !connection.IsWorkerThread()) {
    // A worker that was started (and may not yet hold the connection)
    // renders first: it needs the lock, so let go of it meanwhile.
    connection.Lock().unlock();
    connection.WaitForWorker();
    connection.Lock().lock();
  }
  if (!begun) BeginRequest(connection);

  // Close an open stream of the other kind first.
  const int mode = connection.StreamMode();
  if ((mode == 1 && !xml) || (mode == 2 && xml)) {
    if (!connection.SendText("", mode == 1, true)) return Finish(connection, SendFailedCode(connection));
    if (connection.GetQuitFlag()) return Finish(connection, StoppedCode(connection));
  }

  if (!connection.SendText(text, xml, flush)) return Finish(connection, SendFailedCode(connection));
  // A push gives the code a render gives for the same failure.
  if (connection.GetQuitFlag()) return Finish(connection, StoppedCode(connection));
  if (connection.LastLength() != 0 || flush) {
    if (!connection.WaitForEndPacket()) return Finish(connection, OV_ERROR);
  }
  // A push whose pieces were refused or cancelled did not go through either.
  if (connection.GetQuitFlag()) return Finish(connection, OV_CANCELLED);
  return Finish(connection, OV_SUCCESS);
}

int RenderSpeech(CONNECTION_HANDLE handle, const char* text, bool flush) {
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return OV_BAD_HANDLE;
  if (!text) return OV_ERROR;
  if (connection->IsRequestThread()) return OV_BUSY;
  RequestScope scope(*connection);
  return _RenderSpeech(*connection, text, true, true, flush);
}

int _RenderSpeechAsync(CONNECTION_HANDLE handle, const char* text, bool xml) {
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return OV_BAD_HANDLE;
  if (!text) return OV_ERROR;
  // From inside its own request the worker could never take the lock.
  if (connection->IsRequestThread()) return OV_BUSY;

  std::lock_guard<std::mutex> starting(connection->StartLock());
  // A call that found the connection just before its destroy or cancel.
  if (connection->Retired()) return OV_ERROR;
  if (connection->ThreadRunning()) {
    if (connection->IsBusy()) return OV_BUSY;
    connection->WaitForWorker();
    connection->SetBusy(false);
  }

  auto job = std::make_unique<RenderJob>();
  {
    std::lock_guard<std::recursive_mutex> guard(connection->Lock());
    connection->SetQuitFlag(false);
    job->text = text;
    job->connection = connection;
    job->flush = true;
    job->xml = xml;
  }
  std::future<void> holds_connection = job->holds_connection.get_future();
  if (!connection->StartWorker(ThreadProcedure, job.get())) return OV_ERROR;
  job.release();
  holds_connection.wait();
  return OV_SUCCESS;
}

int QueryServer(CONNECTION_HANDLE handle, const char* xml, EVENT_CALLBACK capture, void* capture_data) {
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return OV_BAD_HANDLE;
  if (!xml) return OV_ERROR;
  if (connection->IsRequestThread()) return OV_BUSY;
  RequestScope scope(*connection);

  struct Capture {
    Connection& connection;
    Capture(Connection& c, EVENT_CALLBACK callback, void* data) : connection(c) {
      connection.SetEventCapture(callback, data);
    }
    ~Capture() { connection.ClearEventCapture(); }
  } in_place(*connection, capture, capture_data);

  if (!connection->SendQuery(xml)) return OV_SEND_FAILED;
  if (!connection->WaitForEndPacket()) return OV_ERROR;
  if (connection->GetQuitFlag()) return OV_CANCELLED;
  return OV_SUCCESS;
}

int OpenConnection(CONNECTION_HANDLE handle, const char* host, int port) {
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return OV_BAD_HANDLE;
  if (!host || port < 1 || port > 65535) return OV_CONNECT_FAILED;
  // Its own request is still reading from the socket.
  if (connection->IsRequestThread()) return OV_BUSY;
  std::lock_guard<std::recursive_mutex> guard(connection->Lock());
  if (!connection->Connect(host, port)) return OV_CONNECT_FAILED;
  InstallTokeniserBridge(*connection, handle);
  return OV_SUCCESS;
}

int CloseConnection(CONNECTION_HANDLE handle) {
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return OV_BAD_HANDLE;
  std::lock_guard<std::recursive_mutex> guard(connection->Lock());
  if (!connection->CloseStreamSocket()) return OV_SEND_FAILED;
  return connection->Close() ? OV_SUCCESS : OV_SEND_FAILED;
}

int CancelRequest(CONNECTION_HANDLE handle) {
  // Also when the handle is destroyed on another thread while the cancel
  // runs: nothing is left to close or connect again.
  auto bad_handle = [] {
    orvelle::PrintLine("WARNING: bad handle.\n");
    return static_cast<int>(OV_BAD_HANDLE);
  };
  std::shared_ptr<ThreadedConnection> connection = connections().Find(handle);
  if (!connection) return bad_handle();
  connection->SetQuitFlag(true);
  // On the thread that renders this connection (inside its callback) the
  // render cannot end before we return: it stops at its next pass.
  if (connection->IsRequestThread()) return OV_SUCCESS;
  // Marks the connection as being cancelled until the cancel leaves it.
  struct Cancelling {
    std::shared_ptr<ThreadedConnection> connection;
    explicit Cancelling(std::shared_ptr<ThreadedConnection> c) : connection(std::move(c)) {
      connection->BeginCancel();
    }
    ~Cancelling() { End(); }
    void End() {
      if (connection) connection->EndCancel();
      connection.reset();
    }
  } cancelling(connection);

  for (;;) {
    bool busy;
    {
      std::lock_guard<std::recursive_mutex> guard(connection->Lock());
      busy = connection->IsBusy();
    }
    if (!busy) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // An asynchronous render ends with its thread-finished event.
  if (!connection->IsWorkerThread()) connection->WaitForWorker();

  int code = CloseConnection(handle);
  if (code == OV_BAD_HANDLE) return bad_handle();
  if (code != OV_SUCCESS) {
    orvelle::PrintLine("WARNING: could not close the connection!\n");
    return code;
  }

  // The server and the settings are read under the lock that an open of
  // the old connection writes them under.
  std::string host;
  int port = 0;
  std::shared_ptr<ThreadedConnection> fresh;
  {
    std::lock_guard<std::recursive_mutex> guard(connection->Lock());
    host = connection->Host();
    port = connection->Port();
    fresh = std::make_shared<ThreadedConnection>(*connection);
    // Pushed text is not carried over, nor the stream it opened.
    fresh->SetStreamMode(0);
  }
  std::shared_ptr<ThreadedConnection> replaced = connections().Replace(handle, fresh);
  if (!replaced) return bad_handle();
  // A call that found the old connection while this cancel ran may have
  // started a worker on it: that one stops too, and is waited for. A cancel
  // on another thread may have put its own fresh connection in between, and
  // a worker may run on that one too: it goes the same way.
  connection->Stop();
  connection->Retire();
  if (replaced != connection) {
    replaced->Stop();
    replaced->Retire();
  }
  replaced.reset();
  // The old connection goes now (or with its worker's last share of it);
  // stopped for good, it needs the mark no more.
  cancelling.End();
  connection.reset();

  std::shared_ptr<ThreadedConnection> again = connections().Find(handle);
  if (!again) return bad_handle();
  std::lock_guard<std::recursive_mutex> guard(again->Lock());
  if (!again->Connect(host.c_str(), port)) return OV_CONNECT_FAILED;
  InstallTokeniserBridge(*again, handle);
  return OV_SUCCESS;
}
