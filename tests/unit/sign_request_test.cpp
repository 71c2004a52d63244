// Signature headers of each scheme, the secret forms, the rotation rule and
// the message ids, computed without sending anything.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "hook_builder.h"
#include "sha256.h"
#include "wh_sign.h"

namespace {

// The published test vector of the Standard Webhooks scheme.
constexpr char kVectorKey[] = "whsec_MfKQ9r8GKYqrTwjUPD8ILPZIo2LaLaSw";
constexpr char kVectorId[] = "msg_p5jXN8AQM9LWM0D4loKWxJek";
constexpr int64_t kVectorAt = 1614265330;
constexpr char kVectorBody[] = "{\"test\": 2432232314}";
constexpr char kVectorSig[] = "v1,g0hM9SsE+OTPJTGt/tmIKtSyZlE3uFJELVlNIOLJ1OE=";
// Another valid key: 32 bytes.
constexpr char kOtherKey[] = "whsec_AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";

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
  wh_header h[WH_SIGN_HEADERS_MAX];
  char err[WH_SIGN_ERR_CAP];
  std::string value(int i) const { return i < n ? h[i].value : ""; }
};

signed_out sign(const wh_hook &h, const std::string &payload, int64_t at = kVectorAt,
                const char *id = kVectorId, bool body_sent = true) {
  signed_out s{};
  memset(s.err, 'x', sizeof s.err - 1);
  wh_sign_stamp stamp{};
  wh_field_copy(stamp.id, id);
  stamp.at = at;
  s.n = sign_request(&h, &stamp, payload.data(), payload.size(), body_sent, s.h, s.err);
  return s;
}

TEST(SignRequest, Schemes) {
  auto none = sign(*hook("", "ignored"), "{}");
  EXPECT_EQ(none.n, 0);
  EXPECT_STREQ(none.err, "") << "emptied first";

  auto gh = sign(*hook("github", "key"), std::string("a\0b", 3));
  ASSERT_EQ(gh.n, 1);
  EXPECT_STREQ(gh.h[0].name, "X-Hub-Signature-256");
  EXPECT_EQ(gh.value(0), "sha256=" + hmac_hex("key", std::string("a\0b", 3)))
      << "all payload bytes, NULs included";

  std::string long_secret(255, 's');
  auto gl = sign(*hook("gitlab", long_secret), "{}");
  ASSERT_EQ(gl.n, 1);
  EXPECT_STREQ(gl.h[0].name, "X-Gitlab-Token");
  EXPECT_EQ(gl.value(0), long_secret);

  auto v2 = sign(*hook("v2", "k2"), "{\"a\":1}");
  ASSERT_EQ(v2.n, 2);
  EXPECT_STREQ(v2.h[0].name, "X-Webhook-Timestamp");
  EXPECT_STREQ(v2.h[1].name, "X-Webhook-Signature");
  EXPECT_EQ(v2.value(0), "1614265330");
  EXPECT_EQ(v2.value(1), "t=1614265330,v1=" + hmac_hex("k2", "1614265330.{\"a\":1}"));

  auto sw = sign(*hook("standard", kVectorKey), kVectorBody);
  ASSERT_EQ(sw.n, 3) << sw.err;
  EXPECT_STREQ(sw.h[0].name, "webhook-id");
  EXPECT_STREQ(sw.h[1].name, "webhook-timestamp");
  EXPECT_STREQ(sw.h[2].name, "webhook-signature");
  EXPECT_EQ(sw.value(0), kVectorId);
  EXPECT_EQ(sw.value(1), "1614265330");
  EXPECT_EQ(sw.value(2), kVectorSig);
}

