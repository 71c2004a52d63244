#include "store_fs.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "identity.h"
#include "plat.h"

int (*wh_store_rename)(const char *from, const char *to) = ::rename;
int (*wh_store_fsync)(int fd) = ::fsync;

namespace {

constexpr size_t kPathCap = 1024;

// The directory part of a path (up to its last "/") into dir; false when the
// path has none.
bool parent_dir(const char *path, char (&dir)[kPathCap]) {
  const char *slash = strrchr(path, '/');
  if (!slash || slash == path) return false;
  size_t len = static_cast<size_t>(slash - path);
  if (len >= kPathCap) return false;
  memcpy(dir, path, len);
  dir[len] = '\0';
  return true;
}

}  // namespace

// LOCALAPPDATA keeps its place first, with "/" separators; then the usual
// per-user data folders of a POSIX desktop.
int store_fs_default_path(char *buf, size_t size) {
  const char *tail = VD_STORE_TAIL<'/'>.data();
  const char *v;
  if ((v = plat_env("LOCALAPPDATA")) && *v) return snprintf(buf, size, "%s/%s", v, tail);
  if ((v = plat_env("XDG_DATA_HOME")) && *v) return snprintf(buf, size, "%s/%s", v, tail);
  if ((v = plat_env("HOME")) && *v) return snprintf(buf, size, "%s/.local/share/%s", v, tail);
  if ((v = plat_env("USERPROFILE")) && *v) return snprintf(buf, size, "%s/.%s", v, tail);
  return snprintf(buf, size, "%s", VD_STORE_FILE);
}

// 0700 whatever the umask (the store holds secrets). Existing directories
// are left as they are.
void store_fs_make_dirs(const char *path) {
  char dir[kPathCap];
  if (!parent_dir(path, dir)) return;
  auto make = [&dir]() {
    if (mkdir(dir, 0700) == 0) chmod(dir, 0700);
  };
  for (char *p = dir + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    make();
    *p = '/';
  }
  make();
}

// Without O_NONBLOCK a FIFO at the path would block the open for good (and
// with it every writer waiting for the lock); the loader's type check refuses
// it.
int store_fs_open_read(const char *path) {
  return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// O_NONBLOCK: a FIFO at the temporary path must not block the save inside
// the lock; without a reader the open fails, with one the sync does.
int store_fs_create(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  // The mode given to open is reduced by the umask and ignored for a leftover
  // file; the store holds secrets, so set it outright.
  if (fd >= 0) fchmod(fd, 0600);
  return fd;
}

long store_fs_read(int fd, void *buf, size_t n) {
  for (;;) {
    ssize_t got = read(fd, buf, n);
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

bool store_fs_write_all(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int store_fs_close(int fd) {
  return close(fd);
}

int64_t store_fs_regular_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

int64_t store_fs_size(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void store_fs_remove(const char *path) {
  unlink(path);
}

void store_fs_sync_dir(const char *path) {
  char dir[kPathCap];
  if (!parent_dir(path, dir)) snprintf(dir, sizeof dir, "%s", path[0] == '/' ? "/" : ".");
  unique_fd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) wh_store_fsync(fd.get());
}

// Closing the descriptor releases the flock.
store_fs_lock::~store_fs_lock() = default;

int store_fs_lock::take(const char *lock_path) {
  unique_fd fd(open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return -1;
  fchmod(fd.get(), 0600);  // the umask may have taken the owner's bits away
  int rc;
  do {
    rc = flock(fd.get(), LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return -1;
  fd_ = std::move(fd);
  return 0;
}
