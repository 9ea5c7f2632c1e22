// Each case in a child: signal masks and used-up descriptors belong to the whole process.
#include "platform/interrupt_watcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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

// Asked for hang-ups too, the watcher tells them apart and counts each kind on its own; asked
// for interrupts only, it leaves SIGHUP its usual effect.
TEST(InterruptWatcher, TellsAHangUpFromAnInterrupt) {
  const int code = test::RunInChild([] {
    std::mutex mutex;
    std::vector<std::pair<Interruption, int>> seen;
    {
      InterruptWatcher watcher([&](Interruption kind, int count) {
        std::lock_guard lock(mutex);
        seen.emplace_back(kind, count);
      });
      for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGHUP}) {
        const std::size_t before = seen.size();
        ::kill(::getpid(), signal);
        for (int i = 0; i < 1000; ++i) {
          if (std::lock_guard lock(mutex); seen.size() > before) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
    }
    const std::vector<std::pair<Interruption, int>> expected = {{Interruption::kHangUp, 1},
                                                                {Interruption::kInterrupt, 1},
                                                                {Interruption::kInterrupt, 2},
                                                                {Interruption::kHangUp, 2}};
    if (seen != expected) return 10;
    InterruptWatcher interruptsOnly([](int) {});
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, SIGHUP) == 0 && InterruptBlocked() ? 0 : 11;
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
