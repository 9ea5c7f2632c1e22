#pragma once

#include <string>
#include <vector>

#include "platform/serial_ports.h"

namespace zorbent::cli {

// One line per device: path, kind, USB identity, driver, access, use, latency timer. With no
// device, what to do instead.
std::string FormatPorts(const std::vector<SerialPortInfo>& ports, bool all);

// `zorbent-fw ports [--all]`: 0 when a device was listed, 1 when none.
int ShowPorts(bool all);

}  // namespace zorbent::cli
