// The exchange on libcurl (POSIX): the request goes only to the addresses
// that the program resolved and the guard vetted.
#include <strings.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "curl_api.h"
#include "raii.h"
#include "vd_sockets.h"
#include "wh_buf.h"
#include "wh_http.h"
#include "wh_http_parts.h"

using wh_http_parts::fail_as;
using wh_http_parts::failure;
using wh_http_parts::zeroed;

namespace {

// "No progress for 15 s" stands for the send and receive timeouts.
constexpr long kStallSeconds = 15;

// A failed transfer, by its cause. Only what happened at or after the
// connection keeps the general text; failures on this side say what they were.
int fail_perform(wh_response *r, const curl_api *api, CURLcode code, const char *detail,
                 const char *host) {
  switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
      return fail_as(r, failure::certificate, detail[0] ? detail : api->easy_strerror(code));
    case CURLE_URL_MALFORMAT: return fail_as(r, failure::unsendable_url);
    case CURLE_OUT_OF_MEMORY: return fail_as(r, failure::out_of_memory);
    case CURLE_COULDNT_RESOLVE_HOST: return fail_as(r, failure::unresolved, host);
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
      return fail_as(r, failure::client_start, api->easy_strerror(code));
    default: return fail_as(r, failure::send);
  }
}

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
  if (wh_http_parts::capture(s->r, data, n, &s->total)) return n;
  // Enough has been drained; ending here is not a failure.
  s->stopped = true;
  return 0;
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

