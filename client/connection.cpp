#include "client/connection.h"

#include <cstring>
#include <new>
#include <string_view>

#include "client/bridge.h"
#include "client/clientlog.h"
#include "client/packet.h"
#include "client/platform.h"
#include "client/socket.h"
#include "textproc/channel.h"

namespace {

constexpr int tokeniser_channel_type = 3;

// The connections whose requests the calling thread is inside, innermost
// last.
thread_local std::vector<const ThreadedConnection*> requests_of_this_thread;
constexpr char final_text_empty[] = "";

// Waits at most milliseconds for the socket to have bytes (or to fail), so
// that a frame that is already there is read at once.
int WaitReadable(const Socket* socket, int milliseconds) {
  if (!socket) return -1;
  platform::socket_handle handle = socket->Handle();
  short ready = 0;
  return platform::wait_ready(&handle, 1, platform::ready_read, &ready, milliseconds < 0 ? 0 : milliseconds);
}

}  // namespace

// ---- life cycle ----

Connection::Connection() {
  channel_ = QLTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", tokeniser_channel_type);
  if (!channel_) throw std::bad_alloc();
}

Connection::~Connection() {
  delete socket_;
  socket_ = nullptr;
  QLTP_tpc_delete(channel_);
  channel_ = nullptr;
}

void Connection::CopySettingsFrom(const Connection& other) {
  callback_.store(other.callback_.load());
  pascal_callback_.store(other.pascal_callback_.load());
  user_data_.store(other.user_data_.load());
  stream_mode_ = other.stream_mode_;
  host_ = other.host_;
  port_ = other.port_;
  inline_.CopyProsodyFrom(other.inline_);
}

// ---- the server ----

bool Connection::Connect(const char* host, int port) {
  if (!host) return false;
  host_ = host;
  port_ = port;
  if (port < 1 || port > 65535) return false;
  Socket* fresh = nullptr;
  try {
    fresh = new SocketClient(host_, port);
  } catch (...) {
    return false;
  }
  if (socket_) {
    // The old server hears that we leave before its socket goes.
    CloseStreamSocket();
    DrainBeforeClose();
  }
  DropSocket();
  socket_ = fresh;
  return true;
}

bool Connection::Close() {
  if (!socket_) return false;
  DrainBeforeClose();
  DropSocket();
  return true;
}

void Connection::DrainBeforeClose() {
  // Closing a socket with unread bytes resets the connection, and the
  // server may then lose the CLOSE frame just sent. While answers are owed
  // (or bytes wait), read and drop them until the server closes its end,
  // falls silent or the time is up. The receive buffer is left alone: the
  // close may come from a callback that still reads an event there.
  constexpr int silence_ms = 20;
  constexpr long long limit_ms = 500;
  const long long start = GetCurrentTicks();
  bool expect_more = replies_owed_ > 0;
  for (;;) {
    unsigned long received = 0;
    if (!socket_->Discard(&received)) return;  // closed
    if (received > 0) {
      expect_more = true;
      if (GetTickDifference(start, GetCurrentTicks()) > limit_ms) return;
      continue;
    }
    if (!expect_more || GetTickDifference(start, GetCurrentTicks()) > limit_ms) return;
    if (WaitReadable(socket_, silence_ms) <= 0) return;
  }
}

void Connection::DropSocket() {
  // The buffer's memory stays: a callback may still be reading an event.
  if (socket_) dropped_buffer_ = socket_->TakeBuffer();
  delete socket_;
  socket_ = nullptr;
  end_reached_ = false;
  replies_owed_ = replies_dropped_ = 0;
  stream_mode_ = 0;
}

void Connection::SetEventCapture(EVENT_CALLBACK capture, void* capture_data) {
  capture_ = capture;
  capture_data_ = capture ? capture_data : nullptr;
}

// ---- tokeniser bridge ----

void Connection::SetTokeniserCallBack(TokeniserTextCallback text_callback,
                                      TokeniserApplicationCallback application_callback,
                                      TokeniserContext* context) {
  if (tokeniser_context_.get() != context) tokeniser_context_.reset(context);
  // A request that stopped left its held-back text in the channel; none of
  // it may reach the next request, whose marks start again at offset 0.
  if (stopped_) QLTP_tpc_reset(channel_, 1, "CLIENT");
  stopped_ = false;
  bridge_text_ = text_callback;
  bridge_application_ = application_callback;
  QLTP_tpc_set_text_callback(channel_, text_callback, context);
  QLTP_tpc_set_application_callback(channel_, application_callback, context);
  bridge_installed_ = text_callback != nullptr;
}

