// The text of --help, compiled in from doc/usage.txt at build time; the
// manual page vavode_deveruz(1) is made from the same text.
#pragma once

#include <string_view>

extern const std::string_view USAGE_TEXT;
