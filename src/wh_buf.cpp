// The growable buffer: one growth rule (256 bytes, doubling, at most 2 GiB,
// through wh_buf_realloc) and the appends built on it. The invariants are in
// wh_buf.h.
#include "wh_buf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void *(*wh_buf_realloc)(void *ptr, size_t size) = realloc;

namespace {

constexpr uint64_t kFirstCap = 256;
constexpr uint64_t kLastDoubling = 1073741824;  // above this, doubling gives up

}  // namespace

bool wh_buf_grow(wh_buf *b, uint64_t n) {
  if (b->failed) return false;
  uint64_t need = b->len + n + 1;
  if (need < n) {  // wrapped around
    b->failed = 1;
    return false;
  }
  if (b->cap >= need) return true;
  uint64_t cap = b->cap ? b->cap : kFirstCap;
  while (cap < need) {
    if (cap > kLastDoubling) {
      b->failed = 1;
      return false;
    }
    cap *= 2;
  }
  void *p = wh_buf_realloc(b->data, cap);
  if (!p) {
    b->failed = 1;
    return false;
  }
  b->data = static_cast<char *>(p);
  b->cap = cap;
  return true;
}

void wh_buf_init(wh_buf *b) {
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
  b->failed = 0;
}

void wh_buf_free(wh_buf *b) {
  if (!b) return;
  free(b->data);
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}

void wh_buf_add(wh_buf *b, const void *bytes, size_t n) {
  if (n == 0 || !wh_buf_reserve(b, n)) return;
  memcpy(b->data + b->len, bytes, n);
  b->len += n;
  b->data[b->len] = '\0';
}

void wh_buf_str(wh_buf *b, const char *s) {
  if (s && *s) wh_buf_add(b, s, strlen(s));
}

void wh_buf_printf(wh_buf *b, const char *fmt, ...) {
  char local[512];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(local, sizeof local, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof local) {
    wh_buf_add(b, local, static_cast<size_t>(n));
    return;
  }
  // Too long for the local area: format a second time straight into the buffer.
  if (!wh_buf_grow(b, static_cast<uint64_t>(n))) return;
  va_start(ap, fmt);
  vsnprintf(b->data + b->len, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  b->len += static_cast<uint64_t>(n);
}

void wh_buf_long(wh_buf *b, long n) {
  char digits[24];
  char *end = digits + sizeof digits, *p = end;
  // In unsigned arithmetic, so that the most negative value has a magnitude.
  unsigned long m = n < 0 ? 0UL - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
  do {
    *--p = static_cast<char>('0' + m % 10);
    m /= 10;
  } while (m);
  if (n < 0) *--p = '-';
  wh_buf_add(b, p, static_cast<size_t>(end - p));
}

const char *wh_buf_cstr(wh_buf *b) {
  static const char empty[] = "";
  if (b->data) return b->data;
  if (b->failed || !wh_buf_grow(b, 0)) return empty;
  b->data[0] = '\0';
  return b->data;
}

bool wh_buf_read_all(wh_buf *b, uint64_t max, const std::function<long(char *p, size_t n)> &read) {
  constexpr size_t kChunk = 65536;  // a megabyte body in 16 reads
  const uint64_t start = b->len;
  bool ok = true;
  while (ok && wh_buf_reserve(b, kChunk)) {
    uint64_t room = max - (b->len - start) + 1;
    long got = read(b->data + b->len, room < kChunk ? static_cast<size_t>(room) : kChunk);
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    b->len += static_cast<uint64_t>(got);
    ok = b->len - start <= max;
  }
  ok = ok && !b->failed;
  if (!ok && b->data) b->len = start;
  if (b->data) b->data[b->len] = '\0';
  return ok;
}
