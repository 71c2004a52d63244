// One outbound HTTP exchange: request checks, the program's own resolution
// with every address vetted by the guard, then the request through the
// platform's HTTP stack (src/<platform>/, chosen by the build). Reads the
// status and the first 16 KiB of the body.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vd_sockets.h"
#include "wh_hook.h"
#include "wh_limits.h"
#include "wh_url.h"

inline constexpr uint64_t WH_HTTP_MAX_BODY = WH_PAYLOAD_LIMIT;
inline constexpr uint64_t WH_HTTP_PREVIEW = 4096;
// What an exchange keeps of the body: the preview and room beyond it, so that
// a credential the endpoint echoes across the preview's end is still found
// whole before the preview is cut (see wh_scrub.h).
inline constexpr uint64_t WH_HTTP_CAPTURE = 16384;
inline constexpr uint64_t WH_HTTP_DRAIN_LIMIT = 8388608;
// The User-Agent every request carries, written here only (ASCII: WinHTTP
// takes it widened).
inline constexpr char WH_HTTP_USER_AGENT[] = "ZAZIVIZODIR-webhook/1.0";

struct wh_response {
  int ok;                          // 1 once a response was received and its body read
  char error[512];                 // why the exchange failed; empty on success
  int status;                      // HTTP status; 0 when it could not be read
  char body[WH_HTTP_CAPTURE + 1];  // first body bytes (raw, may hold NULs), then a NUL
  uint64_t body_len;               // bytes held in body, 0..WH_HTTP_CAPTURE
  int truncated;                   // 1 when the body was 4096 bytes or longer
};

// 0 when an exchange took place (any status), -1 with response->error set.
// Checks, in order: url present, method accepted, body at most 1 MiB, a
// request target without control bytes, every header name a token and no CR or LF
// in any value (a hand-edited store is not validated: a leading space would
// fold a name into the line before, a colon or a line break would reshape the
// request). All before anything is resolved or sent.
// A HEAD request never carries a body (nor its length line).
int wh_http_request(const char *method, const wh_url *url, const wh_header *headers,
                    int header_count, const void *body, uint64_t body_len, wh_response *response);

// The exchange proper, after the request checks; same arguments and result.
// Each platform folder defines it; the build compiles one.
int wh_http_exchange(const wh_url *url, const char *method, const wh_header *headers,
                     int header_count, const void *body, uint64_t body_len, wh_response *response);

// The header text a request carries, lines ending in CR LF: the Host line,
// the length line, then stored headers while the text so far is at most 499
// bytes (framing and connection names skipped). Written into out (1600 bytes,
// the last line cut if it does not fit); returns the full counted length.
// `taken`, when given, receives how many of the list's headers came before
// the budget ran out: the rest are not sent.
inline constexpr size_t WH_HTTP_HEADER_TEXT = 1600;
size_t wh_http_header_text(const wh_url *url, const char *method, const wh_header *headers,
                           int header_count, uint64_t body_len, char *out, int *taken = nullptr);

// Resolver seam: getaddrinfo/freeaddrinfo by default. Tests swap in their own
// pair so that a name yields chosen addresses without touching the network.
// Called once per exchange, before the request is handed to the platform's
// HTTP stack.
struct wh_resolver {
  int (*resolve)(const char *host, const char *service, const addrinfo *hints, addrinfo **out);
  void (*release)(addrinfo *list);
};
extern wh_resolver wh_http_resolver;

// The connect bound, 10 s. A variable only so that tests can shorten it.
extern long wh_http_connect_timeout_ms;

// The bound of the whole delivery, 60 s: an endpoint that drips a byte every
// few seconds cannot hold a single-threaded caller for long. A variable only
// so that tests can shorten it.
extern long wh_http_overall_timeout_ms;
