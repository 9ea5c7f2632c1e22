#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/json_output.h"
#include "platform/serial_ports.h"

namespace zorbent::cli {

// One line per device: path, kind, USB identity, driver, console, access, use, latency timer;
// then one line on the group to join when some may not be opened for want of it. With no
// device, what to do instead.
std::string FormatPorts(const std::vector<SerialPortInfo>& ports, bool all);

// ports --json's object for a device: device, name, kind ("usb", "bluetooth", "on_board",
// "added"), vid, pid, manufacturer, product, serial, friendly_name, driver, console, may_open,
// access_reason, group, users and latency_ms; facts not known are null.
nlohmann::json PortJson(const SerialPortInfo& port);

// `zorbent-fw ports [--all]`, with the tree's added devices, one line (or JSON object) each: 0
// when a device was listed, 1 when none.
int ShowPorts(bool all, const DeviceTree& tree = {}, OutputFormat format = OutputFormat::kText);

}  // namespace zorbent::cli
