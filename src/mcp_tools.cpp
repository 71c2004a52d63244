#include "mcp_tools.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "delivery.h"
#include "raii.h"
#include "wh_err.h"
#include "wh_json.h"
#include "wh_limit.h"
#include "wh_limits.h"
#include "wh_store.h"
#include "wh_url.h"

namespace {

constexpr char TOOL_LIST_SCHEMA[] =
    "{\"type\":\"object\",\"properties\":{\"redact_url\":{\"type\":\"boolean\",\"description\":"
    "\"Show each endpoint as scheme, host and port only, with any path and query string "
    "replaced by <redacted>: webhook URLs carry their tokens there (default true). Set false "
    "only when you must see the exact URL, and remember the answer then contains the provider "
    "token.\"}},\"additionalProperties\":false}";

constexpr char TOOL_TRIGGER_SCHEMA[] =
    "{\"type\":\"object\",\"properties\":{\"name\":{\"type\":\"string\",\"description\":\"The "
    "name of a stored hook, exactly as webhook_list reported it.\"},\"payload\":{\"type\":"
    "\"string\",\"description\":\"The request body. A JSON object or array is sent as-is; a "
    "bare string is sent as a JSON string literal. Defaults to {}.\"},\"query\":{\"type\":"
    "\"string\",\"description\":\"Optional query string appended to the hook's URL, without a "
    "leading ? (for example event=deploy&env=prod).\"}},\"required\":[\"name\"],"
    "\"additionalProperties\":false}";

static_assert(sizeof TOOL_TRIGGER_SCHEMA - 1 == 499);

constexpr char TOOL_LIST_OUTPUT[] =
    "{\"type\":\"object\",\"properties\":{\"hooks\":{\"type\":\"array\",\"description\":\"The "
    "stored hooks, in the store's order.\",\"items\":{\"type\":\"object\",\"properties\":{"
    "\"name\":{\"type\":\"string\"},\"method\":{\"type\":\"string\"},\"url\":{\"type\":"
    "\"string\",\"description\":\"The endpoint as the text shows it: scheme, host and port, "
    "with any path and query string replaced by <redacted> unless redact_url was false.\"},"
    "\"signature\":{\"type\":\"string\",\"description\":\"The signing scheme; empty when the "
    "hook is not signed.\"},\"headers\":{\"type\":\"integer\",\"minimum\":0,\"description\":"
    "\"How many extra headers the hook sends; their values are never shown.\"},\"limit\":{"
    "\"type\":\"string\",\"description\":\"How often webhook_trigger may send the hook, as the "
    "text shows it (30/hour, or none).\"},\"ask_first\":{\"type\":\"boolean\",\"description\":"
    "\"Whether the owner must approve each trigger.\"},\"example\":{\"type\":\"string\","
    "\"description\":\"A payload to follow, as JSON text; empty for none.\"},\"description\":"
    "{\"type\":\"string\"}},\"required\":[\"name\",\"method\",\"url\",\"signature\",\"headers\","
    "\"limit\",\"ask_first\",\"example\",\"description\"],\"additionalProperties\":false}},"
    "\"warning\":{\"type\":\"string\","
    "\"description\":\"Why the store could not be read whole, when it could not.\"}},\"required\":"
    "[\"hooks\"],\"additionalProperties\":false}";

constexpr char TOOL_TRIGGER_OUTPUT[] =
    "{\"type\":\"object\",\"properties\":{\"hook\":{\"type\":\"string\",\"description\":\"The "
    "hook sent.\"},\"status\":{\"type\":\"integer\",\"description\":\"The HTTP status of the "
    "answer; 0 when no exchange took place.\"},\"ok\":{\"type\":\"boolean\",\"description\":"
    "\"Whether the status is a 2xx one.\"},\"ms\":{\"type\":\"integer\",\"minimum\":0,"
    "\"description\":\"Milliseconds the exchange took.\"},\"bytes\":{\"type\":\"integer\","
    "\"minimum\":0,\"description\":\"Bytes of the answer's body that body holds (at most "
    "4096).\"},\"truncated\":{\"type\":\"boolean\",\"description\":\"Whether body is only the "
    "start of a larger answer.\"},\"body\":{\"type\":\"string\",\"description\":\"The start of "
    "the answer's body, with any of the hook's credentials hidden.\"},\"error\":{\"type\":"
    "\"string\",\"description\":\"Why the delivery failed, when it did.\"},\"message_id\":{"
    "\"type\":\"string\",\"description\":\"The message id of the delivery, where the hook's "
    "signing scheme gives one.\"}},\"required\":[\"hook\",\"status\",\"ok\",\"ms\",\"bytes\","
    "\"truncated\",\"body\"],\"additionalProperties\":false}";

}  // namespace

