// Shared by the fuzz targets: the property check, and a private store file
// for the targets that load and save.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

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
  if (b.header_count != a.header_count) return "header_count";
  for (int i = 0; i < b.header_count && i < WH_MAX_HEADERS; ++i) {
    if (!fuzz_same_text(b.headers[i].name, a.headers[i].name)) return "header name";
    if (!fuzz_same_text(b.headers[i].value, a.headers[i].value)) return "header value";
  }
  return nullptr;
}
