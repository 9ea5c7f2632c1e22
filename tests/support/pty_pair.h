#pragma once

#include <cstdint>
#include <string>

#include "tests/support/stream_peer.h"

namespace zorbent::test {

// A pty whose master the test plays; a held slave spares it a hang-up when the port reopens.
class PtyPair : public StreamPeer {
 public:
  PtyPair();
  ~PtyPair() override { HangUp(); }

  const std::string& SlavePath() const { return slavePath_; }
  std::string ConfigString(int baud = 115200) const {
    return "com|" + slavePath_ + ":" + std::to_string(baud);
  }
  int MasterFd() const { return fd_; }
  // The line rate the slave side was set to.
  std::int32_t LineRate() const;
  // Closes the master: the slave side sees a hang-up.
  void HangUp() override;

 private:
  int heldSlave_ = -1;
  std::string slavePath_;
};

}  // namespace zorbent::test
