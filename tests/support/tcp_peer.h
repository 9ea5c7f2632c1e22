#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorbent::test {

// A loopback listener on 127.0.0.1 whose accepted socket the test plays, the TCP twin of
// PtyPair: the code under test connects to Port(), the test reads and writes raw bytes.
// The connection is accepted on first use.
class TcpPeer {
 public:
  // backlog: connections the system completes before anyone accepts them.
  explicit TcpPeer(int backlog = 4);
  ~TcpPeer();
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;

  int Port() const { return port_; }
  // "tcp|127.0.0.1:PORT"
  std::string ConfigString() const;
  // Accepts the pending connection; false when none came within timeoutMs.
  bool Accept(int timeoutMs = 5000);

  void Write(const std::string& bytes);
  // Everything that arrives within timeoutMs after the first byte pause of quietMs.
  std::string ReadFor(int timeoutMs, int quietMs = 50);
  // Reads until `count` bytes arrived or timeoutMs passed.
  std::string ReadCount(std::size_t count, int timeoutMs);
  // Closes the accepted connection: the port under test sees the peer leave.
  void HangUp();
  // Closes the listener too, so later connects are refused.
  void StopListening();
  // Fills the listener's queue with connections nobody accepts (make it with backlog 0), so
  // the next connect hangs as towards a host that never answers.
  void FillBacklog();

  // Answers each command (bytes up to and including '\r') with the chunks that respond
  // returns, written one after another with a short pause between them.
  using Responder = std::function<std::vector<std::string>(const std::string& command)>;
  void StartResponder(Responder respond, int pauseMs = 2);
  void StopResponder();
  std::vector<std::string> Commands();

 private:
  int listener_ = -1;
  int conn_ = -1;
  std::vector<int> fillers_;
  int port_ = 0;
  std::thread responder_;
  std::atomic<bool> stop_{false};
  std::mutex commandsMutex_;
  std::vector<std::string> commands_;
};

// A raw loopback client socket for tests of the listening side.
class TcpClient {
 public:
  explicit TcpClient(int port);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool IsConnected() const { return fd_ >= 0; }
  // The client's own port, as the listener sees it.
  int LocalPort() const;
  void Write(const std::string& bytes);
  std::string ReadCount(std::size_t count, int timeoutMs);
  // True when the other side closed within timeoutMs.
  bool SeesClose(int timeoutMs);
  void Close();

 private:
  int fd_ = -1;
};

// Open descriptors and threads of this process, from /proc/self.
int OpenDescriptorCount();
int ThreadCount();

}  // namespace zorbent::test
