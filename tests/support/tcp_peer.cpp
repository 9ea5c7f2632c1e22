#include "tests/support/tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace zorbent::test {
static sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

TcpPeer::TcpPeer(int backlog) : StreamPeer(true) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, backlog) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no loopback listener");
  }
  port_ = ntohs(address.sin_port);
}

TcpPeer::~TcpPeer() {
  HangUp();
  StopListening();
  for (const int fd : fillers_) ::close(fd);
}

bool TcpPeer::Accept(int timeoutMs) {
  if (fd_ >= 0) return true;
  if (listener_ < 0 || !WaitReadable(listener_, timeoutMs)) return false;
  fd_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd_ >= 0) {
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return fd_ >= 0;
}

void TcpPeer::FillBacklog() {
  const sockaddr_in address = Loopback(port_);
  for (int i = 0; i < 16; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    fillers_.push_back(fd);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    pollfd pfd{fd, POLLOUT, 0};
    if (::poll(&pfd, 1, 200) == 0) return;  // this one hangs: the queue is full
  }
}

void TcpPeer::StopListening() {
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

TcpClient::TcpClient(int port) : StreamPeer(true) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    CloseLine();
}

int TcpClient::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

bool TcpClient::SeesClose(int timeoutMs) {
  char buf[256];
  return fd_ >= 0 && WaitReadable(fd_, timeoutMs) && ::recv(fd_, buf, sizeof buf, 0) <= 0;
}

}  // namespace zorbent::test
