#include "mcp_server.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "identity.h"
#include "mcp_session.h"
#include "mcp_tools.h"
#include "plat.h"
#include "raii.h"
#include "wh_err.h"
#include "wh_json.h"

namespace {

constexpr uint64_t MCP_MAX_MESSAGE = 4194304;
constexpr char CONTENT_LENGTH[] = "Content-Length:";
constexpr size_t CONTENT_LENGTH_LEN = sizeof CONTENT_LENGTH - 1;

// Raw input block. Bytes after one message in the same read are the start of
// the next, so these live for the whole process.
char rb[16384];
uint64_t rn = 0;  // bytes the last read brought
uint64_t rp = 0;  // next unread byte

// Refills rb once every byte in it has been used; false at end of input (or a
// read error, which ends the input the same way).
bool read_block() {
  long got = plat_read_stdin(rb, sizeof rb);
  if (got <= 0) return false;
  rn = static_cast<uint64_t>(got);
  rp = 0;
  return true;
}

// One message being gathered. Lines go straight into the request buffer; only
// the first MCP_MAX_MESSAGE bytes are stored, so an oversize message costs
// bounded memory, while `total` keeps its real length for the size check.
// Invariant (unless the buffer failed): req->len == min(total, MCP_MAX_MESSAGE).
struct framer {
  wh_buf *req;
  uint64_t total = 0;       // message bytes so far, stored or not
  uint64_t line_start = 0;  // where the current line began within `total`
  uint64_t trail = 0;       // CR/space run at the end of the current line
  int64_t n = -1;           // announced length; -1 until a Content-Length line
  bool body_started = false;

  explicit framer(wh_buf *b) : req(b) {}

  void cut(uint64_t len) {
    total = len;
    if (req->len > len) req->len = len;
    if (req->data) req->data[req->len] = '\0';
  }

  void reset() {
    cut(0);
    line_start = 0;
    trail = 0;
    n = -1;
    body_started = false;
  }

  void store(const char *p, uint64_t len) {
    uint64_t room = req->len < MCP_MAX_MESSAGE ? MCP_MAX_MESSAGE - req->len : 0;
    wh_buf_add(req, p, static_cast<size_t>(len < room ? len : room));
    total += len;
  }

  // Adds a piece of the current line (no LF in it).
  void take(const char *p, uint64_t len) {
    if (len == 0) return;
    store(p, len);
    uint64_t k = len;
    while (k > 0 && (p[k - 1] == '\r' || p[k - 1] == ' ')) --k;
    trail = k == 0 ? trail + len : len - k;
  }

  // A header line in the usual "Name: value" form. No JSON text starts this
  // way, so such lines before a counted body can be skipped safely.
  bool looks_like_header() const {
    static constexpr char token_punct[] = "!#$%&'*+-.^_`|~";
    uint64_t i = 0;
    for (; i < req->len; ++i) {
      unsigned char c = static_cast<unsigned char>(req->data[i]);
      if (c == 0 || (!isalnum(c) && !strchr(token_punct, c))) break;
    }
    return i > 0 && i < req->len && req->data[i] == ':';
  }

  // Ends the current line (at an LF, or at end of input when `last`). Returns
  // true when the message is complete.
  bool end_line(bool last) {
    cut(total - trail);
    trail = 0;
    if (n < 0) {
      if (total == 0) return false;  // blank line between messages
      if (req->len >= CONTENT_LENGTH_LEN &&
          memcmp(req->data, CONTENT_LENGTH, CONTENT_LENGTH_LEN) == 0) {
        intmax_t v = strtoimax(req->data + CONTENT_LENGTH_LEN, nullptr, 10);
        cut(0);
        n = v < 0 ? -1 : static_cast<int64_t>(v);
        body_started = false;
        return false;
      }
      return true;  // a newline-delimited message
    }
    if (!body_started) {
      // Further header lines and the blank line that ends a header block are
      // not part of the body.
      if (total == 0 || looks_like_header()) {
        cut(0);
        return false;
      }
      body_started = true;
    }
    if (total >= static_cast<uint64_t>(n)) {
      cut(static_cast<uint64_t>(n));
      return true;
    }
    if (last) return false;
    // Lines of a body are joined by single LFs. A count that covers this LF
    // completes the message here: waiting for another line would hold a
    // complete message back and swallow the start of the next one.
    store("\n", 1);
    line_start = total;
    return total >= static_cast<uint64_t>(n);
  }

