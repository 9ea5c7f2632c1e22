#pragma once

#include <memory>
#include <string>

#include "port/port.h"
#include "port/port_config.h"
#include "port/port_facts.h"

namespace zorbent {

// Builds one port of the given kind; opened tells whether it connected. Null when the kind
// cannot be built here.
std::unique_ptr<Port> CreatePort(PortKind kind, const PortConfig& config, bool& opened);

// Done once before the attempts to open a port: a TCP host name is resolved here, bounded in
// time, and replaced by its address (the name is kept as remote_name for messages), so the
// attempts never wait for the resolver again. False, with the facts (problem kHostUnknown),
// when the host is not found.
bool ResolvePortAddress(PortKind kind, PortConfig& config, PortFacts& facts);

}  // namespace zorbent
