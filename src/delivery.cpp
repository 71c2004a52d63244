#include "delivery.h"

#include <cstdio>
#include <cstring>

#include "plat.h"
#include "wh_limit.h"
#include "wh_limits.h"
#include "wh_store.h"

namespace {

// The log entry of a trigger refused before any exchange, added to the
// store in hand: no status, not ok, the reason as its error. When the newest
// entry already records it (the same hook, the same reason, which for a limit
// names the window's end) nothing is added, so that a model looping against a
// refusal cannot push the owner's deliveries out of the log.
wh_change log_refusal(wh_store *s, const char *name, const char *reason) {
  wh_log_entry e{};
  iso_now(e.at);
  wh_field_copy(e.name, name);
  wh_field_copy(e.error, reason);
  if (s->log_count > 0 && strcmp(s->log[0].name, e.name) == 0 && s->log[0].status == 0 &&
      strcmp(s->log[0].error, e.error) == 0)
    return WH_CHANGE_NONE;
  wh_store_log_add(s, &e);
  return WH_CHANGE_SAVE;
}

// The same, through a locked cycle of its own. A failed save is not
// reported: the refusal stands either way.
void log_refusal(const char *name, const char *reason) {
  char err[WH_ERR_CAP];
  wh_store_update([&](wh_store *s, char *, size_t) { return log_refusal(s, name, reason); }, err,
                  sizeof err);
}

// Why the limit refuses: what it is and when the next trigger is allowed,
// the same text all through the window (as the log entry's reason).
void limit_reason(const wh_hook *hook, int64_t next_at, char *out, size_t size) {
  wh_limit limit = wh_limit_of(hook);
  char at[24];
  iso_time(next_at, at);
  snprintf(out, size,
           "the limit of %d trigger%s per %s is reached; the next trigger is allowed at %s",
           limit.count, limit.count == 1 ? "" : "s", wh_limit_per_name(limit.per), at);
}

// The caller's answer adds how long that is from now.
void add_wait(int64_t now, int64_t next_at, char *out, size_t size) {
  size_t len = strlen(out);
  snprintf(out + len, size - len, ", in %lld seconds", static_cast<long long>(next_at - now));
}

// The limit's check and count, in one step under the store's lock, on the
// hook as the store holds it now. WH_DELIVERY_SENT when counted; else the
// status that ends the delivery, with its reason in out->error.
wh_delivery_status count_trigger(const char *name, wh_delivery *out) {
  wh_delivery_status status = WH_DELIVERY_SENT;
  int64_t now = 0, next_at = 0;
  auto change = [&](wh_store *s, char *, size_t) {
    wh_hook *h = wh_hook_find(s, name);
    if (!h) {  // deleted since it was read
      status = WH_DELIVERY_NO_HOOK;
      return WH_CHANGE_NONE;
    }
    now = plat_time();
    if (wh_limit_allows(h, now, &next_at)) {
      wh_limit_count(h, now);
      return WH_CHANGE_SAVE;
    }
    status = WH_DELIVERY_LIMITED;
    limit_reason(h, next_at, out->error, sizeof out->error);
    return log_refusal(s, name, out->error);
  };
  // Without its count the trigger is not sent: the bound fails closed.
  if (wh_store_update(change, out->error, sizeof out->error) != 0) return WH_DELIVERY_STORE_ERROR;
  if (status == WH_DELIVERY_LIMITED) add_wait(now, next_at, out->error, sizeof out->error);
  return status;
}

// The owner's bounds on a model's trigger (delivery.h, steps 5 to 7):
// WH_DELIVERY_SENT when it may be sent, else the status that ends it.
wh_delivery_status bound_trigger(const wh_delivery_request &rq, const char *name,
                                 const void *payload, size_t payload_len, wh_delivery *out) {
  int64_t now = plat_time(), next_at = 0;
  if (!wh_limit_allows(&out->hook, now, &next_at)) {
    limit_reason(&out->hook, next_at, out->error, sizeof out->error);
    log_refusal(name, out->error);
    add_wait(now, next_at, out->error, sizeof out->error);
    return WH_DELIVERY_LIMITED;
  }
  if (out->hook.confirm) {
    wh_approval answer = WH_APPROVAL_UNAVAILABLE;
    if (rq.approve)
      answer = rq.approve({name, payload, payload_len, rq.query ? rq.query : ""}, out->error);
    if (answer == WH_APPROVAL_PENDING) return WH_DELIVERY_AWAITING;
    if (answer != WH_APPROVAL_GIVEN) {
      if (answer == WH_APPROVAL_DECLINED)
        wh_field_copy(out->error, sizeof out->error, "declined by the owner");
      else if (answer == WH_APPROVAL_UNAVAILABLE)
        wh_field_copy(out->error, sizeof out->error,
                      "this hook needs the owner's confirmation, which this client cannot ask for");
      log_refusal(name, out->error);
      return answer == WH_APPROVAL_DECLINED ? WH_DELIVERY_DECLINED : WH_DELIVERY_UNCONFIRMED;
    }
    // The person may have taken minutes: what is sent is the hook as the
    // owner keeps it now, and a hook deleted meanwhile is not sent at all.
    int found = wh_store_load_hook(name, &out->hook, out->error, sizeof out->error);
    if (found < 0) return WH_DELIVERY_STORE_ERROR;
    if (!found) return WH_DELIVERY_NO_HOOK;
  }
  if (wh_limit_of(&out->hook).count <= 0) return WH_DELIVERY_SENT;
  return count_trigger(name, out);
}

}  // namespace

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
  if (rq.bounded) {
    wh_delivery_status bound = bound_trigger(rq, name, payload, payload_len, out);
    if (bound != WH_DELIVERY_SENT) return stop(bound);
  }
  if (fire_hook(&out->hook, payload, payload_len, rq.query ? rq.query : "", &out->result) != 0) {
    if (rq.log_failures) fire_log(name, &out->result);
    return stop(WH_DELIVERY_FAILED);
  }
  stop(WH_DELIVERY_SENT);
  fire_log(name, &out->result);
  return WH_DELIVERY_SENT;
}
