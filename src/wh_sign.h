// Request signing: every scheme a hook may name, the form of its secret and
// the rotation rule, in one table. A scheme turns the hook's secret, a stamp
// (message id and time) and the body into at most WH_SIGN_HEADERS_MAX
// headers, sent in this order:
//   github    X-Hub-Signature-256: sha256=<hex HMAC-SHA256(secret, payload)>
//   gitlab    X-Gitlab-Token: <secret>
//   v2        X-Webhook-Timestamp: <t>
//             X-Webhook-Signature: t=<t>,v1=<hex HMAC-SHA256(secret, "<t>." payload)>
//   standard  webhook-id: <id>
//             webhook-timestamp: <t>
//             webhook-signature: v1,<base64 HMAC-SHA256(key, "<id>.<t>." body)>
// <t> is the stamp's unix seconds, <id> its message id. The secret appears
// in no header except where the scheme is a plain token (gitlab).
//
// What is signed: standard signs the body as sent, so nothing for GET and
// HEAD, which send none; github and v2 sign the payload whether it is sent or
// not, as they always have (receivers verifying them rely on it).
//
// Secrets: standard's is "whsec_" and the standard base64 (wh_base64.h) of
// a key of WH_SIGN_KEY_MIN to WH_SIGN_KEY_MAX bytes; the other schemes take
// any non-empty text and sign with its bytes.
//
// Rotation: a hook may keep one previous secret and the time it stops
// signing. While the stamp's time is before it, v2 and standard sign with
// both secrets, the current one first ("t=<t>,v1=<new>,v1=<old>"; "v1,<new>
// v1,<old>"). github and gitlab carry one value: they switch to the current
// secret at once and never keep a previous one. A rotation keeps the
// previous secret for WH_SIGN_OVERLAP_SECONDS.
//
// Message ids: "msg_" and the URL-safe base64 of 24 bytes from the system's
// random source (32 characters), made only for a scheme that sends one.
// A signed message holds at most WH_SIGN_MESSAGE_MAX bytes (the largest body
// and its prefix); the error texts of signing fit WH_SIGN_ERR_CAP bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wh_hook.h"
#include "wh_limits.h"

inline constexpr size_t WH_SIGN_ERR_CAP = 160;
inline constexpr size_t WH_SIGN_MESSAGE_MAX = 1048640;
inline constexpr int WH_SIGN_HEADERS_MAX = 3;
inline constexpr size_t WH_SIGN_KEY_MIN = 24;
inline constexpr size_t WH_SIGN_KEY_MAX = 64;
inline constexpr int64_t WH_SIGN_OVERLAP_SECONDS = 86400;

// True when `scheme` names a scheme of the table (exactly, letter case
// included). The empty name means unsigned and is not a scheme.
bool wh_sign_scheme_known(const char *scheme);

// 0 when `secret` has the form the known `scheme` takes; -1 with the reason
// in err (err_size bytes, emptied first).
int wh_sign_secret_check(const char *scheme, const char *secret, char *err, size_t err_size);

// The key's text within a secret of the "whsec_" form (what follows the
// prefix), else empty. A credential as much as the secret: a receiver may be
// configured with, and echo, the key without its prefix.
std::string_view wh_sign_key_text(const char *secret);

// The id and time one delivery is signed with.
struct wh_sign_stamp {
  char id[WH_MESSAGE_ID_CAP];  // the message id; empty for a scheme that sends none
  int64_t at;                  // unix seconds
};

// A stamp for signing the hook now: the current time and, when its scheme
// sends one, a new message id. 0, or -1 with the reason in err
// (WH_SIGN_ERR_CAP bytes, emptied first) when the random source failed.
int wh_sign_stamp_now(const wh_hook *hook, wh_sign_stamp *stamp, char *err);

// True when the hook's previous secret signs beside its secret at `now`: one
// is kept, `now` is before its end, and the scheme carries two values.
bool wh_sign_rotating(const wh_hook *hook, int64_t now);

// A new secret for the hook. With `rotate` the current secret (when there is
// one, and the scheme carries two values) becomes the previous one until
// now + WH_SIGN_OVERLAP_SECONDS, in place of any earlier previous secret;
// without it the new secret takes over alone. The current secret given again
// changes nothing, a running rotation included.
void wh_sign_set_secret(wh_hook *hook, const char *secret, bool rotate, int64_t now);

// Ends a rotation: the previous secret is dropped.
void wh_sign_end_rotation(wh_hook *hook);

// The signature headers of the hook's scheme for one delivery, written to
// headers_out (room for WH_SIGN_HEADERS_MAX): returns 0 (unsigned) to
// WH_SIGN_HEADERS_MAX, or -1 with the reason in err (WH_SIGN_ERR_CAP bytes,
// emptied first). `body_sent` says whether the payload goes out as the
// request's body.
int sign_request(const wh_hook *hook, const wh_sign_stamp *stamp, const void *payload,
                 size_t payload_len, bool body_sent, wh_header *headers_out, char *err);
