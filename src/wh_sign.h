// Request signing: every scheme a hook may name, in one table. A scheme turns
// the hook's secret and the exact body bytes into at most two signature
// headers; the secret itself never appears in them except where the scheme
// is a plain token (gitlab). Schemes:
//   github  X-Hub-Signature-256: sha256=<hex HMAC-SHA256(secret, body)>
//   gitlab  X-Gitlab-Token: <secret>
//   v2      X-Webhook-Timestamp: <unix seconds>
//           X-Webhook-Signature: t=<seconds>,v1=<hex HMAC-SHA256(secret, "<seconds>." body)>
// A signed message holds at most WH_SIGN_MESSAGE_MAX bytes (the largest body
// and its prefix); the error texts fit WH_SIGN_ERR_CAP bytes.
#pragma once

#include <cstddef>

#include "wh_hook.h"

inline constexpr size_t WH_SIGN_ERR_CAP = 160;
inline constexpr size_t WH_SIGN_MESSAGE_MAX = 1048640;
inline constexpr int WH_SIGN_HEADERS_MAX = 2;

// True when `scheme` names a scheme of the table (exactly, letter case
// included). The empty name means unsigned and is not a scheme.
bool wh_sign_scheme_known(const char *scheme);

// The signature headers of the hook's scheme, written to headers_out (room for
// WH_SIGN_HEADERS_MAX): returns 0 (unsigned), 1 or 2, or -1 with the reason in
// err (WH_SIGN_ERR_CAP bytes, emptied first).
int sign_request(const wh_hook *hook, const void *payload, size_t payload_len,
                 wh_header *headers_out, char *err);
