// What both runners share: run() over the platform's run_child, the pipe
// writes and closes on C runtime descriptors, and line reading over the
// platform's fill().
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "child_process.h"

namespace vdtest {

namespace {

using clock_type = std::chrono::steady_clock;

}  // namespace

// The platform's runner (support/<platform>/child_process.cpp): to the end,
// or to the timeout; with out_closed, standard output has no reader.
run_result run_child(const std::vector<std::string> &args, const std::vector<std::string> &env,
                     std::string_view input, int timeout_ms, bool out_closed,
                     const child_setup &setup);

run_result run(const std::vector<std::string> &args, const std::vector<std::string> &env,
               std::string_view input, int timeout_ms, const child_setup &setup) {
  return run_child(args, env, input, timeout_ms, false, setup);
}

run_result run_output_closed(const std::vector<std::string> &args,
                             const std::vector<std::string> &env, std::string_view input,
                             int timeout_ms) {
  return run_child(args, env, input, timeout_ms, true, {});
}

int ms_left(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool child_process::write(std::string_view bytes) {
  while (!bytes.empty()) {
    // At most 64 KiB a write: the C runtime's count is an unsigned int on Windows.
    auto w =
        ::write(in_, bytes.data(), static_cast<unsigned>(std::min<size_t>(bytes.size(), 65536)));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(w));
  }
  return true;
}

void child_process::close_stdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void child_process::close_stdout() {
  if (out_ >= 0) close(out_);
  out_ = -1;
  eof_ = true;
}

bool child_process::keep(const char *bytes, long got) {
  if (got <= 0) {
    eof_ = true;
    return false;
  }
  pending_.append(bytes, static_cast<size_t>(got));
  return true;
}

std::optional<std::string> child_process::read_line(int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      std::string line = pending_.substr(0, lf);
      pending_.erase(0, lf + 1);
      return line;
    }
    if (!fill(ms_left(deadline))) return std::nullopt;
  }
}

std::string child_process::read_rest(int timeout_ms) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  while (fill(ms_left(deadline))) {
  }
  return std::exchange(pending_, std::string());
}

}  // namespace vdtest
