// Edits and views of hooks; what the black-box API tests already show
// (secrets kept, header values kept by name, nothing leaked) is not repeated.
#include "wh_hook_view.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "store_env.h"
#include "wh_limit.h"

namespace {

std::unique_ptr<wh_hook> stored_hook() {
  auto h =
      vdtest::make_hook("https://relay.example:8443/in?token=abc", "PUT", "v2", "s3", "deploy");
  vdtest::add_header(h.get(), "X-Key", "k1");
  vdtest::add_header(h.get(), "X-Empty", "");
  return h;
}

// Applies `body` to a copy of `stored` (edit) or to a new record, and
// describes the hook with `line`; or gives the refusal's message.
template <class Line>
std::string applied(bool edit, const std::string &body, const wh_hook &stored, Line line) {
  auto h = std::make_unique<wh_hook>();
  if (edit)
    *h = stored;
  else
    wh_field_copy(h->method, "POST");
  char err[WH_ERR_CAP];
  if (wh_hook_apply(h.get(), body.c_str(), edit ? &stored : nullptr, err, sizeof err) != 0)
    return err;
  return line(*h);
}

TEST(WhHookApply, Edits) {
  std::string twenty, sixteen = "n POST  s |";  // 20 named headers among nameless ones: 16 taken
  for (int i = 0; i < 20; ++i) twenty += "{\"name\":\"H\"},{},";
  for (int i = 0; i < 16; ++i) sixteen += " H=";
  struct row {
    bool edit;  // a copy of the stored hook, else a new record
    std::string body, want;
  } rows[] = {
      {true, "{}", "deploy PUT v2 s3 | X-Key=k1 X-Empty="},
      {true, R"({"sig":"github","secret":7})", "deploy PUT github s3 | X-Key=k1 X-Empty="},
      {true, R"({"headers":[{"name":"x-key"},1,{"value":"z"},{"name":""}]})",
       "deploy PUT v2 s3 | x-key="},
      {true, R"({"headers":{"name":"X"},"headers":[]})", "deploy PUT v2 s3 | X-Key=k1 X-Empty="},
      {true, R"({"method":"post"})", "deploy POST v2 s3 | X-Key=k1 X-Empty="},
      {true, R"({"method":""})", "deploy POST v2 s3 | X-Key=k1 X-Empty="},
      {true, R"({"method":"deletexx"})",
       "method must be one of GET, POST, PUT, PATCH, DELETE, HEAD"},
      {true, R"({"name":""})", "a hook needs a name"},
      {true, R"({"sig":"GitHub"})", "unknown signature scheme"},
      {true, "[]", "request body must be a JSON object"},
      {true, "{", "request body is not valid JSON"},
      {true, "", "empty request body"},
      {false, "{}", "a hook needs a name"},
      {false, R"({"name":"n","url":"https://r.example/","secret":"s","headers":[)" + twenty + "1]}",
       sixteen},
  };
  auto stored = stored_hook();
  for (auto &r : rows) EXPECT_EQ(applied(r.edit, r.body, *stored, hook_line), r.want) << r.body;
}

// The owner's bounds on the model from a save: each member kept when left
// out, and refused with its own message when it cannot be stored.
TEST(WhHookApply, ModelBounds) {
  auto stored = stored_hook();
  wh_limit_set(stored.get(), {5, 60});
  stored->confirm = true;
  wh_field_copy(stored->example, R"({"a":1})");
  const std::string at_cap = "\"" + std::string(4094, 'x') + "\"";
  struct row {
    bool edit;
    std::string body, want;  // want: "<limit> <confirm> <example>", or the message
  } rows[] = {
      {true, "{}", R"(5/minute ask {"a":1})"},
      {false, R"({"name":"n","url":"https://r.example/"})", "30/hour - "},
      {true, R"({"limit":null,"confirm":false,"example":null})", "none - "},
      {true, R"({"limit":{"count":7,"per":"day"},"example":""})", "7/day ask "},
      {true, R"({"limit":{"count":0,"per":"day"}})",
       R"(limit must be null or {"count": 1 to 100000, "per": "minute", "hour" or "day"})"},
      {true, R"({"confirm":"yes"})", "confirm must be true or false"},
      {true, R"({"example":"{} x"})",
       "example is not valid JSON: unexpected content after document at byte 3"},
      {true, R"({"example":"{}\u0000"})", "example is not valid JSON: it holds a NUL byte"},
      {true, R"({"example":{"a":1}})", "example must be a string holding JSON text"},
      {true, R"({"example":"\")" + std::string(4095, 'x') + R"(\""})",
       "example is longer than 4096 bytes"},
      {true, R"({"example":"\")" + std::string(4094, 'x') + R"(\""})", "5/minute ask " + at_cap},
  };
  auto bounds_line = [](const wh_hook &h) {
    char limit[WH_LIMIT_TEXT_CAP];
    wh_limit_text(wh_limit_of(&h), limit);
    return std::string(limit) + (h.confirm ? " ask " : " - ") + h.example;
  };
  for (auto &r : rows)
    EXPECT_EQ(applied(r.edit, r.body, *stored, bounds_line), r.want) << r.body.substr(0, 80);
}

