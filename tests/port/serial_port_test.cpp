#include "port/serial_port.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

PortConfig SerialConfig(const std::string& name, const std::string& baud, const char* mode) {
  PortConfig c;
  c.Set("mode", mode);
  c.Set("name", name);
  c.Set("baud", baud);
  return c;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

double CpuSeconds() {
  struct rusage u {};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class SerialPortModes : public ::testing::TestWithParam<const char*> {};

TEST_P(SerialPortModes, WritesReadsExactCountsAndPurges) {
  test::PtyPair pty;
  bool opened = false;
  SerialPort port(SerialConfig(pty.SlavePath(), "115200", GetParam()), opened);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(port.IsOpen());

  ASSERT_TRUE(port.Write(Bytes("ATI\r"), 1000));
  EXPECT_EQ(pty.ReadCount(4, 2000), "ATI\r");

  pty.Write("hello");
  std::array<std::uint8_t, 5> five{};
  ASSERT_TRUE(port.Read(five, 2000));
  EXPECT_EQ(std::string(five.begin(), five.end()), "hello");

  // Only three of four bytes arrive: the read fails. A direct read has taken them from the
  // device; a queued read leaves them queued.
  pty.Write("abc");
  std::array<std::uint8_t, 4> four{};
  EXPECT_FALSE(port.Read(four, 200));
  pty.Write("Z");
  std::array<std::uint8_t, 1> one{};
  ASSERT_TRUE(port.Read(one, 2000));
  EXPECT_EQ(one[0], port.Direct() ? 'Z' : 'a');
  if (!port.Direct()) {
    std::array<std::uint8_t, 3> rest{};
    ASSERT_TRUE(port.Read(rest, 2000));
    EXPECT_EQ(std::string(rest.begin(), rest.end()), "bcZ");
  }

  EXPECT_TRUE(port.Read(std::span<std::uint8_t>(), 0));  // count 0 succeeds at once

  pty.Write("stale");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.Purge();
  pty.Write("x");
  ASSERT_TRUE(port.Read(one, 2000));
  EXPECT_EQ(one[0], 'x');
}

TEST_P(SerialPortModes, LargeWriteArrivesWhole) {
  test::PtyPair pty;
  bool opened = false;
  SerialPort port(SerialConfig(pty.SlavePath(), "115200", GetParam()), opened);
  ASSERT_TRUE(opened);
  std::string big(5000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 26);
  std::string got;
  std::thread reader([&] { got = pty.ReadCount(big.size(), 5000); });
  EXPECT_TRUE(port.Write(Bytes(big), 5000));
  reader.join();
  EXPECT_EQ(got, big);
}

TEST_P(SerialPortModes, RateChangeReachesTheLineAtOnceOrAtTheNextOpen) {
  test::PtyPair pty;
  bool opened = false;
  SerialPort port(SerialConfig(pty.SlavePath(), "115200", GetParam()), opened);
  ASSERT_TRUE(opened);
  EXPECT_EQ(pty.LineRate(), 115200);
  if (!port.Direct()) {
    EXPECT_EQ(port.SetBaud(9600), -1);
    EXPECT_EQ(pty.LineRate(), 115200);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(pty.LineRate(), 9600);
    return;
  }
  for (const int rate : {9600, 256000, 2000000, 8000000}) {
    EXPECT_EQ(port.SetBaud(rate), 1);
    EXPECT_EQ(pty.LineRate(), rate);
  }
}

INSTANTIATE_TEST_SUITE_P(DirectAndQueued, SerialPortModes, ::testing::Values("direct", "queued"));

TEST(SerialPort, MissingDeviceAndClosedPortFail) {
  EXPECT_EQ(SerialPort::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(SerialPort::DevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(SerialPort::DevicePath("COM3"), "/dev/COM3");
  bool opened = true;
  SerialPort port(SerialConfig("/dev/does-not-exist-zorbent", "115200", "direct"), opened);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(port.IsOpen());
  std::array<std::uint8_t, 1> one{};
  EXPECT_FALSE(port.Read(one, 10));
  EXPECT_FALSE(port.Write(one, 10));
  EXPECT_EQ(port.SetBaud(9600), -1);
  EXPECT_EQ(port.Available(), 0);
  port.Close();  // closing a closed port does nothing
}

TEST(SerialPort, SecondOpenOfTheSameDeviceIsRefused) {
  test::PtyPair pty;
  bool first = false;
  bool second = true;
  SerialPort a(SerialConfig(pty.SlavePath(), "115200", "direct"), first);
  SerialPort b(SerialConfig(pty.SlavePath(), "115200", "direct"), second);
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(b.LastOpenError(), SerialDevice::OpenError::kInUse);
}

// Where no pump thread can be started, a queued open fails through its result: no exception
// leaves the constructor or Open, the device is let go, and a later Open works.
TEST(SerialPort, QueuedOpenWithoutAThreadFailsCleanly) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "the address space limit does not apply";
  test::PtyPair pty;
  const int code = test::RunInChild([&] {
    struct rlimit saved {};
    if (::getrlimit(RLIMIT_AS, &saved) != 0) return 10;
    // Room for the port, none for a thread's stack.
    if (!test::LimitAddressSpace(std::size_t{1} << 20)) return 11;
    bool opened = true;
    SerialPort queued(SerialConfig(pty.SlavePath(), "115200", "queued"), opened);
    if (opened || queued.IsOpen()) return 12;
    std::array<std::uint8_t, 1> one{};
    if (queued.Write(one, 10) || queued.Read(one, 10)) return 13;
    if (queued.Open()) return 14;
    // The device was let go: a direct port, which needs no thread, opens it.
    {
      bool direct = false;
      SerialPort port(SerialConfig(pty.SlavePath(), "115200", "direct"), direct);
      if (!direct) return 15;
    }
    if (::setrlimit(RLIMIT_AS, &saved) != 0) return 16;
    if (!queued.Open() || !queued.Write(Bytes("ATZ\r"), 1000)) return 17;
    return pty.ReadFor(1000) == "ATZ\r" ? 0 : 18;
  });
  EXPECT_EQ(code, 0);
}

// Waiting reads sleep in poll(): neither a quiet line nor a hang-up may spin.
TEST(SerialPort, WaitingReadUsesNoCpuAndHangUpFailsItInsteadOfSpinning) {
  test::PtyPair pty;
  bool opened = false;
  SerialPort port(SerialConfig(pty.SlavePath(), "115200", "direct"), opened);
  ASSERT_TRUE(opened);
  std::array<std::uint8_t, 1> one{};
  double cpuBefore = CpuSeconds();
  EXPECT_FALSE(port.Read(one, 1000));
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.25);  // a polling read would burn the whole second

  std::thread vanish([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty.HangUp();
  });
  cpuBefore = CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.Read(one, 120000));
  const auto waited = std::chrono::steady_clock::now() - start;
  vanish.join();
  EXPECT_LT(waited, std::chrono::seconds(60));  // failed at the hang-up, not the time-out
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.5);
}

}  // namespace
}  // namespace zorbent