const wh_tool TOOLS[2] = {
    {"webhook_list", "List webhooks",
     "List the named webhooks configured on this node: name, method, endpoint (path and query "
     "redacted), whether it is HMAC-signed and how many secret headers it carries. Secrets are "
     "never returned. Call this first to learn which names webhook_trigger accepts.",
     TOOL_LIST_SCHEMA, TOOL_LIST_OUTPUT, "\"readOnlyHint\":true"},
    {"webhook_trigger", "Trigger webhook",
     "Send one stored webhook by name with a JSON payload. The stored headers, bearer tokens and "
     "HMAC signature are applied on the node; the secret never enters this conversation. Returns "
     "the HTTP status, latency and the first 4 KiB of the response body, with any of the hook's "
     "credentials that the endpoint echoes back hidden.",
     TOOL_TRIGGER_SCHEMA, TOOL_TRIGGER_OUTPUT,
     "\"readOnlyHint\":false,\"destructiveHint\":true,\"idempotentHint\":false,"
     "\"openWorldHint\":true"},
};

void mcp_write_tools(wh_buf *b, const mcp_version &version) {
  bool sep = false;
  for (const wh_tool &t : TOOLS) {
    if (sep) wh_buf_str(b, ",");
    sep = true;
    int first = 1;
    wh_buf_str(b, "{");
    wh_buf_key(b, "name", &first);
    wh_buf_json_str(b, t.name);
    if (version.structured) {
      wh_buf_key(b, "title", &first);
      wh_buf_json_str(b, t.title);
    }
    wh_buf_key(b, "description", &first);
    wh_buf_json_str(b, t.description);
    wh_buf_key(b, "inputSchema", &first);
    wh_buf_str(b, t.input_schema);
    if (version.structured) {
      wh_buf_key(b, "outputSchema", &first);
      wh_buf_str(b, t.output_schema);
    }
    if (version.annotations) {
      wh_buf_key(b, "annotations", &first);
      wh_buf_str(b, "{\"title\":");
      wh_buf_json_str(b, t.title);
      wh_buf_str(b, ",");
      wh_buf_str(b, t.hints);
      wh_buf_str(b, "}");
    }
    wh_buf_str(b, "}");
  }
}

void mcp_write_tool_list(wh_buf *b) {
  mcp_write_tools(b, MCP_BASE_VERSION);
}

