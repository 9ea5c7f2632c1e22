#pragma once

#include <string>

#include "port/port_facts.h"

namespace zorbent::ui {

// What to do about a port that did not open, in the window's terms (the Name list and its
// Refresh button, the Baudrate list, the IP Address and IP Port fields); one line without
// its end, empty when there is nothing to add.
std::string PortAdvice(const PortFacts& facts);

}  // namespace zorbent::ui
