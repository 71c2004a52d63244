#include "wh_sign.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plat.h"
#include "raii.h"
#include "sha256.h"
#include "wh_base64.h"
#include "wh_err.h"

namespace {

constexpr std::string_view kKeyPrefix = "whsec_";
constexpr char kIdPrefix[] = "msg_";
constexpr size_t kIdRandom = 24;
static_assert(sizeof kIdPrefix - 1 + wh_base64_encoded_len(kIdRandom, WH_BASE64_URL) <
              WH_MESSAGE_ID_CAP);
// A stored secret decodes to at most this many bytes.
constexpr size_t kDecodedCap = sizeof wh_hook::secret / 4 * 3;

std::string_view field(const char *text, size_t cap) {
  return {text, strnlen(text, cap)};
}

struct sign_input {
  std::string_view secret;
  std::string_view previous;  // empty unless a rotation runs
  const wh_sign_stamp *stamp;
  const void *payload;
  size_t payload_len;
  bool body_sent;
};

// The key of a "whsec_" secret into key; its length, or -1 with the reason.
long decode_key(std::string_view secret, unsigned char (&key)[kDecodedCap], char *err,
                size_t err_size) {
  if (secret.substr(0, kKeyPrefix.size()) != kKeyPrefix)
    return wh_err_set(err, err_size,
                      "a standard secret is whsec_ and a base64 key (Generate makes one)");
  long n = wh_base64_decode(secret.substr(kKeyPrefix.size()), key, sizeof key);
  if (n < 0) return wh_err_set(err, err_size, "the key after whsec_ is not valid base64");
  if (static_cast<size_t>(n) < WH_SIGN_KEY_MIN || static_cast<size_t>(n) > WH_SIGN_KEY_MAX)
    return wh_err_set(err, err_size, "the key after whsec_ must be %u to %u bytes, not %ld",
                      static_cast<unsigned>(WH_SIGN_KEY_MIN),
                      static_cast<unsigned>(WH_SIGN_KEY_MAX), n);
  return n;
}

// `prefix` and the body as one contiguous message, up to 1 MiB: on the heap,
// never the stack. Null with the reason in err.
unique_cstr signed_message(std::string_view prefix, const void *body, size_t body_len, size_t *len,
                           char *err) {
  if (body_len > WH_SIGN_MESSAGE_MAX - prefix.size()) {
    wh_err_set(err, WH_SIGN_ERR_CAP, "payload too large to sign");
    return nullptr;
  }
  *len = prefix.size() + body_len;
  unique_cstr msg(static_cast<char *>(malloc(*len)));
  if (!msg) {
    wh_err_set(err, WH_SIGN_ERR_CAP, "out of memory");
    return nullptr;
  }
  memcpy(msg.get(), prefix.data(), prefix.size());
  if (body_len) memcpy(msg.get() + prefix.size(), body, body_len);
  return msg;
}

int sign_github(const sign_input &in, wh_header *out, char *) {
  char hex[65];
  kr_hmac_sha256_hex(in.secret.data(), in.secret.size(), in.payload, in.payload_len, hex);
  snprintf(out[0].name, sizeof out[0].name, "%s", "X-Hub-Signature-256");
  snprintf(out[0].value, sizeof out[0].value, "sha256=%s", hex);
  return 1;
}

int sign_gitlab(const sign_input &in, wh_header *out, char *) {
  snprintf(out[0].name, sizeof out[0].name, "%s", "X-Gitlab-Token");
  snprintf(out[0].value, sizeof out[0].value, "%.*s", static_cast<int>(in.secret.size()),
           in.secret.data());
  return 1;
}

int sign_v2(const sign_input &in, wh_header *out, char *err) {
  char stamp[24], prefix[32];
  snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(in.stamp->at));
  snprintf(prefix, sizeof prefix, "%s.", stamp);
  size_t len;
  unique_cstr msg = signed_message(prefix, in.payload, in.payload_len, &len, err);
  if (!msg) return -1;
  char hex[65], old[65];
  kr_hmac_sha256_hex(in.secret.data(), in.secret.size(), msg.get(), len, hex);
  wh_header_set(&out[0], "X-Webhook-Timestamp", stamp);
  snprintf(out[1].name, sizeof out[1].name, "%s", "X-Webhook-Signature");
  if (in.previous.empty()) {
    snprintf(out[1].value, sizeof out[1].value, "t=%s,v1=%s", stamp, hex);
  } else {
    kr_hmac_sha256_hex(in.previous.data(), in.previous.size(), msg.get(), len, old);
    snprintf(out[1].value, sizeof out[1].value, "t=%s,v1=%s,v1=%s", stamp, hex, old);
  }
  return 2;
}

