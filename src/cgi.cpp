#include "cgi.h"

#include <cstdio>

void cgi_write_head(long status, const char *content_type) {
  if (status) printf("Status: %ld\r\n", status);
  printf(
      "Content-Type: %s\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\nContent-Security-Policy: default-src 'self' "
      "'unsafe-inline'; img-src 'self' data:; connect-src 'self'\r\n\r\n",
      content_type);
}

// The web interface is not built yet: answer with a well-formed CGI reply that
// says so, rather than nothing.
void cgi_main() {
  cgi_write_head(501, CGI_JSON);
  fputs("{\"ok\":false,\"error\":\"the web interface is not available in this build\"}\n", stdout);
  fflush(stdout);
}
