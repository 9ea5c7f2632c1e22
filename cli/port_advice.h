#pragma once

#include <string>
#include <vector>

#include "platform/serial_ports.h"
#include "port/port_facts.h"

namespace zorbent::cli {

// What to do about a port that did not open, in the command line's terms (its options, its
// `ports` command, the shell commands that help); one line without its end, empty when there
// is nothing to add. A missing device names the serial devices present.
std::string PortAdvice(const PortFacts& facts);
// The same with the devices present given (tests).
std::string PortAdvice(const PortFacts& facts, const std::vector<SerialPortInfo>& present);

}  // namespace zorbent::cli
