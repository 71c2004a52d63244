#include "mcp_tools.h"

#include "mcp_server.h"

// No tool is served yet: every call names a tool this build does not have.
void mcp_call_tool(const char *id, yyjson_val *params) {
  (void)params;
  mcp_error(id, -32602, "unknown tool");
}
