// The black-box cases that need POSIX: a FIFO, /proc, a shell pipeline.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "cgi_test_util.h"
#include "mcp_test_util.h"

namespace {

using namespace mcptest;
using vdtest::child_process;
using vdtest::program_path;
using vdtest::run;

using CgiApiPosix = cgitest::Cgi;

// Only a regular file is read as the body: a FIFO with no writer must not
// hold the process.
TEST_F(CgiApiPosix, FifoBodyFileIsNotRead) {
  auto s = new_store();
  add_hook(s.get(), "two");
  save(*s);
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto r = run({program_path()}, env("action=delete", {}, {"POST_BODY_FILE=" + fifo}), "", 5000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.out, cgitest::err(400, "delete needs a name"));
}

// Peak resident memory of a running process, in KiB.
long peak_rss_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string l;
  while (std::getline(f, l))
    if (l.rfind("VmHWM:", 0) == 0) return std::strtol(l.c_str() + 6, nullptr, 10);
  return -1;
}

TEST(McpFraming, OversizeMessageKeepsMemoryBounded) {
  child_process c(mcp_args(), mcp_env());
  std::string block(1 << 20, 'x');
  ASSERT_TRUE(c.write("{\"pad\":\""));
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(c.write(block));
  ASSERT_TRUE(c.write("\"}\n" + kPing1 + "\n"));
  EXPECT_EQ(c.read_line(30000), line(error("null", -32600, "request too large")));
  EXPECT_EQ(c.read_line(), line(kPong1));
  long peak = peak_rss_kib(c.pid());
  ASSERT_GT(peak, 0);
  // A 128 MiB message stored whole would need at least that much.
  EXPECT_LT(peak, 64L * 1024) << "peak KiB";
  c.close_stdin();
  EXPECT_EQ(c.wait(), 0);
}

TEST(McpFraming, ReaderGoneStillExitsZero) {
  // The reader of the replies exits at once; far more output than a pipe
  // holds makes the server write into a broken pipe. It must still serve to
  // the end of its input and exit with status 0.
  std::string in;
  for (int i = 0; i < 20000; ++i) in += kPing1 + "\n";
  auto r =
      run({"/bin/sh", "-c", "{ \"$0\" --mcp; echo \"status=$?\" >&2; } | true", program_path()},
          mcp_env(), in, 60000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_NE(r.err.find("status=0\n"), std::string::npos) << r.err;
}

}  // namespace
