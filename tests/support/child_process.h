// Runs the program (or any executable) as a black box: argv, an exact
// environment and standard input in, output bytes and exit status out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vdtest {

// Milliseconds until the deadline, 0 once it has passed.
int ms_left(std::chrono::steady_clock::time_point deadline);

// Path of the built executable under test.
const char *program_path();

// A small environment for the child: PATH, a HOME under `home` when given, and
// any sanitizer settings of the test process. Add to it as needed.
std::vector<std::string> base_env(const std::string &home = {});

struct run_result {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
  bool timed_out = false;
};

// Runs in the child between fork and exec, to set limits or drop privileges;
// plain system calls only.
using child_setup = std::function<void()>;

// Runs to completion: feeds `input` then closes standard input.
run_result run(const std::vector<std::string> &args, const std::vector<std::string> &env,
               std::string_view input = {}, int timeout_ms = 20000, const child_setup &setup = {});

// The same with standard output a pipe whose reading end is already closed:
// every write to it fails (or raises SIGPIPE). `out` stays empty.
run_result run_output_closed(const std::vector<std::string> &args,
                             const std::vector<std::string> &env, std::string_view input = {},
                             int timeout_ms = 20000);

// A running child with pipes on its standard input and output, for exchanges
// that need to see a reply before writing more.
class child_process {
 public:
  child_process(const std::vector<std::string> &args, const std::vector<std::string> &env);
  ~child_process();
  child_process(const child_process &) = delete;
  child_process &operator=(const child_process &) = delete;

  bool write(std::string_view bytes);
  void close_stdin();
  // Closes the reading end of the child's standard output: a reader gone.
  void close_stdout();
  // Next LF-terminated line of standard output (LF removed), or nothing when
  // the timeout passes or output ends first.
  std::optional<std::string> read_line(int timeout_ms = 10000);
  // Whatever standard output still delivers until it ends or the timeout passes.
  std::string read_rest(int timeout_ms = 10000);
  // Waits for exit; 128 + signal for a killed child, -1 on timeout.
  int wait(int timeout_ms = 10000);
  pid_t pid() const { return pid_; }

 private:
  // Waits up to timeout_ms for output and reads what came (platform);
  // false at its end or on timeout.
  bool fill(int timeout_ms);
  // Keeps what one read brought; false, and the output ended, for nothing.
  bool keep(const char *bytes, long got);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string pending_;
  bool eof_ = false;
};

}  // namespace vdtest
