#pragma once

// The wire between the simulated adapter and the host: a pseudo-terminal or a TCP socket.
// The OS halves live in posix/ and win/ (TCP only). On Windows the descriptors hold event
// objects tied to the sockets, and the wake event is an event object too.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zorbent::sim {

// A descriptor the simulator's loop waits on besides its link, raised to stop or wake it.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;
  bool IsValid() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Raise();
  void Clear();

 private:
  int fd_ = -1;
};

struct WaitResult {
  bool woken = false;
  bool listenReady = false;
  bool dataReady = false;
};

// Waits in poll until a descriptor (-1: not watched) is readable, the wake event is raised or
// timeoutUs passes (negative: no limit).
WaitResult WaitForInput(int listenFd, int dataFd, const WakeEvent& wake, std::int64_t timeoutUs);
// Sleeps timeoutUs unless the wake event is raised first; false when woken.
bool SleepUnlessWoken(const WakeEvent& wake, std::int64_t timeoutUs);

class Link {
 public:
  virtual ~Link() = default;
  virtual bool Open(std::string& error) = 0;
  // What the host puts in its configuration string to reach this link.
  virtual std::string ConfigString() const = 0;
  // The descriptor of the host's byte stream; -1 while no host is connected or the link is down.
  virtual int DataFd() const = 0;
  // A listening descriptor, -1 when the link has none.
  virtual int ListenFd() const { return -1; }
  // Takes a waiting host (replacing the current one); false when none was waiting.
  virtual bool AcceptHost() { return false; }
  // >0 bytes read; 0 nothing there; -1 the host went away.
  virtual int Read(std::span<std::uint8_t> out) = 0;
  // Writes everything unless the host takes nothing for a second or the wake event is raised.
  virtual bool Write(std::span<const std::uint8_t> bytes, const WakeEvent& wake) = 0;
  // The host's line rate; 0 when the link has none (TCP), so any rate matches.
  virtual std::int32_t HostRate() const = 0;
  // Bytes sent that the host has not read yet; 0 when the link cannot tell (TCP).
  virtual int Unread() const { return 0; }
  // Pseudo-terminal: hang-up (the device goes away for good). TCP: the connection closes.
  virtual void Disconnect() = 0;
};

// nullptr where the system has no pseudo-terminals (Windows).
std::unique_ptr<Link> MakePtyLink();
// port 0 picks a free one.
std::unique_ptr<Link> MakeTcpLink(int port);

}  // namespace zorbent::sim
