#include "tests/support/pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/serial_device.h"

namespace zorbent::test {

PtyPair::PtyPair() : StreamPeer(false) {
  fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0)
    throw std::runtime_error("no pseudo-terminal");
  slavePath_ = ::ptsname(fd_);
  heldSlave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios tio {};
  ::tcgetattr(heldSlave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(heldSlave_, TCSANOW, &tio);
  SetLineRate(heldSlave_, 115200);
}

std::int32_t PtyPair::LineRate() const {
  return GetLineRate(fd_);
}

void PtyPair::HangUp() {
  if (heldSlave_ >= 0) ::close(heldSlave_);
  heldSlave_ = -1;
  CloseLine();
}

}  // namespace zorbent::test
