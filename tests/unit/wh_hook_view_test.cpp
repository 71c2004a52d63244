#include "wh_hook_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "wh_guard.h"

namespace {

// A signed hook with two headers, the second without a value.
std::unique_ptr<wh_hook> stored_hook() {
  auto h = std::make_unique<wh_hook>();
  wh_field_copy(h->name, "deploy");
  wh_field_copy(h->url, "https://relay.example:8443/in?token=abc");
  wh_field_copy(h->method, "PUT");
  wh_field_copy(h->sig, "v2");
  wh_field_copy(h->secret, "s3");
  h->header_count = 2;
  wh_field_copy(h->headers[0].name, "X-Key");
  wh_field_copy(h->headers[0].value, "k1");
  wh_field_copy(h->headers[1].name, "X-Empty");
  return h;
}

std::string headers_text(const wh_hook &h) {
  std::string s;
  for (int i = 0; i < h.header_count; ++i)
    s += std::string(h.headers[i].name) + "=" + h.headers[i].value + ";";
  return s;
}

TEST(WhHookApply, Edits) {
  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "{\"name\":\"H" + std::to_string(i) + "\"},{},";
  struct row {
    bool edit;  // a copy of the stored hook, else a new record
    std::string body, err, method = {}, sig = {}, secret = {}, headers = {};
  } rows[] = {
      {true, "{}", "", "PUT", "v2", "s3", "X-Key=k1;X-Empty=;"},
      {true, R"({"secret":""})", "", "PUT", "v2", "s3", "X-Key=k1;X-Empty=;"},
      {true, R"({"sig":""})", "", "PUT", "", "", "X-Key=k1;X-Empty=;"},
      {true, R"({"sig":"","secret":"n"})", "", "PUT", "", "n", "X-Key=k1;X-Empty=;"},
      {true, R"({"sig":"github","secret":7})", "", "PUT", "github", "s3", "X-Key=k1;X-Empty=;"},
      {true, R"({"headers":[{"name":"X-Key"},{"name":"x-key"},{"name":"X-Empty","value":"v"}]})",
       "", "PUT", "v2", "s3", "X-Key=k1;x-key=;X-Empty=v;"},
      {true, R"({"headers":[{"name":"X-Key","value":""},1,{"value":"z"}]})", "", "PUT", "v2", "s3",
       "X-Key=;"},
      {true, R"({"headers":{}})", "", "PUT", "v2", "s3", "X-Key=k1;X-Empty=;"},
      {true, R"({"method":"post"})", "", "POST", "v2", "s3", "X-Key=k1;X-Empty=;"},
      {true, R"({"method":""})", "", "POST", "v2", "s3", "X-Key=k1;X-Empty=;"},
      {true, R"({"method":"deletexx"})",
       "method must be one of GET, POST, PUT, PATCH, DELETE, HEAD"},
      {true, R"({"name":""})", "a hook needs a name"},
      {true, R"({"sig":"GitHub"})", "unknown signature scheme"},
      {true, "[]", "request body must be a JSON object"},
      {true, "{", "request body is not valid JSON"},
      {true, "", "empty request body"},
      {false, "{}", "a hook needs a name"},
      {false, R"({"name":"n","url":"https://relay.example/","secret":"s"})", "", "POST", "", "s",
       ""},
      {false, R"({"name":"n","url":"https://r.example/","headers":[)" + twenty + "1]}", "", "POST",
       "", "", ""},
  };
  auto stored = stored_hook();
  for (auto &r : rows) {
    auto h = std::make_unique<wh_hook>();
    if (r.edit)
      *h = *stored;
    else
      wh_field_copy(h->method, "POST");
    char err[320];
    int rc =
        wh_hook_apply(h.get(), r.body.c_str(), r.edit ? stored.get() : nullptr, err, sizeof err);
    EXPECT_EQ(rc, r.err.empty() ? 0 : -1) << r.body;
    EXPECT_EQ(err, r.err) << r.body;
    if (rc != 0) continue;
    EXPECT_EQ(h->method, r.method) << r.body;
    EXPECT_EQ(h->sig, r.sig) << r.body;
    EXPECT_EQ(h->secret, r.secret) << r.body;
    if (r.body.find("H19") != std::string::npos) {
      EXPECT_EQ(h->header_count, WH_MAX_HEADERS);
      EXPECT_STREQ(h->headers[15].name, "H15");
    } else {
      EXPECT_EQ(headers_text(*h), r.headers) << r.body;
    }
  }
}

TEST(WhHookView, ShowsNoCredential) {
  auto h = stored_hook();
  char out[8192];
  wh_hook_json(h.get(), out, sizeof out);
  EXPECT_STREQ(out,
               "{\"name\":\"deploy\",\"method\":\"PUT\",\"desc\":\"\",\"sig\":\"v2\","
               "\"has_secret\":true,\"url\":\"https://relay.example:8443/in?<redacted>\","
               "\"headers\":[{\"name\":\"X-Key\",\"has_secret\":true},"
               "{\"name\":\"X-Empty\",\"has_secret\":false}]}");
  wh_field_copy(h->url, "ftp://relay.example/");
  wh_hook_json(h.get(), out, 20);
  EXPECT_STREQ(out, "{\"name\":\"deploy\",\"m");
  wh_hook_json(h.get(), out, sizeof out);
  EXPECT_NE(strstr(out, "\"url\":\"\","), nullptr) << out;

  auto s = std::make_unique<wh_store>();
  auto list = std::make_unique<char[]>(262144);
  unsetenv("WEBHOOK_ALLOW_PRIVATE");
  wh_store_list_json(s.get(), list.get(), 262144);
  EXPECT_STREQ(list.get(),
               "{\"ok\":true,\"count\":0,\"hooks\":[],\"log\":[],\"allow_private\":false}");
  s->hooks[0] = *stored_hook();
  s->hook_count = 1;
  s->log_count = 1;
  s->log[0] = {"2024-01-02T03:04:05Z", "deploy", -1, 1, 4096, 12, "e\"r"};
  setenv("WEBHOOK_ALLOW_PRIVATE", "1", 1);
  wh_store_list_json(s.get(), list.get(), 262144);
  unsetenv("WEBHOOK_ALLOW_PRIVATE");
  std::string text = list.get();
  EXPECT_EQ(text.find("s3"), std::string::npos);
  EXPECT_EQ(text.find("k1"), std::string::npos);
  EXPECT_NE(text.find("\"log\":[{\"at\":\"2024-01-02T03:04:05Z\",\"name\":\"deploy\",\"status\":-1,"
                      "\"ok\":true,\"bytes\":4096,\"ms\":12,\"error\":\"e\\\"r\"}],"
                      "\"allow_private\":true}"),
            std::string::npos)
      << text;
}

}  // namespace
