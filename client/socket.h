// Stream sockets of the speech server client: a socket that moves bytes, a
// connected client socket, a listening server socket, a readiness test over
// one or two sockets, a receive with a time-out and the millisecond ticks.
//
// Constructors report failure by throwing: a const char* ("INVALID_SOCKET",
// "Invalid Socket", "Error in select") or, from SocketClient, a std::string
// (empty when the host is unknown, else the system's error text). The
// connection catches them; they never reach an exported function.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "client/platform.h"

// The mode argument of SocketServer and SocketSelect: NonBlockingSocket (1)
// asks for non-blocking behaviour, any other value for blocking behaviour.
enum TypeSocket { BlockingSocket, NonBlockingSocket };

class Socket {
 public:
  // Life cycle: a new IPv4 TCP socket, or one that wraps an open handle
  Socket();
  explicit Socket(platform::socket_handle handle);
  virtual ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Close();

  // State
  bool IsAlive() const;
  platform::socket_handle Handle() const { return handle_; }

  // Sending all bytes: the count sent, or -1 at the first failed send
  long SendBytes(const char* data, unsigned long length);
  long SendBytes(const platform::byte_range* parts, int count, unsigned long* sent);

  // Receiving what is there without waiting: false once the connection is
  // closed or broken; received says how many bytes were placed. Bytes that
  // arrive beyond the request stay in the receive buffer for the next call
  // (a raw receive on Handle() does not see them).
  bool ReceiveBytes(char* buffer, unsigned long size, unsigned long* received);

  // The receive buffer, for frame readers that work on the received bytes
  // in place. Fill receives what has arrived, without waiting, behind the
  // pending bytes, first moving them to the front when fewer than room bytes
  // are free there (room is at most receive_buffer_size); false once the
  // connection is closed or broken. Consume drops the first n pending bytes.
  static constexpr std::size_t receive_buffer_size = 262144;
  bool Fill(std::size_t room, unsigned long* received);
  unsigned char* Pending() const { return buffer_.get() + begin_; }
  std::size_t PendingSize() const { return end_ - begin_; }
  void Consume(std::size_t n);
  // Drops the pending bytes and what has arrived, without waiting and
  // without writing into the receive buffer (whose bytes a callback may
  // still be reading); false once the connection is closed or broken.
  bool Discard(unsigned long* discarded);
  // Hands the receive buffer's memory over (the socket forgets its bytes).
  std::unique_ptr<unsigned char[]> TakeBuffer();

 protected:
  platform::socket_handle handle_;

 private:
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

class SocketClient : public Socket {
 public:
  SocketClient(const std::string& host, int port);
};

class SocketServer : public Socket {
 public:
  SocketServer(int port, int backlog, TypeSocket type = BlockingSocket);
  // A new socket the caller owns, or null when a non-blocking server has no
  // pending connection
  Socket* Accept();
};

class SocketSelect {
 public:
  // Waits until first or second (may be null) is readable: at once when type
  // is NonBlockingSocket, without limit otherwise
  SocketSelect(const Socket* first, const Socket* second, TypeSocket type = BlockingSocket);
  bool Readable(const Socket* socket) const;

 private:
  int count_ = 0;
  platform::socket_handle handles_[2] = {platform::invalid_socket, platform::invalid_socket};
};

// A recv that waits at most timeout_ms for data: recv's result, -1 when the
// wait fails, -2 when nothing arrived in time
int recv_to(int handle, char* buffer, int size, int flags, int timeout_ms);

// Millisecond ticks of a monotonic clock and their difference
long long GetCurrentTicks();
long long GetTickDifference(long long first, long long second);