void Connection::ClearTokeniserCallBack() {
  QLTP_tpc_set_text_callback(channel_, nullptr, nullptr);
  QLTP_tpc_set_application_callback(channel_, nullptr, nullptr);
  bridge_installed_ = false;
  stopped_ = true;
}

bool Connection::RestoreTokeniserCallBack() {
  if (bridge_installed_) return true;
  if (!tokeniser_context_ || !bridge_text_) return false;
  SetTokeniserCallBack(bridge_text_, bridge_application_, tokeniser_context_.get());
  return true;
}

// ---- sending ----

bool Connection::SendFrame(PACKET_TYPE type, const char* data, std::uint32_t length) {
  if (!socket_) return false;
  // Every frame we send belongs to stream 0.
  Packet packet(0, static_cast<unsigned short>(type),
                reinterpret_cast<unsigned char*>(const_cast<char*>(data)), length, false);
  if (!packet.SendData(socket_)) return false;
  // The server answers each text frame and each query with one END.
  if (type == PACKET_TEXT || type == PACKET_TEXT_STREAM || type == PACKET_XML) ++replies_owed_;
  return true;
}

bool Connection::SendText(const char* text, bool xml, bool flush) {
  if (!socket_) return false;
  inline_.ClearOutput();
  piece_send_failed_ = false;
  // Without the bridge the channel would keep the text to itself.
  if (text && *text && !bridge_installed_) return false;
  // The channel gets the text in the slices it would cut it into itself,
  // so that nothing more of a request that stopped (the quit flag is set)
  // goes through it or to the server.
  std::string_view rest(text ? text : final_text_empty);
  do {
    const std::size_t n = rest.size() < static_cast<std::size_t>(QLTP_TPC_PIECE) ? rest.size() : QLTP_TPC_PIECE;
    const bool last = n == rest.size();
    if (channel_) QLTP_tpc_process(channel_, rest.data(), static_cast<int>(n), last && flush ? 1 : 0);
    rest.remove_prefix(n);
    if (piece_send_failed_) return false;
    if (quit_.load()) {
      ClearTokeniserCallBack();
      EndStoppedText(xml, flush);
      return true;
    }
  } while (!rest.empty());
  const std::string& out = inline_.tokenised_out();
  return SendData(out.data(), out.size(), xml, flush);
}

void Connection::EndStoppedText(bool xml, bool flush) {
  // The server holds the pieces of a stopped text that went out as stream
  // frames, and would speak them as part of the next request's text: the
  // empty final text frame ends them before anything else goes on the
  // socket (a render ends with it anyway). Its answers are dropped with the
  // stopped request's.
  if (!socket_ || (!flush && stream_mode_ == 0)) return;
  if (SendData(final_text_empty, 0, xml, true)) AbandonOwedReplies();
}

void Connection::TokeniseText(const char* text, bool xml, bool flush) {
  inline_.TokeniseText(text ? std::string_view(text) : std::string_view(), xml, flush, stream_mode_);
}

const char* Connection::TokeniseTextTP(const char* text, bool xml, bool flush) {
  (void)xml;  // the channel was made for markup
  inline_.ClearOutput();
  if (!channel_) return nullptr;
  return QLTP_tpc_process(channel_, text ? text : "", -1, flush ? 1 : 0);
}

int Connection::totoken(const char* text, int n) { return ::totoken(text, n); }

bool Connection::SendData(const char* text, bool xml, bool flush) {
  return SendData(text, text ? std::strlen(text) : 0, xml, flush);
}

