#include "platform/byte_queue.h"

#include <algorithm>
#include <chrono>

namespace zorbent {

void ByteQueue::PushBack(std::uint8_t byte) {
  {
    std::lock_guard lock(mutex_);
    bytes_.push_back(byte);
  }
  changed_.notify_all();
}

void ByteQueue::Append(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  changed_.notify_all();
}

std::uint8_t ByteQueue::Front() const {
  std::lock_guard lock(mutex_);
  return bytes_.front();
}

void ByteQueue::PopFront() {
  {
    std::lock_guard lock(mutex_);
    bytes_.pop_front();
  }
  changed_.notify_all();
}

bool ByteQueue::TakeExactly(std::span<std::uint8_t> out) {
  {
    std::lock_guard lock(mutex_);
    if (bytes_.size() < out.size()) return false;
    std::copy_n(bytes_.begin(), out.size(), out.begin());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(out.size()));
  }
  changed_.notify_all();
  return true;
}

std::size_t ByteQueue::TakeSome(std::span<std::uint8_t> out) {
  std::size_t n = 0;
  {
    std::lock_guard lock(mutex_);
    n = std::min(out.size(), bytes_.size());
    std::copy_n(bytes_.begin(), n, out.begin());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  if (n > 0) changed_.notify_all();
  return n;
}

void ByteQueue::Clear() {
  {
    std::lock_guard lock(mutex_);
    bytes_.clear();
  }
  changed_.notify_all();
}

std::size_t ByteQueue::Count() const {
  std::lock_guard lock(mutex_);
  return bytes_.size();
}

template <typename Pred>
bool ByteQueue::WaitFor(std::unique_lock<std::mutex>& lock, std::int32_t timeoutMs, Pred pred) {
  if (pred()) return true;
  if (shut_ || timeoutMs <= 0) return false;
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred() || shut_; });
  return pred();
}

bool ByteQueue::WaitForCount(std::size_t count, std::int32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return WaitFor(lock, timeoutMs, [&] { return bytes_.size() >= count; });
}

bool ByteQueue::WaitForEmpty(std::int32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return WaitFor(lock, timeoutMs, [&] { return bytes_.empty(); });
}

bool ByteQueue::WaitForData(std::int32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return WaitFor(lock, timeoutMs, [&] { return !bytes_.empty(); });
}

void ByteQueue::Shut() {
  {
    std::lock_guard lock(mutex_);
    shut_ = true;
  }
  changed_.notify_all();
}

void ByteQueue::Reopen() {
  std::lock_guard lock(mutex_);
  shut_ = false;
}

bool ByteQueue::IsShut() const {
  std::lock_guard lock(mutex_);
  return shut_;
}

}  // namespace zorbent
