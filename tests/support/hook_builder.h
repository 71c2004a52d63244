// Hook records for the tests, the fuzz targets and the benchmarks: zeroed,
// then filled field by field with wh_field_copy (cut to size), as a load
// fills them. Header-only and free of GoogleTest, so fuzz/ and bench/ use it
// too.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "wh_hook.h"
#include "wh_store.h"

namespace vdtest {

inline void fill_hook(wh_hook *h, const std::string &name, const std::string &url,
                      const char *method = "POST", const char *sig = "", const char *secret = "") {
  memset(h, 0, sizeof *h);
  wh_field_copy(h->name, name.c_str());
  wh_field_copy(h->url, url.c_str());
  wh_field_copy(h->method, method);
  wh_field_copy(h->sig, sig);
  wh_field_copy(h->secret, secret);
}

// A hook on the heap (it is 25 KB), named "test" unless named.
inline std::unique_ptr<wh_hook> make_hook(const std::string &url, const char *method = "POST",
                                          const char *sig = "", const char *secret = "",
                                          const std::string &name = "test") {
  auto h = std::make_unique<wh_hook>();
  fill_hook(h.get(), name, url, method, sig, secret);
  return h;
}

// A builder that overruns a record's capacity is a broken test: it stops.
[[noreturn]] inline void hook_builder_full(const char *what) {
  fprintf(stderr, "hook_builder: %s is full\n", what);
  abort();
}

inline void add_header(wh_hook *h, const std::string &name, const std::string &value) {
  if (h->header_count >= WH_MAX_HEADERS) hook_builder_full("the hook's header list");
  wh_header &x = h->headers[h->header_count++];
  wh_field_copy(x.name, name.c_str());
  wh_field_copy(x.value, value.c_str());
}

// Appends a hook to a store's records (in memory; nothing is saved).
inline wh_hook &add_hook(wh_store *s, const std::string &name,
                         const std::string &url = "https://relay.example/h",
                         const char *method = "POST") {
  if (s->hook_count >= WH_MAX_HOOKS) hook_builder_full("the store");
  wh_hook &h = s->hooks[s->hook_count++];
  fill_hook(&h, name, url, method);
  return h;
}

}  // namespace vdtest
