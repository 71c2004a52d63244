// The header text of a request, built and counted without any network.
#include "wh_http.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

wh_url make_url(const char *host, int port, bool https, const char *path = "/") {
  wh_url u{};
  snprintf(u.scheme, sizeof u.scheme, "%s", https ? "https" : "http");
  snprintf(u.host, sizeof u.host, "%s", host);
  snprintf(u.path, sizeof u.path, "%s", path);
  u.port = port;
  u.https = https;
  return u;
}

struct built {
  std::string text;
  size_t counted;
};

built header_text(const wh_url &u, const char *method, const std::vector<wh_header> &hs,
                  uint64_t body_len) {
  char out[WH_HTTP_HEADER_TEXT];
  memset(out, 'Z', sizeof out);
  size_t n = wh_http_header_text(&u, method, hs.data(), static_cast<int>(hs.size()), body_len, out);
  return {out, n};
}

wh_header hdr(const std::string &name, const std::string &value) {
  wh_header h{};
  snprintf(h.name, sizeof h.name, "%s", name.c_str());
  snprintf(h.value, sizeof h.value, "%s", value.c_str());
  return h;
}

TEST(HeaderText, HostLineNamesThePortOnlyWhenNotTheDefault) {
  EXPECT_EQ(header_text(make_url("relay", 80, false), "GET", {}, 0).text, "Host: relay\r\n");
  EXPECT_EQ(header_text(make_url("relay", 443, true), "GET", {}, 0).text, "Host: relay\r\n");
  EXPECT_EQ(header_text(make_url("relay", 443, false), "GET", {}, 0).text, "Host: relay:443\r\n");
  EXPECT_EQ(header_text(make_url("relay", 80, true), "GET", {}, 0).text, "Host: relay:80\r\n");
  EXPECT_EQ(header_text(make_url("Relay.Example", 8443, true), "GET", {}, 0).text,
            "Host: Relay.Example:8443\r\n");
}

TEST(HeaderText, LengthLine) {
  auto u = make_url("h", 80, false);
  EXPECT_EQ(header_text(u, "POST", {}, 0).text, "Host: h\r\nContent-Length: 0\r\n");
  EXPECT_EQ(header_text(u, "DELETE", {}, 0).text, "Host: h\r\nContent-Length: 0\r\n");
  EXPECT_EQ(header_text(u, "GET", {}, 0).text, "Host: h\r\n");
  EXPECT_EQ(header_text(u, "HEAD", {}, 0).text, "Host: h\r\n");
  EXPECT_EQ(header_text(u, "GET", {}, 5).text, "Host: h\r\nContent-Length: 5\r\n");
  EXPECT_EQ(header_text(u, "PUT", {}, 1048576).text, "Host: h\r\nContent-Length: 1048576\r\n");
}

TEST(HeaderText, StoredHeadersSkippedByNamePrefix) {
  auto u = make_url("h", 80, false);
  auto b = header_text(u, "GET",
                       {hdr("host", "x"), hdr("HOSTNAME", "x"), hdr("content-length", "1"),
                        hdr("Content-Lengthy", "1"), hdr("transfer-encoding", "x"),
                        hdr("Connection", "x"), hdr("connection-x", "x"), hdr("", "empty name"),
                        hdr("X-Host", "kept"), hdr("X-Empty", ""), hdr("Accept", "a/b")},
                       0);
  EXPECT_EQ(b.text, "Host: h\r\nX-Host: kept\r\nX-Empty: \r\nAccept: a/b\r\n");
  EXPECT_EQ(b.counted, b.text.size());
}

TEST(HeaderText, StoredHeadersStopOncePast499Bytes) {
  auto u = make_url("h", 80, false);
  const size_t base = strlen("Host: h\r\n");
  // The first header brings the text to exactly 499 bytes: one more is added.
  std::string fill(499 - base - strlen("A: \r\n"), 'a');
  auto at = header_text(u, "GET", {hdr("A", fill), hdr("B", "b"), hdr("C", "c")}, 0);
  EXPECT_EQ(at.text, "Host: h\r\nA: " + fill + "\r\nB: b\r\n");
  EXPECT_EQ(at.counted, 499u + 6u);
  // One byte more and nothing follows it.
  auto past = header_text(u, "GET", {hdr("A", fill + "a"), hdr("B", "b")}, 0);
  EXPECT_EQ(past.text, "Host: h\r\nA: " + fill + "a\r\n");
  // Skipped headers do not count.
  auto skipped = header_text(u, "GET", {hdr("A", fill), hdr("Host", "x"), hdr("B", "b")}, 0);
  EXPECT_EQ(skipped.text, "Host: h\r\nA: " + fill + "\r\nB: b\r\n");
}

TEST(HeaderText, LineCutAtTheEndOfTheBuffer) {
  auto u = make_url("h", 80, false);
  // 494 bytes, then a line of 1147 bytes that runs past 1599.
  std::string pad(480, 'p'), name(120, 'L'), value(1023, 'v');
  auto b = header_text(u, "GET", {hdr("P", pad), hdr(name, value), hdr("N", "n")}, 0);
  EXPECT_EQ(b.text.size(), WH_HTTP_HEADER_TEXT - 1);
  std::string full = "Host: h\r\nP: " + pad + "\r\n" + name + ": " + value + "\r\n";
  ASSERT_GT(full.size(), WH_HTTP_HEADER_TEXT);
  EXPECT_EQ(b.text, full.substr(0, WH_HTTP_HEADER_TEXT - 1));
  EXPECT_EQ(b.counted, full.size()) << "the cut line still counts in full";
}

}  // namespace
