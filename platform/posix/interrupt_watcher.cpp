#include "platform/interrupt_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/thread.h"

namespace zorbent {

struct InterruptWatcher::State {
  int signalFd = -1;
  int stopFd = -1;
  sigset_t previous{};
  std::optional<Thread> thread;
  bool restored = false;

  // Closes the descriptors and gives the calling thread its signal mask back, once.
  void CloseAndRestore() {
    if (signalFd >= 0) ::close(signalFd);
    if (stopFd >= 0) ::close(stopFd);
    signalFd = stopFd = -1;
    if (!restored) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    restored = true;
  }
};

InterruptWatcher::InterruptWatcher(std::function<void(Interruption, int)> onSignal, bool hangUps,
                                   bool userSignal)
    : state_(std::make_unique<State>()) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (hangUps) sigaddset(&set, SIGHUP);
  if (userSignal) sigaddset(&set, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &set, &state_->previous);
  state_->signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
  state_->stopFd = ::eventfd(0, EFD_CLOEXEC);
  if (state_->signalFd >= 0 && state_->stopFd >= 0) {
    state_->thread.emplace([state = state_.get(), onSignal = std::move(onSignal)] {
      int interrupts = 0;
      int hangUps = 0;
      int userSignals = 0;
      while (true) {
        struct pollfd fds[2] = {{state->signalFd, POLLIN, 0}, {state->stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents & POLLIN) return;
        if (fds[0].revents & POLLIN) {
          struct signalfd_siginfo info {};
          if (::read(state->signalFd, &info, sizeof info) != sizeof info) continue;
          if (info.ssi_signo == SIGHUP) {
            onSignal(Interruption::kHangUp, ++hangUps);
          } else if (info.ssi_signo == SIGUSR1) {
            onSignal(Interruption::kUserSignal, ++userSignals);
          } else {
            onSignal(Interruption::kInterrupt, ++interrupts);
          }
        }
      }
    });
    if (state_->thread->Started()) return;
    state_->thread.reset();
  }
  // No descriptors or no thread (the process ran out): nothing can watch, so the signals keep
  // their usual effect instead of being held back for ever, and the destructor has no thread
  // to stop.
  state_->CloseAndRestore();
}

InterruptWatcher::~InterruptWatcher() {
  if (state_->thread) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(state_->stopFd, &one, sizeof one);
    state_->thread->Join();
  }
  state_->CloseAndRestore();
}

void InterruptWatcher::EndWouldBeHarmless() {}

void ShowUtf8OnConsole() {}

void GuardStandardStreams() {
  ::signal(SIGPIPE, SIG_IGN);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    // The lowest free descriptor is this one: the lower ones are open by now.
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", O_RDWR);
  }
}

}  // namespace zorbent
