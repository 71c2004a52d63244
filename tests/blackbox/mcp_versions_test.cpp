// The protocol versions of --mcp seen from outside, one table of raw JSON
// lines per era: the handshake era (initialize chooses the version of the
// process) and the stateless era (each request names its version in _meta).
// The bytes of a session that never leaves 2024-11-05 are mcp_server_test's.
#include <gtest/gtest.h>

#include <string>

#include "child_process.h"
#include "mcp_test_util.h"
#include "raii.h"
#include "wh_json.h"

namespace {

using namespace mcptest;

std::string schema_text() {
  auto r = vdtest::run({vdtest::program_path(), "--schema"}, mcp_env());
  return r.out.substr(0, r.out.size() - 1);
}

// The members of a reply's result, in order, and those of its first tool
// (the tools are written alike; the values are the interop suite's):
//   resultType,tools,ttlMs | name,title,...
std::string shape(const std::string &line) {
  yy_doc doc(yyjson_read(line.data(), line.size(), 0));
  yyjson_val *result = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "result");
  if (!yyjson_is_obj(result)) return "no result: " + line;
  // Appended piece by piece: g++ 12 for Windows warns (-Wrestrict) about
  // "text" + std::string in this function.
  std::string out;
  for (yyjson_val *obj : {result, yyjson_arr_get(yyjson_obj_get(result, "tools"), 0)}) {
    if (!out.empty()) out += " | ";
    size_t i, n;
    yyjson_val *key, *val;
    yyjson_obj_foreach(obj, i, n, key, val) {
      if (i) out += ',';
      out += yyjson_get_str(key);
    }
  }
  return out;
}

const std::string kAnnotated = " | name,description,inputSchema,annotations";
const std::string kStructured = " | name,title,description,inputSchema,outputSchema,annotations";

constexpr char kEmptyStore[] =
    "No webhooks are configured on this node. Ask the owner to add one in the webhook plugin "
    "page (Settings -> Plugins), then call webhook_list again.";

std::string list_call_result(bool structured) {
  return std::string("{\"content\":[{\"type\":\"text\",\"text\":\"") + kEmptyStore + "\"}]" +
         (structured ? ",\"structuredContent\":{\"hooks\":[]}" : "") + "}";
}

const std::string kNotObject = error("null", -32600, "invalid request: not an object");

// Lines (each with its LF) as the members of one batch line.
std::string batch(std::initializer_list<std::string> lines) {
  std::string out = "[";
  for (const std::string &l : lines) {
    if (out.size() > 1) out += ',';
    out.append(l, 0, l.size() - 1);
  }
  out += "]\n";
  return out;
}

// One session per row: initialize asking for a version, then tools/list, the
// batches, webhook_list, and a tools/list without an id.
TEST(McpVersions, HandshakeEra) {
  const std::string tools_2024 = result("2", schema_text());
  struct {
    const char *asked;  // the params of initialize
    const char *answered;
    bool batches, structured;
    std::string tools;  // tools/list: its bytes (2024-11-05) or shape
  } rows[] = {
      {R"({"protocolVersion":"2024-11-05","capabilities":{}})", "2024-11-05", false, false,
       tools_2024},
      {R"({"protocolVersion":"2025-03-26","capabilities":{}})", "2025-03-26", true, false,
       "tools" + kAnnotated},
      {R"({"protocolVersion":"2025-06-18","capabilities":{}})", "2025-06-18", false, true,
       "tools" + kStructured},
      {R"({"protocolVersion":"2025-11-25","capabilities":{"elicitation":{}}})", "2025-11-25", false,
       true, "tools" + kStructured},
      // Stateless-only, unknown (matched byte for byte, NUL and all) or no string:
      // 2024-11-05.
      {R"({"protocolVersion":"2026-07-28"})", "2024-11-05", false, false, tools_2024},
      {R"({"protocolVersion":"2025-06-18\u0000"})", "2024-11-05", false, false, tools_2024},
      {R"({"protocolVersion":20250618})", "2024-11-05", false, false, tools_2024},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.asked);
    std::string out =
        serve(std::string("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"initialize\",\"params\":") +
              r.asked + "}\n" +
              "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n"
              "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/list\"}\n"
              "[{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"ping\"},"
              "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"},7,"
              "{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"initialize\"}]\n"
              "[]\n"
              "[{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}]\n"
              "{\"jsonrpc\":\"2.0\",\"id\":5,\"method\":\"tools/call\","
              "\"params\":{\"name\":\"webhook_list\"}}\n"
              "{\"jsonrpc\":\"2.0\",\"method\":\"tools/list\"}\n");
    std::string want_init = result("1", std::string("{\"protocolVersion\":\"") + r.answered +
                                            "\",\"capabilities\":{\"tools\":{}},\"serverInfo\":"
                                            "{\"name\":\"vavode_deveruz\",\"version\":\"1.0.1\"}}");
    size_t at = 0;
    auto next = [&] {
      size_t lf = out.find('\n', at);
      std::string l = lf == std::string::npos ? "" : out.substr(at, lf + 1 - at);
      at = lf == std::string::npos ? out.size() : lf + 1;
      return l;
    };
    EXPECT_EQ(next(), want_init);
    std::string tools = next();
    EXPECT_EQ(r.tools == tools_2024 ? tools : shape(tools), r.tools);
    if (r.batches) {
      EXPECT_EQ(
          next(),
          batch({result("3"), kNotObject,
                 error("4", -32600, "invalid request: initialize cannot be part of a batch")}));
      EXPECT_EQ(next(), error("null", -32600, "invalid request: empty batch"));
    } else {
      EXPECT_EQ(next(), kNotObject);
      EXPECT_EQ(next(), kNotObject);
      EXPECT_EQ(next(), kNotObject);
    }
    EXPECT_EQ(next(), result("5", list_call_result(r.structured)));
    // Only 2024-11-05 answers a tools/list without an id.
    if (std::string(r.answered) == "2024-11-05") {
      EXPECT_EQ(next(), result("null", schema_text()));
    }
    EXPECT_EQ(out.substr(at), "");
  }
}

