// Console events become onSignal calls on the watcher's own thread: the console handler only
// counts them on a semaphore the thread waits on. The system ends the process as soon as the
// handler of a close, log-off or shutdown returns, so that handler holds it until the program
// says ending is harmless, within the system's grace period.
#include <windows.h>

#include <optional>

#include "platform/interrupt_watcher.h"
#include "platform/thread.h"

namespace zorbent {
namespace {

// The system waits about 5 s for a console handler before ending the process regardless.
constexpr DWORD kHangUpHoldMs = 4000;

struct Watched {
  HANDLE interrupts = nullptr;  // semaphores the watcher's thread waits on
  HANDLE hangUps = nullptr;     // null: a closed console counts as an interrupt
  HANDLE harmless = nullptr;    // manual-reset event: ending the process now is harmless
};

// The running watcher's handles. The handler reads them under a shared hold, so the
// destructor, which takes the lock exclusively, never closes them under a running handler.
SRWLOCK watchedLock = SRWLOCK_INIT;
Watched watched;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  ::AcquireSRWLockShared(&watchedLock);
  BOOL handled = FALSE;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (watched.interrupts != nullptr) {
        ::ReleaseSemaphore(watched.interrupts, 1, nullptr);
        handled = TRUE;
      }
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (watched.hangUps != nullptr) {
        ::ReleaseSemaphore(watched.hangUps, 1, nullptr);
        ::WaitForSingleObject(watched.harmless, kHangUpHoldMs);
        handled = TRUE;
      } else if (watched.interrupts != nullptr && event == CTRL_CLOSE_EVENT) {
        ::ReleaseSemaphore(watched.interrupts, 1, nullptr);
        handled = TRUE;
      }
      break;
    default:
      break;
  }
  ::ReleaseSRWLockShared(&watchedLock);
  return handled;
}

}  // namespace

struct InterruptWatcher::State {
  Watched handles;
  HANDLE stop = nullptr;
  std::optional<Thread> thread;
};

// Windows has no SIGUSR1: userSignal watches nothing.
InterruptWatcher::InterruptWatcher(std::function<void(Interruption, int)> onSignal, bool hangUps,
                                   bool /*userSignal*/)
    : state_(std::make_unique<State>()) {
  Watched& h = state_->handles;
  h.interrupts = ::CreateSemaphoreA(nullptr, 0, 0x7fffffff, nullptr);
  if (hangUps) h.hangUps = ::CreateSemaphoreA(nullptr, 0, 0x7fffffff, nullptr);
  h.harmless = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state_->stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  state_->thread.emplace([state = state_.get(), onSignal = std::move(onSignal)] {
    int interrupts = 0;
    int hangUps = 0;
    const DWORD count = state->handles.hangUps != nullptr ? 3 : 2;
    HANDLE handles[3] = {state->stop, state->handles.interrupts, state->handles.hangUps};
    while (true) {
      const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0 + 1) {
        onSignal(Interruption::kInterrupt, ++interrupts);
      } else if (r == WAIT_OBJECT_0 + 2) {
        onSignal(Interruption::kHangUp, ++hangUps);
      } else {
        return;  // stop, or the handles are unusable
      }
    }
  });
  if (!state_->thread->Started()) {
    // No thread (the process ran out): nothing would take the events, so the console keeps
    // its usual handling and the destructor has no thread to stop.
    state_->thread.reset();
    return;
  }
  ::AcquireSRWLockExclusive(&watchedLock);
  watched = h;
  ::ReleaseSRWLockExclusive(&watchedLock);
  ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

InterruptWatcher::~InterruptWatcher() {
  if (state_->thread) {
    ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    // The run is over: a handler still holding the process lets it go, then the handles go.
    ::SetEvent(state_->handles.harmless);
    ::AcquireSRWLockExclusive(&watchedLock);
    watched = Watched{};
    ::ReleaseSRWLockExclusive(&watchedLock);
    ::SetEvent(state_->stop);
    state_->thread->Join();
  }
  for (HANDLE handle : {state_->handles.interrupts, state_->handles.hangUps,
                        state_->handles.harmless, state_->stop})
    if (handle != nullptr) ::CloseHandle(handle);
}

void InterruptWatcher::EndWouldBeHarmless() {
  ::SetEvent(state_->handles.harmless);
}

void GuardStandardStreams() {}

void ShowUtf8OnConsole() {
  ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace zorbent
