#include "wh_url.h"

#include <cstdio>
#include <cstring>

#include "wh_err.h"

namespace {

constexpr size_t kMaxAuthority = 255;
constexpr size_t kMaxPortDigits = 7;

// Bytes that end the authority: the path and query starts, the fragment, the
// end of the text and every control byte. Space and high bytes do not, so
// they reach the host check and are refused there.
bool ends_authority(unsigned char c) {
  return c == '\0' || c == '/' || c == '?' || c == '#' || c < 0x20;
}

bool host_byte_ok(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

}  // namespace

int wh_url_parse(const char *text, wh_url *out, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  wh_url scratch;  // lets a caller check a URL without keeping the result
  if (!out) out = &scratch;
  memset(out, 0, sizeof *out);
  if (!text || !*text) return wh_err_set(err, err_size, "empty url");

  const char *p;
  if (strncmp(text, "https://", 8) == 0) {
    out->https = 1;
    p = text + 8;
  } else if (strncmp(text, "http://", 7) == 0) {
    out->https = 0;
    p = text + 7;
  } else {
    return wh_err_set(err, err_size, "url must start with http:// or https://");
  }

  if (*p == '[') return wh_err_set(err, err_size, "IPv6 literals are not supported");

  const char *auth = p;
  while (!ends_authority(static_cast<unsigned char>(*p))) ++p;
  size_t auth_len = static_cast<size_t>(p - auth);
  if (auth_len == 0) return wh_err_set(err, err_size, "url has no host");
  if (auth_len > kMaxAuthority) return wh_err_set(err, err_size, "host too long");
  if (memchr(auth, '@', auth_len))
    return wh_err_set(err, err_size, "credentials in the url are refused; use a header instead");

  out->port = out->https ? 443 : 80;

  size_t host_len = auth_len;
  if (const char *colon = static_cast<const char *>(memchr(auth, ':', auth_len))) {
    host_len = static_cast<size_t>(colon - auth);
    const char *digits = colon + 1;
    size_t n = auth_len - host_len - 1;
    if (n < 1 || n > kMaxPortDigits) return wh_err_set(err, err_size, "bad port");
    long value = 0;
    for (size_t i = 0; i < n; ++i) {
      if (digits[i] < '0' || digits[i] > '9') return wh_err_set(err, err_size, "bad port");
      value = value * 10 + (digits[i] - '0');  // 7 digits cannot overflow a long
    }
    if (value < 1 || value > 65535) return wh_err_set(err, err_size, "port out of range");
    out->port = static_cast<int>(value);
  }

  if (host_len == 0) return wh_err_set(err, err_size, "url has no host");
  memcpy(out->host, auth, host_len);  // at most 255 bytes: fits with its NUL
  out->host[host_len] = '\0';
  for (size_t i = 0; i < host_len; ++i) {
    if (!host_byte_ok(static_cast<unsigned char>(auth[i])))
      return wh_err_set(err, err_size, "host contains forbidden characters");
  }

  snprintf(out->scheme, sizeof out->scheme, "%s", out->https ? "https" : "http");

  // The target is kept byte for byte; a space or a fragment ends it, and an
  // overlong one is cut rather than refused.
  if (*p == '/' || *p == '?') {
    size_t n = strcspn(p, " #");  // a stored URL's target can be 2 KB long
    if (n > sizeof out->path - 1) n = sizeof out->path - 1;
    memcpy(out->path, p, n);
    out->path[n] = '\0';
  } else {
    out->path[0] = '/';
    out->path[1] = '\0';
  }
  return 0;
}

namespace {

// "scheme://host[:port]", then the path as stored or, when hide_path is set,
// "/<redacted>" for anything beyond "/", then "?<redacted>" for any query;
// cut to the buffer as one snprintf would cut it (a list shows one URL a hook).
void write_display(const wh_url *url, bool hide_path, char *out, size_t out_size) {
  if (!out || out_size == 0) return;
  out[0] = '\0';
  if (!url) return;

  const char *q = strchr(url->path, '?');
  size_t shown = q ? static_cast<size_t>(q - url->path) : strlen(url->path);

  size_t at = 0;
  auto add = [&](const char *text, size_t n) {
    size_t room = out_size - 1 - at;
    if (n > room) n = room;
    memcpy(out + at, text, n);
    at += n;
  };
  add(url->scheme, strnlen(url->scheme, sizeof url->scheme));
  add("://", 3);
  add(url->host, strnlen(url->host, sizeof url->host));
  if (url->port != (url->https ? 443 : 80)) {
    char port[16];
    int n = snprintf(port, sizeof port, ":%d", url->port);
    if (n > 0) add(port, static_cast<size_t>(n));
  }
  if (!hide_path || shown <= 1)
    add(url->path, shown);  // as stored, or only "/" (or nothing before a bare query)
  else
    add("/<redacted>", 11);
  if (q) add("?<redacted>", 11);
  out[at] = '\0';
}

}  // namespace

void wh_url_redact(const wh_url *url, char *out, size_t out_size) {
  write_display(url, false, out, out_size);
}

void wh_url_redact_path(const wh_url *url, char *out, size_t out_size) {
  write_display(url, true, out, out_size);
}

int wh_method_ok(const char *method) {
  static const char *const kMethods[] = {"GET", "POST", "PUT", "PATCH", "DELETE", "HEAD"};
  if (!method || !*method) return 0;
  for (const char *m : kMethods) {
    if (strcmp(method, m) == 0) return 1;
  }
  return 0;
}
