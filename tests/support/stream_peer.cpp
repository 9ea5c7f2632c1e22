#include "tests/support/stream_peer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace zorbent::test {

using Clock = std::chrono::steady_clock;

bool WaitReadable(int fd, int timeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

StreamPeer::~StreamPeer() {
  CloseLine();
}

void StreamPeer::CloseLine() {
  StopResponder();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool StreamPeer::WriteAll(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const char* from = bytes.data() + done;
    const ssize_t n = socket_ ? ::send(fd, from, bytes.size() - done, MSG_NOSIGNAL)
                              : ::write(fd, from, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void StreamPeer::Write(const std::string& bytes) {
  const int fd = Line(5000);
  if (fd >= 0) WriteAll(fd, bytes);
}

std::string StreamPeer::Read(std::size_t count, int timeoutMs, int quietMs) {
  std::string out;
  const int fd = Line(timeoutMs);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (fd >= 0 && out.size() < count) {
    const auto left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0 || !WaitReadable(fd, out.empty() ? left : std::min(quietMs, left))) break;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

void StreamPeer::StartResponder(Responder respond, int pauseMs) {
  StopResponder();
  const int fd = Line(5000);
  if (fd < 0) return;
  stop_ = false;
  responder_ = std::thread([this, fd, respond = std::move(respond), pauseMs] {
    std::string pending;
    while (!stop_) {
      if (!WaitReadable(fd, 20)) continue;
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) return;
      pending.append(buf, static_cast<std::size_t>(n));
      for (std::size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
        const std::string command = pending.substr(0, cr + 1);
        pending.erase(0, cr + 1);
        {
          std::lock_guard lock(commandsMutex_);
          commands_.push_back(command);
        }
        const auto chunks = respond(command);
        for (std::size_t i = 0; i < chunks.size(); ++i) {
          if (i > 0 && pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
          WriteAll(fd, chunks[i]);
        }
      }
    }
  });
}

void StreamPeer::StopResponder() {
  stop_ = true;
  if (responder_.joinable()) responder_.join();
}

std::vector<std::string> StreamPeer::Commands() {
  std::lock_guard lock(commandsMutex_);
  return commands_;
}

}  // namespace zorbent::test
