// Faults from outside the program: clients that go away early (a full disk
// and a read-only store: posix_only_test.cpp). None may lose the store or end
// a process by a signal.
#include <cstring>
#include <string>
#include <vector>

#include "cgi_test_util.h"
#include "receiver.h"

namespace {

using cgitest::err;
using cgitest::ok;

const std::string kAllow = "WEBHOOK_ALLOW_PRIVATE=1";

using cgitest::Faults;

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
    add_hook(s.get(), cgitest::numbered(i), "https://relay.example/" + std::string(2000, 'p'));
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
