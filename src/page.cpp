#include "page.h"

#include <cstdio>

#include "cgi.h"

// Placeholder until the page assets are built in.
void page_write(bool light) {
  (void)light;
  cgi_write_head(0, CGI_HTML);
  fputs("<!doctype html><title>webhook</title><p>The management page is not built yet.</p>\n",
        stdout);
  fflush(stdout);
}
