// The model's limit counts in fixed UTC windows: a trigger at a time the test
// chooses passes or not, and leaves the window and count it leaves.
#include "wh_limit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "hook_builder.h"

namespace {

constexpr int64_t T = 1772323200;  // 2026-03-01T00:00:00Z: a minute, hour and day begin

TEST(WhLimit, FixedUtcWindowsRollOver) {
  struct {
    wh_limit limit;
    int64_t start;
    int counted, now;  // now: seconds after T
    int64_t next_at;   // 0: allowed
    int64_t start_after;
    int counted_after;
  } rows[] = {
      {{30, 3600}, 0, 0, 10, 0, T, 1},                // the default, first trigger
      {{30, 3600}, T, 29, 3599, 0, T, 30},            // the last one this hour
      {{30, 3600}, T, 30, 3599, T + 3600, T, 30},     // one too many
      {{30, 3600}, T, 30, 3600, 0, T + 3600, 1},      // the next hour starts over
      {{1, 60}, T + 60, 1, 119, T + 120, T + 60, 1},  // a minute, from its second 0
      {{2, 86400}, T, 2, 86399, T + 86400, T, 2},     // a day, from midnight UTC
      {{5, 3600}, T + 60, 9, 90, 0, T, 1},            // a count of another window length
      {{0, 0}, T, 500, 30, 0, T, 500},                // no limit counts nothing
  };
  for (const auto &r : rows) {
    auto h = vdtest::make_hook("https://relay.example/");
    wh_limit_set(h.get(), r.limit);
    h->window_start = r.start;
    h->window_count = r.counted;
    int64_t next_at = 0;
    bool allowed = wh_limit_allows(h.get(), T + r.now, &next_at);
    std::string row = std::to_string(r.limit.count) + "/" + std::to_string(r.limit.per) + " at +" +
                      std::to_string(r.now);
    EXPECT_EQ(allowed, r.next_at == 0) << row;
    EXPECT_EQ(next_at, r.next_at) << row;
    if (allowed) wh_limit_count(h.get(), T + r.now);
    EXPECT_EQ(h->window_start, r.start_after) << row;
    EXPECT_EQ(h->window_count, r.counted_after) << row;
  }
}

}  // namespace
