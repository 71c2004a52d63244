#include "receiver.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace vdtest {

namespace {

std::string trim(std::string s) {
  size_t b = s.find_first_not_of(" \t");
  size_t e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool same_nocase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return (x >= 'A' && x <= 'Z' ? x + 32 : x) == (y >= 'A' && y <= 'Z' ? y + 32 : y);
  });
}

std::string reflection(const std::string &head) {
  static const char kHex[] = "0123456789abcdef";
  std::string json = "\"", pct;
  for (char byte : head) {
    auto c = static_cast<unsigned char>(byte);
    if (c == '"' || c == '\\' || c == '/') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c < 0x20) {
      json += "\\u00";
      json += kHex[c >> 4];
      json += kHex[c & 15];
    } else {
      json += static_cast<char>(c);
    }
    if (isalnum(c) || strchr("-._~", c)) {
      pct += static_cast<char>(c);
    } else {
      pct += '%';
      pct += kHex[c >> 4];
      pct += kHex[c & 15];
    }
  }
  return head + json + "\"\n" + pct;
}

}  // namespace

std::optional<std::string> http_request::header(std::string_view name) const {
  for (const auto &h : headers)
    if (same_nocase(h.first, name)) return h.second;
  return std::nullopt;
}

int http_request::count(std::string_view name) const {
  int n = 0;
  for (const auto &h : headers) n += same_nocase(h.first, name);
  return n;
}

http_request parse_http_request(std::string raw) {
  http_request r;
  size_t end = raw.find("\r\n\r\n");
  r.head = raw.substr(0, end == std::string::npos ? raw.size() : end + 4);
  if (end != std::string::npos) r.body = raw.substr(end + 4);
  r.raw = std::move(raw);
  size_t pos = r.head.find("\r\n");
  std::string first = r.head.substr(0, pos);
  size_t s1 = first.find(' '), s2 = first.rfind(' ');
  if (s1 != std::string::npos && s2 != std::string::npos && s2 > s1) {
    r.method = first.substr(0, s1);
    r.target = first.substr(s1 + 1, s2 - s1 - 1);
    r.version = first.substr(s2 + 1);
  }
  while (pos != std::string::npos && pos + 2 < r.head.size()) {
    size_t next = r.head.find("\r\n", pos + 2);
    if (next == std::string::npos) break;
    std::string line = r.head.substr(pos + 2, next - pos - 2);
    pos = next;
    if (line.empty()) break;
    r.lines.push_back(line);
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      r.headers.emplace_back(line, "");
    } else {
      r.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
  }
  return r;
}

std::string receiver::pattern(uint64_t n) {
  std::string s(n, '\0');
  for (uint64_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

receiver::receiver(receiver_options opts) : opts_(std::move(opts)) {
  if (!wake_pair(wake_)) {
    error_ = "wake-up pair: " + socket_error();
    return;
  }
  socket_t fd = tcp_socket();
  if (fd == no_socket) {
    error_ = "socket: " + socket_error();
    return;
  }
  reuse_address(fd);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(opts_.port);
  if (inet_pton(AF_INET, opts_.address.c_str(), &a.sin_addr) != 1) {
    error_ = "not an IPv4 address: " + opts_.address;
    close_socket(fd);
    return;
  }
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
    error_ = "bind/listen " + opts_.address + ": " + socket_error();
    close_socket(fd);
    return;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  port_ = ntohs(a.sin_port);
  fd_ = fd;
  acceptor_ = std::thread([this] { accept_loop(); });
}

receiver::~receiver() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  // The wake-up end stays readable from here on, so every poll in every
  // thread returns.
  if (wake_[1] != no_socket) wake(wake_[1]);
  if (acceptor_.joinable()) acceptor_.join();
  for (auto &w : workers_) w.join();
  if (fd_ != no_socket) close_socket(fd_);
  for (socket_t f : wake_)
    if (f != no_socket) close_socket(f);
}

std::string receiver::url(std::string_view target) const {
  return "http://" + opts_.address + ":" + std::to_string(port_) + std::string(target);
}

size_t receiver::wait_requests(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return requests_.size() >= n; });
  return requests_.size();
}

std::vector<http_request> receiver::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int receiver::connections() const {
  std::lock_guard<std::mutex> lock(mu_);
  return connections_;
}

uint64_t receiver::body_bytes_sent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sent_;
}

bool receiver::client_hung_up() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hung_up_;
}

