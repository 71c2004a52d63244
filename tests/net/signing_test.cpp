// Signatures recomputed from the bytes a receiver got.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "net_util.h"
#include "receiver.h"
#include "sha256.h"
#include "wh_base64.h"

namespace {

using namespace nettest;
using vdtest::receiver;

class Signing : public ::testing::Test {
 protected:
  allow_private_env allow_{"1"};
};

std::string hmac_hex(const std::string &key, const std::string &msg) {
  char hex[65];
  kr_hmac_sha256_hex(key.data(), key.size(), msg.data(), msg.size(), hex);
  return hex;
}

vdtest::http_request deliver(receiver &rx, const wh_hook &h, const std::string &payload) {
  auto f = fire(h, payload);
  EXPECT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(rx.wait_requests(1), 1u);
  auto reqs = rx.requests();
  return reqs.empty() ? vdtest::http_request{} : reqs[0];
}

TEST_F(Signing, GithubSignsTheBodySent) {
  receiver rx;
  const std::string secret = "It's a Secret to Everybody";
  auto h = make_hook(rx.url("/gh"), "POST", "github", secret.c_str());
  auto req = deliver(rx, *h, "{\"zen\":\"Keep it logically awesome.\"}\n");
  SCOPED_TRACE(req.head);
  ASSERT_EQ(req.count("X-Hub-Signature-256"), 1);
  std::string sig = *req.header("X-Hub-Signature-256");
  EXPECT_EQ(sig, "sha256=" + hmac_hex(secret, req.body));
  EXPECT_EQ(sig.size(), 7u + 64u);
  EXPECT_EQ(sig.find_first_not_of("0123456789abcdef", 7), std::string::npos) << "lower-case hex";
  // GitHub's published example vector for this secret and "Hello, World!".
  EXPECT_EQ(hmac_hex(secret, "Hello, World!"),
            "757107ea0eb2509fc211221cce984b8a37570b6d7586c22c46f4379c8b043e17");
  // Stored headers come first, then the content type, then the signature.
  EXPECT_LT(std::find(req.lines.begin(), req.lines.end(),
                      "Content-Type: application/json; charset=utf-8") -
                req.lines.begin(),
            std::find_if(req.lines.begin(), req.lines.end(), [](const std::string &l) {
              return l.rfind("X-Hub", 0) == 0;
            }) - req.lines.begin());
}

TEST_F(Signing, GitlabSendsTheSecretVerbatim) {
  receiver rx;
  std::string secret = "tok en/+=;\"x";  // any bytes a header value may hold
  auto h = make_hook(rx.url("/gl"), "POST", "gitlab", secret.c_str());
  auto req = deliver(rx, *h, "{}");
  EXPECT_EQ(req.header("X-Gitlab-Token"), secret);
  EXPECT_EQ(req.count("X-Hub-Signature-256"), 0);
}

TEST_F(Signing, V2TimestampAndSignatureAgree) {
  receiver rx;
  const std::string secret = "whsec_0123456789";
  auto h = make_hook(rx.url("/v2"), "POST", "v2", secret.c_str());
  std::string payload = "{\"n\":" + std::string(3000, '7') + "}";
  long long before = static_cast<long long>(time(nullptr));
  auto req = deliver(rx, *h, payload);
  long long after = static_cast<long long>(time(nullptr));
  SCOPED_TRACE(req.head);
  ASSERT_EQ(req.count("X-Webhook-Timestamp"), 1);
  ASSERT_EQ(req.count("X-Webhook-Signature"), 1);
  std::string ts = *req.header("X-Webhook-Timestamp");
  long long t = std::atoll(ts.c_str());
  EXPECT_EQ(std::to_string(t), ts);
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  EXPECT_EQ(*req.header("X-Webhook-Signature"),
            "t=" + ts + ",v1=" + hmac_hex(secret, ts + "." + req.body));
  // Timestamp line before the signature line.
  auto pos = [&](const char *prefix) {
    for (size_t i = 0; i < req.lines.size(); ++i)
      if (req.lines[i].rfind(prefix, 0) == 0) return i;
    return req.lines.size();
  };
  EXPECT_LT(pos("X-Webhook-Timestamp"), pos("X-Webhook-Signature"));
}

std::string hmac_base64(const std::string &key, const std::string &msg) {
  unsigned char mac[32];
  kr_hmac_sha256(key.data(), key.size(), msg.data(), msg.size(), mac);
  char text[45];
  wh_base64_encode(mac, sizeof mac, WH_BASE64_STD, text);
  return text;
}

// GET sends no body: standard signs the id, the time and the empty body, with
// the current key, then (a rotation running) the previous one.
TEST_F(Signing, StandardGetSignsTheEmptyBodyWithBothKeys) {
  receiver rx;
  auto h = make_hook(rx.url("/r"), "GET", "standard", "whsec_AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
  wh_field_copy(h->prev_secret, "whsec_////////////////////////////////");
  h->prev_until = 4102444800;
  auto req = deliver(rx, *h, "{\"n\":1}");
  SCOPED_TRACE(req.head);
  EXPECT_EQ(req.body, "");
  std::string id = req.header("webhook-id").value_or(""),
              ts = req.header("webhook-timestamp").value_or("");
  std::string msg = id + "." + ts + ".";
  EXPECT_EQ(req.header("webhook-signature"), "v1," + hmac_base64(std::string(24, '\x00'), msg) +
                                                 " v1," +
                                                 hmac_base64(std::string(24, '\xff'), msg));
  auto type = std::find(req.lines.begin(), req.lines.end(),
                        "Content-Type: application/json; charset=utf-8");
  ASSERT_LT(type + 3, req.lines.end());
  EXPECT_EQ(type[1] + type[2], "webhook-id: " + id + "webhook-timestamp: " + ts);
  EXPECT_EQ(type[3].rfind("webhook-signature: v1,", 0), 0u);
}

TEST_F(Signing, GetSignsThePayloadItDoesNotSend) {
  receiver rx;
  auto h = make_hook(rx.url("/get"), "GET", "github", "s3cret");
  auto req = deliver(rx, *h, "{}");
  SCOPED_TRACE(req.head);
  EXPECT_EQ(req.method, "GET");
  EXPECT_EQ(req.body, "");
  EXPECT_EQ(req.count("Content-Length"), 0);
  EXPECT_EQ(req.header("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(req.header("X-Hub-Signature-256"), "sha256=" + hmac_hex("s3cret", "{}"));
}

TEST_F(Signing, NoSchemeNoSignatureEvenWithASecret) {
  receiver rx;
  auto h = make_hook(rx.url("/n"), "POST", "", "unused");
  auto req = deliver(rx, *h, "{}");
  for (const char *name : {"X-Hub-Signature-256", "X-Gitlab-Token", "X-Webhook-Timestamp",
                           "X-Webhook-Signature", "webhook-id", "webhook-signature"})
    EXPECT_EQ(req.count(name), 0) << name;
}

TEST_F(Signing, UnknownSchemeFailsBeforeAnyExchange) {
  receiver rx;
  auto h = make_hook(rx.url("/u"), "POST", "GitHub", "k");
  auto f = fire(*h, "{}");
  EXPECT_EQ(f.rc, -1);
  EXPECT_STREQ(f.r->error, "unknown signature scheme 'GitHub'");
  EXPECT_EQ(f.r->ok, 0);
  EXPECT_EQ(f.r->status, 0);
  EXPECT_EQ(f.r->elapsed_ms, 0);
  EXPECT_EQ(rx.connections(), 0);
}

// Stored headers that fill the header text's budget would push the signature
// out of the request: a signed hook then sends nothing; an unsigned one still
// goes, with what fits.
TEST_F(Signing, StoredHeadersThatCrowdOutTheSignatureSendNothing) {
  receiver rx;
  for (const char *sig : {"github", "gitlab", "v2", "standard", ""}) {
    SCOPED_TRACE(sig);
    auto h = make_hook(rx.url("/crowded"), "POST", sig, "whsec_AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA");
    vdtest::add_header(h.get(), "X-Long", std::string(480, 'v'));
    auto f = fire(*h, "{}");
    EXPECT_EQ(f.rc, sig[0] ? -1 : 0);
    EXPECT_STREQ(f.r->error, sig[0] ? "the stored headers fill the request's header text and "
                                      "would leave out the signature; shorten them. Nothing was "
                                      "sent"
                                    : "");
  }
  EXPECT_EQ(rx.wait_requests(1), 1u);
  EXPECT_EQ(rx.connections(), 1);
}

}  // namespace
