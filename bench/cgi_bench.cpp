// Whole-process time of a CGI list of a full store (64 hooks with 16 headers
// each, every field filled to capacity, and 50 log entries), beside a trivial
// C++ program that prints one line. Works in a temporary folder, never the
// user's store.
//
// Usage: bench_cgi_bench [rounds]        (default 50)
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "wh_store.h"

namespace {

template <size_t N>
void fill(char (&field)[N], char c) {
  memset(field, c, N - 1);
  field[N - 1] = '\0';
}

void full_store(wh_store *s) {
  memset(s, 0, sizeof *s);
  s->hook_count = WH_MAX_HOOKS;
  for (int i = 0; i < WH_MAX_HOOKS; ++i) {
    wh_hook &h = s->hooks[i];
    fill(h.name, 'n');
    snprintf(h.name, 8, "hook-%02d", i);
    h.name[7] = 'n';
    fill(h.url, 'u');
    memcpy(h.url, "https://relay.example/p?", 24);  // the view redacts the long query
    snprintf(h.method, sizeof h.method, "PATCH");
    fill(h.desc, 'd');
    snprintf(h.sig, sizeof h.sig, "v2");
    fill(h.secret, 's');
    h.header_count = WH_MAX_HEADERS;
    for (wh_header &x : h.headers) {
      fill(x.name, 'H');
      fill(x.value, 'v');
    }
  }
  s->log_count = WH_MAX_LOG;
  for (wh_log_entry &e : s->log) {
    snprintf(e.at, sizeof e.at, "2024-01-01T00:00:00Z");
    fill(e.name, 'n');
    e.status = 503;
    e.bytes = 4096;
    e.ms = 15000;
    fill(e.error, 'e');
  }
}

// Runs one process with standard output into `out_fd`; returns wall
// milliseconds, or -1 when it did not exit with status 0.
double run_ms(const std::string &exe, char *const envp[], int out_fd, const char *arg = nullptr) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    char *argv[] = {const_cast<char *>(exe.c_str()), const_cast<char *>(arg), nullptr};
    execve(argv[0], argv, envp);
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? ms : -1;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string own_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return p.substr(0, p.rfind('/'));
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 50;
  if (rounds < 1) rounds = 1;
  char dir[] = "/tmp/vd-cgi-bench-XXXXXX";
  if (!mkdtemp(dir)) return perror("mkdtemp"), 1;
  std::string store_path = std::string(dir) + "/hooks.json";
  setenv("WEBHOOK_STORE_PATH", store_path.c_str(), 1);
  auto store = std::make_unique<wh_store>();
  full_store(store.get());
  char err[320];
  if (wh_store_save(store.get(), err, sizeof err) != 0) return fprintf(stderr, "%s\n", err), 1;

  std::string store_env = "WEBHOOK_STORE_PATH=" + store_path;
  char *envp[] = {const_cast<char *>(store_env.c_str()),
                  const_cast<char *>("QUERY_STRING=action=list"), nullptr};
  std::string out_path = std::string(dir) + "/out";
  int out = open(out_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::string trivial = own_dir() + "/bench_trivial_line";

  std::vector<double> ours, base, start;
  for (int i = 0; i < rounds; ++i) {
    ours.push_back(run_ms(VD_PROGRAM_PATH, envp, out));
    base.push_back(run_ms(trivial, envp, null));
    start.push_back(run_ms(VD_PROGRAM_PATH, envp, null, "--version"));
    if (ours.back() < 0 || base.back() < 0 || start.back() < 0)
      return fprintf(stderr, "a process failed\n"), 1;
  }
  off_t answer = lseek(out, 0, SEEK_END) / rounds;
  close(out);
  close(null);
  struct stat st {};
  stat(store_path.c_str(), &st);

  double m_ours = median(ours), m_base = median(base);
  printf("CGI list of a full store (64 hooks x 16 headers, 50 log entries), %d rounds\n", rounds);
  printf("  store file %ld bytes, answer %ld bytes\n", static_cast<long>(st.st_size),
         static_cast<long>(answer));
  printf("  vavode_deveruz, action=list: median %.2f ms\n", m_ours);
  printf("  vavode_deveruz --version:     median %.2f ms (start-up alone)\n", median(start));
  printf("  trivial C++ program:         median %.2f ms\n", m_base);
  printf("  ratio list / trivial: %.2f\n", m_ours / m_base);
  nftw(
      dir, [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 8,
      FTW_DEPTH | FTW_PHYS);
  return 0;
}
