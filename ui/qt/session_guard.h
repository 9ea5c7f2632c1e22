#pragma once

#include <mutex>

#include "platform/interrupt_watcher.h"

namespace zorbent::ui {

class MainDialog;

// Holds the window against the end of its session: SIGHUP (the terminal it was started from
// closed), SIGTERM (the session ending) and Ctrl-C no longer end the process at once, but reach
// the window as OnSessionEnd. Create it before any other thread (before QApplication), so that
// every thread leaves the signals to it.
class SessionGuard {
 public:
  SessionGuard();
  SessionGuard(const SessionGuard&) = delete;
  SessionGuard& operator=(const SessionGuard&) = delete;

  // The window the signals go to; null before it is torn down. A signal that came before the
  // window existed reaches it now.
  void Watch(MainDialog* dialog);

 private:
  void Pass();  // under lock_

  std::mutex lock_;
  MainDialog* dialog_ = nullptr;
  bool ended_ = false;
  InterruptWatcher watcher_;  // last: its thread is gone before the rest
};

}  // namespace zorbent::ui
