#pragma once

// A piece of a test in a forked child, free to use up process-wide resources.

#include <cstddef>
#include <functional>

namespace zorbent::test {

// body's result; -1 when killed by a signal, -2 after hanging past timeoutMs, 125 when it threw.
int RunInChild(const std::function<int()>& body, int timeoutMs = 10000);

// Open descriptors and threads of this process, from /proc/self.
int OpenDescriptorCount();
int ThreadCount();

// In a child: uses up every descriptor (on /dev/null), then frees `spare`. False on failure.
bool UseUpDescriptors(int spare = 0);

// In a child: limits the address space to what is mapped now plus headroomBytes.
bool LimitAddressSpace(std::size_t headroomBytes);

// Sanitizer runtimes need address space and descriptors, so such tests skip there.
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
