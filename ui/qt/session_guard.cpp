#include "ui/qt/session_guard.h"

#include "engine/update_engine.h"
#include "ui/qt/main_dialog.h"

namespace zorbent::ui {

SessionGuard::SessionGuard()
    : watcher_([this](Interruption, int) {
        // At once, not only when the window's thread gets to it: a job about to begin its
        // download must find the stop raised.
        ProcessStopSignal().Raise(StopLevel::kBeforeChange);
        const std::lock_guard hold(lock_);
        ended_ = true;
        Pass();
      }) {}

void SessionGuard::Watch(MainDialog* dialog) {
  const std::lock_guard hold(lock_);
  dialog_ = dialog;
  Pass();
}

void SessionGuard::Pass() {
  if (dialog_ == nullptr || !ended_) return;
  MainDialog* dialog = dialog_;
  dialog->Post([dialog] { dialog->controller().OnSessionEnd(); });
}

}  // namespace zorbent::ui
