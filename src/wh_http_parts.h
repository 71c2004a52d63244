// What the platform's exchange shares with the request checks: the failure
// writer and the classes a failure falls into (each with its one text), heap
// records, the request target as it goes on the wire, the program's own
// resolution with every address vetted by the guard, the check of a
// connection against that list, and the capture of the answer's body. A
// platform's exchange only configures its HTTP stack and runs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "raii.h"
#include "vd_sockets.h"
#include "wh_http.h"

namespace wh_http_parts {

// Writes the message into r->error, clears ok, returns -1.
int fail(wh_response *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The classes both platforms sort their failures into. Each platform maps its
// own error codes; the text is written here, once.
enum class failure {
  out_of_memory,   // "out of memory"
  client_start,    // the HTTP stack could not be loaded or set up; detail says why
  certificate,     // the endpoint's certificate was refused; detail says why
  unsendable_url,  // the URL holds a byte the request cannot carry
  unresolved,      // the host (detail) has no address
  send,            // at or after the connection: the general text, nothing more known
};

// Writes the class's text, with detail where it has a place, as fail does.
int fail_as(wh_response *r, failure kind, const char *detail = "");

// Zeroed heap records, so the fixed buffers stay off the caller's stack and an
// allocation failure is a message, not an exception.
template <typename T>
std::unique_ptr<T, heap_free> zeroed() {
  return std::unique_ptr<T, heap_free>(static_cast<T *>(calloc(1, sizeof(T))));
}

// The request target as it goes on the wire: the URL's path and query as
// stored (no dot segments squashed, no character escaped), "/" before a bare
// "?query" or for none (HTTP/1.1 wants an absolute path), and every byte
// outside ASCII as "%XX". A target is ASCII on the wire, and the platforms'
// HTTP stacks would each send such bytes their own way; so every build sends
// the same bytes.
inline constexpr size_t kTargetCap = 3 * sizeof(wh_url::path) + 2;
void wire_target(const wh_url *url, char (&out)[kTargetCap]);

// Vetted addresses: more than enough for any real host's answer.
inline constexpr int kMaxVetted = 64;

// One resolved address that the guard let through, in binary (to compare a
// connection with) and as text (to hand to the HTTP stack).
struct vetted_addr {
  int family;  // AF_INET or AF_INET6
  unsigned char bytes[16];
  char text[64];  // without brackets
};

struct vetted {
  vetted_addr addrs[kMaxVetted];
  int count;
  int allow_private;  // the guard switch, read once per exchange
};

// Resolves the URL's host through wh_http_resolver and vets every IPv4 and
// IPv6 address, in list order: one refused address refuses the request. 0
// with at least one address in out, or -1 with the reason in response.
int resolve_vetted(const wh_url *url, vetted *out, wh_response *response);

// Whether a connection may be opened to sa: it is one of the vetted
// addresses, and the guard, asked again, lets it through.
bool may_connect(const vetted *list, const sockaddr *sa);

// Takes the next n bytes of the answer's body: keeps them while fewer than
// WH_HTTP_CAPTURE are held, counts them in *total (every byte received),
// and marks the answer truncated from WH_HTTP_PREVIEW bytes on. False once
// more than WH_HTTP_DRAIN_LIMIT bytes have arrived: enough was drained, and
// ending there is not a failure.
bool capture(wh_response *r, const char *data, size_t n, uint64_t *total);

// The answer is complete: the body ends in a NUL and ok is set. Returns 0.
int finish(wh_response *r);

}  // namespace wh_http_parts
