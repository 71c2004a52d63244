#include "mcp_confirm.h"

#include <cstdio>
#include <cstring>

#include "plat.h"
#include "sha256.h"
#include "wh_base64.h"
#include "wh_json.h"
#include "wh_utf8.h"

namespace {

constexpr char kInputKey[] = "confirm";
constexpr size_t kTicketBytes = 18;  // 144 random bits, 24 characters of requestState
constexpr size_t kTicketText = wh_base64_encoded_len(kTicketBytes, WH_BASE64_URL);
static_assert(kTicketText < sizeof mcp_input_required::state);

// The first cap bytes of len, stepping back over a character the cut would
// split.
size_t shown_len(const char *p, size_t len, size_t cap) {
  if (len <= cap) return len;
  const auto *u = reinterpret_cast<const unsigned char *>(p);
  size_t k = cap;
  while (k > 0 && cap - k < 3 && (u[k - 1] & 0xC0) == 0x80) --k;
  if (k > 0 && u[k - 1] >= 0xC0 && wh_utf8_char_len(u + k - 1, cap - k + 1) == 0) return k - 1;
  return cap;
}

// Text from the model as the person reads it: a control character (a
// terminal's escape among them) is shown as \xNN, never acted on.
void add_shown(wh_buf *b, const char *p, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f)
      wh_buf_printf(b, "\\x%02x", c);
    else
      wh_buf_char(b, static_cast<char>(c));
  }
}

// An ElicitRequest's params: the question, and a form with no fields, as
// accepting or declining is the whole answer.
void write_question(const wh_approval_question &q, wh_buf *params) {
  wh_text m;
  wh_buf_str(&m, "The model asks to send the webhook '");
  add_shown(&m, q.name, strlen(q.name));
  wh_buf_str(&m, "'. Send it?\n\nPayload");
  const char *payload = static_cast<const char *>(q.payload);
  size_t shown = shown_len(payload, q.payload_len, MCP_CONFIRM_SHOWN);
  if (shown < q.payload_len)
    wh_buf_printf(&m, " (the first %u of %u bytes)", static_cast<unsigned>(shown),
                  static_cast<unsigned>(q.payload_len));  // at most the payload limit
  wh_buf_str(&m, ":\n");
  add_shown(&m, payload, shown);
  if (q.query[0]) {
    wh_buf_str(&m, "\n\nQuery: ");
    add_shown(&m, q.query, strlen(q.query));
  }
  wh_buf_str(&m, "\n\nAccept sends it once; decline sends nothing.");
  wh_buf_str(params, "{\"message\":");
  wh_buf_json_text(params, wh_buf_cstr(&m), m.len, WH_UTF8_REPLACE);
  wh_buf_str(params, ",\"requestedSchema\":{\"type\":\"object\",\"properties\":{}}}");
}

// Whether the declared capabilities let the server ask in form mode: an
// elicitation object that names form, or names no mode at all.
bool asks_in_form(yyjson_val *capabilities) {
  yyjson_val *e = yyjson_obj_get(capabilities, "elicitation");
  if (!yyjson_is_obj(e)) return false;
  return yyjson_obj_get(e, "form") || !yyjson_obj_get(e, "url");
}

wh_approval answered(mcp_answer a, char *why, const char *none) {
  if (a == MCP_ANSWER_ACCEPT) return WH_APPROVAL_GIVEN;
  if (a != MCP_ANSWER_NONE) return WH_APPROVAL_DECLINED;  // decline and cancel alike
  if (none) snprintf(why, WH_ERR_CAP, "%s", none);
  return WH_APPROVAL_NOT_GIVEN;
}

// ---- Stateless questions -------------------------------------------------------

struct ticket {
  char text[kTicketText + 1];  // the requestState
  unsigned char bound[32];     // the trigger it is good for
  int64_t until = 0;           // lapses then (monotonic ms); 0: free
};
ticket tickets[MCP_CONFIRM_TICKETS];

// Hook, query and payload as one digest; a name and a query hold no NUL.
void bind(const wh_approval_question &q, unsigned char out[32]) {
  kr_sha256_ctx c;
  kr_sha256_init(&c);
  kr_sha256_update(&c, q.name, strlen(q.name) + 1);
  kr_sha256_update(&c, q.query, strlen(q.query) + 1);
  kr_sha256_update(&c, q.payload, q.payload_len);
  kr_sha256_final(&c, out);
}

bool issue(const wh_approval_question &q, mcp_input_required *pending) {
  ticket *t = tickets;
  for (ticket &x : tickets)
    if (x.until < t->until) t = &x;
  unsigned char id[kTicketBytes];
  if (!plat_random(id, sizeof id)) return false;
  wh_base64_encode(id, sizeof id, WH_BASE64_URL, t->text);
  bind(q, t->bound);
  t->until = plat_now_ms() + MCP_ASK_WAIT_MS;
  memcpy(pending->state, t->text, sizeof t->text);
  wh_buf_str(&pending->requests, "{\"confirm\":{\"method\":\"elicitation/create\",\"params\":");
  write_question(q, &pending->requests);
  wh_buf_str(&pending->requests, "}}");
  return true;
}

// Takes the ticket the state names when it is good for this trigger; a
// ticket presented for another one is taken too, so it cannot be tried again.
bool redeem(yyjson_val *state, const wh_approval_question &q) {
  if (yyjson_get_len(state) != kTicketText) return false;
  int64_t now = plat_now_ms();
  for (ticket &t : tickets) {
    if (t.until == 0 || !kr_ct_eq(t.text, yyjson_get_str(state), kTicketText)) continue;
    bool live = t.until > now;
    t.until = 0;
    unsigned char bound[32];
    bind(q, bound);
    return live && kr_ct_eq(t.bound, bound, sizeof bound);
  }
  return false;
}

wh_approval ask_stateless(yyjson_val *params, mcp_input_required *pending,
                          const wh_approval_question &q, char *why) {
  yyjson_val *state = yyjson_obj_get(params, "requestState");
  yyjson_val *answer = yyjson_obj_get(yyjson_obj_get(params, "inputResponses"), kInputKey);
  if (state && !(yyjson_is_str(state) && redeem(state, q))) {
    snprintf(why, WH_ERR_CAP,
             "the owner's answer in this call is not for this trigger (another hook, payload "
             "or query), has lapsed or was used already; call again without it to be asked anew");
    return WH_APPROVAL_NOT_GIVEN;
  }
  if (!state || !answer) {  // not asked yet, or the answer missing: ask
    if (issue(q, pending)) return WH_APPROVAL_PENDING;
    snprintf(why, WH_ERR_CAP, "the question could not be put: no random source");
    return WH_APPROVAL_NOT_GIVEN;
  }
  return answered(mcp_answer_of(answer), why, "the owner's answer could not be read");
}

}  // namespace

wh_delivery_approve mcp_confirm_approver(const mcp_session &session, yyjson_val *params,
                                         mcp_input_required *pending) {
  if (!session.version->elicitation || !asks_in_form(session.client_capabilities)) return {};
  if (session.version->stateless)
    return [params, pending](const wh_approval_question &q, char *why) {
      return ask_stateless(params, pending, q, why);
    };
  if (!session.ask) return {};
  return [ask = session.ask](const wh_approval_question &q, char *why) {
    wh_text question;
    write_question(q, &question);
    return answered((*ask)({wh_buf_cstr(&question), question.len}, why, WH_ERR_CAP), why, nullptr);
  };
}
