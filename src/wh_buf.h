// wh_buf: a growable, always NUL-terminated byte buffer. Every text the
// program writes is assembled in one; the JSON writers on top of it are in
// wh_json.h.
//
// Invariants, stated once:
//  - data == nullptr  <=>  cap == 0; then len == 0.
//  - data != nullptr  =>   cap >= len + 1 and data[len] == '\0'.
//  - cap is 0 or 256 * 2^k, at most 2 GiB.
//  - failed is sticky: once a growth fails every append is a no-op, so a text
//    is never extended after a gap; what was built before stays readable.
//  - content is only appended (a holder may shorten len and rewrite the NUL).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

struct wh_buf {
  char *data;
  uint64_t len;
  uint64_t cap;
  int failed;
};

void wh_buf_init(wh_buf *b);
void wh_buf_free(wh_buf *b);
void wh_buf_add(wh_buf *b, const void *bytes, size_t n);
void wh_buf_str(wh_buf *b, const char *s);
void wh_buf_printf(wh_buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
const char *wh_buf_cstr(wh_buf *b);
// Appends n in decimal, as "%ld" writes it, without a formatting pass: the
// list and the store file write several numbers per log entry.
void wh_buf_long(wh_buf *b, long n);

// Grows the buffer so that n more bytes and the terminator fit. False, with
// `failed` set, when the capacity would pass 2 GiB or the allocator refuses.
bool wh_buf_grow(wh_buf *b, uint64_t n);

// Room for n more bytes and the terminator, for a writer that then fills
// data + len itself and moves len and the NUL on. Without a growth in almost
// every call once the buffer has its size (cap >= len + 1 whenever data is
// set, and cap == len == 0 otherwise, so cap - len never wraps).
inline bool wh_buf_reserve(wh_buf *b, uint64_t n) {
  return (b->cap - b->len > n && !b->failed) || wh_buf_grow(b, n);
}

// Appends a whole source of at most max bytes, read straight into the buffer
// a chunk at a time by read (at most n bytes into p: the count, 0 at its
// end, -1 on an error); true when it did. A read error, a source longer than
// max (one byte past it is asked for, so a file that grew while it was read
// is told) or a refused growth appends nothing and gives false.
bool wh_buf_read_all(wh_buf *b, uint64_t max, const std::function<long(char *p, size_t n)> &read);

// Appends one byte.
inline void wh_buf_char(wh_buf *b, char c) {
  if (!wh_buf_reserve(b, 1)) return;
  b->data[b->len++] = c;
  b->data[b->len] = '\0';
}

// Appends a string literal, its length known without measuring it.
template <size_t N>
inline void wh_buf_lit(wh_buf *b, const char (&text)[N]) {
  static_assert(N > 1, "an empty literal appends nothing");
  if (!wh_buf_reserve(b, N - 1)) return;
  memcpy(b->data + b->len, text, N - 1);
  b->len += N - 1;
  b->data[b->len] = '\0';
}

// Allocation seam: every growth goes through this pointer (realloc by
// default) so tests can simulate an allocator that refuses.
extern void *(*wh_buf_realloc)(void *ptr, size_t size);

// A wh_buf that initialises and frees itself; pass it wherever a wh_buf* goes.
struct wh_text : wh_buf {
  wh_text() { wh_buf_init(this); }
  ~wh_text() { wh_buf_free(this); }
  wh_text(const wh_text &) = delete;
  wh_text &operator=(const wh_text &) = delete;
};
