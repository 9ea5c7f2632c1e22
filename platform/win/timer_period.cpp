#include "platform/win/timer_period.h"

#include <windows.h>
// After windows.h, which the lean build keeps from declaring the timer functions.
#include <mmsystem.h>

#include <atomic>

namespace zorbent {
namespace {

std::atomic<int> heldNow{0};

}  // namespace

// The system counts the requests: each object ends its own, so the period goes back to
// the default once the last one is gone.
FineTimerPeriod::FineTimerPeriod() : held_(::timeBeginPeriod(kPeriodMs) == TIMERR_NOERROR) {
  if (held_) ++heldNow;
}

FineTimerPeriod::~FineTimerPeriod() {
  if (!held_) return;
  ::timeEndPeriod(kPeriodMs);
  --heldNow;
}

int FineTimerPeriod::HeldNow() {
  return heldNow.load();
}

}  // namespace zorbent
