// The simulator's waits over Windows events: each socket is bound to an event for the wait
// (WSAEventSelect) and WaitForMultipleObjects sleeps on it beside the wake event.
#include <winsock2.h>

#include <cstdint>

#include "sim/adapter/link.h"
#include "sim/adapter/win/sockets.h"

namespace zorbent::sim {
namespace {

DWORD ToMilliseconds(std::int64_t timeoutUs) {
  if (timeoutUs < 0) return INFINITE;
  // Rounded up: a wait cut short would only come back to wait again.
  const std::int64_t ms = (timeoutUs + 999) / 1000;
  return ms >= static_cast<std::int64_t>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// An event bound to up to two sockets for one wait; unbinds and closes when done.
class SocketEvent {
 public:
  SocketEvent() : event_(::WSACreateEvent()) {}
  ~SocketEvent() {
    for (int i = 0; i < count_; ++i) ::WSAEventSelect(sockets_[i], nullptr, 0);
    if (event_ != WSA_INVALID_EVENT) ::WSACloseEvent(event_);
  }
  SocketEvent(const SocketEvent&) = delete;
  SocketEvent& operator=(const SocketEvent&) = delete;

  bool IsValid() const { return event_ != WSA_INVALID_EVENT; }
  HANDLE Handle() const { return event_; }

  bool Bind(SOCKET s, long events) {
    if (s == INVALID_SOCKET) return true;
    if (count_ == 2 || ::WSAEventSelect(s, event_, events) != 0) return false;
    sockets_[count_++] = s;
    return true;
  }

  // The events that happened on s since it was bound; clears them.
  long Taken(SOCKET s) {
    WSANETWORKEVENTS found{};
    if (s == INVALID_SOCKET || ::WSAEnumNetworkEvents(s, nullptr, &found) != 0) return 0;
    return found.lNetworkEvents;
  }

 private:
  WSAEVENT event_;
  SOCKET sockets_[2] = {INVALID_SOCKET, INVALID_SOCKET};
  int count_ = 0;
};

// Waits on the wake event and the socket event (when valid); false on time-out or failure.
bool WaitEvents(HANDLE wake, HANDLE sockets, DWORD timeoutMs, bool& woken) {
  const HANDLE handles[2] = {wake, sockets};
  const DWORD count = sockets == nullptr ? 1 : 2;
  const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
  woken = r == WAIT_OBJECT_0;
  return r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1;
}

}  // namespace

bool SocketsStarted() {
  static const bool started = [] {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
      ::WSACleanup();
      return false;
    }
    return true;
  }();
  return started;
}

long WaitForSocket(SOCKET s, long events, HANDLE wake, DWORD timeoutMs, bool& woken) {
  woken = false;
  SocketEvent bound;
  if (!bound.IsValid() || !bound.Bind(s, events)) return 0;
  if (!WaitEvents(wake, bound.Handle(), timeoutMs, woken) || woken) return 0;
  return bound.Taken(s);
}

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
  WaitResult result;
  const SOCKET listener = ToSocket(listenFd);
  const SOCKET data = ToSocket(dataFd);
  const bool anySocket = listenFd >= 0 || dataFd >= 0;
  SocketEvent bound;
  if (anySocket && (!bound.IsValid() || !bound.Bind(listener, FD_ACCEPT) ||
                    !bound.Bind(data, FD_READ | FD_CLOSE))) {
    return result;
  }
  bool woken = false;
  if (!WaitEvents(ToHandle(wake.Fd()), anySocket ? bound.Handle() : nullptr,
                  ToMilliseconds(timeoutUs), woken)) {
    return result;
  }
  result.woken = woken;
  if (listenFd >= 0) result.listenReady = (bound.Taken(listener) & FD_ACCEPT) != 0;
  if (dataFd >= 0) result.dataReady = (bound.Taken(data) & (FD_READ | FD_CLOSE)) != 0;
  return result;
}

bool SleepUnlessWoken(const WakeEvent& wake, std::int64_t timeoutUs) {
  if (timeoutUs <= 0) return true;
  return !WaitForInput(-1, -1, wake, timeoutUs).woken;
}

}  // namespace zorbent::sim
