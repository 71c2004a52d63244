// libcurl, loaded on the first delivery of a process. Linking it would cost
// every start (most invocations never send anything) the loading of libcurl
// and its TLS stack, so the program dlopens "libcurl.so.4" and resolves the
// few functions it uses.
#pragma once

#include <curl/curl.h>

#include <cstddef>

struct curl_api {
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_perform) easy_perform;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
};

// The loaded table, or null with the loader's reason in err (cut to
// err_size). Loads once; a failed load is retried on the next call.
const curl_api *curl_api_get(char *err, size_t err_size);

// Whether this process has loaded libcurl (without loading it).
bool curl_api_loaded();

// The library name handed to dlopen; tests point it elsewhere before the
// first load to exercise the failure path.
extern const char *curl_api_library;

// Owners for libcurl's handles; they hold the table they were made with.
struct curl_easy_free {
  const curl_api *api = nullptr;
  void operator()(CURL *h) const {
    if (api) api->easy_cleanup(h);
  }
};
struct curl_slist_free {
  const curl_api *api = nullptr;
  void operator()(curl_slist *l) const {
    if (api) api->slist_free_all(l);
  }
};
