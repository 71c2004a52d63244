// The JSON writers. A string is scanned for the bytes that need an escape
// (below 0x20, the double quote, the backslash) and, under a UTF-8 rule, the
// bytes from 0x80; the runs between them are copied whole. The scan takes
// sixteen bytes at a time where the processor has SSE2 (every x86-64), else
// eight in a word.
#include "wh_json.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "wh_utf8.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

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
  // The stopping byte's place is read from the compare mask.
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                below = _mm_set1_epi8(0x1f);
  for (; i + 16 <= len; i += 16) {
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i));
    __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(w, below), w);  // w <= 0x1f
    __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(w, quote), _mm_cmpeq_epi8(w, backslash)), control);
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (ascii) mask |= static_cast<unsigned>(_mm_movemask_epi8(w));  // the high bits
    if (mask) return i + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  for (; i + 8 <= len; i += 8)
    if (stops(wh_utf8_load8(u + i))) break;
  // The last part of a text of eight bytes or more: its last word at once.
  if (i < len && len >= 8 && i + 8 > len && !stops(wh_utf8_load8(u + len - 8))) return len;
  while (i < len && !escaped(u[i]) && !(ascii && u[i] >= 0x80)) ++i;
  return i;
}

// Appends s (len bytes) as a JSON string literal when none of its bytes needs
// an escape.
void plain_str(wh_buf *b, const char *s, size_t len) {
  if (!wh_buf_reserve(b, len + 2)) return;
  b->data[b->len] = '"';
  memcpy(b->data + b->len + 1, s, len);
  b->len += len + 2;
  b->data[b->len - 1] = '"';
  b->data[b->len] = '\0';
}

void escape(wh_buf *b, unsigned char c) {
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
}

// Appends the len bytes at s (no NUL among them) escaped, without quotes;
// run is plain_run<false> of them, already known.
void json_body(wh_buf *b, const char *s, size_t len, size_t run) {
  const auto *u = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  for (;;) {
    wh_buf_add(b, s + i, run);
    i += run;
    if (i == len) return;
    escape(b, u[i++]);
    run = plain_run<false>(u + i, len - i);
  }
}

// Appends s (len bytes, no NUL among them) as a JSON string literal.
void json_str(wh_buf *b, const char *s, size_t len) {
  size_t run = plain_run<false>(reinterpret_cast<const unsigned char *>(s), len);
  if (run == len) return plain_str(b, s, len);  // the usual case, in one piece
  wh_buf_char(b, '"');
  json_body(b, s, len, run);
  wh_buf_char(b, '"');
}

// The compact length of a value that holds no other (a key too), or
// SIZE_MAX for a number that cannot be written.
size_t scalar_len(yyjson_val *v) {
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_NULL: return 4;
    case YYJSON_TYPE_BOOL: return yyjson_get_bool(v) ? 4 : 5;
    case YYJSON_TYPE_STR: {
      const auto *u = reinterpret_cast<const unsigned char *>(yyjson_get_str(v));
      size_t len = yyjson_get_len(v), n = len + 2;
      for (size_t i = plain_run<false>(u, len); i < len;
           i += 1 + plain_run<false>(u + i + 1, len - i - 1)) {
        unsigned char c = u[i];
        n += c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' || c == '\r'
                 ? 1
                 : 5;
      }
      return n;
    }
    case YYJSON_TYPE_NUM: {
      char digits[48];
      const char *stop = yyjson_write_number(v, digits);
      return stop ? static_cast<size_t>(stop - digits) : SIZE_MAX;
    }
    default: return SIZE_MAX;
  }
}

// A container the count has entered, with what is left of it.
struct open_container {
  bool is_obj;
  yyjson_arr_iter elements;
  yyjson_obj_iter members;
};

constexpr size_t kMaxDepth = 1024;

}  // namespace

void wh_buf_json_str(wh_buf *b, const char *s) {
  json_str(b, s ? s : "", s ? strlen(s) : 0);
}

void wh_buf_json_utf8(wh_buf *b, const char *s) {
  wh_buf_json_text(b, s ? s : "", s ? strlen(s) : 0, WH_UTF8_REPLACE);
}

void wh_buf_json_text(wh_buf *b, const char *s, size_t len, wh_utf8_rule rule) {
  const auto *u = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0, n = 0;
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
  if (i == len)  // the usual case: nothing to replace
    return escapes ? json_str(b, s, len) : plain_str(b, s, len);

  // The well-formed pieces between the ill-formed bytes, each escaped.
  wh_buf_char(b, '"');
  for (size_t start = 0;;) {
    json_body(b, s + start, i - start, plain_run<false>(u + start, i - start));
    if (i == len) break;
    if (rule == WH_UTF8_REPLACE) wh_buf_add(b, "\xEF\xBF\xBD", 3);
    start = i + 1;
    i = start + wh_utf8_prefix(s + start, len - start);
  }
  wh_buf_char(b, '"');
}

void wh_buf_key(wh_buf *b, const char *key, int *first) {
  if (first) {
    if (*first == 0) wh_buf_char(b, ',');
    *first = 0;
  }
  wh_buf_json_str(b, key);
  wh_buf_char(b, ':');
}

const char *jstr(yyjson_val *obj, const char *key) {
  if (!obj || !yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0) return nullptr;
  // yyjson_obj_get returns the first member with the name, compared by bytes.
  yyjson_val *v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

size_t wh_json_written_len(yyjson_val *v) {
  if (!v) return SIZE_MAX;
  // Depth first, with the open containers on a stack of their own rather
  // than in recursion: a message may nest as deep as its size allows.
  std::vector<open_container> open;
  size_t total = 0;
  for (;;) {
    if (yyjson_is_arr(v) || yyjson_is_obj(v)) {
      bool is_obj = yyjson_is_obj(v);
      size_t n = is_obj ? yyjson_obj_size(v) : yyjson_arr_size(v);
      total += 2 + (n ? n - 1 : 0) + (is_obj ? n : 0);  // brackets, commas, colons
      if (open.size() == kMaxDepth) return SIZE_MAX;
      open_container &c = open.emplace_back();
      c.is_obj = is_obj;
      if (is_obj)
        yyjson_obj_iter_init(v, &c.members);
      else
        yyjson_arr_iter_init(v, &c.elements);
    } else {
      size_t n = scalar_len(v);
      if (n == SIZE_MAX) return SIZE_MAX;
      total += n;
    }
    // The next value: in the innermost container that has one left.
    v = nullptr;
    while (!v && !open.empty()) {
      open_container &c = open.back();
      if (!c.is_obj) {
        v = yyjson_arr_iter_next(&c.elements);
      } else if (yyjson_val *key = yyjson_obj_iter_next(&c.members)) {
        total += scalar_len(key);
        v = yyjson_obj_iter_get_val(key);
      }
      if (!v) open.pop_back();
    }
    if (!v) return total;
  }
}
