#include "cgi_answer.h"

#include <cstdio>

#include "wh_json.h"

void cgi_write_head(long status, const char *content_type, const char *extra) {
  if (status) printf("Status: %ld\r\n", status);
  if (extra) fputs(extra, stdout);
  // frame-ancestors: only this server's own pages (the host's hub) may frame
  // the page, so no other site can dress it up and lure clicks onto it.
  printf(
      "Content-Type: %s\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\nContent-Security-Policy: default-src 'self' "
      "'unsafe-inline'; img-src 'self' data:; connect-src 'self'; frame-ancestors 'self'\r\n\r\n",
      content_type);
}

void api_send(long status, const char *text, const char *extra) {
  cgi_write_head(status, CGI_JSON, extra);
  fputs(text ? text : "", stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void api_ok(const char *text) {
  api_send(0, text);
}

void api_err(long status, const char *message, const char *extra) {
  wh_text b;
  int first = 1;
  wh_buf_str(&b, "{");
  wh_buf_key(&b, "ok", &first);
  wh_buf_str(&b, "false");
  wh_buf_key(&b, "error", &first);
  wh_buf_json_str(&b, message ? message : "");
  wh_buf_str(&b, "}");
  api_send(status, wh_buf_cstr(&b), extra);
}
