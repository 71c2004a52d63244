// What an MCP request is served under: the protocol versions the server
// speaks, each with what it adds (one constexpr table, newest first), and the
// session record that mcp_server keeps and the tools read.
//
// Two eras. The handshake era (2024-11-05 to 2025-11-25): `initialize`
// negotiates one version for the whole process, and until it does (or when
// it asks for a version not listed) the process speaks 2024-11-05, byte for
// byte as before there was a table. The stateless era (2026-07-28): every
// request names its version in `_meta`, and no handshake exists.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

struct mcp_version {
  const char *name;
  bool stateless;    // named in each request's _meta; results carry resultType, the
                     // server's identity in _meta and, on lists, ttlMs and cacheScope;
                     // server/discover exists, initialize, ping and logging/setLevel do not
  bool batches;      // a JSON array of requests is served as a batch
  bool id_less;      // initialize, tools/list and tools/call without an id are answered
                     // with "id":null (2024-11-05 as this server always answered it);
                     // elsewhere a request without an id is neither served nor answered
  bool annotations;  // tools carry annotations (hints and a title)
  bool structured;   // tools carry a top-level title and an outputSchema, and
                     // their results structuredContent
  bool elicitation;  // the server may ask the person (elicitation/create): as a
                     // request of its own in the handshake era, inside an
                     // input-required result in the stateless one
};

inline constexpr mcp_version MCP_VERSIONS[] = {
    // name          stateless batches id_less annotations structured elicitation
    {"2026-07-28", true, false, false, true, true, true},
    {"2025-11-25", false, false, false, true, true, true},
    {"2025-06-18", false, false, false, true, true, true},
    {"2025-03-26", false, true, false, true, false, false},
    {"2024-11-05", false, false, true, false, false, false},
};

// The answer to an initialize that names no version listed here (or a
// stateless one), and the rules of a process that has not been initialized.
inline constexpr const mcp_version &MCP_BASE_VERSION = MCP_VERSIONS[4];
static_assert(std::string_view(MCP_BASE_VERSION.name) == "2024-11-05");

// The row whose name is the len bytes at s exactly; null for none.
constexpr const mcp_version *mcp_version_find(const char *s, size_t len) {
  for (const mcp_version &v : MCP_VERSIONS)
    if (std::string_view(v.name) == std::string_view(s, len)) return &v;
  return nullptr;
}
static_assert(mcp_version_find("2025-03-26", 10)->batches);
static_assert(!mcp_version_find("2025-03-2", 9));

// How long a question to the person stays open: the handshake era's wait for
// the answer, and the life of a stateless question's requestState.
inline constexpr int64_t MCP_ASK_WAIT_MS = 10 * 60 * 1000;

// What the person answered (an ElicitResult's action), or that no answer came.
enum mcp_answer : int { MCP_ANSWER_ACCEPT, MCP_ANSWER_DECLINE, MCP_ANSWER_CANCEL, MCP_ANSWER_NONE };

// The action of an ElicitResult object; MCP_ANSWER_NONE when there is none
// this server knows.
inline mcp_answer mcp_answer_of(yyjson_val *elicit_result) {
  yyjson_val *action = yyjson_obj_get(elicit_result, "action");
  if (yyjson_equals_str(action, "accept")) return MCP_ANSWER_ACCEPT;
  if (yyjson_equals_str(action, "decline")) return MCP_ANSWER_DECLINE;
  if (yyjson_equals_str(action, "cancel")) return MCP_ANSWER_CANCEL;
  return MCP_ANSWER_NONE;
}

// The handshake era's question to the person: the server sends an
// elicitation/create request with these params (a JSON object) and serves
// the client's other messages until the answer comes, the call is cancelled,
// input ends or MCP_ASK_WAIT_MS pass. For MCP_ANSWER_NONE it writes why (a
// sentence, at most why_size bytes with its NUL).
using mcp_asker = std::function<mcp_answer(std::string_view params, char *why, size_t why_size)>;

// What the tools may read of the request they serve: the version whose rules
// apply, and the capabilities the client declared (initialize's
// `capabilities` in the handshake era, the request's own
// `_meta["io.modelcontextprotocol/clientCapabilities"]` in the stateless one;
// null when it declared none), and in the handshake era the server's way to
// ask the person. Valid for the one request.
struct mcp_session {
  const mcp_version *version = &MCP_BASE_VERSION;
  yyjson_val *client_capabilities = nullptr;
  const mcp_asker *ask = nullptr;
};
