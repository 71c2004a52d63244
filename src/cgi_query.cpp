#include "cgi_query.h"

#include <cctype>
#include <cstring>

#include "wh_hook.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes "+" and "%XX" in place; a "%" without two hex digits stays literal.
void url_decode(char *s) {
  char *w = s;
  for (const char *r = s; *r;) {
    int hi, lo;
    if (*r == '+') {
      *w++ = ' ';
      ++r;
    } else if (*r == '%' && (hi = hex_value(r[1])) >= 0 && (lo = hex_value(r[2])) >= 0) {
      *w++ = static_cast<char>(hi * 16 + lo);
      r += 3;
    } else {
      *w++ = *r++;
    }
  }
  *w = '\0';
}

}  // namespace

int get_query_val(const char *query, const char *name, char *out, size_t out_size) {
  if (out && out_size) out[0] = '\0';
  if (!query || !name || !out || !out_size) return 0;
  size_t name_len = strlen(name);
  for (const char *p = query; *p;) {
    if (strncmp(p, name, name_len) == 0 && p[name_len] == '=') {
      const char *v = p + name_len + 1;
      size_t n = strcspn(v, "&");
      if (n > out_size - 1) n = out_size - 1;
      memcpy(out, v, n);
      out[n] = '\0';
      url_decode(out);
      return 1;
    }
    const char *amp = strchr(p, '&');
    if (!amp) break;
    p = amp + 1;
  }
  return 0;
}

bool ieq_view(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

int ieq(const char *a, const char *b) {
  return a && b && ieq_view(a, b);
}

void copy_trunc(char *dst, size_t dst_size, const char *src) {
  wh_field_copy(dst, dst_size, src);
}
