#include "platform/serial_device.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/win/timer_period.h"
#include "port/port_config.h"
#include "port/serial_port.h"

namespace zorbent {
namespace {

// No machine the tests run on has a port this high.
constexpr const char* kMissingPort = "COM241";

// A missing port and a regular file fail the open with their own reasons; a device that is
// not open refuses everything.
TEST(WinSerialDevice, OpensOnlyExistingSerialDevices) {
  const auto file = std::filesystem::temp_directory_path() / "zorbent-not-a-port.txt";
  std::ofstream(file) << "ATI\r";
  SerialDevice device;
  EXPECT_FALSE(device.Open(SerialPort::DevicePath(kMissingPort), 115200));
  EXPECT_EQ(device.LastOpenError(), SerialDevice::OpenError::kNotFound);
  EXPECT_FALSE(device.Open(file.string(), 115200));
  EXPECT_EQ(device.LastOpenError(), SerialDevice::OpenError::kNotATerminal);
  std::filesystem::remove(file);
  EXPECT_FALSE(device.IsOpen());
  std::array<std::uint8_t, 4> buffer{};
  EXPECT_EQ(device.ReadSome(buffer, 10), -1);
  EXPECT_EQ(device.WriteSome(buffer, 10), -1);
  EXPECT_FALSE(device.SetRate(9600));
  EXPECT_FALSE(device.RequestLowLatency());
  device.Flush();
  device.Wake();
  EXPECT_FALSE(SetLineRate(-1, 9600));
  EXPECT_EQ(GetLineRate(-1), -1);
}

// Holds ask for the 1 ms timer period and give it back, each holder its own (the system
// counts the requests); a device that is not open takes none.
TEST(WinSerialDevice, FineTimerPeriodIsHeldWhileItsHoldersLive) {
  const int before = FineTimerPeriod::HeldNow();
  {
    const FineTimerPeriod first;
    const FineTimerPeriod second;
    EXPECT_TRUE(first.Held() && second.Held());
    EXPECT_EQ(FineTimerPeriod::HeldNow(), before + 2);
  }
  EXPECT_EQ(FineTimerPeriod::HeldNow(), before);
  SerialDevice closed;
  closed.Pause(5000);
  EXPECT_EQ(FineTimerPeriod::HeldNow(), before);
}

TEST(WinSerialPort, MissingPortFailsToOpenAndStaysClosedInEitherMode) {
  for (const char* mode : {"direct", "queued"}) {
    SCOPED_TRACE(mode);
    PortConfig config;
    config.Set("mode", mode);
    config.Set("name", kMissingPort);
    config.Set("baud", "115200");
    bool opened = true;
    SerialPort port(config, opened);
    EXPECT_FALSE(opened || port.IsOpen() || port.Open());
    std::array<std::uint8_t, 1> byte{};
    EXPECT_FALSE(port.Read(byte, 10));
    EXPECT_FALSE(port.Write(byte, 10));
    EXPECT_EQ(port.SetBaud(9600), -1);
    port.Purge();
    EXPECT_EQ(port.Available(), 0);
    port.Close();
  }
}

}  // namespace
}  // namespace zorbent
