// The tools behind the MCP method tools/call.
#pragma once

#include <yyjson.h>

// Serves one tools/call request. `id` is the request's id as compact JSON
// text, null for a notification (answered with id null); `params` is the
// request's "params" value, null when missing. Sends exactly one reply.
void mcp_call_tool(const char *id, yyjson_val *params);
