#include "store_fs.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "identity.h"
#include "plat.h"
#include "windows/utf16.h"

namespace {

// Every store path (its side files included) fits 1100 bytes, and UTF-16
// never needs more units than UTF-8 has bytes.
constexpr size_t kWidePath = 1100;

struct wide_path {
  wchar_t text[kWidePath];
  // A path that is not valid UTF-8 or too long names no file: EINVAL, or
  // ENAMETOOLONG.
  bool set(const char *path) {
    if (wh_utf16(path, text, kWidePath, true) >= 0) return true;
    errno = strlen(path) >= kWidePath ? ENAMETOOLONG : EINVAL;
    return false;
  }
};

// MoveFileExW replaces the old file in one step, and WRITE_THROUGH returns
// only once the move is on disk; never delete-then-rename. A file that is
// open elsewhere cannot be replaced (Wine refuses whatever the sharing mode,
// Windows when a handle does not share deletion, as a virus scanner's may
// not): readers hold it for one read, so the move is tried again for up to a
// second before the save fails.
int replace_file(const char *from, const char *to) {
  wide_path f, t;
  if (!f.set(from) || !t.set(to)) return -1;
  DWORD error = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (attempt) Sleep(10);
    if (MoveFileExW(f.text, t.text, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
    DWORD target = GetFileAttributesW(t.text);
    if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY)) break;
  }
  wh_errno_from_win(error);
  return -1;
}

int flush_file(int fd) {
  auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (h != INVALID_HANDLE_VALUE && FlushFileBuffers(h)) return 0;
  wh_errno_from_win(GetLastError());
  return -1;
}

int open_wide(const char *path, int flags) {
  wide_path w;
  if (!w.set(path)) return -1;
  return _wopen(w.text, flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

}  // namespace

int (*wh_store_rename)(const char *from, const char *to) = replace_file;
int (*wh_store_fsync)(int fd) = flush_file;

int store_fs_default_path(char *buf, size_t size) {
  const char *tail = VD_STORE_TAIL<'\\'>.data();
  const char *v;
  if ((v = plat_env("LOCALAPPDATA")) && *v) return snprintf(buf, size, "%s\\%s", v, tail);
  if ((v = plat_env("USERPROFILE")) && *v) return snprintf(buf, size, "%s\\.%s", v, tail);
  return snprintf(buf, size, "%s", VD_STORE_FILE);
}

// The folder is the path up to its last separator, "\" or "/". Every prefix
// that ends before a separator is created in turn (a drive prefix "C:" fails
// harmlessly), then the folder itself.
void store_fs_make_dirs(const char *path) {
  const char *slash = strrchr(path, '/'), *back = strrchr(path, '\\');
  const char *end = slash > back ? slash : back;
  if (!end || end == path) return;
  char dir[kWidePath];
  size_t len = static_cast<size_t>(end - path);
  if (len >= sizeof dir) return;
  memcpy(dir, path, len);
  dir[len] = '\0';
  wide_path w;
  for (char *p = dir + 1; *p; ++p) {
    if (*p != '/' && *p != '\\') continue;
    char sep = *p;
    *p = '\0';
    if (w.set(dir)) _wmkdir(w.text);
    *p = sep;
  }
  if (w.set(dir)) _wmkdir(w.text);
}

// Shared for deletion as well: a writer in another process may replace the
// file while this one reads it, as a rename over an open file does on POSIX.
// (_wopen shares only reading and writing, and MoveFileExW then fails with
// "access denied".)
int store_fs_open_read(const char *path) {
  wide_path w;
  if (!w.set(path)) return -1;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(w.text, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    wh_errno_from_win(GetLastError());
    return -1;
  }
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
  if (fd < 0) CloseHandle(h);
  return fd;
}

int store_fs_create(const char *path) {
  return open_wide(path, _O_WRONLY | _O_CREAT | _O_TRUNC);
}

long store_fs_read(int fd, void *buf, size_t n) {
  unsigned chunk = n > INT_MAX ? INT_MAX : static_cast<unsigned>(n);
  for (;;) {
    int got = _read(fd, buf, chunk);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

bool store_fs_write_all(int fd, const void *data, size_t len) {
  const char *p = static_cast<const char *>(data);
  while (len > 0) {
    unsigned chunk = len > INT_MAX ? INT_MAX : static_cast<unsigned>(len);
    int n = _write(fd, p, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

int store_fs_close(int fd) {
  return _close(fd);
}

int64_t store_fs_regular_size(int fd) {
  struct _stat64 st;
  if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG || st.st_size < 0) return -1;
  return st.st_size;
}

int64_t store_fs_size(const char *path) {
  wide_path w;
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (!w.set(path) || !GetFileAttributesExW(w.text, GetFileExInfoStandard, &a)) return -1;
  return static_cast<int64_t>((uint64_t{a.nFileSizeHigh} << 32) | a.nFileSizeLow);
}

void store_fs_remove(const char *path) {
  wide_path w;
  if (w.set(path)) _wunlink(w.text);
}

void store_fs_sync_dir(const char *) {}

store_fs_lock::~store_fs_lock() {
  if (!fd_) return;
  OVERLAPPED whole{};
  UnlockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_.get())), 0, MAXDWORD, MAXDWORD, &whole);
}

int store_fs_lock::take(const char *lock_path) {
  unique_fd fd(open_wide(lock_path, _O_RDWR | _O_CREAT));
  if (!fd) return -1;
  // The whole file's range, exclusive, waiting for other holders.
  OVERLAPPED whole{};
  auto h = reinterpret_cast<HANDLE>(_get_osfhandle(fd.get()));
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    wh_errno_from_win(GetLastError());
    return -1;
  }
  fd_ = std::move(fd);
  return 0;
}
