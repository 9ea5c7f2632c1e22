// Serial device listing on Windows: SetupAPI's Ports class gives each COM port's friendly
// name and hardware ID; where it lists nothing, the registry's SERIALCOMM list stands in.
#include <windows.h>
// windows.h first: the SetupAPI headers build on its types.
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <tuple>

#include "platform/serial_ports.h"
#include "platform/win/com_ports.h"

namespace zorbent {
namespace {

constexpr std::size_t kPropertyLimit = 512;

std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  std::array<BYTE, kPropertyLimit> buffer{};
  DWORD type = 0;
  DWORD size = 0;
  if (!::SetupDiGetDeviceRegistryPropertyA(set, &device, property, &type, buffer.data(),
                                           static_cast<DWORD>(buffer.size() - 1), &size))
    return {};
  // REG_MULTI_SZ (hardware IDs): the first entry is the most specific one.
  return std::string(reinterpret_cast<const char*>(buffer.data()));
}

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  std::array<char, 256> name{};
  DWORD size = static_cast<DWORD>(name.size() - 1);
  DWORD type = 0;
  const LONG r = ::RegQueryValueExA(key, "PortName", nullptr, &type,
                                    reinterpret_cast<BYTE*>(name.data()), &size);
  ::RegCloseKey(key);
  if (r != ERROR_SUCCESS || type != REG_SZ) return {};
  return std::string(name.data());
}

// "USB\VID_0403&PID_6001&REV_0600": the four hex digits after a tag.
std::string IdAfter(std::string_view id, std::string_view tag) {
  const auto at = id.find(tag);
  if (at == std::string_view::npos || id.size() < at + tag.size() + 4) return {};
  std::string out(id.substr(at + tag.size(), 4));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int PortNumber(const std::string& name) {
  const auto port = ComPortFromRegistryData(name);
  return port ? std::atoi(port->c_str() + 3) : kMaxComPort + 1;
}

}  // namespace

DeviceUser DeviceUser::Current() {
  return {};
}

std::string DeviceGroup(const std::string&) {
  return {};
}

bool DeviceGroupMayUse(const std::string&) {
  return false;
}

std::vector<std::string> DeviceUsers(const std::string&, const std::string&) {
  return {};
}

std::vector<SerialPortInfo> ListSerialPortInfo(bool all, const DeviceTree& tree,
                                               const DeviceUser&) {
  std::vector<SerialPortInfo> ports;
  HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set != INVALID_HANDLE_VALUE) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
      SerialPortInfo info;
      info.name = PortNameOf(set, device);
      if (!ComPortFromRegistryData(info.name)) continue;  // printer ports and the like
      info.path = info.name;  // the serial port maps COMn to \\.\COMn itself
      info.friendlyName = RegistryProperty(set, device, SPDRP_FRIENDLYNAME);
      info.manufacturer = RegistryProperty(set, device, SPDRP_MFG);
      info.driver = RegistryProperty(set, device, SPDRP_SERVICE);
      const std::string hardware = RegistryProperty(set, device, SPDRP_HARDWAREID);
      if (hardware.starts_with("BTHENUM\\")) {
        info.kind = PortKindOfDevice::kBluetooth;
      } else if (hardware.starts_with("USB\\") || hardware.starts_with("FTDIBUS\\")) {
        info.kind = PortKindOfDevice::kUsb;
        info.vid = IdAfter(hardware, "VID_");
        info.pid = IdAfter(hardware, "PID_");
      }
      if (info.kind == PortKindOfDevice::kOnBoard && !all) continue;
      ports.push_back(std::move(info));
    }
    ::SetupDiDestroyDeviceInfoList(set);
  }
  if (ports.empty() && all) {
    for (const std::string& name : ListComPorts()) {
      SerialPortInfo info;
      info.name = name;
      info.path = name;
      ports.push_back(std::move(info));
    }
  }
  std::stable_sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
    return std::tuple(static_cast<int>(a.kind), PortNumber(a.name)) <
           std::tuple(static_cast<int>(b.kind), PortNumber(b.name));
  });
  for (const std::string& name : tree.added) {
    if (std::any_of(ports.begin(), ports.end(), [&](const auto& p) { return p.name == name; }))
      continue;
    SerialPortInfo info;
    info.name = info.path = name;
    info.kind = PortKindOfDevice::kAdded;
    ports.push_back(std::move(info));
  }
  return ports;
}

std::string DescribePort(const SerialPortInfo& port) {
  std::string what = port.friendlyName;
  if (what.empty()) {
    what = port.kind == PortKindOfDevice::kBluetooth ? "Bluetooth serial link"
           : port.kind == PortKindOfDevice::kUsb     ? "USB serial"
           : port.kind == PortKindOfDevice::kAdded   ? "added device"
                                                     : "serial port";
  }
  // The window's lists and the console take narrow text: a plain dash reads everywhere.
  return port.name + " - " + what;
}

}  // namespace zorbent
