// Serial device listing from sysfs. Neither libudev nor libserialport can be pointed at
// another tree than the machine's own /sys, and every attribute shown here is a plain sysfs
// file, so the listing reads the tty class directory itself.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>
#include <tuple>

#include "platform/serial_ports.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

// Kinds in the order the list shows them.
constexpr std::array<std::string_view, 4> kPrefixes = {"ttyUSB", "ttyACM", "rfcomm", "ttyS"};
constexpr std::size_t kRfcommKind = 2;
constexpr std::size_t kUartKind = 3;
// How far up from a tty's device the USB device (the one with idVendor) may sit.
constexpr int kUsbSearchDepth = 4;
constexpr std::size_t kAttributeLimit = 256;
// The serial core's devices between a tty and its driving device: "port", then "ctrl".
constexpr int kSerialCoreDepth = 2;

struct Entry {
  std::size_t kind;
  std::uint32_t number;
  SerialPortInfo info;
};

bool ParseName(std::string_view name, std::size_t& kind, std::uint32_t& number) {
  for (std::size_t k = 0; k < kPrefixes.size(); ++k) {
    if (!name.starts_with(kPrefixes[k])) continue;
    const std::string_view digits = name.substr(kPrefixes[k].size());
    if (digits.empty() || digits.size() > 6) return false;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || end != digits.data() + digits.size()) return false;
    kind = k;
    return true;
  }
  return false;
}

std::string LinkTargetName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  if (ec) return {};
  return target.filename().string();
}

// One line of a sysfs attribute, without its line end; empty when there is none.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line)) return {};
  if (line.size() > kAttributeLimit) line.resize(kAttributeLimit);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

int UartType(const fs::path& entry) {
  const std::string type = Attribute(entry / "type");
  int value = 0;
  std::from_chars(type.data(), type.data() + type.size(), value);
  return value;
}

// The device that drives a tty. Since Linux 6.2 the serial core puts its own "ctrl" and
// "port" devices between the two, and the driver of those says nothing about the UART.
fs::path DrivingDevice(const fs::path& entry) {
  std::error_code ec;
  fs::path device = fs::canonical(entry / "device", ec);
  if (ec) return {};
  for (int up = 0; up < kSerialCoreDepth; ++up) {
    const std::string driver = LinkTargetName(device / "driver");
    if (driver != "port" && driver != "ctrl") break;
    device = device.parent_path();
  }
  return device;
}

bool IsUsable(const fs::path& entry, std::size_t kind) {
  std::error_code ec;
  // A Bluetooth link exists only while it is bound; it has no device of its own.
  if (kind == kRfcommKind) return true;
  if (!fs::exists(entry / "device", ec)) return false;
  if (kind != kUartKind) return true;
  // Type 0 is the serial core's "no UART found", whatever driver registered the slot.
  if (fs::exists(entry / "type", ec) && UartType(entry) == 0) return false;
  // The 8250 driver registers placeholder ports whether or not a UART is fitted.
  const fs::path device = DrivingDevice(entry);
  const bool placeholderDriver =
      LinkTargetName(device / "driver") == "serial8250" || device.filename() == "serial8250";
  return !placeholderDriver || UartType(entry) != 0;
}

// The consoles the kernel writes to: "tty0 ttyS0" in the tty class, one per line in proc.
std::set<std::string> ConsoleNames(const DeviceTree& tree) {
  std::set<std::string> names;
  std::ifstream active(tree.ttyClass + "/console/active");
  for (std::string name; active >> name;) names.insert(name);
  std::ifstream consoles(tree.proc + "/consoles");
  for (std::string line; std::getline(consoles, line);) {
    const std::string name = line.substr(0, line.find_first_of(" \t"));
    if (!name.empty()) names.insert(name);
  }
  return names;
}

void ReadUsb(const fs::path& entry, SerialPortInfo& info) {
  std::error_code ec;
  const fs::path device = fs::canonical(entry / "device", ec);
  if (ec) return;
  info.driver = LinkTargetName(device / "driver");
  const std::string latency = Attribute(device / "latency_timer");
  if (!latency.empty())
    std::from_chars(latency.data(), latency.data() + latency.size(), info.latencyMs);
  fs::path at = device;
  for (int up = 0; up <= kUsbSearchDepth && !at.empty() && at != at.root_path(); ++up) {
    if (fs::exists(at / "idVendor", ec)) {
      info.vid = Attribute(at / "idVendor");
      info.pid = Attribute(at / "idProduct");
      info.manufacturer = Attribute(at / "manufacturer");
      info.product = Attribute(at / "product");
      info.serial = Attribute(at / "serial");
      return;
    }
    at = at.parent_path();
  }
}

