// The CGI front seen from outside: the node password, the API-or-page choice
// and the exact answer bytes.
#include <string>
#include <vector>

#include "cgi_test_util.h"

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
      {"lower-case scheme", "p w", "", {"HTTP_AUTHORIZATION=bearer p w"}, false},
      {"trailing space", "p w", "", {"HTTP_AUTHORIZATION=Bearer p w "}, false},
      {"other scheme", "p w", "", {"HTTP_AUTHORIZATION=Basic p w"}, false},
      {"pwd with +", "p w", "&pwd=p+w", {}, true},
      {"pwd escapes", "Ab%zz%4", "&pwd=%41%62%zz%4", {}, true},
      {"pwd prefix only", "p w", "&pwd=p", {}, false},
      {"wrong header, right pwd", "p w", "&pwd=p%20w", {"HTTP_X_BOT_PASSWORD=x"}, true},
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
  // The refusal comes before the body is read or the store is touched.
  EXPECT_EQ(cgi("action=delete", "{\"name\":\"x\"}", {"BOT_PASSWORD=pw"}).out, kRefused);
  EXPECT_FALSE(file_exists(path + ".lock"));
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
