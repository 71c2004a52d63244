// How often the model may trigger a hook: the owner's limit, its default and
// the count of the current window, kept in the hook's record. Only the
// model's triggers count (delivery.h checks and counts them in one step under
// the store's lock, so every server process shares one count); the owner's
// page and API are never limited.
//
// The window is fixed and aligned to UTC: a minute from its second 0, an hour
// from its minute 0, a day from midnight UTC. A hook counts the model's
// triggers in the window it is in, and the count starts from 0 in the next
// one. So no window holds more than the limit's count, and a span of one
// window's length that crosses a boundary at most twice that. A sliding log
// of trigger times would be exact there but keep up to `count` times per
// hook; the fixed window keeps two numbers.
//
// Limits: a count of 1 to WH_LIMIT_COUNT_MAX triggers per minute, hour or
// day; a hook without a limit of its own has WH_LIMIT_DEFAULT, 30 per hour.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

#include "wh_hook.h"

inline constexpr int WH_LIMIT_COUNT_MAX = 100000;

// A limit as it holds: `count` triggers per window of `per` seconds; a count
// of 0 is no limit.
struct wh_limit {
  int count;
  int per;
};
inline constexpr wh_limit WH_LIMIT_DEFAULT = {30, 3600};

// The limit's text in the model's list ("30/hour", "100000/minute", "none"),
// terminator included.
inline constexpr size_t WH_LIMIT_TEXT_CAP = 16;

// The hook's limit: its own, the default, or none.
wh_limit wh_limit_of(const wh_hook *hook);

// Gives the hook `limit` (count 0: none). The default's own values are kept
// as "the default", so a store written without a limit stays so.
void wh_limit_set(wh_hook *hook, wh_limit limit);

// "minute", "hour" or "day" for a window of that many seconds; null for any
// other length.
const char *wh_limit_per_name(int per);

// The limit of the JSON object {"count": N, "per": "minute" | "hour" | "day"}
// (other members ignored); false, *out untouched, for any other value, null
// included, and for a count outside 1..WH_LIMIT_COUNT_MAX.
bool wh_limit_from_json(yyjson_val *v, wh_limit *out);

// The limit as the model's list shows it.
void wh_limit_text(wh_limit limit, char (&out)[WH_LIMIT_TEXT_CAP]);

// Whether the hook's limit lets the model trigger it at `now` (UTC seconds).
// When it does not, *next_at is the second the next window opens.
bool wh_limit_allows(const wh_hook *hook, int64_t now, int64_t *next_at);

// Counts one trigger at `now` into the hook's record: the window it falls in
// replaces a past one, whose count is dropped.
void wh_limit_count(wh_hook *hook, int64_t now);
