// The CGI front seen from outside: the node password, the API-or-page choice
// and the exact answer bytes.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "receiver.h"

namespace {

using cgitest::Cgi;
using cgitest::err;
using cgitest::head;
using cgitest::kEmptyList;
using cgitest::ok;

const std::string kRefused = head(401) + "{\"ok\":false,\"error\":\"invalid node password\"}\n";

TEST_F(Cgi, NodePassword) {
  const std::string long_pw(300, 'k');
  struct row {
    const char *why;
    std::string password;  // BOT_PASSWORD; empty: unset
    std::string query;     // appended to "action=list"
    std::vector<std::string> headers;
    bool served;
  } rows[] = {
      {"no password set", "", "", {}, true},
      {"empty password", "", "", {"BOT_PASSWORD="}, true},
      {"no credentials", "p w", "", {}, false},
      {"header", "p w", "", {"HTTP_X_BOT_PASSWORD=p w"}, true},
      {"header in other case", "p w", "", {"HTTP_X_BOT_PASSWORD=P W"}, false},
      {"bearer with spaces", "p w", "", {"HTTP_AUTHORIZATION=  Bearer   p w"}, true},
      {"bare password", "p w", "", {"HTTP_AUTHORIZATION=  p w"}, true},
      {"lower-case scheme", "p w", "", {"HTTP_AUTHORIZATION=bearer p w"}, false},
      {"trailing space", "p w", "", {"HTTP_AUTHORIZATION=Bearer p w "}, false},
      {"other scheme", "p w", "", {"HTTP_AUTHORIZATION=Basic p w"}, false},
      {"pwd with +", "p w", "&pwd=p+w", {}, true},
      {"pwd escapes", "Ab%zz%4", "&pwd=%41%62%zz%4", {}, true},
      {"lower-case escapes", "lJ", "&pwd=%6c%4a", {}, true},
      {"pwd prefix only", "p w", "&pwd=p", {}, false},
      {"wrong header, right pwd", "p w", "&pwd=p%20w", {"HTTP_X_BOT_PASSWORD=x"}, true},
      {"wrong header, right bearer",
       "p w",
       "",
       {"HTTP_X_BOT_PASSWORD=x", "HTTP_AUTHORIZATION=Bearer p w"},
       true},
      {"first pwd counts", "p w", "&pwd=x&pwd=p+w", {}, false},
      {"long password by header", long_pw, "", {"HTTP_X_BOT_PASSWORD=" + long_pw}, true},
      {"long password by bearer", long_pw, "", {"HTTP_AUTHORIZATION=Bearer " + long_pw}, true},
      {"long password by pwd", long_pw, "&pwd=" + long_pw, {}, false},
  };
  for (auto &r : rows) {
    auto extra = r.headers;
    if (!r.password.empty()) extra.push_back("BOT_PASSWORD=" + r.password);
    EXPECT_EQ(cgi("action=list" + r.query, {}, extra).out, r.served ? ok(kEmptyList) : kRefused)
        << r.why;
  }
  // "pwd" is read from the untrimmed QUERY_STRING: behind a path it is no parameter.
  EXPECT_EQ(cgi("/hub?pwd=pw&action=list", {}, {"BOT_PASSWORD=pw"}).out, kRefused);
  EXPECT_EQ(cgi("/hub?action=list&pwd=pw", {}, {"BOT_PASSWORD=pw"}).out, ok(kEmptyList));
  // The page is guarded as well.
  EXPECT_EQ(cgi("", {}, {"BOT_PASSWORD=pw", "REQUEST_METHOD=GET"}).out, kRefused);
  // The refusal comes before the body is read or the store is touched.
  EXPECT_EQ(cgi("action=delete", "{\"name\":\"x\"}", {"BOT_PASSWORD=pw"}).out, kRefused);
  EXPECT_FALSE(file_exists(path + ".lock"));
}

// What no page of this server could have sent is refused before anything is
// read or written: another site's request, and (without a password) a host
// name that may have been rebound to this machine.
TEST_F(Cgi, OtherSitesAndForeignNames) {
  const std::string by_site = "cross-site request refused (Sec-Fetch-Site)",
                    by_origin = "request from another origin refused (Origin)",
                    by_host =
                        "host name not served without a node password: use an IP address "
                        "or localhost, or list the name in WEBHOOK_ALLOWED_HOSTS";
  struct {
    const char *host;
    bool local;
  } hosts[] = {
      {"127.0.0.1:8080", true},
      {"[::1]:8080", true},
      {"LocalHost:8080", true},
      {"app.localhost", true},
      {"App.Localhost", true},
      // Listed in WEBHOOK_ALLOWED_HOSTS: trimmed, any case, an entry's port ignored.
      {"hub.lan:8080", true},
      {"other.lan", true},
      {"mybox.lan:9000", true},
      {"evilhub.lan", false},
      {"attacker.example:8080", false},
      {"localhost.attacker.example", false},
      {"attackerlocalhost", false},
      {"127.0.0.1.nip.example", false},
      {"[::1", false},
      {"[::1]junk", false},
      {"[evil.example]:8080", false},
      {"localhost:80x", false},
  };
  const char *sites[] = {nullptr, "same-origin", "none", "same-site", "cross-site"};
  const char *origins[] = {nullptr, "own", "own.attacker.example", "http://elsewhere.example"};
  for (const auto &h : hosts) {
    for (const char *site : sites) {
      for (const char *origin : origins) {
        for (bool password : {false, true}) {
          std::vector<std::string> extra = {
              "REQUEST_METHOD=POST", std::string("HTTP_HOST=") + h.host,
              "WEBHOOK_ALLOWED_HOSTS= other.lan , HUB.lan,mybox.lan:8080"};
          if (site) extra.push_back(std::string("HTTP_SEC_FETCH_SITE=") + site);
          bool own = origin && strncmp(origin, "own", 3) == 0;
          if (origin)
            extra.push_back("HTTP_ORIGIN=" + (own ? "http://" + std::string(h.host) + (origin + 3)
                                                  : std::string(origin)));
          if (password) extra.insert(extra.end(), {"BOT_PASSWORD=pw", "HTTP_X_BOT_PASSWORD=pw"});
          std::string why;
          if (!password && !h.local)
            why = by_host;
          else if (site && strcmp(site, "same-origin") && strcmp(site, "none"))
            why = by_site;
          else if (origin && strcmp(origin, "own"))
            why = by_origin;  // another origin, or the own one as a prefix

          unlink(path.c_str());
          unlink((path + ".lock").c_str());
          auto out = cgi("action=save", R"({"name":"h","url":"https://example.com/h"})", extra).out;
          std::string row = std::string(h.host) + " site=" + (site ? site : "-") +
                            " origin=" + (origin ? origin : "-") + " pw=" + (password ? "1" : "0");
          if (why.empty()) {
            EXPECT_EQ(out, ok(R"({"ok":true,"saved":"h"})")) << row;
          } else {
            EXPECT_EQ(out, err(403, why)) << row;
            EXPECT_FALSE(file_exists(path) || file_exists(path + ".lock")) << row;
          }
        }
      }
    }
  }
}

// Only GET, HEAD and POST reach an action or the page. Cross-site checks
// spare the page; the host check and the scheme of the own origin do not.
TEST_F(Cgi, MethodsPageAndScheme) {
  const std::string page = head(0, "text/html; charset=utf-8");
  const std::string not_allowed = "Status: 405\r\nAllow: GET, HEAD, POST\r\n" + head() +
                                  "{\"ok\":false,\"error\":\"method not allowed\"}\n";
  struct row {
    std::string query;
    std::vector<std::string> extra;
    std::string want;  // the whole answer, or the page's header block
  } rows[] = {
      {"action=save&name=x", {"REQUEST_METHOD=PUT"}, not_allowed},
      {"action=delete&name=x", {"REQUEST_METHOD=DELETE"}, not_allowed},
      {"action=fire&name=x", {"REQUEST_METHOD=OPTIONS"}, not_allowed},
      {"", {"REQUEST_METHOD=PATCH", "BOT_PASSWORD=pw"}, not_allowed},
      {"action=list", {"REQUEST_METHOD=head"}, ok(kEmptyList)},
      {"",
       {"REQUEST_METHOD=GET", "HTTP_SEC_FETCH_SITE=cross-site", "HTTP_ORIGIN=http://a.example",
        "HTTP_HOST=127.0.0.1"},
       page},
      {"",
       {"REQUEST_METHOD=GET", "HTTP_HOST=attacker.example"},
       err(403,
           "host name not served without a node password: use an IP address or localhost, "
           "or list the name in WEBHOOK_ALLOWED_HOSTS")},
      {"action=list",
       {"HTTP_HOST=hub.lan", "BOT_PASSWORD=pw", "HTTP_X_BOT_PASSWORD=pw"},
       ok(kEmptyList)},
      {"action=list",
       {"HTTP_HOST=h.localhost", "HTTPS=on", "HTTP_ORIGIN=https://h.localhost"},
       ok(kEmptyList)},
      {"action=list",
       {"HTTP_HOST=h.localhost", "REQUEST_SCHEME=https", "HTTP_ORIGIN=http://h.localhost"},
       err(403, "request from another origin refused (Origin)")},
      {"action=list",
       {"HTTP_ORIGIN=null"},
       err(403, "request from another origin refused (Origin)")},
      {"action=list",
       {"HTTP_ORIGIN=null", "HTTP_SEC_FETCH_SITE=none"},
       err(403, "request from another origin refused (Origin)")},
      // The own page's POST under "Referrer-Policy: no-referrer" may carry "null".
      {"action=list", {"HTTP_ORIGIN=null", "HTTP_SEC_FETCH_SITE=same-origin"}, ok(kEmptyList)},
  };
  for (auto &r : rows) {
    std::string out = cgi(r.query, {}, r.extra).out;
    EXPECT_EQ(r.want == page ? out.substr(0, page.size()) : out, r.want) << r.extra[0];
  }
  EXPECT_FALSE(file_exists(path + ".lock"));
}

// Without a node password nothing proves who sent a GET (an image or a link
// of any site), so only a POST changes or sends, and a refused request reads
// and writes nothing. With a password, GET works.
TEST_F(Cgi, WithoutPasswordOnlyPostChanges) {
  vdtest::receiver rx;
  const std::string seed =
      R"({"version":1,"hooks":[{"name":"h","url":")" + rx.url("/in") + R"("}],"log":[]})";
  const std::string not_post = "Status: 405\r\nAllow: POST\r\n" + head() +
                               "{\"ok\":false,\"error\":\"this action needs POST while no node "
                               "password is set\"}\n";
  size_t fired = 0;
  for (std::string action : {"save", "delete", "remove", "fire", "trigger", "test", "list", "x"}) {
    for (std::string method : {"GET", "HEAD", "POST"}) {
      for (bool password : {false, true}) {
        write_store(seed);
        std::vector<std::string> extra = {"REQUEST_METHOD=" + method, "WEBHOOK_ALLOW_PRIVATE=1"};
        if (password) extra.insert(extra.end(), {"BOT_PASSWORD=pw", "HTTP_X_BOT_PASSWORD=pw"});
        auto out = cgi("action=" + action + "&name=h", R"({"name":"h","desc":"d"})", extra).out;
        std::string row = action + " " + method + (password ? " pw" : "");
        if (!password && method != "POST" && action != "list") {
          EXPECT_EQ(out, not_post) << row;
          EXPECT_EQ(store_text(), seed) << row;
          continue;
        }
        bool fire = action == "fire" || action == "trigger" || action == "test";
        fired += fire;
        const char *want = action == "save"   ? R"({"ok":true,"saved":"h"})"
                           : action == "list" ? R"({"ok":true,"count":1,)"
                           : action == "x"    ? R"({"ok":false,"error":"unknown action"})"
                           : fire             ? R"({"ok":true,"delivered":true,"status":200,)"
                                              : R"({"ok":true,"deleted":true})";
        EXPECT_NE(out.find(want), std::string::npos) << row << ": " << out;
      }
    }
  }
  EXPECT_EQ(rx.wait_requests(fired), fired);
  EXPECT_EQ(fired, 12u);
  // Refused before the store is read: a broken one is not even reported.
  write_store("{");
  EXPECT_EQ(cgi("action=fire&name=h", {}, {"REQUEST_METHOD=GET"}).out, not_post);
}

TEST_F(Cgi, ApiOrPage) {
  const std::string page = head(0, "text/html; charset=utf-8");
  struct row {
    std::string query;
    std::vector<std::string> extra;
    std::string want;  // the whole answer, or the page's header block
  } rows[] = {
      {"action=list", {}, ok(kEmptyList)},
      {"/cgi-bin/webhook?action=list", {}, ok(kEmptyList)},
      {"/a?b?action=list", {}, page},  // only the first "?" ends the path
      {"action=status", {}, ok(kEmptyList)},
      {"action=LIST", {}, err(400, "unknown action")},
      {"x=1&format=json", {}, ok(kEmptyList)},
      {"xformat=jsonx", {}, ok(kEmptyList)},
      {"", {"REQUEST_METHOD=pOsT"}, ok(kEmptyList)},
      {"", {"REQUEST_METHOD=GET"}, page},
      {"theme=light", {}, page},
      {"Action=list", {}, page},
  };
  for (auto &r : rows) {
    std::string out = cgi(r.query, {}, r.extra).out;
    EXPECT_EQ(r.want == page ? out.substr(0, page.size()) : out, r.want) << r.query;
  }
}

TEST_F(Cgi, BrokenStoreAnswersForEveryAction) {
  write_store("{");
  for (const char *action : {"list", "save", "delete", "fire", "nonsense"}) {
    auto out = cgi(std::string("action=") + action + "&name=x").out;
    EXPECT_EQ(out.substr(0, head(500).size()), head(500)) << action;
    EXPECT_NE(out.find("not valid JSON"), std::string::npos) << out;
  }
}

}  // namespace
