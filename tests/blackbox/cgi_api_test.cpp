// The JSON API actions, each checked on the answer and on the store file.
#include <yyjson.h>

#include <cstring>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "receiver.h"

namespace {

using cgitest::Cgi;
using cgitest::err;
using cgitest::head;
using cgitest::numbered;
using cgitest::ok;

const std::string kAllow = "WEBHOOK_ALLOW_PRIVATE=1";

class CgiApi : public Cgi {
 protected:
  static void sign(wh_hook &h, const char *sig, const std::string &secret,
                   const std::vector<std::pair<std::string, std::string>> &headers) {
    wh_field_copy(h.sig, sig);
    wh_field_copy(h.secret, secret.c_str());
    h.header_count = 0;
    for (const auto &[name, value] : headers) vdtest::add_header(&h, name, value);
  }

  // one (github-signed, two headers), two, three.
  void seed(const std::vector<std::string> &urls = {}) {
    auto s = new_store();
    for (const char *n : {"one", "two", "three"}) add_hook(s.get(), n);
    sign(s->hooks[0], "github", "S1", {{"X-A", "va"}, {"X-B", "vb"}});
    for (size_t i = 0; i < urls.size(); ++i) wh_field_copy(s->hooks[i].url, urls[i].c_str());
    save(*s);
  }

