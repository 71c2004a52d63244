// The single entry: picks one run mode from the arguments and KR_PLUGIN_META.
// Precedence, highest first: --version, --help or -h, --meta or
// KR_PLUGIN_META, --schema, --mcp, then the CGI front. Any other argument is
// ignored.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi.h"
#include "identity.h"
#include "mcp_server.h"
#include "mcp_tools.h"
#include "plat.h"
#include "usage_text.h"
#include "wh_buf.h"

int main(int argc, char **argv) {
  // Binary standard streams; a reader that goes away must not kill the
  // process: every mode exits 0, and a write to a closed pipe fails quietly.
  plat_start();
  bool help = false, meta = false, schema = false, mcp = false;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strcmp(a, "--meta") == 0) {
      meta = true;
    } else if (strcmp(a, "--mcp") == 0) {
      mcp = true;
    } else if (strcmp(a, "--schema") == 0) {
      schema = true;
    } else if (strcmp(a, "--version") == 0) {
      printf("%s %s (%s)\n", VD_PROGRAM_NAME, VD_VERSION, VD_KIND_WORD);
      return 0;
    } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      help = true;  // after the scan: --version still wins wherever it stands
    }
  }

  if (help) {
    fwrite(USAGE_TEXT.data(), 1, USAGE_TEXT.size(), stdout);
    return 0;
  }

  if (meta || plat_env("KR_PLUGIN_META")) {
    printf(
        "{\"name\":\"%s\",\"desc\":\"%s\",\"kind\":\"%s\",\"mcp\":true,\"daemon\":false,"
        "\"menus\":false,\"verified\":\"live\",\"version\":\"%s\"}\n",
        VD_KIND_WORD, VD_DESCRIPTION, "mcp", VD_VERSION);
  } else if (schema) {
    wh_text b;
    wh_buf_str(&b, "{\"tools\":[");
    mcp_write_tool_list(&b);
    wh_buf_str(&b, "]}");
    fputs(wh_buf_cstr(&b), stdout);
    fputs("\n", stdout);
  } else if (mcp) {
    mcp_serve();
  } else {
    cgi_main();
  }
  return 0;
}
