#include "port/port_factory.h"
#include "web/web_port.h"

// The browser build's ports: a serial line is the page's Web Serial port, reached through
// JavaScript; there is no TCP and no name service.
namespace zorbent {

std::unique_ptr<Port> CreatePort(PortKind kind, const PortConfig& config, bool& opened) {
  opened = false;
  if (kind != PortKind::kSerial) return nullptr;
  return std::make_unique<WebPort>(config, opened);
}

bool ResolvePortAddress(PortKind, PortConfig&, PortFacts&) {
  return true;
}

}  // namespace zorbent
