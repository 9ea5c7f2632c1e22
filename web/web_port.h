#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "port/port.h"

namespace zorbent {

// A Port over the browser's serial port, which the page's JavaScript holds (a Web Serial
// SerialPort, or anything of its shape). There are no threads here: every wait is a promise
// on the JavaScript side, and Asyncify suspends the engine's call until it settles. Bytes that
// already arrived are taken without suspending.
class WebPort : public Port {
 public:
  WebPort(const PortConfig& config, bool& opened);
  ~WebPort() override;
  WebPort(const WebPort&) = delete;
  WebPort& operator=(const WebPort&) = delete;

  void Close() override;
  bool Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) override;
  bool Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) override;
  void Purge() override;
  std::int32_t Available() override;
  bool IsOpen() override { return isOpen_; }
  bool Open() override;
  std::unique_ptr<Port> AcceptClient(const PortConfig&, std::int32_t) override { return nullptr; }
  // The API sets the rate only when it opens a port: the port is closed and opened again, and
  // what arrives while it is closed is lost.
  std::int32_t SetBaud(std::int32_t baud) override;
  bool LosesBytesOnRateChange() const override { return true; }
  PortFacts OpenFacts() const override { return facts_; }
  bool Gone() const override;

 private:
  // keepReceived: a rate change, which keeps the bytes received so far.
  bool OpenAt(std::int32_t baud, bool keepReceived);
  void Close(bool keepReceived);

  std::string name_;  // for messages: what the page called the port
  std::int32_t baud_ = 0;
  bool isOpen_ = false;
  PortFacts facts_;
};

}  // namespace zorbent
