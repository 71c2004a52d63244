// What the test fixtures need from the system, one implementation per
// platform (support/posix, support/windows), chosen by the build.
#pragma once

#include <sys/types.h>

#include <string>

namespace vdtest {

// Sets a variable of this process's environment; a null value removes it.
void set_env(const std::string &name, const char *value);

// A fresh private temporary folder; "" when none could be made.
std::string make_temp_dir();

// Removes a folder and everything below it, also after a test took the
// permissions away.
void remove_tree(const std::string &dir);

// Creates one folder (owner only where the system has modes).
void make_dir(const std::string &path);

// Writes bytes to a new or truncated file, whose name may hold any letter
// (UTF-8; UTF-16 on Windows, not the ANSI code page). False on failure.
bool write_file(const std::string &path, const std::string &bytes);

// Whether anything (a symbolic link too) exists at the path.
bool path_exists(const std::string &path);

// The peak resident memory of a running child process, in KiB; -1 when the
// system does not tell.
long peak_memory_kib(pid_t pid);

// For a child process of a test run as root, which reads and writes any file
// whatever its mode: becomes the user nobody. False when that failed. POSIX
// only.
bool become_nobody();

}  // namespace vdtest
