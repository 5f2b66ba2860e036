// The operating-system layer of the speech server client: POSIX stream
// sockets, the monotonic millisecond clock, sleeping and the UTC time of day.
// Nothing else in the tree includes the system's socket headers.
//
// Every call retries EINTR itself. Calls that can fail return -1 (or false)
// and leave the reason in last_error(), an errno value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using socket_handle = int;
inline constexpr socket_handle invalid_socket = -1;

// One piece of a gathered send or a scattered receive.
struct byte_range {
  void* data;
  std::size_t size;
};

// Errors
int last_error();
std::string error_text(int error);
bool is_would_block(int error);

// Creating, configuring and closing IPv4 TCP sockets (close-on-exec)
socket_handle open_tcp_socket();
int close_socket(socket_handle handle);
bool set_non_blocking(socket_handle handle);
bool set_no_delay(socket_handle handle);

// Names, addresses and connections; addresses are IPv4 in network order
bool resolve_ipv4(const std::string& host, std::uint32_t* address);
int connect_ipv4(socket_handle handle, std::uint32_t address, int port);
int bind_ipv4_any(socket_handle handle, int port);
int listen_socket(socket_handle handle, int backlog);
socket_handle accept_socket(socket_handle listener);
int local_port(socket_handle handle);

// Moving bytes. send_parts never raises SIGPIPE and may send only a prefix;
// receive_parts with wait false returns at once (-1 with a would-block error
// when nothing is there) and 0 when the peer has closed.
long send_parts(socket_handle handle, const byte_range* parts, int count);
long receive_parts(socket_handle handle, byte_range* parts, int count, bool wait);
long receive_flags(socket_handle handle, void* buffer, std::size_t size, int flags);
int pending_bytes(socket_handle handle, int* count);

// Readiness: wait up to timeout_ms (negative: no limit) for any of the
// handles; ready[i] gets the readiness bits of handles[i]. Returns the number
// of ready handles, 0 on time-out, -1 on failure (also for a handle that is
// not open).
inline constexpr short ready_read = 1;
inline constexpr short ready_exception = 2;
int wait_ready(const socket_handle* handles, int count, short wanted, short* ready, int timeout_ms);

// Clock and sleeping
std::int64_t monotonic_ms();
void sleep_ms(std::int64_t milliseconds);

// The time of day in UTC, for log stamps
struct utc_time {
  int year, month, day, hour, minute, second, millisecond;
};
utc_time utc_now();

}  // namespace platform
