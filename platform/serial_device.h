#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zorbent {

// One open serial device: raw 8N1, no flow control, opened exclusively.
// The OS half lives in posix/; nothing above platform/ sees a descriptor.
class SerialDevice {
 public:
  // kNotATerminal: it opened but is no serial device (a directory, /dev/null, a file);
  // kOther: any other refusal, described by LastErrorText.
  enum class OpenError { kNone, kNotFound, kInUse, kNotATerminal, kSettings, kPermission, kOther };

  SerialDevice() = default;
  ~SerialDevice() { Close(); }
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  bool Open(const std::string& path, std::int32_t baud);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  OpenError LastOpenError() const { return openError_; }
  // The system's words for the last open failure ("Input/output error"); empty when none.
  const std::string& LastErrorText() const { return errorText_; }
  // The system's code for it (errno, or GetLastError on Windows); 0 when none.
  int LastErrorCode() const { return errorCode_; }

  bool SetRate(std::int32_t baud);
  // Reads what is there, waiting up to timeoutMs for the first byte (0: only a look).
  // Returns bytes read (0 on time-out), -1 on error or hang-up (at once when Gone()).
  int ReadSome(std::span<std::uint8_t> out, std::int32_t timeoutMs);
  // Writes what the device takes, waiting up to timeoutMs for room. -1 on error.
  int WriteSome(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs);
  // True once a read, write or wait showed the device gone (unplugged, its line hung up) since
  // it opened; nothing more will come from it. Safe to ask from any thread.
  bool Gone() const { return gone_; }
  // Drops pending input and output.
  void Flush();
  // Asks the driver to deliver short replies at once; false where unsupported.
  bool RequestLowLatency();
  // Sleeps up to micros without looking at the line, so bytes that arrive meanwhile are
  // read together afterwards; Wake ends it early.
  void Pause(std::int64_t micros);
  // Makes a ReadSome that is waiting (or the next one) return 0 at once; used to let a
  // pump thread send queued bytes or stop without waiting out its read.
  void Wake();

 private:
  int fd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> gone_{false};
  // What makes pauses end on time, taken by the first pause of an open device and let go
  // when it closes (Windows: a 1 ms timer period); empty elsewhere.
  std::shared_ptr<void> finePauses_;
  OpenError openError_ = OpenError::kNone;
  std::string errorText_;
  int errorCode_ = 0;
};

// The path that a configured serial port name opens on this system. POSIX: a name with a '/'
// as it stands, any other under /dev/. Windows: "COM1".."COM256" under \\.\, any other as
// it stands.
std::string SerialDevicePath(const std::string& name);
// The device as its user names it in messages: "/dev/ttyUSB0"; "COM3" on Windows, not
// \\.\COM3.
std::string SerialDeviceDisplayName(const std::string& name);

// Line rate helpers on a raw descriptor (any rate, via termios2). Also used by the
// simulator on a pseudo-terminal master, where Linux shows the slave's settings.
bool SetLineRate(int fd, std::int32_t baud);
std::int32_t GetLineRate(int fd);

}  // namespace zorbent
