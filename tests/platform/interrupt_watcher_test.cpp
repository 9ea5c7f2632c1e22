// Each case in a child: signal masks and used-up descriptors belong to the whole process.
#include "platform/interrupt_watcher.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/thread.h"
#include "tests/support/child_process.h"
#include "tests/support/thread_starts.h"

namespace zorbent {
namespace {

bool InterruptBlocked() {
  sigset_t current;
  pthread_sigmask(SIG_BLOCK, nullptr, &current);
  return sigismember(&current, SIGINT) == 1;
}

// Signals counted by kind while the watcher lives, unblocked after; SIGHUP only when asked.
TEST(InterruptWatcher, TellsAHangUpFromAnInterruptAndGivesTheSignalsBack) {
  const int code = test::RunInChild([] {
    std::mutex mutex;
    std::vector<std::pair<Interruption, int>> seen;
    const auto waitFor = [&](std::size_t count) {
      for (int i = 0; i < 1000; ++i) {
        if (std::lock_guard lock(mutex); seen.size() >= count) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
    {
      InterruptWatcher watcher([&](Interruption kind, int count) {
        std::lock_guard lock(mutex);
        seen.emplace_back(kind, count);
      });
      if (!InterruptBlocked()) return 10;
      std::size_t count = 0;
      for (const int signal : {SIGHUP, SIGINT, SIGTERM, SIGHUP}) {
        ::kill(::getpid(), signal);
        waitFor(++count);
      }
    }
    if (InterruptBlocked()) return 11;
    const std::vector<std::pair<Interruption, int>> expected = {{Interruption::kHangUp, 1},
                                                                {Interruption::kInterrupt, 1},
                                                                {Interruption::kInterrupt, 2},
                                                                {Interruption::kHangUp, 2}};
    if (seen != expected) return 12;
    InterruptWatcher interruptsOnly([&](int count) {
      std::lock_guard lock(mutex);
      seen.emplace_back(Interruption::kInterrupt, count);
    });
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    if (sigismember(&current, SIGHUP) != 0 || !InterruptBlocked()) return 13;
    ::kill(::getpid(), SIGINT);
    waitFor(5);
    return seen.back() == std::pair{Interruption::kInterrupt, 1} ? 0 : 14;
  });
  EXPECT_EQ(code, 0);
}

// Without descriptors or a thread the watcher leaves Ctrl-C alone and its destructor returns
// at once.
TEST(InterruptWatcher, WithoutDescriptorsOrAThreadItStepsAsideAndEndsAtOnce) {
  for (const int spare : {0, 1, -1}) {  // -1: descriptors enough, the thread refused
    const int code = test::RunInChild(
        [spare] {
          if (spare < 0) {
            FailThreadStartForTesting(1);
          } else if (!test::UseUpDescriptors(spare)) {
            return 10;
          }
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
