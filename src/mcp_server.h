// The MCP server on the standard streams: framing, the method table and
// every JSON-RPC envelope. The tools and their descriptors are in
// mcp_tools.h; they return results, and only this module writes replies.
#pragma once

// Serves requests from standard input until it ends; each reply is one line
// on standard output, flushed at once.
void mcp_serve();
