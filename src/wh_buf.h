// wh_buf: a growable, always NUL-terminated byte buffer, and the JSON writers
// that build every text the program emits.
//
// Invariants, stated once:
//  - data == nullptr  <=>  cap == 0; then len == 0.
//  - data != nullptr  =>   cap >= len + 1 and data[len] == '\0'.
//  - cap is 0 or 256 * 2^k, at most 2 GiB.
//  - failed is sticky: once a growth fails every append is a no-op, so a text
//    is never extended after a gap; what was built before stays readable.
//  - content is only appended (a holder may shorten len and rewrite the NUL).
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

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
// Appends a string literal, its length known without measuring it; where it
// fits (cap >= len + 1 always holds once data is set), copied in place.
template <size_t N>
inline void wh_buf_lit(wh_buf *b, const char (&text)[N]) {
  if (b->cap - b->len > N - 1 && !b->failed) {
    memcpy(b->data + b->len, text, N - 1);
    b->len += N - 1;
    b->data[b->len] = '\0';
  } else {
    wh_buf_add(b, text, N - 1);
  }
}
const char *wh_buf_cstr(wh_buf *b);
// Appends n in decimal, as "%ld" writes it, without a formatting pass: the
// list and the store file write several numbers per log entry.
void wh_buf_long(wh_buf *b, long n);
void wh_buf_json_str(wh_buf *b, const char *s);
// wh_buf_json_str for text that must reach its reader as well-formed UTF-8
// (the MCP replies, which strict clients decode as such): every byte that
// does not begin a well-formed character is written as U+FFFD. Fields cut
// by bytes and response bodies cut at their preview size end that way.
void wh_buf_json_utf8(wh_buf *b, const char *s);

// Length of the well-formed UTF-8 character at p (as a strict JSON reader
// judges it: no overlong forms, no surrogates, nothing above U+10FFFF), or 0.
// Reads no further than avail bytes.
size_t wh_utf8_char_len(const unsigned char *p, size_t avail);
// Appends the len bytes at s as a JSON string literal when they are all
// ASCII and need no escape (most fields), and returns true; otherwise appends
// nothing and returns false.
bool wh_buf_json_ascii(wh_buf *b, const char *s, size_t len);

// Length of the longest well-formed UTF-8 prefix of the len bytes at p.
size_t wh_utf8_prefix(const char *p, size_t len);
void wh_buf_key(wh_buf *b, const char *key, int *first);

// The string value of the first member named `key` of a parsed object, or
// null. Points into the document.
const char *jstr(yyjson_val *obj, const char *key);

// The length of the text yyjson_val_write_opts (flags 0, compact) writes for
// v, counted without writing it; SIZE_MAX when v is null or holds a number
// that cannot be written (so the caller writes it to find out). Only for
// values of a parsed (immutable) document.
size_t wh_json_written_len(yyjson_val *v);

// A new heap string with & < > " ' replaced by entities; the caller frees it.
char *wh_html_escape(const char *s);

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
