#include "client/socket.h"

#include <cstring>
#include <new>
#include <utility>

#include "client/clientlog.h"

namespace {

platform::socket_handle new_stream_socket() {
  platform::socket_handle h = platform::open_tcp_socket();
  if (h == platform::invalid_socket) throw "INVALID_SOCKET";
  // Frames are written in one call each; none may wait for the peer's
  // acknowledgement of the previous one.
  platform::set_no_delay(h);
  return h;
}

}  // namespace

// POSIX sockets need no library start-up.
Socket::Socket() : handle_(new_stream_socket()) {}

Socket::Socket(platform::socket_handle handle) : handle_(handle) {}

Socket::~Socket() { Close(); }

int Socket::Close() {
  if (handle_ == platform::invalid_socket) return -1;
  // Forget the handle at once: closing it twice could close a descriptor
  // that another thread has been given in the meantime.
  int result = platform::close_socket(handle_);
  handle_ = platform::invalid_socket;
  begin_ = end_ = 0;
  return result;
}

bool Socket::IsAlive() const {
  short ready = 0;
  int n = platform::wait_ready(&handle_, 1, platform::ready_exception, &ready, 0);
  if (n < 0) return false;
  return (ready & platform::ready_exception) == 0;
}

long Socket::SendBytes(const char* data, unsigned long length) {
  platform::byte_range part{const_cast<char*>(data), length};
  unsigned long sent = 0;
  return SendBytes(&part, 1, &sent);
}

long Socket::SendBytes(const platform::byte_range* parts, int count, unsigned long* sent) {
  *sent = 0;
  platform::byte_range rest[8];
  if (count < 0 || count > 8) return -1;
  std::memcpy(rest, parts, sizeof(platform::byte_range) * static_cast<std::size_t>(count));
  int first = 0;
  for (;;) {
    while (first < count && rest[first].size == 0) ++first;
    if (first == count) return static_cast<long>(*sent);
    long n = platform::send_parts(handle_, rest + first, count - first);
    if (n < 0) return -1;
    *sent += static_cast<unsigned long>(n);
    // A send may take only a prefix; go on where it stopped.
    std::size_t left = static_cast<std::size_t>(n);
    for (int i = first; i < count && left > 0; ++i) {
      std::size_t take = left < rest[i].size ? left : rest[i].size;
      rest[i].data = static_cast<char*>(rest[i].data) + take;
      rest[i].size -= take;
      left -= take;
    }
  }
}

bool Socket::ReceiveBytes(char* buffer, unsigned long size, unsigned long* received) {
  *received = 0;
  if (size == 0) return handle_ != platform::invalid_socket;
  if (PendingSize() == 0) {
    unsigned long got = 0;
    if (!Fill(1, &got)) return false;
  }
  std::size_t take = size < PendingSize() ? size : PendingSize();
  if (take > 0) std::memcpy(buffer, Pending(), take);
  Consume(take);
  *received = static_cast<unsigned long>(take);
  return true;
}

bool Socket::Fill(std::size_t room, unsigned long* received) {
  *received = 0;
  if (!buffer_) {
    buffer_.reset(new (std::nothrow) unsigned char[receive_buffer_size]);
    if (!buffer_) {
      FILE_LOG(logERROR) << "orvelle socket cannot receive, out of memory";
      return false;
    }
  }
  if (room > receive_buffer_size) room = receive_buffer_size;
  if (receive_buffer_size - end_ < room && begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == receive_buffer_size) return handle_ != platform::invalid_socket;
  platform::byte_range space{buffer_.get() + end_, receive_buffer_size - end_};
  long n = platform::receive_parts(handle_, &space, 1, false);
  if (n > 0) {
    end_ += static_cast<std::size_t>(n);
    *received = static_cast<unsigned long>(n);
    return true;
  }
  if (n == 0) return false;  // the peer closed the connection
  int error = platform::last_error();
  if (platform::is_would_block(error)) return true;
  // A socket that cannot even say how many bytes wait is not a socket any
  // more (closed handle); a broken connection fails silently.
  int pending = 0;
  if (platform::pending_bytes(handle_, &pending) != 0) {
    FILE_LOG(logERROR) << "orvelle socket closed, cannot receive bytes";
  }
  return false;
}

