// Stands in for a libcurl older than 7.85, which has no protocol options
// given as text: it refuses those two as such a library does. It is linked to
// the system's libcurl, so every other function, and every other option,
// is found there. What the bit masks were set to is kept for the test.
#define CURL_DISABLE_TYPECHECK  // the checking macro would rename the definition below
#define CURL_DISABLE_DEPRECATION
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>

namespace {

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
  using setopt_fn = CURLcode (*)(CURL *, CURLoption, ...);
  static auto next = reinterpret_cast<setopt_fn>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
  using any_fn = void (*)();
  va_list ap;
  va_start(ap, option);
  CURLcode rc;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    long v = va_arg(ap, long);
    if (option == CURLOPT_PROTOCOLS) g_protocols = v;
    if (option == CURLOPT_REDIR_PROTOCOLS) g_redir_protocols = v;
    rc = next(h, option, v);
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    rc = next(h, option, va_arg(ap, void *));
  } else if (option < CURLOPTTYPE_OFF_T) {
    rc = next(h, option, va_arg(ap, any_fn));
  } else if (option < CURLOPTTYPE_BLOB) {
    rc = next(h, option, va_arg(ap, curl_off_t));
  } else {
    rc = next(h, option, va_arg(ap, void *));
  }
  va_end(ap);
  return rc;
}

}  // extern "C"
