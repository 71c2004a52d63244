// What the delivery tests see of the platform's HTTP exchange where the two
// builds differ: WinHTTP's here, libcurl's in posix/exchange_platform.h.
#pragma once

#include <optional>
#include <string>

namespace vdtest {

// The value of the Connection line the exchange writes of its own: WinHTTP
// always asks to keep the connection.
inline const std::optional<std::string> kExchangeConnection = "Keep-Alive";

}  // namespace vdtest
