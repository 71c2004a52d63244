// The MCP server on the standard streams: framing, JSON-RPC envelopes, the
// method table and the tool descriptors.
#pragma once

#include "wh_buf.h"

struct wh_tool {
  const char *name;
  const char *description;
  const char *input_schema;  // compact JSON, written out unchanged
};

extern const wh_tool TOOLS[2];

// Appends the descriptors of TOOLS, comma-separated, as tools/list shows them.
void mcp_write_tool_list(wh_buf *b);
// Serves requests from standard input until it ends.
void mcp_serve();
