#pragma once

// A piece of a test in a forked child, free to use up process-wide resources.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace zorbent::test {

// body's result; -1 when killed by a signal, -2 after hanging past timeoutMs, 125 when it threw.
int RunInChild(const std::function<int()>& body, int timeoutMs = 10000);

// A program run beside the test (a server), its stdout read line by line. Ended with SIGTERM
// and waited for when this goes.
class SpawnedProgram {
 public:
  // argv[0] is the program's path. Started() tells whether it runs.
  explicit SpawnedProgram(std::vector<std::string> argv);
  ~SpawnedProgram();
  SpawnedProgram(const SpawnedProgram&) = delete;
  SpawnedProgram& operator=(const SpawnedProgram&) = delete;

  bool Started() const { return pid_ > 0; }
  // The next line of its stdout, without the newline; empty when none came within timeoutMs.
  std::string ReadLine(int timeoutMs);

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string pending_;
};

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
