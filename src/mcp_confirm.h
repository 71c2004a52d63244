// Asking the person before a model's trigger of a hook that asks first, in
// the way the request's version and the client's capabilities allow:
//  - handshake era (2025-06-18 and later), when initialize declared
//    elicitation in form mode: a question through the server's asker
//    (mcp_session.h), answered within MCP_ASK_WAIT_MS;
//  - stateless era, when the request's _meta declares the same: the call
//    ends with an input-required result that asks the question under the
//    key "confirm", its requestState a ticket for that one trigger; the
//    retry's inputResponses.confirm is the answer;
//  - otherwise the client cannot ask, and the hook is not sent.
//
// The question shows the hook's name, the payload (its first
// MCP_CONFIRM_SHOWN bytes) and the query, never a credential. A ticket is
// bound to the hook, the payload and the query as they would be sent, is
// taken by the first retry that presents it, and lapses after
// MCP_ASK_WAIT_MS; a retry with a ticket that is not good for its trigger is
// refused, not asked again. Tickets live in this process, of which a client
// on standard streams has its own: at most MCP_CONFIRM_TICKETS at once, a new
// one pushing out the oldest.
#pragma once

#include <yyjson.h>

#include <cstddef>

#include "delivery.h"
#include "mcp_session.h"
#include "wh_buf.h"

inline constexpr size_t MCP_CONFIRM_SHOWN = 1024;
inline constexpr int MCP_CONFIRM_TICKETS = 16;

// An input-required result's members: requests is an InputRequests object
// (empty when the call needs none), state the requestState.
struct mcp_input_required {
  wh_text requests;
  char state[32] = "";
};

// The approval step for one tools/call on its params; empty when the client
// cannot ask. A stateless question it puts out is written to *pending.
wh_delivery_approve mcp_confirm_approver(const mcp_session &session, yyjson_val *params,
                                         mcp_input_required *pending);
