// Firing one stored hook: the URL with the caller's query, the header list
// (stored headers, default content type, the signature headers of wh_sign.h),
// one timed HTTP exchange with its answer scrubbed; and the delivery-log
// entry added after it. Callers deliver through delivery.h, which runs both.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wh_hook.h"
#include "wh_limits.h"

struct wh_fire_result {
  int ok;             // 1 when an HTTP exchange took place (any status)
  int status;         // HTTP status; 0 without an exchange
  char error[512];    // why the firing failed; empty on success
  char body[4097];    // first body bytes, the hook's credentials hidden (at most 4096), NUL
  uint64_t body_len;  // bytes of the answer the preview covers (at most 4096)
  int truncated;      // 1 when the response body was 4096 bytes or longer
  int elapsed_ms;     // wall time of the exchange; 0 when it was never started
  char message_id[WH_MESSAGE_ID_CAP];  // the id the request was signed with, else empty
};

// 0 when an exchange took place, whatever its status; -1 with result->error
// set. `query` is appended to the hook's URL ("" for none, never null).
// GET and HEAD carry no body; what each scheme signs then is said in wh_sign.h.
// message_id is set once the request is signed with one, even when the
// exchange then fails.
int fire_hook(const wh_hook *hook, const void *payload, size_t payload_len, const char *query,
              wh_fire_result *result);

// The UTC time t (unix seconds) as "%Y-%m-%dT%H:%M:%SZ" in a 24-byte buffer,
// "" when it cannot be told; iso_now is the current time, the stamp of every
// delivery-log entry.
void iso_time(int64_t t, char buf[24]);
void iso_now(char buf[24]);

// 1 for a status from 200 to 299: the endpoint took the delivery.
inline bool wh_status_ok(int status) {
  return status >= 200 && status <= 299;
}

// Adds one delivery attempt of the hook `name` to the store's log (status,
// preview length, time, error and message id from `result`) through the locked cycle: the
// store is loaded again, so an edit saved during the exchange is kept. Called
// after the exchange, never around it. A failed save is not reported: the
// delivery happened either way.
void fire_log(const char *name, const wh_fire_result *result);
