#pragma once

#include <mutex>

namespace zorbent {

// A re-entrant lock: the holder may take it again, as the engine's callers expect.
class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire() { mutex_.lock(); }
  void Release() { mutex_.unlock(); }

  // Lets std::lock_guard / std::unique_lock hold a Lock.
  void lock() { Acquire(); }
  void unlock() { Release(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a Lock for the enclosing scope.
class LockHolder {
 public:
  explicit LockHolder(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~LockHolder() { lock_.Release(); }
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;

 private:
  Lock& lock_;
};

}  // namespace zorbent
