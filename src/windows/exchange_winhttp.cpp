// The exchange on WinHTTP (Windows), synchronous: one session, connection
// and request per delivery, closed in reverse order on every path.
//
// Rebinding: every address of the host was vetted before WinHTTP is called,
// but WinHTTP resolves the name again. For http the connection goes to the
// first vetted address as a literal, with the explicit Host line naming the
// host: nothing is resolved a second time. For https the certificate must be
// checked against the name, so WinHTTP gets the name; the address it really
// connected to is vetted after the exchange and a refused one discards the
// answer. A rebound address gets no byte of the request unless it proves the
// name with a trusted certificate: WinHTTP checks that before sending, and
// cannot be stopped between that check and the request.
#include <ws2tcpip.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "plat.h"
#include "raii.h"
#include "wh_guard.h"
#include "wh_http.h"
#include "wh_http_parts.h"
#include "windows/utf16.h"
#include "windows/winhttp_api.h"
#include "windows/winhttp_parts.h"

using wh_http_parts::fail;
using wh_http_parts::fail_as;
using wh_http_parts::failure;
using wh_http_parts::zeroed;

namespace {

// The user agent as WinHTTP takes it: the one text (ASCII) widened here.
template <size_t N>
constexpr std::array<wchar_t, N> widen(const char (&text)[N]) {
  std::array<wchar_t, N> wide{};
  for (size_t i = 0; i < N; ++i) wide[i] = static_cast<wchar_t>(text[i]);
  return wide;
}
constexpr bool ascii(const char *text) {
  for (; *text; ++text) {
    if (static_cast<unsigned char>(*text) >= 0x80) return false;
  }
  return true;
}
static_assert(ascii(WH_HTTP_USER_AGENT), "the user agent is widened byte by byte");
constexpr auto kUserAgent = widen(WH_HTTP_USER_AGENT);
// "User-Agent: " and the CR LF around the agent's text.
constexpr size_t kAgentLine = sizeof "User-Agent: \r\n" - 1 + sizeof WH_HTTP_USER_AGENT - 1;

constexpr int kSendTimeoutMs = 15000;
constexpr int kReceiveTimeoutMs = 15000;
constexpr size_t kReadChunk = 8192;
// A host of up to 255 bytes (the parser's bound) fits whole.
constexpr size_t kWideHost = 256;
constexpr size_t kWidePath = wh_http_parts::kTargetCap;
constexpr size_t kWideMethod = 16;
constexpr size_t kWideHeaders = 2048;

struct handle_close {
  const winhttp_api *api = nullptr;
  void operator()(void *h) const {
    if (api) api->close_handle(h);
  }
};
using winhttp_handle = std::unique_ptr<void, handle_close>;

// WINHTTP_OPTION_CONNECTION_INFO's record (absent from mingw's headers).
struct connection_info {
  DWORD size;
  SOCKADDR_STORAGE local;
  SOCKADDR_STORAGE remote;
};

// What the status callback learned during the exchange.
struct exchange_notes {
  char connected[64];  // the address text of CONNECTED_TO_SERVER
  DWORD secure_flags;  // the flags of SECURE_FAILURE
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, void *info, DWORD length) {
  auto *notes = reinterpret_cast<exchange_notes *>(context);
  if (!notes || !info) return;
  // Both carry the address text: the one WinHTTP resolved and is about to
  // connect to (also when the handshake fails later), then the one it reached.
  if (status == WINHTTP_CALLBACK_STATUS_CONNECTING_TO_SERVER ||
      status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER) {
    int n = WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t *>(info), -1,
                                notes->connected, sizeof notes->connected, nullptr, nullptr);
    if (n <= 0) notes->connected[0] = '\0';
  } else if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && length >= sizeof(DWORD)) {
    notes->secure_flags |= *static_cast<const DWORD *>(info);
  }
}

// Why the server's certificate was refused, from the callback's flags or the
// error code.
const char *certificate_problem(DWORD flags, DWORD error) {
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) || error == ERROR_WINHTTP_SECURE_INVALID_CA)
    return "certificate issuer not trusted (self-signed or unknown authority)";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) ||
      error == ERROR_WINHTTP_SECURE_CERT_CN_INVALID)
    return "certificate name does not match the host";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) ||
      error == ERROR_WINHTTP_SECURE_CERT_DATE_INVALID)
    return "certificate expired or not yet valid";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) ||
      error == ERROR_WINHTTP_SECURE_CERT_REVOKED)
    return "certificate revoked";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) ||
      error == ERROR_WINHTTP_SECURE_CERT_REV_FAILED)
    return "certificate revocation could not be checked";
  if ((flags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT) ||
      error == ERROR_WINHTTP_SECURE_INVALID_CERT ||
      (error == ERROR_WINHTTP_SECURE_FAILURE &&
       !(flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR)))
    return "certificate invalid";
  return nullptr;
}

