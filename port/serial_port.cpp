#include "port/serial_port.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/serial_ports.h"
#include "port/port_observer.h"

namespace zorbent {

SerialPort::SerialPort(const PortConfig& config, bool& opened) {
  log_ = std::make_unique<TrafficLog>(TrafficLog::PathForToday());
  mode_ = config.Get("mode");
  name_ = config.Get("name");
  baud_ = AtoiLike(config.Get("baud"));
  opened = OpenDevice();
  if (opened) LogOpenClose(" Is Opened!");
}

SerialPort::~SerialPort() {
  Close();
}

std::string SerialPort::DevicePath(const std::string& name) {
  return SerialDevicePath(name);
}

PortFacts SerialPort::OpenFacts() const {
  using E = SerialDevice::OpenError;
  using P = PortFacts::Problem;
  PortFacts facts;
  facts.device = name_.empty() ? std::string() : SerialDeviceDisplayName(name_);
  facts.rate = baud_;
  facts.attempts = 1;
  facts.systemCode = device_.LastErrorCode();
  facts.systemText = device_.LastErrorText();
  if (name_.empty()) {
    facts.problem = P::kNoSuchDevice;
    return facts;
  }
  switch (LastOpenError()) {
    case E::kNone:
      // The device opened but the port did not (no thread for its pump): no device fault.
      if (!isOpen_) facts.problem = P::kOther;
      break;
    case E::kNotFound:
      facts.problem = P::kNoSuchDevice;
      break;
    case E::kPermission:
      facts.problem = P::kNoPermission;
      facts.group = DeviceGroup(facts.device);
      facts.groupMayUse = !facts.group.empty() && DeviceGroupMayUse(facts.device);
      break;
    case E::kNotATerminal:
      facts.problem = P::kNotSerial;
      break;
    case E::kInUse:
      facts.problem = P::kBusy;
      for (const std::string& user : DeviceUsers(facts.device))
        facts.holder += (facts.holder.empty() ? "" : ", ") + user;
      break;
    case E::kSettings:
      facts.problem = P::kRateRefused;
      break;
    case E::kOther:
      facts.problem = P::kOther;
      break;
  }
  return facts;
}

void SerialPort::LogOpenClose(const char* suffix) {
  log_->LogText(name_ + ":" + std::to_string(baud_), "ComPort:", suffix);
  if (PortObserver* observer = GetPortObserver()) {
    const std::string connection = "com|" + name_ + ":" + std::to_string(baud_);
    if (isOpen_) {
      observer->OnOpen(connection);
    } else {
      observer->OnClose(connection);
    }
  }
}

void SerialPort::Observe(bool in, std::span<const std::uint8_t> bytes) {
  if (PortObserver* observer = GetPortObserver()) {
    observer->OnData("com|" + name_ + ":" + std::to_string(baud_),
                     in ? PortObserver::Direction::kIn : PortObserver::Direction::kOut, bytes);
  }
}

bool SerialPort::OpenDevice() {
  isOpen_ = false;
  if (name_.empty() || !device_.Open(DevicePath(name_), baud_)) return false;
  const bool lowLatency = device_.RequestLowLatency();
  log_->LogText(name_, "ComPort:", lowLatency ? " Low latency on!" : " Low latency not supported!");
  aheadStart_ = aheadEnd_ = 0;
  paced_ = false;
  pacedReads_ = 0;
  isOpen_ = true;
  if (!Direct()) {
    {
      LockHolder hold(stopLock_);
      stopPump_ = false;
    }
    sendQueue_.Clear();
    sendQueue_.Reopen();
    receiveQueue_.Reopen();
    pumpThread_ = std::make_unique<Thread>([this] { PumpLoop(); });
    if (!pumpThread_->Started()) {
      // No thread to be had: without its pump a queued port moves no byte, so the open fails
      // as a whole, through the result like every failure of a port.
      pumpThread_.reset();
      receiveQueue_.Shut();
      sendQueue_.Shut();
      device_.Close();
      isOpen_ = false;
      return false;
    }
    receiveQueue_.Clear();
  }
  return true;
}

void SerialPort::CloseDevice() {
  if (pumpThread_) {
    {
      LockHolder hold(stopLock_);
      stopPump_ = true;
    }
    device_.Wake();
    pumpThread_.reset();  // joins
  }
  receiveQueue_.Shut();
  sendQueue_.Shut();
  device_.Close();
  isOpen_ = false;
}

void SerialPort::Close() {
  if (!isOpen_) return;
  CloseDevice();
  LogOpenClose(" Is Closed!");
}

bool SerialPort::Open() {
  Close();
  const bool ok = OpenDevice();
  if (ok) LogOpenClose(" Is Opened!");
  return ok;
}

bool SerialPort::Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) {
  const bool ok = Direct() ? DirectRead(buffer, timeoutMs) : QueuedRead(buffer, timeoutMs);
  if (ok) {
    log_->LogData(buffer, "  Data[in]:", "");
    Observe(true, buffer);
  }
  return ok;
}

