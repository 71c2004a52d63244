#include "api.h"

#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "cgi_answer.h"
#include "cgi_query.h"
#include "delivery.h"
#include "plat.h"
#include "raii.h"
#include "wh_err.h"
#include "wh_guard.h"
#include "wh_hook_view.h"
#include "wh_json.h"
#include "wh_limits.h"
#include "wh_store.h"

namespace {

constexpr size_t kMaxBody = 8388608;  // 8 MiB, from standard input or a body file
// A body of up to a megabyte (a fire's payload) in 64 KiB reads, not in
// hundreds of small ones.
constexpr size_t kChunk = 65536;
constexpr size_t kNameCap = sizeof wh_hook::name;
constexpr size_t kPayloadCap = WH_PAYLOAD_LIMIT;  // a terminated text: one byte less is sent

struct api_request {
  const char *query;
  const char *body;  // never null; "" when the request had none
  wh_buf *body_buf;  // body's own buffer (null when there is none), for a fire to parse in place
};

// CONTENT_LENGTH bytes of standard input (1 to 8 MiB, else none); a body that
// ends early is kept as far as it came, and nothing past the length is read.
void read_body_stdin(const char *content_length, wh_buf *b) {
  long want = strtol(content_length, nullptr, 10);
  if (want < 1 || want > static_cast<long>(kMaxBody)) return;
  auto chunk = std::make_unique_for_overwrite<char[]>(kChunk);
  size_t left = static_cast<size_t>(want);
  while (left) {
    long n = plat_read_stdin(chunk.get(), left < kChunk ? left : kChunk);
    if (n <= 0) break;
    wh_buf_add(b, chunk.get(), static_cast<size_t>(n));
    left -= static_cast<size_t>(n);
  }
}

void read_body(wh_buf *b) {
  const char *file = plat_env("POST_BODY_FILE");
  // A body file is read up to the same bound as standard input: a larger one
  // is dropped whole, as an oversize CONTENT_LENGTH is, so that no file can
  // make the process take unbounded memory.
  if (file && *file) {
    plat_read_file(file, kMaxBody, b);
    return;
  }
  const char *length = plat_env("CONTENT_LENGTH");
  if (length && *length) read_body_stdin(length, b);
}

// Loads the store for a request that only reads it; answers 500 and returns
// null when it cannot.
wh_store_ptr load_or_answer() {
  wh_store_ptr store = wh_store_new();
  if (!store) {
    api_err(500, "out of memory");
    return nullptr;
  }
  char err[WH_ERR_CAP];
  if (wh_store_load(store.get(), err, sizeof err) != 0) {
    api_err(500, err);
    return nullptr;
  }
  return store;
}

// The root of a body when it parses as a JSON object, else null.
yyjson_val *body_object(const yy_doc &doc) {
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  return yyjson_is_obj(root) ? root : nullptr;
}

void api_list(const api_request &) {
  auto store = load_or_answer();
  if (!store) return;
  wh_text out;
  wh_buf_printf(&out, "{\"ok\":true,\"count\":%d,\"hooks\":", store->hook_count);
  wh_hook_view_list(&out, store.get());
  wh_buf_lit(&out, ",\"log\":");
  wh_hook_view_log(&out, store.get());
  wh_buf_printf(&out, ",\"allow_private\":%s}", wh_allow_private() ? "true" : "false");
  if (out.failed) return api_err(500, "out of memory");
  api_ok(wh_buf_cstr(&out));
}

void api_save(const api_request &rq) {
  char edit_name[kNameCap];
  get_query_val(rq.query, "name", edit_name, sizeof edit_name);
  auto rec = std::make_unique<wh_hook>();
  long status = 500;  // stays when the lock or the load fails
  auto change = [&](wh_store *s, char *err, size_t err_size) -> wh_change {
    status = 400;  // every later failure, the write of the store included
    if (!*rq.body) return wh_err_set(err, err_size, "save needs a JSON body"), WH_CHANGE_FAILED;
    memset(rec.get(), 0, sizeof *rec);
    wh_field_copy(rec->method, WH_DEFAULT_METHOD);
    wh_hook *target = edit_name[0] ? wh_hook_find(s, edit_name) : nullptr;
    if (target) *rec = *target;
    if (wh_hook_apply(rec.get(), rq.body, target, err, err_size) != 0) return WH_CHANGE_FAILED;
    wh_hook *same = wh_hook_find(s, rec->name);
    if (same && same != target) {
      wh_err_set(err, err_size, "a hook named '%s' already exists", rec->name);
      return WH_CHANGE_FAILED;
    }
    if (target) {
      *target = *rec;  // an edit, or a rename in place that keeps the position
    } else if (s->hook_count >= WH_MAX_HOOKS) {
      wh_err_set(err, err_size, "the store already holds %d hooks (the maximum)", WH_MAX_HOOKS);
      return WH_CHANGE_FAILED;
    } else {
      s->hooks[s->hook_count++] = *rec;
    }
    return WH_CHANGE_SAVE;
  };
  char err[WH_ERR_CAP];
  if (wh_store_update(change, err, sizeof err) != 0) return api_err(status, err);
  wh_text out;
  wh_buf_str(&out, "{\"ok\":true,\"saved\":");
  wh_buf_json_str(&out, rec->name);
  wh_buf_str(&out, "}");
  api_ok(wh_buf_cstr(&out));
}

void api_delete(const api_request &rq) {
  char name[kNameCap];
  get_query_val(rq.query, "name", name, sizeof name);
  if (!name[0] && *rq.body) {
    yy_doc doc(yyjson_read(rq.body, strlen(rq.body), 0));
    wh_field_copy(name, jstr(body_object(doc), "name"));
  }
  long status = 500;
  auto change = [&](wh_store *s, char *err, size_t err_size) -> wh_change {
    status = 400;
    if (!name[0]) return wh_err_set(err, err_size, "delete needs a name"), WH_CHANGE_FAILED;
    for (int i = 0; i < s->hook_count; ++i) {
      if (strcmp(s->hooks[i].name, name) == 0) {
        wh_hook_remove(s, i);
        status = 500;  // only the write can fail now
        return WH_CHANGE_SAVE;
      }
    }
    status = 404;
    return wh_err_set(err, err_size, "no such hook"), WH_CHANGE_FAILED;
  };
  char err[WH_ERR_CAP];
  if (wh_store_update(change, err, sizeof err) != 0) return api_err(status, err);
  api_ok("{\"ok\":true,\"deleted\":true}");
}

// A fire's payload: text cut to kPayloadCap - 1 bytes (and at a NUL), from
// the query or else the JSON body. A body's payload (up to a megabyte) is not
// copied out: it is sent from the parsed body, which lives here as long.
struct fire_payload {
  const char *data = "";
  size_t len = 0;
  std::unique_ptr<char[]> query_text;
  yy_doc body;
  unique_cstr written;  // a payload that is not a string, as its compact JSON text

