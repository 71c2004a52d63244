#include "bound_port.h"

namespace vdtest {

bound_port::bound_port() : fd_(tcp_socket()) {
  addr_.sin_family = AF_INET;
  addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr_;
  if (fd_ == no_socket || bind(fd_, reinterpret_cast<sockaddr *>(&addr_), sizeof addr_) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr *>(&addr_), &len) != 0)
    addr_.sin_port = 0;
}

bound_port::~bound_port() {
  if (fd_ != no_socket) close_socket(fd_);
}

std::string bound_port::url(std::string_view target) const {
  return "http://127.0.0.1:" + std::to_string(port()) + std::string(target);
}

}  // namespace vdtest
