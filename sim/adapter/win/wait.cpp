// The simulator's waits on Windows: the link's descriptors are event objects its sockets are
// bound to (WSAEventSelect), so WaitForMultipleObjects sleeps on them beside the wake event.
#include <windows.h>

#include <cstdint>

#include "sim/adapter/link.h"

namespace zorbent::sim {
namespace {

HANDLE ToHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

DWORD ToMilliseconds(std::int64_t timeoutUs) {
  if (timeoutUs < 0) return INFINITE;
  // Rounded up: a wait cut short would only come back to wait again.
  const std::int64_t ms = (timeoutUs + 999) / 1000;
  return ms >= static_cast<std::int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

}  // namespace

WakeEvent::WakeEvent() {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  fd_ = event == nullptr ? -1 : static_cast<int>(reinterpret_cast<std::intptr_t>(event));
}

WakeEvent::~WakeEvent() {
  if (fd_ >= 0) ::CloseHandle(ToHandle(fd_));
}

void WakeEvent::Raise() {
  if (fd_ >= 0) ::SetEvent(ToHandle(fd_));
}

void WakeEvent::Clear() {
  if (fd_ >= 0) ::ResetEvent(ToHandle(fd_));
}

WaitResult WaitForInput(int listenFd, int dataFd, const WakeEvent& wake, std::int64_t timeoutUs) {
  HANDLE handles[3] = {ToHandle(wake.Fd())};
  int which[3] = {0};  // 0 wake, 1 listener, 2 data
  DWORD count = 1;
  if (listenFd >= 0) {
    handles[count] = ToHandle(listenFd);
    which[count++] = 1;
  }
  if (dataFd >= 0) {
    handles[count] = ToHandle(dataFd);
    which[count++] = 2;
  }
  WaitResult result;
  const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, ToMilliseconds(timeoutUs));
  if (r >= WAIT_OBJECT_0 + count) return result;
  // The first signalled one is reported; the others stay signalled for the next wait.
  switch (which[r - WAIT_OBJECT_0]) {
    case 0:
      result.woken = true;
      break;
    case 1:
      result.listenReady = true;
      break;
    default:
      result.dataReady = true;
      break;
  }
  return result;
}

bool SleepUnlessWoken(const WakeEvent& wake, std::int64_t timeoutUs) {
  if (timeoutUs <= 0) return true;
  return !WaitForInput(-1, -1, wake, timeoutUs).woken;
}

}  // namespace zorbent::sim
