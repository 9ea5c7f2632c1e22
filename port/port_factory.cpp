#include "port/port_factory.h"

#include "port/serial_port.h"
#include "port/tcp_port.h"

namespace zorbent {

std::unique_ptr<Port> CreatePort(PortKind kind, const PortConfig& config, bool& opened) {
  opened = false;
  switch (kind) {
    case PortKind::kSerial:
      return std::make_unique<SerialPort>(config, opened);
    case PortKind::kTcp:
      return std::make_unique<TcpPort>(config, opened);
  }
  return nullptr;
}

}  // namespace zorbent
