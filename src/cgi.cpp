#include "cgi.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api.h"
#include "page.h"
#include "sha256.h"
#include "wh_buf.h"
#include "wh_hook.h"

namespace {

constexpr size_t kQueryCap = 4096;
constexpr size_t kActionCap = 64;
constexpr size_t kThemeCap = 16;
constexpr size_t kPwdCap = 256;

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

// Whole-text equality in time that depends on the lengths alone, so that the
// answer time tells nothing about how much of a guess was right.
bool password_eq(const char *candidate, const char *password) {
  size_t n = strlen(password);
  return strlen(candidate) == n && kr_ct_eq(candidate, password, n);
}

// The credential after "Bearer " in an Authorization value, or null.
const char *bearer_token(const char *auth) {
  while (*auth == ' ') ++auth;
  if (strncmp(auth, "Bearer ", 7) != 0) return nullptr;  // other schemes never match
  auth += 7;
  while (*auth == ' ') ++auth;
  return auth;
}

}  // namespace

void cgi_write_head(long status, const char *content_type) {
  if (status) printf("Status: %ld\r\n", status);
  printf(
      "Content-Type: %s\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\nContent-Security-Policy: default-src 'self' "
      "'unsafe-inline'; img-src 'self' data:; connect-src 'self'\r\n\r\n",
      content_type);
}

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

int ieq(const char *a, const char *b) {
  if (!a || !b) return 0;
  for (; *a && *b; ++a, ++b)
    if (tolower(static_cast<unsigned char>(*a)) != tolower(static_cast<unsigned char>(*b)))
      return 0;
  return *a == *b;
}

void copy_trunc(char *dst, size_t dst_size, const char *src) {
  wh_field_copy(dst, dst_size, src);
}

void require_node_auth() {
  const char *password = getenv("BOT_PASSWORD");
  if (!password || !*password) return;

  const char *header = getenv("HTTP_X_BOT_PASSWORD");
  if (header && password_eq(header, password)) return;

  const char *auth = getenv("HTTP_AUTHORIZATION");
  if (auth) {
    const char *token = bearer_token(auth);
    if (token && password_eq(token, password)) return;
  }

  // The query as the web server set it, not the trimmed query text.
  const char *query = getenv("QUERY_STRING");
  char pwd[kPwdCap];
  if (query && get_query_val(query, "pwd", pwd, sizeof pwd) && password_eq(pwd, password)) return;

  cgi_write_head(401, CGI_JSON);
  fputs("{\"ok\":false,\"error\":\"invalid node password\"}\n", stdout);
  fflush(stdout);
  exit(0);
}

void api_send(long status, const char *text) {
  cgi_write_head(status, CGI_JSON);
  fputs(text ? text : "", stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void api_ok(const char *text) {
  api_send(0, text);
}

void api_err(long status, const char *message) {
  wh_text b;
  int first = 1;
  wh_buf_str(&b, "{");
  wh_buf_key(&b, "ok", &first);
  wh_buf_str(&b, "false");
  wh_buf_key(&b, "error", &first);
  wh_buf_json_str(&b, message ? message : "");
  wh_buf_str(&b, "}");
  api_send(status, wh_buf_cstr(&b));
}

void cgi_main() {
  // The query text: a leading path up to the first "?" is dropped, so both
  // forms a web server may pass reach the same parameters.
  char query[kQueryCap];
  copy_trunc(query, sizeof query, getenv("QUERY_STRING"));
  if (char *q = strchr(query, '?')) memmove(query, q + 1, strlen(q + 1) + 1);

  char action[kActionCap];
  get_query_val(query, "action", action, sizeof action);
  char theme[kThemeCap];
  bool light = get_query_val(query, "theme", theme, sizeof theme) && ieq(theme, "light");

  const char *method = getenv("REQUEST_METHOD");
  bool api = action[0] || strstr(query, "format=json") || (method && ieq(method, "POST"));

  require_node_auth();
  if (api)
    mode_api(query, action);
  else
    page_write(light);
}
