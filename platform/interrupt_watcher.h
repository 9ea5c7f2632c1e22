#pragma once

#include <functional>
#include <memory>

namespace zorbent {

// What a watched signal asks for: kInterrupt is Ctrl-C or SIGTERM (Windows: Ctrl-C,
// Ctrl-Break); kHangUp is SIGHUP, the terminal gone (Windows: the console closed, the user
// logging off, the system shutting down); kUserSignal is SIGUSR1 (Windows has none).
enum class Interruption { kInterrupt, kHangUp, kUserSignal };

// Turns Ctrl-C (SIGINT) and SIGTERM, and if asked hang-ups and SIGUSR1, into calls on a thread of
// its own, so the handler may take locks. Create it before any other thread so that every thread
// leaves the signals to it.
class InterruptWatcher {
 public:
  // Interrupts only, as onInterrupt(n), n counting them so far; a hang-up keeps its usual
  // effect (Windows: a closed console counts as an interrupt).
  explicit InterruptWatcher(std::function<void(int count)> onInterrupt);
  // Interrupts and hang-ups, as onSignal(kind, n), n counting the signals of that kind so far.
  explicit InterruptWatcher(std::function<void(Interruption kind, int count)> onSignal);
  // Interrupts, hang-ups and SIGUSR1 (a program's own control; nothing arrives on Windows).
  struct WithUserSignal {};
  InterruptWatcher(std::function<void(Interruption kind, int count)> onSignal, WithUserSignal);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // Windows ends the process as soon as its handler of a hang-up returns: the handler holds
  // the process until this is called, for at most 4 s (kHangUpHoldMs), within the system's
  // grace of about 5 s. Call it once ending would do no harm; callable from any thread, any
  // number of times, before a hang-up too. Nothing to hold elsewhere.
  void EndWouldBeHarmless();

 private:
  InterruptWatcher(std::function<void(Interruption kind, int count)> onSignal, bool hangUps,
                   bool userSignal);

  struct State;
  std::unique_ptr<State> state_;
};

// Output must never end the process: writes to a closed pipe or socket fail with EPIPE instead
// of raising SIGPIPE, and a closed standard descriptor is opened on /dev/null, so that no
// device or file the program opens later takes its place and gets its messages. For the
// whole process: call it first thing in main. Nothing to do on Windows.
void GuardStandardStreams();

// A console shows the program's UTF-8 text ("v2.2 → v2.3") as such: Windows is told the output
// is UTF-8; elsewhere nothing to do.
void ShowUtf8OnConsole();

}  // namespace zorbent
