// Values that reach the program from outside, as a user's system sets them:
// folders and a password with letters beyond ASCII in the environment the
// program is started with (on Windows, the UTF-16 block a parent hands to
// CreateProcessW, so the program must not read it through the ANSI code
// page). Every road must work with them: save, list, fire, the MCP tools and
// the password check.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "raii.h"
#include "receiver.h"
#include "store_env.h"
#include "wh_json.h"

namespace {

const std::string kPassword = "p\xC3\xA9ssw\xC3\xB6rd";  // "pésswörd"
const std::string kPwd = "pwd=p%C3%A9ssw%C3%B6rd";       // as the page sends it

class OutsideValues : public StoreEnv {};

TEST_F(OutsideValues, NonAsciiFoldersAndPassword) {
  const std::string tail = "kestrune/connectors/vavode_deveruz/hooks.json";
  struct {
    const char *var, *folder;
    std::string value_below, store_below;  // after dir/folder
  } cases[] = {
      {"WEBHOOK_STORE_PATH", "J\xC3\xBCrgen", "/nest/hooks.json", "/nest/hooks.json"},
      {"WEBHOOK_STORE_PATH", "\xE5\xB1\xB1\xE7\x94\xB0", "/nest/hooks.json", "/nest/hooks.json"},
      {"LOCALAPPDATA", "J\xC3\xBCrgen", "", "/" + tail},
      {"LOCALAPPDATA", "\xE5\xB1\xB1\xE7\x94\xB0", "", "/" + tail},
      {"USERPROFILE", "J\xC3\xBCrgen", "", "/." + tail},
      {"USERPROFILE", "\xE5\xB1\xB1\xE7\x94\xB0", "", "/." + tail},
  };
  vdtest::receiver rx;
  ASSERT_TRUE(rx.listening()) << rx.error();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto &c = cases[i];
    SCOPED_TRACE(std::string(c.var) + " " + c.folder);
    // Each case in a folder of its own, which the program creates.
    std::string root = dir + "/" + std::to_string(i);
    vdtest::make_dir(root);
    std::string folder = root + "/" + c.folder;
    std::string body_file = root + "/" + c.folder + ".json";
    ASSERT_TRUE(
        vdtest::write_file(body_file, "{\"name\":\"deploy\",\"url\":\"" + rx.url("/in") + "\"}"));
    auto env = vdtest::base_env();
    env.push_back(std::string(c.var) + "=" + folder + c.value_below);
    env.push_back("BOT_PASSWORD=" + kPassword);
    env.push_back("WEBHOOK_ALLOW_PRIVATE=1");
    auto cgi = [&env](const std::string &query, const std::vector<std::string> &extra = {}) {
      auto e = env;
      e.push_back("QUERY_STRING=" + query);
      e.insert(e.end(), extra.begin(), extra.end());
      auto r = vdtest::run({vdtest::program_path()}, e);
      EXPECT_EQ(r.status, 0) << r.err;
      return r.out.substr(r.out.find("\r\n\r\n") + 4);
    };

    // The password is read as it was given: without it, or in the ANSI code
    // page's form, the request is refused; in UTF-8 it is accepted.
    const std::string refused = "{\"ok\":false,\"error\":\"invalid node password\"}\n";
    EXPECT_EQ(cgi("action=list"), refused);
    EXPECT_EQ(cgi("action=list&pwd=p%E9ssw%F6rd"), refused);
    EXPECT_EQ(cgi("action=save&" + kPwd, {"REQUEST_METHOD=POST", "POST_BODY_FILE=" + body_file}),
              "{\"ok\":true,\"saved\":\"deploy\"}\n");
    EXPECT_TRUE(vdtest::path_exists(folder + c.store_below));
    std::string fired = cgi("action=fire&name=deploy&" + kPwd);
    EXPECT_EQ(fired.find("{\"ok\":true,\"delivered\":true,\"status\":200,"), 0u) << fired;

    auto mcp =
        vdtest::run({vdtest::program_path(), "--mcp"}, env,
                    "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":"
                    "\"webhook_list\"}}\n"
                    "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/call\",\"params\":{\"name\":"
                    "\"webhook_trigger\",\"arguments\":{\"name\":\"deploy\"}}}\n",
                    60000);
    EXPECT_NE(mcp.out.find("1 configured webhook\\n\\n- deploy  POST  http://127.0.0.1:"),
              std::string::npos)
        << mcp.out;
    EXPECT_NE(mcp.out.find("POST deploy -> HTTP 200 in "), std::string::npos) << mcp.out;

    // Both deliveries logged in that store; the header form of the password
    // works too.
    std::string list = cgi("action=list", {"HTTP_X_BOT_PASSWORD=" + kPassword});
    yy_doc doc(yyjson_read(list.data(), list.size(), 0));
    yyjson_val *root_val = yyjson_doc_get_root(doc.get());
    EXPECT_EQ(yyjson_get_uint(yyjson_obj_get(root_val, "count")), 1u) << list;
    EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(root_val, "log")), 2u) << list;
  }
  EXPECT_EQ(rx.wait_requests(2 * std::size(cases)), 2 * std::size(cases));
}

}  // namespace
