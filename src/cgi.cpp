#include "cgi.h"

#include <cstdio>

// The web interface is not built yet: answer with a well-formed CGI reply that
// says so, rather than nothing.
void cgi_main() {
  fputs(
      "Status: 501\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n\r\n"
      "{\"ok\":false,\"error\":\"the web interface is not available in this build\"}",
      stdout);
  fflush(stdout);
}
