#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

// Serial port names on Windows: "COM" and a number from 1 to 256.
inline constexpr int kMaxComPort = 256;

// The path a configured serial name opens: "COM1".."COM256" (exactly as "COM%d" writes them)
// under \\.\, which also reaches ports above 9; any other name as it stands.
std::string ComDevicePath(const std::string& name);

// The port name that a registry value's data stands for: "COM" followed by a decimal number
// (leading zeros allowed, anything after the digits ignored) from 1 to 256, written back
// without leading zeros; nothing for any other data.
std::optional<std::string> ComPortFromRegistryData(std::string_view data);

// The serial ports Windows reports under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, in the
// registry's order, not sorted, duplicates kept; empty when the key cannot be read.
std::vector<std::string> ListComPorts();

}  // namespace zorbent
