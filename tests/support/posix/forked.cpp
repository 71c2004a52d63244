#include "forked.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "test_platform.h"

namespace vdtest {

pid_t fork_run(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  return pid;
}

int wait_forked(pid_t pid) {
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return st;
}

std::string in_child(const std::function<std::string()> &fn, bool unprivileged, int timeout_ms) {
  int p[2];
  if (pipe(p) != 0) return "(no pipe)";
  pid_t pid = fork_run([&] {
    close(p[0]);
    std::string r;
    if (unprivileged && !become_nobody()) {
      r = "(cannot become nobody)";
    } else {
      prctl(PR_SET_DUMPABLE, 1);  // keeps /proc/self readable for the sanitizers
      r = fn();
    }
    (void)!write(p[1], r.data(), r.size());
    return 0;
  });
  close(p[1]);
  std::string out = "(hung)";
  pollfd pf = {p[0], POLLIN, 0};
  if (pid > 0 && poll(&pf, 1, timeout_ms) == 1) {
    char buf[512];
    ssize_t n = read(p[0], buf, sizeof buf);
    out.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }
  close(p[0]);
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return out;
}

}  // namespace vdtest