namespace {

constexpr size_t kArgsMax = 1048575;    // arguments text, a 1 MiB buffer less its NUL
constexpr size_t kResultCap = 1056768;  // tool text buffer (0x102000)
constexpr size_t kToolErr = 512;        // tool error text buffer
constexpr size_t kUrlErr = 160;

constexpr char kMissingName[] = "invalid params: missing tool name";
constexpr char kEmptyStore[] =
    "No webhooks are configured on this node. Ask the owner to add one in the webhook plugin "
    "page (Settings -> Plugins), then call webhook_list again.";
constexpr char kListHint[] =
    "\nUse webhook_trigger with one of these names. Secrets are stored on the node and never "
    "returned.\n";
constexpr char kExampleHint[] =
    "Where a hook shows an example payload, send it a payload that follows the example.\n";

const char *plural(long n) {
  return n == 1 ? "" : "s";
}

// Shortens a buffer's text to at most max bytes.
void cut_text(wh_buf *b, uint64_t max) {
  if (b->data && b->len > max) {
    b->len = max;
    b->data[max] = '\0';
  }
}

yy_doc parse_args(const char *args) {
  return yy_doc(yyjson_read_opts(const_cast<char *>(args), strlen(args), 0, nullptr, nullptr));
}

// The stored URL as the list shows it: without its query unless the caller
// asked for the exact URL.
void url_display(const char *stored, bool redact, char (&out)[WH_URL_SHOWN_CAP]) {
  if (!redact) {
    wh_field_copy(out, stored);
    return;
  }
  wh_url url;
  char err[kUrlErr];
  if (wh_url_parse(stored, &url, err, sizeof err) != 0)
    wh_field_copy(out, "(invalid url)");
  else
    wh_url_redact_path(&url, out, sizeof out);
}

// The payload of a trigger: a string argument's own bytes, any other JSON
// value as its compact text.
struct payload_arg {
  const char *data = "";
  size_t len = 0;
  unique_cstr written;
};

int read_payload(yyjson_val *v, payload_arg *p, char *err, size_t err_size) {
  if (!v) return 0;
  if (yyjson_is_str(v)) {
    p->data = yyjson_get_str(v);
    p->len = yyjson_get_len(v);
  } else {
    p->written.reset(yyjson_val_write_opts(v, 0, nullptr, &p->len, nullptr));
    if (!p->written) return wh_err_set(err, err_size, "could not serialize payload");
    p->data = p->written.get();
  }
  return 0;
}

int unknown_name(const wh_store *store, const char *name, char *err, size_t err_size) {
  wh_text t;
  wh_buf_printf(&t, "no webhook named '%s'. Configured: ", name);
  int count = store ? store->hook_count : 0;
  for (int i = 0; i < count; ++i) {
    if (i) wh_buf_str(&t, ", ");
    wh_buf_str(&t, store->hooks[i].name);
  }
  if (count == 0) wh_buf_str(&t, "(none)");
  wh_field_copy(err, err_size, wh_buf_cstr(&t));
  return -1;
}

void write_report(wh_buf *b, const char *method, const char *name, const wh_fire_result &r) {
  wh_buf_printf(b, "%s %s -> HTTP %d in %ld ms\n", method, name, r.status,
                static_cast<long>(r.elapsed_ms));
  wh_buf_printf(b, "ok: %s\n", wh_status_ok(r.status) ? "yes" : "no");
  if (r.message_id[0]) wh_buf_printf(b, "message id: %s\n", r.message_id);
  if (r.truncated)
    wh_buf_printf(b, "body (first %u bytes of a larger response):\n",
                  static_cast<unsigned>(r.body_len));
  else
    wh_buf_str(b, "body:\n");
  wh_buf_str(b, r.body_len ? r.body : "(empty)");
}

// The structured form of an exchange that was tried: what the report says,
// the reason when it failed, and the message id the request was signed with
// when its scheme gives one.
void write_outcome(wh_buf *b, const char *name, const wh_fire_result &r, const char *error) {
  wh_buf_lit(b, "{\"hook\":");
  wh_buf_json_utf8(b, name);
  wh_buf_lit(b, ",\"status\":");
  wh_buf_long(b, r.status);
  wh_buf_str(b, wh_status_ok(r.status) ? ",\"ok\":true" : ",\"ok\":false");
  wh_buf_lit(b, ",\"ms\":");
  wh_buf_long(b, r.elapsed_ms);
  wh_buf_lit(b, ",\"bytes\":");
  wh_buf_long(b, error ? 0 : static_cast<long>(r.body_len));
  wh_buf_str(b, !error && r.truncated ? ",\"truncated\":true" : ",\"truncated\":false");
  wh_buf_lit(b, ",\"body\":");
  wh_buf_json_utf8(b, error ? "" : r.body);
  if (error) {
    wh_buf_lit(b, ",\"error\":");
    wh_buf_json_utf8(b, error);
  }
  if (r.message_id[0]) {
    wh_buf_lit(b, ",\"message_id\":");
    wh_buf_json_str(b, r.message_id);
  }
  wh_buf_char(b, '}');
}

constexpr char kMissingArgs[] = "missing arguments: {\"name\":\"...\"}";
constexpr char kArgsNotJson[] = "arguments are not valid JSON";

// The trigger on its parsed arguments, with 0 / -1 results; `structured`
// (when not null) gets the outcome of an exchange that was tried.
int trigger(yyjson_val *root, wh_buf *report, wh_buf *structured,
            const wh_delivery_approve &approve, char *err, size_t err_size) {
  char name[sizeof wh_hook::name] = "";
  if (yyjson_is_obj(root)) wh_field_copy(name, yyjson_get_str(yyjson_obj_get(root, "name")));
  if (!name[0]) return wh_err_set(err, err_size, "missing required argument: name");

  payload_arg payload;
  if (read_payload(yyjson_obj_get(root, "payload"), &payload, err, err_size) != 0) return -1;
  char query[WH_QUERY_CAP];
  wh_field_copy(query, yyjson_get_str(yyjson_obj_get(root, "query")));

  // The model's trigger, bounded by the owner.
  auto d = std::make_unique<wh_delivery>();
  int rc = -1;
  wh_delivery_request rq{name, payload.data, payload.len, query, false, true, approve};
  wh_deliver(rq, d.get(), [&](const wh_delivery &o) {
    switch (o.status) {
      case WH_DELIVERY_AWAITING: rc = 0; return;
      case WH_DELIVERY_SENT:
        rc = 0;
        if (structured) write_outcome(structured, name, o.result, nullptr);
        return write_report(report, o.hook.method, name, o.result);
      case WH_DELIVERY_FAILED:
        if (structured) write_outcome(structured, name, o.result, o.result.error);
        wh_err_set(err, err_size, "could not deliver to '%s': %s", name, o.result.error);
        return;
      case WH_DELIVERY_LIMITED:
      case WH_DELIVERY_DECLINED:
      case WH_DELIVERY_UNCONFIRMED:
        wh_err_set(err, err_size, "'%s' was not sent: %s", name, o.error);
        return;
      case WH_DELIVERY_NO_HOOK: {  // the message names every stored hook
        wh_store_ptr store = wh_store_new();
        char msg[WH_ERR_CAP];
        if (store) wh_store_load(store.get(), msg, sizeof msg);
        unknown_name(store.get(), name, err, err_size);
        return;
      }
      default: wh_err_set(err, err_size, "%s", o.error);
    }
  });
  return rc;
}

// The owner's bounds on the model as plain facts after the hook's line:
// its limit, unless it has none, and whether it asks first.
void bounds_facts(wh_buf *out, const wh_hook &h) {
  wh_limit limit = wh_limit_of(&h);
  if (limit.count > 0) {
    char text[WH_LIMIT_TEXT_CAP];
    wh_limit_text(limit, text);
    wh_buf_printf(out, "  [limit: %s]", text);
  }
  if (h.confirm) wh_buf_str(out, "  [ask first]");
}

// The hook's example under it, each of its lines indented below the label.
void example_lines(wh_buf *out, const char *example) {
  wh_buf_str(out, "    example payload: ");
  for (const char *p = example;;) {
    const char *lf = strchr(p, '\n');
    if (!lf) {
      wh_buf_str(out, p);
      break;
    }
    wh_buf_add(out, p, static_cast<size_t>(lf - p) + 1);
    wh_buf_str(out, "      ");
    p = lf + 1;
  }
  wh_buf_str(out, "\n");
}

// One hook of the structured list: what its line and the lines under it
// say, its URL as the text shows it.
void write_hook(wh_buf *b, const wh_hook &h, const char *url) {
  wh_buf_lit(b, "{\"name\":");
  wh_buf_json_field(b, h.name, WH_UTF8_REPLACE);
  wh_buf_lit(b, ",\"method\":");
  wh_buf_json_field(b, h.method, WH_UTF8_REPLACE);
  wh_buf_lit(b, ",\"url\":");
  wh_buf_json_utf8(b, url);
  wh_buf_lit(b, ",\"signature\":");
  wh_buf_json_field(b, h.sig, WH_UTF8_REPLACE);
  wh_buf_lit(b, ",\"headers\":");
  wh_buf_long(b, h.header_count);
  char limit[WH_LIMIT_TEXT_CAP];
  wh_limit_text(wh_limit_of(&h), limit);
  wh_buf_lit(b, ",\"limit\":");
  wh_buf_json_str(b, limit);
  wh_buf_str(b, h.confirm ? ",\"ask_first\":true" : ",\"ask_first\":false");
  wh_buf_lit(b, ",\"example\":");
  wh_buf_json_field(b, h.example, WH_UTF8_REPLACE);
  wh_buf_lit(b, ",\"description\":");
  wh_buf_json_field(b, h.desc, WH_UTF8_REPLACE);
  wh_buf_char(b, '}');
}

// The list on its parsed arguments (null when they are absent or unreadable);
// `structured` (when not null) gets the same hooks as data.
void list(yyjson_val *root, wh_buf *out, wh_buf *structured) {
  bool redact = true;
  yyjson_val *flag = yyjson_is_obj(root) ? yyjson_obj_get(root, "redact_url") : nullptr;
  if (yyjson_is_bool(flag)) redact = yyjson_get_bool(flag);

  wh_store_ptr store = wh_store_new();
  if (!store) {
    if (structured) wh_buf_str(structured, "{\"hooks\":[],\"warning\":\"out of memory\"}");
    return wh_buf_str(out, "out of memory");
  }
  char msg[WH_ERR_CAP];
  wh_store_load(store.get(), msg, sizeof msg);  // whatever loaded is listed; msg is the warning
  if (structured) wh_buf_lit(structured, "{\"hooks\":[");

  if (store->hook_count == 0) {
    wh_buf_str(out, kEmptyStore);
  } else {
    wh_buf_printf(out, "%d configured webhook%s\n\n", store->hook_count, plural(store->hook_count));
    char url[WH_URL_SHOWN_CAP];
    bool examples = false;
    for (int i = 0; i < store->hook_count; ++i) {
      const wh_hook &h = store->hooks[i];
      url_display(h.url, redact, url);
      wh_buf_printf(out, "- %s  %s  %s", h.name, h.method, url);
      if (h.sig[0]) wh_buf_printf(out, "  [signed: %s]", h.sig);
      if (h.header_count)
        wh_buf_printf(out, "  [%d header%s]", h.header_count, plural(h.header_count));
      bounds_facts(out, h);
      wh_buf_str(out, "\n");
      if (h.desc[0]) wh_buf_printf(out, "    %s\n", h.desc);
      if (h.example[0]) example_lines(out, h.example);
      examples = examples || h.example[0];
      if (!structured) continue;
      if (i) wh_buf_char(structured, ',');
      write_hook(structured, h, url);
    }
    wh_buf_str(out, kListHint);
    if (examples) wh_buf_str(out, kExampleHint);
  }
  if (msg[0]) wh_buf_printf(out, "\nStore warning: %s\n", msg);
  if (!structured) return;
  wh_buf_char(structured, ']');
  if (msg[0]) {
    wh_buf_lit(structured, ",\"warning\":");
    wh_buf_json_utf8(structured, msg);
  }
  wh_buf_char(structured, '}');
}

}  // namespace

