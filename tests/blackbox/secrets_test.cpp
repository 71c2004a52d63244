// The scan for leaks: with distinctive secrets and header values stored, every
// mode and action runs, answered or refused, and no output (standard output
// or standard error) holds any of them, not even when the endpoint echoes
// the request back; nor does the delivery log.
#include <set>
#include <string>
#include <vector>

#include "bound_port.h"
#include "cgi_test_util.h"
#include "receiver.h"

namespace {

// Stored credentials: HMAC secrets, header values, and the keys of a
// standard hook's secret and of the previous one its rotation keeps.
const std::vector<std::string> kStored = {"SEC-gh-4e1a",
                                          "SEC-gl-77c2",
                                          "SEC-v2-0d95",
                                          "HV-key-3b8f",
                                          "HV-auth-a61c",
                                          "HV-nl-52e0",
                                          "STDnewKey0000000000000000000a1b2",
                                          "STDoldKey0000000000000000000c3d4"};
// Parts of stored URLs: shown only to a caller that asks for the exact URL.
const std::vector<std::string> kInUrls = {"URLTOK-19fd", "URLPASS-c3e8"};
// A token in a stored URL's path: shown also in the owner's list.
const std::string kInPath = "PathTok7c41d9e2";
// Given in requests, saved or refused; never echoed. The node password too.
const std::vector<std::string> kGiven = {"NEW-sec-6a2b", "NEW-hv-e47d", "NEW-pass-90b1",
                                         "PWD-node-2f6c"};
const std::string &kPassword = kGiven[3];

class Secrets : public cgitest::Cgi {
 protected:
  bool owner_list_ = false;  // the owner's list shows URL paths

  // Runs one process and checks its exit and both outputs.
  void scan(const std::string &label, const std::vector<std::string> &args,
            const std::vector<std::string> &env, const std::string &input = {},
            bool exact_urls = false) {
    auto r = vdtest::run(args, env, input, 30000);
    EXPECT_EQ(r.status, 0) << label << r.err;
    EXPECT_FALSE(r.out.empty()) << label;
    std::vector<std::string> all = kStored;
    all.insert(all.end(), kGiven.begin(), kGiven.end());
    if (!exact_urls) all.insert(all.end(), kInUrls.begin(), kInUrls.end());
    if (!exact_urls && !owner_list_) all.push_back(kInPath);
    for (const auto &s : all) {
      EXPECT_EQ(r.out.find(s), std::string::npos) << label << " shows " << s << ":\n" << r.out;
      EXPECT_EQ(r.err.find(s), std::string::npos) << label << " shows " << s << ":\n" << r.err;
    }
  }

  void cgi_scan(const std::string &query, const std::string &body = {},
                std::vector<std::string> extra = {"HTTP_X_BOT_PASSWORD=" + kPassword,
                                                  "WEBHOOK_ALLOW_PRIVATE=1"}) {
    extra.push_back("BOT_PASSWORD=" + kPassword);
    scan("CGI " + query + " " + body, {vdtest::program_path()}, env(query, body, extra), body);
  }

  void mcp_scan(const std::string &label, const std::string &input, bool allow = true,
                bool exact_urls = false) {
    std::vector<std::string> extra;
    if (allow) extra.push_back("WEBHOOK_ALLOW_PRIVATE=1");
    scan("MCP " + label, {vdtest::program_path(), "--mcp"}, env({}, {}, extra), input, exact_urls);
  }

  static std::string call(const std::string &tool, const std::string &args) {
    return R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":")" + tool +
           R"(","arguments":)" + args + "}}\n";
  }
};

std::string hook(const std::string &name, const std::string &url, const std::string &sig,
                 const std::string &secret, const std::string &headers) {
  return R"({"name":")" + name + R"(","url":")" + url + R"(","sig":")" + sig + R"(","secret":")" +
         secret + R"(","headers":[)" + headers + "]}";
}

std::string header(const std::string &name, const std::string &value) {
  return R"({"name":")" + name + R"(","value":")" + value + "\"}";
}

