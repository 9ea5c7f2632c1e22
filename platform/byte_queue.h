#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>

namespace zorbent {

// First-in first-out bytes, each operation atomic. Waiters block on a condition variable
// (never by polling) until enough bytes arrive, the queue drains, it is shut, or time runs out.
class ByteQueue {
 public:
  void PushBack(std::uint8_t byte);
  void Append(std::span<const std::uint8_t> bytes);
  // The queue must not be empty.
  std::uint8_t Front() const;
  void PopFront();
  // Moves exactly out.size() bytes from the front; false (nothing moved) when fewer wait.
  bool TakeExactly(std::span<std::uint8_t> out);
  // Moves up to out.size() bytes from the front; returns how many.
  std::size_t TakeSome(std::span<std::uint8_t> out);
  void Clear();
  std::size_t Count() const;
  bool IsEmpty() const { return Count() == 0; }

  // Waits until at least count bytes are queued. False on time-out or when shut.
  bool WaitForCount(std::size_t count, std::int32_t timeoutMs);
  // Waits until the queue is empty. False on time-out or when shut with bytes left.
  bool WaitForEmpty(std::int32_t timeoutMs);
  // Waits until any byte is queued or the queue is shut; false on time-out.
  bool WaitForData(std::int32_t timeoutMs);

  // Wakes every waiter; waits then end at once instead of running out their time.
  void Shut();
  void Reopen();
  bool IsShut() const;

 private:
  template <typename Pred>
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::int32_t timeoutMs, Pred pred);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint8_t> bytes_;
  bool shut_ = false;
};

}  // namespace zorbent