void tool_list(yyjson_val *args, wh_buf *out, wh_buf *structured) {
  list(args, out, structured);
  cut_text(out, kResultCap - 1);
}

int tool_trigger(yyjson_val *args, wh_buf *out, wh_buf *structured,
                 const wh_delivery_approve &approve) {
  char err[kToolErr] = "";
  if (trigger(args, out, structured, approve, err, sizeof err) == 0) return 0;
  wh_buf_str(out, err[0] ? err : "tool failed");
  return 1;
}

void mcp_call_tool(yyjson_val *params, const mcp_session &session, mcp_call_result *out) {
  out->error_code = 0;
  out->is_error = false;
  wh_buf *structured = session.version->structured ? &out->structured : nullptr;
  if (!yyjson_is_obj(params) || yyjson_obj_size(params) == 0) {
    out->error_code = -32602;
    out->error_message = kMissingName;
    return;
  }
  yyjson_val *name = yyjson_obj_get(params, "name");
  // The arguments as the tools read them: the object itself when its compact
  // text fits the 1 MiB arguments text. Writing it out (up to a megabyte of
  // payload) only to parse the text again would double the work of a large
  // trigger; the length is counted instead, and the text is written only
  // where it is cut or cannot be counted, and parsed as the tools would.
  yyjson_val *arguments = yyjson_obj_get(params, "arguments");
  yyjson_val *args = nullptr;  // the arguments object, or the root of their cut text
  bool args_text = false;      // an arguments text exists (not empty)
  yy_doc cut_doc;
  if (yyjson_is_obj(arguments)) {
    size_t counted = wh_json_written_len(arguments);
    if (counted <= kArgsMax) {
      args = arguments;
      args_text = true;
    } else {
      size_t len = 0;
      unique_cstr text(yyjson_val_write_opts(arguments, 0, nullptr, &len, nullptr));
      if (text && len > kArgsMax) text.get()[kArgsMax] = '\0';
      if (text) {
        args_text = text.get()[0] != '\0';
        cut_doc = parse_args(text.get());
        args = cut_doc ? yyjson_doc_get_root(cut_doc.get()) : nullptr;
      }
    }
  }

  if (!yyjson_is_str(name) || yyjson_get_len(name) == 0) {
    out->error_code = -32602;
    out->error_message = kMissingName;
  } else if (yyjson_equals_str(name, "webhook_list")) {
    tool_list(args, &out->text, structured);
  } else if (yyjson_equals_str(name, "webhook_trigger")) {
    if (!args_text)
      wh_buf_str(&out->text, kMissingArgs);
    else if (!args)
      wh_buf_str(&out->text, kArgsNotJson);
    out->is_error = !args_text || !args ||
                    tool_trigger(args, &out->text, structured,
                                 mcp_confirm_approver(session, params, &out->input)) != 0;
  } else {
    out->error_code = -32602;
    out->error_message = "unknown tool";
  }
}
