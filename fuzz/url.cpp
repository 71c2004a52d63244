// wh_url_parse, wh_url_redact and wh_url_redact_path on arbitrary text. A URL
// that parses is exactly the one the narrow grammar describes, and its display
// form is built from scheme, host, port and the path up to "?" alone: nothing
// of the query ever shows, and the display form parses back to the same
// endpoint. The model's view shows neither path nor query.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "wh_url.h"

namespace {

constexpr const char *kMessages[] = {
    "empty url",
    "url must start with http:// or https://",
    "IPv6 literals are not supported",
    "url has no host",
    "host too long",
    "credentials in the url are refused; use a header instead",
    "bad port",
    "port out of range",
    "host contains forbidden characters",
};

bool known_message(const char *err) {
  for (const char *m : kMessages)
    if (strcmp(err, m) == 0) return true;
  return false;
}

bool host_byte(unsigned char c) {
  return isalnum(c) || c == '.' || c == '-';
}

void check_parsed(const std::string &text, const wh_url &u) {
  bool https = text.rfind("https://", 0) == 0;
  FUZZ_CHECK(https || text.rfind("http://", 0) == 0, "only http and https URLs parse");
  FUZZ_CHECK(u.https == (https ? 1 : 0), "https flag follows the scheme");
  FUZZ_CHECK(strcmp(u.scheme, https ? "https" : "http") == 0, "scheme follows the prefix");

  // The authority, found independently: up to NUL, '/', '?', '#' or a control byte.
  size_t start = https ? 8 : 7, end = start;
  while (end < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[end]);
    if (c == '\0' || c == '/' || c == '?' || c == '#' || c < 0x20) break;
    ++end;
  }
  std::string auth = text.substr(start, end - start);
  FUZZ_CHECK(!auth.empty() && auth.size() <= 255, "authority of 1..255 bytes");
  FUZZ_CHECK(auth.find('@') == std::string::npos, "no credentials in a parsed URL");
  size_t colon = auth.find(':');
  std::string host = auth.substr(0, colon);
  FUZZ_CHECK(strnlen(u.host, sizeof u.host) < sizeof u.host, "host terminated");
  FUZZ_CHECK(host == u.host, "host is the authority up to ':'");
  FUZZ_CHECK(!host.empty(), "host non-empty");
  for (char c : host)
    FUZZ_CHECK(host_byte(static_cast<unsigned char>(c)),
               "host bytes are letters, digits, '.', '-'");
  FUZZ_CHECK(u.port >= 1 && u.port <= 65535, "port in 1..65535");
  if (colon == std::string::npos)
    FUZZ_CHECK(u.port == (https ? 443 : 80), "default port without ':'");
  else
    FUZZ_CHECK(u.port == atoi(auth.c_str() + colon + 1), "port as written");

  size_t plen = strnlen(u.path, sizeof u.path);
  FUZZ_CHECK(plen >= 1 && plen < sizeof u.path, "path non-empty and terminated");
  FUZZ_CHECK(u.path[0] == '/' || u.path[0] == '?', "path starts with '/' or '?'");
  std::string want = "/";
  if (end < text.size() && (text[end] == '/' || text[end] == '?')) {
    size_t n = text.find_first_of(std::string(" #\0", 3), end);
    want = text.substr(end, (n == std::string::npos ? text.size() : n) - end);
    if (want.size() > sizeof u.path - 1) want.resize(sizeof u.path - 1);
  }
  FUZZ_CHECK(want == u.path, "path is the target as written, cut at 2047 bytes");
}

void check_redacted(const wh_url &u, size_t small) {
  std::string path = u.path;
  size_t q = path.find('?');
  bool has_query = q != std::string::npos;
  std::string hostport = u.host;
  if (u.port != (u.https ? 443 : 80)) hostport += ":" + std::to_string(u.port);
  std::string want = std::string(u.scheme) + "://" + hostport + path.substr(0, q) +
                     (has_query ? "?<redacted>" : "");

  char full[2080];
  memset(full, 'X', sizeof full);
  wh_url_redact(&u, full, sizeof full);
  FUZZ_CHECK(memchr(full, '\0', sizeof full), "display form terminated");
  std::string shown = full;
  FUZZ_CHECK(shown == want.substr(0, sizeof full - 1), "display form as built from the parts");
  // The query is never shown: whatever follows the first '?' is the marker.
  size_t sq = shown.find('?');
  if (sq != std::string::npos)
    FUZZ_CHECK(std::string("?<redacted>").compare(0, shown.size() - sq, shown, sq) == 0,
               "only ?<redacted> after the '?'");
  FUZZ_CHECK(has_query || sq == std::string::npos, "no '?' without a query");

  // A short buffer gets the same text, cut.
  char cut[256];
  memset(cut, 'X', sizeof cut);
  wh_url_redact(&u, cut, small);
  FUZZ_CHECK(memchr(cut, '\0', small), "short display form terminated within its size");
  FUZZ_CHECK(
      shown.compare(0, strlen(cut), cut) == 0 && strlen(cut) == std::min(shown.size(), small - 1),
      "a short buffer holds the display form cut");
  cut[0] = 'Y';
  wh_url_redact(&u, cut, 0);
  FUZZ_CHECK(cut[0] == 'Y', "size 0 writes nothing");

  // The display form names the same endpoint.
  if (want.size() < sizeof full && path.substr(0, q).size() + 11 < sizeof u.path) {
    wh_url back;
    char err[160];
    FUZZ_CHECK(wh_url_parse(full, &back, err, sizeof err) == 0, "display form parses");
    FUZZ_CHECK(back.https == u.https && back.port == u.port && strcmp(back.host, u.host) == 0,
               "display form keeps scheme, host and port");
    FUZZ_CHECK(path.substr(0, q) + (has_query ? "?<redacted>" : "") == back.path,
               "display form keeps the path up to the query");
  }
}

// The model's view: scheme, host and port, then markers in place of any path
// beyond "/" and any query; nothing of either shows.
void check_path_redacted(const wh_url &u) {
  std::string path = u.path;
  size_t q = path.find('?');
  std::string hostport = u.host;
  if (u.port != (u.https ? 443 : 80)) hostport += ":" + std::to_string(u.port);
  std::string shown_path = path.substr(0, q).size() > 1 ? "/<redacted>" : path.substr(0, q);
  std::string want = std::string(u.scheme) + "://" + hostport + shown_path +
                     (q != std::string::npos ? "?<redacted>" : "");
  char out[2080];
  wh_url_redact_path(&u, out, sizeof out);
  FUZZ_CHECK(want == out, "the model's view is scheme, host, port and markers");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text = fuzz_text(data, size);
  wh_url u;
  char err[160];
  memset(err, 'X', sizeof err);
  int rc = wh_url_parse(text.c_str(), &u, err, sizeof err);
  FUZZ_CHECK(rc == 0 || rc == -1, "parse returns 0 or -1");
  FUZZ_CHECK(memchr(err, '\0', sizeof err), "message terminated");
  std::string seen = text.substr(0, strlen(text.c_str()));
  if (rc != 0) {
    FUZZ_CHECK(known_message(err), "a failure names one of the parser's reasons");
    return 0;
  }
  FUZZ_CHECK(err[0] == '\0', "no message on success");
  check_parsed(seen, u);
  check_redacted(u, 1 + (size ? data[size - 1] : 0) % 255);
  check_path_redacted(u);

  // Parsing without a record gives the same verdict.
  FUZZ_CHECK(wh_url_parse(text.c_str(), nullptr, err, sizeof err) == 0,
             "same verdict without a record");
  return 0;
}
