// The one-shot modes of the executable, seen from outside.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"

namespace {

using vdtest::base_env;
using vdtest::program_path;
using vdtest::run;

const std::string kVersion = "vavode_deveruz 1.0.1 (webhook)\n";
const std::string kMeta =
    "{\"name\":\"webhook\",\"desc\":\"HTTP triggers\",\"kind\":\"mcp\",\"mcp\":true,"
    "\"daemon\":false,\"menus\":false,\"verified\":\"live\",\"version\":\"1.0.1\"}\n";

vdtest::run_result run_args(std::vector<std::string> args, std::vector<std::string> env = {}) {
  args.insert(args.begin(), program_path());
  auto e = base_env();
  e.insert(e.end(), env.begin(), env.end());
  // CGI mode must find an empty store and no password, so that it never
  // touches the user's own files.
  e.push_back("WEBHOOK_STORE_PATH=/nonexistent-dir/hooks.json");
  return run(args, e);
}

bool is_cgi_reply(const std::string &out) {
  return out.rfind("Status: ", 0) == 0 || out.find("\r\n\r\n") != std::string::npos;
}

TEST(Entry, VersionAndMeta) {
  auto v = run_args({"--version"});
  EXPECT_EQ(v.out, kVersion);
  EXPECT_EQ(v.status, 0);
  auto m = run_args({"--meta"});
  EXPECT_EQ(m.out, kMeta);
  EXPECT_EQ(m.status, 0);
}

TEST(Entry, PluginMetaVariable) {
  EXPECT_EQ(run_args({}, {"KR_PLUGIN_META="}).out, kMeta) << "present but empty still counts";
  EXPECT_EQ(run_args({}, {"KR_PLUGIN_META=1"}).out, kMeta);
  EXPECT_EQ(run_args({"--mcp"}, {"KR_PLUGIN_META=1"}).out, kMeta) << "the server is not started";
  EXPECT_EQ(run_args({"--schema"}, {"KR_PLUGIN_META="}).out, kMeta);
  EXPECT_EQ(run_args({"--version"}, {"KR_PLUGIN_META=1"}).out, kVersion);
}

TEST(Entry, Precedence) {
  EXPECT_EQ(run_args({"--meta", "--version"}).out, kVersion);
  EXPECT_EQ(run_args({"--version", "--meta"}).out, kVersion);
  EXPECT_EQ(run_args({"--mcp", "--schema", "--version"}).out, kVersion);
  EXPECT_EQ(run_args({"--schema", "--meta"}).out, kMeta);
  EXPECT_EQ(run_args({"--meta", "--meta"}).out, kMeta);
  auto schema = run_args({"--schema"});
  EXPECT_EQ(run_args({"--mcp", "--schema"}).out, schema.out);
  EXPECT_EQ(run_args({"--Help", "--schema"}).out, schema.out) << "unknown arguments are ignored";
  EXPECT_EQ(run_args({"--help", "--version"}).out, kVersion);
  EXPECT_EQ(run_args({"--version", "-h"}).out, kVersion);
}

// --help and -h print the usage text (the manual page's source too), and it
// names every variable the program reads from outside.
TEST(Entry, Help) {
  auto help = run_args({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("vavode_deveruz - ", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("\nUsage: vavode_deveruz [--mcp"), std::string::npos);
  EXPECT_EQ(help.out.find('\r'), std::string::npos);
  EXPECT_EQ(help.out.back(), '\n');
  for (const char *name :
       {"WEBHOOK_STORE_PATH", "WEBHOOK_ALLOW_PRIVATE", "BOT_PASSWORD", "WEBHOOK_ALLOWED_HOSTS",
        "KR_PLUGIN_META", "LOCALAPPDATA", "XDG_DATA_HOME", "HOME", "USERPROFILE", "POST_BODY_FILE"})
    EXPECT_NE(help.out.find(name), std::string::npos) << name;
  // Help wins over every mode but the version line.
  EXPECT_EQ(run_args({"-h"}).out, help.out);
  EXPECT_EQ(run_args({"--mcp", "--meta", "--schema", "-h"}).out, help.out);
  EXPECT_EQ(run_args({"--help"}, {"KR_PLUGIN_META="}).out, help.out);
}

TEST(Entry, SchemaText) {
  auto r = run_args({"--schema"});
  ASSERT_GE(r.out.size(), 2u);
  EXPECT_EQ(
      r.out.rfind("{\"tools\":[{\"name\":\"webhook_list\",\"description\":\"List the named", 0),
      0u);
  EXPECT_NE(r.out.find("},{\"name\":\"webhook_trigger\",\"description\":\"Send one stored webhook"),
            std::string::npos);
  EXPECT_NE(r.out.find("\"inputSchema\":{\"type\":\"object\",\"properties\":{\"redact_url\""),
            std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - 4), "}]}\n");
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line, one LF";
  EXPECT_EQ(r.status, 0);
}

TEST(Entry, UnknownArgumentsFallToCgi) {
  for (const char *arg : {"--HELP", "--help=1", "-help", "-H", "help", "--VERSION", "--version=1",
                          "-v", "version", "--mcp ", ""}) {
    auto r = run_args({arg});
    EXPECT_TRUE(is_cgi_reply(r.out)) << "argument '" << arg << "' gave: " << r.out;
    EXPECT_NE(r.out, kVersion);
    EXPECT_EQ(r.status, 0);
  }
  EXPECT_TRUE(is_cgi_reply(run_args({}).out));
}

TEST(Entry, OneShotOutputsHaveNoCarriageReturn) {
  for (const char *arg : {"--version", "--meta", "--schema", "--help"}) {
    auto r = run_args({arg});
    EXPECT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << arg;
    EXPECT_EQ(r.err, "") << arg;
  }
}

TEST(Entry, ClosedOutputStillExitsZero) {
  auto env = base_env();
  env.push_back("WEBHOOK_STORE_PATH=/nonexistent-dir/hooks.json");
  struct {
    std::vector<std::string> args;
    std::string input;
  } cases[] = {
      {{"--version"}, ""}, {{"--meta"}, ""}, {{"--schema"}, ""},
      {{"--help"}, ""},    {{}, ""},         {{"--mcp"}, "{\"id\":1,\"method\":\"ping\"}\n"}};
  for (auto &c : cases) {
    c.args.insert(c.args.begin(), program_path());
    auto r = vdtest::run_output_closed(c.args, env, c.input);
    EXPECT_EQ(r.status, 0) << (c.args.size() > 1 ? c.args[1] : "CGI") << " (141 is SIGPIPE)";
    EXPECT_EQ(r.err, "");
  }
}

}  // namespace
