#include "tls_server.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "child_process.h"
#include "receiver.h"

namespace vdtest {

namespace {

SSL_CTX *ctx_of(void *p) {
  return static_cast<SSL_CTX *>(p);
}

struct ssl_free {
  void operator()(SSL *s) const { SSL_free(s); }
};

}  // namespace

tls_server::tls_server() {
  char tmpl[] = "/tmp/vd-tls-XXXXXX";
  if (!mkdtemp(tmpl)) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  cert_ = dir_ + "/cert.pem";
  std::string key = dir_ + "/key.pem";
  auto gen = run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                  "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert_, "-subj",
                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-days", "1"},
                 base_env(), {}, 30000);
  if (gen.status != 0) {
    error_ = "openssl req: " + gen.err;
    return;
  }
  SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
  ctx_ = ctx;
  if (!ctx || SSL_CTX_use_certificate_file(ctx, cert_.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    error_ = "cannot load the certificate";
    return;
  }
  if (!port_.ok() || listen(port_.fd(), 8) != 0 || pipe2(wake_, O_CLOEXEC)) {
    error_ = "cannot listen on 127.0.0.1";
    return;
  }
  listening_ = true;
  thread_ = std::thread([this] { serve(); });
}

tls_server::~tls_server() {
  if (thread_.joinable()) {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
  }
  for (int fd : wake_)
    if (fd >= 0) close(fd);
  SSL_CTX_free(ctx_of(ctx_));
  if (!dir_.empty()) run({"/bin/rm", "-rf", dir_}, base_env());
}

std::string tls_server::url(std::string_view target) const {
  return "https://127.0.0.1:" + std::to_string(port_.port()) + std::string(target);
}

void tls_server::serve() {
  for (;;) {
    pollfd p[2] = {{port_.fd(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0 || p[1].revents) return;
    int c = accept4(port_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    // A client that stalls cannot hold the server (or its shutdown) for long.
    timeval tv{5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    answer(c);
    close(c);
  }
}

void tls_server::answer(int fd) {
  std::unique_ptr<SSL, ssl_free> ssl(SSL_new(ctx_of(ctx_)));
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return;
  if (SSL_accept(ssl.get()) != 1) {
    ERR_clear_error();  // the client refused the certificate, most likely
    return;
  }
  std::string raw;
  char buf[4096];
  for (;;) {
    size_t head_end = raw.find("\r\n\r\n");
    if (head_end != std::string::npos) {
      auto length = parse_http_request(raw).header("Content-Length");
      if (raw.size() >= head_end + 4 + (length ? strtoul(length->c_str(), nullptr, 10) : 0)) break;
    }
    int n = SSL_read(ssl.get(), buf, sizeof buf);
    if (n <= 0) return;
    raw.append(buf, static_cast<size_t>(n));
  }
  static const char kReply[] =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 8\r\n"
      "Connection: close\r\n\r\nanswered";
  if (SSL_write(ssl.get(), kReply, sizeof kReply - 1) > 0) ++answered_;
  SSL_shutdown(ssl.get());
}

}  // namespace vdtest
