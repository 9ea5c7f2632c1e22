#include <emscripten/emscripten.h>

#include <atomic>
#include <chrono>

#include "platform/clock.h"

// The browser has one thread: a sleep hands it back to the page (Asyncify) instead of
// spinning on the clock as a blocking sleep would.
namespace zorbent {
namespace {
std::atomic<std::uint32_t> tickOffset{0};
}

std::uint32_t TickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  return static_cast<std::uint32_t>(ms) + tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffsetForTesting(std::uint32_t offset) {
  tickOffset.store(offset);
}

void SleepMs(std::uint32_t ms) {
  emscripten_sleep(ms);
}

int LocalMilliseconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() %
                          1000);
}

}  // namespace zorbent
