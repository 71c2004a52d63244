// The socket layer's declarations (addrinfo, sockaddr, inet_ntop/inet_pton)
// on POSIX; windows/vd_sockets.h has Winsock's. The build puts one folder
// on the include path.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
