#pragma once

// Winsock halves shared by the Windows link and wait. Descriptors cross link.h as ints: socket
// and event handles are kernel handles, 32-bit values even in a 64-bit process.
#include <winsock2.h>

#include <cstdint>

namespace zorbent::sim {

inline SOCKET ToSocket(int fd) {
  return static_cast<SOCKET>(static_cast<std::intptr_t>(fd));
}
inline int FromSocket(SOCKET s) {
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
inline HANDLE ToHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

// Windows Sockets 2.2, started once for the process.
bool SocketsStarted();

// Waits until the socket has one of the network events (FD_* bits), the wake event is raised
// or timeoutMs passes; the events found, or 0. Binding the socket to an event makes it
// non-blocking, which every socket of the link already is.
long WaitForSocket(SOCKET s, long events, HANDLE wake, DWORD timeoutMs, bool& woken);

}  // namespace zorbent::sim
