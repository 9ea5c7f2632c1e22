// Sockets over Windows Sockets 2.2. A SOCKET is kept in the int descriptor: socket handles are
// kernel handles, 32-bit values even in a 64-bit process, so the value survives the round trip.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/address_lookup.h"
#include "platform/socket.h"

namespace zorbent {
namespace {

using Clock = std::chrono::steady_clock;

SOCKET ToSocket(int fd) {
  return static_cast<SOCKET>(static_cast<std::intptr_t>(fd));
}
int FromSocket(SOCKET s) {
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

bool SetNonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

void SetNoDelay(SOCKET s) {
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

SOCKET OpenStreamSocket(int family) {
  SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return s;
  if (!SetNonBlocking(s)) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}

// One non-blocking connect, bounded by timeoutMs. select reports a failed connect in the
// exception set, which WSAPoll did not do on every Windows release.
ConnectError ConnectOne(SOCKET s, const addrinfo& address, std::int32_t timeoutMs) {
  if (::connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0)
    return ConnectError::kNone;
  const int error = ::WSAGetLastError();
  if (error == WSAECONNREFUSED) return ConnectError::kRefused;
  if (error == WSAENETUNREACH || error == WSAEHOSTUNREACH) return ConnectError::kUnreachable;
  if (error != WSAEWOULDBLOCK && error != WSAEINPROGRESS) return ConnectError::kFailed;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  const int r = ::select(0, nullptr, &writable, &failed, &limit);
  if (r == 0) return ConnectError::kTimedOut;
  if (r < 0) return ConnectError::kFailed;
  int soError = 0;
  int length = sizeof soError;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length) != 0)
    return ConnectError::kFailed;
  if (soError == 0 && FD_ISSET(s, &writable)) return ConnectError::kNone;
  if (soError == WSAENETUNREACH || soError == WSAEHOSTUNREACH) return ConnectError::kUnreachable;
  if (soError == WSAETIMEDOUT) return ConnectError::kTimedOut;
  return soError == WSAECONNREFUSED ? ConnectError::kRefused : ConnectError::kFailed;
}

bool WouldBlock() {
  const int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

}  // namespace

// Never cleaned up: a detached lookup may still run while the process ends, and the system
// frees what is left then.
bool SocketsStarted() {
  static const bool started = [] {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
      ::WSACleanup();
      return false;
    }
    return true;
  }();
  return started;
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

// Every descriptor on Windows is a socket (the wake-up is one too).
void Descriptor::Reset() {
  if (fd_ >= 0) ::closesocket(ToSocket(fd_));
  fd_ = -1;
}

// The wake-up is a UDP socket connected to itself: a datagram sent to it makes it readable,
// so WSAPoll can wait on it together with the TCP socket.
Wakeup::Wakeup() {
  if (!SocketsStarted()) return;
  SOCKET s = ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return;
  Descriptor owned(FromSocket(s));
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  self.sin_port = 0;
  int length = sizeof self;
  if (::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 || !SetNonBlocking(s))
    return;
  fd_ = std::move(owned);
}

void Wakeup::Signal() {
  if (!fd_.IsValid()) return;
  const char one = 1;
  // A full buffer already holds a signal, so a refused send loses nothing.
  ::send(ToSocket(fd_.Get()), &one, 1, 0);
}

void Wakeup::Drain() {
  if (!fd_.IsValid()) return;
  char sink[64];
  while (::recv(ToSocket(fd_.Get()), sink, sizeof sink, 0) > 0) {
  }
}

Socket Socket::Connect(const std::string& host, std::int32_t port, std::int32_t timeoutMs,
                       ConnectError* error) {
  ConnectError last = ConnectError::kBadAddress;
  const auto finish = [&](Socket s) {
    if (error != nullptr) *error = s.IsValid() ? ConnectError::kNone : last;
    return s;
  };
  if (host.empty() || port <= 0) return finish(Socket());
  if (!SocketsStarted()) {
    last = ConnectError::kFailed;
    return finish(Socket());
  }
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
    Socket s(FromSocket(OpenStreamSocket(a->ai_family)));
    if (!s.IsValid()) {
      last = ConnectError::kFailed;
      continue;
    }
    last = ConnectOne(ToSocket(s.fd_.Get()), *a, static_cast<std::int32_t>(left));
    if (last != ConnectError::kNone) continue;
    // Commands are short and answered at once: send each without waiting to coalesce.
    SetNoDelay(ToSocket(s.fd_.Get()));
    return finish(std::move(s));
  }
  return finish(Socket());
}

Socket Socket::Listen(const std::string& host, std::int32_t port, int backlog) {
  if (!SocketsStarted()) return Socket();
  const AddrList list = Resolve(host, port, true);
  for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    Socket s(FromSocket(OpenStreamSocket(a->ai_family)));
    if (!s.IsValid()) continue;
    const SOCKET raw = ToSocket(s.fd_.Get());
    // Keeps another program from binding the same port while this one listens.
    const BOOL on = TRUE;
    ::setsockopt(raw, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
    if (::bind(raw, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 &&
        ::listen(raw, backlog) == 0)
      return s;
  }
  return Socket();
}

int Socket::Receive(std::span<std::uint8_t> out) {
  if (!IsValid()) return -1;
  if (out.empty()) return 0;
  const int want = static_cast<int>(std::min<std::size_t>(out.size(), 1 << 30));
  const int n = ::recv(ToSocket(fd_.Get()), reinterpret_cast<char*>(out.data()), want, 0);
  if (n > 0) return n;
  if (n == 0) return -1;  // orderly close by the peer
  return WouldBlock() ? 0 : -1;
}

int Socket::Send(std::span<const std::uint8_t> bytes) {
  if (!IsValid()) return -1;
  if (bytes.empty()) return 0;
  const int want = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 30));
  const int n = ::send(ToSocket(fd_.Get()), reinterpret_cast<const char*>(bytes.data()), want, 0);
  if (n >= 0) return n;
  return WouldBlock() ? 0 : -1;
}

