// The process runner on Windows: CreateProcessW with pipes on the standard
// streams. Pipe handles become C runtime descriptors, so the class keeps the
// same members as on POSIX; the process is found again by its id.
#include "child_process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "windows/utf16.h"

namespace vdtest {

namespace {

using clock_type = std::chrono::steady_clock;

std::wstring to_wide(const std::string &s) {
  std::wstring w(s.size() + 1, L'\0');
  int n = wh_utf16(s.c_str(), w.data(), w.size(), false);
  w.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return w;
}

// One argument as CommandLineToArgvW reads it back.
void append_quoted(std::wstring &line, const std::wstring &arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    line += c;
  }
  line.append(slashes * 2, L'\\');
  line += L'"';
}

// The process handles of running children, by id: the handle keeps the exit
// code (and the id) alive until the child is waited for.
std::mutex g_mu;
std::map<pid_t, HANDLE> g_procs;

int to_fd(HANDLE h, int flags) {
  return _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
}

// Starts the program with pipes on its standard streams (standard error
// shared with the test unless err_fd is given); returns the process id or -1.
pid_t spawn(const std::vector<std::string> &args, const std::vector<std::string> &env, int *in_fd,
            int *out_fd, int *err_fd, bool out_closed = false) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in_r, in_w, out_r, out_w, err_r = nullptr, err_w = GetStdHandle(STD_ERROR_HANDLE);
  if (!CreatePipe(&in_r, &in_w, &inherit, 0) || !CreatePipe(&out_r, &out_w, &inherit, 0)) return -1;
  if (err_fd && !CreatePipe(&err_r, &err_w, &inherit, 0)) return -1;
  SetHandleInformation(in_w, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
  if (err_r) SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
  if (out_closed) {
    CloseHandle(out_r);
    out_r = nullptr;
  }

  std::wstring line;
  for (const auto &a : args) append_quoted(line, to_wide(a));
  std::vector<std::wstring> vars;
  for (const auto &e : env) vars.push_back(to_wide(e));
  std::sort(vars.begin(), vars.end());
  std::wstring block;
  for (const auto &v : vars) block += v + L'\0';
  block += L'\0';

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_r;
  si.hStdOutput = out_w;
  si.hStdError = err_w;
  PROCESS_INFORMATION pi{};
  // The program is the command line's first word, so Wine can also start a
  // Unix program named by its Unix path. Under load (fifty starts at once)
  // Wine's process creation now and then fails with ERROR_INTERNAL_ERROR
  // before the program runs at all; that start is tried again.
  BOOL ok = FALSE;
  for (int attempt = 0; attempt < 5; ++attempt) {
    ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        block.data(), nullptr, &si, &pi);
    if (ok || GetLastError() != ERROR_INTERNAL_ERROR) break;
    Sleep(50u * static_cast<DWORD>(attempt + 1));
  }
  CloseHandle(in_r);
  CloseHandle(out_w);
  if (err_r) CloseHandle(err_w);
  if (!ok) {
    CloseHandle(in_w);
    if (out_r) CloseHandle(out_r);
    if (err_r) CloseHandle(err_r);
    return -1;
  }
  CloseHandle(pi.hThread);
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_procs[static_cast<pid_t>(pi.dwProcessId)] = pi.hProcess;
  }
  *in_fd = to_fd(in_w, _O_WRONLY);
  *out_fd = out_r ? to_fd(out_r, _O_RDONLY) : -1;
  if (err_fd) *err_fd = to_fd(err_r, _O_RDONLY);
  return static_cast<pid_t>(pi.dwProcessId);
}

// Bytes waiting in a pipe; -1 once the writer has gone and nothing is left.
long available(int fd) {
  DWORD n = 0;
  if (!PeekNamedPipe(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), nullptr, 0, nullptr, &n,
                     nullptr))
    return -1;
  return static_cast<long>(n);
}

