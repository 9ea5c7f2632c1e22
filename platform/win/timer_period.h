#pragma once

namespace zorbent {

// Asks the system for a 1 ms timer period while the object lives. Waits end only on a timer
// tick, 15.6 ms apart unless some program asks for finer ones: a serial port's hold of a few
// milliseconds would otherwise end up to a tick late, long after the reply is in.
class FineTimerPeriod {
 public:
  static constexpr unsigned kPeriodMs = 1;

  FineTimerPeriod();
  ~FineTimerPeriod();
  FineTimerPeriod(const FineTimerPeriod&) = delete;
  FineTimerPeriod& operator=(const FineTimerPeriod&) = delete;

  // False when the system refused the period: waits keep the coarse tick.
  bool Held() const { return held_; }
  // How many objects of this process hold the period now.
  static int HeldNow();

 private:
  bool held_ = false;
};

}  // namespace zorbent
