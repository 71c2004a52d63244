#include "wh_guard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "test_platform.h"
#include "vd_sockets.h"

namespace {

void expect_denied(std::initializer_list<const char *> addrs) {
  for (const char *a : addrs) EXPECT_EQ(wh_ip_is_denied(a), 1) << a;
}
void expect_allowed(std::initializer_list<const char *> addrs) {
  for (const char *a : addrs) EXPECT_EQ(wh_ip_is_denied(a), 0) << a;
}

TEST(Guard, NamedEdgeCases) {
  expect_denied({"127.0.0.1", "10.1.2.3", "172.31.255.255", "192.168.1.1", "169.254.169.254",
                 "100.64.0.1", "0.0.0.0", "224.0.0.1", "255.255.255.255"});
  expect_allowed(
      {"11.0.0.1", "100.63.255.255", "100.128.0.0", "172.32.0.0", "198.20.0.0", "192.0.3.1"});
  expect_denied(
      {"::1", "::", "fe80::1", "fd00::1", "ff02::1", "2001:db8::1", "64:ff9b::808:808", "100::1"});
  expect_allowed({"fec0::1", "2a00::1"});
  expect_denied({"::ffff:127.0.0.1", "::ffff:10.0.0.1"});
  expect_allowed({"::ffff:11.0.0.1"});
}

TEST(Guard, UnreadableTextIsRefused) {
  EXPECT_EQ(wh_ip_is_denied(nullptr), 1);
  expect_denied({"", "not-an-address", "127.1", "8.8.8", " 8.8.8.8", "8.8.8.8 ", "0x08.8.8.8",
                 "256.1.1.1", "[2a00::1]", "2a00::1%eth0", "example.com"});
}

// Each row: its first and last address are refused; the neighbours just
// outside are allowed (where no other row covers them).
TEST(Guard, Ipv4RowBoundaries) {
  struct row {
    const char *below, *first, *last, *above;
  };
  const row rows[] = {
      {nullptr, "0.0.0.0", "0.255.255.255", "1.0.0.0"},
      {"9.255.255.255", "10.0.0.0", "10.255.255.255", "11.0.0.0"},
      {"100.63.255.255", "100.64.0.0", "100.127.255.255", "100.128.0.0"},
      {"126.255.255.255", "127.0.0.0", "127.255.255.255", "128.0.0.0"},
      {"169.253.255.255", "169.254.0.0", "169.254.255.255", "169.255.0.0"},
      {"172.15.255.255", "172.16.0.0", "172.31.255.255", "172.32.0.0"},
      {"191.255.255.255", "192.0.0.0", "192.0.0.255", "192.0.1.0"},
      {"192.0.1.255", "192.0.2.0", "192.0.2.255", "192.0.3.0"},
      {"192.167.255.255", "192.168.0.0", "192.168.255.255", "192.169.0.0"},
      {"198.17.255.255", "198.18.0.0", "198.19.255.255", "198.20.0.0"},
      {"198.51.99.255", "198.51.100.0", "198.51.100.255", "198.51.101.0"},
      {"203.0.112.255", "203.0.113.0", "203.0.113.255", "203.0.114.0"},
      {"223.255.255.255", "224.0.0.0", "239.255.255.255", nullptr},
      {nullptr, "240.0.0.0", "255.255.255.255", nullptr},
  };
  for (const auto &r : rows) {
    EXPECT_EQ(wh_ip_is_denied(r.first), 1) << r.first;
    EXPECT_EQ(wh_ip_is_denied(r.last), 1) << r.last;
    if (r.below) {
      EXPECT_EQ(wh_ip_is_denied(r.below), 0) << r.below;
    }
    if (r.above) {
      EXPECT_EQ(wh_ip_is_denied(r.above), 0) << r.above;
    }
  }
  // No row for the old 6to4 relay anycast range or other special ranges.
  expect_allowed({"192.88.99.1", "1.1.1.1", "8.8.8.8", "223.255.255.254"});
}

TEST(Guard, Ipv6Rules) {
  // Mapped IPv4 is judged by the IPv4 table alone, in either text form.
  expect_denied({"::ffff:0.0.0.0", "::ffff:169.254.169.254", "::ffff:7f00:1",
                 "::ffff:255.255.255.255", "::ffff:100.64.0.0"});
  expect_allowed({"::ffff:8.8.8.8", "::ffff:100.128.0.0", "::ffff:808:808"});
  // NAT64 refuses whatever it embeds, public or not.
  expect_denied(
      {"64:ff9b::8.8.8.8", "64:ff9b::", "64:ff9b:ffff:ffff:ffff:ffff:ffff:ffff", "64:ff9b:1::1"});
  expect_allowed({"64:ff9a:ffff:ffff:ffff:ffff:ffff:ffff", "64:ff9c::"});
  // IPv4-compatible ::/96 and IPv4-translated ::ffff:0:0/96 are refused whole,
  // whatever they embed; their neighbours are not.
  expect_denied({"::2", "::127.0.0.1", "::8.8.8.8", "::ffff:ffff", "::ffff:0:7f00:1",
                 "::ffff:0:808:808", "::ffff:0:0", "::ffff:0:ffff:ffff"});
  expect_allowed(
      {"::1:0:0", "::fffe:0:808:808", "0:0:0:1:ffff:0:808:808", "::ffff:1:808:808", "1::8.8.8.8"});
  // Discard prefix is a /64.
  expect_denied({"100::", "100::ffff:ffff:ffff:ffff"});
  expect_allowed({"100:0:0:1::", "ff::1"});
  // Documentation /32.
  expect_denied({"2001:db8::", "2001:db8:ffff:ffff:ffff:ffff:ffff:ffff"});
  expect_allowed({"2001:db7:ffff::1", "2001:db9::", "2001:1::1", "2003::1"});
  // 6to4 and Teredo reach the IPv4 address they embed: bits 16-47, or the
  // last 32 bits inverted (f7f7:f7f7 is 8.8.8.8, 80ff:fffe is 127.0.0.1).
  expect_denied({"2002::1", "2002:7f00:1::1", "2002:c0a8:101::1", "2002:a00:1::", "2001::1",
                 "2001:0:4136:e378:8000:63bf:80ff:fffe", "2001::f5ff:fefe"});
  expect_allowed({"2002:808:808::1", "2002:b00:1:ffff::", "2001:0:4136:e378:8000:63bf:f7f7:f7f7"});
  // fc00::/7, fe80::/10, ff00::/8 and what lies between them.
  expect_denied({"fc00::", "fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "fe80::", "febf:ffff::1",
                 "ff00::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"});
  expect_allowed({"fbff:ffff::1", "fe00::1", "fe7f::1", "fec0::", "feff::1", "2a00:1450::1"});
}

TEST(Guard, SocketAddresses) {
  sockaddr_in in{};
  in.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &in.sin_addr);
  EXPECT_EQ(wh_sockaddr_is_denied(reinterpret_cast<sockaddr *>(&in)), 1);
  inet_pton(AF_INET, "8.8.8.8", &in.sin_addr);
  EXPECT_EQ(wh_sockaddr_is_denied(reinterpret_cast<sockaddr *>(&in)), 0);

  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:10.0.0.1", &in6.sin6_addr);
  EXPECT_EQ(wh_sockaddr_is_denied(reinterpret_cast<sockaddr *>(&in6)), 1);
  inet_pton(AF_INET6, "2a00::1", &in6.sin6_addr);
  EXPECT_EQ(wh_sockaddr_is_denied(reinterpret_cast<sockaddr *>(&in6)), 0);

