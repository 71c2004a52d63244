// The one path of a delivery that a caller asks for by name: the hook looked
// up in the store, the payload checked and defaulted, the hook fired (signed,
// its answer scrubbed of its credentials) and the attempt logged. The MCP
// trigger and the API's fire both come here; each only turns the outcome into
// its own answer.
//
// Order of the checks, each ending the delivery with its status:
//  1. a payload of more than WH_PAYLOAD_MAX bytes   WH_DELIVERY_TOO_LARGE
//  2. a store file that cannot be read              WH_DELIVERY_STORE_ERROR
//  3. an empty name                                 WH_DELIVERY_NO_NAME
//  4. no hook of that name                          WH_DELIVERY_NO_HOOK
// An empty payload is sent as "{}". Then the exchange: WH_DELIVERY_SENT when
// one took place (any HTTP status), WH_DELIVERY_FAILED when none did.
//
// The caller's answer is called exactly once, with the outcome. The log entry
// is written after the exchange, never around it (the store's lock is not
// held while the endpoint answers): for a SENT delivery after the answer, so
// that the save cannot delay it; for a FAILED one before the answer, and only
// when the caller logs failures (the API does; the MCP tool logs only
// deliveries that produced an HTTP status).
#pragma once

#include <cstddef>
#include <functional>

#include "fire.h"
#include "wh_err.h"
#include "wh_hook.h"

enum wh_delivery_status : int {
  WH_DELIVERY_SENT,
  WH_DELIVERY_FAILED,
  WH_DELIVERY_TOO_LARGE,
  WH_DELIVERY_STORE_ERROR,
  WH_DELIVERY_NO_NAME,
  WH_DELIVERY_NO_HOOK,
};

struct wh_delivery_request {
  const char *name;     // the hook's name as the caller gave it (null: none)
  const void *payload;  // the body to send; null or empty: "{}"
  size_t payload_len;
  const char *query;  // appended to the hook's URL; null or "" for none
  bool log_failures;  // a FAILED delivery is logged too
};

// The outcome; about 25 KB, so it lives on the heap.
struct wh_delivery {
  wh_delivery_status status;
  wh_hook hook;            // the hook fired (SENT and FAILED)
  wh_fire_result result;   // the exchange (SENT), or why it failed (FAILED: result.error)
  char error[WH_ERR_CAP];  // why the delivery stopped before an exchange, else empty
};

using wh_delivery_answer = std::function<void(const wh_delivery &outcome)>;

// Runs one delivery into *out, answers through `answer`, returns out->status.
wh_delivery_status wh_deliver(const wh_delivery_request &rq, wh_delivery *out,
                              const wh_delivery_answer &answer);
