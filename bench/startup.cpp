// Start-up cost: the whole-process time of `--version`, as built (libstdc++
// linked in statically) and as a default dynamic build of the same code,
// against a trivial C++ program that prints one line. Runs the three in turn,
// many times, and prints median and mean per process and the ratio of medians.
//
// Usage: bench_startup [rounds]        (default 500)
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

namespace {

// One fresh process, output to /dev/null; its wall time in microseconds.
double run_once(const char *path, const char *arg) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    char *argv[] = {const_cast<char *>(path), const_cast<char *>(arg), nullptr};
    char *envp[] = {nullptr};
    execve(path, arg ? argv : argv + 0, envp);
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    fprintf(stderr, "%s failed\n", path);
    exit(1);
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
      .count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 500;
  if (rounds < 1) rounds = 1;
  struct subject {
    const char *label, *path, *arg;
    std::vector<double> us;
  } subjects[] = {
      {"trivial C++ program (floor)", VD_FLOOR_PATH, nullptr, {}},
      {"--version, as built", VD_PROGRAM_PATH, "--version", {}},
      {"--version, dynamic libstdc++", VD_DYNAMIC_PATH, "--version", {}},
  };
  for (auto &s : subjects) run_once(s.path, s.arg);  // warm the page cache
  for (int i = 0; i < rounds; ++i)
    for (auto &s : subjects) s.us.push_back(run_once(s.path, s.arg));

  double floor = median(subjects[0].us);
  printf("%-30s %12s %12s %8s\n", "process", "median us", "mean us", "ratio");
  for (auto &s : subjects) {
    double mean = std::accumulate(s.us.begin(), s.us.end(), 0.0) / s.us.size();
    printf("%-30s %12.0f %12.0f %7.2fx\n", s.label, median(s.us), mean, median(s.us) / floor);
  }
  return 0;
}
