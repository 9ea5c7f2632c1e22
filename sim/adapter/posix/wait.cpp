#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "sim/adapter/link.h"

namespace zorbent::sim {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeEvent::~WakeEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void WakeEvent::Raise() {
  const std::uint64_t one = 1;
  if (fd_ >= 0) (void)!::write(fd_, &one, sizeof one);
}

void WakeEvent::Clear() {
  std::uint64_t value = 0;
  if (fd_ >= 0) (void)!::read(fd_, &value, sizeof value);
}

WaitResult WaitForInput(int listenFd, int dataFd, const WakeEvent& wake, std::int64_t timeoutUs) {
  struct pollfd fds[3] = {{wake.Fd(), POLLIN, 0}, {listenFd, POLLIN, 0}, {dataFd, POLLIN, 0}};
  struct timespec limit {};
  struct timespec* limitPtr = nullptr;
  if (timeoutUs >= 0) {
    limit.tv_sec = static_cast<time_t>(timeoutUs / 1000000);
    limit.tv_nsec = static_cast<long>((timeoutUs % 1000000) * 1000);
    limitPtr = &limit;
  }
  WaitResult result;
  int n;
  do {
    n = ::ppoll(fds, 3, limitPtr, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return result;
  result.woken = (fds[0].revents & POLLIN) != 0;
  result.listenReady = (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  result.dataReady = (fds[2].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
  return result;
}

bool SleepUnlessWoken(const WakeEvent& wake, std::int64_t timeoutUs) {
  if (timeoutUs <= 0) return true;
  return !WaitForInput(-1, -1, wake, timeoutUs).woken;
}

}  // namespace zorbent::sim
