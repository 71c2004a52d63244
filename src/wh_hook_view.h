// Hooks as the web API shows and edits them. The views never hold a secret, a
// previous secret or a header value (only whether one is set, and until when
// a rotation runs) and show URLs with the query hidden. Editing keeps the
// credentials the page never sees: a blank secret keeps the stored one (and a
// previous one), a header sent without a value keeps the stored value.
#pragma once

#include <cstddef>

#include "wh_buf.h"
#include "wh_store.h"

// The view of one hook:
// {"name","method","desc","sig","has_secret","url","headers":[{"name","has_secret"}],
//  "limit":{"count","per"} (the limit that holds, the default included; null for none),
//  "confirm","example"}, with "rotation_until" (unix seconds) after "has_secret" while
// a rotation runs (wh_sign.h).
void wh_hook_view_write(wh_buf *b, const wh_hook *hook);

// The views of the store's hooks as one JSON array, in store order, and its
// delivery log as another, newest first. Appended whole: a store filled to
// its capacities (or a hand-edited one full of escaped bytes) lists to more
// than any fixed buffer a caller would keep, and a cut list is no JSON.
void wh_hook_view_list(wh_buf *b, const wh_store *store);
void wh_hook_view_log(wh_buf *b, const wh_store *store);

// 0 when every rule a stored hook must pass holds (a name of letters, digits,
// "-", "_" and "."; a URL wh_url_parse takes; a known method; a known
// signature scheme with a secret of the form it takes; at most WH_MAX_HEADERS
// headers, each with a token name and no line break in its value; a limit
// wh_limit.h allows; an example that is JSON); -1 with the first failing
// rule's message in err.
int wh_hook_validate(const wh_hook *hook, char *err, size_t err_size);

// Applies a JSON body to `hook` (a copy of `stored` when editing, else a new
// record with method POST) and validates the result. `stored` is read for the
// values of headers sent without one. The members are the view's (name, url,
// method, desc, sig, headers with values) and "secret"; with a new secret,
// "rotate": true starts a rotation (wh_sign_set_secret), and
// "end_rotation": true ends one. The owner's bounds on the model are
// "limit" (null or {"count","per"}), "confirm" (a boolean) and "example" (a
// string holding JSON text of at most WH_EXAMPLE_CAP - 1 bytes; null or ""
// for none); each left out keeps what the hook holds, and the window's count
// is never sent. 0 when valid; -1 with the reason in err.
int wh_hook_apply(wh_hook *hook, const char *body, const wh_hook *stored, char *err,
                  size_t err_size);
