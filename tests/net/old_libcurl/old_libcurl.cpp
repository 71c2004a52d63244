// Stands in for a libcurl older than 7.85, which has no protocol options
// given as text: it refuses those two as such a library does and hands every
// other call to the system's libcurl. What the bit masks were set to is kept
// for the test to read.
#define CURL_DISABLE_TYPECHECK  // the checking macros would rename the definitions below
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>

namespace {

template <typename Fn>
Fn real(const char *name) {
  static void *lib = dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
  return lib ? reinterpret_cast<Fn>(dlsym(lib, name)) : nullptr;
}

long g_protocols = -1, g_redir_protocols = -1;

}  // namespace

extern "C" {

long vd_old_libcurl_protocols() {
  return g_protocols;
}
long vd_old_libcurl_redir_protocols() {
  return g_redir_protocols;
}

CURLcode curl_easy_setopt(CURL *h, CURLoption option, ...) {
  if (option == CURLOPT_PROTOCOLS_STR || option == CURLOPT_REDIR_PROTOCOLS_STR)
    return CURLE_UNKNOWN_OPTION;
  auto set = real<CURLcode (*)(CURL *, CURLoption, ...)>("curl_easy_setopt");
  using any_fn = void (*)();
  va_list ap;
  va_start(ap, option);
  CURLcode rc;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    long v = va_arg(ap, long);
    if (option == CURLOPT_PROTOCOLS) g_protocols = v;
    if (option == CURLOPT_REDIR_PROTOCOLS) g_redir_protocols = v;
    rc = set(h, option, v);
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    rc = set(h, option, va_arg(ap, void *));
  } else if (option < CURLOPTTYPE_OFF_T) {
    rc = set(h, option, va_arg(ap, any_fn));
  } else if (option < CURLOPTTYPE_BLOB) {
    rc = set(h, option, va_arg(ap, curl_off_t));
  } else {
    rc = set(h, option, va_arg(ap, void *));
  }
  va_end(ap);
  return rc;
}

CURLcode curl_easy_getinfo(CURL *h, CURLINFO info, ...) {
  va_list ap;
  va_start(ap, info);
  void *out = va_arg(ap, void *);
  va_end(ap);
  return real<CURLcode (*)(CURL *, CURLINFO, ...)>("curl_easy_getinfo")(h, info, out);
}

CURLcode curl_global_init(long flags) {
  return real<decltype(&curl_global_init)>("curl_global_init")(flags);
}
CURL *curl_easy_init() {
  return real<decltype(&curl_easy_init)>("curl_easy_init")();
}
CURLcode curl_easy_perform(CURL *h) {
  return real<decltype(&curl_easy_perform)>("curl_easy_perform")(h);
}
void curl_easy_cleanup(CURL *h) {
  real<decltype(&curl_easy_cleanup)>("curl_easy_cleanup")(h);
}
const char *curl_easy_strerror(CURLcode rc) {
  return real<decltype(&curl_easy_strerror)>("curl_easy_strerror")(rc);
}
curl_slist *curl_slist_append(curl_slist *list, const char *line) {
  return real<decltype(&curl_slist_append)>("curl_slist_append")(list, line);
}
void curl_slist_free_all(curl_slist *list) {
  real<decltype(&curl_slist_free_all)>("curl_slist_free_all")(list);
}

}  // extern "C"
