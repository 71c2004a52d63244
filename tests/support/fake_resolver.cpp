#include "fake_resolver.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "vd_sockets.h"

namespace vdtest {

namespace {

fake_resolver *g_active = nullptr;

// Real lists come from getaddrinfo and go back to freeaddrinfo; made-up ones
// are tagged so release can tell them apart.
constexpr int kFakeFlag = 0x40000000;

struct fake_node {
  addrinfo ai;
  sockaddr_storage addr;
};

addrinfo *make_node(const std::string &text, int port) {
  auto *n = static_cast<fake_node *>(calloc(1, sizeof(fake_node)));
  n->ai.ai_flags = kFakeFlag;
  n->ai.ai_socktype = SOCK_STREAM;
  n->ai.ai_protocol = IPPROTO_TCP;
  n->ai.ai_addr = reinterpret_cast<sockaddr *>(&n->addr);
  if (text == "unix") {
    n->addr.ss_family = AF_UNIX;
    n->ai.ai_family = AF_UNIX;
    n->ai.ai_addrlen = sizeof n->addr;
  } else if (text.find(':') != std::string::npos) {
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&n->addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr);
    n->ai.ai_family = AF_INET6;
    n->ai.ai_addrlen = sizeof(sockaddr_in6);
  } else {
    auto *in = reinterpret_cast<sockaddr_in *>(&n->addr);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, text.c_str(), &in->sin_addr);
    n->ai.ai_family = AF_INET;
    n->ai.ai_addrlen = sizeof(sockaddr_in);
  }
  return &n->ai;
}

}  // namespace

fake_resolver::fake_resolver() : previous_(wh_http_resolver) {
  g_active = this;
  wh_http_resolver = {resolve, release};
}

fake_resolver::~fake_resolver() {
  wh_http_resolver = previous_;
  g_active = nullptr;
}

void fake_resolver::set(const std::string &host, std::vector<std::vector<std::string>> answers) {
  std::lock_guard<std::mutex> lock(mu_);
  answers_[host] = std::move(answers);
}

int fake_resolver::calls(const std::string &host) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = calls_.find(host);
  return it == calls_.end() ? 0 : it->second;
}

int fake_resolver::total_calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

int fake_resolver::resolve(const char *host, const char *service, const addrinfo *hints,
                           addrinfo **out) {
  *out = nullptr;
  fake_resolver *self = g_active;
  if (!self) return EAI_FAIL;
  if (self->delay_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(self->delay_ms_));
  std::vector<std::string> answer;
  {
    std::lock_guard<std::mutex> lock(self->mu_);
    ++self->total_;
    int k = self->calls_[host]++;
    auto it = self->answers_.find(host);
    if (it == self->answers_.end()) {
      if (!self->pass_through_) return EAI_NONAME;
    } else {
      if (it->second.empty()) return EAI_NONAME;
      answer = it->second[std::min(static_cast<size_t>(k), it->second.size() - 1)];
      if (answer.empty()) return EAI_NONAME;
    }
  }
  if (answer.empty()) return getaddrinfo(host, service, hints, out);
  int port = atoi(service);
  addrinfo *head = nullptr, **tail = &head;
  for (const auto &a : answer) {
    *tail = make_node(a, port);
    tail = &(*tail)->ai_next;
  }
  *out = head;
  return 0;
}

void fake_resolver::release(addrinfo *list) {
  if (list && !(list->ai_flags & kFakeFlag)) {
    freeaddrinfo(list);
    return;
  }
  while (list) {
    addrinfo *next = list->ai_next;
    free(list);  // the node and its address are one block
    list = next;
  }
}

}  // namespace vdtest
