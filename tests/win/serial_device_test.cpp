#include "platform/serial_device.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

#include "port/port_config.h"
#include "port/serial_port.h"

namespace zorbent {
namespace {

// No machine the tests run on has a port this high.
constexpr const char* kMissingPort = "COM241";

TEST(WinSerialDevice, MissingPortIsNotFound) {
  SerialDevice device;
  EXPECT_FALSE(device.Open(SerialPort::DevicePath(kMissingPort), 115200));
  EXPECT_EQ(device.LastOpenError(), SerialDevice::OpenError::kNotFound);
  EXPECT_FALSE(device.IsOpen());
}

TEST(WinSerialDevice, RegularFileIsNotASerialDevice) {
  const auto path = std::filesystem::temp_directory_path() / "zorbent-not-a-port.txt";
  {
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("ATI\r", f);
    std::fclose(f);
  }
  SerialDevice device;
  EXPECT_FALSE(device.Open(path.string(), 115200));
  EXPECT_EQ(device.LastOpenError(), SerialDevice::OpenError::kNotATerminal);
  EXPECT_FALSE(device.IsOpen());
  std::filesystem::remove(path);
}

TEST(WinSerialDevice, ClosedDeviceRefusesEveryTransfer) {
  SerialDevice device;
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

class WinSerialPortModes : public ::testing::TestWithParam<const char*> {};

TEST_P(WinSerialPortModes, MissingPortFailsToOpenAndStaysClosed) {
  PortConfig config;
  config.Set("mode", GetParam());
  config.Set("name", kMissingPort);
  config.Set("baud", "115200");
  bool opened = true;
  SerialPort port(config, opened);
  EXPECT_FALSE(opened);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.Open());
  std::array<std::uint8_t, 1> byte{};
  EXPECT_FALSE(port.Read(byte, 10));
  EXPECT_FALSE(port.Write(byte, 10));
  EXPECT_EQ(port.SetBaud(9600), -1);
  port.Purge();
  EXPECT_EQ(port.Available(), 0);
  port.Close();
}

INSTANTIATE_TEST_SUITE_P(Modes, WinSerialPortModes, ::testing::Values("direct", "queued"));

}  // namespace
}  // namespace zorbent
