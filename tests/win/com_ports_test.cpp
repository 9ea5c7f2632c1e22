#include "platform/win/com_ports.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/serial_ports.h"
#include "port/serial_port.h"

namespace zorbent {
namespace {

struct RegistryCase {
  const char* data;
  std::optional<std::string> listed;
};

class ComPortFromRegistry : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(ComPortFromRegistry, ListsOnlyComNumbersInRange) {
  EXPECT_EQ(ComPortFromRegistryData(GetParam().data), GetParam().listed) << GetParam().data;
}

INSTANTIATE_TEST_SUITE_P(
    Data, ComPortFromRegistry,
    ::testing::Values(RegistryCase{"COM3", "COM3"}, RegistryCase{"COM03", "COM3"},
                      RegistryCase{"COM1", "COM1"}, RegistryCase{"COM256", "COM256"},
                      RegistryCase{"COM257", std::nullopt}, RegistryCase{"COM0", std::nullopt},
                      RegistryCase{"COM-3", std::nullopt}, RegistryCase{"COM", std::nullopt},
                      RegistryCase{"com3", std::nullopt}, RegistryCase{"COMX", std::nullopt},
                      RegistryCase{"", std::nullopt}, RegistryCase{"\\\\.\\COM3", std::nullopt},
                      RegistryCase{"COM7 (USB)", "COM7"},
                      RegistryCase{"COM99999999999999999999", std::nullopt},
                      RegistryCase{"COM0000000000000000000012", "COM12"}));

using PathCase = std::pair<const char*, const char*>;
class ComDevicePaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(ComDevicePaths, NumberedPortsGoUnderTheDeviceNamespace) {
  EXPECT_EQ(ComDevicePath(GetParam().first), GetParam().second);
  EXPECT_EQ(SerialPort::DevicePath(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ComDevicePaths,
    ::testing::Values(PathCase{"COM3", "\\\\.\\COM3"}, PathCase{"COM12", "\\\\.\\COM12"},
                      PathCase{"COM256", "\\\\.\\COM256"}, PathCase{"COM257", "COM257"},
                      PathCase{"com3", "com3"}, PathCase{"COM03", "COM03"},
                      PathCase{"\\\\.\\COM3", "\\\\.\\COM3"}, PathCase{"", ""}));

TEST(ListComPorts, EveryEntryIsANumberedComPort) {
  for (const std::string& name : ListComPorts()) {
    EXPECT_EQ(ComPortFromRegistryData(name), name);
  }
  // SetupAPI's listing (or the registry's, where it has none) names the same kind of ports,
  // each with a description.
  for (const SerialPortInfo& port : ListSerialPortInfo(true)) {
    EXPECT_EQ(ComPortFromRegistryData(port.name), port.name);
    EXPECT_EQ(port.path, port.name);
    EXPECT_EQ(DescribePort(port).rfind(port.name + " - ", 0), 0u);
  }
}

}  // namespace
}  // namespace zorbent
