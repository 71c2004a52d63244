#include "cgi_query.h"

#include <cstring>

#include "wh_escape.h"

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
      out[wh_escape_pct_decode({out, n}, out, true)] = '\0';
      return 1;
    }
    const char *amp = strchr(p, '&');
    if (!amp) break;
    p = amp + 1;
  }
  return 0;
}
