// Each case in a child: signal masks and used-up descriptors belong to the whole process.
#include "platform/interrupt_watcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/child_process.h"

namespace zorbent {
namespace {

bool InterruptBlocked() {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return sigismember(&current, SIGINT) == 1;
}

// SIGINT becomes a call while the watcher lives; afterwards the signal is unblocked again.
TEST(InterruptWatcher, TurnsSigintIntoACallAndGivesTheSignalBack) {
  const int code = test::RunInChild([] {
    std::atomic<int> seen{0};
    {
      InterruptWatcher watcher([&](int count) { seen = count; });
      if (!InterruptBlocked()) return 10;
      ::kill(::getpid(), SIGINT);
      for (int i = 0; i < 1000 && seen == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (seen != 1) return 11;
    }
    return InterruptBlocked() ? 12 : 0;
  });
  EXPECT_EQ(code, 0);
}

// Without descriptors the watcher leaves Ctrl-C alone and its destructor returns at once.
TEST(InterruptWatcher, WithoutDescriptorsItStepsAsideAndEndsAtOnce) {
  for (const int spare : {0, 1}) {
    const int code = test::RunInChild(
        [spare] {
          if (!test::UseUpDescriptors(spare)) return 10;
          {
            InterruptWatcher watcher([](int) {});
            if (InterruptBlocked()) return 11;  // a Ctrl-C would be lost
          }
          return InterruptBlocked() ? 12 : 0;
        },
        5000);
    EXPECT_EQ(code, 0) << spare << " spare descriptor(s)";
  }
}

}  // namespace
}  // namespace zorbent
