#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vdtest {

namespace {

using clock_type = std::chrono::steady_clock;

// Forks and execs with pipes on standard input and output, and on standard
// error when err_fd is given; returns the pid or -1. With out_closed the
// output pipe has no reader from the start (*out_fd is -1).
pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &env, int *in_fd,
            int *out_fd, int *err_fd, bool out_closed = false, const child_setup &setup = {}) {
  int pin[2], pout[2], perr[2] = {-1, -1};
  if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC)) return -1;
  if (out_closed) {
    close(pout[0]);
    pout[0] = -1;
  }
  if (err_fd && pipe2(perr, O_CLOEXEC)) return -1;
  std::vector<char *> argv, envp;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pin[0], 0);
    dup2(pout[1], 1);
    if (err_fd) dup2(perr[1], 2);
    signal(SIGPIPE, SIG_DFL);
    if (setup) setup();
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(pin[0]);
  close(pout[1]);
  *in_fd = pin[1];
  *out_fd = pout[0];
  if (err_fd) {
    close(perr[1]);
    *err_fd = perr[0];
  }
  return pid;
}

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

}  // namespace

const char *program_path() {
  return VD_PROGRAM_PATH;
}

std::vector<std::string> base_env(const std::string &home) {
  std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
  if (!home.empty()) env.push_back("HOME=" + home);
  for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char *v = getenv(name)) env.push_back(std::string(name) + "=" + v);
  return env;
}

run_result run_child(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     std::string_view input, int timeout_ms, bool out_closed,
                     const child_setup &setup) {
  signal(SIGPIPE, SIG_IGN);
  run_result r;
  int in = -1, out = -1, err = -1;
  pid_t pid = spawn(args, env, &in, &out, &err, out_closed, setup);
  if (pid < 0) return r;
  fcntl(in, F_SETFL, O_NONBLOCK);
  size_t written = 0;
  if (input.empty()) {
    close(in);
    in = -1;
  }
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  while (out >= 0 || err >= 0) {
    pollfd fds[3];
    int n = 0;
    if (out >= 0) fds[n++] = {out, POLLIN, 0};
    if (err >= 0) fds[n++] = {err, POLLIN, 0};
    if (in >= 0) fds[n++] = {in, POLLOUT, 0};
    int left = ms_left(deadline);
    if (left == 0 || poll(fds, static_cast<nfds_t>(n), left) == 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (!fds[i].revents) continue;
      int fd = fds[i].fd;
      if (fd == in) {
        ssize_t w = ::write(in, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN) written = input.size();
        if (written == input.size()) {
          close(in);
          in = -1;
        }
        continue;
      }
      char buf[65536];
      ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0) {
        (fd == out ? r.out : r.err).append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fd);
        (fd == out ? out : err) = -1;
      }
    }
  }
  for (int fd : {in, out, err})
    if (fd >= 0) close(fd);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = decode_status(st);
  return r;
}

child_process::child_process(const std::vector<std::string> &args,
                             const std::vector<std::string> &env) {
  signal(SIGPIPE, SIG_IGN);
  // Standard error is shared with the test, so sanitizer reports stay visible.
  pid_ = spawn(args, env, &in_, &out_, nullptr);
}

child_process::~child_process() {
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool child_process::fill(int timeout_ms) {
  if (eof_) return false;
  pollfd p = {out_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[65536];
  return keep(buf, read(out_, buf, sizeof buf));
}

int child_process::wait(int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return decode_status(st);
    }
    if (ms_left(deadline) == 0) return -1;
    usleep(2000);
  }
}

}  // namespace vdtest
