#include "mcp_server.h"

#include <cstdio>

namespace {

constexpr char TOOL_LIST_SCHEMA[] =
    "{\"type\":\"object\",\"properties\":{\"redact_url\":{\"type\":\"boolean\",\"description\":"
    "\"Return only the endpoint host and path without the query string (default true). Set "
    "false only when you must see the exact URL, and remember the answer may then contain a "
    "provider token.\"}},\"additionalProperties\":false}";

constexpr char TOOL_TRIGGER_SCHEMA[] =
    "{\"type\":\"object\",\"properties\":{\"name\":{\"type\":\"string\",\"description\":\"The "
    "name of a stored hook, exactly as webhook_list reported it.\"},\"payload\":{\"type\":"
    "\"string\",\"description\":\"The request body. A JSON object or array is sent as-is; a "
    "bare string is sent as a JSON string literal. Defaults to {}.\"},\"query\":{\"type\":"
    "\"string\",\"description\":\"Optional query string appended to the hook's URL, without a "
    "leading ? (for example event=deploy&env=prod).\"}},\"required\":[\"name\"],"
    "\"additionalProperties\":false}";

static_assert(sizeof TOOL_LIST_SCHEMA - 1 == 296);
static_assert(sizeof TOOL_TRIGGER_SCHEMA - 1 == 499);

}  // namespace

const wh_tool TOOLS[2] = {
    {"webhook_list",
     "List the named webhooks configured on this node: name, method, endpoint (query string "
     "redacted), whether it is HMAC-signed and how many secret headers it carries. Secrets are "
     "never returned. Call this first to learn which names webhook_trigger accepts.",
     TOOL_LIST_SCHEMA},
    {"webhook_trigger",
     "Send one stored webhook by name with a JSON payload. The stored headers, bearer tokens and "
     "HMAC signature are applied on the node; the secret never enters this conversation. Returns "
     "the HTTP status, latency and the first 4 KiB of the response body.",
     TOOL_TRIGGER_SCHEMA},
};

void mcp_write_tool_list(wh_buf *b) {
  bool sep = false;
  for (const wh_tool &t : TOOLS) {
    if (sep) wh_buf_str(b, ",");
    sep = true;
    int first = 1;
    wh_buf_str(b, "{");
    wh_buf_key(b, "name", &first);
    wh_buf_json_str(b, t.name);
    wh_buf_key(b, "description", &first);
    wh_buf_json_str(b, t.description);
    wh_buf_key(b, "inputSchema", &first);
    wh_buf_str(b, t.input_schema);
    wh_buf_str(b, "}");
  }
}

// The server loop is still to come; until then the mode ends at once.
void mcp_serve() {}