// Second line of defence behind the pinning: a socket is opened only to an
// address that was resolved and vetted for this exchange.
curl_socket_t on_open_socket(void *clientp, curlsocktype purpose, curl_sockaddr *address) {
  const auto *list = static_cast<const wh_http_parts::vetted *>(clientp);
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKET_BAD;
  if (!wh_http_parts::may_connect(list, &address->addr)) return CURL_SOCKET_BAD;
  return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

using curl_list = std::unique_ptr<curl_slist, curl_slist_free>;

// What libcurl is handed by pointer for one transfer: it must outlive the
// transfer, and the error buffer the handle.
struct transfer {
  transfer(const curl_api *api, wh_response *r)
      : resolve(nullptr, curl_slist_free{api}), headers(nullptr, curl_slist_free{api}), sink{r} {}
  wh_text url;        // scheme, host, port and the wire target
  curl_list resolve;  // the pinning entry
  curl_list headers;  // the header lines
  body_sink sink;
  head_state head{};
  char detail[CURL_ERROR_SIZE] = "";  // libcurl's own words on a failure
};

struct header_block {
  char text[WH_HTTP_HEADER_TEXT];
};

struct wire_target_text {
  char text[wh_http_parts::kTargetCap];
};

// The URL, the pinning entry and the header lines; false when memory ran out.
bool prepare(const curl_api *api, const wh_url *url, const char *method, const wh_header *headers,
             int header_count, uint64_t body_len, const wh_http_parts::vetted &list, transfer *t) {
  // "host:port:addr1,addr2": libcurl connects only there and never resolves.
  wh_text pin_entry;
  wh_buf_printf(&pin_entry, "%s:%d:", url->host, url->port);
  for (int i = 0; i < list.count; ++i) {
    const wh_http_parts::vetted_addr &v = list.addrs[i];
    wh_buf_printf(&pin_entry, v.family == AF_INET6 ? "%s[%s]" : "%s%s", i ? "," : "", v.text);
  }
  auto target = zeroed<wire_target_text>();
  if (!target) return false;
  wh_http_parts::wire_target(url, target->text);
  wh_buf_printf(&t->url, "%s://%s:%d%s", url->https ? "https" : "http", url->host, url->port,
                target->text);
  if (pin_entry.failed || t->url.failed) return false;
  t->resolve.reset(api->slist_append(nullptr, wh_buf_cstr(&pin_entry)));

  auto text = zeroed<header_block>();
  if (!text) return false;
  wh_http_header_text(url, method, headers, header_count, body_len, text->text);
  curl_slist *lines = nullptr;
  bool listed = header_list(api, text->text, strlen(text->text), &lines);
  t->headers.reset(lines);
  return t->resolve && listed;
}

// Sets options in turn until libcurl refuses one; `set` is then its code.
struct option_setter {
  const curl_api *api;
  CURL *h;
  CURLcode set = CURLE_OK;
  template <typename V>
  void operator()(CURLoption o, V v) {
    if (set == CURLE_OK) set = api->easy_setopt(h, o, v);
  }
};

// Where the request may go: the URL, over http or https, to the vetted
// addresses only, through no proxy, on TLS 1.2 or later with the certificate
// and the name checked.
void set_destination(option_setter &opt, transfer *t, wh_http_parts::vetted *list) {
  opt(CURLOPT_URL, wh_buf_cstr(&t->url));
  bool url_taken = opt.set == CURLE_OK;
  opt(CURLOPT_PROTOCOLS_STR, "http,https");
  opt(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  if (url_taken && opt.set == CURLE_UNKNOWN_OPTION) {
    // libcurl before 7.85 (Ubuntu 22.04 has 7.81) knows only the bit masks,
    // which newer headers mark deprecated.
    opt.set = CURLE_OK;
    constexpr long kHttpOnly = CURLPROTO_HTTP | CURLPROTO_HTTPS;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    opt(CURLOPT_PROTOCOLS, kHttpOnly);
    opt(CURLOPT_REDIR_PROTOCOLS, kHttpOnly);
#pragma GCC diagnostic pop
  }
  opt(CURLOPT_FOLLOWLOCATION, 0L);
  opt(CURLOPT_RESOLVE, t->resolve.get());
  opt(CURLOPT_OPENSOCKETFUNCTION, on_open_socket);
  opt(CURLOPT_OPENSOCKETDATA, static_cast<void *>(list));
  opt(CURLOPT_PROXY, "");
  opt(CURLOPT_NOPROXY, "*");
  opt(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  opt(CURLOPT_SSL_VERIFYPEER, 1L);
  opt(CURLOPT_SSL_VERIFYHOST, 2L);
}

// HTTP/1.1 with the target as given, no signals, and the delivery's bounds.
void set_bounds(option_setter &opt) {
  opt(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  opt(CURLOPT_PATH_AS_IS, 1L);
  opt(CURLOPT_NOSIGNAL, 1L);
  opt(CURLOPT_CONNECTTIMEOUT_MS, wh_http_connect_timeout_ms);
  opt(CURLOPT_LOW_SPEED_LIMIT, 1L);
  opt(CURLOPT_LOW_SPEED_TIME, kStallSeconds);
  opt(CURLOPT_TIMEOUT_MS, wh_http_overall_timeout_ms);
}

// What is sent (the header lines, the method and the body) and where the
// answer goes.
void set_request(option_setter &opt, transfer *t, const char *method, const void *body,
                 uint64_t body_len) {
  static const char kNoBody[] = "";
  const char *payload = body_len ? static_cast<const char *>(body) : kNoBody;
  bool is_get = strcmp(method, "GET") == 0, is_head = strcmp(method, "HEAD") == 0;
  opt(CURLOPT_USERAGENT, WH_HTTP_USER_AGENT);
  opt(CURLOPT_HTTPHEADER, t->headers.get());
  opt(CURLOPT_WRITEFUNCTION, on_body);
  opt(CURLOPT_WRITEDATA, static_cast<void *>(&t->sink));
  opt(CURLOPT_HEADERFUNCTION, on_header);
  opt(CURLOPT_HEADERDATA, static_cast<void *>(&t->head));
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
  opt(CURLOPT_ERRORBUFFER, t->detail);
}

}  // namespace

int wh_http_exchange(const wh_url *url, const char *method, const wh_header *headers,
                     int header_count, const void *body, uint64_t body_len, wh_response *response) {
  // The vetted list is large: it lives on the heap, not on the caller's stack.
  auto vetted = zeroed<wh_http_parts::vetted>();
  if (!vetted) return fail_as(response, failure::out_of_memory);
  if (wh_http_parts::resolve_vetted(url, vetted.get(), response) != 0) return -1;

  char why[256];
  const curl_api *api = curl_api_get(why, sizeof why);
  if (!api) return fail_as(response, failure::client_start, why);
  transfer t(api, response);  // before the handle, which uses its buffers to the end
  std::unique_ptr<CURL, curl_easy_free> easy(api->easy_init(), curl_easy_free{api});
  if (!easy) return fail_as(response, failure::client_start, "no handle");
  t.head = head_state{api, easy.get()};
  if (!prepare(api, url, method, headers, header_count, body_len, *vetted, &t))
    return fail_as(response, failure::out_of_memory);

  // Every option that keeps the request where the guard let it go is checked;
  // a library that refuses one is not used.
  option_setter opt{api, easy.get()};
  set_destination(opt, &t, vetted.get());
  set_bounds(opt);
  set_request(opt, &t, method, body, body_len);
  if (opt.set != CURLE_OK)
    return fail_as(response, failure::client_start, api->easy_strerror(opt.set));

  CURLcode done = api->easy_perform(easy.get());
  // A failure once the response head is in (the body stalled or broke off)
  // keeps what was read, as does the deliberate stop after 8 MiB.
  if (done != CURLE_OK && !(done == CURLE_WRITE_ERROR && t.sink.stopped) && !t.head.done)
    return fail_perform(response, api, done, t.detail, url->host);

  long status = 0;
  if (api->easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status) == CURLE_OK)
    response->status = static_cast<int>(status);
  return wh_http_parts::finish(response);
}
