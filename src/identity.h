// The program's identity: one place for the texts that the host, the MCP
// client and the store location all read.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "vd_version.h"

inline constexpr char VD_PROGRAM_NAME[] = "vavode_deveruz";
// From CMakeLists.txt's project(VERSION), the one place the version is written.
inline constexpr char VD_VERSION[] = VD_PROJECT_VERSION;
inline constexpr char VD_KIND_WORD[] = "webhook";
inline constexpr char VD_DESCRIPTION[] = "HTTP triggers";

// The store file's name, and its place below a per-user data folder with
// the platform's separator: "kestrune<Sep>connectors<Sep>vavode_deveruz<Sep>
// hooks.json" (VD_STORE_TAIL<'/'>.data()).
inline constexpr char VD_STORE_FILE[] = "hooks.json";
template <char Sep>
inline constexpr std::array<char, 64> VD_STORE_TAIL = [] {
  constexpr std::string_view parts[] = {"kestrune", "connectors", VD_PROGRAM_NAME, VD_STORE_FILE};
  std::array<char, 64> out{};
  size_t n = 0;
  for (std::string_view part : parts) {
    if (n) out[n++] = Sep;
    for (char c : part) out[n++] = c;
  }
  return out;
}();
