#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/byte_queue.h"
#include "platform/lock.h"
#include "platform/serial_device.h"
#include "platform/thread.h"
#include "port/port.h"
#include "port/traffic_log.h"

namespace zorbent {

// A Port over a serial device. "direct" mode reads and writes on the caller's thread;
// any other mode runs a pump thread between the device and two byte queues.
class SerialPort : public Port {
 public:
  SerialPort(const PortConfig& config, bool& opened);
  ~SerialPort() override;

  void Close() override;
  bool Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) override;
  bool Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) override;
  void Purge() override;
  std::int32_t Available() override;
  bool IsOpen() override { return isOpen_; }
  bool Open() override;
  std::unique_ptr<Port> AcceptClient(const PortConfig&, std::int32_t) override { return nullptr; }
  std::int32_t SetBaud(std::int32_t baud) override;
  void ExpectBytes(std::size_t bytes) override { expected_ = bytes; }

  // The path a configured name opens on this system (SerialDevicePath).
  static std::string DevicePath(const std::string& name);
  bool Direct() const { return mode_ == "direct"; }
  // Whether reads may wait out an answer's wire time before looking (see Pacing below).
  bool TrustsPacing() const { return paced_; }
  std::int32_t Baud() const { return baud_; }
  // Why the last open failed (in use, missing, ...).
  SerialDevice::OpenError LastOpenError() const { return device_.LastOpenError(); }
  // The device, the rate and why it did not open (the holder of a busy device, the group of
  // one this user may not open).
  PortFacts OpenFacts() const override;
  bool Gone() const override;

 private:
  bool OpenDevice();
  void CloseDevice();
  void LogOpenClose(const char* suffix);
  void Observe(bool in, std::span<const std::uint8_t> bytes);
  bool DirectRead(std::span<std::uint8_t> buffer, std::int32_t timeoutMs);
  bool DirectWrite(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs);
  std::int64_t TakeHoldUs();
  void NotePacing(int received);
  bool QueuedRead(std::span<std::uint8_t> buffer, std::int32_t timeoutMs);
  bool QueuedWrite(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs);
  void PumpLoop();
  bool PumpStopping();

  std::string mode_;
  std::string name_;
  std::int32_t baud_ = 0;
  bool isOpen_ = false;
  SerialDevice device_;
  std::unique_ptr<Thread> pumpThread_;
  bool stopPump_ = false;
  Lock stopLock_;
  ByteQueue receiveQueue_;
  ByteQueue sendQueue_;
  Lock queueLock_;
  std::unique_ptr<TrafficLog> log_;

  // Direct mode reads ahead into this buffer so a reply costs one system call, not one per
  // byte. Purge empties it like the device's own input queue.
  std::array<std::uint8_t, 4096> readAhead_{};
  std::size_t aheadStart_ = 0;
  std::size_t aheadEnd_ = 0;

  // Pacing (direct mode). A line is taken to keep to its rate only after kPacedReads reads in
  // a row brought no more than the wire can have carried since the read before; one read that
  // brought more (a pseudo-terminal, a bridge to a network) ends that for as long again.
  std::size_t expected_ = 0;                                // ExpectBytes, for the next wait only
  std::chrono::steady_clock::time_point commandCrossed_{};  // the last write is through
  bool paced_ = false;
  int pacedReads_ = 0;
  std::chrono::steady_clock::time_point lastLook_{};  // the input was last emptied
};

}  // namespace zorbent
