#include "tests/support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

extern char** environ;

namespace zorbent::test {

int RunInChild(const std::function<int()>& body, int timeoutMs) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    int code = 125;
    try {
      code = body();
    } catch (...) {
    }
    ::_exit(code);  // no atexit handlers, no test framework teardown in the child
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (true) {
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SpawnedProgram::SpawnedProgram(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  int pipeFds[2];
  if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  pid_t pid = -1;
  if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  pid_ = pid;
  out_ = pipeFds[0];
}

SpawnedProgram::~SpawnedProgram() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_ >= 0) ::close(out_);
}

std::string SpawnedProgram::ReadLine(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pending_.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{out_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
    char buffer[256];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
  const std::size_t end = pending_.find('\n');
  std::string line = pending_.substr(0, end);
  pending_.erase(0, end + 1);
  return line;
}

static int CountEntries(const char* dir) {
  std::error_code error;
  const std::filesystem::directory_iterator entries(dir, error);
  return error ? 0 : static_cast<int>(std::distance(entries, {}));
}

int OpenDescriptorCount() {
  return CountEntries("/proc/self/fd");
}

int ThreadCount() {
  // A sanitizer runtime starts a helper at the process's first thread: have it there always.
  [[maybe_unused]] static const bool warmed = (std::thread([] {}).join(), true);
  return CountEntries("/proc/self/task");
}

bool UseUpDescriptors(int spare) {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  const rlim_t wanted = static_cast<rlim_t>(OpenDescriptorCount()) + 16;
  if (wanted < limit.rlim_cur) {
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  }
  std::vector<int> opened;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) opened.push_back(fd);
  if (errno != EMFILE) return false;
  for (int i = 0; i < spare && !opened.empty(); ++i, opened.pop_back()) ::close(opened.back());
  return true;
}

bool LimitAddressSpace(std::size_t headroomBytes) {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  if (!(statm >> pages) || pages == 0) return false;
  const auto pageSize = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_AS, &limit) != 0) return false;
  limit.rlim_cur = static_cast<rlim_t>(pages * pageSize + headroomBytes);
  return ::setrlimit(RLIMIT_AS, &limit) == 0;
}

}  // namespace zorbent::test
