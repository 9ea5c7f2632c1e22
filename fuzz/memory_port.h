#pragma once

// A Port whose adapter is a list of canned answers: every write makes the next answer
// readable. Reads never wait, so an exhausted script ends an exchange at once.

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "port/port.h"

namespace zorbent::fuzz {

class MemoryPort : public Port {
 public:
  explicit MemoryPort(std::vector<std::string> answers) : answers_(std::move(answers)) {}

  // Starts the script again from its first answer.
  void Rewind() {
    next_ = 0;
    pending_.clear();
    readAt_ = 0;
  }

  void Close() override { open_ = false; }
  bool Read(std::span<std::uint8_t> buffer, std::int32_t) override {
    if (!open_ || pending_.size() - readAt_ < buffer.size()) {
      readAt_ = pending_.size();
      return false;
    }
    std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(readAt_), buffer.size(),
                buffer.begin());
    readAt_ += buffer.size();
    return true;
  }
  bool Write(std::span<const std::uint8_t> bytes, std::int32_t) override {
    if (!open_) return false;
    if (bytes.empty()) return true;
    if (next_ < answers_.size()) {
      pending_.erase(0, readAt_);
      readAt_ = 0;
      pending_ += answers_[next_++];
    }
    return true;
  }
  void Purge() override {
    pending_.clear();
    readAt_ = 0;
  }
  std::int32_t Available() override { return static_cast<std::int32_t>(pending_.size() - readAt_); }
  bool IsOpen() override { return open_; }
  bool Open() override {
    open_ = true;
    return true;
  }
  std::unique_ptr<Port> AcceptClient(const PortConfig&, std::int32_t) override { return nullptr; }
  std::int32_t SetBaud(std::int32_t baud) override { return baud > 0 ? 1 : -1; }

 private:
  std::vector<std::string> answers_;
  std::size_t next_ = 0;
  std::string pending_;
  std::size_t readAt_ = 0;
  bool open_ = true;
};

}  // namespace zorbent::fuzz