// Exit status, or -1 while it runs past the timeout (then, with kill_late,
// it is ended). The handle is released once the status is known.
int wait_exit(pid_t pid, int timeout_ms, bool kill_late) {
  HANDLE h;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_procs.find(pid);
    if (it == g_procs.end()) return -1;
    h = it->second;
  }
  if (WaitForSingleObject(h, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
    if (!kill_late) return -1;
    TerminateProcess(h, 137);
    WaitForSingleObject(h, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(h, &code);
  CloseHandle(h);
  std::lock_guard<std::mutex> lock(g_mu);
  g_procs.erase(pid);
  return static_cast<int>(code);
}

}  // namespace

run_result run_child(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     std::string_view input, int timeout_ms, bool out_closed, const child_setup &) {
  run_result r;
  int in = -1, out = -1, err = -1;
  pid_t pid = spawn(args, env, &in, &out, &err, out_closed);
  if (pid < 0) {
    r.err = "could not start the child: Windows error " + std::to_string(GetLastError());
    return r;
  }
  // Pipes have no non-blocking writes here: the input goes from a thread of
  // its own while this one reads.
  std::thread writer([in, input] {
    size_t done = 0;
    while (done < input.size()) {
      int w = _write(in, input.data() + done, static_cast<unsigned>(input.size() - done));
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    _close(in);
  });
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  char buf[65536];
  while (out >= 0 || err >= 0) {
    bool idle = true;
    for (int *fd : {&out, &err}) {
      if (*fd < 0) continue;
      long n = available(*fd);
      if (n == 0) continue;
      idle = false;
      int got = n < 0 ? 0 : _read(*fd, buf, static_cast<unsigned>(std::min<long>(n, sizeof buf)));
      if (got <= 0) {
        _close(*fd);
        *fd = -1;
      } else {
        (fd == &out ? r.out : r.err).append(buf, static_cast<size_t>(got));
      }
    }
    if (ms_left(deadline) == 0) {
      r.timed_out = true;
      break;
    }
    if (idle) Sleep(1);
  }
  int status = wait_exit(pid, r.timed_out ? 0 : ms_left(deadline) + 1000, true);
  r.status = r.timed_out ? -1 : status;
  for (int fd : {out, err})
    if (fd >= 0) _close(fd);
  writer.join();
  return r;
}

const char *program_path() {
  // Wine maps the Unix root to drive Z:.
  static const std::string path = [] {
    std::string p = VD_PROGRAM_PATH;
    if (!p.empty() && p[0] == '/') p = "Z:" + p;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
  }();
  return path.c_str();
}

std::vector<std::string> base_env(const std::string &home) {
  std::vector<std::string> env;
  for (const char *name : {"SystemRoot", "windir", "PATH", "TEMP", "TMP"})
    if (const char *v = getenv(name)) env.push_back(std::string(name) + "=" + v);
  if (!home.empty()) env.push_back("USERPROFILE=" + home);
  return env;
}

child_process::child_process(const std::vector<std::string> &args,
                             const std::vector<std::string> &env) {
  pid_ = spawn(args, env, &in_, &out_, nullptr);
}

child_process::~child_process() {
  if (in_ >= 0) _close(in_);
  if (out_ >= 0) _close(out_);
  if (pid_ > 0) wait_exit(pid_, 0, true);
}

bool child_process::fill(int timeout_ms) {
  if (eof_) return false;
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  long n;
  while ((n = available(out_)) == 0) {
    if (ms_left(deadline) == 0) return false;
    Sleep(1);
  }
  char buf[65536];
  return keep(buf,
              n < 0 ? 0 : _read(out_, buf, static_cast<unsigned>(std::min<long>(n, sizeof buf))));
}

int child_process::wait(int timeout_ms) {
  int status = wait_exit(pid_, timeout_ms, false);
  if (status >= 0) pid_ = -1;
  return status;
}

}  // namespace vdtest
