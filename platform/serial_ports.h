#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zorbent {

// Where the device listing looks; tests point it at a fake tree. Unused on Windows.
struct DeviceTree {
  std::string ttyClass = "/sys/class/tty";
  std::string dev = "/dev";
  std::string proc = "/proc";
};

// Who asks: whether this user may open a device follows its owner, group and mode.
struct DeviceUser {
  std::uint32_t uid = 0;
  std::vector<std::uint32_t> groups;  // primary and supplementary
  static DeviceUser Current();
};

enum class PortKindOfDevice { kUsb, kBluetooth, kOnBoard };

struct SerialPortInfo {
  std::string name;  // what a configuration string names: "ttyUSB0", "COM3"
  std::string path;  // the device as a user names it: "/dev/ttyUSB0", "COM3"
  PortKindOfDevice kind = PortKindOfDevice::kOnBoard;
  std::string vid;  // USB only, four hex digits each
  std::string pid;
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::string driver;
  int latencyMs = -1;              // FTDI-style latency timer; -1 when the driver has none
  bool mayOpen = true;             // this user may open it
  std::string accessReason;        // why not: "needs group dialout"
  std::string group;               // the device's group ("dialout")
  std::vector<std::string> users;  // programs holding it open: "minicom (pid 1234)"
  std::string friendlyName;        // the system's own name for it (Windows)
};

// The serial devices a user may mean: USB and Bluetooth first, then on-board UARTs (only
// with all). Ordered by kind, then by number.
std::vector<SerialPortInfo> ListSerialPortInfo(bool all, const DeviceTree& tree = {},
                                               const DeviceUser& user = DeviceUser::Current());

// One line for a list a person picks from: "ttyUSB0 — FTDI FT232R USB UART".
std::string DescribePort(const SerialPortInfo& port);

// Group owning a device file ("dialout"); empty when unknown.
std::string DeviceGroup(const std::string& path);
// Whether members of the device's group may read and write it (false when unknown).
bool DeviceGroupMayUse(const std::string& path);

// Programs that hold a device open, as "name (pid N)", from what the system tells; empty
// when none or when it cannot tell.
std::vector<std::string> DeviceUsers(const std::string& path, const std::string& proc = "/proc");

}  // namespace zorbent
