// Endpoint URLs: the narrow grammar the delivery path accepts (http/https,
// host names and dotted IPv4, optional port, target copied byte for byte),
// the display forms with the query (and for a model the path) hidden, and the
// method list.
#pragma once

#include <cstddef>

struct wh_url {
  char scheme[8];   // "https" or "http"
  char host[256];   // as written, no case folding
  int port;         // 1..65535; the scheme's default when none is written
  char path[2048];  // request target: starts with "/" or "?", never empty
  int https;        // 1 for https
};

// 0 on success; -1 with one reason in err (cut to err_size).
int wh_url_parse(const char *text, wh_url *out, char *err, size_t err_size);
// "scheme://host[:port]path[?<redacted>]", cut to out_size: the owner's view.
void wh_url_redact(const wh_url *url, char *out, size_t out_size);
// "scheme://host[:port]" then "/<redacted>" for a path beyond "/" (else the
// "/" itself) and "?<redacted>" for a query, cut to out_size: the view of
// callers that must not learn a token carried in the path (Slack, Discord
// and most other webhook URLs put theirs there).
void wh_url_redact_path(const wh_url *url, char *out, size_t out_size);
// 1 for GET, POST, PUT, PATCH, DELETE, HEAD (exact case), else 0.
int wh_method_ok(const char *method);
