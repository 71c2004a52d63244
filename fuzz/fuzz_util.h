// Shared by the fuzz targets: the property check, and a private store file
// for the targets that load and save.
#pragma once

#include <yyjson.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "raii.h"
#include "store_fs.h"
#include "wh_hook_view.h"
#include "wh_json.h"
#include "wh_store.h"

// A broken property ends the run like a crash, so libFuzzer keeps the input.
#define FUZZ_CHECK(cond, what)                                                               \
  do {                                                                                       \
    if (!(cond)) {                                                                           \
      fprintf(stderr, "property violated: %s\n  check: %s (%s:%d)\n", what, #cond, __FILE__, \
              __LINE__);                                                                     \
      abort();                                                                               \
    }                                                                                        \
  } while (0)

// The input as a NUL-terminated text (bytes after an embedded NUL are kept but
// unseen by C string readers, as they would be in the program).
inline std::string fuzz_text(const uint8_t *data, size_t size) {
  return std::string(reinterpret_cast<const char *>(data), size);
}

// Points WEBHOOK_STORE_PATH at hooks.json in a fresh directory under TMPDIR,
// removed again at exit, and makes the store's flushes to disk no-ops: a
// fuzzer saves thousands of times a second, and durability is not what it
// checks. Returns the store file's path.
inline const std::string &fuzz_private_store() {
  static const std::string path = [] {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vd-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) {
      perror("mkdtemp");
      abort();
    }
    static std::string dir = templ;
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    });
    setenv("WEBHOOK_STORE_PATH", (templ + "/hooks.json").c_str(), 1);
    wh_store_fsync = [](int) { return 0; };
    return templ + "/hooks.json";
  }();
  return path;
}

// The whole content of a file; empty when it cannot be read.
inline std::string fuzz_read_file(const std::string &path) {
  std::string out;
  if (FILE *f = fopen(path.c_str(), "rb")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
  }
  return out;
}

// Replaces the file's content.
inline void fuzz_write_file(const std::string &path, std::string_view text) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) {
    perror(path.c_str());
    abort();
  }
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// A text field after a save and load. Fields are cut by bytes, so a field
// filled to its capacity may end inside a character; the store leaves such
// an incomplete character out when it writes the file. Nothing else may
// change.
template <size_t N>
bool fuzz_same_text(const char (&before)[N], const char (&after)[N]) {
  std::string_view b(before, strnlen(before, N)), a(after, strnlen(after, N));
  if (a == b) return true;
  if (b.size() != N - 1 || a.size() >= b.size() || b.substr(0, a.size()) != a) return false;
  std::string_view tail = b.substr(a.size());
  auto lead = static_cast<unsigned char>(tail[0]);
  size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (tail.size() >= want) return false;  // not a lead byte, or a whole character
  for (size_t i = 1; i < tail.size(); ++i)
    if ((static_cast<unsigned char>(tail[i]) & 0xC0) != 0x80) return false;
  return true;
}

// The first field in which a stored hook came back different, or null.
inline const char *fuzz_hook_diff(const wh_hook &b, const wh_hook &a) {
  if (!fuzz_same_text(b.name, a.name)) return "name";
  if (!fuzz_same_text(b.url, a.url)) return "url";
  if (!fuzz_same_text(b.method, a.method)) return "method";
  if (!fuzz_same_text(b.desc, a.desc)) return "desc";
  if (!fuzz_same_text(b.sig, a.sig)) return "sig";
  if (!fuzz_same_text(b.secret, a.secret)) return "secret";
  if (!fuzz_same_text(b.prev_secret, a.prev_secret)) return "prev_secret";
  if (b.prev_until != a.prev_until) return "prev_until";
  if (b.header_count != a.header_count) return "header_count";
  for (int i = 0; i < b.header_count && i < WH_MAX_HEADERS; ++i) {
    if (!fuzz_same_text(b.headers[i].name, a.headers[i].name)) return "header name";
    if (!fuzz_same_text(b.headers[i].value, a.headers[i].value)) return "header value";
  }
  if (b.limit_count != a.limit_count) return "limit count";
  if (b.limit_count > 0 && b.limit_per != a.limit_per) return "limit window";
  if (b.confirm != a.confirm) return "confirm";
  if (!fuzz_same_text(b.example, a.example)) return "example";
  if (b.window_count != a.window_count) return "window count";
  if (b.window_count && b.window_start != a.window_start) return "window start";
  return nullptr;
}

// The members of a view, and of each header in it, exactly.
inline bool fuzz_has_members(yyjson_val *obj, std::initializer_list<const char *> keys) {
  if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) != keys.size()) return false;
  for (const char *k : keys)
    if (!yyjson_obj_get(obj, k)) return false;
  return true;
}

// A hook's view for the page (wh_hook_view_write, each entry of the list) is
// strict JSON that holds no secret and no header value: only the members a
// view has, whatever the hook holds, and nothing of the URL's query.
inline void fuzz_check_view(const wh_hook &h) {
  wh_text out;
  wh_hook_view_write(&out, &h);
  yy_doc doc(yyjson_read(out.data, out.len, 0));
  FUZZ_CHECK(doc != nullptr, "the view is strict JSON");
  yyjson_val *v = yyjson_doc_get_root(doc.get());
  // A rotation shows by its end alone, and only for a hook that keeps a
  // previous secret.
  yyjson_val *until = yyjson_obj_get(v, "rotation_until");
  FUZZ_CHECK(!until || (h.prev_secret[0] && yyjson_is_int(until) &&
                        yyjson_get_sint(until) == h.prev_until),
             "a rotation shows its end only");
  FUZZ_CHECK(
      until ? fuzz_has_members(v, {"name", "method", "desc", "sig", "has_secret", "rotation_until",
                                   "url", "headers", "limit", "confirm", "example"})
            : fuzz_has_members(v, {"name", "method", "desc", "sig", "has_secret", "url", "headers",
                                   "limit", "confirm", "example"}),
      "the view has its members and no others");
  // (A stray byte of a name cut inside a character shows as U+FFFD.)
  bool ascii = std::all_of(h.name, h.name + strlen(h.name), [](char c) { return c > 0; });
  FUZZ_CHECK(!ascii || yyjson_equals_str(yyjson_obj_get(v, "name"), h.name),
             "the view names the hook");
  FUZZ_CHECK(yyjson_get_bool(yyjson_obj_get(v, "has_secret")) == (h.secret[0] != '\0'),
             "has_secret tells whether a secret is set");
  yyjson_val *headers = yyjson_obj_get(v, "headers");
  FUZZ_CHECK(yyjson_arr_size(headers) == static_cast<size_t>(h.header_count),
             "one view entry per header");
  size_t i, n;
  yyjson_val *el;
  yyjson_arr_foreach(headers, i, n, el) {
    FUZZ_CHECK(fuzz_has_members(el, {"name", "has_secret"}), "a header shows its name only");
    FUZZ_CHECK(yyjson_get_bool(yyjson_obj_get(el, "has_secret")) == (h.headers[i].value[0] != '\0'),
               "has_secret tells whether a header value is set");
  }
  const char *url = yyjson_get_str(yyjson_obj_get(v, "url"));
  FUZZ_CHECK(url != nullptr, "the view shows a url");
  if (const char *q = strchr(url, '?'))
    FUZZ_CHECK(strcmp(q, "?<redacted>") == 0, "nothing of the query shows");
}
