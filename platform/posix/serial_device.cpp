#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/serial_device.h"
#include "platform/serial_latency.h"

namespace zorbent {
namespace {

// Holds DTR and RTS inactive: some adapters wire them to a reset or to a Bluetooth module's
// mode pin. Devices without modem lines (a pseudo-terminal) refuse the request with ENOTTY or
// EINVAL, which is no reason to fail.
void LowerModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  [[maybe_unused]] const int r = ::ioctl(fd, TIOCMBIC, &lines);
}

// Errors after which the descriptor never works again: the line hung up (a pseudo-terminal's
// master closed) or the device left (a USB adapter unplugged).
bool MeansGone(int error) {
  return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

constexpr short kHangUpEvents = POLLHUP | POLLERR | POLLNVAL;

}  // namespace

std::string SerialDevicePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  return "/dev/" + name;
}

std::string SerialDeviceDisplayName(const std::string& name) {
  return SerialDevicePath(name);
}

bool SerialDevice::Open(const std::string& path, std::int32_t baud) {
  Close();
  openError_ = OpenError::kNone;
  errorText_.clear();
  errorCode_ = 0;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    errorCode_ = error;
    errorText_ = std::strerror(error);
    switch (error) {
      case EBUSY:
        openError_ = OpenError::kInUse;
        break;
      case ENOENT:
      case ENXIO:
      case ENODEV:
        openError_ = OpenError::kNotFound;
        break;
      case EACCES:
      case EPERM:
        openError_ = OpenError::kPermission;
        break;
      case EISDIR:
        openError_ = OpenError::kNotATerminal;
        break;
      default:
        openError_ = OpenError::kOther;
    }
    return false;
  }
  if (!::isatty(fd)) {
    ::close(fd);
    openError_ = OpenError::kNotATerminal;
    return false;
  }
  // TIOCEXCL does not stop root, so an advisory lock keeps two of our programs apart too.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
    ::close(fd);
    openError_ = OpenError::kInUse;
    return false;
  }
  // The system raised DTR and RTS on open; lower them at once, now that the device is ours.
  LowerModemLines(fd);
  struct termios tio {};
  if (::tcgetattr(fd, &tio) != 0) {
    ::close(fd);
    openError_ = OpenError::kSettings;
    return false;
  }
  ::cfmakeraw(&tio);
  // No HUPCL: closing the device must not toggle the modem lines.
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | HUPCL);
  tio.c_cflag |= CLOCAL | CREAD | CS8;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::tcsetattr(fd, TCSANOW, &tio) != 0 || !SetLineRate(fd, baud)) {
    ::close(fd);
    openError_ = OpenError::kSettings;
    return false;
  }
  LowerModemLines(fd);  // drivers raise them again when the rate leaves B0
  fd_ = fd;
  gone_ = false;
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return true;
}

void SerialDevice::Close() {
  if (fd_ >= 0) {
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
  }
  if (wakeFd_ >= 0) {
    ::close(wakeFd_);
    wakeFd_ = -1;
  }
}

void SerialDevice::Wake() {
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
}

bool SerialDevice::SetRate(std::int32_t baud) {
  if (fd_ < 0 || !SetLineRate(fd_, baud)) return false;
  LowerModemLines(fd_);
  return true;
}

void SerialDevice::Pause(std::int64_t micros) {
  if (micros <= 0) return;
  const struct timespec wait {
    static_cast<time_t>(micros / 1000000), static_cast<long>(micros % 1000000) * 1000
  };
  if (wakeFd_ < 0) {
    ::nanosleep(&wait, nullptr);
    return;
  }
  struct pollfd pfd {
    wakeFd_, POLLIN, 0
  };
  // A wake-up stays pending (it is not read here), so the next ReadSome sees it too.
  [[maybe_unused]] const int r = ::ppoll(&pfd, 1, &wait, nullptr);
}

int SerialDevice::ReadSome(std::span<std::uint8_t> out, std::int32_t timeoutMs) {
  if (fd_ < 0 || gone_) return -1;
  if (out.empty()) return 0;
  if (timeoutMs <= 0) {
    // Only a look: the read alone tells. With VMIN and VTIME at 0 a terminal answers an empty
    // input with 0, not EAGAIN, so 0 here is "nothing yet"; a hang-up shows at the next wait.
    const ssize_t n = ::read(fd_, out.data(), out.size());
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN || errno == EINTR) return 0;
    if (MeansGone(errno)) gone_ = true;
    return -1;
  }
  struct pollfd pfd[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  int ready;
  do {
    ready = ::poll(pfd, wakeFd_ >= 0 ? 2 : 1, timeoutMs < 0 ? 0 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  if (wakeFd_ >= 0 && (pfd[1].revents & POLLIN)) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
    if ((pfd[0].revents & POLLIN) == 0) return 0;
  }
  if ((pfd[0].revents & POLLIN) == 0) {  // hang-up or error with nothing to read
    if (pfd[0].revents & kHangUpEvents) gone_ = true;
    return -1;
  }
  const ssize_t n = ::read(fd_, out.data(), out.size());
  if (n > 0) return static_cast<int>(n);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  // End of file after a wait that said readable: the line hung up, its input already dropped.
  if (n == 0 || MeansGone(errno)) gone_ = true;
  return -1;
}

int SerialDevice::WriteSome(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  if (fd_ < 0 || gone_) return -1;
  if (bytes.empty()) return 0;
  // Room is the rule (a command is far smaller than the output buffer): write first and wait
  // only when the device is full.
  const ssize_t first = ::write(fd_, bytes.data(), bytes.size());
  if (first > 0) return static_cast<int>(first);
  if (first < 0 && errno != EAGAIN && errno != EINTR) {
    if (MeansGone(errno)) gone_ = true;
    return -1;
  }
  struct pollfd pfd {
    fd_, POLLOUT, 0
  };
  int ready;
  do {
    ready = ::poll(&pfd, 1, timeoutMs < 0 ? 0 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  if (pfd.revents & kHangUpEvents) {
    gone_ = true;
    return -1;
  }
  const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EINTR) return 0;
  if (MeansGone(errno)) gone_ = true;
  return -1;
}

void SerialDevice::Flush() {
  if (fd_ >= 0) ::tcflush(fd_, TCIOFLUSH);
}

bool SerialDevice::RequestLowLatency() {
  return fd_ >= 0 && SetDriverLowLatency(fd_);
}

}  // namespace zorbent
