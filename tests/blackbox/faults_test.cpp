// Faults from outside the program: a full disk, a read-only store, clients
// that go away early. None may lose the store or end a process by a signal.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "receiver.h"

namespace {

using cgitest::err;
using cgitest::ok;

const std::string kAllow = "WEBHOOK_ALLOW_PRIVATE=1";

class Faults : public cgitest::Cgi {
 protected:
  // One hook, saved by the test: the store as it must stay.
  std::string seed(const std::string &url = "https://relay.example/h") {
    auto s = new_store();
    add_hook(s.get(), "kept", url);
    save(*s);
    return store_text();
  }

  vdtest::run_result cgi_with(const vdtest::child_setup &setup, const std::string &query,
                              const std::string &body = {}) const {
    return vdtest::run({vdtest::program_path()}, env(query, body, {}), body, 20000, setup);
  }
};

TEST_F(Faults, FullDiskFailsTheSaveAndKeepsTheStore) {
  const std::string before = seed();
  ASSERT_LT(before.size(), 4096u);
  // A file size limit stands in for a full disk: every write past 4 KiB fails
  // (EFBIG, with SIGXFSZ ignored: a full disk sends no signal either).
  auto full_after_4k = [] {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
  };
  std::string headers;
  for (const char *h : {"X-A", "X-B", "X-C"})
    headers += std::string(headers.empty() ? "" : ",") + "{\"name\":\"" + h + "\",\"value\":\"" +
               std::string(1000, 'v') + "\"}";
  const std::string body = "{\"name\":\"big\",\"url\":\"https://relay.example/" +
                           std::string(1500, 'u') + "\",\"headers\":[" + headers + "]}";
  auto r = cgi_with(full_after_4k, "action=save", body);
  EXPECT_EQ(r.status, 0) << "153 is SIGXFSZ";
  EXPECT_EQ(r.out, err(400, "short write to " + path + ".tmp"));
  EXPECT_EQ(store_text(), before);
  EXPECT_FALSE(file_exists(path + ".tmp"));
  // A change that still fits goes through under the same limit.
  r = cgi_with(full_after_4k, "action=save", R"({"name":"small","url":"https://relay.example/"})");
  EXPECT_EQ(r.out, ok(R"({"ok":true,"saved":"small"})"));
  EXPECT_EQ(names(*stored()), "kept,small");
}

TEST_F(Faults, ReadOnlyStoreRefusesChangesAndLosesNothing) {
  const std::string before = seed();
  // The store's folder takes no new files. Root writes whatever the mode
  // bits say, so as root the program runs as the user nobody; the folders
  // above let it through to the file and to its lock.
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(chmod((path + ".lock").c_str(), 0666), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
  ASSERT_EQ(chmod((dir + "/nest").c_str(), 0555), 0);
  auto unprivileged = [] {
    if (!become_nobody()) _exit(121);
  };
  const std::string cannot = "cannot create " + path + ".tmp: " + strerror(EACCES);
  struct {
    std::string query, body, want;
  } rows[] = {
      {"action=save", R"({"name":"new","url":"https://relay.example/n"})", err(400, cannot)},
      {"action=save&name=kept", R"({"desc":"edited"})", err(400, cannot)},
      {"action=delete&name=kept", "", err(500, cannot)},
  };
  for (const auto &row : rows) {
    auto r = cgi_with(unprivileged, row.query, row.body);
    EXPECT_EQ(r.status, 0) << row.query;
    EXPECT_EQ(r.out, row.want) << row.query;
  }
  // Reading still works, and the file is as it was.
  auto list = cgi_with(unprivileged, "action=list");
  EXPECT_NE(list.out.find("\"name\":\"kept\""), std::string::npos) << list.out;
  EXPECT_EQ(store_text(), before);
  EXPECT_FALSE(file_exists(path + ".tmp"));
}

TEST_F(Faults, ClientsThatGoAwayEarly) {
  vdtest::receiver_options slow;
  slow.body = "pong";
  slow.delay_ms = 300;
  vdtest::receiver rx(slow);
  seed(rx.url("/in"));

  // CGI: a web server that stops reading before the answer. The delivery is
  // still logged, the save still made.
  auto fired = vdtest::run_output_closed({vdtest::program_path()},
                                         env("action=fire&name=kept", {}, {kAllow}));
  EXPECT_EQ(fired.status, 0) << "141 is SIGPIPE";
  const std::string body = R"({"name":"late","url":"https://relay.example/l"})";
  auto saved =
      vdtest::run_output_closed({vdtest::program_path()}, env("action=save", body, {}), body);
  EXPECT_EQ(saved.status, 0);
  auto s = stored();
  EXPECT_EQ(names(*s), "kept,late");
  ASSERT_EQ(s->log_count, 1);
  EXPECT_EQ(s->log[0].status, 200);

  // A list answer far larger than a pipe holds, its reader gone after the
  // first line.
  for (int i = 0; i < WH_MAX_HOOKS - 2; ++i) {
    add_hook(s.get(), "h" + std::to_string(i), "https://relay.example/" + std::string(2000, 'p'));
    s->hooks[s->hook_count - 1].header_count = WH_MAX_HEADERS;
    for (wh_header &h : s->hooks[s->hook_count - 1].headers) memset(h.name, 'H', sizeof h.name - 1);
  }
  save(*s);
  {
    vdtest::child_process lister({vdtest::program_path()}, env("action=list", {}, {}));
    ASSERT_TRUE(lister.read_line());
    lister.close_stdout();
    lister.close_stdin();
    EXPECT_EQ(lister.wait(), 0);
  }

  // MCP: the client sends a trigger and leaves before the reply. The server
  // finishes the delivery, logs it and exits 0.
  auto mcp_env = env({}, {}, {kAllow});
  {
    vdtest::child_process server({vdtest::program_path(), "--mcp"}, mcp_env);
    ASSERT_TRUE(server.write(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)"
                             R"({"name":"webhook_trigger","arguments":{"name":"kept"}}})"
                             "\n"));
    ASSERT_EQ(rx.wait_requests(2), 2u);
    server.close_stdout();
    server.close_stdin();
    EXPECT_EQ(server.wait(), 0);
  }
  s = stored();
  EXPECT_EQ(s->hook_count, WH_MAX_HOOKS);
  ASSERT_EQ(s->log_count, 2);
  EXPECT_EQ(s->log[0].status, 200);

  // Input that ends inside a message, a line or a counted body: answered as
  // what it is, nothing sent.
  const std::string logged = store_text();
  const std::string parse_error =
      R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error"}})"
      "\n";
  for (std::string cut : {R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":)",
                          "Content-Length: 90\r\n\r\n{\"jsonrpc\":\"2.0\",\"id\":3,"}) {
    auto r = vdtest::run({vdtest::program_path(), "--mcp"}, mcp_env, cut);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, parse_error) << cut;
  }
  EXPECT_EQ(rx.connections(), 2);
  EXPECT_EQ(store_text(), logged);
}

}  // namespace
