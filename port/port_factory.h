#pragma once

#include <memory>

#include "port/port.h"
#include "port/port_config.h"

namespace zorbent {

// Builds one port of the given kind; opened tells whether it connected. Null when the kind
// cannot be built here.
std::unique_ptr<Port> CreatePort(PortKind kind, const PortConfig& config, bool& opened);

}  // namespace zorbent
