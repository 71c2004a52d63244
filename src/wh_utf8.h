// UTF-8 as a strict JSON reader judges it: no overlong forms, no surrogates,
// nothing above U+10FFFF. Fields are cut by bytes, so a field filled to its
// capacity may end inside a character; the writers ask here where the
// well-formed text ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Length of the well-formed character at p, or 0. Reads no further than
// avail bytes (at least 1).
size_t wh_utf8_char_len(const unsigned char *p, size_t avail);

// Length of the longest well-formed prefix of the len bytes at p.
size_t wh_utf8_prefix(const char *p, size_t len);

// Eight bytes of text at p (any alignment) as one word, for the scans that
// judge eight bytes at a time (here and in the JSON writers). Inline, so that
// it stays a single load in their loops.
inline uint64_t wh_utf8_load8(const unsigned char *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}
