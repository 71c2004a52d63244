// What a delivery puts on the wire, seen by a local receiver byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "exchange_platform.h"
#include "fake_resolver.h"
#include "net_util.h"
#include "receiver.h"
#include "wh_http.h"

namespace {

using namespace nettest;
using vdtest::receiver;
using vdtest::receiver_options;

class Delivery : public ::testing::Test {
 protected:
  allow_private_env allow_{"1"};
};

// Fires and returns the one request the receiver got.
vdtest::http_request deliver(receiver &rx, const wh_hook &h, const std::string &payload,
                             const char *query = "") {
  auto f = fire(h, payload, query);
  EXPECT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(rx.wait_requests(1), 1u);
  auto reqs = rx.requests();
  return reqs.empty() ? vdtest::http_request{} : reqs.back();
}

TEST_F(Delivery, RequestLineAndTarget) {
  struct {
    const char *path, *query, *target;
  } cases[] = {
      {"/in?a=1", "b=2", "/in?a=1&b=2"},
      {"/in", "b=2", "/in?b=2"},
      {"/in?a=1", "", "/in?a=1"},
      {"/in", "b=2 c=3", "/in?b=2"},   // a space ends the target
      {"/in", "b=2#frag", "/in?b=2"},  // so does a fragment
      {"?x=1", "", "/?x=1"},           // a bare query gets its path
      {"", "", "/"},
      {"/a/../b/./c", "", "/a/../b/./c"},  // sent as stored, not normalised
      {"/%7e/caf%C3%A9", "q=%20", "/%7e/caf%C3%A9?q=%20"},
      {"/p/<>\"{}|\\^`/", "w=[]", "/p/<>\"{}|\\^`/?w=[]"},  // nothing escaped
      // A target is ASCII on the wire: bytes beyond it are escaped, path and
      // query alike, the same on every platform.
      {"/caf\xC3\xA9/\xE5\xB1\xB1", "q=\xC3\xA9", "/caf%C3%A9/%E5%B1%B1?q=%C3%A9"},
      {"?\xFF", "", "/?%FF"},
      {"/in", "q=\xC2\x80x", "/in?q=%C2%80x"},  // U+0080: the first byte escaped
  };
  for (const auto &c : cases) {
    receiver rx;
    ASSERT_TRUE(rx.listening()) << rx.error();
    auto h = make_hook(rx.url(c.path), "POST");
    auto req = deliver(rx, *h, "{}", c.query);
    EXPECT_EQ(req.head.substr(0, req.head.find("\r\n")),
              std::string("POST ") + c.target + " HTTP/1.1")
        << c.path << " + " << c.query;
  }
}

TEST_F(Delivery, ExactHeaderSetOfAPlainPost) {
  receiver rx;
  auto h = make_hook(rx.url("/hook"), "POST");
  std::string payload = "{\"event\":\"ping\"}";
  auto req = deliver(rx, *h, payload);
  std::vector<std::string> expected = {
      "Host: 127.0.0.1:" + std::to_string(rx.port()),
      "User-Agent: ZAZIVIZODIR-webhook/1.0",
      "Content-Length: " + std::to_string(payload.size()),
      "Content-Type: application/json; charset=utf-8",
  };
  // In this order on every platform; WinHTTP adds its Connection line.
  std::vector<std::string> lines = req.lines;
  if (vdtest::kExchangeConnection) {
    auto own = std::find(lines.begin(), lines.end(), "Connection: " + *vdtest::kExchangeConnection);
    ASSERT_NE(own, lines.end()) << req.head;
    lines.erase(own);
  }
  EXPECT_EQ(lines, expected) << req.head;
  EXPECT_EQ(req.body, payload);
  EXPECT_EQ(req.raw, req.head + payload) << "nothing after the body";
}

TEST_F(Delivery, LargeBodyAddsNoExpectAcceptOrChunking) {
  receiver rx;
  auto h = make_hook(rx.url("/big"), "PUT");
  std::string payload = receiver::pattern(1048576);
  auto req = deliver(rx, *h, payload);
  EXPECT_EQ(req.method, "PUT");
  EXPECT_EQ(req.count("Expect"), 0);
  EXPECT_EQ(req.count("Accept"), 0);
  EXPECT_EQ(req.count("Transfer-Encoding"), 0);
  EXPECT_EQ(req.count("Accept-Encoding"), 0);
  EXPECT_EQ(req.header("Content-Length"), "1048576");
  EXPECT_EQ(req.header("User-Agent"), "ZAZIVIZODIR-webhook/1.0");
  EXPECT_TRUE(req.body == payload) << "body differs, " << req.body.size() << " bytes";

  // libcurl asks for "100-continue" only for large bodies, which the request checks
  // refuse; the exchange itself must still leave the line out.
  wh_url url;
  char err[128];
  ASSERT_EQ(wh_url_parse(rx.url("/over").c_str(), &url, err, sizeof err), 0) << err;
  std::string over = receiver::pattern(2 * 1048576);
  auto r = std::make_unique<wh_response>();
  ASSERT_EQ(wh_http_exchange(&url, "POST", nullptr, 0, over.data(), over.size(), r.get()), 0)
      << r->error;
  ASSERT_EQ(rx.wait_requests(2), 2u);
  auto big = rx.requests().back();
  EXPECT_EQ(big.count("Expect"), 0) << big.head;
  EXPECT_TRUE(big.body == over) << "body differs, " << big.body.size() << " bytes";
}

TEST_F(Delivery, ContentLengthAndBodyByMethod) {
  struct {
    const char *method, *payload;
    const char *length;  // nullptr: no length line
    const char *body;
    bool content_type;
  } cases[] = {
      {"POST", "", "0", "", true},       {"PUT", "", "0", "", true},
      {"DELETE", "", "0", "", true},     {"PATCH", "{\"a\":1}", "7", "{\"a\":1}", true},
      {"DELETE", "{}", "2", "{}", true}, {"GET", "", nullptr, "", false},
      {"GET", "{}", nullptr, "", true},  // content type, still no body
      {"HEAD", "", nullptr, "", true},   {"HEAD", "{\"x\":2}", nullptr, "", true},
  };
  for (const auto &c : cases) {
    receiver rx;
    auto h = make_hook(rx.url("/m"), c.method);
    auto f = fire(*h, c.payload);
    ASSERT_EQ(f.rc, 0) << c.method << ": " << f.r->error;
    EXPECT_EQ(f.r->status, 200);
    ASSERT_EQ(rx.wait_requests(1), 1u);
    auto req = rx.requests()[0];
    SCOPED_TRACE(std::string(c.method) + " '" + c.payload + "'\n" + req.head);
    EXPECT_EQ(req.method, c.method);
    if (c.length) {
      EXPECT_EQ(req.count("Content-Length"), 1);
      EXPECT_EQ(req.header("Content-Length"), c.length);
    } else {
      EXPECT_EQ(req.count("Content-Length"), 0);
    }
    EXPECT_EQ(req.body, c.body);
    EXPECT_EQ(req.raw.size(), req.head.size() + strlen(c.body));
    EXPECT_EQ(req.count("Content-Type"), c.content_type ? 1 : 0);
  }
}

TEST_F(Delivery, HeadResponseEndsWithoutBody) {
  receiver_options o;
  o.body = "this body is announced but a HEAD answer never carries it";
  receiver rx(o);
  auto h = make_hook(rx.url("/"), "HEAD");
  auto f = fire(*h, "");
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(f.r->status, 200);
  EXPECT_EQ(f.r->body_len, 0u);
  EXPECT_LT(f.r->elapsed_ms, 5000) << "waited for a body that never comes";
}

TEST_F(Delivery, StoredHeadersSkippedAndSent) {
  receiver rx;
  auto h = make_hook(rx.url("/s"), "POST");
  add_header(h.get(), "host", "evil.example");
  add_header(h.get(), "content-length", "999");
  add_header(h.get(), "Transfer-Encoding", "chunked");
  add_header(h.get(), "connection-x", "1");
  add_header(h.get(), "Connection", "keep-alive");
  add_header(h.get(), "hostname", "x");
  add_header(h.get(), "X-Host", "kept");
  add_header(h.get(), "X-Token", "abc def");
  add_header(h.get(), "X-Empty", "");
  add_header(h.get(), "X-Blank", "  ");
  add_header(h.get(), "content-type", "text/plain");
  auto req = deliver(rx, *h, "hello");
  SCOPED_TRACE(req.head);
  EXPECT_EQ(req.count("Host"), 1);
  EXPECT_EQ(req.header("Host"), "127.0.0.1:" + std::to_string(rx.port()));
  EXPECT_EQ(req.count("Content-Length"), 1);
  EXPECT_EQ(req.header("Content-Length"), "5");
  EXPECT_EQ(req.count("Transfer-Encoding"), 0);
  EXPECT_EQ(req.count("connection-x"), 0);
  EXPECT_EQ(req.count("Connection"), vdtest::kExchangeConnection ? 1 : 0);
  EXPECT_EQ(req.header("Connection"), vdtest::kExchangeConnection) << "the stored one is skipped";
  EXPECT_EQ(req.count("hostname"), 0);
  EXPECT_EQ(req.header("X-Host"), "kept");
  EXPECT_EQ(req.header("X-Token"), "abc def");
  EXPECT_EQ(req.count("X-Empty"), 1) << "an empty value is still sent";
  EXPECT_EQ(req.header("X-Empty"), "");
  EXPECT_EQ(req.count("X-Blank"), 1);
  EXPECT_EQ(req.count("Content-Type"), 1);
  EXPECT_EQ(req.header("Content-Type"), "text/plain");
  EXPECT_EQ(req.body, "hello");
}

// Host line plus length line, then headers sized so that the running text is
// exactly `first_end` bytes after the first stored header.
std::unique_ptr<wh_hook> budget_hook(const receiver &rx, size_t first_end) {
  auto h = make_hook(rx.url("/b"), "POST");  // unsigned: a signed one would send nothing here
  std::string host_line = "Host: 127.0.0.1:" + std::to_string(rx.port()) + "\r\n";
  std::string len_line = "Content-Length: 2\r\n";
  size_t before = host_line.size() + len_line.size();
  // "X-A: " + value + CRLF
  add_header(h.get(), "X-A", std::string(first_end - before - 7, 'a'));
  add_header(h.get(), "X-B", "second");
  add_header(h.get(), "X-C", "third");
  return h;
}

TEST_F(Delivery, HeaderBudgetOf499Bytes) {
  {
    receiver rx;
    auto h = budget_hook(rx, 499);
    auto req = deliver(rx, *h, "{}");
    SCOPED_TRACE(req.head);
    EXPECT_EQ(req.count("X-A"), 1);
    EXPECT_EQ(req.header("X-B"), "second") << "499 bytes so far: one more header goes in";
    EXPECT_EQ(req.count("X-C"), 0) << "the text passed 499 bytes";
    EXPECT_EQ(req.count("Content-Type"), 0) << "pushed out";
    EXPECT_EQ(req.header("Content-Length"), "2");
    EXPECT_EQ(req.body, "{}");
  }
  {
    receiver rx;
    auto h = budget_hook(rx, 500);
    auto req = deliver(rx, *h, "{}");
    SCOPED_TRACE(req.head);
    EXPECT_EQ(req.count("X-A"), 1);
    EXPECT_EQ(req.count("X-B"), 0);
    EXPECT_EQ(req.count("Content-Type"), 0);
  }
  {
    // Under the budget everything goes, in list order.
    receiver rx;
    auto h = budget_hook(rx, 200);
    wh_field_copy(h->sig, "github");
    wh_field_copy(h->secret, "k");
    auto req = deliver(rx, *h, "{}");
    SCOPED_TRACE(req.head);
    EXPECT_EQ(req.count("X-C"), 1);
    EXPECT_EQ(req.count("Content-Type"), 1);
    EXPECT_EQ(req.count("X-Hub-Signature-256"), 1);
  }
}

TEST_F(Delivery, LastLineCutAt1600Bytes) {
  receiver rx;
  auto h = make_hook(rx.url("/cut"), "POST");
  std::string host_line = "Host: 127.0.0.1:" + std::to_string(rx.port()) + "\r\n";
  std::string len_line = "Content-Length: 2\r\n";
  // Text just under 499 bytes, then a line long enough to run past 1599.
  size_t pad_len = 499 - host_line.size() - len_line.size() - strlen("X-Pad: \r\n") - 3;
  add_header(h.get(), "X-Pad", std::string(pad_len, 'p'));
  std::string name = "X-Long-" + std::string(110, 'n');
  std::string value = receiver::pattern(1023);
  add_header(h.get(), name, value);
  size_t start = host_line.size() + len_line.size() + strlen("X-Pad: \r\n") + pad_len;
  size_t kept = 1599 - start - name.size() - 2;
  ASSERT_LT(kept, value.size());
  auto req = deliver(rx, *h, "{}");
  SCOPED_TRACE(req.head);
  EXPECT_EQ(req.header("X-Pad"), std::string(pad_len, 'p'));
  ASSERT_TRUE(req.header(name).has_value());
  EXPECT_EQ(*req.header(name), value.substr(0, kept));
  EXPECT_EQ(req.count("Content-Type"), 0);
  EXPECT_EQ(req.body, "{}");
}

TEST_F(Delivery, RedirectIsReportedNotFollowed) {
  receiver elsewhere;
  receiver_options o;
  o.status = 302;
  o.reason = "Found";
  o.extra_headers = {"Location: " + elsewhere.url("/moved")};
  o.body = "moved";
  receiver rx(o);
  auto h = make_hook(rx.url("/r"), "POST");
  auto f = fire(*h, "{}");
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(f.r->ok, 1);
  EXPECT_EQ(f.r->status, 302);
  EXPECT_STREQ(f.r->body, "moved");
  EXPECT_EQ(rx.connections(), 1);
  EXPECT_EQ(elsewhere.connections(), 0);
}

TEST_F(Delivery, ErrorStatusesAreDeliveries) {
  for (int status : {201, 204, 404, 500, 503}) {
    receiver_options o;
    o.status = status;
    o.reason = "Some Reason";
    receiver rx(o);
    auto h = make_hook(rx.url("/"), "POST");
    auto f = fire(*h, "{}");
    EXPECT_EQ(f.rc, 0) << status << ": " << f.r->error;
    EXPECT_EQ(f.r->ok, 1);
    EXPECT_EQ(f.r->status, status);
    EXPECT_STREQ(f.r->error, "");
  }
}

TEST_F(Delivery, BodyPreviewSizes) {
  struct {
    uint64_t size, kept;
    int truncated;
  } cases[] = {
      {0, 0, 0},       {10, 10, 0},      {4095, 4095, 0},
      {4096, 4096, 1}, {10000, 4096, 1}, {1000000, 4096, 1},
  };
  for (const auto &c : cases) {
    receiver_options o;
    if (c.size) o.body_size = c.size;
    receiver rx(o);
    auto h = make_hook(rx.url("/"), "POST");
    auto f = fire(*h, "{}");
    ASSERT_EQ(f.rc, 0) << c.size << ": " << f.r->error;
    EXPECT_EQ(f.r->body_len, c.kept) << c.size;
    EXPECT_EQ(f.r->truncated, c.truncated) << c.size;
    EXPECT_EQ(std::string(f.r->body, f.r->body_len), receiver::pattern(c.kept)) << c.size;
    EXPECT_EQ(f.r->body[f.r->body_len], '\0');
  }
}

TEST_F(Delivery, BodyBytesKeptRaw) {
  receiver_options o;
  o.body = std::string("a\0b\xff\xc3", 5);
  receiver rx(o);
  auto h = make_hook(rx.url("/"), "POST");
  auto f = fire(*h, "{}");
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(std::string(f.r->body, f.r->body_len), o.body);
}

TEST_F(Delivery, BodyBrokenOffKeepsWhatArrived) {
  for (uint64_t sent : {100u, 5000u}) {
    receiver_options o;
    o.body_size = sent;
    o.announce_length = 100000;
    receiver rx(o);
    auto f = fire(*make_hook(rx.url("/")), "{}");
    ASSERT_EQ(f.rc, 0) << f.r->error;
    EXPECT_EQ(f.r->status, 200);
    uint64_t kept = sent < 4096 ? sent : 4096;
    EXPECT_EQ(std::string(f.r->body, f.r->body_len), receiver::pattern(kept));
    EXPECT_EQ(f.r->truncated, sent >= 4096 ? 1 : 0);
  }
}

// An endpoint that echoes its request gives back no piece of a credential,
// also where the echo crosses the preview's end; the preview's length and
// flag still describe the endpoint's answer.
TEST_F(Delivery, ReflectedCredentialsAreHidden) {
  const std::string secret = "gl-secret-9d3e71", key = "key-value-52ab", token = "T0kEn7c41d9e2";
  for (size_t pad : {size_t{0}, size_t{4090}, size_t{4096 - 40}}) {
    receiver_options o;
    o.reflect = true;
    o.body = std::string(pad, '.');
    receiver rx(o);
    auto h =
        make_hook(rx.url("/hooks/" + token + "?sig=q-a1b2c3d4"), "POST", "gitlab", secret.c_str());
    add_header(h.get(), "X-Key", key);
    add_header(h.get(), "X-Short", "7-bytes");
    auto f = fire(*h, "{}", "env=prod");
    ASSERT_EQ(f.rc, 0) << f.r->error;
    std::string body(f.r->body);
    SCOPED_TRACE(body.substr(pad));
    for (const std::string &c : {secret, key, token, std::string("q-a1b2c3d4")})
      for (size_t i = 0; i + 5 <= c.size(); ++i)
        EXPECT_EQ(body.find(c.substr(i, 5), pad), std::string::npos) << c.substr(i, 5);
    EXPECT_EQ(body.substr(0, pad), o.body);
    if (pad == 0) {
      EXPECT_EQ(body.find("POST /<redacted>?<redacted>&env=prod HTTP/1.1\r\n"), 0u);
      EXPECT_NE(body.find("X-Short: 7-bytes"), std::string::npos) << "short values stay";
    } else {
      EXPECT_EQ(f.r->body_len, 4096u);
      EXPECT_EQ(f.r->truncated, 1);
    }
  }
}

// The exchange itself sends whatever body it is given, with any method but
// HEAD; the firing step withholds bodies from GET and HEAD.
TEST_F(Delivery, ExchangeSendsAGivenBodyWithAnyMethod) {
  for (const char *method : {"GET", "DELETE", "HEAD"}) {
    SCOPED_TRACE(method);
    receiver rx;
    wh_url url{};
    char err[160];
    ASSERT_EQ(wh_url_parse(rx.url("/raw").c_str(), &url, err, sizeof err), 0) << err;
    auto r = std::make_unique<wh_response>();
    const char body[] = "abc";
    ASSERT_EQ(wh_http_request(method, &url, nullptr, 0, body, 3, r.get()), 0) << r->error;
    EXPECT_EQ(r->status, 200);
    ASSERT_EQ(rx.wait_requests(1), 1u);
    auto req = rx.requests()[0];
    SCOPED_TRACE(req.head);
    EXPECT_EQ(req.method, method);
    if (strcmp(method, "HEAD") == 0) {
      EXPECT_EQ(req.count("Content-Length"), 0);
      EXPECT_EQ(req.body, "");
    } else {
      EXPECT_EQ(req.header("Content-Length"), "3");
      EXPECT_EQ(req.body, "abc");
    }
    EXPECT_EQ(req.count("Content-Type"), 0) << "no form type from the library";
  }
}

TEST_F(Delivery, EndlessBodyStopsAfter8MiB) {
  receiver_options o;
  o.mode = vdtest::answer_mode::endless_body;
  receiver rx(o);
  auto h = make_hook(rx.url("/"), "POST");
  auto f = fire(*h, "{}");
  ASSERT_EQ(f.rc, 0) << f.r->error;
  EXPECT_EQ(f.r->status, 200);
  EXPECT_EQ(f.r->body_len, 4096u);
  EXPECT_EQ(f.r->truncated, 1);
  EXPECT_EQ(std::string(f.r->body, 4096), receiver::pattern(4096));
  // The client hung up after 8 MiB; socket buffers hold a few MiB more at most.
  for (int i = 0; i < 100 && !rx.client_hung_up(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(rx.client_hung_up());
  EXPECT_GT(rx.body_bytes_sent(), 8388608u - 65546u);
  EXPECT_LT(rx.body_bytes_sent(), 48u * 1048576u);
}

TEST_F(Delivery, BodyLimitCheckedBeforeResolution) {
  vdtest::fake_resolver dns;
  receiver rx;
  dns.set("relay.test", {{"127.0.0.1"}});
  auto h = make_hook("http://relay.test:" + std::to_string(rx.port()) + "/in", "POST");

  auto over = fire(*h, std::string(1048577, 'x'));
  EXPECT_EQ(over.rc, -1);
  EXPECT_STREQ(over.r->error, "the body is larger than the 1048576 byte limit this plugin sends");
  EXPECT_EQ(over.r->ok, 0);
  EXPECT_EQ(dns.total_calls(), 0);
  EXPECT_EQ(rx.connections(), 0);

  auto at = fire(*h, std::string(1048576, 'x'));
  EXPECT_EQ(at.rc, 0) << at.r->error;
  EXPECT_EQ(dns.calls("relay.test"), 1);
  ASSERT_EQ(rx.wait_requests(1), 1u);
  EXPECT_EQ(rx.requests()[0].body.size(), 1048576u);
  EXPECT_EQ(rx.requests()[0].header("Host"), "relay.test:" + std::to_string(rx.port()));

  // The same limit holds for the exchange called directly, and the other
  // request checks come in their order.
  wh_response r;
  wh_url url{};
  std::string big(1048577, 'x');
  EXPECT_EQ(wh_http_request("POST", nullptr, nullptr, 0, nullptr, 0, &r), -1);
  EXPECT_STREQ(r.error, "no url");
  EXPECT_EQ(wh_http_request("post", &url, nullptr, 0, big.data(), big.size(), &r), -1);
  EXPECT_STREQ(r.error, "unsupported method");
  EXPECT_EQ(wh_http_request(nullptr, &url, nullptr, 0, nullptr, 0, &r), -1);
  EXPECT_STREQ(r.error, "unsupported method");
  EXPECT_EQ(wh_http_request("GET", &url, nullptr, 0, big.data(), big.size(), &r), -1);
  EXPECT_STREQ(r.error, "the body is larger than the 1048576 byte limit this plugin sends");
  EXPECT_EQ(dns.total_calls(), 1);
}

}  // namespace
