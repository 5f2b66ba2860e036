// One client connection to a speech server.
//
// Connection owns the socket, the tokeniser channel that all text passes
// through, the application's callbacks and the state of the current request.
// It sends text pieces, queries and the close packet as frames and reads the
// server's answer in WaitForEndPacket. ThreadedConnection adds the lock and
// the bookkeeping of one worker thread; it is the only class instantiated.
//
// The server answers every text frame and every query with exactly one END,
// in order. The connection counts the ENDs still owed: a wait reads until all
// of them have arrived, and the replies of a request whose wait was given up
// (callback abort, quit flag, time-out) are read and dropped before the next
// request's events, so a request never receives another one's audio.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/inline_tokeniser.h"
#include "client/orvelle.h"

class Socket;
struct channel;
struct TokeniserContext;

// Text callback and application callback of the tokeniser channel
using TokeniserTextCallback = void (*)(void* context, const char* text, int length);
using TokeniserApplicationCallback = void (*)(void* context, const char* tag, int length);

// Sizes and times of the send path and the wait loop
inline constexpr std::uint32_t text_piece_length = 63999;
inline constexpr int connection_wait_sleep_time = 10;
inline constexpr int default_receive_timeout = 60000;

class Connection {
 public:
  // Life cycle: the constructor creates the tokeniser channel ("CLIENT", type
  // tokeniser only, markup input); the destructor closes the socket and
  // frees the channel and the tokeniser context.
  Connection();
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The server: Connect replaces an open socket only once the new one is
  // connected (and frees the old tokeniser context); false leaves everything
  // as it was. Close closes and deletes the socket; false without one.
  bool Connect(const char* host, int port);
  bool Close();
  bool IsConnected() const { return socket_ != nullptr; }
  const std::string& Host() const { return host_; }
  int Port() const { return port_; }

  // Flags and settings, read and written from any thread
  void SetQuitFlag(bool quit) { quit_.store(quit); }
  bool GetQuitFlag() const { return quit_.load(); }
  void SetReceiveTimeout(int milliseconds) { receive_timeout_.store(milliseconds); }
  int GetReceiveTimeout() const { return receive_timeout_.load(); }

  // The application's callbacks and user data, stored without the lock
  void SetCallBack(EVENT_CALLBACK callback) { callback_.store(callback); }
  EVENT_CALLBACK GetCallBack() const { return callback_.load(); }
  void SetPascalCallBack(PASCAL_EVENT_CALLBACK callback) { pascal_callback_.store(callback); }
  PASCAL_EVENT_CALLBACK GetPascalCallBack() const { return pascal_callback_.load(); }
  void SetUserData(void* user_data) { user_data_.store(user_data); }
  void* GetUserData() const { return user_data_.load(); }

  // A receiver that takes every event in place of the application's
  // callback while it is set (internal queries such as the voice list); set
  // and cleared by the lock holder, so the application's callback and user
  // data are never touched.
  void SetEventCapture(EVENT_CALLBACK capture, void* capture_data);
  void ClearEventCapture() { SetEventCapture(nullptr, nullptr); }

  // Tokeniser bridge: install (the connection owns the context), clear after
  // a failed wait, and put back the cleared callbacks of the context it holds
  void SetTokeniserCallBack(TokeniserTextCallback text_callback,
                            TokeniserApplicationCallback application_callback, TokeniserContext* context);
  void ClearTokeniserCallBack();
  bool RestoreTokeniserCallBack();

  // Sending. SendText runs the text through the channel (whose callbacks send
  // and await every piece) and then sends tokenised_out; once the request
  // stops it sends nothing more of the text but the empty final text frame
  // that ends what went out. SendData sends one text, split into awaited
  // pieces of 63,999 bytes when it is longer.
  bool SendText(const char* text, bool xml, bool flush);
  bool SendData(const char* text, std::size_t length, bool xml, bool flush);
  bool SendData(const char* text, bool xml, bool flush);
  bool SendQuery(const char* text);
  bool CloseStreamSocket();
  void NotePieceSendFailed() { piece_send_failed_ = true; }

  // Receiving: true once every END owed has arrived (or the quit flag is
  // set); false when the server closed, the connection broke, a frame was
  // malformed (the socket is then closed), the silence lasted longer than
  // the receive time-out or the callback did not return OV_SUCCESS.
  bool WaitForEndPacket();
  // Why the last wait that returned false ended.
  enum class WaitFailure { none, refused, server_closed, connection_lost, timed_out, malformed };
  WaitFailure LastWaitFailure() const { return last_failure_; }
  void ClearWaitFailure() { last_failure_ = WaitFailure::none; }
  // A data-less event; the thread-finished event carries the render's
  // return code as its length (0 on success).
  void FireEvent(PACKET_TYPE type, long length = 0);
  int RepliesOwed() const { return replies_owed_; }

  // Request state read by the render core
  std::uint32_t LastLength() const { return last_length_; }
  int StreamMode() const { return stream_mode_; }
  void SetStreamMode(int mode) { stream_mode_ = mode; }

  // The inline tokeniser: its output is what SendText sends after the
  // channel's pieces (empty unless it ran; nothing in the shipped flow runs
  // it). TokeniseTextTP empties that output and runs the text through the
  // channel instead; totoken is how much of n bytes lies beyond the last
  // 4,096.
  InlineTokeniser& Inline() { return inline_; }
  void TokeniseText(const char* text, bool xml, bool flush);
  const char* TokeniseTextTP(const char* text, bool xml, bool flush);
  static int totoken(const char* text, int n);

 protected:
  // Copies what survives a cancel: callbacks, user data, stream mode, host,
  // port and the prosody values.
  void CopySettingsFrom(const Connection& other);

