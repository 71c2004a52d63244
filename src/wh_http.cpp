#include "wh_http.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "plat.h"
#include "raii.h"
#include "vd_sockets.h"
#include "wh_guard.h"
#include "wh_http_parts.h"

using wh_http_parts::fail;
using wh_http_parts::fail_as;
using wh_http_parts::failure;
using wh_http_parts::zeroed;

wh_resolver wh_http_resolver = {getaddrinfo, freeaddrinfo};
long wh_http_connect_timeout_ms = 10000;
long wh_http_overall_timeout_ms = 60000;

namespace {

constexpr size_t kHeaderText = WH_HTTP_HEADER_TEXT;
constexpr size_t kStoredHeadersUntil = 499;

// The header text exactly as the request carries it, in a fixed buffer. A line
// that does not fit is cut there; `running` still counts its full length.
struct header_text {
  char text[kHeaderText];
  size_t used;
  size_t running;
  int taken;  // the list's headers that came before the budget ran out
};

void add_line(header_text *h, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void add_line(header_text *h, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(h->text + h->used, sizeof h->text - h->used, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  h->running += static_cast<size_t>(n);
  h->used += static_cast<size_t>(n);
  if (h->used > sizeof h->text - 1) h->used = sizeof h->text - 1;
}

bool starts_with_nocase(const char *s, const char *prefix) {
  return strncasecmp(s, prefix, strlen(prefix)) == 0;
}

// Framing and connection headers are the exchange's own.
bool skipped_name(const char *name) {
  return !name[0] || starts_with_nocase(name, "Host") ||
         starts_with_nocase(name, "Content-Length") ||
         starts_with_nocase(name, "Transfer-Encoding") || starts_with_nocase(name, "Connection");
}

void build_header_text(const wh_url *url, const char *method, const wh_header *headers,
                       int header_count, uint64_t body_len, header_text *h) {
  int default_port = url->https ? 443 : 80;
  if (url->port == default_port) {
    add_line(h, "Host: %s\r\n", url->host);
  } else {
    add_line(h, "Host: %s:%d\r\n", url->host, url->port);
  }
  if (body_len > 0) {
    add_line(h, "Content-Length: %lu\r\n", static_cast<unsigned long>(body_len));
  } else if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0) {
    add_line(h, "Content-Length: %lu\r\n", 0UL);
  }
  int i = 0;
  for (; headers && i < header_count && h->running <= kStoredHeadersUntil; ++i) {
    if (skipped_name(headers[i].name)) continue;
    add_line(h, "%s: %s\r\n", headers[i].name, headers[i].value);
  }
  h->taken = i;
}

struct addrinfo_release {
  void (*fn)(addrinfo *) = nullptr;
  void operator()(addrinfo *list) const {
    if (fn) fn(list);
  }
};
using addrinfo_list = std::unique_ptr<addrinfo, addrinfo_release>;

}  // namespace

int wh_http_parts::fail(wh_response *r, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(r->error, sizeof r->error, fmt, ap);
  va_end(ap);
  r->ok = 0;
  return -1;
}

int wh_http_parts::fail_as(wh_response *r, failure kind, const char *detail) {
  switch (kind) {
    case failure::out_of_memory: return fail(r, "out of memory");
    case failure::client_start: return fail(r, "could not start the HTTP client: %s", detail);
    case failure::certificate:
      return fail(r, "request failed: the endpoint's TLS certificate was refused (%s)", detail);
    case failure::unsendable_url: return fail(r, "url holds a character that cannot be sent");
    case failure::unresolved: return fail(r, "could not resolve %s", detail);
    case failure::send: break;
  }
  return fail(r,
              "request failed: TLS or connection error (certificate refused or endpoint "
              "unreachable)");
}

size_t wh_http_header_text(const wh_url *url, const char *method, const wh_header *headers,
                           int header_count, uint64_t body_len, char *out, int *taken) {
  auto h = zeroed<header_text>();
  out[0] = '\0';
  if (taken) *taken = 0;
  if (!h) return 0;
  build_header_text(url, method, headers, header_count, body_len, h.get());
  memcpy(out, h->text, h->used);
  out[h->used] = '\0';
  if (taken) *taken = h->taken;
  return h->running;
}

int wh_http_request(const char *method, const wh_url *url, const wh_header *headers,
                    int header_count, const void *body, uint64_t body_len, wh_response *response) {
  memset(response, 0, sizeof *response);
  if (!url) return fail(response, "no url");
  if (!wh_method_ok(method)) return fail(response, "unsupported method");
  if (body_len > WH_HTTP_MAX_BODY)
    return fail(response, "the body is larger than the %u byte limit this plugin sends",
                static_cast<unsigned>(WH_HTTP_MAX_BODY));
  // A HEAD request goes without a body: libcurl cannot send one and still
  // stop reading at the end of the answer's head. The firing step never hands
  // one over anyway.
  if (strcmp(method, "HEAD") == 0) body_len = 0;
  // libcurl refuses a control byte in the target, which would show up as a
  // connection failure after the name was resolved; name the cause instead.
  for (const char *p = url->path; *p; ++p) {
    if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F)
      return fail_as(response, failure::unsendable_url);
  }
  for (int i = 0; headers && i < header_count; ++i) {
    // An empty name is never sent (the header text skips it).
    if (headers[i].name[0] && !wh_header_name_ok(headers[i].name))
      return fail(response, "header %d has an invalid name", i + 1);
    if (strpbrk(headers[i].value, "\r\n"))
      return fail(response, "header %s has a newline in its value", headers[i].name);
  }
  return wh_http_exchange(url, method, headers, header_count, body, body_len, response);
}

