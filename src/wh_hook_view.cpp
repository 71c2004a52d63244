#include "wh_hook_view.h"

#include <yyjson.h>

#include <cstring>
#include <memory>

#include "plat.h"
#include "raii.h"
#include "wh_err.h"
#include "wh_json.h"
#include "wh_limit.h"
#include "wh_limits.h"
#include "wh_sign.h"
#include "wh_store_json.h"
#include "wh_url.h"

namespace {

bool name_byte_ok(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

constexpr size_t kUrlErrCap = 128;

// A hand-edited store's fields may end in a character cut at the capacity;
// the views stay well-formed UTF-8 all the same.
template <size_t N>
void str(wh_buf *b, const char (&field)[N]) {
  wh_buf_json_field(b, field, WH_UTF8_REPLACE);
}

// ,"has_secret":true or false: whether a credential is set, never which.
void has_secret(wh_buf *b, const char *credential) {
  if (credential[0])
    wh_buf_lit(b, ",\"has_secret\":true");
  else
    wh_buf_lit(b, ",\"has_secret\":false");
}

// The first `name` member's value when it is a non-empty string, else null.
const char *nonempty_str(yyjson_val *obj, const char *key) {
  const char *s = jstr(obj, key);
  return s && *s ? s : nullptr;
}

// Rebuilds the header list from a "headers" array; values that are not sent
// come from the stored header of the same name.
void apply_headers(wh_hook *hook, yyjson_val *arr, const wh_hook *stored) {
  auto taken = std::make_unique<wh_header[]>(WH_MAX_HEADERS);
  int count = 0;
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(arr, i, n, el) {
    if (count == WH_MAX_HEADERS) break;
    const char *name = nonempty_str(el, "name");
    if (!name) continue;
    wh_header &h = taken[static_cast<size_t>(count++)];
    wh_field_copy(h.name, name);
    const char *value = jstr(el, "value");
    if (!value && stored) {
      for (int k = 0; k < stored->header_count && k < WH_MAX_HEADERS; ++k) {
        if (strcmp(stored->headers[k].name, h.name) == 0) {
          value = stored->headers[k].value;
          break;
        }
      }
    }
    wh_field_copy(h.value, value);
  }
  memcpy(hook->headers, taken.get(), sizeof(wh_header) * WH_MAX_HEADERS);
  hook->header_count = count;
}

// The owner's bounds on the model: the limit that holds (the default too;
// null for none), whether the model's trigger asks first, and the example.
void bounds_view(wh_buf *b, const wh_hook *hook) {
  wh_limit limit = wh_limit_of(hook);
  const char *per = wh_limit_per_name(limit.per);
  // Written piece by piece: a formatted write for each of 64 hooks would
  // cost a list more than the rest of the bounds.
  if (limit.count > 0 && per) {
    wh_buf_lit(b, ",\"limit\":{\"count\":");
    wh_buf_long(b, limit.count);
    wh_buf_lit(b, ",\"per\":\"");
    wh_buf_str(b, per);
    wh_buf_lit(b, "\"}");
  } else {
    wh_buf_lit(b, ",\"limit\":null");
  }
  if (hook->confirm)
    wh_buf_lit(b, ",\"confirm\":true");
  else
    wh_buf_lit(b, ",\"confirm\":false");
  wh_buf_lit(b, ",\"example\":");
  str(b, hook->example);
}

// The owner's bounds on the model from a save's body; a member left out
// keeps what the hook holds. Their values' rules are wh_hook_validate's.
int apply_bounds(wh_hook *hook, yyjson_val *root, char *err, size_t err_size) {
  if (yyjson_val *v = yyjson_obj_get(root, "limit")) {
    wh_limit limit{0, 0};
    if (!yyjson_is_null(v) && !wh_limit_from_json(v, &limit))
      return wh_err_set(err, err_size,
                        "limit must be null or {\"count\": 1 to %d, \"per\": \"minute\", "
                        "\"hour\" or \"day\"}",
                        WH_LIMIT_COUNT_MAX);
    wh_limit_set(hook, limit);
  }
  if (yyjson_val *v = yyjson_obj_get(root, "confirm")) {
    if (!yyjson_is_bool(v)) return wh_err_set(err, err_size, "confirm must be true or false");
    hook->confirm = yyjson_get_bool(v);
  }
  if (yyjson_val *v = yyjson_obj_get(root, "example")) {
    if (!yyjson_is_null(v) && !yyjson_is_str(v))
      return wh_err_set(err, err_size, "example must be a string holding JSON text");
    const char *text = yyjson_get_str(v);
    size_t len = yyjson_get_len(v);
    if (len >= WH_EXAMPLE_CAP)
      return wh_err_set(err, err_size, "example is longer than %u bytes",
                        static_cast<unsigned>(WH_EXAMPLE_CAP - 1));
    // The field ends at a NUL, which would leave less than was sent to check.
    if (text && strnlen(text, len) != len)
      return wh_err_set(err, err_size, "example is not valid JSON: it holds a NUL byte");
    wh_field_copy(hook->example, text);
  }
  return 0;
}

void hook_view(wh_buf *b, const wh_hook *hook) {
  wh_buf_lit(b, "{\"name\":");
  str(b, hook->name);
  wh_buf_lit(b, ",\"method\":");
  str(b, hook->method);
  wh_buf_lit(b, ",\"desc\":");
  str(b, hook->desc);
  wh_buf_lit(b, ",\"sig\":");
  str(b, hook->sig);
  has_secret(b, hook->secret);
  // Whether a rotation runs and until when; never the previous secret.
  if (wh_sign_rotating(hook, plat_time()))
    wh_buf_printf(b, ",\"rotation_until\":%lld", static_cast<long long>(hook->prev_until));

  char shown[WH_URL_SHOWN_CAP];
  shown[0] = '\0';
  char url_err[kUrlErrCap];
  wh_url url;
  if (wh_url_parse(hook->url, &url, url_err, sizeof url_err) == 0)
    wh_url_redact(&url, shown, sizeof shown);
  wh_buf_lit(b, ",\"url\":");
  str(b, shown);

  wh_buf_lit(b, ",\"headers\":[");
  for (int i = 0; i < hook->header_count && i < WH_MAX_HEADERS; ++i) {
    if (i) wh_buf_lit(b, ",");
    wh_buf_lit(b, "{\"name\":");
    str(b, hook->headers[i].name);
    has_secret(b, hook->headers[i].value);
    wh_buf_lit(b, "}");
  }
  wh_buf_lit(b, "]");
  bounds_view(b, hook);
  wh_buf_lit(b, "}");
}

// The owner's bounds on the model: a limit the store can write back, and an
// example the model can read as JSON.
int validate_bounds(const wh_hook *hook, char *err, size_t err_size) {
  if (hook->limit_count > 0 &&
      (hook->limit_count > WH_LIMIT_COUNT_MAX || !wh_limit_per_name(hook->limit_per)))
    return wh_err_set(err, err_size, "limit must count 1 to %d triggers per minute, hour or day",
                      WH_LIMIT_COUNT_MAX);
  if (!hook->example[0]) return 0;
  yyjson_read_err rerr;
  yy_doc example(yyjson_read_opts(const_cast<char *>(hook->example),
                                  strnlen(hook->example, sizeof hook->example), 0, nullptr, &rerr));
  if (!example)
    return wh_err_set(err, err_size, "example is not valid JSON: %s at byte %u", rerr.msg,
                      static_cast<unsigned>(rerr.pos));
  return 0;
}

}  // namespace

int wh_hook_validate(const wh_hook *hook, char *err, size_t err_size) {
  wh_err_clear(err, err_size);
  if (!hook || hook->name[0] == '\0') return wh_err_set(err, err_size, "a hook needs a name");

  for (const char *p = hook->name; *p; ++p) {
    if (!name_byte_ok(static_cast<unsigned char>(*p)))
      return wh_err_set(err, err_size,
                        "hook names may contain letters, digits, dash, underscore and dot only");
  }

  char url_err[160];
  if (wh_url_parse(hook->url, nullptr, url_err, sizeof url_err) != 0)
    return wh_err_set(err, err_size, "url: %s", url_err);

  if (!wh_method_ok(hook->method))
    return wh_err_set(err, err_size, "method must be one of GET, POST, PUT, PATCH, DELETE, HEAD");

  if (hook->sig[0]) {
    if (!wh_sign_scheme_known(hook->sig))
      return wh_err_set(err, err_size, "unknown signature scheme");
    if (wh_sign_secret_check(hook->sig, hook->secret, err, err_size) != 0) return -1;
  }

  if (hook->header_count < 0 || hook->header_count > WH_MAX_HEADERS)
    return wh_err_set(err, err_size, "too many headers (max %d)", WH_MAX_HEADERS);

  for (int i = 0; i < hook->header_count; ++i) {
    const wh_header &h = hook->headers[i];
    if (!wh_header_name_ok(h.name))
      return wh_err_set(err, err_size, "header %d has an invalid name", i + 1);
    // A CR or LF would let a value start a header line of its own.
    if (strpbrk(h.value, "\r\n"))
      return wh_err_set(err, err_size, "header %s has a newline in its value", h.name);
  }
  return validate_bounds(hook, err, err_size);
}

void wh_hook_view_write(wh_buf *b, const wh_hook *hook) {
  hook_view(b, hook);
}

void wh_hook_view_list(wh_buf *b, const wh_store *store) {
  wh_buf_lit(b, "[");
  for (int i = 0; i < store->hook_count && i < WH_MAX_HOOKS; ++i) {
    if (i) wh_buf_lit(b, ",");
    hook_view(b, &store->hooks[i]);
  }
  wh_buf_lit(b, "]");
}

void wh_hook_view_log(wh_buf *b, const wh_store *store) {
  wh_buf_lit(b, "[");
  for (int i = 0; i < store->log_count && i < WH_MAX_LOG; ++i) {
    if (i) wh_buf_lit(b, ",");
    wh_store_json_log_entry(b, &store->log[i], WH_UTF8_REPLACE);
  }
  wh_buf_lit(b, "]");
}

int wh_hook_apply(wh_hook *hook, const char *body, const wh_hook *stored, char *err,
                  size_t err_size) {
  wh_err_clear(err, err_size);
  if (!body || !*body) return wh_err_set(err, err_size, "empty request body");
  yy_doc doc(yyjson_read(body, strlen(body), 0));
  if (!doc) return wh_err_set(err, err_size, "request body is not valid JSON");
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) return wh_err_set(err, err_size, "request body must be a JSON object");

