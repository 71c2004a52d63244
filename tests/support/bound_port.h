// A loopback port that a test holds: a TCP socket bound to 127.0.0.1 on a
// port the kernel picks. It does not listen, so connections to it are
// refused (unless the test makes it listen), and nobody else can take the
// port meanwhile.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "test_sockets.h"

namespace vdtest {

class bound_port {
 public:
  bound_port();
  ~bound_port();
  bound_port(const bound_port &) = delete;
  bound_port &operator=(const bound_port &) = delete;
  // False when no socket could be bound.
  bool ok() const { return port() != 0; }
  uint16_t port() const { return ntohs(addr_.sin_port); }
  socket_t fd() const { return fd_; }
  const sockaddr_in &addr() const { return addr_; }
  // "http://127.0.0.1:<port><target>"
  std::string url(std::string_view target = "/") const;

 private:
  socket_t fd_;
  sockaddr_in addr_{};
};

}  // namespace vdtest