bool Connection::SendData(const char* text, std::size_t length, bool xml, bool flush) {
  std::string_view rest(text ? text : final_text_empty, text ? length : 0);
  std::string frame;
  auto send = [&](PACKET_TYPE type, std::string_view piece) {
    frame.assign(piece);
    frame.push_back('\0');
    return SendFrame(type, frame.data(), static_cast<std::uint32_t>(frame.size()));
  };

  last_length_ = static_cast<std::uint32_t>(rest.size());
  if (rest.size() > text_piece_length) {
    FILE_LOG(logWARNING) << "Input is too big for text packet, splitting tokeniser output into chunks";
    while (rest.size() > text_piece_length) {
      std::string_view piece = rest.substr(0, text_piece_length);
      FILE_LOG(logDEBUG3) << "Sending text chunk of length " << piece.size();
      last_length_ = text_piece_length;
      bool sent = send(PACKET_TEXT_STREAM, piece);
      stream_mode_ = xml ? 1 : 2;
      if (!sent) {
        FILE_LOG(logERROR) << "error sending text chunk";
        return false;
      }
      if (!WaitForEndPacket()) {
        FILE_LOG(logERROR) << "error processing connection data or callback cancelled";
        return false;
      }
      // A request that stopped sends nothing more of its text.
      if (quit_.load()) return true;
      rest.remove_prefix(text_piece_length);
    }
    last_length_ = static_cast<std::uint32_t>(rest.size());
  }

  if (flush) {
    FILE_LOG(logDEBUG3) << "input text is length " << rest.size();
    bool sent = send(PACKET_TEXT, rest);
    stream_mode_ = 0;
    return sent;
  }
  if (last_length_ == 0) return true;
  FILE_LOG(logDEBUG3) << "input text stream is length " << rest.size();
  bool sent = send(PACKET_TEXT_STREAM, rest);
  stream_mode_ = xml ? 1 : 2;
  return sent;
}

bool Connection::SendQuery(const char* text) {
  if (!socket_ || !text) return false;
  std::size_t length = std::strlen(text) + 1;
  if (length > max_packet_length) {
    FILE_LOG(logERROR) << "orvelle send error, packet too big for packet type " << PACKET_XML << " length is "
                       << length;
    return false;
  }
  return SendFrame(PACKET_XML, text, static_cast<std::uint32_t>(length));
}

bool Connection::CloseStreamSocket() {
  if (!socket_) return false;
  return SendFrame(PACKET_CLOSE, nullptr, 0);
}

// ---- receiving ----

int Connection::Deliver(PACKET_TYPE type, void* data, long length) {
  // An exception thrown by the application's callback must not unwind
  // through the library: it stops the request as a refusal would.
  try {
    if (capture_) return capture_(capture_data_, type, data, length);
    if (EVENT_CALLBACK callback = callback_.load()) return callback(user_data_.load(), type, data, length);
    if (PASCAL_EVENT_CALLBACK callback = pascal_callback_.load()) {
      return callback(user_data_.load(), type, data, length);
    }
  } catch (...) {
    return OV_ERROR;
  }
  return OV_SUCCESS;
}

void Connection::FireEvent(PACKET_TYPE type, long length) {
  if (type != PACKET_THREAD_FINISHED && quit_.load()) return;
  try {
    if (EVENT_CALLBACK callback = callback_.load()) {
      callback(user_data_.load(), type, nullptr, length);
    } else if (PASCAL_EVENT_CALLBACK callback = pascal_callback_.load()) {
      callback(user_data_.load(), type, nullptr, length);
    }
  } catch (...) {
  }
}