 private:
  bool SendFrame(PACKET_TYPE type, const char* data, std::uint32_t length);
  void EndStoppedText(bool xml, bool flush);
  int Deliver(PACKET_TYPE type, void* data, long length);
  void AbandonOwedReplies() { replies_dropped_ = replies_owed_; }
  void DropSocket();
  void DrainBeforeClose();
  void SettleAfterServerClose();
  bool Failed(WaitFailure why);
  bool HandleFrame(unsigned type, unsigned char* data, std::uint32_t length);

  Socket* socket_ = nullptr;
  std::atomic<EVENT_CALLBACK> callback_{nullptr};
  std::atomic<PASCAL_EVENT_CALLBACK> pascal_callback_{nullptr};
  std::atomic<void*> user_data_{nullptr};
  EVENT_CALLBACK capture_ = nullptr;
  void* capture_data_ = nullptr;
  std::uint32_t last_length_ = 0;
  std::atomic<int> receive_timeout_{default_receive_timeout};
  int stream_mode_ = 0;
  std::atomic<bool> quit_{false};
  int port_ = 0;
  std::string host_;
  channel* channel_ = nullptr;
  InlineTokeniser inline_;
  std::unique_ptr<TokeniserContext> tokeniser_context_;
  TokeniserTextCallback bridge_text_ = nullptr;
  TokeniserApplicationCallback bridge_application_ = nullptr;
  bool bridge_installed_ = false;
  bool stopped_ = false;  // the bridge was taken down by a stopped request
  bool piece_send_failed_ = false;
  // ENDs the server still owes, and how many of the oldest of them belong
  // to requests whose events are dropped
  int replies_owed_ = 0;
  int replies_dropped_ = 0;
  // The receive buffer of the last socket dropped: a callback may still be
  // reading an event there.
  std::unique_ptr<unsigned char[]> dropped_buffer_;
  bool end_reached_ = false;
  WaitFailure last_failure_ = WaitFailure::none;
};

// A connection with its lock and one worker thread. The render core, the
// asynchronous render and cancellation live in client/render.cpp.
class ThreadedConnection : public Connection {
 public:
  // Life cycle: a fresh connection, or (for cancellation) a fresh one that
  // takes over the other's callbacks, user data, stream mode, server and
  // prosody values. The destructor sets the quit flag and waits for the
  // worker.
  ThreadedConnection();
  explicit ThreadedConnection(const ThreadedConnection& other);
  ~ThreadedConnection() override;

  // The connection lock: held for every send and wait. The start lock
  // makes asynchronous starts on one connection take turns.
  std::recursive_mutex& Lock() { return lock_; }
  std::mutex& StartLock() { return start_lock_; }
  bool Retired() const { return retired_.load(); }

  // Render state
  bool IsBusy() const { return busy_.load(); }
  void SetBusy(bool busy) { busy_.store(busy); }

  // Whether the calling thread is inside a request of this connection (its
  // callback runs there); such a thread must not start another request on
  // the same socket.
  bool IsRequestThread() const;

  // The worker thread: started with a procedure; waited for (never by
  // itself); ThreadRunning stays true until someone waited.
  bool StartWorker(void (*procedure)(void*), void* argument);
  void WaitForWorker();
  bool ThreadRunning() const { return thread_running_.load(); }
  bool IsWorkerThread() const { return worker_id_.load() == std::this_thread::get_id(); }

  // Set for good when the connection goes (its destructor, the library's
  // teardown): the quit flag is set, and no request clears it any more.
  void Stop();
  bool Stopping() const { return stopping_.load(); }
  // While an ovCancelRequest from another thread runs on it: a request
  // that begins then (a worker whose start overlapped the cancel, say) is
  // stopped as well, since the connection is about to be closed.
  void BeginCancel() { ++cancels_running_; }
  void EndCancel() { --cancels_running_; }
  bool Cancelling() const { return cancels_running_.load() > 0; }
  // Once its handle no longer names it (destroyed, replaced by a cancel, or
  // let go at exit): no worker starts on it any more, and the running one is
  // waited for, except from inside one of its own requests.
  void Retire();
  // As Retire, at exit, with a limit: a worker that has not ended by the
  // monotonic millisecond deadline is left running, with its share of the
  // connection, instead of waited for.
  void RetireBefore(std::int64_t deadline_ms);

 private:
  std::atomic<bool> busy_{false};
  std::recursive_mutex lock_;
  std::atomic<bool> thread_running_{false};
  std::atomic<std::thread::id> worker_id_{};
  std::atomic<bool> stopping_{false};
  std::atomic<int> cancels_running_{0};
  std::atomic<bool> retired_{false};
  std::mutex start_lock_;
  // Guards the thread object; the worker itself never takes it while it
  // runs, so waiting for the worker under it cannot hold the worker up.
  mutable std::mutex worker_lock_;
  std::thread worker_;
  // Set by the worker thread as its last act; the thread owns a share, so
  // it outlives the connection that the worker may let go.
  std::shared_ptr<std::atomic<bool>> worker_ended_;
};

// Holds the connection lock and marks the calling thread as inside a
// request of the connection for the lifetime of one request. The mark is
// the thread's own, so it stays right while the lock is let go and taken
// again in the middle of the request.
class RequestScope {
 public:
  explicit RequestScope(ThreadedConnection& connection);
  ~RequestScope();
  RequestScope(const RequestScope&) = delete;
  RequestScope& operator=(const RequestScope&) = delete;

 private:
  ThreadedConnection& connection_;
  std::lock_guard<std::recursive_mutex> lock_;
};