TEST(WhHookApply, Rotation) {
  const std::string a = "whsec_" + std::string(32, 'A'), b = "whsec_" + std::string(32, 'B'),
                    c = "whsec_" + std::string(32, 'C');
  // The stored hook: standard, secret a, rotating from b until far ahead.
  auto stored = vdtest::make_hook("https://relay.example/", "POST", "standard", a.c_str(), "r");
  wh_field_copy(stored->prev_secret, b.c_str());
  stored->prev_until = 4102444800;
  auto gh = vdtest::make_hook("https://relay.example/", "POST", "github", "gh-secret-1", "g");
  auto ended = std::make_unique<wh_hook>(*stored);
  ended->prev_until = 946684800;
  // A rotation begun by the save ends 24 h on ("+24h", a clock tick allowed).
  auto rotation = [](const wh_hook &h) {
    int64_t left = h.prev_until - time(nullptr);
    return std::string(h.secret) + " " + h.prev_secret + " " +
           (left > 86390 && left <= 86400 ? "+24h" : std::to_string(h.prev_until));
  };
  struct row {
    const wh_hook *from;
    std::string body, want;  // want: "<secret> <previous> <until>", or the error
  } rows[] = {
      {stored.get(), R"({"desc":"d","sig":"standard"})", a + " " + b + " 4102444800"},
      {stored.get(), R"({"secret":")" + a + R"("})", a + " " + b + " 4102444800"},
      {stored.get(), R"({"secret":")" + c + R"(","rotate":true})", c + " " + a + " +24h"},
      {stored.get(), R"({"secret":")" + c + R"("})", c + "  0"},
      {stored.get(), R"({"end_rotation":true})", a + "  0"},
      {stored.get(), R"({"sig":"v2"})", a + "  0"},
      {stored.get(), R"({"rotate":true})", "a rotation needs the new secret"},
      {ended.get(), R"({"desc":"d"})", a + "  0"},
      {gh.get(), R"({"secret":"gh-secret-2","rotate":true})", "gh-secret-2  0"},
  };
  for (const row &r : rows) EXPECT_EQ(applied(true, r.body, *r.from, rotation), r.want) << r.body;
}

TEST(WhHookView, Forms) {
  auto h = stored_hook();
  auto view = [&] {
    wh_text out;
    wh_hook_view_write(&out, h.get());
    return std::string(out.data, out.len);
  };
  EXPECT_EQ(view(),
            "{\"name\":\"deploy\",\"method\":\"PUT\",\"desc\":\"\",\"sig\":\"v2\","
            "\"has_secret\":true,\"url\":\"https://relay.example:8443/in?<redacted>\","
            "\"headers\":[{\"name\":\"X-Key\",\"has_secret\":true},"
            "{\"name\":\"X-Empty\",\"has_secret\":false}],"
            "\"limit\":{\"count\":30,\"per\":\"hour\"},\"confirm\":false,\"example\":\"\"}");
  wh_field_copy(h->url, "ftp://relay.example/");
  EXPECT_NE(view().find("\"url\":\"\","), std::string::npos) << view();
  // A running rotation shows its end, never the previous secret; an ended one
  // shows nothing.
  wh_field_copy(h->prev_secret, "old-secret-1f3a");
  h->prev_until = 4102444800;  // 2100-01-01
  EXPECT_NE(view().find("\"has_secret\":true,\"rotation_until\":4102444800,\"url\""),
            std::string::npos)
      << view();
  EXPECT_EQ(view().find("old-secret"), std::string::npos);
  h->prev_until = 946684800;  // 2000-01-01
  EXPECT_EQ(view().find("rotation"), std::string::npos);

  auto s = std::make_unique<wh_store>();
  s->log_count = 2;
  s->log[0] = {"2024-01-02T03:04:05Z", "deploy", -1, 1, 4096, 12, "e\"r", "msg_1"};
  s->log[1] = {"2024-01-02T03:04:04Z", "deploy", 200, 1, 0, 1, "", ""};
  wh_text hooks, log;
  wh_hook_view_list(&hooks, s.get());
  wh_hook_view_log(&log, s.get());
  EXPECT_STREQ(wh_buf_cstr(&hooks), "[]");
  EXPECT_STREQ(wh_buf_cstr(&log),
               "[{\"at\":\"2024-01-02T03:04:05Z\",\"name\":\"deploy\",\"status\":-1,"
               "\"ok\":true,\"bytes\":4096,\"ms\":12,\"error\":\"e\\\"r\","
               "\"message_id\":\"msg_1\"},"
               "{\"at\":\"2024-01-02T03:04:04Z\",\"name\":\"deploy\",\"status\":200,"
               "\"ok\":true,\"bytes\":0,\"ms\":1,\"error\":\"\"}]");
}

}  // namespace
