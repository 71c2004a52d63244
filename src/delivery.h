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
// An empty payload is sent as "{}". Then, for the model's trigger only
// (`bounded`), the owner's bounds on the model, each ending it unsent:
//  5. the hook's limit (wh_limit.h) already reached  WH_DELIVERY_LIMITED
//  6. a hook that asks first (confirm), and `approve`
//     declines                                       WH_DELIVERY_DECLINED
//     cannot ask, or no answer is given              WH_DELIVERY_UNCONFIRMED
//     asked, the answer to come with a later call    WH_DELIVERY_AWAITING
//     after an approval the hook is read again, as the owner may have
//     changed or deleted it while the person was asked   WH_DELIVERY_NO_HOOK
//  7. the limit checked again and the trigger counted, in one step under the
//     store's lock, so that of two processes racing at the limit one passes;
//     reached by now                                 WH_DELIVERY_LIMITED
// The limit is looked at before the person is asked, so that nobody is asked
// for a trigger it would refuse, and counted only after the approval, so that
// a declined trigger (or the first call of one whose answer comes later)
// uses up nothing and a racing one is still caught. A hook without a limit
// skips both steps and the count's write. `approve` is called with no lock
// held, however long it waits. A trigger the model sends counts whether or
// not its exchange succeeds.
// Each refusal but AWAITING is logged: status 0, not ok, its reason as the
// error (for the limit without "in N seconds", so that the text holds for the
// window); not again while the newest log entry records the same refusal of
// the same hook.
// Then the exchange: WH_DELIVERY_SENT when one took place (any HTTP status),
// WH_DELIVERY_FAILED when none did.
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
  WH_DELIVERY_LIMITED,      // error: the limit, when the next trigger is allowed and how soon
  WH_DELIVERY_DECLINED,     // error: "declined by the owner"
  WH_DELIVERY_UNCONFIRMED,  // error: the hook needs a confirmation this client cannot ask for
  WH_DELIVERY_AWAITING,     // the question went out; nothing sent, counted or logged
};

// What a model's trigger of a hook that asks first shows the person: the
// hook's name and what would be sent, never a credential (no URL, header or
// secret). The texts are the caller's own, valid for the call.
struct wh_approval_question {
  const char *name;
  const void *payload;  // as it would be sent ("{}" when the caller gave none)
  size_t payload_len;
  const char *query;  // "" for none
};

enum wh_approval : int {
  WH_APPROVAL_GIVEN,        // the person accepted: send
  WH_APPROVAL_DECLINED,     // the person declined or cancelled
  WH_APPROVAL_UNAVAILABLE,  // this client cannot ask (fails closed)
  WH_APPROVAL_PENDING,      // asked; the answer comes with a later call, which asks again
  WH_APPROVAL_NOT_GIVEN,    // asked, but no answer came, or the later call's
                            // answer is not for this trigger: why says which
};

// Asks the person, waiting for the answer as long as the caller allows; or,
// where the answer comes back with a later call (a retry that carries it),
// puts the question out and says so, and gives that answer when the retry
// asks the same question again. For WH_APPROVAL_NOT_GIVEN it writes why into
// the WH_ERR_CAP bytes at why.
using wh_delivery_approve =
    std::function<wh_approval(const wh_approval_question &question, char *why)>;

struct wh_delivery_request {
  const char *name;     // the hook's name as the caller gave it (null: none)
  const void *payload;  // the body to send; null or empty: "{}"
  size_t payload_len;
  const char *query;  // appended to the hook's URL; null or "" for none
  bool log_failures;  // a FAILED delivery is logged too
  // The model's trigger: counted against the hook's limit, and asked about
  // through `approve` when the hook asks first. The owner's fire sets neither.
  bool bounded;
  wh_delivery_approve approve;  // empty: this caller cannot ask
};

// The outcome; about 30 KB, so it lives on the heap.
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
