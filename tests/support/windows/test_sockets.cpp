#include "test_sockets.h"

#include <windows.h>

#include <utility>

namespace vdtest {

namespace {

socket_t private_socket(socket_t s) {
  if (s != INVALID_SOCKET)
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

}  // namespace

socket_t tcp_socket() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? private_socket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) : INVALID_SOCKET;
}

socket_t accept_socket(socket_t l) {
  socket_t s = private_socket(accept(l, nullptr, nullptr));
  u_long on = 1;
  if (s != INVALID_SOCKET) ioctlsocket(s, static_cast<long>(FIONBIO), &on);  // FIONBIO is unsigned
  return s;
}

std::string socket_error() {
  return "Winsock error " + std::to_string(WSAGetLastError());
}

long send_some(socket_t s, const char *data, size_t n) {
  int w = send(s, data, static_cast<int>(n > 1 << 20 ? 1 << 20 : n), 0);
  if (w == SOCKET_ERROR) return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  return w;
}

bool wake_pair(socket_t ends[2]) {
  ends[0] = ends[1] = INVALID_SOCKET;
  socket_t l = tcp_socket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  bool ok = l != INVALID_SOCKET && bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) == 0 && listen(l, 1) == 0 &&
            (ends[1] = tcp_socket()) != INVALID_SOCKET &&
            connect(ends[1], reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
            (ends[0] = private_socket(accept(l, nullptr, nullptr))) != INVALID_SOCKET;
  if (l != INVALID_SOCKET) closesocket(l);
  for (int i = 0; i < 2 && !ok; ++i)
    if (ends[i] != INVALID_SOCKET) closesocket(std::exchange(ends[i], INVALID_SOCKET));
  return ok;
}

}  // namespace vdtest
