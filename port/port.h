#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "port/port_config.h"
#include "port/port_facts.h"

namespace zorbent {

// A byte-stream connection to an adapter. No operation throws; failure is the result.
class Port {
 public:
  virtual ~Port() = default;
  // Closes the connection if open; Open() may open it again.
  virtual void Close() = 0;
  // True only when exactly buffer.size() bytes arrived within timeoutMs (empty: at once).
  virtual bool Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) = 0;
  // True only when all bytes were handed to the device or socket within timeoutMs.
  virtual bool Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) = 0;
  // Drops every received byte not read yet.
  virtual void Purge() = 0;
  // Received bytes waiting in the port's own receive queue.
  virtual std::int32_t Available() = 0;
  virtual bool IsOpen() = 0;
  // (Re)opens with the settings the port was built with.
  virtual bool Open() = 0;
  // Listening TCP port only: hands out an accepted connection whose peer matches the
  // configuration's remote address; null when none came in time. The caller owns it.
  virtual std::unique_ptr<Port> AcceptClient(const PortConfig& config, std::int32_t timeoutMs) = 0;
  // Changes the line speed: 1 on success, -1 on failure.
  virtual std::int32_t SetBaud(std::int32_t baud) = 0;
  // What is known about why the last open failed; problem kNone when it did not fail or the
  // port cannot tell. Facts only: each front end words them.
  virtual PortFacts OpenFacts() const { return {}; }
  // True once the connection has ended for good from the other side or the device went away
  // (unplugged, the peer closed the socket, the pseudo-terminal's other end closed): every
  // later Read/Write fails at once. A time-out is not gone.
  virtual bool Gone() const { return false; }

  // True when a rate change reopens the connection, so that bytes arriving meanwhile are lost
  // (a browser's serial port): what the adapter sends at once at the new rate may be missed.
  virtual bool LosesBytesOnRateChange() const { return false; }

  // A reader of a reply says that the reply cannot be whole before `bytes` more bytes have
  // come in. A port on a line that keeps to its bit rate may then leave that many byte times
  // unlooked at and take the bytes in with one wake-up, instead of waking for every few bytes
  // that trickle in. Results and time-outs stay the same. Used by the next wait of a Read.
  virtual void ExpectBytes(std::size_t bytes) { (void)bytes; }
};

}  // namespace zorbent