  sockaddr un{};
  un.sa_family = AF_UNIX;
  EXPECT_EQ(wh_sockaddr_is_denied(&un), 1);
  EXPECT_EQ(wh_sockaddr_is_denied(nullptr), 1);
}

class AllowPrivate : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char *v = getenv("WEBHOOK_ALLOW_PRIVATE")) saved_ = v;
  }
  void TearDown() override {
    if (saved_)
      vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", saved_->c_str());
    else
      vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", nullptr);
  }
  std::optional<std::string> saved_;
};

TEST_F(AllowPrivate, ExactValues) {
  vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", nullptr);
  EXPECT_EQ(wh_allow_private(), 0) << "unset";
  for (const char *on : {"1", "true", "TRUE", "True", "yes", "Yes", "YES"}) {
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", on);
    EXPECT_EQ(wh_allow_private(), 1) << on;
  }
  for (const char *off : {"", "0", "on", "1 ", " 1", "01", "y", "truee", "yes ", "false", "2"}) {
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", off);
    EXPECT_EQ(wh_allow_private(), 0) << "'" << off << "'";
  }
}

TEST_F(AllowPrivate, ReadAfreshOnEveryCall) {
  vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", "1");
  EXPECT_EQ(wh_allow_private(), 1);
  vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", "0");
  EXPECT_EQ(wh_allow_private(), 0);
  // The switch does not change how addresses are classed.
  vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", "1");
  EXPECT_EQ(wh_ip_is_denied("127.0.0.1"), 1);
}

}  // namespace
