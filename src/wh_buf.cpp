#include "wh_buf.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
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

// True when n more bytes and the terminator fit without growing: the path of
// almost every append once the buffer has its size. (cap >= len + 1 whenever
// data is set, and cap == len == 0 otherwise, so cap - len never wraps.)
inline bool fits(const wh_buf *b, uint64_t n) {
  return b->cap - b->len > n && !b->failed;
}

inline void put(wh_buf *b, const void *bytes, size_t n) {
  memcpy(b->data + b->len, bytes, n);
  b->len += n;
  b->data[b->len] = '\0';
}

inline void add_char(wh_buf *b, char c) {
  if (fits(b, 1)) {
    b->data[b->len++] = c;
    b->data[b->len] = '\0';
  } else if (reserve(b, 1)) {
    put(b, &c, 1);
  }
}

// Word-at-a-time tests of eight bytes: whether any byte is below 0x20, is a
// double quote or a backslash (what a JSON string escapes), or has its high
// bit set. Each is exact for the word as a whole.
constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t has_zero_byte(uint64_t w) {
  return (w - kOnes) & ~w & kHighs;
}

inline bool needs_escape(uint64_t w) {
  return ((w - kOnes * 0x20) & ~w & kHighs) | has_zero_byte(w ^ (kOnes * '"')) |
         has_zero_byte(w ^ (kOnes * '\\'));
}

inline uint64_t load8(const unsigned char *p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}

inline bool escaped(unsigned char c) {
  return c < 0x20 || c == '"' || c == '\\';
}

// Length of the run at the start of u (len bytes) that a JSON string takes
// unchanged; with ascii, the run also stops at the first byte of 0x80 and
// above.
template <bool ascii>
size_t plain_run(const unsigned char *u, size_t len) {
  auto stops = [](uint64_t w) { return needs_escape(w) || (ascii && (w & kHighs)); };
  size_t i = 0;
#ifdef __SSE2__
  // Sixteen bytes at a time where the processor has the vector instructions
  // (every x86-64), the stopping byte's place read from the compare mask.
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                below = _mm_set1_epi8(0x1f);
  for (; i + 16 <= len; i += 16) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i));
    __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(w, below), w);  // w <= 0x1f
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(w, quote), _mm_cmpeq_epi8(w, backslash)),
                               control);
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (ascii) mask |= static_cast<unsigned>(_mm_movemask_epi8(w));  // the high bits
    if (mask) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i + 8 <= len; i += 8)
    if (stops(load8(u + i))) break;
  // The last part of a text of eight bytes or more: its last word at once.
  if (i < len && len >= 8 && i + 8 > len && !stops(load8(u + len - 8))) return len;
  while (i < len && !escaped(u[i]) && !(ascii && u[i] >= 0x80)) ++i;
  return i;
}

// Appends s (len bytes) as a JSON string literal when none of its bytes needs
// an escape.
void plain_str(wh_buf *b, const char *s, size_t len) {
  if (!fits(b, len + 2) && !reserve(b, len + 2)) return;
  b->data[b->len] = '"';
  memcpy(b->data + b->len + 1, s, len);
  b->len += len + 2;
  b->data[b->len - 1] = '"';
  b->data[b->len] = '\0';
}

// Appends s (len bytes, no NUL among them) as a JSON string literal.
void json_str(wh_buf *b, const char *s, size_t len) {
  const auto *u = reinterpret_cast<const unsigned char *>(s);
  size_t run = plain_run<false>(u, len);
  if (run == len) return plain_str(b, s, len);  // the usual case, in one piece
  add_char(b, '"');
  size_t i = 0;
  for (;;) {
    wh_buf_add(b, s + i, run);
    i += run;
    if (i == len) break;
    unsigned char c = u[i++];
    switch (c) {
      case '"': wh_buf_add(b, "\\\"", 2); break;
      case '\\': wh_buf_add(b, "\\\\", 2); break;
      case 0x08: wh_buf_add(b, "\\b", 2); break;
      case 0x09: wh_buf_add(b, "\\t", 2); break;
      case 0x0A: wh_buf_add(b, "\\n", 2); break;
      case 0x0C: wh_buf_add(b, "\\f", 2); break;
      case 0x0D: wh_buf_add(b, "\\r", 2); break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};  // "\\u%04x"
        wh_buf_add(b, esc, 6);
        break;
      }
    }
    run = plain_run<false>(u + i, len - i);
  }
  add_char(b, '"');
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
  if (n == 0 || (!fits(b, n) && !reserve(b, n))) return;
  put(b, bytes, n);
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
  if (b->failed || !reserve(b, 0)) return empty;
  b->data[0] = '\0';
  return b->data;
}

