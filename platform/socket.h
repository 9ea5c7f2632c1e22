#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zorbent {

// An owned descriptor, closed with the object.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.Release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  bool IsValid() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  int Release();
  void Reset();

 private:
  int fd_ = -1;
};

// A descriptor that a thread blocked in Socket::Wait also watches, so another thread can
// rouse it (bytes to send, or stop) without the waiter ever polling on a timer.
class Wakeup {
 public:
  Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  bool IsValid() const { return fd_.IsValid(); }
  void Signal();
  // Consumes every pending signal.
  void Drain();
  int Fd() const { return fd_.Get(); }

 private:
  Descriptor fd_;  // an eventfd
};

struct SocketEvents {
  bool readable = false;  // data, or the peer's close, waits to be received
  bool writable = false;
  bool woken = false;   // the Wakeup was signalled
  bool failed = false;  // the socket is in error or poll itself failed
  bool timedOut = false;
};

// kUnreachable: no route to the network or host; kHostNotFound: the name did not resolve.
enum class ConnectError {
  kNone,
  kBadAddress,
  kRefused,
  kTimedOut,
  kFailed,
  kUnreachable,
  kHostNotFound
};

// One non-blocking TCP socket, closed with the object. Nothing here raises SIGPIPE.
class Socket {
 public:
  Socket() = default;
  Socket(Socket&&) noexcept = default;
  Socket& operator=(Socket&&) noexcept = default;

  // Connects to host (dotted IPv4, an IPv6 literal with or without brackets, or a name) and
  // port, giving up after timeoutMs in all. Invalid on failure; error says why.
  static Socket Connect(const std::string& host, std::int32_t port, std::int32_t timeoutMs,
                        ConnectError* error = nullptr);
  // Listens on host (empty: every local address) and port (0: the system picks one).
  static Socket Listen(const std::string& host, std::int32_t port, int backlog);

  bool IsValid() const { return fd_.IsValid(); }
  void Close() { fd_.Reset(); }

  // Bytes received (> 0), 0 when nothing waits, -1 when the peer closed or the socket failed.
  int Receive(std::span<std::uint8_t> out);
  // Bytes taken by the system (0 when it has no room now), -1 when the connection is gone.
  int Send(std::span<const std::uint8_t> bytes);
  // Waits until the socket is readable (if asked), writable (if asked), the wakeup is
  // signalled, or timeoutMs passes (negative: no limit).
  SocketEvents Wait(bool forRead, bool forWrite, const Wakeup* wake, std::int32_t timeoutMs) const;
  // Listening socket: takes one pending connection, or an invalid socket when none waits.
  // peerKey is "address:port" of the peer.
  Socket Accept(std::string& peerKey) const;

  // The local port the socket is bound to; -1 when unknown.
  std::int32_t LocalPort() const;

 private:
  explicit Socket(int fd) : fd_(fd) {}
  Descriptor fd_;
};

}  // namespace zorbent
