#include "wh_guard.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plat.h"

namespace {

struct v4_range {
  uint32_t network;  // host byte order
  int prefix;
};

constexpr uint32_t v4(unsigned a, unsigned b, unsigned c, unsigned d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

// Tried in order; nothing outside these rows is refused.
constexpr v4_range kDeniedV4[] = {
    {v4(0, 0, 0, 0), 8},     {v4(10, 0, 0, 0), 8},      {v4(100, 64, 0, 0), 10},
    {v4(127, 0, 0, 0), 8},   {v4(169, 254, 0, 0), 16},  {v4(172, 16, 0, 0), 12},
    {v4(192, 0, 0, 0), 24},  {v4(192, 0, 2, 0), 24},    {v4(192, 168, 0, 0), 16},
    {v4(198, 18, 0, 0), 15}, {v4(198, 51, 100, 0), 24}, {v4(203, 0, 113, 0), 24},
    {v4(224, 0, 0, 0), 4},   {v4(240, 0, 0, 0), 4},
};
static_assert(sizeof kDeniedV4 / sizeof kDeniedV4[0] == 14);

// Four bytes in network order.
int v4_denied(const unsigned char *b) {
  uint32_t a = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  for (const auto &r : kDeniedV4) {
    uint32_t mask = r.prefix == 0 ? 0 : ~uint32_t{0} << (32 - r.prefix);
    if ((a & mask) == r.network) return 1;
  }
  return 0;
}

bool all_zero(const unsigned char *b, int n) {
  for (int i = 0; i < n; ++i)
    if (b[i]) return false;
  return true;
}

int v6_denied(const unsigned char *b) {
  // IPv4-mapped: only the embedded IPv4 address decides.
  if (all_zero(b, 10) && b[10] == 0xff && b[11] == 0xff) return v4_denied(b + 12);
  // 64:ff9b::/32, NAT64: it reaches whatever IPv4 address it embeds.
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) return 1;
  // ::/96, IPv4-compatible (:: and ::1 among them), and ::ffff:0:0/96,
  // IPv4-translated: stacks may route either to the IPv4 address they embed.
  if (all_zero(b, 12)) return 1;
  if (all_zero(b, 8) && b[8] == 0xff && b[9] == 0xff && b[10] == 0 && b[11] == 0) return 1;
  // 2002::/16, 6to4: relays carry it to the IPv4 address in bits 16-47.
  if (b[0] == 0x20 && b[1] == 0x02) return v4_denied(b + 2);
  // 2001::/32, Teredo: the client's IPv4 address is the last 32 bits, inverted.
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0 && b[3] == 0) {
    const unsigned char client[4] = {
        static_cast<unsigned char>(~b[12]), static_cast<unsigned char>(~b[13]),
        static_cast<unsigned char>(~b[14]), static_cast<unsigned char>(~b[15])};
    return v4_denied(client);
  }
  if (b[0] == 0x01 && all_zero(b + 1, 7)) return 1;                            // 100::/64 discard
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0d && b[3] == 0xb8) return 1;  // 2001:db8::/32
  if ((b[0] & 0xfe) == 0xfc) return 1;                                         // fc00::/7
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return 1;                         // fe80::/10
  if (b[0] == 0xff) return 1;                                                  // ff00::/8
  return 0;
}

}  // namespace

int wh_ip_is_denied(const char *text) {
  if (!text || !*text) return 1;
  unsigned char buf[16];
  if (inet_pton(AF_INET, text, buf) == 1) return v4_denied(buf);
  if (inet_pton(AF_INET6, text, buf) == 1) return v6_denied(buf);
  return 1;
}

int wh_allow_private() {
  const char *v = plat_env("WEBHOOK_ALLOW_PRIVATE");
  if (!v) return 0;
  return strcmp(v, "1") == 0 || strcasecmp(v, "true") == 0 || strcasecmp(v, "yes") == 0;
}

int wh_sockaddr_is_denied(const sockaddr *addr) {
  if (!addr) return 1;
  if (addr->sa_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
    return v4_denied(reinterpret_cast<const unsigned char *>(&in->sin_addr));
  }
  if (addr->sa_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(addr);
    return v6_denied(in6->sin6_addr.s6_addr);
  }
  return 1;
}