  if (const char *s = jstr(root, "name")) wh_field_copy(hook->name, s);
  if (const char *s = jstr(root, "url")) wh_field_copy(hook->url, s);
  if (const char *s = jstr(root, "desc")) wh_field_copy(hook->desc, s);
  if (const char *s = jstr(root, "method")) {
    wh_field_copy(hook->method, s);
    for (char *p = hook->method; *p; ++p)
      if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  }
  if (!hook->method[0]) wh_field_copy(hook->method, WH_DEFAULT_METHOD);

  // The page never receives the secret: a blank one keeps the stored secret
  // (and a previous one), unless the scheme is being removed, which takes the
  // secrets with it. "rotate" keeps the stored secret signing beside a new
  // one for a while; a changed scheme or "end_rotation" ends that at once.
  const char *sig = jstr(root, "sig");
  bool sig_changed = sig && strncmp(sig, hook->sig, sizeof hook->sig - 1) != 0;
  if (sig) wh_field_copy(hook->sig, sig);
  bool rotate = yyjson_is_true(yyjson_obj_get(root, "rotate"));
  int64_t now = plat_time();
  if (sig_changed || yyjson_is_true(yyjson_obj_get(root, "end_rotation")))
    wh_sign_end_rotation(hook);
  if (const char *s = nonempty_str(root, "secret")) {
    wh_sign_set_secret(hook, s, rotate && !sig_changed, now);
  } else if (rotate) {
    return wh_err_set(err, err_size, "a rotation needs the new secret");
  } else if (!hook->sig[0]) {
    memset(hook->secret, 0, sizeof hook->secret);
  }
  // A previous secret that signs no more (its time is over, or the scheme
  // carries one value) is not kept.
  if (!wh_sign_rotating(hook, now)) wh_sign_end_rotation(hook);

  yyjson_val *headers = yyjson_obj_get(root, "headers");
  if (yyjson_is_arr(headers)) apply_headers(hook, headers, stored);
  if (apply_bounds(hook, root, err, err_size) != 0) return -1;
  doc.reset();

  if (!hook->name[0]) return wh_err_set(err, err_size, "a hook needs a name");
  return wh_hook_validate(hook, err, err_size);
}
