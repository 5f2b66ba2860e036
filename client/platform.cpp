#include "client/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace platform {

namespace {

constexpr int max_parts = 8;

sockaddr_in ipv4_address(std::uint32_t address, int port) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = address;
  return sa;
}

bool valid_port(int port) { return port >= 0 && port <= 65535; }

// Copies at most max_parts ranges into an iovec array; the callers never
// need more, and a longer list is simply served in several calls.
int to_iovec(const byte_range* parts, int count, iovec* out) {
  int n = 0;
  for (int i = 0; i < count && n < max_parts; ++i) {
    if (parts[i].size == 0) continue;
    out[n].iov_base = parts[i].data;
    out[n].iov_len = parts[i].size;
    ++n;
  }
  return n;
}

}  // namespace

int last_error() { return errno; }

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

bool is_would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

socket_handle open_tcp_socket() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

int close_socket(socket_handle handle) {
  // close() must not be retried on EINTR: the descriptor is gone either way
  // and may already belong to another thread.
  return ::close(handle);
}

bool set_non_blocking(socket_handle handle) {
  int flags = ::fcntl(handle, F_GETFL, 0);
  if (flags < 0) return false;
  return ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_no_delay(socket_handle handle) {
  int on = 1;
  return ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool resolve_ipv4(const std::string& host, std::uint32_t* address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) {
    errno = EHOSTUNREACH;
    return false;
  }
  bool found = false;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sa;
      std::memcpy(&sa, ai->ai_addr, sizeof sa);
      *address = sa.sin_addr.s_addr;
      found = true;
      break;
    }
  }
  ::freeaddrinfo(result);
  if (!found) errno = EHOSTUNREACH;
  return found;
}

int connect_ipv4(socket_handle handle, std::uint32_t address, int port) {
  if (!valid_port(port)) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_in sa = ipv4_address(address, port);
  if (::connect(handle, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINTR) return -1;
  // An interrupted connect goes on in the background; it cannot be restarted,
  // only waited for.
  pollfd p{handle, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, -1);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(handle, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

int bind_ipv4_any(socket_handle handle, int port) {
  if (!valid_port(port)) {
    errno = EINVAL;
    return -1;
  }
  sockaddr_in sa = ipv4_address(htonl(INADDR_ANY), port);
  return ::bind(handle, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int listen_socket(socket_handle handle, int backlog) { return ::listen(handle, backlog); }

socket_handle accept_socket(socket_handle listener) {
  for (;;) {
    socket_handle h = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (h >= 0 || errno != EINTR) return h;
  }
}

int local_port(socket_handle handle) {
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (::getsockname(handle, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

// A message header over the parts; false when there is nothing to move.
static bool make_message(const byte_range* parts, int count, iovec* iov, msghdr* msg) {
  std::memset(msg, 0, sizeof *msg);
  msg->msg_iov = iov;
  msg->msg_iovlen = static_cast<std::size_t>(to_iovec(parts, count, iov));
  return msg->msg_iovlen != 0;
}

long send_parts(socket_handle handle, const byte_range* parts, int count) {
  iovec iov[max_parts];
  msghdr msg;
  if (!make_message(parts, count, iov, &msg)) return 0;
  for (;;) {
    // MSG_NOSIGNAL: a peer that has gone away must give an error here, not
    // a SIGPIPE that would end the host application.
    ssize_t n = ::sendmsg(handle, &msg, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long receive_parts(socket_handle handle, byte_range* parts, int count, bool wait) {
  iovec iov[max_parts];
  msghdr msg;
  if (!make_message(parts, count, iov, &msg)) return 0;
  for (;;) {
    ssize_t n = ::recvmsg(handle, &msg, wait ? 0 : MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long receive_flags(socket_handle handle, void* buffer, std::size_t size, int flags) {
  for (;;) {
    ssize_t n = ::recv(handle, buffer, size, flags);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

int pending_bytes(socket_handle handle, int* count) { return ::ioctl(handle, FIONREAD, count); }

int wait_ready(const socket_handle* handles, int count, short wanted, short* ready, int timeout_ms) {
  pollfd fds[max_parts];
  if (count < 0 || count > max_parts) {
    errno = EINVAL;
    return -1;
  }
  short events = 0;
  if (wanted & ready_read) events |= POLLIN;
  if (wanted & ready_exception) events |= POLLPRI;
  for (int i = 0; i < count; ++i) {
    // poll() skips a negative handle silently; select() would fail on it.
    if (handles[i] < 0) {
      errno = EBADF;
      return -1;
    }
    fds[i] = pollfd{handles[i], events, 0};
  }

  // Keep the deadline across EINTR so that a signal does not extend the wait.
  const std::int64_t deadline = timeout_ms >= 0 ? monotonic_ms() + timeout_ms : -1;
  int r;
  for (;;) {
    int wait = -1;
    if (deadline >= 0) {
      std::int64_t left = deadline - monotonic_ms();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    r = ::poll(fds, static_cast<nfds_t>(count), wait);
    if (r >= 0 || errno != EINTR) break;
  }
  if (r < 0) return -1;
  int n = 0;
  for (int i = 0; i < count; ++i) {
    // select() fails on a handle that is not open; poll only flags it.
    if (fds[i].revents & POLLNVAL) {
      errno = EBADF;
      return -1;
    }
    short bits = 0;
    // A closed or failed connection counts as readable: the next receive
    // reports it.
    if ((wanted & ready_read) && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) bits |= ready_read;
    if ((wanted & ready_exception) && (fds[i].revents & (POLLPRI | POLLERR))) bits |= ready_exception;
    ready[i] = bits;
    if (bits) ++n;
  }
  return n;
}

std::int64_t monotonic_ms() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(std::int64_t milliseconds) {
  if (milliseconds <= 0) return;
  timespec ts;
  ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

utc_time utc_now() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm;
  time_t seconds = ts.tv_sec;
  ::gmtime_r(&seconds, &tm);
  return utc_time{tm.tm_year + 1900, tm.tm_mon + 1,  tm.tm_mday,
                  tm.tm_hour,        tm.tm_min,      tm.tm_sec,
                  static_cast<int>(ts.tv_nsec / 1000000)};
}

}  // namespace platform
