#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "port/port.h"

namespace zorbent {

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
  void ExpectBytes(std::size_t bytes) { port_.ExpectBytes(bytes); }

  // Set when an answer may still be on its way (its command timed out); the next command
  // first lets the line go quiet, so a late answer is not taken for a later command's.
  void SetAnswerOutstanding(bool outstanding) { answerOutstanding_ = outstanding; }
  bool AnswerOutstanding() const { return answerOutstanding_; }

 private:
  Port& port_;
  bool answerOutstanding_ = false;
};

}  // namespace zorbent
