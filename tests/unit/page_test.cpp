#include "page.h"

#include <gtest/gtest.h>

#include <string>

#include "raii.h"

namespace {

TEST(HtmlEscape, Table) {
  auto esc = [](const char *s) {
    unique_cstr out(wh_html_escape(s));
    return std::string(out.get());
  };
  EXPECT_EQ(esc("<a href=\"x\">Tom & Jerry's</a>"),
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#39;s&lt;/a&gt;");
  EXPECT_EQ(esc("plain caf\xc3\xa9"), "plain caf\xc3\xa9");
  EXPECT_EQ(esc(""), "");
  EXPECT_EQ(esc(nullptr), "");
}

}  // namespace
