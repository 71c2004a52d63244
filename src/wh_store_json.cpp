// The store file's text and the store record: the reader fills the slots the
// file uses, the writer writes the record back in one fixed form.
#include "wh_store_json.h"

#include <cstdint>
#include <cstring>
#include <iterator>

#include "wh_limit.h"
#include "wh_limits.h"

namespace {

// The values of the first members named keys[0..N-1] (null where there is
// none), found in one pass over the object's members: a store holds thousands
// of small objects, and a lookup per key would walk each object once a key.
template <size_t N>
void first_members(yyjson_val *obj, const std::string_view (&keys)[N], yyjson_val *(&out)[N]) {
  for (yyjson_val *&v : out) v = nullptr;
  size_t idx, max, found = 0;
  yyjson_val *key, *val;
  yyjson_obj_foreach(obj, idx, max, key, val) {
    std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    for (size_t i = 0; i < N; ++i) {
      if (name != keys[i]) continue;
      if (!out[i]) {  // only the first occurrence counts, whatever its type
        out[i] = val;
        if (++found == N) return;
      }
      break;
    }
  }
}

// A string member's text, or null for any other value (or none).
const char *text_of(yyjson_val *v) {
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// An integer member: the low 32 bits of a JSON integer, as signed. Numbers
// with a fraction or exponent, and integers beyond 64 bits (which the parser
// keeps as reals), give 0.
int int_of(yyjson_val *v) {
  uint64_t bits;
  if (yyjson_is_uint(v))
    bits = yyjson_get_uint(v);
  else if (yyjson_is_sint(v))
    bits = static_cast<uint64_t>(yyjson_get_sint(v));
  else
    return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

// A time in unix seconds: a JSON integer within int64_t, else 0.
int64_t seconds_of(yyjson_val *v) {
  if (yyjson_is_sint(v)) return yyjson_get_sint(v);
  if (yyjson_is_uint(v) && yyjson_get_uint(v) <= INT64_MAX)
    return static_cast<int64_t>(yyjson_get_uint(v));
  return 0;
}

constexpr std::string_view kHookKeys[] = {"name", "url", "method", "desc", "sig", "secret",
                                          "previous_secret", "previous_until", "headers",
                                          // the owner's bounds on the model (read_bounds)
                                          "limit", "confirm", "example", "triggers"};
constexpr size_t kBoundsAt = 9;
constexpr std::string_view kHeaderKeys[] = {"name", "value"};
constexpr std::string_view kLogKeys[] = {"at",    "name", "status", "ok",
                                         "bytes", "ms",   "error",  "message_id"};

// The owner's bounds on the model from their members (limit, confirm,
// example, triggers), every field set. A limit that is neither null nor a
// valid limit is the default: a mistyped limit in a hand-edited file does
// not lift the bound.
void read_bounds(yyjson_val *const *m, wh_hook *h) {
  wh_limit limit = WH_LIMIT_DEFAULT;
  if (yyjson_is_null(m[0]))
    limit = {0, 0};
  else
    wh_limit_from_json(m[0], &limit);
  wh_limit_set(h, limit);
  h->confirm = yyjson_is_true(m[1]);
  wh_field_copy(h->example, text_of(m[2]));
  h->window_count = int_of(yyjson_obj_get(m[3], "count"));
  h->window_start = seconds_of(yyjson_obj_get(m[3], "window"));
  if (h->window_count <= 0) {
    h->window_count = 0;
    h->window_start = 0;
  }
}

// Fills a slot whatever it held before: every field gets its text and its
// terminator, and the header count starts from 0.
void read_hook(yyjson_val *obj, wh_hook *h) {
  yyjson_val *m[std::size(kHookKeys)];
  first_members(obj, kHookKeys, m);
  h->header_count = 0;
  wh_field_copy(h->name, text_of(m[0]));
  wh_field_copy(h->url, text_of(m[1]));
  wh_field_copy(h->method, text_of(m[2]));
  if (h->method[0] == '\0') wh_field_copy(h->method, WH_DEFAULT_METHOD);
  wh_field_copy(h->desc, text_of(m[3]));
  wh_field_copy(h->sig, text_of(m[4]));
  wh_field_copy(h->secret, text_of(m[5]));
  // An end without a previous secret ends nothing and is not kept.
  wh_field_copy(h->prev_secret, text_of(m[6]));
  h->prev_until = h->prev_secret[0] ? seconds_of(m[7]) : 0;
  read_bounds(m + kBoundsAt, h);

  yyjson_val *headers = m[8];
  if (!yyjson_is_arr(headers)) return;
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(headers, i, n, el) {
    if (h->header_count >= WH_MAX_HEADERS) break;
    if (!yyjson_is_obj(el)) continue;
    yyjson_val *hm[std::size(kHeaderKeys)];
    first_members(el, kHeaderKeys, hm);
    wh_header &slot = h->headers[h->header_count];
    wh_field_copy(slot.name, text_of(hm[0]));
    if (slot.name[0] == '\0') continue;  // unnamed headers take no slot
    wh_field_copy(slot.value, text_of(hm[1]));
    ++h->header_count;
  }
}

// Fills a slot whatever it held before: every field is set.
void read_log_entry(yyjson_val *obj, wh_log_entry *e) {
  yyjson_val *m[std::size(kLogKeys)];
  first_members(obj, kLogKeys, m);
  wh_field_copy(e->at, text_of(m[0]));
  wh_field_copy(e->name, text_of(m[1]));
  e->status = int_of(m[2]);
  e->ok = yyjson_is_true(m[3]) ? 1 : 0;
  e->bytes = int_of(m[4]);
  e->ms = int_of(m[5]);
  wh_field_copy(e->error, text_of(m[6]));
  wh_field_copy(e->message_id, text_of(m[7]));
}

}  // namespace

void wh_store_json_read(yyjson_val *root, wh_store *store) {
  if (!yyjson_is_obj(root)) return;
  size_t i, n;
  yyjson_val *el;

  yyjson_val *hooks = yyjson_obj_get(root, "hooks");
  if (yyjson_is_arr(hooks)) {
    yyjson_arr_foreach(hooks, i, n, el) {
      if (store->hook_count >= WH_MAX_HOOKS) break;
      if (!yyjson_is_obj(el)) continue;
      // An unnamed element's slot is filled again by the next one.
      wh_hook *slot = &store->hooks[store->hook_count];
      read_hook(el, slot);
      if (slot->name[0]) ++store->hook_count;
    }
  }

  yyjson_val *log = yyjson_obj_get(root, "log");
  if (yyjson_is_arr(log)) {
    yyjson_arr_foreach(log, i, n, el) {
      if (store->log_count >= WH_MAX_LOG) break;
      if (!yyjson_is_obj(el)) continue;
      wh_log_entry *slot = &store->log[store->log_count];
      read_log_entry(el, slot);
      if (slot->name[0]) ++store->log_count;
    }
  }
}

bool wh_store_json_read_hook(yyjson_val *root, std::string_view name, wh_hook *hook) {
  yyjson_val *hooks = yyjson_is_obj(root) ? yyjson_obj_get(root, "hooks") : nullptr;
  if (!yyjson_is_arr(hooks)) return false;
  int counted = 0;
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(hooks, i, n, el) {
    if (counted >= WH_MAX_HOOKS) break;
    if (!yyjson_is_obj(el)) continue;
    const char *text = text_of(yyjson_obj_get(el, "name"));
    size_t len = text ? strnlen(text, sizeof hook->name - 1) : 0;
    if (len == 0) continue;  // unnamed: takes no slot
    ++counted;
    if (std::string_view(text, len) != name) continue;
    read_hook(el, hook);
    return true;
  }
  return false;
}

namespace {

// Fields go out under WH_UTF8_DROP: the file is read back as strict JSON,
// which refuses bytes that are not well-formed UTF-8, and one of them would
// make the whole store unloadable.
template <size_t N>
void write_text(wh_buf *b, const char (&field)[N]) {
  wh_buf_json_field(b, field, WH_UTF8_DROP);
}

// The owner's bounds on the model, each member only when it holds more than
// its default: a store written without them is written again byte for byte.
void write_bounds(wh_buf *b, const wh_hook &h) {
  const char *per = wh_limit_per_name(h.limit_per);
  if (h.limit_count < 0)
    wh_buf_lit(b, ",\"limit\":null");
  else if (h.limit_count > 0 && per)
    wh_buf_printf(b, ",\"limit\":{\"count\":%d,\"per\":\"%s\"}", h.limit_count, per);
  if (h.confirm) wh_buf_lit(b, ",\"confirm\":true");
  if (h.example[0]) {
    wh_buf_lit(b, ",\"example\":");
    write_text(b, h.example);
  }
  if (h.window_count > 0)
    wh_buf_printf(b, ",\"triggers\":{\"window\":%lld,\"count\":%d}",
                  static_cast<long long>(h.window_start), h.window_count);
}

}  // namespace

void wh_store_json_write(wh_buf *b, const wh_store *s) {
  wh_buf_lit(b, "{\"version\":1,\"hooks\":[");
  for (int i = 0; i < s->hook_count && i < WH_MAX_HOOKS; ++i) {
    const wh_hook &h = s->hooks[i];
    if (i) wh_buf_lit(b, ",");
    wh_buf_lit(b, "{\"name\":");
    write_text(b, h.name);
    wh_buf_lit(b, ",\"url\":");
    write_text(b, h.url);
    wh_buf_lit(b, ",\"method\":");
    write_text(b, h.method);
    wh_buf_lit(b, ",\"desc\":");
    write_text(b, h.desc);
    wh_buf_lit(b, ",\"sig\":");
    write_text(b, h.sig);
    wh_buf_lit(b, ",\"secret\":");
    write_text(b, h.secret);
    if (h.prev_secret[0]) {
      wh_buf_lit(b, ",\"previous_secret\":");
      write_text(b, h.prev_secret);
      wh_buf_printf(b, ",\"previous_until\":%lld", static_cast<long long>(h.prev_until));
    }
    wh_buf_lit(b, ",\"headers\":[");
    for (int j = 0; j < h.header_count && j < WH_MAX_HEADERS; ++j) {
      if (j) wh_buf_lit(b, ",");
      wh_buf_lit(b, "{\"name\":");
      write_text(b, h.headers[j].name);
      wh_buf_lit(b, ",\"value\":");
      write_text(b, h.headers[j].value);
      wh_buf_lit(b, "}");
    }
    wh_buf_lit(b, "]");
    write_bounds(b, h);
    wh_buf_lit(b, "}");
  }
  wh_buf_lit(b, "],\"log\":[");
  for (int i = 0; i < s->log_count && i < WH_MAX_LOG; ++i) {
    if (i) wh_buf_lit(b, ",");
    wh_store_json_log_entry(b, &s->log[i], WH_UTF8_DROP);
  }
  wh_buf_lit(b, "]}");
}

void wh_store_json_log_entry(wh_buf *b, const wh_log_entry *e, wh_utf8_rule rule) {
  wh_buf_lit(b, "{\"at\":");
  wh_buf_json_field(b, e->at, rule);
  wh_buf_lit(b, ",\"name\":");
  wh_buf_json_field(b, e->name, rule);
  wh_buf_lit(b, ",\"status\":");
  wh_buf_long(b, e->status);
  if (e->ok)
    wh_buf_lit(b, ",\"ok\":true,\"bytes\":");
  else
    wh_buf_lit(b, ",\"ok\":false,\"bytes\":");
  wh_buf_long(b, e->bytes);
  wh_buf_lit(b, ",\"ms\":");
  wh_buf_long(b, e->ms);
  wh_buf_lit(b, ",\"error\":");
  wh_buf_json_field(b, e->error, rule);
  if (e->message_id[0]) {
    wh_buf_lit(b, ",\"message_id\":");
    wh_buf_json_field(b, e->message_id, rule);
  }
  wh_buf_lit(b, "}");
}
