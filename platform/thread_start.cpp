#include "platform/thread.h"

namespace zorbent {

bool StartSystemThread(std::thread& thread, std::function<void()> body) {
  return StartThreadNow(thread, std::move(body));
}

}  // namespace zorbent
