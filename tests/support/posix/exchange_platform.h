// What the delivery tests see of the platform's HTTP exchange where the two
// builds differ: libcurl's here, WinHTTP's in windows/exchange_platform.h.
#pragma once

#include <optional>
#include <string>

namespace vdtest {

// The value of the Connection line the exchange writes of its own: none.
inline const std::optional<std::string> kExchangeConnection;

}  // namespace vdtest
