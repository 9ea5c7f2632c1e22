#pragma once

#include <string>
#include <vector>

namespace zorbent::ui {

inline constexpr const char* kSysClassTty = "/sys/class/tty";

// The machine's serial devices as names the serial port accepts ("ttyUSB0" means
// /dev/ttyUSB0), read from a sysfs tty class directory: USB serial bridges (ttyUSB*), CDC
// modems (ttyACM*), Bluetooth serial links (rfcomm*) and UARTs (ttyS*) that have hardware
// behind them. Anything else is skipped silently. Ordered by kind, then by number.
std::vector<std::string> ListSerialPorts(const std::string& ttyClassDir = kSysClassTty);

// The entry a refreshed list selects: the noted one while it is still in range, else the
// first, and none (-1) for an empty list. Follows the position, not the name.
int RefreshSelection(int notedIndex, int newCount);

}  // namespace zorbent::ui
