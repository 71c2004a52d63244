// Owners for the handles the program opens, so that no function needs a
// hand-written cleanup ladder.
#pragma once

#include <yyjson.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

struct yy_doc_free {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using yy_doc = std::unique_ptr<yyjson_doc, yy_doc_free>;

struct file_close {
  void operator()(FILE *f) const { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_close>;

struct heap_free {
  void operator()(void *p) const { free(p); }
};
// Heap text from malloc (yyjson_val_write_opts, wh_html_escape).
using unique_cstr = std::unique_ptr<char, heap_free>;

int store_fs_close(int fd);  // store_fs.h

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
