// The simulator's TCP link on Windows Sockets 2.2: 127.0.0.1 only, one host at a time. Each
// socket has an event object (WSAEventSelect) that the simulator's loop waits on; the sockets
// and events are kept in int descriptors (kernel handles are 32-bit values).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstdint>
#include <string>

#include "sim/adapter/link.h"

namespace zorbent::sim {
namespace {

constexpr DWORD kWriteStallMs = 1000;

bool SocketsStarted() {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

int FromHandle(HANDLE h) {
  return h == nullptr ? -1 : static_cast<int>(reinterpret_cast<std::intptr_t>(h));
}

HANDLE ToHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

std::string LastError() {
  return "error " + std::to_string(::WSAGetLastError());
}

class TcpLink final : public Link {
 public:
  explicit TcpLink(int port) : port_(port) {}
  ~TcpLink() override {
    Disconnect();
    if (listener_ != INVALID_SOCKET) ::closesocket(listener_);
    if (listenEvent_ != nullptr) ::WSACloseEvent(listenEvent_);
    if (clientEvent_ != nullptr) ::WSACloseEvent(clientEvent_);
  }

  bool Open(std::string& error) override {
    if (port_ < 0 || port_ > 65535) {
      error = "TCP port out of range: " + std::to_string(port_);
      return false;
    }
    if (!SocketsStarted()) {
      error = "cannot start Windows Sockets";
      return false;
    }
    listenEvent_ = ::WSACreateEvent();
    clientEvent_ = ::WSACreateEvent();
    listener_ =
        ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (listenEvent_ == nullptr || clientEvent_ == nullptr || listener_ == INVALID_SOCKET) {
      error = "cannot create a socket: " + LastError();
      return false;
    }
    // Another program must not take the port while the simulator listens on it.
    const BOOL on = TRUE;
    ::setsockopt(listener_, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        ::WSAEventSelect(listener_, listenEvent_, FD_ACCEPT) != 0) {
      error = "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " + LastError();
      ::closesocket(listener_);
      listener_ = INVALID_SOCKET;
      return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
  }

  std::string ConfigString() const override { return "tcp|127.0.0.1:" + std::to_string(port_); }
  int DataFd() const override { return client_ == INVALID_SOCKET ? -1 : FromHandle(clientEvent_); }
  int ListenFd() const override {
    return listener_ == INVALID_SOCKET ? -1 : FromHandle(listenEvent_);
  }

  bool AcceptHost() override {
    WSANETWORKEVENTS events{};
    ::WSAEnumNetworkEvents(listener_, listenEvent_, &events);  // resets the event
    const SOCKET s = ::accept(listener_, nullptr, nullptr);
    if (s == INVALID_SOCKET) return false;
    Disconnect();  // one host at a time, as a WiFi adapter takes it
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    const BOOL on = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // Replaces what the socket inherited from the listener; makes it non-blocking.
    if (::WSAEventSelect(s, clientEvent_, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
      ::closesocket(s);
      return false;
    }
    client_ = s;
    // Bytes sent before the event was tied to the socket raise nothing: look once.
    ::SetEvent(clientEvent_);
    return true;
  }

  int Read(std::span<std::uint8_t> out) override {
    if (client_ == INVALID_SOCKET) return -1;
    TakeEvents();
    const int n =
        ::recv(client_, reinterpret_cast<char*>(out.data()), static_cast<int>(out.size()), 0);
    if (n > 0) {
      // Read on until recv would block: a close is reported once, and FD_READ is raised
      // again only by a recv that leaves bytes behind.
      ::SetEvent(clientEvent_);
      return n;
    }
    if (n < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    Disconnect();
    return -1;
  }

  bool Write(std::span<const std::uint8_t> bytes, const WakeEvent& wake) override {
    std::size_t done = 0;
    bool tookEvents = false;
    bool ok = true;
    while (done < bytes.size()) {
      if (client_ == INVALID_SOCKET) return false;
      const int n = ::send(client_, reinterpret_cast<const char*>(bytes.data() + done),
                           static_cast<int>(bytes.size() - done), 0);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && ::WSAGetLastError() != WSAEWOULDBLOCK) {
        ok = false;
        break;
      }
      // The host is not reading: wait for room (FD_WRITE), but not for ever.
      HANDLE handles[2] = {clientEvent_, ToHandle(wake.Fd())};
      const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, kWriteStallMs);
      if (r != WAIT_OBJECT_0) {
        ok = false;
        break;
      }
      TakeEvents();
      tookEvents = true;
    }
    // Input that arrived meanwhile was taken off the event: raise it again for the loop.
    if (tookEvents && client_ != INVALID_SOCKET) ::SetEvent(clientEvent_);
    return ok;
  }

  std::int32_t HostRate() const override { return 0; }

  void Disconnect() override {
    if (client_ != INVALID_SOCKET) ::closesocket(client_);
    client_ = INVALID_SOCKET;
    if (clientEvent_ != nullptr) ::WSAResetEvent(clientEvent_);
  }

 private:
  void TakeEvents() {
    WSANETWORKEVENTS events{};
    ::WSAEnumNetworkEvents(client_, clientEvent_, &events);  // resets the event
  }

  int port_;
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  WSAEVENT listenEvent_ = nullptr;
  WSAEVENT clientEvent_ = nullptr;
};

}  // namespace

std::unique_ptr<Link> MakeTcpLink(int port) {
  return std::make_unique<TcpLink>(port);
}

// No pseudo-terminals on Windows: the simulator serves TCP only.
std::unique_ptr<Link> MakePtyLink() {
  return nullptr;
}

}  // namespace zorbent::sim
