#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zorbent::test {

// A pseudo-terminal whose master end the test plays: the code under test opens SlavePath().
// The pair keeps its own slave descriptor open so the master never sees a hang-up while the
// port under test reopens.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  // "com|/dev/pts/N:BAUD"
  std::string ConfigString(int baud = 115200) const;
  int MasterFd() const { return master_; }

  void Write(const std::string& bytes);
  // Everything that arrives within timeoutMs after the first byte pause of quietMs.
  std::string ReadFor(int timeoutMs, int quietMs = 50);
  // Reads until `count` bytes arrived or timeoutMs passed.
  std::string ReadCount(std::size_t count, int timeoutMs);
  // The line rate the slave side was set to.
  std::int32_t LineRate() const;
  // Closes the master: the slave side sees a hang-up.
  void HangUp();

  // Answers each command (bytes up to and including '\r') with the chunks that respond
  // returns, written one after another with a short pause between them.
  using Responder = std::function<std::vector<std::string>(const std::string& command)>;
  void StartResponder(Responder respond, int pauseMs = 2);
  void StopResponder();
  // Commands the responder has seen, in order.
  std::vector<std::string> Commands();

 private:
  int master_ = -1;
  int heldSlave_ = -1;
  std::string slavePath_;
  std::thread responder_;
  std::atomic<bool> stop_{false};
  std::mutex commandsMutex_;
  std::vector<std::string> commands_;
};

}  // namespace zorbent::test
