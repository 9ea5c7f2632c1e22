#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

// Where the device listing looks; tests point it at a fake tree (unused on Windows), and the
// devices the user adds to what the system lists (a simulator's link, say).
struct DeviceTree {
  std::string ttyClass = "/sys/class/tty";
  std::string dev = "/dev";
  std::string proc = "/proc";
  std::vector<std::string> added;  // paths, listed after the system's devices
};

// Who asks: whether this user may open a device follows its owner, group and mode.
struct DeviceUser {
  std::uint32_t uid = 0;
  std::vector<std::uint32_t> groups;  // primary and supplementary
  static DeviceUser Current();
};

// kAdded: a device the user named for the listing, whatever it is.
enum class PortKindOfDevice { kUsb, kBluetooth, kOnBoard, kAdded };

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
  bool console = false;  // the system console: listed only with all, never offered for adapters
};

// A USB-serial bridge found in OBD-II adapters, by USB vendor and product ID (lower-case hex).
// The udev rule in packaging/udev lists the same ones.
struct UsbBridgeId {
  std::string_view vid;
  std::string_view pid;
};
inline constexpr std::array<UsbBridgeId, 19> kAdapterBridges = {{
    {"0403", "6001"}, {"0403", "6010"}, {"0403", "6011"}, {"0403", "6014"},  // FTDI
    {"0403", "6015"},                                                        //
    {"1a86", "7523"}, {"1a86", "5523"}, {"1a86", "7522"}, {"1a86", "55d4"},  // WCH
    {"10c4", "ea60"}, {"10c4", "ea70"}, {"10c4", "ea71"},                    // Silicon Labs
    {"067b", "2303"}, {"067b", "23a3"}, {"067b", "23b3"}, {"067b", "23c3"},  // Prolific
    {"067b", "23d3"}, {"067b", "23e3"}, {"067b", "23f3"},                    //
}};

// Whether a device is one an adapter may be on without being named: a USB-serial bridge of
// the table above, a Bluetooth serial link, or one the user added. Others (printers, boards,
// modems, the console) are left alone, since opening a device may reset what is behind it.
inline bool IsAdapterDevice(const SerialPortInfo& port) {
  if (port.console) return false;
  if (port.kind == PortKindOfDevice::kBluetooth || port.kind == PortKindOfDevice::kAdded)
    return true;
  for (const UsbBridgeId& id : kAdapterBridges)
    if (port.vid == id.vid && port.pid == id.pid) return true;
  return false;
}

// The serial devices a user may mean: USB and Bluetooth first, then on-board UARTs (only
// with all), ordered by kind, then by number; then the tree's added devices not listed
// already. The system console is left out, and with all listed marked as such.
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
