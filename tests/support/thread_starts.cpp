#include "tests/support/thread_starts.h"

#include "platform/thread.h"

namespace zorbent {
namespace {

// Per starting thread, so a test can pick one of its own starts however many threads the
// started ones go on to start themselves.
thread_local int startsBeforeFailure = 0;

}  // namespace

void FailThreadStartForTesting(int nth) {
  startsBeforeFailure = nth;
}

bool StartSystemThread(std::thread& thread, std::function<void()> body) {
  if (startsBeforeFailure > 0 && --startsBeforeFailure == 0) return false;
  return StartThreadNow(thread, std::move(body));
}

}  // namespace zorbent