void wh_buf_json_str(wh_buf *b, const char *s) {
  json_str(b, s ? s : "", s ? strlen(s) : 0);
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

bool wh_buf_json_ascii(wh_buf *b, const char *s, size_t len) {
  if (plain_run<true>(reinterpret_cast<const unsigned char *>(s), len) != len) return false;
  plain_str(b, s, len);
  return true;
}

size_t wh_utf8_prefix(const char *p, size_t len) {
  const auto *u = reinterpret_cast<const unsigned char *>(p);
  size_t i = 0, n;
  for (;;) {
    while (i + 8 <= len && !(load8(u + i) & kHighs)) i += 8;
    while (i < len && u[i] < 0x80) ++i;
    if (i == len || (n = wh_utf8_char_len(u + i, len - i)) == 0) return i;
    i += n;
  }
}

void wh_buf_json_utf8(wh_buf *b, const char *s) {
  const auto *u = reinterpret_cast<const unsigned char *>(s ? s : "");
  size_t len = strlen(reinterpret_cast<const char *>(u)), i = 0, n = 0;
  bool escapes = false;
  for (;;) {
    i += plain_run<true>(u + i, len - i);
    if (i == len) break;
    if (u[i] < 0x80) {
      escapes = true;  // json_str deals with it
      ++i;
    } else if ((n = wh_utf8_char_len(u + i, len - i)) != 0) {
      i += n;
    } else {
      break;
    }
  }
  if (i == len) {  // the usual case: nothing to replace
    const char *text = reinterpret_cast<const char *>(u);
    return escapes ? json_str(b, text, len) : plain_str(b, text, len);
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
  json_str(b, clean.data, clean.len);
}

void wh_buf_key(wh_buf *b, const char *key, int *first) {
  if (first) {
    if (*first == 0) add_char(b, ',');
    *first = 0;
  }
  wh_buf_json_str(b, key);
  add_char(b, ':');
}

const char *jstr(yyjson_val *obj, const char *key) {
  if (!obj || !yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0) return nullptr;
  // yyjson_obj_get returns the first member with the name, compared by bytes.
  yyjson_val *v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

size_t wh_json_written_len(yyjson_val *v) {
  if (!v) return SIZE_MAX;
  // A document keeps its values in one array in document order, each
  // container followed by its members, so v and everything inside it are the
  // values up to v's next sibling: counted in one flat pass, with no
  // recursion however deep the nesting.
  yyjson_val *end = unsafe_yyjson_get_next(v);
  size_t total = 0;
  for (yyjson_val *p = v; p < end; ++p) {
    switch (yyjson_get_type(p)) {
      case YYJSON_TYPE_NULL: total += 4; break;
      case YYJSON_TYPE_BOOL: total += yyjson_get_bool(p) ? 4 : 5; break;
      case YYJSON_TYPE_STR: {  // keys too
        const auto *u = reinterpret_cast<const unsigned char *>(yyjson_get_str(p));
        size_t len = yyjson_get_len(p), n = len + 2;
        for (size_t i = plain_run<false>(u, len); i < len; i += 1 + plain_run<false>(u + i + 1, len - i - 1)) {
          unsigned char c = u[i];
          n += c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r' ? 1 : 5;
        }
        total += n;
        break;
      }
      case YYJSON_TYPE_NUM: {
        char digits[48];
        const char *stop = yyjson_write_number(p, digits);
        if (!stop) return SIZE_MAX;
        total += static_cast<size_t>(stop - digits);
        break;
      }
      case YYJSON_TYPE_ARR: {
        size_t n = yyjson_arr_size(p);
        total += 2 + (n ? n - 1 : 0);  // brackets, commas
        break;
      }
      case YYJSON_TYPE_OBJ: {
        size_t n = yyjson_obj_size(p);
        total += 2 + (n ? n - 1 : 0) + n;  // braces, commas, colons
        break;
      }
      default: return SIZE_MAX;
    }
  }
  return total;
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
