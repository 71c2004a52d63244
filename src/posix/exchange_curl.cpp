// The exchange on libcurl (POSIX): the request goes only to the addresses
// that the program resolved and the guard vetted.
#include <strings.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "curl_api.h"
#include "raii.h"
#include "vd_sockets.h"
#include "wh_buf.h"
#include "wh_guard.h"
#include "wh_http.h"
#include "wh_http_parts.h"

using wh_http_parts::fail;
using wh_http_parts::kSendFailed;
using wh_http_parts::kUnsendableUrl;
using wh_http_parts::zeroed;

namespace {

// "No progress for 15 s" stands for the send and receive timeouts.
constexpr long kStallSeconds = 15;

constexpr int kMaxPinned = wh_http_parts::kMaxVetted;

// A failed transfer, by its cause. Only what happened at or after the
// connection keeps the general text; failures on this side say what they were.
int fail_perform(wh_response *r, const curl_api *api, CURLcode code, const char *detail,
                 const char *host) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
      return fail(r, "request failed: the endpoint's TLS certificate was refused (%s)",
                  detail[0] ? detail : api->easy_strerror(code));
    case CURLE_URL_MALFORMAT: return fail(r, "%s", kUnsendableUrl);
    case CURLE_OUT_OF_MEMORY: return fail(r, "out of memory");
    case CURLE_COULDNT_RESOLVE_HOST: return fail(r, "could not resolve %s", host);
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_FAILED_INIT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_UNKNOWN_OPTION:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
      return fail(r, "could not start the HTTP client: %s", api->easy_strerror(code));
    default: return fail(r, "%s", kSendFailed);
  }
}

// One vetted address, kept in binary for the open-socket check and as text
// for the pinning entry.
struct pinned_addr {
  int family;
  unsigned char bytes[16];
  char text[68];  // "[" text "]"
};

struct pin_set {
  pinned_addr addrs[kMaxPinned];
  int count;
  int allow_private;
};

// Turns the header text into libcurl's list, one entry per line. Any CR or LF
// ends a line, so no value can smuggle in a line of its own. A line whose
// value is blank goes in libcurl's "Name;" form, which it sends as "Name:";
// the plain "Name:" form would delete the header instead. (Blank space after
// the colon is optional white space in HTTP, not part of the value.)
bool header_list(const curl_api *api, const char *text, size_t used, curl_slist **list) {
  char line[WH_HTTP_HEADER_TEXT + 1];
  size_t i = 0;
  while (i < used) {
    size_t j = i;
    while (j < used && text[j] != '\r' && text[j] != '\n') ++j;
    size_t n = j - i;
    if (n > 0) {
      memcpy(line, text + i, n);
      line[n] = '\0';
      if (char *colon = strchr(line, ':')) {
        const char *v = colon + 1;
        while (*v == ' ' || *v == '\t') ++v;
        if (!*v) {
          colon[0] = ';';
          colon[1] = '\0';
        }
      }
      curl_slist *next = api->slist_append(*list, line);
      if (!next) return false;
      *list = next;
    }
    i = j + 1;
  }
  // Lines libcurl would add by itself: the request carries only ours and the
  // user agent. An empty "Name:" entry removes libcurl's own line.
  for (const char *own : {"Accept:", "Expect:", "Content-Type:", "Transfer-Encoding:"}) {
    bool have = false;
    for (const curl_slist *e = *list; e; e = e->next) {
      size_t n = strlen(own) - 1;
      if (strncasecmp(e->data, own, n) == 0 && (e->data[n] == ':' || e->data[n] == ';')) {
        have = true;
        break;
      }
    }
    if (have) continue;
    curl_slist *next = api->slist_append(*list, own);
    if (!next) return false;
    *list = next;
  }
  return true;
}

struct body_sink {
  wh_response *r;
  uint64_t total = 0;
  bool stopped = false;
};

size_t on_body(char *data, size_t size, size_t nmemb, void *userdata) {
  auto *s = static_cast<body_sink *>(userdata);
  size_t n = size * nmemb;
  s->total += n;
  wh_response *r = s->r;
  if (r->body_len < WH_HTTP_CAPTURE) {
    size_t room = static_cast<size_t>(WH_HTTP_CAPTURE - r->body_len);
    size_t take = n < room ? n : room;
    memcpy(r->body + r->body_len, data, take);
    r->body_len += take;
  }
  if (s->total >= WH_HTTP_PREVIEW) r->truncated = 1;
  if (s->total > WH_HTTP_DRAIN_LIMIT) {
    // Enough has been drained; ending here is not a failure.
    s->stopped = true;
    return 0;
  }
  return n;
}

