#include "port/port_factory.h"

#include "platform/address_lookup.h"
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

namespace zorbent {

bool ResolvePortAddress(PortKind kind, PortConfig& config, PortFacts& facts) {
  if (kind != PortKind::kTcp) return true;
  const std::string host = config.Get("remote_ip");
  if (host.empty() || IsNumericHost(host)) return true;  // the port says what is wrong
  LookupError error = LookupError::kNone;
  const std::string address = ResolveToAddress(host, kLookupTimeoutMs, &error);
  if (address.empty()) {
    facts = PortFacts{};
    facts.problem = PortFacts::Problem::kHostUnknown;
    facts.tcp = true;
    facts.device = host + ":" + config.Get("remote_port");
    facts.nameServiceSilent = error == LookupError::kTimedOut;
    if (facts.nameServiceSilent) facts.waitedMs = kLookupTimeoutMs;
    return false;
  }
  config.Set("remote_name", host);
  config.Set("remote_ip", address.find(':') != std::string::npos ? "[" + address + "]" : address);
  return true;
}

}  // namespace zorbent
