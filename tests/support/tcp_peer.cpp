#include "tests/support/tcp_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace zorbent::test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool WaitReadable(int fd, int timeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void WriteAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size() && fd >= 0) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadCountFrom(int fd, std::size_t count, int timeoutMs) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count && fd >= 0) {
    const int left = MsLeft(deadline);
    if (left <= 0 || !WaitReadable(fd, left)) break;
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  return address;
}

}  // namespace

TcpPeer::TcpPeer(int backlog) {
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
  StopResponder();
  HangUp();
  StopListening();
  for (const int fd : fillers_) ::close(fd);
}

std::string TcpPeer::ConfigString() const {
  return "tcp|127.0.0.1:" + std::to_string(port_);
}

bool TcpPeer::Accept(int timeoutMs) {
  if (conn_ >= 0) return true;
  if (listener_ < 0 || !WaitReadable(listener_, timeoutMs)) return false;
  conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn_ >= 0) {
    const int on = 1;
    ::setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return conn_ >= 0;
}

void TcpPeer::Write(const std::string& bytes) {
  if (Accept()) WriteAll(conn_, bytes);
}

std::string TcpPeer::ReadFor(int timeoutMs, int quietMs) {
  std::string out;
  if (!Accept(timeoutMs)) return out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    const int left = MsLeft(deadline);
    if (left <= 0) break;
    if (!WaitReadable(conn_, out.empty() ? left : std::min(quietMs, left))) {
      if (!out.empty()) break;
      continue;
    }
    char buf[4096];
    const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string TcpPeer::ReadCount(std::size_t count, int timeoutMs) {
  if (!Accept(timeoutMs)) return {};
  return ReadCountFrom(conn_, count, timeoutMs);
}

void TcpPeer::HangUp() {
  StopResponder();
  if (conn_ >= 0) ::close(conn_);
  conn_ = -1;
}

void TcpPeer::FillBacklog() {
  constexpr int kMaxFillers = 16;
  constexpr int kCompleteMs = 200;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < kMaxFillers; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    fillers_.push_back(fd);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd pfd{fd, POLLOUT, 0};
    if (::poll(&pfd, 1, kCompleteMs) == 0) return;  // this one hangs: the queue is full
  }
}

void TcpPeer::StopListening() {
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void TcpPeer::StartResponder(Responder respond, int pauseMs) {
  StopResponder();
  if (!Accept()) return;
  stop_ = false;
  responder_ = std::thread([this, respond = std::move(respond), pauseMs] {
    std::string pending;
    while (!stop_) {
      if (!WaitReadable(conn_, 20)) continue;
      char buf[4096];
      const ssize_t n = ::recv(conn_, buf, sizeof buf, 0);
      if (n <= 0) return;
      pending.append(buf, static_cast<std::size_t>(n));
      std::size_t cr;
      while ((cr = pending.find('\r')) != std::string::npos) {
        const std::string command = pending.substr(0, cr + 1);
        pending.erase(0, cr + 1);
        {
          std::lock_guard lock(commandsMutex_);
          commands_.push_back(command);
        }
        const auto chunks = respond(command);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
          if (i > 0 && pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
          WriteAll(conn_, chunks[i]);
        }
      }
    }
  });
}

void TcpPeer::StopResponder() {
  stop_ = true;
  if (responder_.joinable()) responder_.join();
}

std::vector<std::string> TcpPeer::Commands() {
  std::lock_guard lock(commandsMutex_);
  return commands_;
}

TcpClient::TcpClient(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in address = Loopback(port);
  if (fd_ >= 0 &&
      ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    Close();
  }
}

TcpClient::~TcpClient() {
  Close();
}

int TcpClient::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
  return ntohs(address.sin_port);
}

void TcpClient::Write(const std::string& bytes) {
  WriteAll(fd_, bytes);
}

std::string TcpClient::ReadCount(std::size_t count, int timeoutMs) {
  return ReadCountFrom(fd_, count, timeoutMs);
}

bool TcpClient::SeesClose(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (fd_ >= 0) {
    const int left = MsLeft(deadline);
    if (left <= 0 || !WaitReadable(fd_, left)) return false;
    char buf[256];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;  // end of stream or reset
  }
  return false;
}

void TcpClient::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int OpenDescriptorCount() {
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

int ThreadCount() {
  // A sanitizer runtime starts a helper thread of its own at the first thread the process
  // makes; make one here, so that helper is already there for every count.
  static const bool warmed = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmed;
  int count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

}  // namespace zorbent::test
