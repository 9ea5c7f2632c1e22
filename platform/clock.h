#pragma once

#include <cstdint>

namespace zorbent {

// Milliseconds since an arbitrary start, wrapping at 2^32. Elapsed time is always the
// unsigned difference of two readings, so the wrap does no harm.
std::uint32_t TickCount();
inline std::uint32_t TicksSince(std::uint32_t start) { return TickCount() - start; }

// Shifts TickCount by offset, so tests can run a job across the wrap.
void SetTickOffsetForTesting(std::uint32_t offset);

void SleepMs(std::uint32_t ms);

// The millisecond field (0..999) of the current wall-clock time.
int LocalMilliseconds();

}  // namespace zorbent
