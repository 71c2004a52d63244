// The model's limit: its JSON form and the fixed UTC windows it counts in,
// at times the test chooses.
#include "wh_limit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "hook_builder.h"
#include "wh_json.h"

namespace {

constexpr int64_t T = 1772323200;  // 2026-03-01T00:00:00Z: a minute, hour and day begin

TEST(WhLimit, JsonFormTextAndDefault) {
  struct {
    const char *json;
    wh_limit want;  // {0, 0}: refused
  } rows[] = {
      {R"({"count":30,"per":"hour"})", {30, 3600}},
      {R"({"per":"day","count":100000,"x":1})", {100000, 86400}},
      {R"({"count":1,"per":"minute"})", {1, 60}},
      {R"({"count":0,"per":"hour"})", {0, 0}},
      {R"({"count":100001,"per":"hour"})", {0, 0}},
      {R"({"count":-1,"per":"hour"})", {0, 0}},
      {R"({"count":4294967297,"per":"hour"})", {0, 0}},
      {R"({"count":99999999999999999999,"per":"hour"})", {0, 0}},
      {R"({"count":1.0,"per":"hour"})", {0, 0}},
      {R"({"count":"5","per":"hour"})", {0, 0}},
      {R"({"count":5,"per":"Hour"})", {0, 0}},
      {R"({"count":5,"per":"week"})", {0, 0}},
      {R"({"count":5})", {0, 0}},
      {"null", {0, 0}},
      {"[30,\"hour\"]", {0, 0}},
  };
  for (const auto &r : rows) {
    yy_doc doc(yyjson_read(r.json, strlen(r.json), 0));
    ASSERT_TRUE(doc) << r.json;
    wh_limit got{-7, -7};
    bool ok = wh_limit_from_json(yyjson_doc_get_root(doc.get()), &got);
    EXPECT_EQ(ok, r.want.count != 0) << r.json;
    if (ok) {
      EXPECT_EQ(got.count, r.want.count) << r.json;
      EXPECT_EQ(got.per, r.want.per) << r.json;
    } else {
      EXPECT_EQ(got.count, -7) << "left untouched: " << r.json;
    }
  }

  // Set and read back: the default's own values are the default, a count of
  // 0 is no limit.
  auto h = vdtest::make_hook("https://relay.example/");
  char text[WH_LIMIT_TEXT_CAP];
  struct {
    wh_limit set;
    int stored;
    const char *shown;
  } sets[] = {{{30, 3600}, 0, "30/hour"},
              {{100000, 60}, 100000, "100000/minute"},
              {{1, 86400}, 1, "1/day"},
              {{0, 0}, -1, "none"}};
  for (const auto &s : sets) {
    wh_limit_set(h.get(), s.set);
    EXPECT_EQ(h->limit_count, s.stored);
    wh_limit_text(wh_limit_of(h.get()), text);
    EXPECT_STREQ(text, s.shown);
  }
}

// Whether a trigger at `now` passes, and the window and count it leaves.
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
      {{1, 60}, T + 60, 1, 120, 0, T + 120, 1},
      {{2, 86400}, T, 2, 86399, T + 86400, T, 2},  // a day, from midnight UTC
      {{2, 86400}, T - 86400, 2, 0, 0, T, 1},      // yesterday's count is gone
      {{5, 3600}, T + 60, 9, 90, 0, T, 1},         // a count of another window length
      {{0, 0}, T, 500, 30, 0, T, 500},             // no limit counts nothing
      {{100000, 60}, T, 99999, 59, 0, T, 100000},
      {{100000, 60}, T, 100000, 59, T + 60, T, 100000},
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
