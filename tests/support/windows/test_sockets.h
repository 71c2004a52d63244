// The socket calls of the local test servers through Winsock;
// posix/test_sockets.h has the POSIX ones. The build puts one folder on the
// include path.
#pragma once

#include <cstddef>
#include <string>

#include "vd_sockets.h"

namespace vdtest {

using socket_t = SOCKET;
inline constexpr socket_t no_socket = INVALID_SOCKET;

// Winsock started once; sockets not inherited by child processes. Accepted
// sockets do not block, so a send never waits for a reader that has stopped.
socket_t tcp_socket();
socket_t accept_socket(socket_t l);
inline void close_socket(socket_t s) {
  closesocket(s);
}
inline void end_sending(socket_t s) {
  shutdown(s, SD_SEND);
}
std::string socket_error();

// Winsock's SO_REUSEADDR would let another socket take a port in use; a
// listener on a port the system picks needs nothing.
inline void reuse_address(socket_t) {}

inline int poll_sockets(pollfd *p, int n, int timeout_ms) {
  return WSAPoll(p, static_cast<ULONG>(n), timeout_ms);
}

// What fits now: bytes sent, 0 when the buffer is full, -1 when the peer has
// gone.
long send_some(socket_t s, const char *data, size_t n);

// A wake-up for threads in poll_sockets (Winsock polls sockets only: a
// connected loopback pair): ends[0] turns readable for good once wake(ends[1])
// was called.
bool wake_pair(socket_t ends[2]);
inline void wake(socket_t end) {
  char c = 1;
  send(end, &c, 1, 0);
}

}  // namespace vdtest