bool Socket::Discard(unsigned long* discarded) {
  *discarded = static_cast<unsigned long>(PendingSize());
  begin_ = end_ = 0;
  char sink[4096];
  platform::byte_range space{sink, sizeof sink};
  long n = platform::receive_parts(handle_, &space, 1, false);
  if (n > 0) {
    *discarded += static_cast<unsigned long>(n);
    return true;
  }
  if (n == 0) return false;  // the peer closed the connection
  return platform::is_would_block(platform::last_error());
}

std::unique_ptr<unsigned char[]> Socket::TakeBuffer() {
  begin_ = end_ = 0;
  return std::move(buffer_);
}

void Socket::Consume(std::size_t n) {
  begin_ += n < PendingSize() ? n : PendingSize();
  if (begin_ == end_) begin_ = end_ = 0;
}

SocketClient::SocketClient(const std::string& host, int port) {
  std::uint32_t address = 0;
  if (!platform::resolve_ipv4(host, &address)) {
    Close();
    throw std::string();
  }
  if (platform::connect_ipv4(handle_, address, port) != 0) {
    std::string text = platform::error_text(platform::last_error());
    Close();
    throw text;
  }
}

SocketServer::SocketServer(int port, int backlog, TypeSocket type) {
  if (type == NonBlockingSocket) platform::set_non_blocking(handle_);
  if (platform::bind_ipv4_any(handle_, port) != 0) {
    Close();
    FILE_LOG(logERROR) << "orvelle socket failed to bind to port " << port;
    throw "INVALID_SOCKET";
  }
  platform::listen_socket(handle_, backlog);
}

Socket* SocketServer::Accept() {
  platform::socket_handle h = platform::accept_socket(handle_);
  if (h == platform::invalid_socket) {
    if (platform::is_would_block(platform::last_error())) return nullptr;
    throw "Invalid Socket";
  }
  platform::set_no_delay(h);
  return new Socket(h);
}

SocketSelect::SocketSelect(const Socket* first, const Socket* second, TypeSocket type) {
  const Socket* sockets[2];
  if (first) sockets[count_++] = first;
  if (second && (!first || second->Handle() != first->Handle())) sockets[count_++] = second;
  bool buffered = false;
  for (int i = 0; i < count_; ++i) {
    handles_[i] = sockets[i]->Handle();
    if (sockets[i]->PendingSize() > 0) buffered = true;
  }
  // Bytes already read ahead make a socket readable without any wait.
  short ready[2] = {0, 0};
  int n = platform::wait_ready(handles_, count_, platform::ready_read, ready,
                               type == NonBlockingSocket || buffered ? 0 : -1);
  if (n < 0) throw "Error in select";
  int kept = 0;
  for (int i = 0; i < count_; ++i) {
    if ((ready[i] & platform::ready_read) || sockets[i]->PendingSize() > 0) handles_[kept++] = handles_[i];
  }
  count_ = kept;
}

bool SocketSelect::Readable(const Socket* socket) const {
  if (!socket) return false;
  for (int i = 0; i < count_; ++i) {
    if (handles_[i] == socket->Handle()) return true;
  }
  return false;
}

int recv_to(int handle, char* buffer, int size, int flags, int timeout_ms) {
  if (timeout_ms < 0 || size < 0) return -1;
  short ready = 0;
  int n = platform::wait_ready(&handle, 1, platform::ready_read, &ready, timeout_ms);
  if (n < 0) return -1;
  if (n == 0) return -2;
  return static_cast<int>(platform::receive_flags(handle, buffer, static_cast<std::size_t>(size), flags));
}

long long GetCurrentTicks() { return platform::monotonic_ms(); }

long long GetTickDifference(long long first, long long second) {
  // Ticks of a 32-bit counter wrap; a monotonic 64-bit count never does.
  if (second < first) second += 4294967295LL;
  return second - first;
}
