#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/address_lookup.h"

namespace zorbent {
namespace {

using Clock = std::chrono::steady_clock;

int OpenStreamSocket(int family) {
  return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int PollRetrying(pollfd* fds, nfds_t count, std::int32_t timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const int r = ::poll(fds, count, timeoutMs);
    if (r >= 0 || errno != EINTR) return r;
    if (timeoutMs >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeoutMs = left > 0 ? static_cast<std::int32_t>(left) : 0;
    }
  }
}

// One non-blocking connect, bounded by timeoutMs.
ConnectError ConnectOne(int fd, const addrinfo& address, std::int32_t timeoutMs) {
  if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return ConnectError::kNone;
  if (errno == ECONNREFUSED) return ConnectError::kRefused;
  if (errno == ENETUNREACH || errno == EHOSTUNREACH) return ConnectError::kUnreachable;
  if (errno != EINPROGRESS && errno != EINTR) return ConnectError::kFailed;
  pollfd pfd{fd, POLLOUT, 0};
  const int r = PollRetrying(&pfd, 1, timeoutMs);
  if (r == 0) return ConnectError::kTimedOut;
  if (r < 0) return ConnectError::kFailed;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return ConnectError::kFailed;
  if (error == 0) return ConnectError::kNone;
  if (error == ENETUNREACH || error == EHOSTUNREACH) return ConnectError::kUnreachable;
  if (error == ETIMEDOUT) return ConnectError::kTimedOut;
  return error == ECONNREFUSED ? ConnectError::kRefused : ConnectError::kFailed;
}

}  // namespace

bool SocketsStarted() {
  return true;
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = other.Release();
  }
  return *this;
}

int Descriptor::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Descriptor::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void Wakeup::Signal() {
  const std::uint64_t one = 1;
  if (!fd_.IsValid()) return;
  [[maybe_unused]] const ssize_t n = ::write(fd_.Get(), &one, sizeof one);  // full only at 2^64-1
}

void Wakeup::Drain() {
  std::uint64_t count = 0;
  if (!fd_.IsValid()) return;
  [[maybe_unused]] const ssize_t n = ::read(fd_.Get(), &count, sizeof count);  // EAGAIN: none
}

Socket Socket::Connect(const std::string& host, std::int32_t port, std::int32_t timeoutMs,
                       ConnectError* error) {
  ConnectError last = ConnectError::kBadAddress;
  const auto finish = [&](Socket s) {
    if (error != nullptr) *error = s.IsValid() ? ConnectError::kNone : last;
    return s;
  };
  if (host.empty() || port <= 0) return finish(Socket());
  LookupError lookup = LookupError::kNone;
  const AddrList list = Resolve(host, port, false, std::max(timeoutMs, 0), &lookup);
  if (!list) {
    const bool named = lookup == LookupError::kNotFound || lookup == LookupError::kTimedOut;
    last = named ? ConnectError::kHostNotFound : ConnectError::kBadAddress;
    return finish(Socket());
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      last = ConnectError::kTimedOut;
      break;
    }
    Socket s(OpenStreamSocket(a->ai_family));
    if (!s.IsValid()) {
      last = ConnectError::kFailed;
      continue;
    }
    last = ConnectOne(s.fd_.Get(), *a, static_cast<std::int32_t>(left));
    if (last != ConnectError::kNone) continue;
    // Commands are short and answered at once: send each without waiting to coalesce.
    const int on = 1;
    ::setsockopt(s.fd_.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return finish(std::move(s));
  }
  return finish(Socket());
}

Socket Socket::Listen(const std::string& host, std::int32_t port, int backlog) {
  const AddrList list = Resolve(host, port, true);
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    Socket s(OpenStreamSocket(a->ai_family));
    if (!s.IsValid()) continue;
    const int on = 1;
    ::setsockopt(s.fd_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s.fd_.Get(), a->ai_addr, a->ai_addrlen) == 0 && ::listen(s.fd_.Get(), backlog) == 0)
      return s;
  }
  return Socket();
}

int Socket::Receive(std::span<std::uint8_t> out) {
  if (!IsValid()) return -1;
  if (out.empty()) return 0;
  while (true) {
    const ssize_t n = ::recv(fd_.Get(), out.data(), out.size(), 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return -1;  // orderly close by the peer
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

int Socket::Send(std::span<const std::uint8_t> bytes) {
  if (!IsValid()) return -1;
  if (bytes.empty()) return 0;
  while (true) {
    const ssize_t n = ::send(fd_.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
  }
}

SocketEvents Socket::Wait(bool forRead, bool forWrite, const Wakeup* wake,
                          std::int32_t timeoutMs) const {
  SocketEvents events;
  pollfd fds[2]{};
  nfds_t count = 0;
  fds[count++] =
      pollfd{fd_.Get(), static_cast<short>((forRead ? POLLIN : 0) | (forWrite ? POLLOUT : 0)), 0};
  if (wake != nullptr && wake->IsValid()) fds[count++] = pollfd{wake->Fd(), POLLIN, 0};
  const int r = PollRetrying(fds, count, timeoutMs < 0 ? -1 : timeoutMs);
  if (r < 0) {
    events.failed = true;
    return events;
  }
  if (r == 0) {
    events.timedOut = true;
    return events;
  }
  const short got = fds[0].revents;
  // A hang-up with data still queued shows as readable, so the last bytes are not lost.
  events.readable = forRead && (got & (POLLIN | POLLHUP | POLLRDHUP)) != 0;
  events.writable = forWrite && (got & POLLOUT) != 0;
  events.failed = (got & (POLLERR | POLLNVAL)) != 0;
  events.woken = count > 1 && (fds[1].revents & POLLIN) != 0;
  return events;
}

Socket Socket::Accept(std::string& peerKey) const {
  peerKey.clear();
  if (!IsValid()) return Socket();
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  int fd = -1;
  do {
    fd = ::accept4(fd_.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                   SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Socket();
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    peerKey = std::string(host) + ":" + service;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return Socket(fd);
}

std::int32_t Socket::LocalPort() const {
  if (!IsValid()) return -1;
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (::getsockname(fd_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) return -1;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return -1;
}

}  // namespace zorbent
