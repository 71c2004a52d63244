// The parts of the WinHTTP exchange that its tests reach directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wh_http.h"
#include "windows/winhttp_api.h"

// A failed TLS handshake: the endpoint offers no TLS 1.2 or later (or no
// cipher in common); under Wine also a certificate it does not trust.
inline constexpr char kTlsRefused[] =
    "request failed: the TLS handshake with the endpoint failed (it offers no TLS 1.2 or "
    "later, or its certificate was not trusted)";

// TLS 1.2 and 1.3, the only versions a delivery may use (0x2800).
inline constexpr unsigned long kTls12And13 =
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;

// The header text a request carries (Host line, length line, stored headers
// within the 499-byte budget, in a 1600-byte buffer) in UTF-16 as WinHTTP
// takes it, with the User-Agent line after the Host line, at most cap units
// with the NUL. Returns the units written, or -1 when the text does not fit.
int wh_winhttp_header_text(const wh_url *url, const char *method, const wh_header *headers,
                           int header_count, uint64_t body_len, wchar_t *out, size_t cap);

// WinHTTP resolves the name again for https, so the address it connected to
// is vetted once more after the exchange: `connected` is that address as
// text ("" when WinHTTP did not tell). Through a proxy, the connection is the
// proxy's and the guard has nothing to say. 0 when the answer may be kept;
// otherwise -1 with the reason in r, whose status and body are discarded.
int wh_winhttp_vet_connected(const char *host, const char *connected, bool via_proxy,
                             int allow_private, wh_response *r);

// Restricts a session to TLS 1.2 and 1.3 or, where the option does not know
// 1.3 (Windows 10), to 1.2 alone. Returns the protocol flags now set, or 0
// when neither was taken: the session must not be used for https then, as
// it would run under the system's defaults.
unsigned long wh_winhttp_restrict_tls(decltype(&WinHttpSetOption) set_option, void *session);