// The handshake itself failed: no TLS version (1.2 or later) or cipher in
// common. Wine's WinHTTP reports a certificate it does not trust this way
// too, after a completed handshake.
bool handshake_refused(DWORD flags, DWORD error) {
  return error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
         (flags & WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR);
}

// The address WinHTTP reports for the finished exchange, as text; "" when
// it reports none.
void remote_address(const winhttp_api *api, HINTERNET request, char (&out)[64]) {
  out[0] = '\0';
  connection_info info{};
  info.size = sizeof info;
  DWORD size = sizeof info;
  if (!api->query_option(request, WINHTTP_OPTION_CONNECTION_INFO, &info, &size)) return;
  const auto *sa = reinterpret_cast<const sockaddr *>(&info.remote);
  const void *bytes = nullptr;
  if (sa->sa_family == AF_INET) bytes = &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr;
  if (sa->sa_family == AF_INET6) bytes = &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
  if (!bytes || !inet_ntop(sa->sa_family, bytes, out, sizeof out)) out[0] = '\0';
}

// Whether the request went through a named proxy.
bool via_proxy(const winhttp_api *api, HINTERNET request) {
  WINHTTP_PROXY_INFO info{};
  DWORD size = sizeof info;
  if (!api->query_option(request, WINHTTP_OPTION_PROXY, &info, &size)) return false;
  bool named =
      info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy && info.lpszProxy[0];
  if (info.lpszProxy) GlobalFree(info.lpszProxy);
  if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
  return named;
}

struct read_chunk {
  char bytes[kReadChunk];
};

// The body, through the shared capture, until its end or the drain limit. A
// failed read ends it without failing the exchange. The delivery's overall
// bound ends it too: WinHTTP bounds each read, not the whole, so an endpoint
// that drips a byte every few seconds would otherwise hold a single-threaded
// caller for hours. What arrived before the bound is kept, as the POSIX
// exchange keeps it.
void read_body(const winhttp_api *api, HINTERNET request, int64_t deadline_ms, wh_response *r) {
  auto chunk = zeroed<read_chunk>();
  if (!chunk) return;
  uint64_t total = 0;
  bool more = true;
  while (more && plat_now_ms() < deadline_ms) {
    // Only what has arrived: a read of a whole chunk would wait for the chunk
    // to fill, past the bound.
    DWORD ready = 0, got = 0;
    if (!api->query_data_available(request, &ready) || ready == 0) break;
    if (ready > kReadChunk) ready = kReadChunk;
    if (!api->read_data(request, chunk->bytes, ready, &got) || got == 0) break;
    more = wh_http_parts::capture(r, chunk->bytes, got, &total);
  }
}

// The exchange's working record, on the heap: the vetted addresses, the
// texts as WinHTTP takes them, what the status callback learned, and how the
// sending went.
struct exchange_state {
  wh_http_parts::vetted vetted;
  char target[wh_http_parts::kTargetCap];
  wchar_t host[kWideHost];
  wchar_t path[kWidePath];
  wchar_t method[kWideMethod];
  wchar_t headers[kWideHeaders];
  bool headers_ok;
  exchange_notes notes;
  bool sent;    // the answer's head arrived
  DWORD error;  // WinHTTP's error when it did not
};

