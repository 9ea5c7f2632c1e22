// The POSIX serial device's modem lines: DTR and RTS are held inactive from the open on, and
// closing does not toggle them.
//
// A pseudo-terminal has no modem lines (TIOCMBIC and TIOCMGET fail with ENOTTY), so on one the
// test sees the request itself: this binary wraps ioctl, records every modem-line request and
// passes it on to the system unchanged.

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
  int fd;
  unsigned long request;
  int lines;
  int result;
  int error;
};

std::mutex requestsMutex;
std::vector<ModemRequest> requests;

std::vector<ModemRequest> TakeRequests() {
  std::lock_guard lock(requestsMutex);
  return std::exchange(requests, {});
}

}  // namespace

// Every ioctl of this process comes here first, the serial device's included.
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
    requests.push_back({fd, request, *static_cast<int*>(argument), result, saved});
    errno = saved;
  }
  return result;
}

namespace zorbent {
namespace {

constexpr int kBothLines = TIOCM_DTR | TIOCM_RTS;

tcflag_t ControlFlags(int fd) {
  struct termios tio {};
  ::tcgetattr(fd, &tio);
  return tio.c_cflag;
}

// The device starts from a pty with HUPCL set: the open clears it and a rate change keeps it
// clear, so no close ever drops the lines either.
TEST(SerialDeviceModemLines, OpenAndEveryRateChangeLowerDtrAndRtsEvenWhereRefused) {
  test::PtyPair pty;
  // The master shows (and sets) the slave's settings.
  struct termios tio {};
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
    // Only ever lowered, both lines at once; never raised or set.
    EXPECT_EQ(r.request, static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(r.lines, kBothLines);
    // What a pseudo-terminal answers: it really reached the system.
    EXPECT_EQ(r.result, -1);
    EXPECT_TRUE(r.error == ENOTTY || r.error == EINVAL) << r.error;
  }

  ASSERT_TRUE(device.SetRate(2000000));
  seen = TakeRequests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].request, static_cast<unsigned long>(TIOCMBIC));
  EXPECT_EQ(seen[0].lines, kBothLines);
  EXPECT_EQ(pty.LineRate(), 2000000);
  EXPECT_EQ(ControlFlags(pty.MasterFd()) & HUPCL, 0u);

  device.Close();
  EXPECT_TRUE(TakeRequests().empty());  // closing leaves the lines alone
}

}  // namespace
}  // namespace zorbent
