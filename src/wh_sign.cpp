#include "wh_sign.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plat.h"
#include "raii.h"
#include "sha256.h"

namespace {

void set_header(wh_header *h, const char *name, const char *value) {
  snprintf(h->name, sizeof h->name, "%s", name);
  snprintf(h->value, sizeof h->value, "%s", value);
}

struct sign_input {
  const char *secret;
  size_t secret_len;
  const void *payload;
  size_t payload_len;
};

int sign_github(const sign_input &in, wh_header *out, char *) {
  char hex[65];
  kr_hmac_sha256_hex(in.secret, in.secret_len, in.payload, in.payload_len, hex);
  snprintf(out[0].name, sizeof out[0].name, "%s", "X-Hub-Signature-256");
  snprintf(out[0].value, sizeof out[0].value, "sha256=%s", hex);
  return 1;
}

int sign_gitlab(const sign_input &in, wh_header *out, char *) {
  set_header(&out[0], "X-Gitlab-Token", in.secret);
  return 1;
}

int sign_v2(const sign_input &in, wh_header *out, char *err) {
  char stamp[24], prefix[32];
  snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(plat_time()));
  int prefix_len = snprintf(prefix, sizeof prefix, "%s.", stamp);
  if (in.payload_len > WH_SIGN_MESSAGE_MAX - static_cast<size_t>(prefix_len)) {
    snprintf(err, WH_SIGN_ERR_CAP, "payload too large to sign");
    return -1;
  }
  // One contiguous message, up to 1 MiB: on the heap, never the stack.
  size_t msg_len = static_cast<size_t>(prefix_len) + in.payload_len;
  unique_cstr msg(static_cast<char *>(malloc(msg_len)));
  if (!msg) {
    snprintf(err, WH_SIGN_ERR_CAP, "out of memory");
    return -1;
  }
  memcpy(msg.get(), prefix, static_cast<size_t>(prefix_len));
  if (in.payload_len) memcpy(msg.get() + prefix_len, in.payload, in.payload_len);
  char hex[65];
  kr_hmac_sha256_hex(in.secret, in.secret_len, msg.get(), msg_len, hex);
  set_header(&out[0], "X-Webhook-Timestamp", stamp);
  snprintf(out[1].name, sizeof out[1].name, "%s", "X-Webhook-Signature");
  snprintf(out[1].value, sizeof out[1].value, "t=%s,v1=%s", stamp, hex);
  return 2;
}

struct scheme {
  const char *name;
  int (*sign)(const sign_input &in, wh_header *out, char *err);
};

constexpr scheme kSchemes[] = {
    {"github", sign_github},
    {"gitlab", sign_gitlab},
    {"v2", sign_v2},
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

int sign_request(const wh_hook *hook, const void *payload, size_t payload_len,
                 wh_header *headers_out, char *err) {
  err[0] = '\0';
  if (!hook->sig[0]) return 0;
  const scheme *s = find_scheme(hook->sig);
  if (!s) {
    snprintf(err, WH_SIGN_ERR_CAP, "unknown signature scheme '%s'", hook->sig);
    return -1;
  }
  sign_input in{hook->secret, strnlen(hook->secret, sizeof hook->secret), payload, payload_len};
  return s->sign(in, headers_out, err);
}