// Requests that name a version in _meta, without any handshake.
std::string req(const std::string &id, const std::string &method, const std::string &params) {
  return "{\"jsonrpc\":\"2.0\"" + (id.empty() ? "" : ",\"id\":" + id) + ",\"method\":\"" + method +
         "\",\"params\":{" + params + "}}\n";
}
// _meta naming a version (JSON text) and, unless caps is empty, the client's
// capabilities.
std::string meta(const std::string &version, const std::string &caps = "{}") {
  return "\"_meta\":{\"io.modelcontextprotocol/protocolVersion\":" + version +
         (caps.empty() ? "" : ",\"io.modelcontextprotocol/clientCapabilities\":" + caps) + "}";
}

TEST(McpVersions, StatelessEra) {
  const std::string modern = meta("\"2026-07-28\"");
  const std::string server_info =
      "\"_meta\":{\"io.modelcontextprotocol/serverInfo\":{\"name\":\"vavode_deveruz\","
      "\"version\":\"1.0.1\"}}";
  const std::string versions =
      R"(["2026-07-28","2025-11-25","2025-06-18","2025-03-26","2024-11-05"])";
  const std::string cache = ",\"ttlMs\":3600000,\"cacheScope\":\"public\",";
  auto complete = [&](const std::string &id, const std::string &members, bool cacheable) {
    return result(id, "{\"resultType\":\"complete\"," + members + (cacheable ? cache : ",") +
                          server_info + "}");
  };
  const std::string unsupported =
      "{\"code\":-32022,\"message\":\"Unsupported protocol version\",\"data\":{\"supported\":" +
      versions + ",\"requested\":";
  struct {
    const char *what;
    std::string in, want;
  } rows[] = {
      {"discover", req("1", "server/discover", modern),
       complete("1", "\"supportedVersions\":" + versions + ",\"capabilities\":{\"tools\":{}}",
                true)},
      {"a tool call", req("2", "tools/call", "\"name\":\"webhook_list\"," + modern),
       complete("2",
                std::string("\"content\":[{\"type\":\"text\",\"text\":\"") + kEmptyStore +
                    "\"}],\"structuredContent\":{\"hooks\":[]}",
                false)},
      {"an empty list", req("5", "prompts/list", modern), complete("5", "\"prompts\":[]", true)},
      {"an unknown version", req("\"u\"", "tools/list", meta("\"2027-01-01\"")),
       "{\"jsonrpc\":\"2.0\",\"id\":\"u\",\"error\":" + unsupported + "\"2027-01-01\"}}}\n"},
      {"a version that is no string", req("8", "tools/list", meta("20260728")),
       error("8", -32602, "invalid params: _meta protocolVersion is not a string")},
      {"capabilities that are no object", req("10", "tools/list", meta("\"2026-07-28\"", "[]")),
       error("10", -32602, "invalid params: _meta has no clientCapabilities object")},
      {"the methods the revision removed",
       req("11", "ping", modern) +
           req("13", "initialize", "\"protocolVersion\":\"2025-06-18\"," + modern) +
           req("14", "notifications/initialized", modern),
       error("11", -32601, "method not found") + error("13", -32601, "method not found") +
           error("14", -32601, "method not found")},
      {"notifications, and requests without an id",
       req("", "tools/list", modern) + req("", "tools/list", meta("\"1900-01-01\"")) +
           req("", "notifications/cancelled", modern),
       ""},
      // The handshake versions have no discover; one named in _meta is
      // served under its own rules, without resultType.
      {"discover under a handshake version", req("15", "server/discover", meta("\"2025-11-25\"")),
       error("15", -32601, "method not found")},
      {"a handshake version in _meta",
       req("17", "tools/call", "\"name\":\"webhook_list\"," + meta("\"2025-06-18\"", "")),
       result("17", list_call_result(true))},
  };
  for (const auto &r : rows) EXPECT_EQ(serve(r.in), r.want) << r.what;

  std::string tools = serve(req("1", "tools/list", modern));
  EXPECT_EQ(shape(tools), "resultType,tools,ttlMs,cacheScope,_meta" + kStructured);
  // The stateless era is served alike in a process initialized otherwise.
  std::string init = req("0", "initialize", "\"protocolVersion\":\"2025-03-26\"");
  EXPECT_EQ(serve(init + req("1", "tools/list", modern)).substr(serve(init).size()), tools);
}

}  // namespace
