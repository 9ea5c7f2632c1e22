#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorbent::test {

// The far end a test plays (pty master or socket): raw bytes, and an adapter-like responder.
class StreamPeer {
 public:
  StreamPeer(const StreamPeer&) = delete;
  StreamPeer& operator=(const StreamPeer&) = delete;
  virtual ~StreamPeer();

  void Write(const std::string& bytes);
  // Everything that arrives within timeoutMs, up to the first pause of quietMs.
  std::string ReadFor(int timeoutMs, int quietMs = 50) {
    return Read(std::string::npos, timeoutMs, quietMs);
  }
  // Reads until `count` bytes arrived or timeoutMs passed.
  std::string ReadCount(std::size_t count, int timeoutMs) {
    return Read(count, timeoutMs, timeoutMs);
  }
  // Closes this end: the other side sees the line go.
  virtual void HangUp() { CloseLine(); }

  // Answers each command (bytes up to and including '\r') with respond's chunks, pauseMs apart.
  using Responder = std::function<std::vector<std::string>(const std::string& command)>;
  void StartResponder(Responder respond, int pauseMs = 2);
  void StopResponder();
  // Commands the responder has seen, in order.
  std::vector<std::string> Commands();

 protected:
  // socket: written with send, which raises no SIGPIPE when the other side left.
  explicit StreamPeer(bool socket) : socket_(socket) {}
  // The line's descriptor once there is one (within timeoutMs), else -1.
  virtual int Line(int /*timeoutMs*/) { return fd_; }
  void CloseLine();

  int fd_ = -1;

 private:
  bool WriteAll(int fd, const std::string& bytes);
  // Up to count bytes, until timeoutMs passed or the line was quiet for quietMs.
  std::string Read(std::size_t count, int timeoutMs, int quietMs);

  const bool socket_;
  std::thread responder_;
  std::atomic<bool> stop_{false};
  std::mutex commandsMutex_;
  std::vector<std::string> commands_;
};

// Waits for input (or the other side's close) on fd.
bool WaitReadable(int fd, int timeoutMs);

}  // namespace zorbent::test
