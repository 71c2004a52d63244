// Shared by the delivery tests: firing a hook, the allow-private switch.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fire.h"
#include "hook_builder.h"
#include "receiver.h"
#include "test_platform.h"
#include "wh_hook.h"
#include "wh_http.h"

namespace nettest {

using vdtest::add_header;
using vdtest::make_hook;

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
