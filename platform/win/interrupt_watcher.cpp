// Ctrl-C, Ctrl-Break and closing the console become onInterrupt calls on the watcher's own
// thread: the console handler only counts them on a semaphore the thread waits on.
#include <windows.h>

#include <atomic>
#include <thread>

#include "platform/interrupt_watcher.h"

namespace zorbent {
namespace {
std::atomic<HANDLE> interrupts{nullptr};

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
      HANDLE semaphore = interrupts.load();
      if (semaphore == nullptr) return FALSE;
      ::ReleaseSemaphore(semaphore, 1, nullptr);
      return TRUE;
    }
    default:
      return FALSE;
  }
}
}  // namespace

struct InterruptWatcher::State {
  HANDLE semaphore = nullptr;
  HANDLE stop = nullptr;
  std::thread thread;
};

InterruptWatcher::InterruptWatcher(std::function<void(int)> onInterrupt)
    : state_(std::make_unique<State>()) {
  state_->semaphore = ::CreateSemaphoreA(nullptr, 0, 0x7fffffff, nullptr);
  state_->stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  interrupts.store(state_->semaphore);
  ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
  state_->thread = std::thread([state = state_.get(), onInterrupt = std::move(onInterrupt)] {
    int count = 0;
    HANDLE handles[2] = {state->stop, state->semaphore};
    while (true) {
      const DWORD r = ::WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      if (r == WAIT_OBJECT_0 + 1) {
        onInterrupt(++count);
        continue;
      }
      return;  // stop, or the handles are unusable
    }
  });
}

InterruptWatcher::~InterruptWatcher() {
  ::SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
  interrupts.store(nullptr);
  ::SetEvent(state_->stop);
  state_->thread.join();
  ::CloseHandle(state_->semaphore);
  ::CloseHandle(state_->stop);
}

}  // namespace zorbent
