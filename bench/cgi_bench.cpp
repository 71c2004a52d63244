// Whole-process time of a CGI list of a full store (64 hooks with 16 headers
// each and 50 log entries; every field filled to capacity, and with the sizes
// of a real node), beside a trivial C++ program that prints one line and the
// program's own start-up (--version). Works in a temporary folder, never the
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
#include <memory>
#include <string>
#include <vector>

#include "bench_stores.h"
#include "wh_store.h"

namespace {

// Runs one process with standard output into `out_fd`; returns wall
// milliseconds, or -1 when it did not exit with status 0.
double run_ms(const char *exe, char *const envp[], int out_fd, const char *arg = nullptr) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    char *argv[] = {const_cast<char *>(exe), const_cast<char *>(arg), nullptr};
    execve(argv[0], argv, envp);
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? ms : -1;
}

// Median of `rounds` runs; -1 when any run failed.
template <class Fn>
double median_of(int rounds, Fn run) {
  std::vector<double> v;
  for (int i = 0; i < rounds; ++i) {
    v.push_back(run());
    if (v.back() < 0) return -1;
  }
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string own_dir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return p.substr(0, p.rfind('/'));
}

long file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 50;
  if (rounds < 1) rounds = 1;
  char dir[] = "/tmp/vd-cgi-bench-XXXXXX";
  if (!mkdtemp(dir)) return perror("mkdtemp"), 1;
  std::string store_path = std::string(dir) + "/hooks.json", out_path = std::string(dir) + "/out";
  setenv("WEBHOOK_STORE_PATH", store_path.c_str(), 1);
  std::string store_env = "WEBHOOK_STORE_PATH=" + store_path;
  char *envp[] = {store_env.data(), const_cast<char *>("QUERY_STRING=action=list"), nullptr};
  std::string trivial = own_dir() + "/bench_trivial_line";
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);

  printf("CGI list: one whole process, %d rounds, medians\n", rounds);
  double base = median_of(rounds, [&] { return run_ms(trivial.c_str(), envp, null); });
  double start =
      median_of(rounds, [&] { return run_ms(VD_PROGRAM_PATH, envp, null, "--version"); });
  printf("  trivial C++ program (one line):   %7.2f ms\n", base);
  printf("  vavode_deveruz --version:         %7.2f ms\n", start);

  struct {
    const char *name;
    void (*make)(wh_store *);
  } cases[] = {{"full-capacity", bench::full_store}, {"realistic", bench::realistic_store}};
  auto store = std::make_unique<wh_store>();
  for (auto &c : cases) {
    c.make(store.get());
    char err[320];
    if (wh_store_save(store.get(), err, sizeof err) != 0) return fprintf(stderr, "%s\n", err), 1;
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    double ms = median_of(1, [&] { return run_ms(VD_PROGRAM_PATH, envp, out); });
    close(out);
    long answer = file_size(out_path);
    ms = median_of(rounds, [&] { return run_ms(VD_PROGRAM_PATH, envp, null); });
    if (ms < 0 || base < 0 || start < 0) return fprintf(stderr, "a process failed\n"), 1;
    printf(
        "  list, %-13s store (%7ld-byte file, %6ld-byte answer): %7.2f ms, ratio to the trivial "
        "program %.2f\n",
        c.name, file_size(store_path), answer, ms, ms / base);
  }
  close(null);
  nftw(
      dir, [](const char *p, const struct stat *, int, FTW *) { return remove(p); }, 8,
      FTW_DEPTH | FTW_PHYS);
  return 0;
}
