// A local HTTP receiver for delivery tests: listens on a loopback address and
// a port the kernel picks, records every request byte for byte, and answers
// in a chosen way (status and body, a generated body of any size, a delay, no
// answer at all, a body that never ends, or an answer dripped byte by byte).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "test_sockets.h"

namespace vdtest {

// One request as it arrived.
struct http_request {
  std::string raw;   // every byte read for this request: head and body
  std::string head;  // request line and header lines, through the blank line
  std::string body;  // the Content-Length bytes after the head
  std::string method, target, version;
  std::vector<std::string> lines;                            // header lines as sent, without CR LF
  std::vector<std::pair<std::string, std::string>> headers;  // name, value (trimmed), in order

  // Value of the first header with this name (compared without case).
  std::optional<std::string> header(std::string_view name) const;
  // How many header lines carry this name.
  int count(std::string_view name) const;
};

enum class answer_mode {
  respond,       // status line, headers, body, then close
  never_answer,  // read the request, then hold the connection silently
  close_without_answer,
  endless_body,  // 200 without a length, body bytes until the client hangs up
  drip_head,     // the whole answer one byte per drip_ms, from its first byte
  drip_body,     // the head at once, then the body one byte per drip_ms
};

struct receiver_options {
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0: a free port chosen by the kernel
  answer_mode mode = answer_mode::respond;
  int status = 200;
  std::string reason = "OK";
  std::vector<std::string> extra_headers;  // whole lines without CR LF
  std::string body;                        // the response body...
  uint64_t body_size = 0;                  // ...or, when non-zero, pattern(body_size)
  int delay_ms = 0;                        // wait this long before answering
  // Announce this Content-Length instead of the body's size (a body that
  // breaks off when it is larger than what is sent).
  std::optional<uint64_t> announce_length;
  int drip_ms = 200;  // the pause before each dripped byte
  // Answer as an echo service does: the body, then the request head three
  // times: as it arrived, as a JSON string ("\/" and "\u00XX" escapes) and
  // percent-encoded (lower-case hex).
  bool reflect = false;
};

class receiver {
 public:
  explicit receiver(receiver_options opts = {});
  ~receiver();
  receiver(const receiver &) = delete;
  receiver &operator=(const receiver &) = delete;

  // False when the address could not be bound; the reason is in error().
  bool listening() const { return fd_ != no_socket; }
  const std::string &error() const { return error_; }
  uint16_t port() const { return port_; }
  // "http://<address>:<port><target>"
  std::string url(std::string_view target = "/") const;

  // Waits until n requests have been read completely; returns how many were.
  size_t wait_requests(size_t n, int timeout_ms = 5000) const;
  std::vector<http_request> requests() const;
  int connections() const;
  // Response body bytes written so far, and whether a write failed because
  // the client went away.
  uint64_t body_bytes_sent() const;
  bool client_hung_up() const;

  // The generated body: byte i is 'a' + i % 26.
  static std::string pattern(uint64_t n);

 private:
  void accept_loop();
  void serve(socket_t fd);
  bool wait_readable(socket_t fd, int timeout_ms) const;
  bool send_all(socket_t fd, const char *data, size_t n);

  receiver_options opts_;
  socket_t fd_ = no_socket;
  socket_t wake_[2] = {no_socket, no_socket};
  uint16_t port_ = 0;
  std::string error_;
  std::thread acceptor_;
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  std::vector<std::thread> workers_;
  std::vector<http_request> requests_;
  int connections_ = 0;
  uint64_t sent_ = 0;
  bool hung_up_ = false;
  bool stopping_ = false;
};

// Parses a request head (and takes the body that follows it); for tests that
// read raw bytes themselves.
http_request parse_http_request(std::string raw);

}  // namespace vdtest
