#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/serial_device.h"
#include "sim/adapter/link.h"

namespace zorbent::sim {
namespace {

constexpr int kWriteStallMs = 1000;

class PtyLink final : public Link {
 public:
  ~PtyLink() override { Disconnect(); }

  bool Open(std::string& error) override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
      Disconnect();
      return false;
    }
    const char* name = ::ptsname(master_);
    if (name == nullptr) {
      error = "cannot name the pseudo-terminal";
      Disconnect();
      return false;
    }
    slavePath_ = name;
    // Held open for the link's life: when the host closes and reopens the device, the master
    // must not see a hang-up.
    heldSlave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio {};
    if (heldSlave_ < 0 || ::tcgetattr(heldSlave_, &tio) != 0) {
      error = "cannot open " + slavePath_;
      Disconnect();
      return false;
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(heldSlave_, TCSANOW, &tio) != 0 || !SetLineRate(heldSlave_, 115200)) {
      error = "cannot set " + slavePath_ + " raw at 115200";
      Disconnect();
      return false;
    }
    return true;
  }

  std::string ConfigString() const override { return "com|" + slavePath_ + ":115200"; }
  int DataFd() const override { return master_; }

  int Read(std::span<std::uint8_t> out) override {
    if (master_ < 0) return -1;
    const ssize_t n = ::read(master_, out.data(), out.size());
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return n == 0 ? 0 : -1;
  }

  bool Write(std::span<const std::uint8_t> bytes, const WakeEvent& wake) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      if (master_ < 0) return false;
      const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      // The host is not reading: wait for room, but not for ever.
      struct pollfd fds[2] = {{master_, POLLOUT, 0}, {wake.Fd(), POLLIN, 0}};
      if (::poll(fds, 2, kWriteStallMs) <= 0 || (fds[1].revents & POLLIN)) return false;
    }
    return true;
  }

  std::int32_t HostRate() const override { return master_ < 0 ? 0 : GetLineRate(master_); }
  int Unread() const override {
    int count = 0;
    return heldSlave_ >= 0 && ::ioctl(heldSlave_, FIONREAD, &count) == 0 ? count : 0;
  }

  void Disconnect() override {
    if (heldSlave_ >= 0) ::close(heldSlave_);
    heldSlave_ = -1;
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int heldSlave_ = -1;
  std::string slavePath_;
};

}  // namespace

std::unique_ptr<Link> MakePtyLink() {
  return std::make_unique<PtyLink>();
}

}  // namespace zorbent::sim
