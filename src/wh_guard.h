// The private-address guard: which resolved endpoint addresses a delivery may
// connect to, and the one switch that lets a user reach local endpoints.
#pragma once

#include "vd_sockets.h"

// 1 when the numeric address text (dotted IPv4 or IPv6 text form) is private,
// reserved or unreadable, 0 when it may be contacted. Absent or empty text is
// refused.
int wh_ip_is_denied(const char *text);

// 1 when WEBHOOK_ALLOW_PRIVATE is exactly "1", or "true"/"yes" in any case;
// read afresh on every call.
int wh_allow_private();

// The same judgement for a socket address (AF_INET or AF_INET6); any other
// family, and a null address, is refused.
int wh_sockaddr_is_denied(const sockaddr *addr);
