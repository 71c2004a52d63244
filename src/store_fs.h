// The file operations of the store (and of the API's body file): every
// file call of the shared code comes through here. The build compiles one
// implementation: posix/store_fs.cpp or windows/store_fs.cpp. Descriptors
// are the C runtime's on both, so unique_fd owns them; every call that fails
// leaves its cause in errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

// The default store path, used when WEBHOOK_STORE_PATH is unset or empty:
// the per-user location of the platform, else "hooks.json". Cut to size;
// returns the full formatted length.
int store_fs_default_path(char *buf, size_t size);

// Creates every missing directory above the file at path (owner only on
// POSIX). Failures are passed over: they show when the file is created.
void store_fs_make_dirs(const char *path);

// Opens the store file for reading; -1 with errno (ENOENT: no such file).
// Never blocks on a special file at the path.
int store_fs_open_read(const char *path);

// Creates or truncates a file for writing, readable by its owner only; -1
// with errno.
int store_fs_create(const char *path);

// Up to n bytes from fd: the count, 0 at the end, -1 on an error.
// Interrupted reads are retried.
long store_fs_read(int fd, void *buf, size_t n);

// Writes all len bytes; false on any failure.
bool store_fs_write_all(int fd, const void *data, size_t len);

// Closes fd: 0, or -1 when the close reported an error (a write that may
// not have reached the file).
int store_fs_close(int fd);

// The size of the open file when it is a regular file; -1 for anything
// else (a folder, a FIFO, a device) or when it cannot be told.
int64_t store_fs_regular_size(int fd);

// The size of the file at path; -1 when it cannot be told. A hint only.
int64_t store_fs_size(const char *path);

// Deletes a file, ignoring failure.
void store_fs_remove(const char *path);

// After the store was moved into place: makes that move durable where it
// needs a step of its own (the folder's fsync on POSIX).
void store_fs_sync_dir(const char *path);

// A file descriptor of store_fs.h, closed on scope exit; -1 holds nothing.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  unique_fd &operator=(unique_fd &&o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~unique_fd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) store_fs_close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// An exclusive lock on a lock file, held while the object lives (POSIX
// flock, Windows LockFileEx). The file is created when missing and never
// deleted: removing it would let two processes lock two different files of
// the same name.
class store_fs_lock {
 public:
  store_fs_lock() = default;
  ~store_fs_lock();
  store_fs_lock(const store_fs_lock &) = delete;
  store_fs_lock &operator=(const store_fs_lock &) = delete;
  // Blocks until the lock is held: 0, or -1 with errno.
  int take(const char *lock_path);

 private:
  unique_fd fd_;
};

// Test seam: the call that moves the temporary file into place in one atomic
// step (rename(2), or MoveFileExW with REPLACE_EXISTING and WRITE_THROUGH on
// Windows), -1 with errno on failure, so tests can make the replacement fail.
extern int (*wh_store_rename)(const char *from, const char *to);

// Test seam: the flush to disk (fsync(2), or FlushFileBuffers on Windows) of
// the temporary file before the rename and, on POSIX, of the store's
// directory after it, so tests can see that both happen and in that order.
extern int (*wh_store_fsync)(int fd);
