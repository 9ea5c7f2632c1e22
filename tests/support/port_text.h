#pragma once

// Text in and out of a Port, and the configurations the port tests build.

#include <cstdint>
#include <span>
#include <string>

#include "port/port.h"

namespace zorbent::test {

inline std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Exactly count bytes as text, or "" when the read failed.
inline std::string ReadText(Port& port, std::size_t count, std::int32_t timeoutMs) {
  std::string out(count, '\0');
  if (!port.Read({reinterpret_cast<std::uint8_t*>(out.data()), out.size()}, timeoutMs)) return {};
  return out;
}

inline PortConfig SerialConfig(const std::string& name, const char* mode = "direct",
                               const std::string& baud = "115200") {
  PortConfig c;
  c.Set("mode", mode);
  c.Set("name", name);
  c.Set("baud", baud);
  return c;
}

inline PortConfig TcpClientConfig(const std::string& ip, const std::string& port) {
  PortConfig c;
  c.Set("mode", "client");
  c.Set("remote_ip", ip);
  c.Set("remote_port", port);
  return c;
}

}  // namespace zorbent::test
