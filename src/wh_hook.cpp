#include "wh_hook.h"

#include <cstdio>
#include <cstring>

namespace {

// An HTTP token byte: visible ASCII other than the separators.
bool token_byte_ok(unsigned char c) {
  return c >= 0x21 && c <= 0x7E && !strchr("()<>@,;:\\\"/[]?={}", c);
}

}  // namespace

bool wh_header_name_ok(const char *name) {
  if (!name || !*name) return false;
  for (const char *p = name; *p; ++p)
    if (!token_byte_ok(static_cast<unsigned char>(*p))) return false;
  return true;
}

void wh_field_copy(char *dst, size_t cap, const char *src) {
  if (!dst || cap == 0) return;
  size_t n = src ? strnlen(src, cap - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
}

void wh_header_set(wh_header *h, const char *name, const char *value) {
  wh_field_copy(h->name, name);
  wh_field_copy(h->value, value);
}
