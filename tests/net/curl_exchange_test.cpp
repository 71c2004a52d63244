// What the libcurl exchange alone does: check a certificate against the
// system's authorities (the endpoint serves TLS from OpenSSL, which the
// Windows build's tests lack) and bound a delivery to 60 s while the answer's
// head is still coming (WinHTTP bounds that part by its receive timeout).
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "net_util.h"
#include "receiver.h"
#include "tls_server.h"
#include "wh_http.h"

namespace {

using namespace nettest;
using vdtest::receiver;
using vdtest::receiver_options;

TEST(Exchange, SelfSignedCertificateIsRefusedAtOnceAndNamed) {
  allow_private_env on("1");
  vdtest::tls_server tls;
  ASSERT_TRUE(tls.ready()) << tls.error();
  auto f = fire(*make_hook(tls.url("/")), "{}");
  EXPECT_EQ(f.rc, -1);
  std::string e = f.r->error;
  EXPECT_EQ(e.rfind("request failed: the endpoint's TLS certificate was refused (SSL certificate "
                    "problem: self",
                    0),
            0u)
      << e;
  EXPECT_LT(f.r->elapsed_ms, 5000) << "refused at the handshake, not after a stall";
  EXPECT_EQ(tls.answered(), 0);
  // The endpoint answers a client that trusts its certificate, so a delivery
  // that skipped the check would have succeeded.
  auto check = vdtest::run({"/usr/bin/curl", "-s", "--noproxy", "*", "--cacert", tls.cert_file(),
                            "-d", "{}", tls.url("/")},
                           vdtest::base_env(), {}, 20000);
  EXPECT_EQ(check.out, "answered");
  EXPECT_EQ(tls.answered(), 1);
}

// An endpoint that drips its answer's head one byte at a time, often enough
// for the no-progress bound never to fire, fails at the overall bound.
TEST(Exchange, OverallBoundCutsOffADrippingHead) {
  EXPECT_EQ(wh_http_overall_timeout_ms, 60000) << "the shipped bound";
  allow_private_env on("1");
  auto in_head = fire_at_drip(vdtest::answer_mode::drip_head);
  EXPECT_EQ(in_head.rc, -1);
  EXPECT_STREQ(in_head.r->error, kSendFailed);
  EXPECT_GE(in_head.r->elapsed_ms, 850);
  EXPECT_LT(in_head.r->elapsed_ms, 2000);
}

}  // namespace
