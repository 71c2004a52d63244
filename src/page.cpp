#include "page.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cgi_answer.h"
#include "page_assets.h"

namespace {

void put(std::string_view s) {
  fwrite(s.data(), 1, s.size(), stdout);
}

void put_script(std::string_view js) {
  put("<script>");
  put(js);
  put("</script>");
}

// 0x01: the theme picked before the body is drawn, then its style sheet.
void put_theme_head(bool light) {
  put_script(THEME_BOOTSTRAP_JS);
  put("\n");
  if (light) put_script(THEME_FORCE_LIGHT_JS);
  put("<style>");
  put(THEME_CSS);
  put("</style>\n");
}

// 0x02: the host bridge, then the toggle, which must be bound last.
void put_theme_tail() {
  put_script(THEME_BRIDGE_JS);
  put("\n");
  put_script(THEME_TOGGLE_JS);
  put("\n");
}

}  // namespace

void page_write(bool light) {
  cgi_write_head(0, CGI_HTML);
  std::string_view rest = PAGE_TEMPLATE;
  for (;;) {
    size_t at = rest.find_first_of("\x01\x02");
    put(rest.substr(0, at));
    if (at == std::string_view::npos) break;
    if (rest[at] == '\x01') {
      put_theme_head(light);
    } else {
      put_theme_tail();
    }
    rest.remove_prefix(at + 1);
  }
  fflush(stdout);
}
