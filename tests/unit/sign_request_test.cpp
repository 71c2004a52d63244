// Signature headers of each scheme, computed without sending anything.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "hook_builder.h"
#include "sha256.h"
#include "wh_sign.h"

namespace {

std::unique_ptr<wh_hook> hook(const char *sig, const std::string &secret) {
  return vdtest::make_hook("https://relay.example/", "POST", sig, secret.c_str());
}

std::string hmac_hex(const std::string &key, const std::string &msg) {
  char hex[65];
  kr_hmac_sha256_hex(key.data(), key.size(), msg.data(), msg.size(), hex);
  return hex;
}

struct signed_out {
  int n;
  wh_header h[2];
  char err[160];
};

signed_out sign(const wh_hook &h, const std::string &payload) {
  signed_out s{};
  memset(s.err, 'x', sizeof s.err - 1);
  s.n = sign_request(&h, payload.data(), payload.size(), s.h, s.err);
  return s;
}

TEST(SignRequest, Schemes) {
  auto none = sign(*hook("", "ignored"), "{}");
  EXPECT_EQ(none.n, 0);
  EXPECT_STREQ(none.err, "") << "emptied first";

  auto gh = sign(*hook("github", "key"), std::string("a\0b", 3));
  ASSERT_EQ(gh.n, 1);
  EXPECT_STREQ(gh.h[0].name, "X-Hub-Signature-256");
  EXPECT_EQ(std::string(gh.h[0].value), "sha256=" + hmac_hex("key", std::string("a\0b", 3)))
      << "all payload bytes, NULs included";

  std::string long_secret(255, 's');
  auto gl = sign(*hook("gitlab", long_secret), "{}");
  ASSERT_EQ(gl.n, 1);
  EXPECT_STREQ(gl.h[0].name, "X-Gitlab-Token");
  EXPECT_EQ(std::string(gl.h[0].value), long_secret);

  auto v2 = sign(*hook("v2", "k2"), "{\"a\":1}");
  ASSERT_EQ(v2.n, 2);
  EXPECT_STREQ(v2.h[0].name, "X-Webhook-Timestamp");
  EXPECT_STREQ(v2.h[1].name, "X-Webhook-Signature");
  std::string ts = v2.h[0].value;
  EXPECT_EQ(std::to_string(std::atoll(ts.c_str())), ts);
  EXPECT_EQ(std::string(v2.h[1].value), "t=" + ts + ",v1=" + hmac_hex("k2", ts + ".{\"a\":1}"));
}

TEST(SignRequest, UnknownSchemes) {
  for (const char *s : {"GitHub", "V2", "gitlab ", "hmac"}) {
    auto out = sign(*hook(s, "k"), "{}");
    EXPECT_EQ(out.n, -1);
    EXPECT_EQ(std::string(out.err), std::string("unknown signature scheme '") + s + "'");
  }
}

TEST(SignRequest, V2MessageLimit) {
  // The time text, ".", and the payload together may not pass 1048640 bytes.
  size_t prefix = std::to_string(static_cast<long long>(time(nullptr))).size() + 1;
  std::string at(1048640 - prefix, 'p');
  auto ok = sign(*hook("v2", "k"), at);
  ASSERT_EQ(ok.n, 2) << ok.err;
  std::string ts = ok.h[0].value;
  EXPECT_EQ(std::string(ok.h[1].value), "t=" + ts + ",v1=" + hmac_hex("k", ts + "." + at));

  auto over = sign(*hook("v2", "k"), at + "p");
  EXPECT_EQ(over.n, -1);
  EXPECT_STREQ(over.err, "payload too large to sign");
  // The other schemes have no limit of their own.
  EXPECT_EQ(sign(*hook("github", "k"), at + "p").n, 1);
}

}  // namespace
