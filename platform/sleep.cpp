#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace zorbent {

void SleepMs(std::uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace zorbent
