#pragma once

#include <functional>
#include <memory>

namespace zorbent {

// Turns Ctrl-C (SIGINT) and SIGTERM into calls of onInterrupt(n) on a thread of its own, n
// counting the interrupts so far, so the handler may take locks. Create it before any other
// thread so that every thread leaves the signals to it.
class InterruptWatcher {
 public:
  explicit InterruptWatcher(std::function<void(int count)> onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zorbent
