#include <linux/serial.h>
#include <sys/ioctl.h>

#include "platform/serial_latency.h"

namespace zorbent {

bool SetDriverLowLatency(int fd) {
  struct serial_struct info {};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
  info.flags |= ASYNC_LOW_LATENCY;
  return ::ioctl(fd, TIOCSSERIAL, &info) == 0;
}

}  // namespace zorbent
