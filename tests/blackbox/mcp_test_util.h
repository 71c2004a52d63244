// The MCP server as a child process: its arguments, an environment without
// a store, and the replies it writes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"

namespace mcptest {

// The store never exists, so no test touches the user's own hooks.
inline std::vector<std::string> mcp_env() {
  auto e = vdtest::base_env();
  e.push_back("WEBHOOK_STORE_PATH=/nonexistent-dir/hooks.json");
  return e;
}

inline std::vector<std::string> mcp_args() {
  return {vdtest::program_path(), "--mcp"};
}

// Runs the server over the whole input; asserts a clean exit.
inline std::string serve(const std::string &input) {
  auto r = vdtest::run(mcp_args(), mcp_env(), input, 60000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

inline std::string ping(const std::string &id) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"ping\"}";
}
inline std::string result(const std::string &id, const std::string &res = "{}") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":" + res + "}\n";
}
inline std::string error(const std::string &id, int code, const std::string &msg) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + std::to_string(code) +
         ",\"message\":\"" + msg + "\"}}\n";
}

// A reply as read_line gives it, without its LF.
inline std::string line(const std::string &reply) {
  return reply.substr(0, reply.size() - 1);
}

inline const std::string kPing1 = ping("1");  // 40 bytes
inline const std::string kPong1 = result("1");

}  // namespace mcptest
