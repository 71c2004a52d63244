// The small text routines every module shares: hex digits, percent-decoding
// and comparison without ASCII letter case. Bytes are bytes: nothing here
// looks at the locale or at UTF-8.
#pragma once

#include <cstddef>
#include <string_view>

// The value of one hex digit (either case), or -1.
inline int wh_escape_hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// c with an ASCII capital letter made small; every other byte as it is.
inline char wh_escape_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Decodes "%XX" (and "+" as a space when `form`, as a query's values are
// written) from in into out, which may be in itself; a "%" without two hex
// digits stays as it is. Returns the bytes written, at most in.size().
size_t wh_escape_pct_decode(std::string_view in, char *out, bool form);

// True when a and b are equal with ASCII letter case ignored.
bool ieq_view(std::string_view a, std::string_view b);
// The same for C strings: 1 when equal, 0 otherwise or when either is null.
int ieq(const char *a, const char *b);
// True when s begins with prefix, ASCII letter case ignored.
bool wh_escape_istarts(std::string_view s, std::string_view prefix);
