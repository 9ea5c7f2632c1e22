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

 private:
  std::thread thread_;
  bool started_ = false;
};

// Starts body on thread; false when the system refuses (too many threads, no memory).
bool StartThreadNow(std::thread& thread, std::function<void()> body);
// How Thread starts its thread: StartThreadNow, in a file of its own so that tests can link
// one that refuses the starts they pick.
bool StartSystemThread(std::thread& thread, std::function<void()> body);

}  // namespace zorbent