SocketEvents Socket::Wait(bool forRead, bool forWrite, const Wakeup* wake,
                          std::int32_t timeoutMs) const {
  SocketEvents events;
  WSAPOLLFD fds[2]{};
  ULONG count = 0;
  fds[count].fd = ToSocket(fd_.Get());
  fds[count].events = static_cast<SHORT>((forRead ? POLLRDNORM : 0) | (forWrite ? POLLWRNORM : 0));
  ++count;
  if (wake != nullptr && wake->IsValid()) {
    fds[count].fd = ToSocket(wake->Fd());
    fds[count].events = POLLRDNORM;
    ++count;
  }
  const int r = ::WSAPoll(fds, count, timeoutMs < 0 ? -1 : timeoutMs);
  if (r < 0) {
    events.failed = true;
    return events;
  }
  if (r == 0) {
    events.timedOut = true;
    return events;
  }
  const SHORT got = fds[0].revents;
  // A hang-up with data still queued shows as readable, so the last bytes are not lost.
  events.readable = forRead && (got & (POLLRDNORM | POLLHUP)) != 0;
  events.writable = forWrite && (got & POLLWRNORM) != 0;
  events.failed = (got & (POLLERR | POLLNVAL)) != 0;
  events.woken = count > 1 && (fds[1].revents & (POLLRDNORM | POLLERR)) != 0;
  return events;
}

Socket Socket::Accept(std::string& peerKey) const {
  peerKey.clear();
  if (!IsValid()) return Socket();
  sockaddr_storage peer{};
  int length = sizeof peer;
  const SOCKET s = ::accept(ToSocket(fd_.Get()), reinterpret_cast<sockaddr*>(&peer), &length);
  if (s == INVALID_SOCKET) return Socket();
  Socket accepted(FromSocket(s));
  if (!SetNonBlocking(s)) return Socket();
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  char host[NI_MAXHOST] = {};
  char service[NI_MAXSERV] = {};
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&peer), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    peerKey = std::string(host) + ":" + service;
  }
  SetNoDelay(s);
  return accepted;
}

std::int32_t Socket::LocalPort() const {
  if (!IsValid()) return -1;
  sockaddr_storage local{};
  int length = sizeof local;
  if (::getsockname(ToSocket(fd_.Get()), reinterpret_cast<sockaddr*>(&local), &length) != 0)
    return -1;
  if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
  if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
  return -1;
}

}  // namespace zorbent