struct head_state {
  const curl_api *api;
  CURL *easy;
  bool done = false;  // the final (non-1xx) header block has ended
};

size_t on_header(char *data, size_t size, size_t nmemb, void *userdata) {
  auto *h = static_cast<head_state *>(userdata);
  size_t n = size * nmemb;
  if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) {
    long code = 0;
    h->api->easy_getinfo(h->easy, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 200) h->done = true;
  }
  return n;
}

bool same_addr(const pinned_addr &p, const sockaddr *sa) {
  if (sa->sa_family != p.family) return false;
  if (p.family == AF_INET)
    return memcmp(&reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, p.bytes, 4) == 0;
  return memcmp(&reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, p.bytes, 16) == 0;
}

// Second line of defence behind the pinning: a socket is opened only to an
// address that was resolved and vetted for this exchange.
curl_socket_t on_open_socket(void *clientp, curlsocktype purpose, curl_sockaddr *address) {
  const auto *pins = static_cast<const pin_set *>(clientp);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  const sockaddr *sa = &address->addr;
  bool vetted = false;
  for (int i = 0; i < pins->count && !vetted; ++i) vetted = same_addr(pins->addrs[i], sa);
  if (!vetted) return CURL_SOCKET_BAD;
  if (!pins->allow_private && wh_sockaddr_is_denied(sa)) return CURL_SOCKET_BAD;
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

using vetted_list = std::unique_ptr<wh_http_parts::vetted, heap_free>;

struct header_block {
  char text[WH_HTTP_HEADER_TEXT];
};

struct wire_target_text {
  char text[wh_http_parts::kTargetCap];
};

}  // namespace