  void take(const char *text) {
    data = text ? text : "";
    len = strnlen(data, kPayloadCap - 1);
  }
};

// The fire parameters that the query text did not give, from a JSON body.
// The body is parsed in place where its buffer has room for the reader's
// zeroed padding, so that a megabyte of payload is not copied once more; the
// body is not read again after this.
void fire_body_members(const api_request &rq, char *name, char *extra, fire_payload *payload) {
  size_t len = strlen(rq.body);
  wh_buf *buf = rq.body_buf;
  if (buf && buf->data == rq.body && len + YYJSON_PADDING_SIZE <= buf->cap) {
    memset(buf->data + len, 0, YYJSON_PADDING_SIZE);
    payload->body.reset(yyjson_read_opts(buf->data, len, YYJSON_READ_INSITU, nullptr, nullptr));
  } else {
    payload->body.reset(yyjson_read(rq.body, len, 0));
  }
  yyjson_val *root = body_object(payload->body);
  if (!root) return;
  if (!name[0]) wh_field_copy(name, kNameCap, jstr(root, "name"));
  if (!extra[0]) wh_field_copy(extra, WH_QUERY_CAP, jstr(root, "query"));
  yyjson_val *p = yyjson_obj_get(root, "payload");
  if (!p) return;
  if (yyjson_is_str(p)) return payload->take(yyjson_get_str(p));
  // Any other value goes out as its compact JSON text.
  payload->written.reset(yyjson_val_write_opts(p, 0, nullptr, nullptr, nullptr));
  payload->take(payload->written.get());
}

// ,"message_id":"..." when the request was signed with one.
void message_id(wh_buf *out, const wh_fire_result &r) {
  if (!r.message_id[0]) return;
  wh_buf_str(out, ",\"message_id\":");
  wh_buf_json_str(out, r.message_id);
}

// The answer to a fire, for each outcome of the delivery.
void answer_fire(const wh_delivery &d) {
  wh_text out;
  switch (d.status) {
    case WH_DELIVERY_SENT: {
      const wh_fire_result &r = d.result;
      wh_buf_printf(&out,
                    "{\"ok\":true,\"delivered\":true,\"status\":%d,\"ok_status\":%s,\"ms\":%d,"
                    "\"bytes\":%llu,\"truncated\":%s,\"body_preview\":",
                    r.status, wh_status_ok(r.status) ? "true" : "false", r.elapsed_ms,
                    static_cast<unsigned long long>(r.body_len), r.truncated ? "true" : "false");
      wh_buf_json_utf8(&out, r.body);  // cut at 4096 bytes, maybe inside a character
      message_id(&out, r);
      wh_buf_str(&out, "}");
      return api_ok(wh_buf_cstr(&out));
    }
    case WH_DELIVERY_FAILED:
      wh_buf_str(&out, "{\"ok\":false,\"delivered\":false,\"error\":");
      wh_buf_json_str(&out, d.result.error);
      message_id(&out, d.result);
      wh_buf_str(&out, "}");
      return api_send(502, wh_buf_cstr(&out));
    case WH_DELIVERY_STORE_ERROR: return api_err(500, d.error);
    case WH_DELIVERY_NO_NAME: return api_err(400, "fire needs a hook name");
    case WH_DELIVERY_NO_HOOK: return api_err(404, "no such hook");
    default: return api_err(400, d.error);
  }
}

void api_fire(const api_request &rq) {
  fire_payload payload;
  payload.query_text.reset(new (std::nothrow) char[kPayloadCap]);
  if (!payload.query_text) return api_err(500, "out of memory");
  char name[kNameCap], extra[WH_QUERY_CAP];
  get_query_val(rq.query, "name", name, sizeof name);
  get_query_val(rq.query, "query", extra, sizeof extra);
  get_query_val(rq.query, "payload", payload.query_text.get(), kPayloadCap);
  payload.take(payload.query_text.get());
  if (!payload.len && *rq.body) fire_body_members(rq, name, extra, &payload);

  // The owner's own fire: never limited, never asked about.
  auto d = std::make_unique<wh_delivery>();
  wh_deliver({name, payload.data, payload.len, extra, true, false, {}}, d.get(), answer_fire);
}

struct api_action {
  const char *name;
  void (*serve)(const api_request &);
  bool changes;  // changes the store or sends
};

constexpr api_action kActions[] = {
    {"", api_list, false},    {"list", api_list, false},    {"status", api_list, false},
    {"save", api_save, true}, {"delete", api_delete, true}, {"remove", api_delete, true},
    {"fire", api_fire, true}, {"trigger", api_fire, true},  {"test", api_fire, true},
};

const api_action *find_action(const char *name) {
  for (const api_action &a : kActions)
    if (strcmp(a.name, name ? name : "") == 0) return &a;
  return nullptr;
}

}  // namespace

bool api_action_changes(const char *action) {
  const api_action *a = find_action(action);
  return !a || a->changes;
}

int mode_api(const char *query, const char *action) {
  wh_text body;
  read_body(&body);
  api_request rq{query ? query : "", body.failed ? "" : wh_buf_cstr(&body),
                 body.failed ? nullptr : &body};
  if (const api_action *a = find_action(action)) {
    a->serve(rq);
    return 0;
  }
  // The store is read even for an action that does not exist, so a broken
  // store file is reported first, whatever the request.
  if (load_or_answer()) api_err(400, "unknown action");
  return 0;
}
