// Fifty processes at once on one store: CGI saves, deletes and fires, and MCP
// servers triggering. Every change that was answered as done is in the file
// afterwards, and the file is still a valid store.
#include <yyjson.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cgi_test_util.h"
#include "receiver.h"

namespace {

using cgitest::ok;

int count_of(const std::string &text, const std::string &part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

using Load = cgitest::Cgi;

TEST_F(Load, FiftyProcessesKeepEveryChange) {
  vdtest::receiver_options o;
  o.body = "pong";
  o.delay_ms = 50;  // deliveries overlap the saves and deletes
  vdtest::receiver rx(o);
  auto s = new_store();
  add_hook(s.get(), "r", rx.url("/in"));
  for (int i = 0; i < 10; ++i) add_hook(s.get(), "d" + std::to_string(i));
  save(*s);

  // 20 saves, 10 deletes, 10 CGI fires, 10 MCP servers with two triggers each:
  // 30 deliveries, within the 50 entries the log keeps.
  const std::string trigger =
      R"(,"method":"tools/call","params":{"name":"webhook_trigger","arguments":{"name":"r"}}})"
      "\n";
  const std::string allow = "WEBHOOK_ALLOW_PRIVATE=1";
  std::vector<vdtest::run_result> runs(50);
  std::vector<std::thread> workers;
  for (int i = 0; i < 50; ++i) {
    workers.emplace_back([&, i] {
      std::string n = std::to_string(i % 10), body;
      std::vector<std::string> args = {vdtest::program_path()}, e;
      if (i < 20) {
        body = R"({"name":"s)" + std::to_string(i) + R"(","url":"https://relay.example/s"})";
        e = env("action=save", body, {});
      } else if (i < 30) {
        e = env("action=delete&name=d" + n, {}, {});
      } else if (i < 40) {
        e = env("action=fire&name=r", {}, {allow});
      } else {
        args.push_back("--mcp");
        e = env({}, {}, {allow});
        body = R"({"jsonrpc":"2.0","id":1)" + trigger + R"({"jsonrpc":"2.0","id":2)" + trigger;
      }
      runs[static_cast<size_t>(i)] = vdtest::run(args, e, body, 60000);
    });
  }
  for (auto &t : workers) t.join();

  const std::string delivered = R"("text":"POST r -> HTTP 200 in )";
  for (int i = 0; i < 50; ++i) {
    const auto &r = runs[static_cast<size_t>(i)];
    EXPECT_EQ(r.status, 0) << i << r.err;
    if (i < 20)
      EXPECT_EQ(r.out, ok(R"({"ok":true,"saved":"s)" + std::to_string(i) + "\"}")) << r.out;
    else if (i < 30)
      EXPECT_EQ(r.out, ok(R"({"ok":true,"deleted":true})")) << r.out;
    else if (i < 40)
      EXPECT_NE(r.out.find(R"("delivered":true,"status":200,)"), std::string::npos) << r.out;
    else
      EXPECT_EQ(count_of(r.out, delivered), 2) << r.out;
  }

  const std::string text = store_text();
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
  EXPECT_NE(doc, nullptr) << "the file is no longer JSON";
  yyjson_doc_free(doc);
  s = stored();
  std::set<std::string> want = {"r"}, got;
  for (int i = 0; i < 20; ++i) want.insert("s" + std::to_string(i));
  for (int i = 0; i < s->hook_count; ++i) got.insert(s->hooks[i].name);
  EXPECT_EQ(got, want) << names(*s);
  EXPECT_EQ(s->hook_count, 21);
  ASSERT_EQ(s->log_count, 30);
  for (int i = 0; i < s->log_count; ++i) {
    EXPECT_STREQ(s->log[i].name, "r");
    EXPECT_EQ(s->log[i].status, 200);
  }
  EXPECT_EQ(rx.wait_requests(30), 30u);
}

}  // namespace
