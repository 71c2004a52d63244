// The tools behind the MCP methods tools/list and tools/call: webhook_list
// and webhook_trigger, their descriptors and input schemas. Every call loads
// the store afresh; nothing is kept. A tool returns its result; the JSON-RPC
// envelope around it is the server's (mcp_server.h).
#pragma once

#include <yyjson.h>

#include "delivery.h"
#include "mcp_confirm.h"
#include "mcp_session.h"
#include "wh_buf.h"

// One tool. Which parts a version shows is its row in MCP_VERSIONS.
struct wh_tool {
  const char *name;
  const char *title;  // in the annotations, and from 2025-06-18 at the top too
  const char *description;
  const char *input_schema;   // compact JSON, written out unchanged
  const char *output_schema;  // compact JSON, where results carry structuredContent
  const char *hints;          // the annotations' hint members, compact JSON without braces
};

extern const wh_tool TOOLS[2];

// Appends the descriptors of TOOLS, comma-separated, as `version` shows them.
void mcp_write_tools(wh_buf *b, const mcp_version &version);

// The descriptors as 2024-11-05 tools/list and --schema show them: name,
// description and input schema only.
void mcp_write_tool_list(wh_buf *b);

// What one tools/call gives back: a JSON-RPC error when error_code is not 0;
// else an input-required result when input.requests is not empty (a
// question to the person, in the stateless era); else a tool result with one
// text item and, where the session's version has them, its structured
// content.
struct mcp_call_result {
  long error_code = 0;
  const char *error_message = nullptr;  // a constant text, with error_code
  wh_text text;                         // the result's text, at most 1056767 bytes
  wh_text structured;     // a JSON object matching the tool's output schema; empty for none
  bool is_error = false;  // the result says "isError":true
  mcp_input_required input;
};

// Serves one tools/call request on its "params" value (null when missing),
// under the session's version.
void mcp_call_tool(yyjson_val *params, const mcp_session &session, mcp_call_result *out);

// webhook_list on its parsed arguments (null when absent or unreadable):
// appends the list text to out, each hook's bounds as plain facts
// ("[limit: 30/hour]", "[ask first]") and its example under it, which the
// text tells the model to follow; when structured is not null, the same hooks
// as {"hooks":[{"name","method","url","signature","headers","limit",
// "ask_first","example","description"}],"warning"} (the URL redacted alike,
// "warning" only with a store warning). Secrets and header values are never
// written.
void tool_list(yyjson_val *args, wh_buf *out, wh_buf *structured = nullptr);

// webhook_trigger on its parsed arguments: fires the named hook with their
// payload and query (delivery.h), as the model's trigger, within the owner's
// bounds (a hook that asks first through approve: mcp_confirm.h), and appends
// the report to out, returning 0; or appends the reason (at most 511 bytes)
// and returns 1. A question put out for a later call returns 0 with nothing
// appended. When structured is not null and an
// exchange was tried, it also gets {"hook","status","ok","ms","bytes",
// "truncated","body","error","message_id"} ("error" only when the exchange
// failed, "message_id" only when the request was signed with one).
int tool_trigger(yyjson_val *args, wh_buf *out, wh_buf *structured = nullptr,
                 const wh_delivery_approve &approve = {});
