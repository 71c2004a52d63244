// The parts of the WinHTTP exchange that its tests reach directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wh_http.h"

// The header text a request carries (Host line, length line, stored headers
// within the 499-byte budget, in a 1600-byte buffer) in UTF-16 as WinHTTP
// takes it, at most cap units with the NUL. Returns the units written, or -1
// when the text does not fit.
int wh_winhttp_header_text(const wh_url *url, const char *method, const wh_header *headers,
                           int header_count, uint64_t body_len, wchar_t *out, size_t cap);

// WinHTTP resolves the name again for https, so the address it connected to
// is vetted once more after the exchange: `connected` is that address as
// text ("" when WinHTTP did not tell). Through a proxy, the connection is the
// proxy's and the guard has nothing to say. 0 when the answer may be kept;
// otherwise -1 with the reason in r, whose status and body are discarded.
int wh_winhttp_vet_connected(const char *host, const char *connected, bool via_proxy,
                             int allow_private, wh_response *r);
