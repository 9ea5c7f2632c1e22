#include "platform/interrupt_watcher.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace zorbent {

struct InterruptWatcher::State {
  int signalFd = -1;
  int stopFd = -1;
  sigset_t previous{};
  std::thread thread;
};

InterruptWatcher::InterruptWatcher(std::function<void(int)> onInterrupt)
    : state_(std::make_unique<State>()) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, &state_->previous);
  state_->signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
  state_->stopFd = ::eventfd(0, EFD_CLOEXEC);
  state_->thread = std::thread([state = state_.get(), onInterrupt = std::move(onInterrupt)] {
    int count = 0;
    while (true) {
      struct pollfd fds[2] = {{state->signalFd, POLLIN, 0}, {state->stopFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents & POLLIN) return;
      if (fds[0].revents & POLLIN) {
        struct signalfd_siginfo info {};
        if (::read(state->signalFd, &info, sizeof info) == sizeof info) onInterrupt(++count);
      }
    }
  });
}

InterruptWatcher::~InterruptWatcher() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(state_->stopFd, &one, sizeof one);
  state_->thread.join();
  ::close(state_->signalFd);
  ::close(state_->stopFd);
  pthread_sigmask(SIG_SETMASK, &state_->previous, nullptr);
}

}  // namespace zorbent
