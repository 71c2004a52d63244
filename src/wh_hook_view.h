// Hooks as the web API shows and edits them. The views never hold a secret or
// a header value (only whether one is set) and show URLs with the query
// hidden. Editing keeps the credentials the page never sees: a blank secret
// keeps the stored one, a header sent without a value keeps the stored value.
#pragma once

#include <cstddef>

#include "wh_store.h"

// The view of one hook, cut to out_size - 1 bytes:
// {"name","method","desc","sig","has_secret","url","headers":[{"name","has_secret"}]}
void wh_hook_json(const wh_hook *hook, char *out, size_t out_size);

// The list object {"ok":true,"count","hooks","log","allow_private"}, cut to
// out_size - 1 bytes.
void wh_store_list_json(const wh_store *store, char *out, size_t out_size);

// Applies a JSON body to `hook` (a copy of `stored` when editing, else a new
// record with method POST) and validates the result. `stored` is read for the
// values of headers sent without one. 0 when valid; -1 with the reason in err.
int wh_hook_apply(wh_hook *hook, const char *body, const wh_hook *stored, char *err,
                  size_t err_size);
