#include "platform/address_lookup.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "system_sockets.h"  // posix/ or win/, as CMake picks

namespace zorbent {

void AddrInfoFree::operator()(addrinfo* list) const {
  ::freeaddrinfo(list);
}
namespace {

// "[::1]" names the same host as "::1"; the brackets only keep it apart from a port.
std::string StripBrackets(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

// One lookup shared between the caller and the worker that runs it; whoever leaves last
// frees it, so a caller that gave up never waits for the resolver.
struct Lookup {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  int result = EAI_FAIL;
  AddrList list;
};

int GetAddrInfo(const std::string& name, const std::string& service, const addrinfo& hints,
                AddrList& out) {
  addrinfo* list = nullptr;
  const int r =
      ::getaddrinfo(name.empty() ? nullptr : name.c_str(), service.c_str(), &hints, &list);
  if (r == 0) out.reset(list);
  return r;
}

}  // namespace

bool IsNumericHost(const std::string& host) {
  const std::string name = StripBrackets(host);
  // Digits and dots, or colons, are meant as an address: a bad one (999.1.1.1) fails as such
  // instead of going out to name servers as if it were a host name.
  return name.find(':') != std::string::npos ||
         (!name.empty() && name.find_first_not_of("0123456789.") == std::string::npos);
}

AddrList Resolve(const std::string& host, std::int32_t port, bool passive, std::int32_t timeoutMs,
                 LookupError* error) {
  LookupError ignored = LookupError::kNone;
  LookupError& why = error != nullptr ? *error : ignored;
  why = LookupError::kNone;
  if (port < 0 || port > 65535) {
    why = LookupError::kBadPort;
    return nullptr;
  }
  // Started here, before the worker, for the whole process: a worker that outlives its
  // caller and the caller's getnameinfo both need sockets started.
  if (!SocketsStarted()) {
    why = LookupError::kNotFound;
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | (passive ? AI_PASSIVE : 0);
  const std::string name = StripBrackets(host);
  const std::string service = std::to_string(port);
  if (name.empty() || IsNumericHost(host)) {
    hints.ai_flags |= name.empty() ? 0 : AI_NUMERICHOST;
    AddrList list;
    if (GetAddrInfo(name, service, hints, list) != 0) why = LookupError::kBadAddress;
    return list;
  }
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name, service, hints] {
      AddrList list;
      const int r = GetAddrInfo(name, service, hints, list);
      std::lock_guard hold(lookup->lock);
      lookup->result = r;
      lookup->list = std::move(list);
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    why = LookupError::kNotFound;
    return nullptr;
  }
  std::unique_lock hold(lookup->lock);
  if (!lookup->done.wait_for(hold, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                             [&] { return lookup->finished; })) {
    why = LookupError::kTimedOut;
    return nullptr;
  }
  if (lookup->result != 0) {
    why = LookupError::kNotFound;
    return nullptr;
  }
  return std::move(lookup->list);
}

std::string ResolveToAddress(const std::string& host, std::int32_t timeoutMs, LookupError* error) {
  const AddrList list = Resolve(host, 0, false, timeoutMs, error);
  const addrinfo* pick = nullptr;
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      pick = a;
      break;
    }
    if (pick == nullptr && a->ai_family == AF_INET6) pick = a;
  }
  if (pick == nullptr) {
    if (error != nullptr && *error == LookupError::kNone) *error = LookupError::kNotFound;
    return {};
  }
  char text[NI_MAXHOST] = {};
  if (::getnameinfo(pick->ai_addr, static_cast<socklen_t>(pick->ai_addrlen), text, sizeof text,
                    nullptr, 0, NI_NUMERICHOST) != 0) {
    if (error != nullptr) *error = LookupError::kNotFound;
    return {};
  }
  return text;
}

}  // namespace zorbent
