#include "cli/ports.h"

#include <algorithm>
#include <cstdio>

#include "firmware/outcome_json.h"

namespace zorbent::cli {
namespace {

// Above this the adapter's answers wait for the bridge's timer, not the line.
constexpr int kLatencyWarnMs = 1;

const char* KindName(PortKindOfDevice kind) {
  switch (kind) {
    case PortKindOfDevice::kUsb:
      return "USB";
    case PortKindOfDevice::kBluetooth:
      return "Bluetooth";
    case PortKindOfDevice::kAdded:
      return "added with --add-port";
    case PortKindOfDevice::kOnBoard:
      break;
  }
  return "on-board";
}

void Add(std::string& line, const std::string& part) {
  if (!part.empty()) line += ", " + part;
}

}  // namespace

std::string FormatPorts(const std::vector<SerialPortInfo>& ports, bool all) {
  if (ports.empty()) {
    std::string text =
        "No USB or Bluetooth serial device found. Plug in the adapter; a Bluetooth adapter must "
        "be paired and bound first (e.g. `sudo rfcomm bind 0 ADDRESS`).\n";
    if (!all) text += "`zorbent-fw ports --all` also lists on-board serial ports.\n";
    return text;
  }
  std::string text;
  std::vector<std::string> groups;  // that would give access, each once
  for (const SerialPortInfo& port : ports) {
    std::string line = port.path + "  " + KindName(port.kind);
    if (!port.vid.empty()) line += " " + port.vid + ":" + port.pid;
    std::string what = port.manufacturer;
    if (!port.product.empty()) what += (what.empty() ? "" : " ") + port.product;
    if (what.empty()) what = port.friendlyName;
    if (!what.empty()) line += " " + what;
    if (!port.serial.empty()) line += " (serial " + port.serial + ")";
    if (!port.driver.empty()) Add(line, "driver " + port.driver);
    if (port.console) Add(line, "the system console: not offered for adapters");
    if (port.mayOpen) {
      Add(line, "you may open it");
    } else if (port.accessReason.starts_with("needs group ")) {
      Add(line, "no access: " + port.accessReason);
      if (std::find(groups.begin(), groups.end(), port.group) == groups.end())
        groups.push_back(port.group);
    } else {
      Add(line, "no access: " + port.accessReason);
    }
    if (!port.users.empty()) {
      std::string users;
      for (const std::string& user : port.users) users += (users.empty() ? "" : ", ") + user;
      Add(line, "in use by " + users);
    }
    if (port.latencyMs > kLatencyWarnMs) {
      Add(line, "latency timer " + std::to_string(port.latencyMs) +
                    " ms (lower it to 1 ms: README, \"USB-serial latency\")");
    }
    text += line + "\n";
  }
  if (!groups.empty()) {
    // One line for all of them: joining takes one command and one new login.
    std::string names = groups.front(), list = groups.front();
    for (std::size_t i = 1; i < groups.size(); ++i) {
      names += (i + 1 == groups.size() ? " and " : ", ") + groups[i];
      list += "," + groups[i];
    }
    text += "To get access, join the group" + std::string(groups.size() > 1 ? "s " : " ") + names +
            ": `sudo usermod -aG " + list + " $USER`, then log out and in again.\n";
  }
  return text;
}

nlohmann::json PortJson(const SerialPortInfo& port) {
  const char* kind = port.kind == PortKindOfDevice::kUsb         ? "usb"
                     : port.kind == PortKindOfDevice::kBluetooth ? "bluetooth"
                     : port.kind == PortKindOfDevice::kAdded     ? "added"
                                                                 : "on_board";
  return {{"device", port.path},
          {"name", TextOrNull(port.name)},
          {"kind", kind},
          {"vid", TextOrNull(port.vid)},
          {"pid", TextOrNull(port.pid)},
          {"manufacturer", TextOrNull(port.manufacturer)},
          {"product", TextOrNull(port.product)},
          {"serial", TextOrNull(port.serial)},
          {"friendly_name", TextOrNull(port.friendlyName)},
          {"driver", TextOrNull(port.driver)},
          {"console", port.console},
          {"may_open", port.mayOpen},
          {"access_reason", TextOrNull(port.accessReason)},
          {"group", TextOrNull(port.group)},
          {"users", port.users},
          {"latency_ms", port.latencyMs < 0 ? nlohmann::json() : nlohmann::json(port.latencyMs)}};
}

int ShowPorts(bool all, const DeviceTree& tree, OutputFormat format) {
  const std::vector<SerialPortInfo> ports = ListSerialPortInfo(all, tree);
  const std::string text = FormatPorts(ports, all);
  if (format == OutputFormat::kJson) {
    for (const SerialPortInfo& port : ports) WriteJsonLine(PortJson(port));
    if (ports.empty()) std::fputs(text.c_str(), stderr);  // what to do instead
  } else {
    std::fputs(text.c_str(), stdout);
  }
  return ports.empty() ? 1 : 0;
}

}  // namespace zorbent::cli
