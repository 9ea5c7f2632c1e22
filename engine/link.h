#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "port/port.h"

namespace zorbent {

// What a job is waiting for, so a front end can say so while nothing else moves.
enum class WaitFor { kNothing, kConnection, kAnswer, kQuietLine, kRestart };
struct WaitReport {
  WaitFor what = WaitFor::kNothing;  // kNothing: the wait is over
  std::string_view subject;          // the command asked, or the connection
  std::int32_t limitMs = 0;          // the longest the wait can last; 0 when not bounded here
  std::int32_t attempt = 0;          // 1.. of attempts, when the wait is one of several tries
  std::int32_t attempts = 0;
};
class WaitObserver {
 public:
  virtual void OnWait(const WaitReport& wait) = 0;

 protected:
  ~WaitObserver() = default;
};

// A port as the command exchange talks over it: the port itself, and what the exchange has to
// remember between commands, which is the engine's business, not the port's.
class Link {
 public:
  explicit Link(Port& port) : port_(port) {}

  bool Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) {
    return port_.Read(buffer, timeoutMs);
  }
  bool Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
    return port_.Write(bytes, timeoutMs);
  }
  void Purge() { port_.Purge(); }
  std::int32_t SetBaud(std::int32_t baud) { return port_.SetBaud(baud); }
  bool Gone() const { return port_.Gone(); }
  bool LosesBytesOnRateChange() const { return port_.LosesBytesOnRateChange(); }
  void ExpectBytes(std::size_t bytes) { port_.ExpectBytes(bytes); }

  // Set when an answer may still be on its way (its command timed out); the next command
  // first lets the line go quiet, so a late answer is not taken for a later command's.
  void SetAnswerOutstanding(bool outstanding) { answerOutstanding_ = outstanding; }
  bool AnswerOutstanding() const { return answerOutstanding_; }

  // The last command sent, whose answer a later read waits for; said with that wait.
  void NoteSent(std::string_view text) { sent_.assign(text); }
  const std::string& Sent() const { return sent_; }

  void Observe(WaitObserver* observer) { observer_ = observer; }
  void Waiting(const WaitReport& wait) {
    if (observer_ != nullptr) observer_->OnWait(wait);
  }

 private:
  Port& port_;
  bool answerOutstanding_ = false;
  WaitObserver* observer_ = nullptr;
  std::string sent_;
};

// Says a wait while in scope, and its end when left.
class WaitScope {
 public:
  WaitScope(Link& link, WaitFor what, std::string_view subject, std::int32_t limitMs)
      : link_(link) {
    link_.Waiting({what, subject, limitMs});
  }
  ~WaitScope() { link_.Waiting({}); }
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;

 private:
  Link& link_;
};

}  // namespace zorbent
