// termios2 lives in kernel headers that clash with <termios.h>, so it gets its own file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace zorbent {

bool SetLineRate(int fd, std::int32_t baud) {
  if (baud < 0) return false;
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

std::int32_t GetLineRate(int fd) {
  struct termios2 tio {};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return -1;
  return static_cast<std::int32_t>(tio.c_ospeed);
}

}  // namespace zorbent
