#pragma once

// A piece of a test in a forked child, where it may use up process-wide resources
// (descriptors, address space) and where a hang or a crash is seen as such.

#include <cstddef>
#include <functional>

namespace zorbent::test {

// body's result as the child's exit status; -1 when it died of a signal, -2 when it hung past
// timeoutMs and was killed, 125 when body threw.
int RunInChild(const std::function<int()>& body, int timeoutMs = 10000);

// Open descriptors and threads of this process, from /proc/self.
int OpenDescriptorCount();
int ThreadCount();

// In a child: opens /dev/null under a lowered limit until no descriptor is left, then closes
// `spare` of them again. False when that could not be done.
bool UseUpDescriptors(int spare = 0);

// In a child: limits the address space to what is mapped now plus headroomBytes.
bool LimitAddressSpace(std::size_t headroomBytes);

// Sanitizer runtimes reserve address space and descriptors of their own, so tests that take
// those away do not apply to such builds.
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