bool Connection::WaitForEndPacket() {
  long long start = GetCurrentTicks();
  int wait = connection_wait_sleep_time;
  for (;;) {
    if (quit_.load()) {
      AbandonOwedReplies();
      return true;
    }
    if (!socket_) return Failed(WaitFailure::connection_lost);
    if (replies_owed_ <= 0) return true;

    // Frames are read in bulk and in place; every frame already here is
    // handled before the socket is asked again.
    Frame frame;
    const FrameStatus status = DecodeFrame(socket_->Pending(), socket_->PendingSize(), &frame);
    if (status == FrameStatus::too_long) {
      // Nothing after a refused length can be read in step: the socket
      // goes.
      FILE_LOG(logERROR) << "orvelle receive error, packet too big for packet type " << frame.type
                         << " length is " << frame.length;
      return Failed(WaitFailure::malformed);
    }
    if (status == FrameStatus::complete) {
      if (frame.closing_length != frame.length) {
        FILE_LOG(logERROR) << "orvelle packet receive error";
        return Failed(WaitFailure::malformed);
      }
      // The frame's bytes stay where they are until the next Fill, which
      // comes only after the callback has returned.
      socket_->Consume(frame.Size());
      start = GetCurrentTicks();
      if (!HandleFrame(frame.type, frame.data, frame.length)) return false;
      if (end_reached_) {
        end_reached_ = false;
        return true;
      }
      continue;
    }

    unsigned long received = 0;
    // A server that closed or reset the connection ends the wait silently.
    if (!socket_->Fill(max_frame_size, &received)) return Failed(WaitFailure::connection_lost);
    if (received != 0) {
      start = GetCurrentTicks();
      continue;
    }
    int timeout = receive_timeout_.load();
    if (timeout >= 0 && GetTickDifference(start, GetCurrentTicks()) > timeout) {
      FILE_LOG(logWARNING) << "orvelle packet receive from server timed out after " << timeout << "ms";
      // A server that went silent may have lost an END: the stream can no
      // longer be trusted to be in step, so the socket goes and later calls
      // fail at once instead of waiting for a reply that never comes.
      return Failed(WaitFailure::timed_out);
    }
    if (wait <= 999) wait *= 2;
    WaitReadable(socket_, wait / 100);
  }
}

bool Connection::Failed(WaitFailure why) {
  last_failure_ = why;
  AbandonOwedReplies();
  // After a malformed frame or a silence nothing can be read in step, and a
  // closed or reset connection can never be read again: the socket goes, so
  // that later requests fail at once.
  if (why == WaitFailure::malformed || why == WaitFailure::timed_out || why == WaitFailure::connection_lost) {
    DropSocket();
  }
  return false;
}

void Connection::SettleAfterServerClose() {
  // The CLOSE cut off the answer to the oldest frame owed. The rest of that
  // answer (up to its END) and the answers to the frames sent after it
  // belong to the request the CLOSE cut off: they are read and dropped. The
  // rest is awaited for 20 ms of silence once nothing else is owed; an
  // answer owed for a later frame, for up to 1 s of silence; all of it for
  // 3 s at most. Only when every one of them came is the socket in step
  // and kept. Otherwise a part of the cut-off answer may still be on its
  // way, and a later request would take it for its own: the socket goes,
  // as after a malformed frame.
  constexpr int rest_silence_ms = 20;
  constexpr int owed_silence_ms = 1000;
  constexpr long long limit_ms = 3000;
  const long long start = GetCurrentTicks();
  if (replies_owed_ > 0) --replies_owed_;
  bool rest_owed = true;  // the END of the answer that the CLOSE cut off
  while (socket_ && (rest_owed || replies_owed_ > 0) && GetTickDifference(start, GetCurrentTicks()) <= limit_ms) {
    Frame frame;
    const FrameStatus status = DecodeFrame(socket_->Pending(), socket_->PendingSize(), &frame);
    if (status == FrameStatus::complete) {
      socket_->Consume(frame.Size());
      if (frame.closing_length != frame.length) break;
      if (frame.type == PACKET_END) {
        if (rest_owed) {
          rest_owed = false;
        } else {
          --replies_owed_;
        }
      } else if (frame.type == PACKET_CLOSE && !rest_owed) {
        // A later answer was cut off as well.
        --replies_owed_;
        rest_owed = true;
      }
      continue;
    }
    if (status == FrameStatus::too_long) break;
    if (WaitReadable(socket_, replies_owed_ > 0 ? owed_silence_ms : rest_silence_ms) <= 0) break;
    unsigned long received = 0;
    if (!socket_->Fill(max_frame_size, &received)) break;
  }
  const bool in_step = !rest_owed && replies_owed_ == 0;
  replies_owed_ = replies_dropped_ = 0;
  if (!in_step) DropSocket();
}