// True when fd is readable; false on stop or timeout (-1: none).
bool receiver::wait_readable(socket_t fd, int timeout_ms) const {
  pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  int rc = poll_sockets(p, 2, timeout_ms);
  if (rc <= 0 || (p[1].revents & POLLIN)) return false;
  return (p[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void receiver::accept_loop() {
  while (wait_readable(fd_, -1)) {
    socket_t c = accept_socket(fd_);
    if (c == no_socket) continue;
    std::lock_guard<std::mutex> lock(mu_);
    ++connections_;
    workers_.emplace_back([this, c] {
      serve(c);
      close_socket(c);
    });
  }
}

bool receiver::send_all(socket_t fd, const char *data, size_t n) {
  while (n > 0) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
    if (poll_sockets(p, 2, -1) < 0) return false;
    if (p[1].revents & POLLIN) return false;
    long w = send_some(fd, data, n);
    if (w == 0) continue;
    if (w < 0) {
      std::lock_guard<std::mutex> lock(mu_);
      hung_up_ = true;
      return false;
    }
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void receiver::serve(socket_t fd) {
  // Read the head, then as many body bytes as Content-Length announces.
  std::string raw;
  char buf[65536];
  size_t head_end = std::string::npos;
  uint64_t want = 0;
  for (;;) {
    if (head_end != std::string::npos && raw.size() >= head_end + want) break;
    if (!wait_readable(fd, 30000)) return;
    long n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    raw.append(buf, static_cast<size_t>(n));
    if (head_end == std::string::npos && (head_end = raw.find("\r\n\r\n")) != std::string::npos) {
      head_end += 4;
      http_request h = parse_http_request(raw.substr(0, head_end));
      if (auto cl = h.header("Content-Length")) want = std::stoull(*cl);
    }
  }
  if (head_end == std::string::npos) return;
  http_request req = parse_http_request(raw);
  std::string method = req.method;
  std::string echo = opts_.reflect ? reflection(req.head) : std::string();
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(std::move(req));
  }
  cv_.notify_all();

  if (opts_.delay_ms > 0 && wait_readable(wake_[0], opts_.delay_ms)) return;
  switch (opts_.mode) {
    case answer_mode::close_without_answer: return;
    case answer_mode::never_answer:
      // Hold the connection until the client gives up or the receiver stops.
      while (wait_readable(fd, -1) && recv(fd, buf, sizeof buf, 0) > 0) {
      }
      return;
    case answer_mode::endless_body: {
      std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
      if (!send_all(fd, head.data(), head.size())) return;
      std::string chunk = pattern(26 * 2521);  // 65546 bytes, keeps the pattern aligned
      while (send_all(fd, chunk.data(), chunk.size())) {
        std::lock_guard<std::mutex> lock(mu_);
        sent_ += chunk.size();
      }
      return;
    }
    case answer_mode::respond:
    case answer_mode::drip_head:
    case answer_mode::drip_body: break;
  }
  std::string body = (opts_.body_size ? pattern(opts_.body_size) : opts_.body) + echo;
  std::string head = "HTTP/1.1 " + std::to_string(opts_.status) + " " + opts_.reason + "\r\n";
  uint64_t announced = opts_.announce_length ? *opts_.announce_length : body.size();
  head += "Content-Length: " + std::to_string(announced) + "\r\nConnection: close\r\n";
  for (const auto &l : opts_.extra_headers) head += l + "\r\n";
  head += "\r\n";
  if (opts_.mode == answer_mode::drip_head || opts_.mode == answer_mode::drip_body) {
    std::string answer = head + body;
    size_t at = opts_.mode == answer_mode::drip_body ? head.size() : 0;
    if (!send_all(fd, answer.data(), at)) return;
    // Stops when the client hangs up or the receiver stops.
    for (; at < answer.size() && !wait_readable(wake_[0], opts_.drip_ms); ++at) {
      if (!send_all(fd, answer.data() + at, 1)) return;
      std::lock_guard<std::mutex> lock(mu_);
      sent_ += at >= head.size();
    }
    return;
  }
  if (!send_all(fd, head.data(), head.size())) return;
  if (method == "HEAD") return;
  if (send_all(fd, body.data(), body.size())) {
    std::lock_guard<std::mutex> lock(mu_);
    sent_ += body.size();
  }
  end_sending(fd);
  // Let the client read to the end before the socket is closed.
  while (wait_readable(fd, 5000) && recv(fd, buf, sizeof buf, 0) > 0) {
  }
}

}  // namespace vdtest
