#include "wh_hook.h"

#include <cstdio>
#include <cstring>

#include "wh_err.h"
#include "wh_url.h"

namespace {

bool name_byte_ok(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

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

int wh_hook_validate(const wh_hook *hook, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!hook || hook->name[0] == '\0') return wh_err_set(err, err_size, "a hook needs a name");

  for (const char *p = hook->name; *p; ++p) {
    if (!name_byte_ok(static_cast<unsigned char>(*p)))
      return wh_err_set(err, err_size,
                        "hook names may contain letters, digits, dash, underscore and dot only");
  }

  char url_err[160];
  if (wh_url_parse(hook->url, nullptr, url_err, sizeof url_err) != 0)
    return wh_err_set(err, err_size, "url: %s", url_err);

  if (!wh_method_ok(hook->method))
    return wh_err_set(err, err_size, "method must be one of GET, POST, PUT, PATCH, DELETE, HEAD");

  if (hook->sig[0]) {
    if (strcmp(hook->sig, "github") != 0 && strcmp(hook->sig, "gitlab") != 0 &&
        strcmp(hook->sig, "v2") != 0)
      return wh_err_set(err, err_size, "unknown signature scheme");
    if (hook->secret[0] == '\0')
      return wh_err_set(err, err_size, "a signature scheme needs a secret");
  }

  if (hook->header_count < 0 || hook->header_count > WH_MAX_HEADERS)
    return wh_err_set(err, err_size, "too many headers (max %d)", WH_MAX_HEADERS);

  for (int i = 0; i < hook->header_count; ++i) {
    const wh_header &h = hook->headers[i];
    if (!wh_header_name_ok(h.name))
      return wh_err_set(err, err_size, "header %d has an invalid name", i + 1);
    // A CR or LF would let a value start a header line of its own.
    if (strpbrk(h.value, "\r\n"))
      return wh_err_set(err, err_size, "header %s has a newline in its value", h.name);
  }
  return 0;
}