bool Connection::HandleFrame(unsigned type, unsigned char* data, std::uint32_t length) {
  // Events of a request whose wait was given up are read and dropped.
  const bool deliver = replies_dropped_ == 0 && !quit_.load();
  int result = OV_SUCCESS;
  switch (type) {
    case PACKET_PHONEME:
      if (deliver) {
        phoneme_data record;
        std::memset(&record, 0, sizeof record);
        if (ReadPhonemeData(data, length, &record)) {
          result = Deliver(PACKET_PHONEME, &record, static_cast<long>(sizeof record));
        }
      }
      break;
    case PACKET_SPURT:
    case PACKET_WORD:
    case PACKET_BOOKMARK:
    case PACKET_AUDIO:
    case PACKET_XML:
      if (deliver) result = Deliver(static_cast<PACKET_TYPE>(type), data, static_cast<long>(length));
      break;
    case PACKET_END:
      if (replies_dropped_ > 0) --replies_dropped_;
      if (--replies_owed_ <= 0) {
        replies_owed_ = 0;
        end_reached_ = true;
      }
      break;
    case PACKET_CLOSE:
      FILE_LOG(logWARNING) << "the server has closed the connection to the orvelle client";
      SettleAfterServerClose();
      last_failure_ = WaitFailure::server_closed;
      return false;
    default:
      FILE_LOG(logWARNING) << "unhandled packet type " << type;
      break;
  }
  if (result != OV_SUCCESS) {
    FILE_LOG(logWARNING) << "callback did not return OV_SUCCESS, skipping remaining packets";
    // The callback may have closed the connection.
    return Failed(socket_ ? WaitFailure::refused : WaitFailure::connection_lost);
  }
  return true;
}

// ---- ThreadedConnection: lock and worker bookkeeping ----

ThreadedConnection::ThreadedConnection() = default;

ThreadedConnection::ThreadedConnection(const ThreadedConnection& other) : Connection() {
  CopySettingsFrom(other);
}

ThreadedConnection::~ThreadedConnection() {
  Stop();
  WaitForWorker();
}

bool ThreadedConnection::IsRequestThread() const {
  for (const ThreadedConnection* c : requests_of_this_thread) {
    if (c == this) return true;
  }
  return false;
}

RequestScope::RequestScope(ThreadedConnection& connection) : connection_(connection), lock_(connection.Lock()) {
  requests_of_this_thread.push_back(&connection_);
}

RequestScope::~RequestScope() {
  for (auto it = requests_of_this_thread.end(); it != requests_of_this_thread.begin();) {
    if (*--it == &connection_) {
      requests_of_this_thread.erase(it);
      break;
    }
  }
}

void ThreadedConnection::Retire() {
  retired_.store(true);
  if (IsWorkerThread() || IsRequestThread()) return;
  // A start under way has its worker once it lets go of the start lock.
  { std::lock_guard<std::mutex> starting(start_lock_); }
  WaitForWorker();
}

void ThreadedConnection::RetireBefore(std::int64_t deadline_ms) {
  retired_.store(true);
  if (IsWorkerThread() || IsRequestThread()) return;
  // A start under way has its worker once it lets go of the start lock.
  for (;;) {
    if (start_lock_.try_lock()) {
      start_lock_.unlock();
      break;
    }
    if (platform::monotonic_ms() >= deadline_ms) break;
    platform::sleep_ms(1);
  }
  std::lock_guard<std::mutex> guard(worker_lock_);
  if (worker_.joinable()) {
    while (!worker_ended_->load() && platform::monotonic_ms() < deadline_ms) platform::sleep_ms(1);
    if (worker_ended_->load()) {
      worker_.join();
    } else {
      worker_.detach();
    }
  }
  worker_id_.store(std::thread::id());
  thread_running_.store(false);
}

void ThreadedConnection::Stop() {
  stopping_.store(true);
  SetQuitFlag(true);
}

bool ThreadedConnection::StartWorker(void (*procedure)(void*), void* argument) {
  std::lock_guard<std::mutex> guard(worker_lock_);
  if (worker_.joinable()) return false;  // the previous worker was not waited for
  try {
    auto ended = std::make_shared<std::atomic<bool>>(false);
    worker_ = std::thread([procedure, argument, ended] {
      procedure(argument);
      ended->store(true);
    });
    worker_ended_ = std::move(ended);
  } catch (...) {
    return false;
  }
  worker_id_.store(worker_.get_id());
  thread_running_.store(true);
  return true;
}

void ThreadedConnection::WaitForWorker() {
  std::lock_guard<std::mutex> guard(worker_lock_);
  if (worker_.joinable()) {
    // The worker itself may let go of the last reference to its
    // connection; it cannot wait for its own end.
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }
  worker_id_.store(std::thread::id());
  thread_running_.store(false);
}
