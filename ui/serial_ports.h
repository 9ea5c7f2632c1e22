#pragma once

#include <string>
#include <vector>

namespace zorbent::ui {

// One entry of a Name list: the device a configuration string names, and what the list shows.
struct PortChoice {
  std::string name;   // "ttyUSB0"
  std::string label;  // "ttyUSB0 — FTDI FT232R USB UART"
};

// The machine's serial devices for the Name lists, USB and Bluetooth first, then on-board
// ports, each with a description.
std::vector<PortChoice> ListPortChoices();

// Choices that show their bare names.
std::vector<PortChoice> PlainChoices(const std::vector<std::string>& names);

// The entry a refreshed list selects: the noted one while it is still in range, else the
// first, and none (-1) for an empty list. Follows the position, not the name.
int RefreshSelection(int notedIndex, int newCount);

}  // namespace zorbent::ui
