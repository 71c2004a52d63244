// Pipelined MCP throughput: one server process, 10,000 requests (ping and
// tools/list alternating) written by a separate thread while the main thread
// reads the replies, so neither pipe can fill up and stall the other side.
// Checks that every request is answered once and in order, then prints the
// rate and the server's peak memory.
//
// The peak is the server's own VmHWM, sampled after the last reply while its
// standard input is still open. wait4's ru_maxrss is not used: it also counts
// the pages of this program that the forked child shared before exec.
//
//   bench_mcp_pipeline [requests]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Peak resident memory of a live process, in KiB; -1 when unknown.
long peak_rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string l;
  while (std::getline(f, l))
    if (l.rfind("VmHWM:", 0) == 0) return strtol(l.c_str() + 6, nullptr, 10);
  return -1;
}

std::string request(long i) {
  const char *method = i % 2 ? "tools/list" : "ping";
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"method\":\"" + method + "\"}\n";
}

}  // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? strtol(argv[1], nullptr, 10) : 10000;
  if (count <= 0) count = 10000;
  signal(SIGPIPE, SIG_IGN);

  std::string input;
  for (long i = 0; i < count; ++i) input += request(i);

  int pin[2], pout[2];
  if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC)) {
    perror("pipe");
    return 1;
  }
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pin[0], 0);
    dup2(pout[1], 1);
    signal(SIGPIPE, SIG_DFL);
    execl(VD_PROGRAM_PATH, VD_PROGRAM_PATH, "--mcp", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pin[0]);
  close(pout[1]);

  // The writer keeps standard input open until the peak has been sampled, so
  // the server is still alive then.
  std::atomic<bool> sampled{false};
  std::thread writer([&] {
    write_all(pin[1], input.data(), input.size());
    sampled.wait(false);
    close(pin[1]);
  });
  long peak_kib = -1;
  auto sample_and_release = [&] {
    if (sampled) return;
    peak_kib = peak_rss_kib(pid);
    sampled = true;
    sampled.notify_one();
  };

  // Reads every reply line and checks that the n-th carries id n and the
  // result its method calls for.
  long seen = 0, bad = 0;
  size_t out_bytes = 0;
  std::string pending;
  char buf[65536];
  for (;;) {
    ssize_t got = read(pout[0], buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out_bytes += static_cast<size_t>(got);
    pending.append(buf, static_cast<size_t>(got));
    size_t from = 0, lf;
    while ((lf = pending.find('\n', from)) != std::string::npos) {
      std::string_view line(pending.data() + from, lf - from);
      std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(seen) + ",\"result\":";
      bool ok = line.substr(0, head.size()) == head;
      if (ok && seen % 2 == 0) ok = line.substr(head.size()) == "{}}";
      if (ok && seen % 2 == 1) ok = line.substr(head.size(), 11) == "{\"tools\":[{";
      if (!ok && bad++ < 3)
        fprintf(stderr, "reply %ld out of order or wrong: %.120s\n", seen,
                std::string(line).c_str());
      ++seen;
      from = lf + 1;
    }
    pending.erase(0, from);
    if (seen >= count) sample_and_release();
  }
  sample_and_release();  // output ended early; the writer must still finish
  writer.join();
  close(pout[0]);

  int status = 0;
  waitpid(pid, &status, 0);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  printf("requests        %ld (ping and tools/list alternating)\n", count);
  printf("replies         %ld, %ld wrong or out of order, %zu bytes\n", seen, bad, out_bytes);
  printf("exit status     %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  printf("elapsed         %.3f s (process start to exit)\n", secs);
  printf("messages/s      %.0f\n", seen / secs);
  printf("peak memory     %ld KiB (server VmHWM)\n", peak_kib);
  bool pass = seen == count && bad == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  printf("%s\n", pass ? "OK: every request answered once, in order" : "FAILED");
  return pass ? 0 : 1;
}
