// DTR and RTS stay inactive from the open on; ioctl is wrapped to record modem-line requests.

#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "tests/support/pty_pair.h"

namespace {

struct ModemRequest {
  unsigned long request;
  int lines, result, error;
};

std::mutex requestsMutex;
std::vector<ModemRequest> requests;

std::vector<ModemRequest> TakeRequests() {
  std::lock_guard lock(requestsMutex);
  return std::exchange(requests, {});
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  using Ioctl = int (*)(int, unsigned long, ...);
  static const auto real = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
  const int result = real(fd, request, argument);
  if (request == TIOCMBIC || request == TIOCMBIS || request == TIOCMSET) {
    const int saved = errno;
    std::lock_guard lock(requestsMutex);
    requests.push_back({request, *static_cast<int*>(argument), result, saved});
    errno = saved;
  }
  return result;
}

namespace zorbent {
namespace {

tcflag_t ControlFlags(int fd) {
  struct termios tio {};
  ::tcgetattr(fd, &tio);
  return tio.c_cflag;
}

// Open and rate changes only lower both lines and clear HUPCL, so no close drops them.
TEST(SerialDeviceModemLines, OpenAndEveryRateChangeLowerDtrAndRtsEvenWhereRefused) {
  test::PtyPair pty;
  struct termios tio {};  // the master shows (and sets) the slave's settings
  ASSERT_EQ(::tcgetattr(pty.MasterFd(), &tio), 0);
  tio.c_cflag |= HUPCL;
  ASSERT_EQ(::tcsetattr(pty.MasterFd(), TCSANOW, &tio), 0);
  ASSERT_NE(ControlFlags(pty.MasterFd()) & HUPCL, 0u);
  TakeRequests();
  SerialDevice device;
  ASSERT_TRUE(device.Open(pty.SlavePath(), 115200));  // the pty's ENOTTY does not fail it
  EXPECT_EQ(ControlFlags(pty.MasterFd()) & (HUPCL | CRTSCTS), 0u);
  std::vector<ModemRequest> seen = TakeRequests();
  ASSERT_FALSE(seen.empty());
  for (const ModemRequest& r : seen) {
    EXPECT_EQ(r.request, static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(r.lines, TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(r.result, -1);  // what a pty answers: it reached the system
    EXPECT_TRUE(r.error == ENOTTY || r.error == EINVAL) << r.error;
  }
  ASSERT_TRUE(device.SetRate(2000000));
  seen = TakeRequests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request, static_cast<unsigned long>(TIOCMBIC));
  EXPECT_EQ(seen[0].lines, TIOCM_DTR | TIOCM_RTS);
  EXPECT_EQ(pty.LineRate(), 2000000);
  EXPECT_EQ(ControlFlags(pty.MasterFd()) & HUPCL, 0u);
  device.Close();
  EXPECT_TRUE(TakeRequests().empty());  // closing leaves the lines alone
}

}  // namespace
}  // namespace zorbent
