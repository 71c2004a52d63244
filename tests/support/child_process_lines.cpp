// Line reading over the platform's fill(), shared by both runners.
#include <chrono>
#include <utility>

#include "child_process.h"

namespace vdtest {

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

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
