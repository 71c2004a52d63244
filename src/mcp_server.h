// The MCP server on the standard streams: framing, the method table and
// every JSON-RPC envelope. The tools and their descriptors are in
// mcp_tools.h; they return results, and only this module writes replies.
//
// Each request is served under one version of MCP_VERSIONS (mcp_session.h):
// the one its _meta names (the stateless era; an unknown one is answered
// with -32022 and the supported list), else the one the last initialize
// chose (2024-11-05 until then, and for any version initialize does not
// know). The version decides the method table, the members of the results
// and whether a JSON array is served as a batch.
#pragma once

// Serves requests from standard input until it ends; each reply (or the
// replies to one batch, as an array) is one line on standard output, flushed
// at once.
void mcp_serve();
