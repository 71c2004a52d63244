// The program's identity: one place for the texts that the host, the MCP
// client and the store location all read.
#pragma once

inline constexpr char VD_PROGRAM_NAME[] = "vavode_deveruz";
inline constexpr char VD_VERSION[] = "1.0.1";
inline constexpr char VD_KIND_WORD[] = "webhook";
inline constexpr char VD_DESCRIPTION[] = "HTTP triggers";