int sign_standard(const sign_input &in, wh_header *out, char *err) {
  if (!in.stamp->id[0]) return wh_err_set(err, WH_SIGN_ERR_CAP, "no message id to sign");
  char stamp[24], prefix[WH_MESSAGE_ID_CAP + 32];
  snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(in.stamp->at));
  snprintf(prefix, sizeof prefix, "%s.%s.", in.stamp->id, stamp);
  size_t len;
  unique_cstr msg =
      signed_message(prefix, in.payload, in.body_sent ? in.payload_len : 0, &len, err);
  if (!msg) return -1;
  // Each secret's signature, the current one first: "v1,<base64>".
  char value[2 * (3 + wh_base64_encoded_len(32, WH_BASE64_STD) + 1)];
  size_t used = 0;
  for (std::string_view secret : {in.secret, in.previous}) {
    if (secret.empty()) continue;
    unsigned char key[kDecodedCap], mac[32];
    long key_len = decode_key(secret, key, err, WH_SIGN_ERR_CAP);
    if (key_len < 0) return -1;
    kr_hmac_sha256(key, static_cast<size_t>(key_len), msg.get(), len, mac);
    if (used) value[used++] = ' ';
    memcpy(value + used, "v1,", 3);
    used += 3;
    used += wh_base64_encode(mac, sizeof mac, WH_BASE64_STD, value + used);
  }
  wh_header_set(&out[0], "webhook-id", in.stamp->id);
  wh_header_set(&out[1], "webhook-timestamp", stamp);
  wh_header_set(&out[2], "webhook-signature", value);
  return 3;
}

struct scheme {
  const char *name;
  int (*sign)(const sign_input &in, wh_header *out, char *err);
  bool whsec;     // the secret is "whsec_" and a base64 key
  bool sends_id;  // the stamp needs a message id
  bool overlaps;  // carries a previous secret's signature beside the current one
};

constexpr scheme kSchemes[] = {
    {"github", sign_github, false, false, false},
    {"gitlab", sign_gitlab, false, false, false},
    {"v2", sign_v2, false, false, true},
    {"standard", sign_standard, true, true, true},
};

const scheme *find_scheme(const char *name) {
  for (const scheme &s : kSchemes)
    if (strcmp(s.name, name) == 0) return &s;
  return nullptr;
}

}  // namespace

bool wh_sign_scheme_known(const char *name) {
  return name && name[0] && find_scheme(name);
}

int wh_sign_secret_check(const char *scheme_name, const char *secret, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!secret || !secret[0]) return wh_err_set(err, err_size, "a signature scheme needs a secret");
  const scheme *s = find_scheme(scheme_name);
  if (!s || !s->whsec) return 0;
  unsigned char key[kDecodedCap];
  return decode_key(secret, key, err, err_size) < 0 ? -1 : 0;
}

std::string_view wh_sign_key_text(const char *secret) {
  std::string_view s = field(secret, sizeof wh_hook::secret);
  return s.substr(0, kKeyPrefix.size()) == kKeyPrefix ? s.substr(kKeyPrefix.size())
                                                      : std::string_view();
}

int wh_sign_stamp_now(const wh_hook *hook, wh_sign_stamp *stamp, char *err) {
  err[0] = '\0';
  stamp->id[0] = '\0';
  stamp->at = plat_time();
  const scheme *s = find_scheme(hook->sig);
  if (!s || !s->sends_id) return 0;
  unsigned char raw[kIdRandom];
  if (!plat_random(raw, sizeof raw))
    return wh_err_set(err, WH_SIGN_ERR_CAP, "no random bytes for a message id");
  memcpy(stamp->id, kIdPrefix, sizeof kIdPrefix - 1);
  wh_base64_encode(raw, sizeof raw, WH_BASE64_URL, stamp->id + sizeof kIdPrefix - 1);
  return 0;
}

bool wh_sign_rotating(const wh_hook *hook, int64_t now) {
  const scheme *s = find_scheme(hook->sig);
  return s && s->overlaps && hook->prev_secret[0] && now < hook->prev_until;
}

void wh_sign_set_secret(wh_hook *hook, const char *secret, bool rotate, int64_t now) {
  if (strncmp(secret, hook->secret, sizeof hook->secret - 1) == 0) return;
  const scheme *s = find_scheme(hook->sig);
  if (rotate && s && s->overlaps && hook->secret[0]) {
    memcpy(hook->prev_secret, hook->secret, sizeof hook->prev_secret);
    hook->prev_until = now + WH_SIGN_OVERLAP_SECONDS;
  } else {
    wh_sign_end_rotation(hook);
  }
  wh_field_copy(hook->secret, secret);
}

void wh_sign_end_rotation(wh_hook *hook) {
  memset(hook->prev_secret, 0, sizeof hook->prev_secret);
  hook->prev_until = 0;
}

int sign_request(const wh_hook *hook, const wh_sign_stamp *stamp, const void *payload,
                 size_t payload_len, bool body_sent, wh_header *headers_out, char *err) {
  err[0] = '\0';
  if (!hook->sig[0]) return 0;
  const scheme *s = find_scheme(hook->sig);
  if (!s) return wh_err_set(err, WH_SIGN_ERR_CAP, "unknown signature scheme '%s'", hook->sig);
  std::string_view previous;
  if (wh_sign_rotating(hook, stamp->at))
    previous = field(hook->prev_secret, sizeof hook->prev_secret);
  sign_input in{
      field(hook->secret, sizeof hook->secret), previous, stamp, payload, payload_len, body_sent};
  return s->sign(in, headers_out, err);
}