bool SerialPort::Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  const bool ok = Direct() ? DirectWrite(bytes, timeoutMs) : QueuedWrite(bytes, timeoutMs);
  if (ok) {
    log_->LogData(bytes, "  Data[out]:", "");
    Observe(false, bytes);
  }
  return ok;
}

namespace {

// A hold must end before the bytes it waits for can all be in, whatever the two ends'
// clocks do: it counts 3 % fewer byte times than the nominal rate gives, and the budget of a
// read 3 % more.
constexpr double kRateTolerance = 0.03;
// Bytes a line may hand over at once without their wire time having passed since the last
// look: a receive FIFO's worth or a USB packet under the low-latency timer, and two bytes of
// the sender's timing.
constexpr std::size_t kHeldBackBytes = 18;
// A hold shorter than this saves no wake-up: the next bytes are due before it ends anyway.
constexpr std::size_t kMinHoldBytes = 16;
constexpr double kMinHoldUs = 500;
constexpr double kWakeLatencyUs = 200;
constexpr int kPacedReads = 16;

double ByteMicros(std::int32_t baud) {
  return 10.0 * 1e6 / static_cast<double>(baud);
}

}  // namespace

std::int64_t SerialPort::TakeHoldUs() {
  const std::size_t expected = expected_;
  const auto crossed = commandCrossed_;
  expected_ = 0;
  commandCrossed_ = {};
  if (!paced_ || baud_ <= 0 || expected == 0) return 0;
  using Micros = std::chrono::duration<double, std::micro>;
  const auto now = std::chrono::steady_clock::now();
  // No answer to a command is whole before the command has crossed and one byte more; bytes
  // already on their way count only against bytes expected later.
  double hold = Micros(crossed - now).count() + ByteMicros(baud_) * (1.0 - kRateTolerance);
  if (expected > kHeldBackBytes + 1) {
    const double bytes = static_cast<double>(expected - kHeldBackBytes - 1);
    hold = std::max(hold, bytes * ByteMicros(baud_) * (1.0 - kRateTolerance));
  }
  // A sleep ends late by the timer's slack and the wake-up; the hold ends that much earlier.
  hold -= kWakeLatencyUs;
  return hold < static_cast<double>(kMinHoldBytes) * ByteMicros(baud_) || hold < kMinHoldUs
             ? 0
             : static_cast<std::int64_t>(hold);
}

void SerialPort::NotePacing(int received) {
  const auto now = std::chrono::steady_clock::now();
  if (received > 0 && baud_ > 0) {
    const double micros = std::chrono::duration<double, std::micro>(now - lastLook_).count();
    const double budget = static_cast<double>(kHeldBackBytes + 1) +
                          micros / ByteMicros(baud_) * (1.0 + kRateTolerance);
    if (static_cast<double>(received) > budget) {
      paced_ = false;
      pacedReads_ = 0;
    } else if (++pacedReads_ >= kPacedReads) {
      paced_ = true;
    }
  }
  lastLook_ = now;
}

bool SerialPort::DirectRead(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) {
  if (!isOpen_) return false;
  std::size_t done = 0;
  // The clock is read only once a wait is due: most reads are served from the read-ahead.
  std::uint32_t start = 0;
  bool waited = false;
  while (true) {
    const std::size_t ahead = aheadEnd_ - aheadStart_;
    if (ahead > 0) {
      const std::size_t n = std::min(ahead, buffer.size() - done);
      std::copy_n(readAhead_.begin() + static_cast<std::ptrdiff_t>(aheadStart_), n,
                  buffer.begin() + static_cast<std::ptrdiff_t>(done));
      aheadStart_ += n;
      done += n;
    }
    if (done == buffer.size()) return true;
    if (!waited) {
      start = TickCount();
      waited = true;
    }
    std::int64_t remaining = static_cast<std::int64_t>(timeoutMs) - TicksSince(start);
    if (remaining < 0) return false;
    aheadStart_ = aheadEnd_ = 0;
    int n = 0;
    if (const std::int64_t hold = std::min(TakeHoldUs(), remaining * 1000); hold > 0) {
      device_.Pause(hold);
      remaining = std::max<std::int64_t>(0, timeoutMs - TicksSince(start));
      n = device_.ReadSome(readAhead_, 0);  // after a hold the bytes are usually there
    }
    if (n == 0) n = device_.ReadSome(readAhead_, static_cast<std::int32_t>(remaining));
    if (n < 0) return false;
    NotePacing(n);
    aheadEnd_ = static_cast<std::size_t>(n);
    if (n == 0 && remaining < 1) return false;
  }
}

