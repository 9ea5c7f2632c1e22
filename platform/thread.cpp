#include "platform/thread.h"

#include <exception>

namespace zorbent {
namespace {

// Per starting thread, so a test can pick one of its own starts however many threads the
// started ones go on to start themselves.
thread_local int startsBeforeFailure = 0;

}  // namespace

Thread::Thread(std::function<void()> body) {
  if (startsBeforeFailure > 0 && --startsBeforeFailure == 0) return;
  try {
    thread_ = std::thread(std::move(body));
    started_ = true;
  } catch (const std::exception&) {
    // std::system_error (resource_unavailable_try_again) or std::bad_alloc: no thread.
  }
}

void FailThreadStartForTesting(int nth) {
  startsBeforeFailure = nth;
}

}  // namespace zorbent
