#pragma once

#include <cstdint>
#include <string>

#include "port/port_facts.h"

namespace zorbent {

// The engine's line after "**Failed** Port connection error!": the device or address and what
// happened, without advice ("/dev/ttyUSB9: no such device."); front ends add their own.
std::string PortFactsLine(const PortFacts& facts);

// A span of time as the user reads it: "3 s", "1.5 s".
std::string SecondsText(std::int32_t ms);

}  // namespace zorbent
