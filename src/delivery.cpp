#include "delivery.h"

#include <cstring>

#include "wh_limits.h"
#include "wh_store.h"

wh_delivery_status wh_deliver(const wh_delivery_request &rq, wh_delivery *out,
                              const wh_delivery_answer &answer) {
  out->error[0] = '\0';
  auto stop = [&](wh_delivery_status status) {
    out->status = status;
    answer(*out);
    return status;
  };
  if (rq.payload_len > WH_PAYLOAD_MAX) {
    wh_err_set(out->error, sizeof out->error, "payload is larger than the %u byte limit",
               static_cast<unsigned>(WH_PAYLOAD_LIMIT));
    return stop(WH_DELIVERY_TOO_LARGE);
  }
  // Only the hook is taken from the store (a store that cannot be read is
  // reported before a missing name); it is not held across the exchange: the
  // log entry goes to a fresh copy afterwards, so edits made meanwhile stay.
  const char *name = rq.name ? rq.name : "";
  int found = wh_store_load_hook(name, &out->hook, out->error, sizeof out->error);
  if (found < 0) return stop(WH_DELIVERY_STORE_ERROR);
  if (!name[0]) return stop(WH_DELIVERY_NO_NAME);
  if (!found) return stop(WH_DELIVERY_NO_HOOK);

  const void *payload = rq.payload;
  size_t payload_len = rq.payload_len;
  if (!payload || !payload_len) {
    payload = "{}";
    payload_len = 2;
  }
  if (fire_hook(&out->hook, payload, payload_len, rq.query ? rq.query : "", &out->result) != 0) {
    if (rq.log_failures) fire_log(name, &out->result);
    return stop(WH_DELIVERY_FAILED);
  }
  stop(WH_DELIVERY_SENT);
  fire_log(name, &out->result);
  return WH_DELIVERY_SENT;
}
