#include "plat.h"

#include <fcntl.h>
#include <io.h>
// winsock2.h must come before windows.h.
#include <winsock2.h>
// (windows.h after)
#include <windows.h>

#include <cerrno>
#include <cstdio>

void plat_start() {
  // Every "\n" written is one LF byte, and standard input arrives unchanged.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
}

long plat_read_stdin(void *buf, size_t n) {
  unsigned chunk = n > 0x7fffffffu ? 0x7fffffffu : static_cast<unsigned>(n);
  for (;;) {
    int got = _read(0, buf, chunk);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

// The performance counter, not GetTickCount64: that one moves in steps of
// 10 to 16 ms, too coarse for the delivery times the log keeps.
int64_t plat_now_ms() {
  static const int64_t per_second = [] {
    LARGE_INTEGER f;
    return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : int64_t{1};
  }();
  LARGE_INTEGER now;
  if (!QueryPerformanceCounter(&now)) return static_cast<int64_t>(GetTickCount64());
  return now.QuadPart / per_second * 1000 + now.QuadPart % per_second * 1000 / per_second;
}

int64_t plat_time() {
  return static_cast<int64_t>(_time64(nullptr));
}

bool plat_utc(int64_t t, tm *out) {
  __time64_t tt = t;
  return _gmtime64_s(out, &tt) == 0;
}

void plat_keep_freed_heap() {}

// VirtualAlloc hands out zeroed pages, committed as they are touched.
void *plat_pages_map(size_t n, bool) {
  return VirtualAlloc(nullptr, n, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void plat_pages_unmap(void *p, size_t) {
  if (p) VirtualFree(p, 0, MEM_RELEASE);
}

void plat_net_start() {
  // Once per process; later calls only raise Winsock's own count. Its result
  // shows up as a resolution failure.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
