// A function of the test run in a child process of its own (fork without
// exec): for what one process cannot show, several processes on one store,
// a process killed part way, another user. POSIX only.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace vdtest {

// Starts fn in a child that exits with fn's result as its status; -1 when
// no child could be made. The caller waits for it with wait_forked.
pid_t fork_run(const std::function<int()> &fn);

// Waits for a child of fork_run and returns its raw wait status.
int wait_forked(pid_t pid);

// Runs fn in a child and returns the text it returned, or "(hung)" when it
// has not answered within timeout_ms (the child is killed either way). With
// unprivileged, a test running as root runs fn as the user nobody (root
// reads any file, whatever its mode).
std::string in_child(const std::function<std::string()> &fn, bool unprivileged = false,
                     int timeout_ms = 5000);

}  // namespace vdtest