  std::string write_file(const std::string &name, const std::string &text) {
    std::string p = dir + "/" + name;
    write_text(p, text);
    return p;
  }
};

vdtest::receiver_options answering(int status, const std::string &body, uint64_t size = 0,
                                   int delay_ms = 0) {
  vdtest::receiver_options o;
  o.status = status;
  o.body = body;
  o.body_size = size;
  o.delay_ms = delay_ms;
  return o;
}

std::string log_line(const wh_log_entry &e) {
  return std::string(e.name) + " " + std::to_string(e.status) + " " + std::to_string(e.ok) + " " +
         std::to_string(e.bytes) + " " + e.error;
}

// The delivery object with its timing zeroed.
std::string untimed(const std::string &out) {
  size_t at = out.find("\"ms\":");
  if (at == std::string::npos) return out;
  at += 5;
  size_t end = out.find_first_not_of("0123456789", at);
  return out.substr(0, at) + "0" + (end == std::string::npos ? "" : out.substr(end));
}

std::string delivered(int status, size_t bytes, bool truncated, const std::string &preview) {
  return ok("{\"ok\":true,\"delivered\":true,\"status\":" + std::to_string(status) +
            ",\"ok_status\":" + (status / 100 == 2 ? "true" : "false") + ",\"ms\":0,\"bytes\":" +
            std::to_string(bytes) + ",\"truncated\":" + (truncated ? "true" : "false") +
            ",\"body_preview\":\"" + preview + "\"}");
}

TEST_F(CgiApi, Save) {
  const std::string exists_two = err(400, "a hook named 'two' already exists");
  struct row {
    std::string query, body, want, names, hook = {};  // the edited or the new hook
  } rows[] = {
      {"", R"({"name":"two","url":"https://relay.example/x"})", exists_two, "one,two,three"},
      {"&name=one", R"({"name":"two"})", exists_two, "one,two,three"},
      {"&name=one", R"({"name":"uno"})", ok(R"({"ok":true,"saved":"uno"})"), "uno,two,three",
       "uno POST github S1 | X-A=va X-B=vb"},
      {"&name=one",
       R"({"secret":"","headers":[{"name":"X-B"},{"name":"X-A","value":""},{"name":"X-N"}]})",
       ok(R"({"ok":true,"saved":"one"})"), "one,two,three",
       "one POST github S1 | X-B=vb X-A= X-N="},
      {"&name=one", R"({"sig":""})", ok(R"({"ok":true,"saved":"one"})"), "one,two,three",
       "one POST   | X-A=va X-B=vb"},
      {"", R"({"name":"new","url":"https://relay.example/n"})", ok(R"({"ok":true,"saved":"new"})"),
       "one,two,three,new", "new POST   |"},
      {"&name=ghost", R"({"name":"put","url":"https://relay.example/n","method":"put"})",
       ok(R"({"ok":true,"saved":"put"})"), "one,two,three,put", "put PUT   |"},
      {"", "", err(400, "save needs a JSON body"), "one,two,three"},
      {"", "{", err(400, "request body is not valid JSON"), "one,two,three"},
      {"", R"({"name":"a b"})",
       err(400, "hook names may contain letters, digits, dash, underscore and dot only"),
       "one,two,three"},
      {"&name=two", R"({"sig":"standard","secret":"S2-plain-secret"})",
       err(400, "a standard secret is whsec_ and a base64 key (Generate makes one)"),
       "one,two,three"},
  };
  for (auto &r : rows) {
    seed();
    EXPECT_EQ(cgi("action=save" + r.query, r.body).out, r.want) << r.body;
    auto s = stored();
    EXPECT_EQ(names(*s), r.names) << r.body;
    std::string saved = r.hook.substr(0, r.hook.find(' '));
    if (saved.empty()) continue;
    const wh_hook *h = wh_hook_find(s.get(), saved.c_str());
    ASSERT_NE(h, nullptr) << saved;
    EXPECT_EQ(hook_line(*h), r.hook);
  }
}

TEST_F(CgiApi, SixtyFourHooksStillEditable) {
  auto s = new_store();
  for (int i = 0; i < WH_MAX_HOOKS; ++i) add_hook(s.get(), numbered(i));
  save(*s);
  EXPECT_EQ(cgi("action=save", R"({"name":"h64","url":"https://relay.example/"})").out,
            err(400, "the store already holds 64 hooks (the maximum)"));
  EXPECT_EQ(cgi("action=save&name=h5", R"({"name":"five","desc":"d"})").out,
            ok(R"({"ok":true,"saved":"five"})"));
  s = stored();
  EXPECT_EQ(s->hook_count, WH_MAX_HOOKS);
  EXPECT_STREQ(s->hooks[5].name, "five");
}

// Every field at capacity and full of bytes that escape to six: the list is
// far larger than a fixed answer buffer, and still arrives whole as JSON.
TEST_F(CgiApi, FullStoreListsWhole) {
  auto s = new_store();
  for (int i = 0; i < WH_MAX_HOOKS; ++i) {
    add_hook(s.get(), numbered(i));
    wh_hook &h = s->hooks[i];
    memset(h.desc, 0x01, sizeof h.desc - 1);
    h.header_count = WH_MAX_HEADERS;
    for (wh_header &x : h.headers) memset(x.name, 0x02, sizeof x.name - 1);
  }
  save(*s);
  std::string out = cgi("action=list").out;
  std::string body = out.substr(head().size());
  EXPECT_GT(body.size(), 262144u * 3);
  yyjson_doc *doc = yyjson_read(body.data(), body.size() - 1, 0);
  ASSERT_NE(doc, nullptr) << "the list is not JSON";
  yyjson_val *hooks = yyjson_obj_get(yyjson_doc_get_root(doc), "hooks");
  EXPECT_EQ(yyjson_arr_size(hooks), size_t{WH_MAX_HOOKS});
  EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(yyjson_arr_get_last(hooks), "headers")),
            size_t{WH_MAX_HEADERS});
  yyjson_doc_free(doc);
}

TEST_F(CgiApi, Delete) {
  const std::string deleted = ok(R"({"ok":true,"deleted":true})");
  const std::string no_name = err(400, "delete needs a name");
  struct row {
    std::string query, body, want, names;
  } rows[] = {
      {"action=delete&name=two", "", deleted, "one,three"},
      {"action=remove&name=one", R"({"name":"two"})", deleted, "two,three"},
      {"action=delete", R"({"name":"two"})", deleted, "one,three"},
      {"action=delete", R"({"name":2,"name":"two"})", no_name, "one,two,three"},
      {"action=delete", "{}", no_name, "one,two,three"},
      {"action=delete", "", no_name, "one,two,three"},
      {"action=delete&name=Two", "", err(404, "no such hook"), "one,two,three"},
  };
  for (auto &r : rows) {
    seed();
    EXPECT_EQ(cgi(r.query, r.body).out, r.want) << r.query << r.body;
    EXPECT_EQ(names(*stored()), r.names) << r.query << r.body;
  }
}

TEST_F(CgiApi, BodyBounds) {
  const std::string body = R"({"name":"two"})";
  const size_t mib8 = 8388608;
  const std::string exact = body + std::string(mib8 - body.size(), ' ');
  const std::string file = write_file("body", body), big = write_file("big", exact + " "),
                    full = write_file("full", exact);
  struct row {
    std::vector<std::string> env;
    std::string input;
    bool deleted;
  } rows[] = {
      {{"CONTENT_LENGTH=0"}, body, false},
      {{"CONTENT_LENGTH=-5"}, body, false},
      {{"CONTENT_LENGTH=abc"}, body, false},
      {{"CONTENT_LENGTH=8388609"}, body, false},
      {{"CONTENT_LENGTH=100"}, body, true},  // short body: what arrived
      {{"CONTENT_LENGTH= 14junk"}, body, true},
      {{"CONTENT_LENGTH=14"}, body + "garbage", true},  // nothing past the length
      {{"POST_BODY_FILE=" + file}, "", true},
      {{"POST_BODY_FILE=" + file, "CONTENT_LENGTH=2"}, "{}", true},
      {{"POST_BODY_FILE=" + dir + "/missing", "CONTENT_LENGTH=14"}, body, false},
      {{"POST_BODY_FILE=" + full}, "", true},
      {{"POST_BODY_FILE=" + big}, "", false},
      {{"CONTENT_LENGTH=8388608"}, exact, true},
      // Only a regular file is read (a FIFO: blackbox/posix_only_test.cpp).
      {{"POST_BODY_FILE=" + dir}, "", false},
  };
  for (auto &r : rows) {
    seed();
    auto run =
        vdtest::run({vdtest::program_path()}, env("action=delete", {}, r.env), r.input, 5000);
    EXPECT_FALSE(run.timed_out) << r.env[0];
    EXPECT_EQ(run.out,
              r.deleted ? ok(R"({"ok":true,"deleted":true})") : err(400, "delete needs a name"))
        << r.env[0];
  }
}

TEST_F(CgiApi, Fire) {
  vdtest::receiver rx(answering(200, "pong"));
  seed({rx.url("/in")});
  struct row {
    std::string query, body, want, payload = {}, target = {};
  } rows[] = {
      {"&name=one", "", delivered(200, 4, false, "pong"), "{}", "/in"},
      {"", R"({"name":"one","payload":{"a": [1, true]}})", "", R"({"a":[1,true]})", "/in"},
      {"", R"({"name":"one","payload":"{ \"a\" : 1 }"})", "", R"({ "a" : 1 })", "/in"},
      {"&name=one&payload=%5B1%5D&query=x%3D1", "", "", "[1]", "/in?x=1"},
      {"", R"({"name":"one","query":"q=2","payload":7})", "", "7", "/in?q=2"},
      // A body's payload is sent from the parsed body: still cut at a NUL and
      // at 1048575 bytes, and an empty one is still {}.
      {"", R"({"name":"one","payload":"a\u0000b"})", "", "a", "/in"},
      {"", R"({"name":"one","payload":""})", "", "{}", "/in"},
      {"", R"({"name":"one","payload":")" + std::string(1048580, 'x') + "\"}", "",
       std::string(1048575, 'x'), "/in"},
      // Parsed in place where the body's buffer has room after it (200
      // bytes), copied where it has none (255 bytes in a 256-byte block).
      {"", R"({"name":"one","payload":"\"a\nb)" + std::string(162, 'y') + "\"}", "",
       "\"a\nb" + std::string(162, 'y'), "/in"},
      {"", R"({"name":"one","payload":"\"a\nb)" + std::string(222, 'y') + "\"}", "",
       "\"a\nb" + std::string(222, 'y'), "/in"},
      {"&payload=abc", R"({"name":"one"})", err(400, "fire needs a hook name")},
      {"&name=nope", "", err(404, "no such hook")},
  };
  size_t sent = 0;
  for (auto &r : rows) {
    auto out = untimed(cgi("action=fire" + r.query, r.body, {kAllow}).out);
    EXPECT_EQ(out, r.want.empty() ? delivered(200, 4, false, "pong") : r.want) << r.query << r.body;
    if (r.target.empty()) continue;
    ASSERT_EQ(rx.wait_requests(++sent), sent);
    auto req = rx.requests().back();
    EXPECT_EQ(req.body, r.payload);
    EXPECT_EQ(req.target, r.target);
  }
  auto s = stored();
  EXPECT_EQ(s->log_count, static_cast<int>(sent));
  EXPECT_EQ(log_line(s->log[0]), "one 200 1 4 ");
}

