#pragma once

#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace zorbent::cli {

// One line per device: path, kind, USB identity, driver, console, access, use, latency timer;
// then one line on the group to join when some may not be opened for want of it. With no
// device, what to do instead.
std::string FormatPorts(const std::vector<SerialPortInfo>& ports, bool all);

// `zorbent-fw ports [--all]`, with the tree's added devices: 0 when a device was listed, 1
// when none.
int ShowPorts(bool all, const DeviceTree& tree = {});

}  // namespace zorbent::cli