TEST_F(Secrets, NoOutputOfAnyModeHoldsOne) {
  vdtest::receiver_options o;
  o.body = "pong";
  o.reflect = true;
  vdtest::receiver rx(o);
  vdtest::bound_port closed;  // connections to it are refused
  ASSERT_TRUE(closed.ok());
  const std::string key = header("X-Key", kStored[3]);
  std::string rotating = hook("std", rx.url("/std"), "standard", "whsec_" + kStored[6], key);
  rotating.insert(rotating.find(",\"headers\""), R"(,"previous_secret":"whsec_)" + kStored[7] +
                                                     R"(","previous_until":4102444800)");
  // A hand-edited store may hold what a save refuses: a newline in a header
  // value, credentials in a URL.
  const std::string store =
      R"({"version":1,"hooks":[)" +
      hook("gh", rx.url("/gh?token=" + kInUrls[0]), "github", kStored[0],
           key + "," + header("Authorization", "Bearer " + kStored[4])) +
      "," + hook("gl", rx.url("/gl/" + kInPath), "gitlab", kStored[1], key) + "," +
      hook("v2", rx.url("/v2?token=" + kInUrls[0]), "v2", kStored[2], key) + "," +
      hook("dead", closed.url("/x?token=") + kInUrls[0], "github", kStored[0], key) + "," +
      hook("nl", rx.url("/nl"), "", "", header("X-Nl", kStored[5] + "\\nX-Evil: 1")) + "," +
      hook("creds", "https://u:" + kInUrls[1] + "@relay.example/c", "gitlab", kStored[1], key) +
      "," + rotating + R"(],"log":[]})";
  write_store(store);

  for (const char *arg : {"--version", "--meta", "--schema"})
    scan(arg, {vdtest::program_path(), arg}, env({}, {}, {}));
  scan("KR_PLUGIN_META", {vdtest::program_path()}, env({}, {}, {"KR_PLUGIN_META=1"}));

  // MCP: listing, deliveries of every scheme, and every kind of refusal; as
  // 2024-11-05 answers them, and with the structured content of 2025-11-25.
  std::string session = R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
                        "\n" +
                        call("webhook_list", "{}") + call("webhook_list", R"({"redact_url":true})");
  for (const char *name : {"gh", "gl", "v2", "std", "dead", "nl", "creds", "ghost"})
    session += call("webhook_trigger",
                    std::string(R"({"name":")") + name + R"(","payload":{"a":1},"query":"x=1"})");
  session += call("webhook_trigger", "{}") + call("webhook_trigger", R"("gh")") +
             call("nope", "{}") + "{\"id\":3,\n" + R"({"id":4,"method":"nope"})" + "\n";
  for (const char *version : {"", "2025-11-25"})
    mcp_scan(std::string("session ") + version,
             R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":")" +
                 std::string(version) + "\"}}\n" + session);
  mcp_scan("without the private switch", call("webhook_trigger", R"({"name":"gh"})"), false);
  mcp_scan("exact URLs", call("webhook_list", R"({"redact_url":false})"), true, true);

  // CGI: the page, the list, and every action with its refusals.
  owner_list_ = true;
  for (const char *q : {"", "theme=light", "action=list", "action=status", "format=json"})
    cgi_scan(q);
  owner_list_ = false;
  const std::string &sec = kGiven[0], &hv = kGiven[1];
  cgi_scan("action=save", R"({"name":"new","url":"https://relay.example/n","sig":"github",)"
                          R"("secret":")" +
                              sec + R"(","headers":[)" + header("X-New", hv) + "]}");
  cgi_scan("action=save&name=gh", R"({"desc":"edited"})");
  for (const std::string &refused : {
           R"({"name":"gl","secret":")" + sec + "\"}",
           R"({"name":"x","secret":")" + sec,
           R"({"name":"x","url":"https://r.example/","headers":[)" + header("bad name", hv) + "]}",
           R"({"name":"x","url":"https://r.example/","headers":[)" +
               header("X-A", hv + "\\nX-B: 1") + "]}",
           R"({"name":"x","url":"https://u:)" + kGiven[2] + R"(@r.example/"})",
           R"({"name":"x","url":"https://r.example/","sig":"md5","secret":")" + sec + "\"}",
       })
    cgi_scan("action=save", refused);
  for (const char *q : {"action=delete&name=new", "action=delete&name=ghost", "action=delete"})
    cgi_scan(q);
  for (const char *name : {"gh", "gl", "v2", "std", "dead", "nl", "creds", "ghost", ""})
    cgi_scan(std::string("action=fire&query=x%3D1&name=") + name, R"({"payload":{"a":1}})");
  cgi_scan("action=fire&name=gh", {}, {"HTTP_X_BOT_PASSWORD=" + kPassword});
  cgi_scan("action=nope");
  cgi_scan("action=list", {}, {"HTTP_X_BOT_PASSWORD=wrong"});
  owner_list_ = true;
  cgi_scan("action=list&pwd=" + kPassword, {}, {});
  owner_list_ = false;

  // The stored values were real: they went to the endpoint, and only there.
  EXPECT_EQ(rx.wait_requests(12), 12u);  // gh, gl, v2 and std in two MCP sessions and by CGI
  std::set<std::string> seen;
  for (const auto &req : rx.requests()) {
    for (const char *h : {"X-Key", "Authorization", "X-Gitlab-Token"})
      if (auto v = req.header(h)) seen.insert(*v);
  }
  EXPECT_EQ(seen, (std::set<std::string>{kStored[3], "Bearer " + kStored[4], kStored[1]}));
  std::string text = store_text();
  std::string log = text.substr(text.find("],\"log\":["));
  EXPECT_GT(log.size(), 100u) << "deliveries were logged";
  for (const auto &c : kStored) EXPECT_EQ(log.find(c), std::string::npos) << c << " in " << log;
  for (const auto &c : kInUrls) EXPECT_EQ(log.find(c), std::string::npos) << c << " in " << log;
  EXPECT_EQ(log.find(kInPath), std::string::npos) << log;

  // A store cut short after the secrets: its error names the file only.
  write_store(store.substr(0, store.find(kStored[4]) + 40));
  cgi_scan("action=list");
  cgi_scan("action=fire&name=gh");
  mcp_scan("broken store",
           call("webhook_list", "{}") + call("webhook_trigger", R"({"name":"gh"})"));
}

}  // namespace
