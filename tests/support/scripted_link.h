#pragma once

// A port on a pseudo-terminal or a loopback socket, and the peer a test plays at its far end.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "port/serial_port.h"
#include "port/tcp_port.h"
#include "tests/support/port_text.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tcp_peer.h"

namespace zorbent::test {

using Chunks = std::vector<std::string>;

class ScriptedLink {
 public:
  // kind: "tcp", or the mode of a serial port, "direct" or "queued".
  explicit ScriptedLink(const char* kind) {
    bool opened = false;
    if (std::string_view(kind) == "tcp") {
      auto peer = std::make_unique<TcpPeer>();
      port_ = std::make_unique<TcpPort>(TcpClientConfig("127.0.0.1", std::to_string(peer->Port())),
                                        opened);
      peer_ = std::move(peer);
    } else {
      auto pty = std::make_unique<PtyPair>();
      port_ = std::make_unique<SerialPort>(SerialConfig(pty->SlavePath(), kind), opened);
      peer_ = std::move(pty);
    }
    if (!opened) port_.reset();
  }

  // Null when the port did not open (or was taken).
  Port* port() { return port_.get(); }
  std::unique_ptr<Port> TakePort() { return std::move(port_); }
  StreamPeer& peer() { return *peer_; }

 private:
  std::unique_ptr<StreamPeer> peer_;
  std::unique_ptr<Port> port_;  // closed before its peer goes
};

}  // namespace zorbent::test
