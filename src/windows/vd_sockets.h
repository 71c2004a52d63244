// The socket layer's declarations (addrinfo, sockaddr, inet_ntop/inet_pton)
// from Winsock; posix/vd_sockets.h has the POSIX ones. The build puts one
// folder on the include path.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
