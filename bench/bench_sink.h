// A minimal local endpoint for the delivery benchmarks: reads each request
// with its Content-Length body, answers 200 with a two-byte body, closes, and
// keeps the head of the last request (so another client can send the same).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class sink_server {
 public:
  sink_server() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd_, 64) != 0) {
      perror("bind");
      exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
  }
  ~sink_server() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  sink_server(const sink_server &) = delete;
  sink_server &operator=(const sink_server &) = delete;

  std::string url(const std::string &target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
  }
  // Request line and header lines of the last request, through the blank line.
  std::string last_head() const {
    std::lock_guard<std::mutex> lock(mu_);
    return last_head_;
  }

 private:
  void loop() {
    std::vector<char> buf(1 << 16);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string head;
      size_t head_end = std::string::npos, want = 0, got = 0;
      for (;;) {
        if (head_end != std::string::npos && got >= head_end + want) break;
        ssize_t n = recv(c, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
        if (head_end != std::string::npos) continue;  // body bytes are only counted
        head.append(buf.data(), static_cast<size_t>(n));
        if ((head_end = head.find("\r\n\r\n")) == std::string::npos) continue;
        head_end += 4;
        head.resize(head_end);
        std::string lower = head;
        for (auto &ch : lower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
        size_t cl = lower.find("\r\ncontent-length:");
        if (cl != std::string::npos) want = strtoull(lower.c_str() + cl + 17, nullptr, 10);
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        last_head_ = head;
      }
      static const char kAnswer[] =
          "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      (void)!send(c, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
      close(c);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::string last_head_;
};

}  // namespace bench
