#include "plat.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace {

// Large blocks (the record, a large file's text) are mapped whole huge pages
// (2 MiB on x86-64 and arm64) at a time; smaller ones whole small pages.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugeFrom = size_t{1} << 20;
constexpr size_t kPage = 4096;

constexpr size_t region_size(size_t n) {
  size_t unit = n >= kHugeFrom ? kHugePage : kPage;
  return (n + unit - 1) / unit * unit;
}

}  // namespace

void plat_start() {
  signal(SIGPIPE, SIG_IGN);
}

long plat_read_stdin(void *buf, size_t n) {
  for (;;) {
    ssize_t got = read(0, buf, n);
    if (got < 0 && errno == EINTR) continue;
    return static_cast<long>(got);
  }
}

bool plat_wait_stdin(int64_t ms) {
  int64_t end = plat_now_ms() + ms;
  for (;;) {
    int64_t left = end - plat_now_ms();
    if (left <= 0) return false;
    pollfd in{0, POLLIN, 0};
    int n = poll(&in, 1, left > 1000000 ? 1000000 : static_cast<int>(left));
    if (n > 0 || (n < 0 && errno != EINTR)) return true;
  }
}

// O_NONBLOCK: without it a FIFO with no writer would hold the open for good.
bool plat_read_file(const char *path, uint64_t max, wh_buf *b) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= max;
  ok = ok && wh_buf_read_all(b, max, [fd](char *p, size_t n) {
         for (;;) {
           ssize_t got = read(fd, p, n);
           if (got >= 0 || errno != EINTR) return static_cast<long>(got);
         }
       });
  close(fd);
  return ok;
}

int64_t plat_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t plat_time() {
  return static_cast<int64_t>(time(nullptr));
}

bool plat_utc(int64_t t, tm *out) {
  time_t tt = static_cast<time_t>(t);
  return gmtime_r(&tt, out) != nullptr;
}

void plat_keep_freed_heap() {
  // By default glibc hands large freed blocks back to the kernel each time,
  // and the next call spends more time faulting the pages in again than on
  // its own work.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
}

// A fresh process faults a large block in page by page, which costs more than
// the work done on it, unless one huge page backs it: so a large block is
// aligned for huge pages and marked for them (a hint; where the system offers
// no transparent huge pages it stays on small ones).
void *plat_pages_map(size_t n, bool huge) {
  size_t size = region_size(n);
  size_t span = n >= kHugeFrom && huge ? size + kHugePage : size;
  void *m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  if (span == size) return m;
  auto start = reinterpret_cast<uintptr_t>(m);
  uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned > start) munmap(m, aligned - start);
  size_t tail = start + span - (aligned + size);
  if (tail) munmap(reinterpret_cast<void *>(aligned + size), tail);
  madvise(reinterpret_cast<void *>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

void plat_pages_unmap(void *p, size_t n) {
  if (p) munmap(p, region_size(n));
}

const char *plat_env(const char *name) {
  return getenv(name);
}

bool plat_random(void *buf, size_t n) {
  auto *p = static_cast<unsigned char *>(buf);
  while (n) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

void plat_net_start() {}
