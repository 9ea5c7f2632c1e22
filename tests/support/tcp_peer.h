#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/stream_peer.h"

namespace zorbent::test {

// PtyPair's TCP twin: the code connects to Port() on 127.0.0.1, the test plays the accepted end.
class TcpPeer : public StreamPeer {
 public:
  // backlog: connections the system completes before anyone accepts them.
  explicit TcpPeer(int backlog = 4);
  ~TcpPeer() override;

  int Port() const { return port_; }
  std::string ConfigString() const { return "tcp|127.0.0.1:" + std::to_string(port_); }
  // Accepts the pending connection; false when none came within timeoutMs.
  bool Accept(int timeoutMs = 5000);
  // Closes the listener too, so later connects are refused.
  void StopListening();
  // Fills the queue (make it with backlog 0), so the next connect hangs as towards no host.
  void FillBacklog();

 private:
  int Line(int timeoutMs) override { return Accept(timeoutMs) ? fd_ : -1; }

  int listener_ = -1;
  std::vector<int> fillers_;
  int port_ = 0;
};

// A raw loopback client socket for tests of the listening side.
class TcpClient : public StreamPeer {
 public:
  explicit TcpClient(int port);

  bool IsConnected() const { return fd_ >= 0; }
  // The client's own port, as the listener sees it.
  int LocalPort() const;
  // True when the other side closed within timeoutMs, having sent nothing before.
  bool SeesClose(int timeoutMs);
};

}  // namespace zorbent::test