void ReadAccess(SerialPortInfo& info, const DeviceUser& user) {
  struct stat st {};
  if (::stat(info.path.c_str(), &st) != 0) {
    info.mayOpen = false;
    info.accessReason = "no device file " + info.path;
    return;
  }
  info.group = DeviceGroup(info.path);
  if (user.uid == 0) return;
  const mode_t rw = S_IRUSR | S_IWUSR;
  bool may = false;
  if (st.st_uid == user.uid) {
    may = (st.st_mode & rw) == rw;
  } else if (std::find(user.groups.begin(), user.groups.end(), st.st_gid) != user.groups.end()) {
    may = (st.st_mode & (rw >> 3)) == (rw >> 3);
  } else {
    may = (st.st_mode & (rw >> 6)) == (rw >> 6);
    if (!may && (st.st_mode & (rw >> 3)) == (rw >> 3) && !info.group.empty()) {
      info.mayOpen = false;
      info.accessReason = "needs group " + info.group;
      return;
    }
  }
  info.mayOpen = may;
  if (!may) info.accessReason = "no read and write permission";
}

}  // namespace

DeviceUser DeviceUser::Current() {
  DeviceUser user;
  user.uid = ::geteuid();
  user.groups.push_back(::getegid());
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) user.groups.push_back(groups[static_cast<std::size_t>(i)]);
  }
  return user;
}

std::string DeviceGroup(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  std::array<char, 4096> buffer{};
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
    return std::to_string(st.st_gid);
  return found->gr_name;
}

bool DeviceGroupMayUse(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
}

std::vector<std::string> DeviceUsers(const std::string& path, const std::string& proc) {
  std::vector<std::string> users;
  std::error_code ec;
  const fs::path wanted = fs::weakly_canonical(path, ec);
  const std::string self = std::to_string(::getpid());
  fs::directory_iterator it(proc, ec);
  if (ec) return users;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string pid = it->path().filename().string();
    if (pid.empty() || pid == self || pid.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::error_code fdEc;
    fs::directory_iterator fds(it->path() / "fd", fdEc);
    if (fdEc) continue;  // another user's process: only root may look
    for (const fs::directory_iterator fdEnd; fds != fdEnd; fds.increment(fdEc)) {
      if (fdEc) break;
      std::error_code linkEc;
      const fs::path target = fs::read_symlink(fds->path(), linkEc);
      if (linkEc || target != wanted) continue;
      std::string name = Attribute(it->path() / "comm");
      users.push_back((name.empty() ? std::string("a program") : name) + " (pid " + pid + ")");
      break;
    }
  }
  return users;
}

std::vector<SerialPortInfo> ListSerialPortInfo(bool all, const DeviceTree& tree,
                                               const DeviceUser& user) {
  std::vector<Entry> entries;
  const std::set<std::string> consoles = ConsoleNames(tree);
  std::error_code ec;
  fs::directory_iterator it(tree.ttyClass, ec);
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    std::size_t kind = 0;
    std::uint32_t number = 0;
    if (!ParseName(name, kind, number)) continue;
    if (kind == kUartKind && !all) continue;
    if (!IsUsable(it->path(), kind)) continue;
    Entry entry{kind, number, {}};
    SerialPortInfo& info = entry.info;
    info.name = name;
    info.path = tree.dev + "/" + name;
    info.kind = kind == kRfcommKind ? PortKindOfDevice::kBluetooth
                : kind == kUartKind ? PortKindOfDevice::kOnBoard
                                    : PortKindOfDevice::kUsb;
    if (info.kind == PortKindOfDevice::kUsb) {
      ReadUsb(it->path(), info);
    } else if (info.kind == PortKindOfDevice::kOnBoard) {
      info.driver = LinkTargetName(DrivingDevice(it->path()) / "driver");
    }
    info.console = consoles.count(name) != 0;
    if (info.console && !all) continue;
    ReadAccess(info, user);
    info.users = DeviceUsers(info.path, tree.proc);
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.kind, a.number, a.info.name) < std::tie(b.kind, b.number, b.info.name);
  });
  std::vector<SerialPortInfo> out;
  out.reserve(entries.size() + tree.added.size());
  for (auto& e : entries) out.push_back(std::move(e.info));
  for (const std::string& path : tree.added) {
    const fs::path device = fs::weakly_canonical(path, ec);
    if (std::any_of(out.begin(), out.end(), [&](const SerialPortInfo& listed) {
          std::error_code same;
          return fs::equivalent(listed.path, device, same);
        }))
      continue;  // listed already, or added twice
    SerialPortInfo info;
    info.name = info.path = path;
    info.kind = PortKindOfDevice::kAdded;
    ReadAccess(info, user);
    // No users: a simulator holds its own terminal's end open, and the user named it anyway.
    out.push_back(std::move(info));
  }
  return out;
}

std::string DescribePort(const SerialPortInfo& port) {
  std::string what;
  if (port.kind == PortKindOfDevice::kBluetooth) {
    what = "Bluetooth serial link";
  } else if (port.kind == PortKindOfDevice::kOnBoard) {
    what = port.console ? "system console" : "on-board serial port";
  } else if (port.kind == PortKindOfDevice::kAdded) {
    what = "added device";
  } else {
    what = port.manufacturer;
    if (!port.product.empty()) what += (what.empty() ? "" : " ") + port.product;
    if (what.empty()) what = "USB serial" + (port.driver.empty() ? "" : " (" + port.driver + ")");
  }
  return port.name + " \u2014 " + what;
}

}  // namespace zorbent
