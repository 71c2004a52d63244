// The tools behind the MCP methods tools/list and tools/call: webhook_list
// and webhook_trigger, their descriptors and input schemas. Every call loads
// the store afresh; nothing is kept.
#pragma once

#include <yyjson.h>

#include <cstddef>

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

// Serves one tools/call request. `id` is the request's id as compact JSON
// text, null for a notification (answered with id null); `params` is the
// request's "params" value, null when missing. Sends exactly one reply.
void mcp_call_tool(const char *id, yyjson_val *params);

// Sends a tool result holding one text item; "isError":true only when
// is_error is non-zero (the member is never written as false).
void mcp_tool_content(const char *id, const char *text, int is_error);

// webhook_list: appends the list text for the arguments text `args` (compact
// JSON or empty) to `out`. Secrets and header values are never written.
void tool_list(const char *args, wh_buf *out);

// webhook_trigger: fires the named hook with the payload and query of `args`
// and logs the delivery. 0 with the report in out (cut to out_size - 1);
// 1 with the reason in err (emptied first, cut to err_size - 1).
int tool_trigger(const char *args, char *out, size_t out_size, char *err, size_t err_size);
