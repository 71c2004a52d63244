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
using wh_http_parts::kSendFailed;
using wh_http_parts::zeroed;

namespace {

constexpr wchar_t kUserAgent[] = L"ZAZIVIZODIR-webhook/1.0";
constexpr char kAgentLine[] = "User-Agent: ZAZIVIZODIR-webhook/1.0\r\n";
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

// The body: the first 4096 bytes kept, the rest drained until more than
// 8 MiB have arrived. A failed read ends it without failing the exchange.
// Reads until the end, the drain limit or the delivery's overall bound:
// WinHTTP bounds each read, not the whole, so an endpoint that drips a byte
// every few seconds would otherwise hold a single-threaded caller for hours.
// What arrived before the bound is kept, as the POSIX exchange keeps it.
void read_body(const winhttp_api *api, HINTERNET request, int64_t deadline_ms, wh_response *r) {
  auto chunk = zeroed<read_chunk>();
  if (!chunk) return;
  uint64_t total = 0;
  while (plat_now_ms() < deadline_ms && total <= WH_HTTP_DRAIN_LIMIT) {
    // Only what has arrived: a read of a whole chunk would wait for the chunk
    // to fill, past the bound.
    DWORD ready = 0, got = 0;
    if (!api->query_data_available(request, &ready) || ready == 0) break;
    if (ready > kReadChunk) ready = kReadChunk;
    if (!api->read_data(request, chunk->bytes, ready, &got) || got == 0) break;
    total += got;
    if (r->body_len < WH_HTTP_CAPTURE) {
      uint64_t room = WH_HTTP_CAPTURE - r->body_len;
      uint64_t take = got < room ? got : room;
      memcpy(r->body + r->body_len, chunk->bytes, static_cast<size_t>(take));
      r->body_len += take;
    }
  }
  if (total >= WH_HTTP_PREVIEW) r->truncated = 1;
  r->body[r->body_len] = '\0';
}

struct wide_texts {
  char target[wh_http_parts::kTargetCap];
  wchar_t host[kWideHost];
  wchar_t path[kWidePath];
  wchar_t method[kWideMethod];
  wchar_t headers[kWideHeaders];
};

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
  char full[WH_HTTP_HEADER_TEXT + sizeof kAgentLine];
  snprintf(full, sizeof full, "%.*s%s%s", static_cast<int>(rest - text), text, kAgentLine, rest);
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
  auto vetted = zeroed<wh_http_parts::vetted>();
  auto wide = zeroed<wide_texts>();
  auto notes = zeroed<exchange_notes>();
  if (!vetted || !wide || !notes) return fail(response, "out of memory");
  if (wh_http_parts::resolve_vetted(url, vetted.get(), response) != 0) return -1;

  const winhttp_api *api = winhttp_api_get();
  if (!api) return fail(response, "WinHttpOpen failed");
  winhttp_handle session(api->open(kUserAgent, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0),
                         handle_close{api});
  if (!session)
    session.reset(api->open(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return fail(response, "WinHttpOpen failed");
  // TLS 1.2 or later, or nothing: the system's defaults may still allow 1.0
  // and 1.1. (Windows takes the option on the session only; on a request
  // Wine ignores it.)
  if (url->https && !wh_winhttp_restrict_tls(api->set_option, session.get()))
    return fail(response,
                "could not restrict TLS to version 1.2 or later (WinHTTP error %lu); nothing "
                "was sent",
                GetLastError());
  api->set_timeouts(session.get(), 10000, static_cast<int>(wh_http_connect_timeout_ms),
                    kSendTimeoutMs, kReceiveTimeoutMs);

  wh_http_parts::wire_target(url, wide->target);
  wh_utf16(wide->target, wide->path, kWidePath, false);
  wh_utf16(method, wide->method, kWideMethod, false);
  // The explicit Host line replaces the one WinHTTP would write (for http it
  // would name the address literal). The request checks let through only
  // token names and values without line breaks; should WinHTTP still refuse
  // the text, the request would go out without its signature, so it does
  // not go out at all.
  bool headers_ok = wh_winhttp_header_text(url, method, headers, header_count, body_len,
                                           wide->headers, kWideHeaders) >= 0;

  winhttp_handle connection(nullptr, handle_close{api});
  winhttp_handle request(nullptr, handle_close{api});
  auto context = reinterpret_cast<DWORD_PTR>(notes.get());
  DWORD length = static_cast<DWORD>(body_len);
  void *payload = body_len ? const_cast<void *>(body) : WINHTTP_NO_REQUEST_DATA;
  bool sent = false;
  DWORD error = 0;
  // http: the vetted addresses as literals, so nothing is resolved again; the
  // next one only when no connection to this one could be made (nothing was
  // sent then), as the Linux build does.
  int attempts = url->https ? 1 : vetted->count;
  for (int i = 0; i < attempts; ++i) {
    const char *connect_to = url->https ? url->host : vetted->addrs[i].text;
    if (wh_utf16(connect_to, wide->host, kWideHost, false) < 0)
      return fail(response, "could not connect to %s", url->host);
    request.reset();
    connection.reset(
        api->connect(session.get(), wide->host, static_cast<INTERNET_PORT>(url->port), 0));
    if (!connection) return fail(response, "could not connect to %s", url->host);
    // The target goes out as the bytes above, escaped by nobody else.
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                  (url->https ? WINHTTP_FLAG_SECURE : 0);
    request.reset(api->open_request(connection.get(), wide->method, wide->path, nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) return fail(response, "WinHttpOpenRequest failed");
    HINTERNET req = request.get();

    DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    api->set_option(req, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
    // Some WinHTTP versions take the receive bound only from this option.
    DWORD receive = kReceiveTimeoutMs;
    api->set_option(req, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receive, sizeof receive);
    api->set_status_callback(
        req, on_status,
        WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    if (!headers_ok ||
        !api->add_request_headers(req, wide->headers, static_cast<DWORD>(-1),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
      return fail(response, "the request headers were refused by WinHTTP; nothing was sent");

    *notes = exchange_notes{};
    sent = api->send_request(req, WINHTTP_NO_ADDITIONAL_HEADERS, 0, payload, length, length,
                             context) &&
           api->receive_response(req, nullptr);
    error = sent ? 0 : GetLastError();
    if (sent || error != ERROR_WINHTTP_CANNOT_CONNECT) break;
  }
  HINTERNET req = request.get();

  char connected[64];
  remote_address(api, req, connected);
  if (!connected[0]) memcpy(connected, notes->connected, sizeof connected);
  // A connection the guard refuses is named first: it says more than a
  // failure that followed it.
  if (url->https && connected[0] && !vetted->allow_private && wh_ip_is_denied(connected) &&
      !via_proxy(api, req))
    return wh_winhttp_vet_connected(url->host, connected, false, 0, response);
  if (!sent) {
    if (const char *why = certificate_problem(notes->secure_flags, error))
      return fail(response, "request failed: the endpoint's TLS certificate was refused (%s)", why);
    if (url->https && handshake_refused(notes->secure_flags, error))
      return fail(response, "%s", kTlsRefused);
    return fail(response, "%s", kSendFailed);
  }

  DWORD status = 0, size = sizeof status;
  if (api->query_headers(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                         WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
    response->status = static_cast<int>(status);
  read_body(api, req, started_ms + wh_http_overall_timeout_ms, response);
  if (url->https && wh_winhttp_vet_connected(url->host, connected, via_proxy(api, req),
                                             vetted->allow_private, response) != 0)
    return -1;
  response->ok = 1;
  return 0;
}
