#include "curl_api.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

const char *curl_api_library = "libcurl.so.4";

namespace {

curl_api g_api;
bool g_loaded = false;

template <typename Fn>
bool resolve(void *lib, const char *name, Fn *out, char *err, size_t err_size) {
  void *sym = dlsym(lib, name);
  if (!sym) {
    const char *why = dlerror();
    snprintf(err, err_size, "%s", why ? why : name);
    return false;
  }
  *out = reinterpret_cast<Fn>(sym);
  return true;
}

}  // namespace

bool curl_api_loaded() {
  return g_loaded;
}

const curl_api *curl_api_get(char *err, size_t err_size) {
  if (err && err_size) err[0] = '\0';
  if (g_loaded) return &g_api;
  char scratch[256];
  if (!err || !err_size) {
    err = scratch;
    err_size = sizeof scratch;
  }

  // Lazy binding: libcurl and the libraries it pulls in (TLS, Kerberos, LDAP,
  // ...) hold thousands of symbols, of which a delivery calls few, and a
  // fresh process would pay for resolving every one of them. The functions
  // used here are resolved, and checked, below.
  void *lib = dlopen(curl_api_library, RTLD_LAZY | RTLD_LOCAL);
  if (!lib) {
    const char *why = dlerror();
    snprintf(err, err_size, "%s", why ? why : "dlopen failed");
    return nullptr;
  }
  curl_api api{};
  decltype(&::curl_global_init) global_init = nullptr;
  bool ok = resolve(lib, "curl_global_init", &global_init, err, err_size) &&
            resolve(lib, "curl_easy_init", &api.easy_init, err, err_size) &&
            resolve(lib, "curl_easy_setopt", &api.easy_setopt, err, err_size) &&
            resolve(lib, "curl_easy_perform", &api.easy_perform, err, err_size) &&
            resolve(lib, "curl_easy_getinfo", &api.easy_getinfo, err, err_size) &&
            resolve(lib, "curl_easy_cleanup", &api.easy_cleanup, err, err_size) &&
            resolve(lib, "curl_easy_strerror", &api.easy_strerror, err, err_size) &&
            resolve(lib, "curl_slist_append", &api.slist_append, err, err_size) &&
            resolve(lib, "curl_slist_free_all", &api.slist_free_all, err, err_size);
  if (!ok) {
    dlclose(lib);
    return nullptr;
  }
  // The process is single-threaded, so global set-up here cannot race.
  CURLcode rc = global_init(CURL_GLOBAL_DEFAULT);
  if (rc != CURLE_OK) {
    snprintf(err, err_size, "curl_global_init failed (%d)", static_cast<int>(rc));
    dlclose(lib);
    return nullptr;
  }
  // The library stays loaded, and its global state set up, for the rest of
  // the process; the system reclaims both at exit.
  g_api = api;
  g_loaded = true;
  return &g_api;
}
