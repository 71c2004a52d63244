// A loopback port that a test holds: a TCP socket bound to 127.0.0.1 on a
// port the kernel picks. It does not listen, so connections to it are
// refused (unless the test makes it listen), and nobody else can take the
// port meanwhile.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "raii.h"

namespace vdtest {

class bound_port {
 public:
  bound_port();
  // False when no socket could be bound.
  bool ok() const { return port() != 0; }
  uint16_t port() const { return ntohs(addr_.sin_port); }
  int fd() const { return fd_.get(); }
  const sockaddr_in &addr() const { return addr_; }
  // "http://127.0.0.1:<port><target>"
  std::string url(std::string_view target = "/") const;

 private:
  unique_fd fd_;
  sockaddr_in addr_{};
};

}  // namespace vdtest
