#pragma once

#include <functional>
#include <thread>

namespace zorbent {

// A thread that starts at once and is always joined: destroying it waits for the function.
// A thread the system refuses (too many threads, no memory) throws nothing: Started() is
// false and the function never runs, so the caller can fail that one task alone.
class Thread {
 public:
  explicit Thread(std::function<void()> body);
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool Started() const { return started_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

 private:
  std::thread thread_;
  bool started_ = false;
};

// Makes the nth Thread started from now by the calling thread fail as if the system had
// refused it (1: the next one; 0: none). Threads started by other threads are not counted.
void FailThreadStartForTesting(int nth);

}  // namespace zorbent
