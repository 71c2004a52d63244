// The limits and fixed names that several modules share, each written once.
// The capacities of the records themselves (a hook's fields, the store's
// counts) stay beside their records in wh_hook.h and wh_store.h; sizes that
// are a field's size are taken from the field.
#pragma once

#include <cstddef>

// The largest body a delivery sends, in bytes. A payload handed to a caller's
// delivery holds at most one byte less, as the callers keep it in a
// terminated text of this size.
inline constexpr size_t WH_PAYLOAD_LIMIT = 1048576;
inline constexpr size_t WH_PAYLOAD_MAX = WH_PAYLOAD_LIMIT - 1;

// A caller's extra query text for one delivery, terminator included.
inline constexpr size_t WH_QUERY_CAP = 512;

// An endpoint URL as shown to a caller (the owner's form or the model's),
// terminator included: room for a full-size host, port and target.
inline constexpr size_t WH_URL_SHOWN_CAP = 2080;

// A delivery's message id ("msg_" and 32 characters, see wh_sign.h) as the
// fire result, the delivery log and the signature keep it, terminator
// included.
inline constexpr size_t WH_MESSAGE_ID_CAP = 40;

// The method of a hook that names none.
inline constexpr char WH_DEFAULT_METHOD[] = "POST";
