#pragma once

// Name and address lookup shared by the socket layers of both systems.

#include <cstdint>
#include <memory>
#include <string>

// The system's address list (netdb.h, ws2tcpip.h): only the socket layers look inside it.
struct addrinfo;

namespace zorbent {

struct AddrInfoFree {
  void operator()(addrinfo* list) const;
};
using AddrList = std::unique_ptr<addrinfo, AddrInfoFree>;

// How long a host name may take to resolve before it counts as not found.
inline constexpr std::int32_t kLookupTimeoutMs = 3000;

enum class LookupError { kNone, kBadPort, kBadAddress, kNotFound, kTimedOut };

// Starts the system's sockets once for the whole process and leaves them started until it
// ends, so no lookup, socket or address conversion ever runs between a start and a cleanup
// (Windows Sockets; nothing to start elsewhere). False when sockets cannot be used.
bool SocketsStarted();

// True when host is an address (dotted IPv4 or an IPv6 literal, with or without brackets),
// which never goes out to the resolver.
bool IsNumericHost(const std::string& host);

// Stream addresses of host:port (host may be "[::1]"); null when the port is out of range or
// the host cannot be resolved within timeoutMs. passive: addresses to listen on. A name is
// resolved on a worker thread so the caller never waits past the deadline; a lookup still
// running then finishes on its own and is dropped.
AddrList Resolve(const std::string& host, std::int32_t port, bool passive,
                 std::int32_t timeoutMs = kLookupTimeoutMs, LookupError* error = nullptr);

// The first address of host as text, IPv4 preferred (adapters speak IPv4); empty on failure.
std::string ResolveToAddress(const std::string& host, std::int32_t timeoutMs, LookupError* error);

}  // namespace zorbent
