#include "mcp_server.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "identity.h"
#include "mcp_tools.h"
#include "plat.h"
#include "raii.h"
#include "wh_json.h"

namespace {

// Every reply is one line that reaches the client at once.
void mcp_send(wh_buf *b) {
  fwrite(wh_buf_cstr(b), 1, b->len, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void mcp_result(const char *id, const char *result) {
  wh_text b;
  wh_buf_str(&b, "{\"jsonrpc\":\"2.0\",\"id\":");
  wh_buf_str(&b, id ? id : "null");
  wh_buf_str(&b, ",\"result\":");
  wh_buf_str(&b, result ? result : "{}");
  wh_buf_str(&b, "}");
  mcp_send(&b);
}

void mcp_error(const char *id, long code, const char *message) {
  wh_text b;
  wh_buf_str(&b, "{\"jsonrpc\":\"2.0\",\"id\":");
  wh_buf_str(&b, id ? id : "null");
  wh_buf_printf(&b, ",\"error\":{\"code\":%ld,\"message\":", code);
  wh_buf_json_str(&b, message);
  wh_buf_str(&b, "}}");
  mcp_send(&b);
}

// A tool's result: one text item, "isError":true only for an error (the
// member is never written as false).
void mcp_tool_content(const char *id, mcp_call_result &r) {
  wh_text b;
  wh_buf_str(&b, "{\"content\":[{\"type\":\"text\",\"text\":");
  // The text carries names and fields cut by bytes and response bodies cut
  // at 4096 bytes; the reply must stay well-formed UTF-8 all the same.
  wh_buf_json_utf8(&b, wh_buf_cstr(&r.text));
  wh_buf_str(&b, "}]");
  if (r.is_error) wh_buf_str(&b, ",\"isError\":true");
  wh_buf_str(&b, "}");
  mcp_result(id, wh_buf_cstr(&b));
}

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

void write_initialize_result(wh_buf *b) {
  int first = 1;
  wh_buf_str(b, "{");
  wh_buf_key(b, "protocolVersion", &first);
  wh_buf_json_str(b, "2024-11-05");
  wh_buf_key(b, "capabilities", &first);
  wh_buf_str(b, "{\"tools\":{}}");
  wh_buf_key(b, "serverInfo", &first);
  int first_info = 1;
  wh_buf_str(b, "{");
  wh_buf_key(b, "name", &first_info);
  wh_buf_json_str(b, VD_PROGRAM_NAME);
  wh_buf_key(b, "version", &first_info);
  wh_buf_json_str(b, VD_VERSION);
  wh_buf_str(b, "}}");
}

// Carries out one parsed request.
void dispatch(yyjson_val *root) {
  if (!yyjson_is_obj(root)) {
    mcp_error(nullptr, -32600, "invalid request: not an object");
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

  if (!yyjson_is_str(method)) {
    if (id) mcp_error(id, -32600, "invalid request: missing method");
    return;
  }
  // Byte for byte, length included, so an embedded NUL never matches.
  auto is = [method](const char *name) { return yyjson_equals_str(method, name); };

  if (is("initialize")) {
    wh_text r;
    write_initialize_result(&r);
    mcp_result(id, wh_buf_cstr(&r));
  } else if (is("notifications/initialized") || is("initialized")) {
    // notifications: no reply
  } else if (is("ping") || is("logging/setLevel")) {
    if (id) mcp_result(id, "{}");
  } else if (is("tools/list")) {
    wh_text r;
    wh_buf_str(&r, "{\"tools\":[");
    mcp_write_tool_list(&r);
    wh_buf_str(&r, "]}");
    mcp_result(id, wh_buf_cstr(&r));
  } else if (is("tools/call")) {
    mcp_call_result r;
    mcp_call_tool(params, &r);
    if (r.error_code)
      mcp_error(id, r.error_code, r.error_message);
    else
      mcp_tool_content(id, r);
  } else if (is("prompts/list")) {
    if (id) mcp_result(id, "{\"prompts\":[]}");
  } else if (is("resources/list")) {
    if (id) mcp_result(id, "{\"resources\":[]}");
  } else if (id) {
    mcp_error(id, -32601, "method not found");
  }
}

// Answers one complete message of `total` bytes held (in part) in `req`.
void handle_message(wh_buf *req, uint64_t total) {
  if (total == 0) return;
  if (total > MCP_MAX_MESSAGE || req->failed) {
    // A buffer that could not grow holds only part of the message; the
    // request cannot be held, and the buffer starts afresh for the next one.
    if (req->failed) {
      wh_buf_free(req);
      wh_buf_init(req);
    }
    mcp_error(nullptr, -32600, "request too large");
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
    mcp_error(nullptr, -32700, "parse error");
    return;
  }
  dispatch(yyjson_doc_get_root(doc.get()));
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
  wh_text req;
  framer f(&req);
  for (;;) {
    if (rp == rn && !read_block()) break;
    const char *p = rb + rp;
    uint64_t avail = rn - rp;
    const char *lf = static_cast<const char *>(memchr(p, '\n', avail));
    uint64_t piece = lf ? static_cast<uint64_t>(lf - p) : avail;
    f.take(p, piece);
    rp += piece;
    if (!lf) continue;
    ++rp;
    if (f.end_line(false)) {
      handle_message(&req, f.total);
      f.reset();
    } else if (f.empty_body_announced()) {
      f.reset();
    }
  }
  // End of input: an unfinished last line still counts, and whatever the
  // request buffer holds is handled as a complete message.
  if (f.total > f.line_start) f.end_line(true);
  handle_message(&req, f.total);
}
