// The MCP reader and dispatcher on arbitrary bytes, in process: the input is
// put on standard input (a memory file), mcp_serve runs until it ends, and
// standard output (another memory file) is read back. Every reply must be one
// line holding one JSON-RPC 2.0 response object (or, answering a batch, a
// non-empty array of them), and there are never more replies than messages.
//
// The server keeps its read block between calls, but it only returns once
// that block is used up, so each run starts clean. The store is a private one
// with four hooks, written afresh before every run, and the resolver refuses
// every name: a webhook_trigger gets as far as resolving and never reaches
// the network (nor, having failed, the log). One hook asks first, so that the
// server's own questions (elicitation/create requests, each followed by the
// serving of the rest of the input inside its wait) are fuzzed too; a
// question is a request line, not a reply.
#include <netdb.h>
#include <sys/mman.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_util.h"
#include "hook_builder.h"
#include "mcp_server.h"
#include "raii.h"
#include "wh_http.h"

namespace {

int g_in = -1, g_out = -1;        // the memory files behind fds 0 and 1
int g_stdin = -1, g_stdout = -1;  // the fuzzer's own, put back after each run
std::string g_store_text;         // the store file every run starts from

std::string make_store() {
  auto s = std::make_unique<wh_store>();
  wh_hook &d =
      vdtest::add_hook(s.get(), "deploy", "https://relay.example/hooks/a?token=t0k", "PUT");
  wh_field_copy(d.desc, "signed, two headers");
  wh_field_copy(d.sig, "v2");
  wh_field_copy(d.secret, "s3cret");
  vdtest::add_header(&d, "X-Key", "k1");
  vdtest::add_header(&d, "Content-Type", "text/plain");
  vdtest::add_hook(s.get(), "plain", "http://127.0.0.1:9/x", "GET");
  wh_hook &gh = vdtest::add_hook(s.get(), "gh", "https://relay.example/gh");
  wh_field_copy(gh.desc, "d\xc3\xa9ploiement \xe2\x9c\x93");
  wh_field_copy(gh.sig, "github");
  wh_field_copy(gh.secret, "gh-secret");
  vdtest::add_hook(s.get(), "ask", "http://127.0.0.1:9/ask").confirm = true;
  char err[WH_ERR_CAP];
  if (wh_store_save(s.get(), err, sizeof err) != 0) {
    fprintf(stderr, "%s\n", err);
    abort();
  }
  return fuzz_read_file(fuzz_private_store());
}

int memfd(const char *name) {
  int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) {
    perror("memfd_create");
    abort();
  }
  return fd;
}

std::string run_server(const uint8_t *data, size_t size) {
  fuzz_write_file(fuzz_private_store(), g_store_text);
  if (ftruncate(g_in, 0) != 0 || pwrite(g_in, data, size, 0) != static_cast<ssize_t>(size) ||
      lseek(g_in, 0, SEEK_SET) != 0 || ftruncate(g_out, 0) != 0 || lseek(g_out, 0, SEEK_SET) != 0)
    abort();
  fflush(stdout);
  dup2(g_in, 0);
  dup2(g_out, 1);
  mcp_serve();
  fflush(stdout);
  dup2(g_stdin, 0);
  dup2(g_stdout, 1);

  std::string out(static_cast<size_t>(lseek(g_out, 0, SEEK_END)), '\0');
  if (pread(g_out, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) abort();
  return out;
}

void check_response(yyjson_val *root) {
  FUZZ_CHECK(yyjson_is_obj(root), "a reply is an object");
  FUZZ_CHECK(yyjson_equals_str(yyjson_obj_get(root, "jsonrpc"), "2.0"), "\"jsonrpc\":\"2.0\"");
  yyjson_val *id = yyjson_obj_get(root, "id");
  FUZZ_CHECK(id != nullptr, "a reply has an id");
  yyjson_val *result = yyjson_obj_get(root, "result");
  yyjson_val *error = yyjson_obj_get(root, "error");
  FUZZ_CHECK((result != nullptr) != (error != nullptr), "exactly one of result and error");
  if (result) {
    FUZZ_CHECK(yyjson_is_obj(result), "a result is an object");
    return;
  }
  FUZZ_CHECK(yyjson_is_obj(error), "an error is an object");
  yyjson_val *code = yyjson_obj_get(error, "code");
  FUZZ_CHECK(yyjson_is_int(code), "an error has an integer code");
  FUZZ_CHECK(yyjson_is_str(yyjson_obj_get(error, "message")), "an error has a message");
  int64_t c = yyjson_get_sint(code);
  if (c == -32700) FUZZ_CHECK(yyjson_is_null(id), "a parse error has id null");
}

// Checks one output line; true for a reply, false for a question.
bool check_line(std::string_view line) {
  yy_doc doc(yyjson_read(line.data(), line.size(), 0));
  FUZZ_CHECK(doc != nullptr, "a reply line is one valid JSON text");
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (yyjson_obj_get(root, "method")) {
    FUZZ_CHECK(yyjson_equals_str(yyjson_obj_get(root, "method"), "elicitation/create"),
               "the server's only request is a question");
    FUZZ_CHECK(yyjson_is_str(yyjson_obj_get(root, "id")), "a question has an id");
    return false;
  }
  if (!yyjson_is_arr(root)) {
    check_response(root);
    return true;
  }
  FUZZ_CHECK(yyjson_arr_size(root) > 0, "a batch's replies are never an empty array");
  size_t i, n;
  yyjson_val *item;
  yyjson_arr_foreach(root, i, n, item) check_response(item);
  return true;
}

int refuse_every_name(const char *, const char *, const addrinfo *, addrinfo **) {
  return EAI_FAIL;
}
void release_nothing(addrinfo *) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz_private_store();  // before anything touches a store
  g_store_text = make_store();
  unsetenv("WEBHOOK_ALLOW_PRIVATE");
  wh_http_resolver = {refuse_every_name, release_nothing};
  g_in = memfd("mcp-in");
  g_out = memfd("mcp-out");
  g_stdin = dup(0);
  g_stdout = dup(1);
  if (g_stdin < 0 || g_stdout < 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string out = run_server(data, size);
  // FUZZ_DUMP=1 shows the replies, for looking into a saved input.
  if (getenv("FUZZ_DUMP")) fwrite(out.data(), 1, out.size(), stderr);
  FUZZ_CHECK(out.empty() || out.back() == '\n', "every reply ends with its LF");
  size_t replies = 0;
  for (size_t start = 0; start < out.size();) {
    size_t lf = out.find('\n', start);
    replies += check_line(std::string_view(out).substr(start, lf - start));
    start = lf + 1;
  }
  // Each message is at least one line, and at most one reply answers it.
  size_t lines = static_cast<size_t>(std::count(data, data + size, '\n')) + 1;
  FUZZ_CHECK(replies <= lines, "never more replies than messages");
  return 0;
}