  // A counted body of length 0 is complete as soon as it is announced.
  bool empty_body_announced() const { return n == 0; }
};

// Standard input as messages: the framer and the message it is gathering.
struct reader {
  wh_text gathering;
  framer f{&gathering};
  bool ended = false;
};

enum class next_is { MESSAGE, END, LATE };

// The next complete message, swapped into msg with its length in *total; END
// once input has ended (its unfinished last message is given first, as a
// complete one); LATE when deadline_ms (on plat_now_ms's clock, -1 for none)
// passes first. A message is never split between two callers: a LATE
// leaves the one being gathered for the next call.
next_is next_message(reader &in, wh_text &msg, uint64_t *total, int64_t deadline_ms) {
  framer &f = in.f;
  auto take = [&] {
    *total = f.total;
    std::swap(static_cast<wh_buf &>(msg), static_cast<wh_buf &>(in.gathering));
    f.reset();
    return next_is::MESSAGE;
  };
  for (;;) {
    if (rp == rn) {
      if (in.ended) return next_is::END;
      if (deadline_ms >= 0) {
        int64_t left = deadline_ms - plat_now_ms();
        if (left <= 0 || !plat_wait_stdin(left)) return next_is::LATE;
      }
      if (!read_block()) {
        in.ended = true;
        if (f.total > f.line_start) f.end_line(true);
        return f.total ? take() : next_is::END;
      }
    }
    const char *p = rb + rp;
    uint64_t avail = rn - rp;
    const char *lf = static_cast<const char *>(memchr(p, '\n', avail));
    uint64_t piece = lf ? static_cast<uint64_t>(lf - p) : avail;
    f.take(p, piece);
    rp += piece;
    if (!lf) continue;
    ++rp;
    if (f.end_line(false)) return take();
    if (f.empty_body_announced()) f.reset();
  }
}

// ---- Replies ------------------------------------------------------------------

// Cacheable results (lists and server/discover) stay fresh this long: the
// tools and lists never change while the program runs.
constexpr long kCacheTtlMs = 3600000;
constexpr char kVersionKey[] = "io.modelcontextprotocol/protocolVersion";
constexpr char kCapabilitiesKey[] = "io.modelcontextprotocol/clientCapabilities";

// A question to the person whose answer the server is waiting for.
struct waiting_question {
  long number;          // its request id is "confirm-<number>"
  const char *call_id;  // the id (JSON text) of the tools/call that asks it
  bool answered;
  mcp_answer answer;
  char why[WH_ERR_CAP];  // for MCP_ANSWER_NONE
};

// Questions waiting at once: each further tools/call that asks while others
// wait is served inside their wait, one level deeper.
constexpr int kMaxWaiting = 8;

// The server's state between messages: the handshake era's session (the
// version initialize chose and a copy of the capabilities it declared), the
// input, the reply being written, the batch being answered and the questions
// waiting for the person.
struct server_state {
  mcp_session session;
  yy_doc capabilities;  // owns session.client_capabilities
  reader in;
  wh_text reply;  // reused for every reply
  bool in_batch = false;
  int batch_replies = 0;          // replies of the batch written so far
  mcp_asker asker;                // ask() on this state
  const char *call_id = nullptr;  // the tools/call being served
  waiting_question waiting[kMaxWaiting];
  int waiting_count = 0;
  long questions = 0;  // questions put so far
};

// Sends the reply written in st.reply: a line of its own, flushed at once, or
// the next element of the batch's array, whose line ends with the batch.
void send_reply(server_state &st) {
  wh_buf *b = &st.reply;
  if (b->failed) {  // a reply cut short by a refused allocation is no JSON
    wh_buf_free(b);
    wh_buf_init(b);
    wh_buf_str(b,
               "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32603,"
               "\"message\":\"out of memory\"}}");
  }
  if (st.in_batch) {
    fputc(st.batch_replies++ ? ',' : '[', stdout);
    fwrite(wh_buf_cstr(b), 1, b->len, stdout);
  } else {
    fwrite(wh_buf_cstr(b), 1, b->len, stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
  b->len = 0;
  if (b->data) b->data[0] = '\0';
}

// Starts a reply: {"jsonrpc":"2.0","id":<id>
void begin_reply(wh_buf *b, const char *id) {
  wh_buf_lit(b, "{\"jsonrpc\":\"2.0\",\"id\":");
  wh_buf_str(b, id ? id : "null");
}

void mcp_error(server_state &st, const char *id, long code, const char *message) {
  wh_buf *b = &st.reply;
  begin_reply(b, id);
  wh_buf_printf(b, ",\"error\":{\"code\":%ld,\"message\":", code);
  wh_buf_json_str(b, message);
  wh_buf_str(b, "}}");
  send_reply(st);
}

void write_server_info(wh_buf *b) {
  int first = 1;
  wh_buf_str(b, "{");
  wh_buf_key(b, "name", &first);
  wh_buf_json_str(b, VD_PROGRAM_NAME);
  wh_buf_key(b, "version", &first);
  wh_buf_json_str(b, VD_VERSION);
  wh_buf_str(b, "}");
}

void write_versions(wh_buf *b) {
  wh_buf_str(b, "[");
  for (const mcp_version &v : MCP_VERSIONS) {
    if (&v != MCP_VERSIONS) wh_buf_str(b, ",");
    wh_buf_json_str(b, v.name);
  }
  wh_buf_str(b, "]");
}

// A result being written: its own members between begin and end, and the
// stateless era's around them (resultType first; the cache hints of a
// cacheable result and the server's identity in _meta last).
struct result_writer {
  server_state &st;
  const mcp_version &version;
  int first = 1;

  result_writer(server_state &s, const char *id, const mcp_version &v,
                const char *result_type = "\"complete\"")
      : st(s), version(v) {
    begin_reply(&st.reply, id);
    wh_buf_lit(&st.reply, ",\"result\":{");
    if (version.stateless) member("resultType", result_type);
  }
  wh_buf *key(const char *name) {
    wh_buf_key(&st.reply, name, &first);
    return &st.reply;
  }
  void member(const char *name, const char *json) { wh_buf_str(key(name), json); }
  void end(bool cacheable) {
    if (version.stateless) {
      if (cacheable) {
        wh_buf_long(key("ttlMs"), kCacheTtlMs);
        member("cacheScope", "\"public\"");
      }
      wh_buf_str(key("_meta"), "{\"io.modelcontextprotocol/serverInfo\":");
      write_server_info(&st.reply);
      wh_buf_str(&st.reply, "}");
    }
    wh_buf_str(&st.reply, "}}");
    send_reply(st);
  }
};

// A tool's result: one text item, its structured content where the version
// has it, "isError":true only for an error (the member is never written as
// false).
void mcp_tool_content(server_state &st, const char *id, const mcp_version &v, mcp_call_result &r) {
  result_writer w(st, id, v);
  wh_buf *b = w.key("content");
  wh_buf_str(b, "[{\"type\":\"text\",\"text\":");
  // The text carries names and fields cut by bytes and response bodies cut
  // at 4096 bytes; the reply must stay well-formed UTF-8 all the same.
  wh_buf_json_utf8(b, wh_buf_cstr(&r.text));
  wh_buf_str(b, "}]");
  if (r.structured.len) {
    b = w.key("structuredContent");
    wh_buf_add(b, r.structured.data, r.structured.len);
  }
  if (r.is_error) w.member("isError", "true");
  w.end(false);
}

// A stateless call that needs the person's answer first: the questions and
// the state its retry echoes.
void input_required(server_state &st, const char *id, const mcp_version &v,
                    const mcp_input_required &input) {
  result_writer w(st, id, v, "\"input_required\"");
  wh_buf *b = w.key("inputRequests");
  wh_buf_add(b, input.requests.data, input.requests.len);
  wh_buf_json_str(w.key("requestState"), input.state);
  w.end(false);
}

// initialize: the version asked for when it is a handshake version, else
// 2024-11-05; the session keeps it, and the capabilities declared.
void initialize(server_state &st, const char *id, yyjson_val *params) {
  yyjson_val *asked = yyjson_obj_get(params, "protocolVersion");
  const mcp_version *v = yyjson_is_str(asked)
                             ? mcp_version_find(yyjson_get_str(asked), yyjson_get_len(asked))
                             : nullptr;
  if (!v || v->stateless) v = &MCP_BASE_VERSION;
  st.session.version = v;
  st.capabilities.reset();
  st.session.client_capabilities = nullptr;
  yyjson_val *caps = yyjson_obj_get(params, "capabilities");
  size_t len = 0;
  unique_cstr text(yyjson_is_obj(caps) ? yyjson_val_write_opts(caps, 0, nullptr, &len, nullptr)
                                       : nullptr);
  if (text) st.capabilities.reset(yyjson_read(text.get(), len, 0));
  if (st.capabilities) st.session.client_capabilities = yyjson_doc_get_root(st.capabilities.get());

  result_writer w(st, id, *v);
  wh_buf_json_str(w.key("protocolVersion"), v->name);
  w.member("capabilities", "{\"tools\":{}}");
  write_server_info(w.key("serverInfo"));
  w.end(false);
}

void discover(server_state &st, const char *id, const mcp_version &v) {
  result_writer w(st, id, v);
  write_versions(w.key("supportedVersions"));
  w.member("capabilities", "{\"tools\":{}}");
  w.end(true);
}

// The answer to a version the server does not speak.
void unsupported_version(server_state &st, const char *id, yyjson_val *asked) {
  wh_buf *b = &st.reply;
  begin_reply(b, id);
  wh_buf_str(b,
             ",\"error\":{\"code\":-32022,\"message\":\"Unsupported protocol version\","
             "\"data\":{\"supported\":");
  write_versions(b);
  wh_buf_str(b, ",\"requested\":");
  wh_buf_json_text(b, yyjson_get_str(asked), strnlen(yyjson_get_str(asked), yyjson_get_len(asked)),
                   WH_UTF8_REPLACE);
  wh_buf_str(b, "}}}");
  send_reply(st);
}

// A response from the client: the answer to a waiting question, or else
// (late, or to nothing asked) ignored.
void take_answer(server_state &st, yyjson_val *response) {
  yyjson_val *id = yyjson_obj_get(response, "id");
  for (int i = 0; i < st.waiting_count; ++i) {
    waiting_question &q = st.waiting[i];
    char text[32];
    snprintf(text, sizeof text, "confirm-%ld", q.number);
    if (q.answered || !yyjson_equals_str(id, text)) continue;
    q.answered = true;
    yyjson_val *result = yyjson_obj_get(response, "result");
    q.answer = mcp_answer_of(result);
    if (!result) {
      const char *message =
          yyjson_get_str(yyjson_obj_get(yyjson_obj_get(response, "error"), "message"));
      snprintf(q.why, sizeof q.why, "the client could not ask the owner: %.200s",
               message ? message : "an error without a message");
    } else if (q.answer == MCP_ANSWER_NONE) {
      snprintf(q.why, sizeof q.why, "the owner's answer could not be read");
    }
  }
}

// notifications/cancelled: a question its call was waiting for is given up.
void cancel_call(server_state &st, yyjson_val *params) {
  yyjson_val *request_id = yyjson_obj_get(params, "requestId");
  if (!request_id) return;
  unique_cstr text(yyjson_val_write_opts(request_id, 0, nullptr, nullptr, nullptr));
  for (int i = 0; i < st.waiting_count; ++i) {
    waiting_question &q = st.waiting[i];
    if (q.answered || !text || !q.call_id || strcmp(q.call_id, text.get()) != 0) continue;
    q.answered = true;
    q.answer = MCP_ANSWER_NONE;
    snprintf(q.why, sizeof q.why, "the client cancelled the call before the owner answered");
  }
}

// The version a request is served under, into rq: the one its _meta names,
// else the session's. A stateless version needs the client's capabilities
// too. False when the request was answered (or dropped) for its _meta.
bool request_version(server_state &st, const char *id, yyjson_val *params, mcp_session *rq) {
  *rq = st.session;
  // A batch's replies are one array on one line: no question fits in it.
  rq->ask = st.in_batch ? nullptr : &st.asker;
  yyjson_val *meta = yyjson_obj_get(params, "_meta");
  yyjson_val *named = yyjson_obj_get(meta, kVersionKey);
  if (!named) return true;
  if (!yyjson_is_str(named)) {
    if (id) mcp_error(st, id, -32602, "invalid params: _meta protocolVersion is not a string");
    return false;
  }
  rq->version = mcp_version_find(yyjson_get_str(named), yyjson_get_len(named));
  if (!rq->version) {
    if (id) unsupported_version(st, id, named);
    return false;
  }
  if (rq->version->stateless) {
    rq->ask = nullptr;  // questions go out in results
    rq->client_capabilities = yyjson_obj_get(meta, kCapabilitiesKey);
    if (!yyjson_is_obj(rq->client_capabilities)) {
      if (id) mcp_error(st, id, -32602, "invalid params: _meta has no clientCapabilities object");
      return false;
    }
  }
  return true;
}

// The method table, for a request served under rq's version.
void serve_method(server_state &st, const char *id, yyjson_val *method, yyjson_val *params,
                  const mcp_session &rq) {
  const mcp_version &v = *rq.version;
  // Byte for byte, length included, so an embedded NUL never matches.
  auto is = [method](const char *name) { return yyjson_equals_str(method, name); };
  if (v.stateless && is("server/discover")) {
    discover(st, id, v);
  } else if (!v.stateless && is("initialize")) {
    if (st.in_batch)
      mcp_error(st, id, -32600, "invalid request: initialize cannot be part of a batch");
    else if (st.waiting_count)
      mcp_error(st, id, -32600, "invalid request: initialize while a question to the owner waits");
    else
      initialize(st, id, params);
  } else if (!v.stateless && (is("notifications/initialized") || is("initialized"))) {
    // notifications: no reply
  } else if (!v.stateless && (is("ping") || is("logging/setLevel"))) {
    if (id) result_writer(st, id, v).end(false);
  } else if (is("tools/list")) {
    result_writer w(st, id, v);
    wh_buf *b = w.key("tools");
    wh_buf_str(b, "[");
    mcp_write_tools(b, v);
    wh_buf_str(b, "]");
    w.end(true);
  } else if (is("tools/call")) {
    mcp_call_result r;
    const char *outer = st.call_id;
    st.call_id = id;
    mcp_call_tool(params, rq, &r);
    st.call_id = outer;
    if (r.error_code)
      mcp_error(st, id, r.error_code, r.error_message);
    else if (r.input.requests.len)
      input_required(st, id, v, r.input);
    else
      mcp_tool_content(st, id, v, r);
  } else if (is("prompts/list") || is("resources/list")) {
    if (id) {
      result_writer w(st, id, v);
      w.member(is("prompts/list") ? "prompts" : "resources", "[]");
      w.end(true);
    }
  } else if (id) {
    mcp_error(st, id, -32601, "method not found");
  }
}

// Carries out one parsed message (a batch's element when in_batch).
void dispatch(server_state &st, yyjson_val *root) {
  if (!yyjson_is_obj(root)) {
    mcp_error(st, nullptr, -32600, "invalid request: not an object");
    return;
  }
  yyjson_val *method = yyjson_obj_get(root, "method");
  yyjson_val *id_val = yyjson_obj_get(root, "id");
  yyjson_val *params = yyjson_obj_get(root, "params");

  unique_cstr id_text;
  const char *id = nullptr;
  if (id_val) {
    id_text.reset(yyjson_val_write_opts(id_val, 0, nullptr, nullptr, nullptr));
    id = id_text ? id_text.get() : "null";
  }
  if (!method && (yyjson_obj_get(root, "result") || yyjson_obj_get(root, "error"))) {
    take_answer(st, root);  // a response is never answered
    return;
  }
  if (!yyjson_is_str(method)) {
    if (id) mcp_error(st, id, -32600, "invalid request: missing method");
    return;
  }
  if (yyjson_equals_str(method, "notifications/cancelled")) {
    cancel_call(st, params);
    return;
  }
  mcp_session rq;
  if (!request_version(st, id, params, &rq)) return;
  // Only 2024-11-05 answers some requests without an id, as it always did;
  // elsewhere such a request is a notification, and none asks for anything.
  if (!id && !rq.version->id_less) return;
  serve_method(st, id, method, params, rq);
}

// A JSON array in a session whose version has batches: every element served
// as a message of its own, the replies together in one array on one line
// (none when every element was a notification).
void serve_batch(server_state &st, yyjson_val *batch) {
  if (yyjson_arr_size(batch) == 0) {
    mcp_error(st, nullptr, -32600, "invalid request: empty batch");
    return;
  }
  st.in_batch = true;
  st.batch_replies = 0;
  size_t i, n;
  yyjson_val *item;
  yyjson_arr_foreach(batch, i, n, item) dispatch(st, item);
  st.in_batch = false;
  if (st.batch_replies) {
    fputs("]\n", stdout);
    fflush(stdout);
  }
}

// Answers one complete message of `total` bytes held (in part) in `req`.
void handle_message(server_state &st, wh_buf *req, uint64_t total) {
  if (total == 0) return;
  if (total > MCP_MAX_MESSAGE || req->failed) {
    // A buffer that could not grow holds only part of the message; the
    // request cannot be held, and the buffer starts afresh for the next one.
    if (req->failed) {
      wh_buf_free(req);
      wh_buf_init(req);
    }
    mcp_error(st, nullptr, -32600, "request too large");
    return;
  }
  char *text = const_cast<char *>(wh_buf_cstr(req));
  const void *nul = memchr(text, '\0', req->len);
  size_t len = nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : req->len;
  // Parsed in place where the buffer has room for the reader's zeroed
  // padding (almost always: it grows by doubling), so that a message of up to
  // 4 MiB is not copied once more; the buffer is emptied after the message.
  yyjson_read_flag in_place = 0;
  if (req->data && len + YYJSON_PADDING_SIZE <= req->cap) {
    memset(text + len, 0, YYJSON_PADDING_SIZE);
    in_place = YYJSON_READ_INSITU;
  }
  yyjson_read_err err;
  yy_doc doc(yyjson_read_opts(text, len, in_place, nullptr, &err));
  if (!doc) {
    mcp_error(st, nullptr, -32700, "parse error");
    return;
  }
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (yyjson_is_arr(root) && st.session.version->batches)
    serve_batch(st, root);
  else
    dispatch(st, root);  // elsewhere an array is no request
}

// Puts a question to the person (mcp_asker) and serves the client's other
// messages until its answer comes.
mcp_answer ask(server_state &st, std::string_view params, char *why, size_t why_size) {
  if (st.waiting_count == kMaxWaiting) {
    snprintf(why, why_size, "%d questions to the owner are waiting already", kMaxWaiting);
    return MCP_ANSWER_NONE;
  }
  waiting_question &q = st.waiting[st.waiting_count++];
  q = {++st.questions, st.call_id, false, MCP_ANSWER_NONE, ""};
  wh_text request;
  wh_buf_printf(&request,
                "{\"jsonrpc\":\"2.0\",\"id\":\"confirm-%ld\",\"method\":\"elicitation/create\","
                "\"params\":",
                q.number);
  wh_buf_add(&request, params.data(), params.size());
  wh_buf_str(&request, "}\n");
  fwrite(wh_buf_cstr(&request), 1, request.len, stdout);
  fflush(stdout);

  int64_t deadline = plat_now_ms() + MCP_ASK_WAIT_MS;
  wh_text msg;
  uint64_t total = 0;
  while (!q.answered) {
    next_is got = next_message(st.in, msg, &total, deadline);
    if (got == next_is::MESSAGE) {
      handle_message(st, &msg, total);
      continue;
    }
    if (got == next_is::LATE)
      snprintf(q.why, sizeof q.why, "no answer came from the owner within %d minutes",
               static_cast<int>(MCP_ASK_WAIT_MS / 60000));
    else
      snprintf(q.why, sizeof q.why, "the client closed the connection before the owner answered");
    break;
  }
  --st.waiting_count;
  if (q.answer == MCP_ANSWER_NONE) snprintf(why, why_size, "%s", q.why);
  return q.answer;
}

}  // namespace

void mcp_serve() {
  // A client that stops reading must not kill the server; failed writes change
  // nothing and the loop runs until standard input ends.
  plat_start();
  // Every tool call loads the whole store (file text, parsed document, the
  // 1.3 MB record: several MB in all) and frees it again. Freed blocks of up
  // to 32 MiB stay in the heap for reuse; the memory held stays bounded by
  // the largest call.
  plat_keep_freed_heap();
  server_state st;
  st.asker = [&st](std::string_view params, char *why, size_t why_size) {
    return ask(st, params, why, why_size);
  };
  wh_text msg;
  uint64_t total = 0;
  while (next_message(st.in, msg, &total, -1) == next_is::MESSAGE) handle_message(st, &msg, total);
}
