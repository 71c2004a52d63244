// The socket calls of the local test servers that POSIX and Winsock spell
// differently; windows/test_sockets.h has Winsock's. The build puts one folder
// on the include path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

#include "vd_sockets.h"

namespace vdtest {

using socket_t = int;
inline constexpr socket_t no_socket = -1;

inline socket_t tcp_socket() {
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
inline socket_t accept_socket(socket_t l) {
  return accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
}
inline void close_socket(socket_t s) {
  close(s);
}
inline void end_sending(socket_t s) {
  shutdown(s, SHUT_WR);
}
inline std::string socket_error() {
  return strerror(errno);
}

// Lets a listener bind its port again while old connections linger.
inline void reuse_address(socket_t s) {
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

// poll, resumed after signals.
inline int poll_sockets(pollfd *p, int n, int timeout_ms) {
  int rc;
  do {
    rc = poll(p, static_cast<nfds_t>(n), timeout_ms);
  } while (rc < 0 && errno == EINTR);
  return rc;
}

// What fits now: bytes sent, 0 when the buffer is full, -1 when the peer has
// gone.
inline long send_some(socket_t s, const char *data, size_t n) {
  ssize_t w = send(s, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (w < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
  return static_cast<long>(w);
}

// A wake-up for threads in poll_sockets: ends[0] turns readable for good once
// wake(ends[1]) was called.
inline bool wake_pair(socket_t ends[2]) {
  return pipe2(ends, O_CLOEXEC) == 0;
}
inline void wake(socket_t end) {
  char c = 1;
  (void)!write(end, &c, 1);
}

}  // namespace vdtest