int wh_http_exchange(const wh_url *url, const char *method, const wh_header *headers,
                     int header_count, const void *body, uint64_t body_len, wh_response *response) {
  // Large working records live on the heap, not on the caller's stack.
  auto pins = zeroed<pin_set>();
  if (!pins) return fail(response, "out of memory");

  vetted_list vetted = zeroed<wh_http_parts::vetted>();
  if (!vetted) return fail(response, "out of memory");
  if (wh_http_parts::resolve_vetted(url, vetted.get(), response) != 0) return -1;
  pins->allow_private = vetted->allow_private;
  for (int i = 0; i < vetted->count && i < kMaxPinned; ++i) {
    const wh_http_parts::vetted_addr &v = vetted->addrs[i];
    pinned_addr &p = pins->addrs[pins->count++];
    p.family = v.family;
    memcpy(p.bytes, v.bytes, sizeof p.bytes);
    snprintf(p.text, sizeof p.text, v.family == AF_INET6 ? "[%s]" : "%s", v.text);
  }

  char why[256];
  char detail[CURL_ERROR_SIZE] = "";  // libcurl's own words on a failure; outlives the handle
  const curl_api *api = curl_api_get(why, sizeof why);
  if (!api) return fail(response, "could not start the HTTP client: %s", why);

  std::unique_ptr<CURL, curl_easy_free> easy(api->easy_init(), curl_easy_free{api});
  if (!easy) return fail(response, "could not start the HTTP client: %s", "no handle");
  CURL *h = easy.get();

  // "host:port:addr1,addr2": libcurl connects only there and never resolves.
  wh_text pin_entry;
  wh_buf_printf(&pin_entry, "%s:%d:", url->host, url->port);
  for (int i = 0; i < pins->count; ++i)
    wh_buf_printf(&pin_entry, "%s%s", i ? "," : "", pins->addrs[i].text);
  auto target = zeroed<wire_target_text>();
  if (!target) return fail(response, "out of memory");
  wh_http_parts::wire_target(url, target->text);
  wh_text target_url;
  wh_buf_printf(&target_url, "%s://%s:%d%s", url->https ? "https" : "http", url->host, url->port,
                target->text);
  if (pin_entry.failed || target_url.failed) return fail(response, "out of memory");

  std::unique_ptr<curl_slist, curl_slist_free> resolve_list(
      api->slist_append(nullptr, wh_buf_cstr(&pin_entry)), curl_slist_free{api});
  auto text = zeroed<header_block>();
  if (!text) return fail(response, "out of memory");
  wh_http_header_text(url, method, headers, header_count, body_len, text->text);
  curl_slist *raw_headers = nullptr;
  bool listed = header_list(api, text->text, strlen(text->text), &raw_headers);
  std::unique_ptr<curl_slist, curl_slist_free> header_lines(raw_headers, curl_slist_free{api});
  if (!resolve_list || !listed) return fail(response, "out of memory");

  body_sink sink{response};
  head_state head{api, h};
  static const char kNoBody[] = "";
  const char *payload = body_len ? static_cast<const char *>(body) : kNoBody;
  bool is_get = strcmp(method, "GET") == 0, is_head = strcmp(method, "HEAD") == 0;

  // Every option that keeps the request where the guard let it go is checked;
  // a library that refuses one is not used.
  CURLcode set = CURLE_OK;
  auto opt = [&](CURLoption o, auto v) {
    if (set == CURLE_OK) set = api->easy_setopt(h, o, v);
  };
  opt(CURLOPT_URL, wh_buf_cstr(&target_url));
  bool url_taken = set == CURLE_OK;
  opt(CURLOPT_PROTOCOLS_STR, "http,https");
  opt(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (url_taken && set == CURLE_UNKNOWN_OPTION) {
    // libcurl before 7.85 (Ubuntu 22.04 has 7.81) knows only the bit masks,
    // which newer headers mark deprecated.
    set = CURLE_OK;
    constexpr long kHttpOnly = CURLPROTO_HTTP | CURLPROTO_HTTPS;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    opt(CURLOPT_PROTOCOLS, kHttpOnly);
    opt(CURLOPT_REDIR_PROTOCOLS, kHttpOnly);
#pragma GCC diagnostic pop
  }
  opt(CURLOPT_FOLLOWLOCATION, 0L);
  opt(CURLOPT_RESOLVE, resolve_list.get());
  opt(CURLOPT_OPENSOCKETFUNCTION, on_open_socket);
  opt(CURLOPT_OPENSOCKETDATA, static_cast<void *>(pins.get()));
  opt(CURLOPT_PROXY, "");
  opt(CURLOPT_NOPROXY, "*");
  opt(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  opt(CURLOPT_SSL_VERIFYPEER, 1L);
  opt(CURLOPT_SSL_VERIFYHOST, 2L);
  opt(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  opt(CURLOPT_PATH_AS_IS, 1L);
  opt(CURLOPT_NOSIGNAL, 1L);
  opt(CURLOPT_CONNECTTIMEOUT_MS, wh_http_connect_timeout_ms);
  opt(CURLOPT_LOW_SPEED_LIMIT, 1L);
  opt(CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  opt(CURLOPT_TIMEOUT_MS, wh_http_overall_timeout_ms);
  opt(CURLOPT_USERAGENT, WH_HTTP_USER_AGENT);
  opt(CURLOPT_HTTPHEADER, header_lines.get());
  opt(CURLOPT_WRITEFUNCTION, on_body);
  opt(CURLOPT_WRITEDATA, static_cast<void *>(&sink));
  opt(CURLOPT_HEADERFUNCTION, on_header);
  opt(CURLOPT_HEADERDATA, static_cast<void *>(&head));
  if (is_head) {
    // No body comes back; libcurl must not wait for one.
    opt(CURLOPT_NOBODY, 1L);
  }
  if (is_get && body_len == 0) {
    opt(CURLOPT_HTTPGET, 1L);
  } else if (!is_head) {
    opt(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_len));
    opt(CURLOPT_POSTFIELDS, payload);
    if (strcmp(method, "POST") != 0) opt(CURLOPT_CUSTOMREQUEST, method);
  }
  opt(CURLOPT_ERRORBUFFER, detail);
  if (set != CURLE_OK)
    return fail(response, "could not start the HTTP client: %s", api->easy_strerror(set));

  CURLcode done = api->easy_perform(h);
  // A failure once the response head is in (the body stalled or broke off)
  // keeps what was read, as does the deliberate stop after 8 MiB.
  if (done != CURLE_OK && !(done == CURLE_WRITE_ERROR && sink.stopped) && !head.done)
    return fail_perform(response, api, done, detail, url->host);

  long status = 0;
  if (api->easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
    response->status = static_cast<int>(status);
  }
  response->body[response->body_len] = '\0';
  response->ok = 1;
  return 0;
}
