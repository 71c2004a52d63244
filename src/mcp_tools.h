// The tools behind the MCP methods tools/list and tools/call: webhook_list
// and webhook_trigger, their descriptors and input schemas. Every call loads
// the store afresh; nothing is kept. A tool returns its result; the JSON-RPC
// envelope around it is the server's (mcp_server.h).
#pragma once

#include <yyjson.h>

#include "wh_buf.h"

struct wh_tool {
  const char *name;
  const char *description;
  const char *input_schema;  // compact JSON, written out unchanged
};

extern const wh_tool TOOLS[2];

// Appends the descriptors of TOOLS, comma-separated, as tools/list and
// --schema show them.
void mcp_write_tool_list(wh_buf *b);

// What one tools/call gives back: a JSON-RPC error when error_code is not 0,
// else a tool result with one text item.
struct mcp_call_result {
  long error_code = 0;
  const char *error_message = nullptr;  // a constant text, with error_code
  wh_text text;                         // the result's text, at most 1056767 bytes
  bool is_error = false;                // the result says "isError":true
};

// Serves one tools/call request on its "params" value (null when missing).
void mcp_call_tool(yyjson_val *params, mcp_call_result *out);

// webhook_list on its parsed arguments (null when absent or unreadable):
// appends the list text to out, each hook's bounds as plain facts
// ("[limit: 30/hour]", "[ask first]") and its example under it, which the
// text tells the model to follow. Secrets and header values are never
// written.
void tool_list(yyjson_val *args, wh_buf *out);

// webhook_trigger on its parsed arguments: fires the named hook with their
// payload and query (delivery.h), as the model's trigger, within the owner's
// bounds, and appends the report to out, returning 0; or appends the reason
// (at most 511 bytes) and returns 1.
int tool_trigger(yyjson_val *args, wh_buf *out);
