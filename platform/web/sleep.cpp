#include <emscripten/emscripten.h>

#include "platform/clock.h"

namespace zorbent {

// The browser has one thread: a sleep hands it back to the page (Asyncify) instead of
// spinning on the clock as a blocking sleep would.
void SleepMs(std::uint32_t ms) {
  emscripten_sleep(ms);
}

}  // namespace zorbent
