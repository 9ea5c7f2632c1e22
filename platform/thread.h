#pragma once

#include <functional>
#include <thread>

namespace zorbent {

// A thread that starts at once and is always joined: destroying it waits for the function.
class Thread {
 public:
  explicit Thread(std::function<void()> body) : thread_(std::move(body)) {}
  ~Thread() { Join(); }
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

 private:
  std::thread thread_;
};

}  // namespace zorbent
