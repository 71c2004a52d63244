#include "wh_buf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void *(*wh_buf_realloc)(void *ptr, size_t size) = realloc;

namespace {

constexpr uint64_t kFirstCap = 256;
constexpr uint64_t kLastDoubling = 1073741824;  // above this, doubling gives up

// Makes room for n more bytes plus the terminator. Returns false, with
// `failed` set, when the capacity would pass 2 GiB or the allocator refuses.
bool reserve(wh_buf *b, uint64_t n) {
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

void add_char(wh_buf *b, char c) {
  wh_buf_add(b, &c, 1);
}

}  // namespace

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
  if (n == 0 || !reserve(b, n)) return;
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
  if (!reserve(b, static_cast<uint64_t>(n))) return;
  va_start(ap, fmt);
  vsnprintf(b->data + b->len, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  b->len += static_cast<uint64_t>(n);
}

const char *wh_buf_cstr(wh_buf *b) {
  static const char empty[] = "";
  if (b->data) return b->data;
  if (b->failed || !reserve(b, 0)) return empty;
  b->data[0] = '\0';
  return b->data;
}

void wh_buf_json_str(wh_buf *b, const char *s) {
  add_char(b, '"');
  if (s) {
    // Copy runs of bytes that need no escape in one append.
    const char *run = s;
    for (const char *p = s;; ++p) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      wh_buf_add(b, run, static_cast<size_t>(p - run));
      if (c == 0) break;
      switch (c) {
        case '"': wh_buf_add(b, "\\\"", 2); break;
        case '\\': wh_buf_add(b, "\\\\", 2); break;
        case 0x08: wh_buf_add(b, "\\b", 2); break;
        case 0x09: wh_buf_add(b, "\\t", 2); break;
        case 0x0A: wh_buf_add(b, "\\n", 2); break;
        case 0x0C: wh_buf_add(b, "\\f", 2); break;
        case 0x0D: wh_buf_add(b, "\\r", 2); break;
        default: wh_buf_printf(b, "\\u%04x", c); break;
      }
      run = p + 1;
    }
  }
  add_char(b, '"');
}

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

namespace {

// Length of the run of ASCII bytes at the start of u, read eight at a time:
// most texts are all ASCII, and the list of a full store checks a megabyte.
size_t ascii_run(const unsigned char *u, size_t len) {
  size_t i = 0;
  for (uint64_t w; i + 8 <= len; i += 8) {
    memcpy(&w, u + i, 8);
    if (w & 0x8080808080808080ULL) break;
  }
  while (i < len && u[i] < 0x80) ++i;
  return i;
}

}  // namespace

void wh_buf_json_utf8(wh_buf *b, const char *s) {
  const auto *u = reinterpret_cast<const unsigned char *>(s ? s : "");
  size_t len = strlen(reinterpret_cast<const char *>(u)), i = 0, n;
  for (;;) {
    i += ascii_run(u + i, len - i);
    if (i == len || (n = wh_utf8_char_len(u + i, len - i)) == 0) break;
    i += n;
  }
  if (i == len) {  // the usual case: nothing to replace
    wh_buf_json_str(b, s);
    return;
  }

  wh_text clean;
  wh_buf_add(&clean, u, i);
  while (i < len) {
    n = wh_utf8_char_len(u + i, len - i);
    if (n) {
      wh_buf_add(&clean, u + i, n);
      i += n;
    } else {
      wh_buf_add(&clean, "\xEF\xBF\xBD", 3);
      ++i;
    }
  }
  if (clean.failed) {
    b->failed = 1;  // what was built so far stays; nothing is appended after a gap
    return;
  }
  wh_buf_json_str(b, wh_buf_cstr(&clean));
}

void wh_buf_key(wh_buf *b, const char *key, int *first) {
  if (first) {
    if (*first == 0) add_char(b, ',');
    *first = 0;
  }
  wh_buf_json_str(b, key);
  if (!b->failed && reserve(b, 1)) add_char(b, ':');
}

const char *jstr(yyjson_val *obj, const char *key) {
  if (!obj || !yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0) return nullptr;
  // yyjson_obj_get returns the first member with the name, compared by bytes.
  yyjson_val *v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

char *wh_html_escape(const char *s) {
  size_t out_len = 0;
  if (s) {
    for (const char *p = s; *p; ++p) {
      switch (*p) {
        case '&': out_len += 5; break;
        case '<':
        case '>': out_len += 4; break;
        case '"': out_len += 6; break;
        case '\'': out_len += 5; break;
        default: out_len += 1; break;
      }
    }
  }
  char *out = static_cast<char *>(malloc(out_len + 1));
  if (!out) return nullptr;
  char *w = out;
  auto put = [&w](const char *t, size_t n) {
    memcpy(w, t, n);
    w += n;
  };
  if (s) {
    for (const char *p = s; *p; ++p) {
      switch (*p) {
        case '&': put("&amp;", 5); break;
        case '<': put("&lt;", 4); break;
        case '>': put("&gt;", 4); break;
        case '"': put("&quot;", 6); break;
        case '\'': put("&#39;", 5); break;
        default: *w++ = *p; break;
      }
    }
  }
  *w = '\0';
  return out;
}
