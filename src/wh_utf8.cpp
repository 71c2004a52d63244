// The UTF-8 checks: one character at a time, ASCII skipped eight bytes at a
// time.
#include "wh_utf8.h"

#include <cstdint>

size_t wh_utf8_char_len(const unsigned char *p, size_t avail) {
  unsigned c = p[0];
  if (c < 0x80) return 1;
  if (avail < 2 || (c >= 0xE0 && avail < 3) || (c >= 0xF0 && avail < 4)) return 0;
  auto cont = [](unsigned char x) { return (x & 0xC0) == 0x80; };
  if (c >= 0xC2 && c <= 0xDF) return cont(p[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
  }
  return 0;
}

size_t wh_utf8_prefix(const char *p, size_t len) {
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const auto *u = reinterpret_cast<const unsigned char *>(p);
  size_t i = 0, n;
  for (;;) {
    while (i + 8 <= len && !(wh_utf8_load8(u + i) & kHighs)) i += 8;
    while (i < len && u[i] < 0x80) ++i;
    if (i == len || (n = wh_utf8_char_len(u + i, len - i)) == 0) return i;
    i += n;
  }
}