// A response body cut at its preview size inside a character, and a
// hand-edited store's description cut at its capacity: both answers stay
// well-formed UTF-8, with U+FFFD for each stray byte.
TEST_F(CgiApi, AnswersStayWellFormedUtf8) {
  const std::string e = "\xc3\xa9", fffd = "\xef\xbf\xbd";
  vdtest::receiver rx(answering(200, std::string(4095, 'b') + e));
  seed({rx.url("/in")});
  EXPECT_EQ(untimed(cgi("action=fire&name=one", {}, {kAllow}).out),
            delivered(200, 4096, true, std::string(4095, 'b') + fffd));

  write_store("{\"hooks\":[{\"name\":\"d\",\"desc\":\"" + std::string(198, 'd') + e + e + "\"}]}");
  std::string out = cgi("action=list").out;
  EXPECT_NE(out.find("\"desc\":\"" + std::string(198, 'd') + fffd + "\""), std::string::npos)
      << out;
}

TEST_F(CgiApi, FireOutcomesAreLogged) {
  vdtest::receiver rx(answering(404, "", 10000));
  seed({rx.url("/"), rx.url("/")});
  EXPECT_EQ(untimed(cgi("action=trigger&name=one", {}, {kAllow}).out),
            delivered(404, 4096, true, vdtest::receiver::pattern(4096)));
  auto out = cgi("action=test&name=two").out;  // a loopback address, not allowed
  auto s = stored();
  ASSERT_EQ(s->log_count, 2);
  const wh_log_entry &refused = s->log[0], &answered = s->log[1];
  EXPECT_EQ(out,
            head(502) + R"({"ok":false,"delivered":false,"error":")" + refused.error + "\"}\n");
  EXPECT_EQ(std::string(refused.error).rfind("refused: 127.0.0.1 resolves to a private", 0), 0u);
  EXPECT_EQ(log_line(refused), std::string("two 0 0 0 ") + refused.error);
  EXPECT_EQ(log_line(answered), "one 404 0 4096 ");
}

// The owner's bounds on the model: a save sets them and the list shows them,
// but the API's fire is the owner's own: two pass a limit of one, and
// neither is counted against the model's triggers.
TEST_F(CgiApi, ModelBoundsAreKeptAndNeverBoundTheOwner) {
  vdtest::receiver rx(answering(200, "pong"));
  const std::string bounds =
      R"("limit":{"count":1,"per":"day"},"confirm":false,"example":"{\"event\":\"ship\"}")";
  EXPECT_EQ(cgi("action=save", R"({"name":"m","url":")" + rx.url("/in") + "\"," + bounds + "}").out,
            ok(R"({"ok":true,"saved":"m"})"));
  EXPECT_NE(cgi("action=list").out.find(bounds), std::string::npos);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(untimed(cgi("action=fire&name=m", {}, {kAllow}).out),
              delivered(200, 4, false, "pong"));
  EXPECT_EQ(stored()->hooks[0].window_count, 0);
}

}  // namespace