bool SerialPort::DirectWrite(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  if (!isOpen_) return false;
  std::size_t done = 0;
  const std::uint32_t start = TickCount();
  while (done < bytes.size()) {
    const std::int64_t remaining = static_cast<std::int64_t>(timeoutMs) - TicksSince(start);
    if (remaining < 0) return false;
    const int n = device_.WriteSome(bytes.subspan(done), static_cast<std::int32_t>(remaining));
    if (n < 0) return false;
    done += static_cast<std::size_t>(n);
    if (n == 0 && remaining < 1) return false;
  }
  if (baud_ > 0) {
    const double micros =
        static_cast<double>(bytes.size()) * ByteMicros(baud_) * (1.0 - kRateTolerance);
    commandCrossed_ = std::chrono::steady_clock::now() +
                      std::chrono::microseconds(static_cast<std::int64_t>(micros));
  }
  return true;
}

bool SerialPort::QueuedRead(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) {
  if (buffer.empty()) return true;
  if (!receiveQueue_.WaitForCount(buffer.size(), timeoutMs)) return false;
  LockHolder hold(queueLock_);
  return receiveQueue_.TakeExactly(buffer);
}

bool SerialPort::QueuedWrite(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  if (bytes.empty()) return true;
  {
    LockHolder hold(queueLock_);
    sendQueue_.Append(bytes);
  }
  device_.Wake();
  return sendQueue_.WaitForEmpty(timeoutMs);
}

bool SerialPort::PumpStopping() {
  LockHolder hold(stopLock_);
  return stopPump_;
}

void SerialPort::PumpLoop() {
  std::array<std::uint8_t, 2048> buffer{};
  while (!PumpStopping()) {
    // Waits for input or a wake-up (bytes to send, or stop); never spins.
    const int n =
        sendQueue_.IsEmpty() ? device_.ReadSome(buffer, 1000) : device_.ReadSome(buffer, 0);
    if (n > 0) {
      LockHolder hold(queueLock_);
      receiveQueue_.Append(std::span(buffer).first(static_cast<std::size_t>(n)));
    } else if (n < 0) {
      break;
    }
    std::size_t count = 0;
    {
      LockHolder hold(queueLock_);
      count = sendQueue_.TakeSome(buffer);
    }
    std::size_t sent = 0;
    while (sent < count) {
      const int w = device_.WriteSome(std::span(buffer).subspan(sent, count - sent), 5000);
      if (w <= 0) break;
      sent += static_cast<std::size_t>(w);
    }
    if (sent < count) break;
  }
  // Nothing reads or writes the device any more (it went away, or stalled): waiting reads and
  // writes end at once, with what came before still in the receive queue.
  receiveQueue_.Shut();
  sendQueue_.Shut();
}

bool SerialPort::Gone() const {
  // What was taken in before the device went can still be read; gone once it has been.
  if (!device_.Gone()) return false;
  return Direct() ? aheadStart_ == aheadEnd_ : receiveQueue_.IsEmpty();
}

void SerialPort::Purge() {
  if (isOpen_) device_.Flush();
  lastLook_ = std::chrono::steady_clock::now();
  aheadStart_ = aheadEnd_ = 0;
  receiveQueue_.Clear();
}

std::int32_t SerialPort::Available() {
  return static_cast<std::int32_t>(receiveQueue_.Count());
}

std::int32_t SerialPort::SetBaud(std::int32_t baud) {
  baud_ = baud;
  paced_ = false;  // a new rate is watched afresh
  pacedReads_ = 0;
  if (!Direct() || !isOpen_) return -1;
  if (device_.SetRate(baud)) return 1;
  CloseDevice();
  return -1;
}

}  // namespace zorbent
