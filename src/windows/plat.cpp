#include "plat.h"

#include <fcntl.h>
#include <io.h>
// winsock2.h must come before windows.h.
#include <winsock2.h>
// (windows.h after)
#include <windows.h>
// (bcrypt.h needs windows.h's types)
#include <bcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "raii.h"
#include "windows/utf16.h"

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

// A pipe (how a client runs the server) is never signalled as an object, so
// it is asked how much it holds, a few milliseconds apart; a console is
// waited on; a file is always ready.
bool plat_wait_stdin(int64_t ms) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(0));
  DWORD type = h == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(h);
  int64_t end = plat_now_ms() + ms;
  for (;;) {
    int64_t left = end - plat_now_ms();
    if (left <= 0) return false;
    DWORD step = left > 10 ? 10 : static_cast<DWORD>(left);
    if (type == FILE_TYPE_CHAR) {
      step = left > 1000000 ? 1000000 : static_cast<DWORD>(left);
      if (WaitForSingleObject(h, step) != WAIT_TIMEOUT) return true;
      continue;
    }
    DWORD avail = 0;
    if (type != FILE_TYPE_PIPE || !PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr) ||
        avail > 0)
      return true;
    Sleep(step);
  }
}

// Shared for writing and deletion too: another process may replace the file
// while it is read. A folder does not open without backup semantics.
bool plat_read_file(const char *path, uint64_t max, wh_buf *b) {
  // Any path the caller may name (up to 32767 UTF-16 units) is converted on the heap.
  constexpr size_t kWideCap = 32768;
  auto wide = std::make_unique_for_overwrite<wchar_t[]>(kWideCap);
  if (wh_utf16(path, wide.get(), kWideCap, true) < 0) return false;
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(wide.get(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  bool ok = GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size) && size.QuadPart >= 0 &&
            static_cast<uint64_t>(size.QuadPart) <= max;
  ok = ok && wh_buf_read_all(b, max, [h](char *p, size_t n) {
         DWORD got = 0;
         return ReadFile(h, p, static_cast<DWORD>(n), &got, nullptr) ? static_cast<long>(got) : -1L;
       });
  CloseHandle(h);
  return ok;
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

namespace {

// The converted values, one slot per name the program reads (a fixed set of
// a few dozen). A read converts the value afresh and keeps the slot's text
// when it is unchanged, so a pointer handed out stays valid as long as the
// variable keeps its value, as getenv's does.
struct env_slot {
  char name[48];
  char *value;
};
env_slot g_env[48];
SRWLOCK g_env_lock = SRWLOCK_INIT;

// A few hundred bytes that cannot be had: the process ends, for a value
// that cannot be read must not pass for an unset one (BOT_PASSWORD unset
// means no password is asked for).
void *must_alloc(size_t n) {
  void *p = malloc(n);
  if (!p) abort();
  return p;
}

// The variable's value as UTF-8 on the heap; null when it is unset. An
// unpaired surrogate becomes U+FFFD.
char *read_env(const wchar_t *name) {
  std::unique_ptr<wchar_t, heap_free> wide;
  for (DWORD cap = 256;;) {
    wide.reset(static_cast<wchar_t *>(must_alloc(cap * sizeof(wchar_t))));
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(name, wide.get(), cap);
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return nullptr;
    if (n < cap) break;  // an empty value gives 0 and "" too
    cap = n;             // the size needed, NUL included
  }
  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.get(), -1, nullptr, 0, nullptr, nullptr);
  auto *out = static_cast<char *>(must_alloc(bytes > 0 ? static_cast<size_t>(bytes) : 1));
  if (bytes <= 0 ||
      WideCharToMultiByte(CP_UTF8, 0, wide.get(), -1, out, bytes, nullptr, nullptr) <= 0)
    out[0] = '\0';
  return out;
}

}  // namespace

const char *plat_env(const char *name) {
  wchar_t wname[64];
  if (!name || !*name || wh_utf16(name, wname, 64, true) < 0) return nullptr;
  char *value = read_env(wname);
  if (!value) return nullptr;
  AcquireSRWLockExclusive(&g_env_lock);
  // Slots fill in order: the first that is free or has the name is its.
  env_slot *slot = nullptr;
  for (env_slot &s : g_env) {
    if (!s.name[0] || strcmp(s.name, name) == 0) {
      slot = &s;
      break;
    }
  }
  // More names than slots, or a name too long for one, is never the
  // program's own: such a text is simply kept for good.
  if (slot && !slot->name[0]) {
    if (strlen(name) < sizeof slot->name)
      memcpy(slot->name, name, strlen(name) + 1);
    else
      slot = nullptr;
  }
  if (slot && slot->value && strcmp(slot->value, value) == 0) {
    free(value);
  } else if (slot) {
    free(slot->value);
    slot->value = value;
  }
  const char *out = slot ? slot->value : value;
  ReleaseSRWLockExclusive(&g_env_lock);
  return out;
}

bool plat_random(void *buf, size_t n) {
  auto *p = static_cast<unsigned char *>(buf);
  while (n) {
    ULONG chunk = n > 0x40000000u ? 0x40000000u : static_cast<ULONG>(n);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    p += chunk;
    n -= chunk;
  }
  return true;
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
