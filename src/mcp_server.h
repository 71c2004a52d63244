// The MCP server on the standard streams: framing, JSON-RPC envelopes and
// the method table. The tools and their descriptors are in mcp_tools.h.
#pragma once

#include "wh_buf.h"

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
