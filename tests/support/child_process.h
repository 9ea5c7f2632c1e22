#pragma once

// Runs a piece of a test in a forked child, where it may use up process-wide resources
// (descriptors, address space) without disturbing the other tests, and where a hang or a
// crash is seen as such instead of ending the test program.

#include <cstddef>
#include <functional>

namespace zorbent::test {

// What RunInChild gives beside the results of body itself.
inline constexpr int kChildCrashed = -1;  // ended by a signal (an abort, say)
inline constexpr int kChildHung = -2;     // still running after the time-out: killed
inline constexpr int kChildThrew = 125;   // body let an exception out

// Runs body in a forked child that exits with body's result; returns that exit status.
int RunInChild(const std::function<int()>& body, int timeoutMs = 10000);

// Open descriptors and threads of this process, from /proc/self.
int OpenDescriptorCount();
int ThreadCount();

// In a child: lowers the descriptor limit to a little above the descriptors in use and opens
// /dev/null until no descriptor is left, then closes `spare` of them again. False when the
// limit cannot be lowered or descriptors remain.
bool UseUpDescriptors(int spare = 0);

// In a child: limits the address space to what is mapped now plus headroomBytes, so larger
// allocations (and thread stacks) fail as they would on a machine out of memory.
bool LimitAddressSpace(std::size_t headroomBytes);

// Sanitizer runtimes reserve address space up front and treat a failed allocation as fatal,
// so tests that limit the address space do not apply to such builds.
constexpr bool kSanitizedBuild =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace zorbent::test
