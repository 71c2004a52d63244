// A local HTTPS endpoint that really answers: a self-signed certificate for
// 127.0.0.1 (made by the openssl tool at start), TLS from libssl on a loopback
// port the kernel picks, and "200 OK" with a short body to every request. A
// client that skips the certificate check gets that answer, so a delivery that
// fails here fails on the certificate.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "bound_port.h"

namespace vdtest {

class tls_server {
 public:
  tls_server();
  ~tls_server();
  tls_server(const tls_server &) = delete;
  tls_server &operator=(const tls_server &) = delete;

  // False when the certificate or the listening socket could not be made;
  // the reason is in error().
  bool ready() const { return listening_ && ctx_; }
  const std::string &error() const { return error_; }
  uint16_t port() const { return port_.port(); }
  // "https://127.0.0.1:<port><target>"
  std::string url(std::string_view target = "/") const;
  // The file holding the certificate (PEM), for a client that trusts it.
  const std::string &cert_file() const { return cert_; }

  int answered() const { return answered_.load(); }  // requests read and answered

 private:
  void serve();
  void answer(int fd);

  std::string dir_, cert_, error_;
  void *ctx_ = nullptr;  // SSL_CTX
  bound_port port_;      // listens once the certificate is ready
  bool listening_ = false;
  int wake_[2] = {-1, -1};
  std::atomic<int> answered_{0};
  std::thread thread_;
};

}  // namespace vdtest
