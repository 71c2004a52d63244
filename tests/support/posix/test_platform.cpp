#include "test_platform.h"

#include <ftw.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace vdtest {

void set_env(const std::string &name, const char *value) {
  if (value)
    setenv(name.c_str(), value, 1);
  else
    unsetenv(name.c_str());
}

std::string make_temp_dir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vd_store_XXXXXX";
  return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

void remove_tree(const std::string &dir) {
  nftw(
      dir.c_str(),
      [](const char *p, const struct stat *, int, struct FTW *) {
        chmod(p, 0700);  // so a test that took permissions away can be cleaned up
        return remove(p);
      },
      16, FTW_DEPTH | FTW_PHYS);
}

bool write_file(const std::string &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
  return f.good();
}

void make_dir(const std::string &path) {
  mkdir(path.c_str(), 0700);
}

bool path_exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool become_nobody() {
  return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
}

long peak_memory_kib(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string l;
  while (std::getline(f, l))
    if (l.rfind("VmHWM:", 0) == 0) return std::strtol(l.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace vdtest
