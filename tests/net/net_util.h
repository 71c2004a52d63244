// Shared by the delivery tests: hook records, the allow-private switch.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fire.h"
#include "receiver.h"
#include "test_platform.h"
#include "wh_hook.h"
#include "wh_http.h"

namespace nettest {

inline std::unique_ptr<wh_hook> make_hook(const std::string &url, const char *method = "POST",
                                          const char *sig = "", const char *secret = "") {
  auto h = std::make_unique<wh_hook>();
  memset(h.get(), 0, sizeof *h);
  snprintf(h->name, sizeof h->name, "%s", "test");
  snprintf(h->url, sizeof h->url, "%s", url.c_str());
  snprintf(h->method, sizeof h->method, "%s", method);
  snprintf(h->sig, sizeof h->sig, "%s", sig);
  snprintf(h->secret, sizeof h->secret, "%s", secret);
  return h;
}

inline void add_header(wh_hook *h, const std::string &name, const std::string &value) {
  wh_header &x = h->headers[h->header_count++];
  snprintf(x.name, sizeof x.name, "%s", name.c_str());
  snprintf(x.value, sizeof x.value, "%s", value.c_str());
}

struct fired {
  int rc;
  std::unique_ptr<wh_fire_result> r;
};

inline fired fire(const wh_hook &h, const std::string &payload, const char *query = "") {
  fired f{0, std::make_unique<wh_fire_result>()};
  f.rc = fire_hook(&h, payload.data(), payload.size(), query, f.r.get());
  return f;
}

// Sets or clears WEBHOOK_ALLOW_PRIVATE for one scope.
class allow_private_env {
 public:
  explicit allow_private_env(const char *value) {
    if (const char *v = getenv("WEBHOOK_ALLOW_PRIVATE")) saved_ = v;
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", value);
  }
  ~allow_private_env() {
    vdtest::set_env("WEBHOOK_ALLOW_PRIVATE", saved_ ? saved_->c_str() : nullptr);
  }

 private:
  std::optional<std::string> saved_;
};

inline std::string refused_message(const std::string &host, const std::string &addr) {
  return "refused: " + host + " resolves to a private or reserved address (" + addr +
         "). Set WEBHOOK_ALLOW_PRIVATE=1 to allow local endpoints.";
}

// Fires at a receiver that drips its answer's head or body a byte every
// 100 ms (the 200-byte pattern), with the delivery's overall bound cut to
// 0.9 s for this one delivery.
inline fired fire_at_drip(vdtest::answer_mode mode) {
  vdtest::receiver_options o;
  o.body = vdtest::receiver::pattern(200);
  o.drip_ms = 100;
  o.mode = mode;
  vdtest::receiver rx(o);
  wh_http_overall_timeout_ms = 900;
  fired f = fire(*make_hook(rx.url("/")), "{}");
  wh_http_overall_timeout_ms = 60000;
  return f;
}

inline const char kSendFailed[] =
    "request failed: TLS or connection error (certificate refused or endpoint unreachable)";

}  // namespace nettest