TEST(SignRequest, Rotation) {
  // The vector's key is the previous secret; it signs until kVectorAt + 1.
  auto rotated = [](const char *sig, const char *secret) {
    auto h = hook(sig, secret);
    wh_field_copy(h->prev_secret, kVectorKey);
    h->prev_until = kVectorAt + 1;
    return h;
  };
  auto sw_new = sign(*hook("standard", kOtherKey), kVectorBody).value(2);
  auto sw_later = sign(*hook("standard", kOtherKey), kVectorBody, kVectorAt + 1).value(2);
  std::string v2_new = hmac_hex("n", "1614265330.{}"),
              v2_old = hmac_hex(kVectorKey, "1614265330.{}");
  struct row {
    const char *sig, *secret, *payload;
    int64_t at;
    bool rotating;
    int header;
    std::string want;
  } rows[] = {
      {"standard", kOtherKey, kVectorBody, kVectorAt, true, 2, sw_new + " " + kVectorSig},
      {"standard", kOtherKey, kVectorBody, kVectorAt + 1, false, 2, sw_later},
      {"v2", "n", "{}", kVectorAt, true, 1, "t=1614265330,v1=" + v2_new + ",v1=" + v2_old},
      {"github", "n", "{}", kVectorAt, false, 0, "sha256=" + hmac_hex("n", "{}")},
      {"gitlab", "n", "{}", kVectorAt, false, 0, "n"},
  };
  for (const row &r : rows) {
    auto h = rotated(r.sig, r.secret);
    EXPECT_EQ(sign(*h, r.payload, r.at).value(r.header), r.want) << r.sig << " at " << r.at;
    EXPECT_EQ(wh_sign_rotating(h.get(), r.at), r.rotating) << r.sig << " at " << r.at;
  }

  // A previous secret that is no "whsec_" secret fails a standard delivery.
  auto broken = rotated("standard", kOtherKey);
  wh_field_copy(broken->prev_secret, "plain");
  auto out = sign(*broken, "{}");
  EXPECT_EQ(out.n, -1);
  EXPECT_STREQ(out.err, "a standard secret is whsec_ and a base64 key (Generate makes one)");
}

TEST(SignRequest, SecretForms) {
  std::string key24 = "whsec_" + std::string(32, 'A'),
              key64 = "whsec_" + std::string(84, 'A') + "AA==";
  struct row {
    const char *sig;
    std::string secret, want;
  } rows[] = {
      {"standard", key24, ""},
      {"standard", key64, ""},
      {"standard", "whsec_" + std::string(28, 'A') + "AA==",
       "the key after whsec_ must be 24 to 64 bytes, not 22"},
      {"standard", "whsec_" + std::string(88, 'A'),
       "the key after whsec_ must be 24 to 64 bytes, not 66"},
      {"standard", "MfKQ9r8GKYqrTwjUPD8ILPZIo2LaLaSw",
       "a standard secret is whsec_ and a base64 key (Generate makes one)"},
      {"standard", "whsec_MfKQ9r8GKYqrTwjUPD8ILPZIo2LaLa-w",
       "the key after whsec_ is not valid base64"},
      {"gitlab", "", "a signature scheme needs a secret"},
      {"v2", "whsec_not base64", ""},
  };
  for (const row &r : rows) {
    char err[WH_SIGN_ERR_CAP];
    int rc = wh_sign_secret_check(r.sig, r.secret.c_str(), err, sizeof err);
    EXPECT_EQ(rc, r.want.empty() ? 0 : -1) << r.secret;
    EXPECT_EQ(err, r.want) << r.secret;
  }
}

TEST(SignRequest, MessageIds) {
  auto sw = hook("standard", kVectorKey);
  std::set<std::string> seen;
  // "msg_" and 32 characters of the URL-safe alphabet.
  auto well_formed = [](std::string_view id) {
    return id.size() == 36 && id.substr(0, 4) == "msg_" &&
           id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_",
                                4) == std::string_view::npos;
  };
  char err[WH_SIGN_ERR_CAP];
  for (int i = 0; i < 10000; ++i) {
    wh_sign_stamp stamp{};
    ASSERT_EQ(wh_sign_stamp_now(sw.get(), &stamp, err), 0) << err;
    EXPECT_TRUE(well_formed(stamp.id)) << stamp.id;
    seen.insert(stamp.id);
  }
  EXPECT_EQ(seen.size(), 10000u);
  // Schemes that send no id get none.
  wh_sign_stamp stamp{};
  ASSERT_EQ(wh_sign_stamp_now(hook("v2", "k").get(), &stamp, err), 0);
  EXPECT_STREQ(stamp.id, "");
}

TEST(SignRequest, UnknownSchemes) {
  for (const char *s : {"GitHub", "V2", "gitlab ", "hmac", "Standard"}) {
    auto out = sign(*hook(s, "k"), "{}");
    EXPECT_EQ(out.n, -1);
    EXPECT_EQ(std::string(out.err), std::string("unknown signature scheme '") + s + "'");
  }
}

TEST(SignRequest, MessageLimit) {
  // The prefix and the payload together may not pass 1048640 bytes.
  std::string at(1048640 - 11, 'p');
  auto ok = sign(*hook("v2", "k"), at);
  ASSERT_EQ(ok.n, 2) << ok.err;
  EXPECT_EQ(ok.value(1), "t=1614265330,v1=" + hmac_hex("k", "1614265330." + at));

  auto over = sign(*hook("v2", "k"), at + "p");
  EXPECT_EQ(over.n, -1);
  EXPECT_STREQ(over.err, "payload too large to sign");
  // github has no limit of its own.
  EXPECT_EQ(sign(*hook("github", "k"), at + "p").n, 1);
}

}  // namespace
