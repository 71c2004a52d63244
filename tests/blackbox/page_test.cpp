// The management page as the web server receives it: the header block, then
// the template with its placeholders replaced by the theme assets.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "cgi_test_util.h"
#include "page_assets.h"

namespace {

using cgitest::Cgi;

size_t count(std::string_view hay, std::string_view needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string_view::npos; at = hay.find(needle, at + 1))
    ++n;
  return n;
}

std::string script(std::string_view js) {
  return "<script>" + std::string(js) + "</script>";
}

TEST_F(Cgi, PageDocumentWithThemeAssets) {
  const std::string head = cgitest::head(0, "text/html; charset=utf-8");
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
    auto r = cgi(c.query, {}, {"REQUEST_METHOD=GET"});
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
