#pragma once

// Name and address lookup shared by the socket layers of both systems.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <memory>
#include <string>

namespace zorbent {

struct AddrInfoFree {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoFree>;

// Stream addresses of host:port (host may be "[::1]"); null when the port is out of range or
// the host cannot be resolved. passive: addresses to listen on.
AddrList Resolve(const std::string& host, std::int32_t port, bool passive);

}  // namespace zorbent
