#include "platform/interrupt_watcher.h"

#include <utility>

// The two public constructors are the same on every system; each system's file has the one
// that watches.
namespace zorbent {

InterruptWatcher::InterruptWatcher(std::function<void(int)> onInterrupt)
    : InterruptWatcher(
          [onInterrupt = std::move(onInterrupt)](Interruption, int count) { onInterrupt(count); },
          false, false) {}

InterruptWatcher::InterruptWatcher(std::function<void(Interruption, int)> onSignal)
    : InterruptWatcher(std::move(onSignal), true, false) {}

InterruptWatcher::InterruptWatcher(std::function<void(Interruption, int)> onSignal, WithUserSignal)
    : InterruptWatcher(std::move(onSignal), true, true) {}

}  // namespace zorbent
