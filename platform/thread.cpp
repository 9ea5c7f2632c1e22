#include "platform/thread.h"

#include <exception>

namespace zorbent {

Thread::Thread(std::function<void()> body) {
  started_ = StartSystemThread(thread_, std::move(body));
}

bool StartThreadNow(std::thread& thread, std::function<void()> body) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::exception&) {
    // std::system_error (resource_unavailable_try_again) or std::bad_alloc: no thread.
    return false;
  }
}

}  // namespace zorbent