// libcurl escaped such bytes in the path and sent them raw in the query;
// WinHTTP escapes them everywhere (and much else unless told not to).
void wh_http_parts::wire_target(const wh_url *url, char (&out)[kTargetCap]) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const char *p = url->path;
  size_t n = 0;
  if (*p != '/') out[n++] = '/';
  for (; *p && n + 3 < kTargetCap; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) {
      out[n++] = static_cast<char>(c);
      continue;
    }
    out[n++] = '%';
    out[n++] = kHex[c >> 4];
    out[n++] = kHex[c & 15];
  }
  out[n] = '\0';
}

int wh_http_parts::resolve_vetted(const wh_url *url, vetted *out, wh_response *response) {
  out->count = 0;
  out->allow_private = wh_allow_private();
  plat_net_start();

  char service[16];
  snprintf(service, sizeof service, "%d", url->port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *raw = nullptr;
  int rc = wh_http_resolver.resolve(url->host, service, &hints, &raw);
  addrinfo_list list(rc == 0 ? raw : nullptr, addrinfo_release{wh_http_resolver.release});
  if (rc != 0 || !raw) return fail_as(response, failure::unresolved, url->host);

  for (const addrinfo *ai = list.get(); ai; ai = ai->ai_next) {
    if (!ai->ai_addr || (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)) continue;
    vetted_addr p{};
    p.family = ai->ai_family;
    const void *src;
    if (ai->ai_family == AF_INET) {
      src = &reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr;
      memcpy(p.bytes, src, 4);
    } else {
      src = &reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr)->sin6_addr;
      memcpy(p.bytes, src, 16);
    }
    char text[64];
    if (!inet_ntop(ai->ai_family, src, text, sizeof text)) text[0] = '\0';
    if (!out->allow_private && (!text[0] || wh_ip_is_denied(text)))
      return fail(response,
                  "refused: %s resolves to a private or reserved address (%s). Set "
                  "WEBHOOK_ALLOW_PRIVATE=1 to allow local endpoints.",
                  url->host, text);
    if (!text[0] || out->count == kMaxVetted) continue;
    memcpy(p.text, text, sizeof p.text);
    out->addrs[out->count++] = p;
  }
  if (out->count == 0) return fail(response, "could not resolve %s (no usable address)", url->host);
  return 0;
}

bool wh_http_parts::may_connect(const vetted *list, const sockaddr *sa) {
  bool listed = false;
  for (int i = 0; i < list->count && !listed; ++i) {
    const vetted_addr &v = list->addrs[i];
    if (sa->sa_family != v.family) continue;
    if (v.family == AF_INET)
      listed = memcmp(&reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, v.bytes, 4) == 0;
    else
      listed = memcmp(&reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, v.bytes, 16) == 0;
  }
  return listed && (list->allow_private || !wh_sockaddr_is_denied(sa));
}

bool wh_http_parts::capture(wh_response *r, const char *data, size_t n, uint64_t *total) {
  *total += n;
  if (r->body_len < WH_HTTP_CAPTURE) {
    uint64_t room = WH_HTTP_CAPTURE - r->body_len;
    size_t take = n < room ? n : static_cast<size_t>(room);
    memcpy(r->body + r->body_len, data, take);
    r->body_len += take;
  }
  if (*total >= WH_HTTP_PREVIEW) r->truncated = 1;
  return *total <= WH_HTTP_DRAIN_LIMIT;
}

int wh_http_parts::finish(wh_response *r) {
  r->body[r->body_len] = '\0';
  r->ok = 1;
  return 0;
}
