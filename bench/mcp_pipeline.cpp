// MCP throughput and latency through one server process:
//  1. 10,000 pipelined requests, ping and tools/list alternating;
//  2. pipelined tools/call webhook_list on a full store (64 hooks with 16
//     headers each, every field at capacity, 50 log entries): calls per second;
//  3. the same call as sequential round trips: per-call latency.
// Requests are written by a separate thread while the main thread reads the
// replies, so neither pipe can fill up and stall the other side. Every reply
// is checked (id in order, expected result) before the figures are printed.
// The store lives in a temporary folder, never the user's.
//
// The peak is the server's own VmHWM, sampled after the last reply while its
// standard input is still open. wait4's ru_maxrss is not used: it also counts
// the pages of this program that the forked child shared before exec.
//
//   bench_mcp_pipeline [requests] [list calls]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

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

std::string request(long id, const char *method, const char *params = nullptr) {
  std::string r =
      "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\"";
  if (params) r += std::string(",\"params\":") + params;
  return r + "}\n";
}

constexpr char kListCall[] = "{\"name\":\"webhook_list\",\"arguments\":{}}";

// A running server with pipes on its standard streams.
struct server {
  pid_t pid = -1;
  int in = -1, out = -1;

  explicit server(const std::string &store_path) {
    int pin[2], pout[2];
    if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC)) {
      perror("pipe");
      exit(1);
    }
    pid = fork();
    if (pid == 0) {
      dup2(pin[0], 0);
      dup2(pout[1], 1);
      signal(SIGPIPE, SIG_DFL);
      setenv("WEBHOOK_STORE_PATH", store_path.c_str(), 1);
      execl(VD_PROGRAM_PATH, VD_PROGRAM_PATH, "--mcp", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    in = pin[1];
    out = pout[0];
  }

  // Closes standard input and returns the exit status (-1 if not a clean exit).
  int finish() {
    if (in >= 0) close(in);
    in = -1;
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

// Reads reply lines into `pending` until one is complete; false at end of output.
bool read_line(int fd, std::string &pending, std::string &line) {
  char buf[65536];
  size_t lf;
  while ((lf = pending.find('\n')) == std::string::npos) {
    ssize_t got = read(fd, buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    pending.append(buf, static_cast<size_t>(got));
  }
  line.assign(pending, 0, lf);
  pending.erase(0, lf + 1);
  return true;
}

// True when the reply carries id n and the result check accepts what follows.
using reply_check = std::function<bool(long n, std::string_view result)>;

bool reply_ok(std::string_view line, long n, const reply_check &check) {
  std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(n) + ",\"result\":";
  return line.substr(0, head.size()) == head && check(n, line.substr(head.size()));
}

struct run_figures {
  long replies = 0, bad = 0;
  size_t out_bytes = 0;
  int exit_status = -1;
  double secs = 0;
  long peak_kib = -1;
};

// Writes all `count` requests of `input` at once and reads every reply.
run_figures pipelined(const std::string &store, const std::string &input, long count,
                      const reply_check &check) {
  run_figures f;
  auto start = clock_type::now();
  server s(store);
  // The writer keeps standard input open until the peak has been sampled, so
  // the server is still alive then.
  std::atomic<bool> sampled{false};
  std::thread writer([&] {
    write_all(s.in, input.data(), input.size());
    sampled.wait(false);
  });
  auto sample_and_release = [&] {
    if (sampled) return;
    f.peak_kib = peak_rss_kib(s.pid);
    sampled = true;
    sampled.notify_one();
  };
  std::string pending, line;
  while (f.replies < count && read_line(s.out, pending, line)) {
    f.out_bytes += line.size() + 1;
    if (!reply_ok(line, f.replies, check) && f.bad++ < 3)
      fprintf(stderr, "reply %ld out of order or wrong: %.120s\n", f.replies, line.c_str());
    ++f.replies;
  }
  sample_and_release();  // also when output ended early: the writer must finish
  writer.join();
  f.exit_status = s.finish();
  f.secs = std::chrono::duration<double>(clock_type::now() - start).count();
  return f;
}

// Sequential round trips of webhook_list: one request, wait for its reply.
std::vector<double> round_trips(const std::string &store, long count, const reply_check &check,
                                long *bad) {
  std::vector<double> us;
  server s(store);
  std::string pending, line;
  for (long i = 0; i < count; ++i) {
    std::string req = request(i, "tools/call", kListCall);
    auto t0 = clock_type::now();
    if (!write_all(s.in, req.data(), req.size()) || !read_line(s.out, pending, line)) break;
    us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
    if (!reply_ok(line, i, check)) ++*bad;
  }
  if (s.finish() != 0) ++*bad;
  return us;
}

// 64 hooks at full capacity, each with 16 headers and a URL with a query, and
// 50 log entries, as the JSON text of the store file.
std::string full_store_text() {
  auto str = [](const std::string &s) { return "\"" + s + "\""; };
  std::string header =
      "{\"name\":" + str(std::string(127, 'H')) + ",\"value\":" + str(std::string(1023, 'v')) + "}";
  std::string headers = header;
  for (int j = 1; j < 16; ++j) headers += "," + header;
  std::string t = "{\"version\":1,\"hooks\":[";
  for (int i = 0; i < 64; ++i) {
    std::string name = "hook-" + std::to_string(100 + i) + std::string(55, 'n');
    std::string url = "https://relay.example/" + std::string(1000, 'p') + "?token=";
    url += std::string(2047 - url.size(), 't');
    t += (i ? ",{" : "{") + std::string("\"name\":") + str(name) + ",\"url\":" + str(url) +
         ",\"method\":\"PATCH\",\"desc\":" + str(std::string(199, 'd')) +
         ",\"sig\":\"v2\",\"secret\":" + str(std::string(255, 's')) + ",\"headers\":[" + headers +
         "]}";
  }
  t += "],\"log\":[";
  for (int i = 0; i < 50; ++i)
    t += (i ? "," : "") + std::string("{\"at\":\"2026-03-01T09:05:00Z\",\"name\":") +
         str(std::string(63, 'n')) +
         ",\"status\":503,\"ok\":false,\"bytes\":4096,\"ms\":15000,"
         "\"error\":" +
         str(std::string(191, 'e')) + "}";
  return t + "]}";
}

void print_pipelined(const char *what, const run_figures &f, long count) {
  printf("%s\n", what);
  printf("  replies         %ld of %ld, %ld wrong or out of order, %zu bytes\n", f.replies, count,
         f.bad, f.out_bytes);
  printf("  exit status     %d\n", f.exit_status);
  printf("  elapsed         %.3f s (process start to exit)\n", f.secs);
  printf("  per second      %.0f\n", f.replies / f.secs);
  printf("  peak memory     %ld KiB (server VmHWM)\n", f.peak_kib);
}

}  // namespace

int main(int argc, char **argv) {
  long count = argc > 1 ? strtol(argv[1], nullptr, 10) : 10000;
  if (count <= 0) count = 10000;
  long list_calls = argc > 2 ? strtol(argv[2], nullptr, 10) : 2000;
  if (list_calls <= 0) list_calls = 2000;
  signal(SIGPIPE, SIG_IGN);

  char dir[] = "/tmp/vd_mcp_bench_XXXXXX";
  if (!mkdtemp(dir)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string store = std::string(dir) + "/hooks.json";

  // 1. ping and tools/list, no store file.
  std::string input;
  for (long i = 0; i < count; ++i) input += request(i, i % 2 ? "tools/list" : "ping");
  auto methods = [](long n, std::string_view r) {
    return n % 2 ? r.substr(0, 11) == "{\"tools\":[{" : r == "{}}";
  };
  run_figures basic = pipelined(store, input, count, methods);
  print_pipelined("ping and tools/list alternating, pipelined", basic, count);

  // 2. and 3. webhook_list on the full store.
  std::string text = full_store_text();
  std::ofstream(store, std::ios::binary) << text;
  const std::string list_head =
      "{\"content\":[{\"type\":\"text\",\"text\":\"64 configured webhooks\\n\\n- hook-100";
  auto listed = [&](long, std::string_view r) {
    return r.substr(0, list_head.size()) == list_head && r.find("Store warning") == r.npos &&
           r.find("vvvv") == r.npos && r.find("ssss") == r.npos && r.ends_with("}]}}");
  };
  input.clear();
  for (long i = 0; i < list_calls; ++i) input += request(i, "tools/call", kListCall);
  run_figures list = pipelined(store, input, list_calls, listed);
  printf("\nstore file      %zu bytes (64 hooks x 16 headers at capacity, 50 log entries)\n",
         text.size());
  print_pipelined("tools/call webhook_list, pipelined", list, list_calls);

  long trip_bad = 0;
  long trips = std::min(list_calls, 500L);
  std::vector<double> us = round_trips(store, trips, listed, &trip_bad);
  std::sort(us.begin(), us.end());
  printf("tools/call webhook_list, one at a time (%zu round trips, %ld wrong)\n", us.size(),
         trip_bad);
  if (!us.empty())
    printf("  latency         median %.0f us, p90 %.0f us, p99 %.0f us, max %.0f us\n",
           us[us.size() / 2], us[us.size() * 9 / 10], us[us.size() * 99 / 100], us.back());

  remove(store.c_str());
  remove(dir);
  bool pass = basic.replies == count && basic.bad == 0 && basic.exit_status == 0 &&
              list.replies == list_calls && list.bad == 0 && list.exit_status == 0 &&
              static_cast<long>(us.size()) == trips && trip_bad == 0;
  printf("%s\n", pass ? "OK: every request answered once, in order" : "FAILED");
  return pass ? 0 : 1;
}
