// Deliveries that must not happen, and exchanges that fail.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "bound_port.h"
#include "fake_resolver.h"
#include "net_util.h"
#include "receiver.h"
#include "wh_http.h"

namespace {

using namespace nettest;
using vdtest::fake_resolver;
using vdtest::receiver;
using vdtest::receiver_options;

// No test here may reach an address outside the loopback network. Addresses
// that the guard allows ("public") only ever appear together with one it
// refuses, so the request is refused before any connection.
constexpr const char *kPublicV6 = "2a00::1";
constexpr const char *kPublicV4 = "192.88.99.1";

TEST(Refusal, PublicAndPrivateAddressesRefuseTheRequest) {
  allow_private_env guard_on(nullptr);
  fake_resolver dns;
  dns.set("mixed.test", {{kPublicV4, kPublicV6, "10.1.2.3", "8.8.4.4"}});
  dns.set("mixed6.test", {{kPublicV6, "fd00::7"}});
  dns.set("mapped.test", {{kPublicV4, "::ffff:127.0.0.1"}});
  struct {
    const char *host, *denied;
  } cases[] = {
      {"mixed.test", "10.1.2.3"}, {"mixed6.test", "fd00::7"}, {"mapped.test", "::ffff:127.0.0.1"}};
  for (const auto &c : cases) {
    auto h = make_hook(std::string("https://") + c.host + "/hook", "POST");
    auto f = fire(*h, "{}");
    EXPECT_EQ(f.rc, -1);
    EXPECT_EQ(f.r->ok, 0);
    EXPECT_EQ(f.r->error, refused_message(c.host, c.denied));
    EXPECT_EQ(dns.calls(c.host), 1);
  }
}

TEST(Refusal, LocalEndpointsWithoutTheSwitch) {
  receiver rx;
  std::string port = std::to_string(rx.port());
  for (const char *off : {static_cast<const char *>(nullptr), "0", "on", ""}) {
    allow_private_env env(off);
    auto direct = fire(*make_hook("http://127.0.0.1:" + port + "/x"), "{}");
    EXPECT_EQ(direct.r->error, refused_message("127.0.0.1", "127.0.0.1"));

    // The system's own name for the machine, from its hosts file.
    auto local = fire(*make_hook("http://localhost:" + port + "/x"), "{}");
    EXPECT_EQ(local.rc, -1);
    std::string e = local.r->error;
    EXPECT_TRUE(e == refused_message("localhost", "127.0.0.1") ||
                e == refused_message("localhost", "::1"))
        << e;

    auto metadata = fire(*make_hook("http://169.254.169.254/latest/meta-data/"), "{}");
    EXPECT_EQ(metadata.r->error, refused_message("169.254.169.254", "169.254.169.254"));
  }
  EXPECT_EQ(rx.connections(), 0);

  allow_private_env on("1");
  auto sent = fire(*make_hook("http://127.0.0.1:" + port + "/x"), "{}");
  EXPECT_EQ(sent.rc, 0) << sent.r->error;
  EXPECT_EQ(rx.wait_requests(1), 1u);
}

TEST(Refusal, ElapsedTimeCoversTheResolution) {
  allow_private_env guard_on(nullptr);
  fake_resolver dns;
  dns.delay_ms(120);
  dns.set("slow.test", {{"192.168.0.10"}});
  auto f = fire(*make_hook("http://slow.test/"), "{}");
  EXPECT_EQ(f.r->error, refused_message("slow.test", "192.168.0.10"));
  EXPECT_GE(f.r->elapsed_ms, 100);
}

TEST(Resolution, Failures) {
  allow_private_env on("1");
  fake_resolver dns;
  dns.set("nowhere.test", {});
  dns.set("odd.test", {{"unix"}});
  auto none = fire(*make_hook("http://nowhere.test/"), "{}");
  EXPECT_STREQ(none.r->error, "could not resolve nowhere.test");
  auto odd = fire(*make_hook("http://odd.test/"), "{}");
  EXPECT_STREQ(odd.r->error, "could not resolve odd.test (no usable address)");
  // Entries of other families are skipped, not refused.
  receiver rx;
  dns.set("mixed.test", {{"unix", "127.0.0.1"}});
  auto ok = fire(*make_hook("http://mixed.test:" + std::to_string(rx.port()) + "/"), "{}");
  EXPECT_EQ(ok.rc, 0) << ok.r->error;
}

TEST(Resolution, UrlErrorsComeFromTheParser) {
  auto bad = fire(*make_hook("ftp://relay/"), "{}");
  EXPECT_EQ(bad.rc, -1);
  EXPECT_STREQ(bad.r->error, "url must start with http:// or https://");
  EXPECT_EQ(bad.r->elapsed_ms, 0);
  auto nohost = fire(*make_hook("http:///x"), "{}", "a=1");
  EXPECT_STREQ(nohost.r->error, "url has no host");
}

// Rebinding: the name answers 127.0.0.1 first and 127.0.0.2 on any later
// lookup. The delivery must use the first, vetted answer only.
TEST(Pinning, ConnectsOnlyToTheVettedAddress) {
  allow_private_env on("1");
  receiver first;
  ASSERT_TRUE(first.listening()) << first.error();
  receiver_options o;
  o.address = "127.0.0.2";
  o.port = first.port();
  receiver second(o);
  ASSERT_TRUE(second.listening()) << second.error();

  fake_resolver dns;
  // A name the system resolver does not know: a lookup by libcurl itself
  // would fail the delivery.
  dns.set("rebind.invalid", {{"127.0.0.1"}, {"127.0.0.2"}});
  auto h = make_hook("http://rebind.invalid:" + std::to_string(first.port()) + "/p", "POST");
  auto f = fire(*h, "{}");
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(first.wait_requests(1), 1u);
  EXPECT_EQ(first.requests()[0].header("Host"), "rebind.invalid:" + std::to_string(first.port()));
  EXPECT_EQ(second.connections(), 0);
  EXPECT_EQ(dns.calls("rebind.invalid"), 1);

  // The next delivery resolves afresh and goes to the new answer.
  auto again = fire(*h, "{}");
  ASSERT_EQ(again.rc, 0) << again.r->error;
  EXPECT_EQ(second.wait_requests(1), 1u);
  EXPECT_EQ(first.connections(), 1);
  EXPECT_EQ(dns.calls("rebind.invalid"), 2);
}

TEST(Pinning, SecondAddressUsedWhenTheFirstRefuses) {
  allow_private_env on("1");
  receiver rx;
  // Nothing listens on 127.0.0.3 at this port, so the connection there is
  // refused and the next vetted address is tried.
  fake_resolver dns;
  dns.set("two.test", {{"127.0.0.3", "127.0.0.1"}});
  auto f = fire(*make_hook("http://two.test:" + std::to_string(rx.port()) + "/"), "{}");
  EXPECT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(rx.wait_requests(1), 1u);
}

TEST(Exchange, RefusedConnection) {
  allow_private_env on("1");
  vdtest::bound_port closed;
  ASSERT_TRUE(closed.ok());
  auto f = fire(*make_hook(closed.url("/")), "{}");
  EXPECT_EQ(f.rc, -1);
  EXPECT_STREQ(f.r->error, kSendFailed);
  EXPECT_EQ(f.r->status, 0);
}

TEST(Exchange, ClosedWithoutAnswer) {
  allow_private_env on("1");
  receiver_options o;
  o.mode = vdtest::answer_mode::close_without_answer;
  receiver rx(o);
  auto f = fire(*make_hook(rx.url("/")), "{}");
  EXPECT_EQ(f.rc, -1);
  EXPECT_STREQ(f.r->error, kSendFailed);
}

TEST(Exchange, SilentEndpointFailsWithinTheReceiveTimeout) {
  allow_private_env on("1");
  receiver_options o;
  o.mode = vdtest::answer_mode::never_answer;
  receiver rx(o);
  auto f = fire(*make_hook(rx.url("/")), "{}");
  EXPECT_EQ(f.rc, -1);
  EXPECT_STREQ(f.r->error, kSendFailed);
  EXPECT_EQ(rx.wait_requests(1, 0), 1u) << "the request itself went out";
  // 15 s without progress ends it, well before the 60 s overall bound.
  EXPECT_GE(f.r->elapsed_ms, 14000);
  EXPECT_LT(f.r->elapsed_ms, 30000);
}

TEST(Exchange, SlowAnswerWithinTheTimeoutIsDelivered) {
  allow_private_env on("1");
  receiver_options o;
  o.delay_ms = 1500;
  o.body = "late";
  receiver rx(o);
  auto f = fire(*make_hook(rx.url("/")), "{}");
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_STREQ(f.r->body, "late");
  EXPECT_GE(f.r->elapsed_ms, 1400);
}

// Nothing on this side may look like a connection failure, and nothing is
// resolved or sent for a request that cannot go out as stored.
TEST(Exchange, UnsendableRequestsNameTheirCause) {
  allow_private_env on("1");
  receiver rx;
  fake_resolver dns;
  dns.set("relay.test", {{"127.0.0.1"}});
  std::string base = "http://relay.test:" + std::to_string(rx.port());
  struct {
    std::string url, query, header, value, want;
  } cases[] = {
      {base + "/a\x01b", "", "", "", "url holds a character that cannot be sent"},
      {base + "/a\x7f", "", "", "", "url holds a character that cannot be sent"},
      {base + "/a?x=1", "y=\x1f", "", "", "url holds a character that cannot be sent"},
      {base + "/", "", "X-A", "c\nContent-Length: 5", "header X-A has a newline in its value"},
      {base + "/", "", "X-B", "c\r\nTransfer-Encoding: chunked",
       "header X-B has a newline in its value"},
      {base + "/", "", "X-C\r\nContent-Length", "5", "header 2 has an invalid name"},
      // A hand-edited name: a leading space would fold it into the line before.
      {base + "/", "", " X-Folded", "1", "header 2 has an invalid name"},
      {base + "/", "", "X-D: evil", "1", "header 2 has an invalid name"},
      {base + "/", "", "X D", "1", "header 2 has an invalid name"},
      {base + "/", "", "X-E\t", "1", "header 2 has an invalid name"},
  };
  for (const auto &c : cases) {
    auto h = make_hook(c.url);
    if (!c.header.empty()) {
      add_header(h.get(), "X-Fine", "ok");
      add_header(h.get(), c.header, c.value);
    }
    auto f = fire(*h, "{}", c.query.c_str());
    EXPECT_EQ(f.rc, -1);
    EXPECT_EQ(f.r->error, c.want) << c.url;
  }
  // The signature headers pass the same check: a token is sent as it is stored.
  auto h = make_hook(base + "/", "POST", "gitlab", "tok\nX-Evil: 1");
  EXPECT_EQ(fire(*h, "{}").r->error,
            std::string("header X-Gitlab-Token has a newline in its value"));
  EXPECT_EQ(dns.calls("relay.test"), 0);
  EXPECT_EQ(rx.connections(), 0);
}

// An endpoint that never completes the connection: a listener whose backlog
// is full drops further connection requests, so the connect bound ends it.
TEST(Exchange, ConnectBound) {
  EXPECT_EQ(wh_http_connect_timeout_ms, 10000) << "the shipped bound";
  allow_private_env on("1");
  vdtest::bound_port l;
  ASSERT_TRUE(l.ok());
  ASSERT_EQ(listen(l.fd(), 0), 0);
  vdtest::socket_t filler = vdtest::tcp_socket();
  ASSERT_EQ(connect(filler, reinterpret_cast<const sockaddr *>(&l.addr()), sizeof l.addr()), 0);

  wh_http_connect_timeout_ms = 600;
  auto f = fire(*make_hook(l.url("/")), "{}");
  wh_http_connect_timeout_ms = 10000;
  EXPECT_EQ(f.rc, -1);
  EXPECT_STREQ(f.r->error, kSendFailed);
  EXPECT_GE(f.r->elapsed_ms, 550);
  EXPECT_LT(f.r->elapsed_ms, 3000);
  vdtest::close_socket(filler);
}

// An endpoint that keeps the body coming one byte at a time, often enough for
// no read to stall, is cut off by the overall bound: the delivery keeps the
// bytes that came.
TEST(Exchange, OverallBoundCutsOffADrippingBody) {
  EXPECT_EQ(wh_http_overall_timeout_ms, 60000) << "the shipped bound";
  allow_private_env on("1");
  auto f = fire_at_drip(vdtest::answer_mode::drip_body);
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(f.r->status, 200);
  std::string got(f.r->body, f.r->body_len);
  EXPECT_GE(got.size(), 3u);
  EXPECT_LT(got.size(), 12u);
  EXPECT_EQ(got, receiver::pattern(200).substr(0, got.size()));
  EXPECT_GE(f.r->elapsed_ms, 850);
  EXPECT_LT(f.r->elapsed_ms, 2000);
}

}  // namespace
