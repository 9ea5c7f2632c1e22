// Serial device over the Windows communications API. Handles are kept in the int fields
// through HandleToLong/LongToHandle: kernel handles are 32-bit values even in 64-bit processes.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/serial_device.h"
#include "platform/win/com_ports.h"
#include "platform/win/timer_period.h"

namespace zorbent {
namespace {

constexpr DWORD kDriverQueueBytes = 65536;

HANDLE ToHandle(int value) {
  return LongToHandle(value);
}

int FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE || handle == nullptr ? -1 : HandleToLong(handle);
}

// A manual-reset event for one overlapped transfer, closed with the object.
class Event {
 public:
  Event() : handle_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~Event() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
};

// Raw 8N1, no flow control of any kind, DTR and RTS held inactive.
bool ApplyLineSettings(HANDLE device, std::int32_t baud) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  // Every member that matters is set below, so a state that cannot be read (a line rate the
  // driver has no name for) is no reason to fail: start from a blank one instead.
  if (!::GetCommState(device, &dcb)) {
    dcb = DCB{};
    dcb.DCBlength = sizeof dcb;
  }
  dcb.BaudRate = static_cast<DWORD>(baud);
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  return ::SetCommState(device, &dcb) != 0;
}

// Reads return at once with what has arrived, possibly nothing; writes have no driver limit.
// Waiting for input is left to the receive event, which the wake-up can interrupt.
bool SetImmediateReads(HANDLE device) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = 0;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = 0;
  return ::SetCommTimeouts(device, &t) != 0;
}

// Errors after which the handle never works again: the device was unplugged or its driver
// ended the handle. An aborted transfer is not one of them: our own CancelIo and a purge
// abort transfers of a device that is still there.
bool MeansGone(DWORD error) {
  return error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
         error == ERROR_ACCESS_DENIED || error == ERROR_DEVICE_NOT_CONNECTED;
}

// -1, noting in gone whether the failure (GetLastError) means the device went away.
int Failed(std::atomic<bool>& gone) {
  if (MeansGone(::GetLastError())) gone = true;
  return -1;
}

// Finishes an overlapped transfer started on event: waits up to waitMs (and for wake, when
// given), cancels what is still pending and returns the bytes moved, or -1 on failure.
int FinishTransfer(HANDLE device, OVERLAPPED& ov, BOOL started, HANDLE wake, std::int32_t waitMs,
                   std::atomic<bool>& gone) {
  DWORD moved = 0;
  if (started) {
    if (!::GetOverlappedResult(device, &ov, &moved, FALSE)) return Failed(gone);
    return static_cast<int>(moved);
  }
  if (::GetLastError() != ERROR_IO_PENDING) return Failed(gone);
  HANDLE handles[2] = {ov.hEvent, wake};
  const DWORD count = wake != nullptr ? 2 : 1;
  const DWORD r =
      ::WaitForMultipleObjects(count, handles, FALSE, waitMs < 0 ? 0 : static_cast<DWORD>(waitMs));
  if (r != WAIT_OBJECT_0) ::CancelIo(device);
  // After a cancel the transfer still reports what it moved before it stopped.
  if (!::GetOverlappedResult(device, &ov, &moved, TRUE)) {
    if (::GetLastError() != ERROR_OPERATION_ABORTED) return Failed(gone);
    return static_cast<int>(ov.InternalHigh);
  }
  if (r == WAIT_FAILED) return -1;
  return static_cast<int>(moved);
}

}  // namespace

std::string SerialDevicePath(const std::string& name) {
  return ComDevicePath(name);
}

std::string SerialDeviceDisplayName(const std::string& name) {
  return name;
}

bool SerialDevice::Open(const std::string& path, std::int32_t baud) {
  Close();
  openError_ = OpenError::kNone;
  errorText_.clear();
  errorCode_ = 0;
  // No sharing: a second opener gets ERROR_ACCESS_DENIED, so the device is exclusive.
  HANDLE device = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    errorCode_ = static_cast<int>(error);
    errorText_ = "system error " + std::to_string(error);
    openError_ = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
                     ? OpenError::kInUse
                     : OpenError::kNotFound;
    return false;
  }
  if (::GetFileType(device) != FILE_TYPE_CHAR) {
    ::CloseHandle(device);
    openError_ = OpenError::kNotATerminal;
    return false;
  }
  COMMPROP properties{};
  if (!::GetCommProperties(device, &properties)) {
    ::CloseHandle(device);
    openError_ = OpenError::kNotATerminal;
    return false;
  }
  // A driver that refuses the queue sizes keeps its own; that is no reason to fail.
  ::SetupComm(device, kDriverQueueBytes, kDriverQueueBytes);
  if (baud < 0 || !SetImmediateReads(device) || !::SetCommMask(device, EV_RXCHAR) ||
      !ApplyLineSettings(device, baud)) {
    ::CloseHandle(device);
    openError_ = OpenError::kSettings;
    return false;
  }
  ::PurgeComm(device, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  HANDLE wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  fd_ = FromHandle(device);
  wakeFd_ = FromHandle(wake);
  gone_ = false;
  return true;
}

