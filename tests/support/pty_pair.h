#pragma once

#include <cstdint>
#include <string>

#include "tests/support/stream_peer.h"

namespace zorbent::test {

// A pseudo-terminal whose master end the test plays: the code under test opens SlavePath().
// The pair keeps its own slave descriptor open so the master never sees a hang-up while the
// port under test reopens.
class PtyPair : public StreamPeer {
 public:
  PtyPair();
  ~PtyPair() override;

  const std::string& SlavePath() const { return slavePath_; }
  // "com|/dev/pts/N:BAUD"
  std::string ConfigString(int baud = 115200) const;
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
