#include "platform/interrupt_watcher.h"

#include <gtest/gtest.h>

#include "platform/thread.h"
#include "tests/support/thread_starts.h"

namespace zorbent {
namespace {

// A watcher the system gives no thread steps aside instead of ending the process.
TEST(InterruptWatcher, ARefusedThreadLeavesTheProcessRunning) {
  FailThreadStartForTesting(1);
  {
    InterruptWatcher watcher([](Interruption, int) {});
    watcher.EndWouldBeHarmless();
  }
  const Thread next([] {});
  EXPECT_TRUE(next.Started());  // the refusal was the watcher's
}

}  // namespace
}  // namespace zorbent
