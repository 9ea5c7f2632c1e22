#pragma once

// The adapter's end of a pseudo-terminal or a loopback socket, played by a test through a
// responder, and the port the engine talks through on the other end.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/serial_port.h"
#include "port/tcp_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tcp_peer.h"

namespace zorbent::test {

using Chunks = std::vector<std::string>;

class ScriptedLink {
 public:
  explicit ScriptedLink(bool tcp) {
    PortConfig c;
    bool opened = false;
    if (tcp) {
      tcp_ = std::make_unique<TcpPeer>();
      c.Set("mode", "client");
      c.Set("remote_ip", "127.0.0.1");
      c.Set("remote_port", std::to_string(tcp_->Port()));
      port_ = std::make_unique<TcpPort>(c, opened);
    } else {
      pty_ = std::make_unique<PtyPair>();
      c.Set("mode", "direct");
      c.Set("name", pty_->SlavePath());
      c.Set("baud", "115200");
      port_ = std::make_unique<SerialPort>(c, opened);
    }
    if (!opened) port_.reset();
  }

  // Null when the port did not open (or was taken).
  Port* port() { return port_.get(); }
  std::unique_ptr<Port> TakePort() { return std::move(port_); }
  void Write(const std::string& bytes) { tcp_ ? tcp_->Write(bytes) : pty_->Write(bytes); }
  std::string ReadFor(int timeoutMs) {
    return tcp_ ? tcp_->ReadFor(timeoutMs) : pty_->ReadFor(timeoutMs);
  }
  // Answers each command with the chunks respond gives, pauseMs apart.
  void StartResponder(std::function<Chunks(const std::string&)> respond, int pauseMs = 2) {
    tcp_ ? tcp_->StartResponder(std::move(respond), pauseMs)
         : pty_->StartResponder(std::move(respond), pauseMs);
  }
  void StopResponder() { tcp_ ? tcp_->StopResponder() : pty_->StopResponder(); }
  std::vector<std::string> Commands() { return tcp_ ? tcp_->Commands() : pty_->Commands(); }

 private:
  std::unique_ptr<PtyPair> pty_;
  std::unique_ptr<TcpPeer> tcp_;
  std::unique_ptr<Port> port_;  // closed before its peer goes
};

}  // namespace zorbent::test
