#include "wh_limit.h"

#include <climits>
#include <cstdio>
#include <string_view>

namespace {

struct window_name {
  const char *name;
  int seconds;
};

constexpr window_name kWindows[] = {{"minute", 60}, {"hour", 3600}, {"day", 86400}};

// The start of the window of `per` seconds that holds `now`: UTC-aligned, as
// every window length divides a day and the epoch began at midnight.
int64_t window_of(int64_t now, int per) {
  int64_t r = now % per;
  return now - (r < 0 ? r + per : r);
}

}  // namespace

wh_limit wh_limit_of(const wh_hook *hook) {
  if (hook->limit_count == 0) return WH_LIMIT_DEFAULT;
  if (hook->limit_count < 0) return {0, 0};
  return {hook->limit_count, hook->limit_per};
}

void wh_limit_set(wh_hook *hook, wh_limit limit) {
  bool is_default = limit.count == WH_LIMIT_DEFAULT.count && limit.per == WH_LIMIT_DEFAULT.per;
  hook->limit_count = is_default ? 0 : limit.count > 0 ? limit.count : -1;
  hook->limit_per = hook->limit_count > 0 ? limit.per : 0;
}

const char *wh_limit_per_name(int per) {
  for (const window_name &w : kWindows)
    if (w.seconds == per) return w.name;
  return nullptr;
}

bool wh_limit_from_json(yyjson_val *v, wh_limit *out) {
  if (!yyjson_is_obj(v)) return false;
  yyjson_val *count = yyjson_obj_get(v, "count");
  yyjson_val *per = yyjson_obj_get(v, "per");
  if (!yyjson_is_str(per)) return false;
  // A JSON integer is unsigned when it is not negative, and may exceed int64.
  uint64_t n = yyjson_is_uint(count) ? yyjson_get_uint(count) : 0;
  if (n < 1 || n > static_cast<uint64_t>(WH_LIMIT_COUNT_MAX)) return false;
  std::string_view name(yyjson_get_str(per), yyjson_get_len(per));
  for (const window_name &w : kWindows) {
    if (name != w.name) continue;
    *out = {static_cast<int>(n), w.seconds};
    return true;
  }
  return false;
}

void wh_limit_text(wh_limit limit, char (&out)[WH_LIMIT_TEXT_CAP]) {
  const char *per = wh_limit_per_name(limit.per);
  if (limit.count <= 0 || !per)
    snprintf(out, sizeof out, "none");
  else
    snprintf(out, sizeof out, "%d/%s", limit.count, per);
}

bool wh_limit_allows(const wh_hook *hook, int64_t now, int64_t *next_at) {
  wh_limit limit = wh_limit_of(hook);
  if (limit.count <= 0) return true;
  int64_t start = window_of(now, limit.per);
  int used = hook->window_start == start ? hook->window_count : 0;
  if (used < limit.count) return true;
  *next_at = start + limit.per;
  return false;
}

void wh_limit_count(wh_hook *hook, int64_t now) {
  wh_limit limit = wh_limit_of(hook);
  if (limit.count <= 0) return;
  int64_t start = window_of(now, limit.per);
  if (hook->window_start != start) {
    hook->window_start = start;
    hook->window_count = 0;
  }
  if (hook->window_count < INT_MAX) ++hook->window_count;
}
