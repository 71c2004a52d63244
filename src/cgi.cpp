#include "cgi.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "api.h"
#include "cgi_answer.h"
#include "cgi_query.h"
#include "page.h"
#include "plat.h"
#include "sha256.h"
#include "vd_sockets.h"
#include "wh_escape.h"
#include "wh_hook.h"

namespace {

constexpr size_t kQueryCap = 4096;
constexpr size_t kActionCap = 64;
constexpr size_t kThemeCap = 16;
constexpr size_t kPwdCap = 256;

// Whole-text equality in time that depends on the lengths alone, so that the
// answer time tells nothing about how much of a guess was right.
bool password_eq(const char *candidate, const char *password) {
  size_t n = strlen(password);
  return strlen(candidate) == n && kr_ct_eq(candidate, password, n);
}

// The credential in an Authorization value: leading spaces and a "Bearer "
// scheme (with the spaces after it) are skipped, so a bare password counts too.
const char *bearer_token(const char *auth) {
  while (*auth == ' ') ++auth;
  if (strncmp(auth, "Bearer ", 7) == 0) {
    auth += 7;
    while (*auth == ' ') ++auth;
  }
  return auth;
}

bool all_digits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool is_ip(std::string_view host, int family) {
  char text[64];
  if (host.empty() || host.size() >= sizeof text) return false;
  memcpy(text, host.data(), host.size());
  text[host.size()] = '\0';
  unsigned char addr[16];
  return inet_pton(family, text, addr) == 1;
}

bool listed(std::string_view host, std::string_view list) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    // A name written with its port ("mybox.lan:8080") stands for its host.
    if (size_t colon = item.find(':'); colon != std::string_view::npos && item.front() != '[')
      item = item.substr(0, colon);
    if (!item.empty() && ieq_view(item, host)) return true;
  }
  return false;
}

const char *env_or(const char *name, const char *fallback) {
  const char *v = plat_env(name);
  return v ? v : fallback;
}

// This server's own origin as a browser writes it: scheme, "://", Host.
bool is_own_origin(std::string_view origin, const char *host) {
  bool tls = ieq(env_or("HTTPS", ""), "on") || ieq(env_or("REQUEST_SCHEME", ""), "https");
  std::string_view scheme = tls ? "https://" : "http://";
  if (!host || origin.size() <= scheme.size()) return false;
  return ieq_view(origin.substr(0, scheme.size()), scheme) &&
         ieq_view(origin.substr(scheme.size()), host);
}

}  // namespace

bool cgi_host_allowed(const char *http_host, const char *allowed) {
  std::string_view h = http_host ? http_host : "";
  std::string_view host, port;
  if (!h.empty() && h.front() == '[') {
    size_t close = h.find(']');
    if (close == std::string_view::npos) return false;
    host = h.substr(1, close - 1);
    port = h.substr(close + 1);
    if (!is_ip(host, AF_INET6)) return false;
  } else {
    size_t colon = h.find(':');
    host = h.substr(0, colon);
    port = colon == std::string_view::npos ? std::string_view() : h.substr(colon);
  }
  if (!port.empty() && (port.front() != ':' || !all_digits(port.substr(1)))) return false;
  if (host.empty()) return false;
  if (h.front() == '[' || is_ip(host, AF_INET)) return true;
  constexpr std::string_view kLocal = "localhost", kUnderLocal = ".localhost";
  if (ieq_view(host, kLocal)) return true;
  if (host.size() > kUnderLocal.size() &&
      ieq_view(host.substr(host.size() - kUnderLocal.size()), kUnderLocal))
    return true;
  return listed(host, allowed ? allowed : "");
}

const char *cgi_refusal(bool api, const char *action, long *status, const char **extra) {
  *extra = nullptr;
  const char *method = plat_env("REQUEST_METHOD");
  if (method && !ieq(method, "GET") && !ieq(method, "HEAD") && !ieq(method, "POST")) {
    *status = 405;
    *extra = "Allow: GET, HEAD, POST\r\n";
    return "method not allowed";
  }
  const char *password = plat_env("BOT_PASSWORD");
  bool open_node = !password || !*password;
  // Without a password nothing proves who sent a GET: an image, a link or a
  // new window of any site (and a link from a mail program, which arrives as
  // Sec-Fetch-Site: none) sends one, and browsers send no Fetch Metadata to a
  // plain-http name. So only a POST may change or send.
  if (open_node && api && method && !ieq(method, "POST") && api_action_changes(action)) {
    *status = 405;
    *extra = "Allow: POST\r\n";
    return "this action needs POST while no node password is set";
  }
  *status = 403;
  // Without a password, a foreign name in Host is what DNS rebinding looks
  // like: a page of another site that reaches this server under its own name.
  const char *host = plat_env("HTTP_HOST");
  if (open_node && host && !cgi_host_allowed(host, plat_env("WEBHOOK_ALLOWED_HOSTS")))
    return "host name not served without a node password: use an IP address or localhost, "
           "or list the name in WEBHOOK_ALLOWED_HOSTS";
  // The page itself may be opened from a link anywhere: it changes nothing and
  // holds no secret. Every API call must come from this server's own pages
  // (or from a caller that is no browser, which sends neither header).
  if (!api) return nullptr;
  const char *site = plat_env("HTTP_SEC_FETCH_SITE");
  if (site && strcmp(site, "same-origin") != 0 && strcmp(site, "none") != 0)
    return "cross-site request refused (Sec-Fetch-Site)";
  // "null" is what a browser may send for this server's own page, whose
  // answers ask for no referrer; Sec-Fetch-Site, which no page can set,
  // vouches for it then.
  const char *origin = plat_env("HTTP_ORIGIN");
  bool vouched =
      site && strcmp(origin ? origin : "", "null") == 0 && strcmp(site, "same-origin") == 0;
  if (origin && !vouched && !is_own_origin(origin, host))
    return "request from another origin refused (Origin)";
  return nullptr;
}

void require_node_auth() {
  const char *password = plat_env("BOT_PASSWORD");
  if (!password || !*password) return;

  const char *header = plat_env("HTTP_X_BOT_PASSWORD");
  if (header && password_eq(header, password)) return;

  const char *auth = plat_env("HTTP_AUTHORIZATION");
  if (auth && password_eq(bearer_token(auth), password)) return;

  // The query as the web server set it, not the trimmed query text.
  const char *query = plat_env("QUERY_STRING");
  char pwd[kPwdCap];
  if (query && get_query_val(query, "pwd", pwd, sizeof pwd) && password_eq(pwd, password)) return;

  cgi_write_head(401, CGI_JSON);
  fputs("{\"ok\":false,\"error\":\"invalid node password\"}\n", stdout);
  fflush(stdout);
  exit(0);
}

void cgi_main() {
  // The query text: a leading path up to the first "?" is dropped, so both
  // forms a web server may pass reach the same parameters.
  char query[kQueryCap];
  wh_field_copy(query, plat_env("QUERY_STRING"));
  if (char *q = strchr(query, '?')) memmove(query, q + 1, strlen(q + 1) + 1);

  char action[kActionCap];
  get_query_val(query, "action", action, sizeof action);
  char theme[kThemeCap];
  bool light = get_query_val(query, "theme", theme, sizeof theme) && ieq(theme, "light");

  const char *method = plat_env("REQUEST_METHOD");
  bool api = action[0] || strstr(query, "format=json") || (method && ieq(method, "POST"));

  long status;
  const char *extra;
  if (const char *why = cgi_refusal(api, action, &status, &extra))
    return api_err(status, why, extra);
  require_node_auth();
  if (api)
    mode_api(query, action);
  else
    page_write(light);
}
