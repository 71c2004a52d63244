// The store file's JSON: reading a parsed file into the record, writing the
// record out, and the delivery-log entry that the file and the web API's list
// both write.
//
// The file: {"version":1,"hooks":[{"name","url","method","desc","sig",
// "secret","previous_secret","previous_until","headers":[{"name","value"}],
// "limit","confirm","example","triggers":{"window","count"}}],
// "log":[{"at","name","status","ok","bytes","ms","error","message_id"}]},
// members in that order when written. "previous_secret" and "previous_until"
// are written only while a previous secret is kept, "message_id" only when
// the delivery had one; a hook's last four (the owner's bounds on the model,
// wh_limit.h) only when they differ from their default (limit: 30 per hour,
// null for none; confirm: false; example: none; triggers: none counted). So
// a store without them is written back as it was. When read, the first
// member of a name counts; text beyond a field's capacity is cut; a hook or
// log entry without a name takes no slot; a missing method is POST.
#pragma once

#include <yyjson.h>

#include <string_view>

#include "wh_json.h"
#include "wh_store.h"

// Fills the store, whose counts are 0, from a parsed file's root. The record
// need not be zeroed: every hook and log entry in use gets every field (text
// and terminator, counts, numbers).
void wh_store_json_read(yyjson_val *root, wh_store *store);

// What wh_store_json_read and then wh_hook_find would give for `name`,
// without filling any other slot: true with the hook in *hook when the first
// WH_MAX_HOOKS named hooks hold one whose name, cut to its field, is `name`.
bool wh_store_json_read_hook(yyjson_val *root, std::string_view name, wh_hook *hook);

// The whole file's text for the store (texts under WH_UTF8_DROP).
void wh_store_json_write(wh_buf *b, const wh_store *store);

// One log entry: {"at","name","status","ok","bytes","ms","error"} and
// "message_id" when it has one, its texts
// under rule (WH_UTF8_DROP for the file, WH_UTF8_REPLACE for the list).
void wh_store_json_log_entry(wh_buf *b, const wh_log_entry *entry, wh_utf8_rule rule);
