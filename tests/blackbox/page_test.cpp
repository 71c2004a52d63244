// The management page as the web server receives it: the header block, then
// the template with its placeholders replaced by the theme assets.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "child_process.h"
#include "page_assets.h"

namespace {

size_t count(std::string_view hay, std::string_view needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1))
    ++n;
  return n;
}

std::string script(std::string_view js) {
  return "<script>" + std::string(js) + "</script>";
}

TEST(Page, DocumentWithThemeAssets) {
  const std::string head =
      "Content-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
      "X-Content-Type-Options: nosniff\r\nReferrer-Policy: no-referrer\r\n"
      "Content-Security-Policy: default-src 'self' 'unsafe-inline'; img-src 'self' data:; "
      "connect-src 'self'\r\n\r\n";
  const std::string force = script(THEME_FORCE_LIGHT_JS);
  struct {
    const char *query;
    bool light;
  } cases[] = {{"", false},
               {"theme=LIGHT", true},
               {"x=1?theme=light", true},
               {"theme=lightx", false},
               {"theme=dark", false},
               {"theme=", false}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query);
    auto env = vdtest::base_env();
    env.push_back(std::string("QUERY_STRING=") + c.query);
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("WEBHOOK_STORE_PATH=/nonexistent-dir/hooks.json");
    auto r = vdtest::run({vdtest::program_path()}, env);
    ASSERT_EQ(r.status, 0);
    ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out.substr(0, 300);
    std::string_view doc = std::string_view(r.out).substr(head.size());

    EXPECT_EQ(doc.find_first_of("\x01\x02"), std::string_view::npos);
    EXPECT_EQ(count(doc, "<title>webhook</title>" + script(THEME_BOOTSTRAP_JS) + "\n" +
                             (c.light ? force : "") + "<style>" + std::string(THEME_CSS) +
                             "</style>\n<style>"),
              1u);
    EXPECT_EQ(count(doc, "</script>\n" + script(THEME_BRIDGE_JS) + "\n" + script(THEME_TOGGLE_JS) +
                             "\n</body></html>"),
              1u);
    for (auto asset : {THEME_CSS, THEME_BOOTSTRAP_JS, THEME_BRIDGE_JS, THEME_TOGGLE_JS}) {
      EXPECT_EQ(count(doc, asset), 1u);
    }
    EXPECT_EQ(count(doc, force), c.light ? 1u : 0u);
    EXPECT_TRUE(doc.ends_with("</body></html>"));
  }
}

}  // namespace
