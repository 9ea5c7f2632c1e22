#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/adapter/link.h"

namespace zorbent::sim {
namespace {

constexpr int kWriteStallMs = 1000;

class TcpLink final : public Link {
 public:
  explicit TcpLink(int port) : port_(port) {}
  ~TcpLink() override {
    Disconnect();
    if (listener_ >= 0) ::close(listener_);
  }

  bool Open(std::string& error) override {
    if (port_ < 0 || port_ > 65535) {
      error = "TCP port out of range: " + std::to_string(port_);
      return false;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) {
      error = std::string("cannot create a socket: ") + std::strerror(errno);
      return false;
    }
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    struct sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      error = "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " + std::strerror(errno);
      ::close(listener_);
      listener_ = -1;
      return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
  }

  std::string ConfigString() const override { return "tcp|127.0.0.1:" + std::to_string(port_); }
  int DataFd() const override { return client_; }
  int ListenFd() const override { return listener_; }

  bool AcceptHost() override {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return false;
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    Disconnect();  // one host at a time, as a WiFi adapter takes it
    client_ = fd;
    return true;
  }

  int Read(std::span<std::uint8_t> out) override {
    if (client_ < 0) return -1;
    const ssize_t n = ::recv(client_, out.data(), out.size(), 0);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    Disconnect();
    return -1;
  }

  bool Write(std::span<const std::uint8_t> bytes, const WakeEvent& wake) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      if (client_ < 0) return false;
      const ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      struct pollfd fds[2] = {{client_, POLLOUT, 0}, {wake.Fd(), POLLIN, 0}};
      if (::poll(fds, 2, kWriteStallMs) <= 0 || (fds[1].revents & POLLIN)) return false;
    }
    return true;
  }

  std::int32_t HostRate() const override { return 0; }

  void Disconnect() override {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }

 private:
  int port_;
  int listener_ = -1;
  int client_ = -1;
};

}  // namespace

std::unique_ptr<Link> MakeTcpLink(int port) {
  return std::make_unique<TcpLink>(port);
}

}  // namespace zorbent::sim
