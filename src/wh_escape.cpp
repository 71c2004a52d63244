#include "wh_escape.h"

size_t wh_escape_pct_decode(std::string_view in, char *out, bool form) {
  size_t w = 0;
  for (size_t r = 0; r < in.size();) {
    int hi, lo;
    if (form && in[r] == '+') {
      out[w++] = ' ';
      ++r;
    } else if (in[r] == '%' && in.size() - r >= 3 && (hi = wh_escape_hex(in[r + 1])) >= 0 &&
               (lo = wh_escape_hex(in[r + 2])) >= 0) {
      out[w++] = static_cast<char>(hi * 16 + lo);
      r += 3;
    } else {
      out[w++] = in[r++];
    }
  }
  return w;
}

bool ieq_view(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (wh_escape_lower(a[i]) != wh_escape_lower(b[i])) return false;
  return true;
}

int ieq(const char *a, const char *b) {
  return a && b && ieq_view(a, b);
}

bool wh_escape_istarts(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ieq_view(s.substr(0, prefix.size()), prefix);
}
