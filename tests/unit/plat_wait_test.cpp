// Standard input awaited with a deadline, on a pipe as an MCP client gives
// it: nothing to read waits out the time, a byte or the writer's end wakes
// the wait at once.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define pipe(fds) _pipe(fds, 4096, _O_BINARY)
#define dup _dup
#define dup2 _dup2
#define close _close
#define write _write
#else
#include <unistd.h>
#endif

#include "plat.h"

namespace {

TEST(PlatWaitStdin, WaitsOutItsTimeUnlessInputComesOrEnds) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(0);
  ASSERT_EQ(dup2(fds[0], 0), 0);
  // Nothing to read waits the whole short time; ready input must not wait
  // out a long one (it would come back false).
  int64_t start = plat_now_ms();
  EXPECT_FALSE(plat_wait_stdin(300));
  EXPECT_GE(plat_now_ms() - start, 250);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_TRUE(plat_wait_stdin(60000));
  char c;
  ASSERT_EQ(plat_read_stdin(&c, 1), 1);
  close(fds[1]);
  EXPECT_TRUE(plat_wait_stdin(60000));
  dup2(saved, 0);
  close(saved);
  close(fds[0]);
}

}  // namespace
