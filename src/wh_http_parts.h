// What the platform's exchange shares with the request checks: the failure
// writer, the fixed texts, heap records, the request target as it goes on
// the wire, and the program's own resolution with every address vetted by
// the guard.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "raii.h"
#include "wh_http.h"

namespace wh_http_parts {

inline constexpr char kSendFailed[] =
    "request failed: TLS or connection error (certificate refused or endpoint unreachable)";
inline constexpr char kUnsendableUrl[] = "url holds a character that cannot be sent";

// Writes the message into r->error, clears ok, returns -1.
int fail(wh_response *r, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

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

// One resolved address that the guard let through, in binary and as text.
struct vetted_addr {
  int family;  // AF_INET or AF_INET6
  unsigned char bytes[16];
  char text[64];
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

}  // namespace wh_http_parts
