// The page's assets, compiled in from assets/ at build time.
#pragma once

#include <string_view>

// The whole document. It holds the byte 0x01 once, in head after the title,
// where the theme head goes, and 0x02 once, at the end of body, where the
// theme bridge and toggle go; no other 0x01 or 0x02.
extern const std::string_view PAGE_TEMPLATE;

// The theme style sheet and the four theme scripts, without their elements.
extern const std::string_view THEME_CSS;
extern const std::string_view THEME_BOOTSTRAP_JS;
extern const std::string_view THEME_FORCE_LIGHT_JS;
extern const std::string_view THEME_BRIDGE_JS;
extern const std::string_view THEME_TOGGLE_JS;
