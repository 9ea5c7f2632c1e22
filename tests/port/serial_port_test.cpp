#include "port/serial_port.h"

#include <gtest/gtest.h>

#include <array>

#include "platform/thread.h"
#include "tests/support/port_text.h"
#include "tests/support/pty_pair.h"
#include "tests/support/thread_starts.h"

namespace zorbent {
namespace {

using test::SerialConfig;

// A direct port sets a new rate at once; a queued one at its next open.
TEST(SerialPort, RateChangeReachesTheLineAtOnceOrAtTheNextOpen) {
  for (const char* mode : {"direct", "queued"}) {
    test::PtyPair pty;
    bool opened = false;
    SerialPort port(SerialConfig(pty.SlavePath(), mode), opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(pty.LineRate(), 115200);
    if (!port.Direct()) {
      EXPECT_EQ(port.SetBaud(9600), -1);
      EXPECT_EQ(pty.LineRate(), 115200);
      ASSERT_TRUE(port.Open());
      EXPECT_EQ(pty.LineRate(), 9600);
      continue;
    }
    for (const int rate : {9600, 256000, 2000000, 8000000}) {
      EXPECT_EQ(port.SetBaud(rate), 1);
      EXPECT_EQ(pty.LineRate(), rate);
    }
  }
}

// A missing device leaves a closed port that refuses everything; a device opens once only.
TEST(SerialPort, MissingDeviceClosedPortAndSecondOpenFail) {
  EXPECT_EQ(SerialPort::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(SerialPort::DevicePath("/dev/pts/3"), "/dev/pts/3");
  bool opened = true;
  SerialPort port(SerialConfig("/dev/does-not-exist-zorbent"), opened);
  std::array<std::uint8_t, 1> one{};
  EXPECT_FALSE(opened || port.IsOpen() || port.Read(one, 10) || port.Write(one, 10));
  EXPECT_EQ(port.SetBaud(9600), -1);
  port.Purge();
  port.Close();  // closing a closed port does nothing

  test::PtyPair pty;
  bool first = false;
  bool second = true;
  SerialPort a(SerialConfig(pty.SlavePath()), first);
  SerialPort b(SerialConfig(pty.SlavePath()), second);
  EXPECT_TRUE(first && !second);
  EXPECT_EQ(b.LastOpenError(), SerialDevice::OpenError::kInUse);
}

// Without a thread for its pump a queued open fails through its result, no exception, and
// lets the device go; a later Open works.
TEST(SerialPort, QueuedOpenWithoutAThreadFailsCleanly) {
  test::PtyPair pty;
  bool opened = true;
  FailThreadStartForTesting(1);
  SerialPort queued(SerialConfig(pty.SlavePath(), "queued"), opened);
  std::array<std::uint8_t, 1> one{};
  EXPECT_FALSE(opened || queued.IsOpen() || queued.Write(one, 10));
  FailThreadStartForTesting(1);
  EXPECT_FALSE(queued.Open());
  {
    bool direct = false;  // the device was let go
    const SerialPort port(SerialConfig(pty.SlavePath()), direct);
    EXPECT_TRUE(direct);
  }
  ASSERT_TRUE(queued.Open());
  ASSERT_TRUE(queued.Write(test::Bytes("ATZ\r"), 1000));
  EXPECT_EQ(pty.ReadFor(1000), "ATZ\r");
}

}  // namespace
}  // namespace zorbent
