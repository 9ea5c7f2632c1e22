#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "platform/serial_device.h"

namespace zorbent::test {

PtyPair::PtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
    throw std::runtime_error("no pseudo-terminal");
  slavePath_ = ::ptsname(master_);
  heldSlave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios tio {};
  ::tcgetattr(heldSlave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(heldSlave_, TCSANOW, &tio);
  SetLineRate(heldSlave_, 115200);
}

PtyPair::~PtyPair() {
  StopResponder();
  if (heldSlave_ >= 0) ::close(heldSlave_);
  if (master_ >= 0) ::close(master_);
}

std::string PtyPair::ConfigString(int baud) const {
  return "com|" + slavePath_ + ":" + std::to_string(baud);
}

void PtyPair::Write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size() && master_ >= 0) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

std::string PtyPair::ReadFor(int timeoutMs, int quietMs) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (master_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    struct pollfd pfd {master_, POLLIN, 0};
    const int wait = out.empty() ? static_cast<int>(left) : std::min<int>(quietMs, left);
    if (::poll(&pfd, 1, wait) <= 0 || !(pfd.revents & POLLIN)) {
      if (!out.empty()) break;
      continue;
    }
    char buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::string PtyPair::ReadCount(std::size_t count, int timeoutMs) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count && master_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) break;
    struct pollfd pfd {master_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left)) <= 0 || !(pfd.revents & POLLIN)) continue;
    char buf[4096];
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

std::int32_t PtyPair::LineRate() const { return GetLineRate(master_); }

void PtyPair::HangUp() {
  StopResponder();
  if (heldSlave_ >= 0) ::close(heldSlave_);
  heldSlave_ = -1;
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PtyPair::StartResponder(Responder respond, int pauseMs) {
  StopResponder();
  stop_ = false;
  responder_ = std::thread([this, respond = std::move(respond), pauseMs] {
    std::string pending;
    while (!stop_) {
      struct pollfd pfd {master_, POLLIN, 0};
      if (::poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN)) continue;
      char buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
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
          Write(chunks[i]);
        }
      }
    }
  });
}

void PtyPair::StopResponder() {
  stop_ = true;
  if (responder_.joinable()) responder_.join();
}

std::vector<std::string> PtyPair::Commands() {
  std::lock_guard lock(commandsMutex_);
  return commands_;
}

}  // namespace zorbent::test
