// Delivery cost: fire_hook against a local receiver, in a warm process and as
// a whole fresh process, beside the curl tool sending the same request; and
// the peak memory of a process that delivers a 1 MiB payload.
//
// Usage: bench_fire_bench [rounds]        (default 100)
// The program re-runs itself with --child ... for the fresh-process figures.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fire.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A minimal receiver: reads a request with its Content-Length body, answers
// 200 with a short body, closes.
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
  int port() const { return port_; }

 private:
  void loop() {
    std::vector<char> buf(1 << 16);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string req;
      size_t head_end = std::string::npos, want = 0;
      for (;;) {
        if (head_end != std::string::npos && req.size() >= head_end + want) break;
        ssize_t n = recv(c, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        req.append(buf.data(), static_cast<size_t>(n));
        if (head_end == std::string::npos &&
            (head_end = req.find("\r\n\r\n")) != std::string::npos) {
          head_end += 4;
          std::string head = req.substr(0, head_end);
          for (auto &ch : head) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
          size_t cl = head.find("\r\ncontent-length:");
          if (cl != std::string::npos) want = strtoull(head.c_str() + cl + 17, nullptr, 10);
        }
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
};

wh_hook *make_hook(const std::string &url, const char *sig) {
  auto *h = static_cast<wh_hook *>(calloc(1, sizeof(wh_hook)));
  snprintf(h->name, sizeof h->name, "bench");
  snprintf(h->url, sizeof h->url, "%s", url.c_str());
  snprintf(h->method, sizeof h->method, "POST");
  snprintf(h->sig, sizeof h->sig, "%s", sig);
  snprintf(h->secret, sizeof h->secret, "bench-secret");
  return h;
}

std::string payload_of(size_t n) {
  if (n <= 2) return "{}";
  std::string p = "{\"d\":\"" + std::string(n - 8, 'x') + "\"}";
  return p;
}

long peak_kib_self() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// Child mode: one delivery (or none), then print the own peak memory.
int child(int argc, char **argv) {
  // --child <url> <payload bytes> <scheme|-> <deliver 0/1>
  if (argc < 6) return 2;
  std::string url = argv[2];
  size_t n = strtoull(argv[3], nullptr, 10);
  const char *sig = strcmp(argv[4], "-") == 0 ? "" : argv[4];
  bool deliver = strcmp(argv[5], "1") == 0;
  std::string payload = payload_of(n);
  wh_hook *h = make_hook(url, sig);
  auto *r = static_cast<wh_fire_result *>(calloc(1, sizeof(wh_fire_result)));
  int rc = 0;
  if (deliver) rc = fire_hook(h, payload.data(), payload.size(), "", r);
  if (rc != 0 || (deliver && r->status != 200)) {
    fprintf(stderr, "delivery failed: %s\n", r->error);
    return 1;
  }
  printf("%ld\n", peak_kib_self());
  free(r);
  free(h);
  return 0;
}

struct proc_result {
  double ms;
  long peak_kib;
  int status;
};

proc_result run_process(const std::vector<std::string> &args, bool quiet_stdout) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  auto t0 = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (quiet_stdout) {
      FILE *null = fopen("/dev/null", "w");
      if (null) dup2(fileno(null), 1);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int st = 0;
  rusage u{};
  wait4(pid, &st, 0, &u);
  double ms = std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
  return {ms, u.ru_maxrss, WIFEXITED(st) ? WEXITSTATUS(st) : 128};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string self_exe() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

int main(int argc, char **argv) {
  setenv("WEBHOOK_ALLOW_PRIVATE", "1", 1);
  if (argc > 1 && strcmp(argv[1], "--child") == 0) return child(argc, argv);
  int rounds = argc > 1 ? atoi(argv[1]) : 100;
  if (rounds < 1) rounds = 1;

  sink_server server;
  std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/bench";
  std::string self = self_exe();
  const char *curl = "/usr/bin/curl";
  char tmpl[] = "/tmp/vd-bench-XXXXXX";
  int pf = mkstemp(tmpl);
  std::string big = payload_of(1048576);
  (void)!write(pf, big.data(), big.size());
  close(pf);

  printf("fire_hook benchmark, %d rounds, receiver on %s\n", rounds, url.c_str());

  // 1. Warm process: libcurl already loaded, one exchange per call.
  {
    wh_hook *h = make_hook(url, "github");
    auto *r = static_cast<wh_fire_result *>(calloc(1, sizeof(wh_fire_result)));
    std::string small = "{}";
    fire_hook(h, small.data(), small.size(), "", r);  // loads libcurl
    for (size_t size : {size_t{2}, size_t{1048576}}) {
      std::string p = payload_of(size);
      std::vector<double> t;
      for (int i = 0; i < rounds; ++i) {
        auto t0 = clock_type::now();
        int rc = fire_hook(h, p.data(), p.size(), "", r);
        t.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
        if (rc != 0) {
          fprintf(stderr, "fire_hook failed: %s\n", r->error);
          return 1;
        }
      }
      printf("  in-process fire_hook, %7zu-byte payload, github-signed: median %.3f ms\n", p.size(),
             median(t));
    }
    free(r);
    free(h);
  }

  // 2. Whole fresh processes: ours (exec, dlopen of libcurl, one delivery)
  // beside the curl tool sending the same request.
  std::vector<double> ours, theirs, idle;
  for (int i = 0; i < rounds; ++i) {
    auto a = run_process({self, "--child", url, "2", "github", "1"}, true);
    auto b = run_process({curl, "-s", "-o", "/dev/null", "--noproxy", "*", "-X", "POST", "-H",
                          "Content-Type: application/json; charset=utf-8", "-H",
                          "X-Hub-Signature-256: sha256=0", "--data-binary", "{}", url},
                         true);
    auto c = run_process({self, "--child", url, "2", "-", "0"}, true);
    if (a.status || b.status || c.status) {
      fprintf(stderr, "a process failed: ours %d, curl %d, idle %d\n", a.status, b.status,
              c.status);
      return 1;
    }
    ours.push_back(a.ms);
    theirs.push_back(b.ms);
    idle.push_back(c.ms);
  }
  double mo = median(ours), mc = median(theirs), mi = median(idle);
  printf("  fresh process, one delivery (incl. exec + dlopen): median %.2f ms\n", mo);
  printf("  fresh process, no delivery (start-up only):        median %.2f ms\n", mi);
  printf("  curl tool, same request:                           median %.2f ms\n", mc);
  printf("  ratio ours / curl: %.2f\n", mc > 0 ? mo / mc : 0.0);

  // 3. Peak memory (max RSS) of one process delivering a 1 MiB payload.
  auto idle_mem = run_process({self, "--child", url, "2", "-", "0"}, true);
  auto small_mem = run_process({self, "--child", url, "2", "github", "1"}, true);
  auto big_mem = run_process({self, "--child", url, "1048576", "github", "1"}, true);
  auto v2_mem = run_process({self, "--child", url, "1048576", "v2", "1"}, true);
  auto curl_mem = run_process({curl, "-s", "-o", "/dev/null", "--noproxy", "*", "-X", "POST",
                               "--data-binary", std::string("@") + tmpl, url},
                              true);
  printf("peak memory (max RSS):\n");
  printf("  process start-up, no delivery:        %6ld KiB\n", idle_mem.peak_kib);
  printf("  delivery, 2-byte payload, github:     %6ld KiB\n", small_mem.peak_kib);
  printf("  delivery, 1 MiB payload, github:      %6ld KiB\n", big_mem.peak_kib);
  printf("  delivery, 1 MiB payload, v2:          %6ld KiB\n", v2_mem.peak_kib);
  printf("  curl tool, 1 MiB payload from a file: %6ld KiB\n", curl_mem.peak_kib);
  unlink(tmpl);
  return 0;
}
