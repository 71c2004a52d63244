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

// Writes the buffer's text and one LF to standard output and flushes it:
// every reply is one line that reaches the client at once.
void mcp_send(wh_buf *b);
// {"jsonrpc":"2.0","id":<id>,"result":<result>}. Both are JSON texts copied
// in unchanged; a null id is written as null, a null result as {}.
void mcp_result(const char *id, const char *result);
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":"<message>"}}.
void mcp_error(const char *id, long code, const char *message);
