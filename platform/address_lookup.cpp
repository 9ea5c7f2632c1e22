#include "platform/address_lookup.h"

namespace zorbent {
namespace {

// "[::1]" names the same host as "::1"; the brackets only keep it apart from a port.
std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

}  // namespace

AddrList Resolve(const std::string& host, std::int32_t port, bool passive) {
  if (port < 0 || port > 65535) return nullptr;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  const std::string name = StripBrackets(host);
  // Digits and dots, or colons, are meant as an address: a bad one (999.1.1.1) fails here
  // instead of going out to name servers as if it were a host name.
  const bool looksNumeric =
      name.find(':') != std::string::npos ||
      (!name.empty() && name.find_first_not_of("0123456789.") == std::string::npos);
  if (looksNumeric) hints.ai_flags |= AI_NUMERICHOST;
  const std::string service = std::to_string(port);
  addrinfo* list = nullptr;
  if (::getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &list) != 0)
    return nullptr;
  return AddrList(list);
}

}  // namespace zorbent