void SerialDevice::Close() {
  finePauses_.reset();
  if (fd_ >= 0) {
    HANDLE device = ToHandle(fd_);
    ::CancelIo(device);
    ::CloseHandle(device);
    fd_ = -1;
  }
  if (wakeFd_ >= 0) {
    ::CloseHandle(ToHandle(wakeFd_));
    wakeFd_ = -1;
  }
}

void SerialDevice::Wake() {
  if (wakeFd_ >= 0) ::SetEvent(ToHandle(wakeFd_));
}

void SerialDevice::Pause(std::int64_t micros) {
  // The system's waits count whole milliseconds: a shorter pause is no pause.
  if (micros < 1000) return;
  if (fd_ >= 0 && !finePauses_) finePauses_ = std::make_shared<FineTimerPeriod>();
  // On the coarse tick a pause would end after the bytes it waits for: none at all, and the
  // read that follows waits for them instead.
  const auto* period = static_cast<const FineTimerPeriod*>(finePauses_.get());
  if (period == nullptr || !period->Held()) return;
  const DWORD ms = micros / 1000 > 60000 ? 60000 : static_cast<DWORD>(micros / 1000);
  if (wakeFd_ < 0) {
    ::Sleep(ms);
  } else if (::WaitForSingleObject(ToHandle(wakeFd_), ms) == WAIT_OBJECT_0) {
    ::SetEvent(ToHandle(wakeFd_));  // still pending for the next ReadSome
  }
}

bool SerialDevice::SetRate(std::int32_t baud) {
  return fd_ >= 0 && baud >= 0 && ApplyLineSettings(ToHandle(fd_), baud);
}

namespace {

// One read that takes what the driver holds now, without waiting for more.
int ReadNow(HANDLE device, std::span<std::uint8_t> out, std::atomic<bool>& gone) {
  Event event;
  if (event.Get() == nullptr) return -1;
  OVERLAPPED ov{};
  ov.hEvent = event.Get();
  const DWORD want = out.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(out.size());
  const BOOL done = ::ReadFile(device, out.data(), want, nullptr, &ov);
  // With immediate reads a pending ReadFile still ends at once; the limit only guards it.
  return FinishTransfer(device, ov, done, nullptr, 1000, gone);
}

bool InputWaiting(HANDLE device, std::atomic<bool>& gone) {
  COMSTAT status{};
  DWORD errors = 0;
  if (::ClearCommError(device, &errors, &status)) return status.cbInQue > 0;
  Failed(gone);
  return false;
}

}  // namespace

int SerialDevice::ReadSome(std::span<std::uint8_t> out, std::int32_t timeoutMs) {
  if (fd_ < 0 || gone_) return -1;
  if (out.empty()) return 0;
  HANDLE device = ToHandle(fd_);
  const int first = ReadNow(device, out, gone_);
  if (first != 0 || timeoutMs <= 0) return first;
  // Nothing there yet: wait for the receive event, the wake-up or the time-out.
  Event event;
  if (event.Get() == nullptr) return -1;
  OVERLAPPED ov{};
  ov.hEvent = event.Get();
  DWORD mask = 0;
  if (!::WaitCommEvent(device, &mask, &ov)) {
    if (::GetLastError() != ERROR_IO_PENDING) return Failed(gone_);
    // A byte that came in before the wait began raises no event: look before waiting. A device
    // found gone meanwhile is not waited for.
    if (!InputWaiting(device, gone_) && !gone_) {
      HANDLE handles[2] = {ov.hEvent, wakeFd_ >= 0 ? ToHandle(wakeFd_) : nullptr};
      const DWORD r = ::WaitForMultipleObjects(wakeFd_ >= 0 ? 2 : 1, handles, FALSE,
                                               static_cast<DWORD>(timeoutMs));
      if (r == WAIT_FAILED) {
        ::CancelIo(device);
        ::GetOverlappedResult(device, &ov, &mask, TRUE);
        return -1;
      }
    }
    if (!HasOverlappedIoCompleted(&ov)) ::CancelIo(device);
    DWORD ignored = 0;
    if (!::GetOverlappedResult(device, &ov, &ignored, TRUE)) Failed(gone_);
    if (gone_) return -1;
  }
  return ReadNow(device, out, gone_);
}

int SerialDevice::WriteSome(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  if (fd_ < 0 || gone_) return -1;
  if (bytes.empty()) return 0;
  HANDLE device = ToHandle(fd_);
  Event event;
  if (event.Get() == nullptr) return -1;
  OVERLAPPED ov{};
  ov.hEvent = event.Get();
  const DWORD want = bytes.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes.size());
  const BOOL done = ::WriteFile(device, bytes.data(), want, nullptr, &ov);
  return FinishTransfer(device, ov, done, nullptr, timeoutMs, gone_);
}

void SerialDevice::Flush() {
  if (fd_ >= 0) {
    ::PurgeComm(ToHandle(fd_), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  }
}

// Windows drivers deliver each byte as it arrives once the read time-outs say so.
bool SerialDevice::RequestLowLatency() {
  return false;
}

bool SetLineRate(int fd, std::int32_t baud) {
  return fd >= 0 && baud >= 0 && ApplyLineSettings(ToHandle(fd), baud);
}

std::int32_t GetLineRate(int fd) {
  if (fd < 0) return -1;
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(ToHandle(fd), &dcb)) return -1;
  return static_cast<std::int32_t>(dcb.BaudRate);
}

}  // namespace zorbent