// The session, limited to TLS 1.2 or later for https, with its bounds; null
// with the reason in r.
winhttp_handle open_session(const winhttp_api *api, const wh_url *url, wh_response *r) {
  winhttp_handle session(api->open(kUserAgent.data(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0),
                         handle_close{api});
  if (!session)
    session.reset(api->open(kUserAgent.data(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    fail(r, "WinHttpOpen failed");
    return session;
  }
  // TLS 1.2 or later, or nothing: the system's defaults may still allow 1.0
  // and 1.1. (Windows takes the option on the session only; on a request
  // Wine ignores it.)
  if (url->https && !wh_winhttp_restrict_tls(api->set_option, session.get())) {
    fail(r,
         "could not restrict TLS to version 1.2 or later (WinHTTP error %lu); nothing was "
         "sent",
         GetLastError());
    session.reset();
    return session;
  }
  api->set_timeouts(session.get(), 10000, static_cast<int>(wh_http_connect_timeout_ms),
                    kSendTimeoutMs, kReceiveTimeoutMs);
  return session;
}

// The target, the method and the header lines in UTF-16. The explicit Host
// line replaces the one WinHTTP would write (for http it would name the
// address literal). The request checks let through only token names and
// values without line breaks; should WinHTTP still refuse the text, the
// request would go out without its signature, so it does not go out at all.
void prepare_texts(const wh_url *url, const char *method, const wh_header *headers,
                   int header_count, uint64_t body_len, exchange_state *x) {
  wh_http_parts::wire_target(url, x->target);
  wh_utf16(x->target, x->path, kWidePath, false);
  wh_utf16(method, x->method, kWideMethod, false);
  x->headers_ok = wh_winhttp_header_text(url, method, headers, header_count, body_len, x->headers,
                                         kWideHeaders) >= 0;
}

// A connection to connect_to and the request on it, with no redirects, the
// receive bound, the status callback and the header lines. 0, or -1 with the
// reason in r.
int open_request(const winhttp_api *api, HINTERNET session, const wh_url *url,
                 const char *connect_to, exchange_state *x, winhttp_handle *connection,
                 winhttp_handle *request, wh_response *r) {
  if (wh_utf16(connect_to, x->host, kWideHost, false) < 0)
    return fail(r, "could not connect to %s", url->host);
  request->reset();
  connection->reset(api->connect(session, x->host, static_cast<INTERNET_PORT>(url->port), 0));
  if (!*connection) return fail(r, "could not connect to %s", url->host);
  // The target goes out as the bytes above, escaped by nobody else.
  DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                (url->https ? WINHTTP_FLAG_SECURE : 0);
  request->reset(api->open_request(connection->get(), x->method, x->path, nullptr,
                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
  if (!*request) return fail(r, "WinHttpOpenRequest failed");
  HINTERNET req = request->get();

  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  api->set_option(req, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  // Some WinHTTP versions take the receive bound only from this option.
  DWORD receive = kReceiveTimeoutMs;
  api->set_option(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
  api->set_status_callback(
      req, on_status,
      WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
  if (!x->headers_ok ||
      !api->add_request_headers(req, x->headers, static_cast<DWORD>(-1),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
    return fail(r, "the request headers were refused by WinHTTP; nothing was sent");
  return 0;
}

// Sends the request and waits for the answer's head; x->sent and x->error
// say how it went. http goes to the vetted addresses as literals, so nothing
// is resolved again; the next one only when no connection to this one could
// be made (nothing was sent then), as the Linux build does. 0, or -1 with the
// reason in r when the request could not be set up.
int send_to_endpoint(const winhttp_api *api, HINTERNET session, const wh_url *url, const void *body,
                     uint64_t body_len, exchange_state *x, winhttp_handle *connection,
                     winhttp_handle *request, wh_response *r) {
  auto context = reinterpret_cast<DWORD_PTR>(&x->notes);
  DWORD length = static_cast<DWORD>(body_len);
  void *payload = body_len ? const_cast<void *>(body) : WINHTTP_NO_REQUEST_DATA;
  int attempts = url->https ? 1 : x->vetted.count;
  for (int i = 0; i < attempts; ++i) {
    const char *connect_to = url->https ? url->host : x->vetted.addrs[i].text;
    if (open_request(api, session, url, connect_to, x, connection, request, r) != 0) return -1;
    HINTERNET req = request->get();
    x->notes = exchange_notes{};
    x->sent = api->send_request(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, payload, length, length,
                                context) &&
              api->receive_response(req, nullptr);
    x->error = x->sent ? 0 : GetLastError();
    if (x->sent || x->error != ERROR_WINHTTP_CANNOT_CONNECT) break;
  }
  return 0;
}

// The address the exchange reached: as WinHTTP reports it for the request,
// else as the status callback saw it.
void connected_address(const winhttp_api *api, HINTERNET request, const exchange_notes &notes,
                       char (&out)[64]) {
  remote_address(api, request, out);
  if (!out[0]) memcpy(out, notes.connected, sizeof out);
}

// Why nothing was answered, by its cause.
int fail_unsent(const wh_url *url, const exchange_state &x, wh_response *r) {
  if (const char *why = certificate_problem(x.notes.secure_flags, x.error))
    return fail_as(r, failure::certificate, why);
  if (url->https && handshake_refused(x.notes.secure_flags, x.error))
    return fail(r, "%s", kTlsRefused);
  return fail_as(r, failure::send);
}

// The answer's status and body.
void read_answer(const winhttp_api *api, HINTERNET request, int64_t deadline_ms, wh_response *r) {
  DWORD status = 0, size = sizeof status;
  if (api->query_headers(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                         WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    r->status = static_cast<int>(status);
  read_body(api, request, deadline_ms, r);
}

}  // namespace

int wh_winhttp_header_text(const wh_url *url, const char *method, const wh_header *headers,
                           int header_count, uint64_t body_len, wchar_t *out, size_t cap) {
  char text[WH_HTTP_HEADER_TEXT];
  wh_http_header_text(url, method, headers, header_count, body_len, text);
  // The user agent goes right after the Host line, where libcurl puts it
  // (WinHTTP would add its own last). It is outside the counted text: the
  // 499-byte budget is the stored headers'.
  const char *rest = strstr(text, "\r\n");
  rest = rest ? rest + 2 : text + strlen(text);
  char full[WH_HTTP_HEADER_TEXT + kAgentLine];
  snprintf(full, sizeof full, "%.*sUser-Agent: %s\r\n%s", static_cast<int>(rest - text), text,
           WH_HTTP_USER_AGENT, rest);
  return wh_utf16(full, out, cap, false);
}

unsigned long wh_winhttp_restrict_tls(decltype(&WinHttpSetOption) set_option, void *session) {
  for (DWORD protocols : {kTls12And13, DWORD{WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2}}) {
    if (set_option(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols))
      return protocols;
  }
  return 0;
}

int wh_winhttp_vet_connected(const char *host, const char *connected, bool proxied,
                             int allow_private, wh_response *r) {
  if (proxied || allow_private) return 0;
  if (connected[0] && !wh_ip_is_denied(connected)) return 0;
  r->status = 0;
  r->body_len = 0;
  r->body[0] = '\0';
  r->truncated = 0;
  if (!connected[0])
    return fail(r,
                "refused: the address %s was reached at could not be checked; the answer was "
                "discarded",
                host);
  return fail(r,
              "refused: %s was reached at a private or reserved address (%s); the answer was "
              "discarded. Set WEBHOOK_ALLOW_PRIVATE=1 to allow local endpoints.",
              host, connected);
}

int wh_http_exchange(const wh_url *url, const char *method, const wh_header *headers,
                     int header_count, const void *body, uint64_t body_len, wh_response *response) {
  const int64_t started_ms = plat_now_ms();
  auto x = zeroed<exchange_state>();
  if (!x) return fail_as(response, failure::out_of_memory);
  if (wh_http_parts::resolve_vetted(url, &x->vetted, response) != 0) return -1;

  const winhttp_api *api = winhttp_api_get();
  if (!api) return fail(response, "WinHttpOpen failed");
  winhttp_handle session = open_session(api, url, response);
  if (!session) return -1;
  prepare_texts(url, method, headers, header_count, body_len, x.get());
  winhttp_handle connection(nullptr, handle_close{api});
  winhttp_handle request(nullptr, handle_close{api});
  if (send_to_endpoint(api, session.get(), url, body, body_len, x.get(), &connection, &request,
                       response) != 0)
    return -1;
  HINTERNET req = request.get();

  char connected[64];
  connected_address(api, req, x->notes, connected);
  // A connection the guard refuses is named first: it says more than a
  // failure that followed it.
  if (url->https && connected[0] && !x->vetted.allow_private && wh_ip_is_denied(connected) &&
      !via_proxy(api, req))
    return wh_winhttp_vet_connected(url->host, connected, false, 0, response);
  if (!x->sent) return fail_unsent(url, *x, response);

  read_answer(api, req, started_ms + wh_http_overall_timeout_ms, response);
  if (url->https && wh_winhttp_vet_connected(url->host, connected, via_proxy(api, req),
                                             x->vetted.allow_private, response) != 0)
    return -1;
  return wh_http_parts::finish(response);
}
