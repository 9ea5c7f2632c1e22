#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/byte_queue.h"
#include "platform/lock.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "port/port.h"
#include "port/traffic_log.h"

namespace zorbent {

// A Port over TCP. A client connects to remote_ip:remote_port; mode "server" listens on
// local_ip:local_port and hands out accepted connections. Only the pump thread touches a
// connected socket: it moves bytes between the socket and the two byte queues, waiting in
// poll on the socket and on a wake-up raised by writes and by closing.
class TcpPort : public Port {
 public:
  // How long one connect attempt may take before it counts as failed.
  static constexpr std::int32_t kConnectTimeoutMs = 3000;

  TcpPort(const PortConfig& config, bool& ok);

 private:
  // What a listener shares with the connections it accepted (both maps, under its lock). It
  // outlives both sides, so a handed-out connection can leave the maps after its listener.
  struct Connections;
  struct AcceptedTag {
    explicit AcceptedTag() = default;
  };

 public:
  // An accepted connection; only a listener can name the tag.
  TcpPort(AcceptedTag, std::shared_ptr<Connections> owner, Socket socket, std::string key);
  ~TcpPort() override;
  TcpPort(const TcpPort&) = delete;
  TcpPort& operator=(const TcpPort&) = delete;

  void Close() override;
  bool Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) override;
  bool Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) override;
  void Purge() override;
  std::int32_t Available() override;
  bool IsOpen() override { return isOpen_; }
  bool Open() override;
  std::unique_ptr<Port> AcceptClient(const PortConfig& config, std::int32_t timeoutMs) override;
  // A TCP link has no line rate: every rate is accepted, so rate switches pass through.
  std::int32_t SetBaud(std::int32_t) override { return 1; }

  // The address (as the user named it) and why the connection or the listening failed.
  PortFacts OpenFacts() const override;
  bool Gone() const override;
  ConnectError LastConnectError() const { return lastError_; }

  bool IsListener() const { return mode_ == "server" && !accepted_; }
  // Listener: the port it listens on (useful with local_port 0); -1 when not listening.
  std::int32_t ListeningPort() const { return listeningPort_; }

 private:
  bool Connect();
  void Disconnect();
  std::string Connection() const;  // "tcp|HOST:PORT" as the user named it
  void Observe(bool in, std::span<const std::uint8_t> bytes);
  bool Listen();
  void StopListening();
  bool StartPump();
  void StopPump();
  void PumpLoop();
  // Closes the socket (ordered with a writer's direct send) and shuts both queues, so waiting
  // reads and writes end at once.
  void EndConnection();
  // Asks the pump to end by itself; the listener's way to end a handed-out connection.
  void RequestPumpStop();
  void AcceptLoop();
  bool Stopping();
  bool AcceptStopping();
  // Accepted connection: leaves the listener's maps, so nothing reaches it once it ends.
  void LeaveOwner();

  std::shared_ptr<Connections> owner_;        // accepted connection: its listener's set
  std::shared_ptr<Connections> connections_;  // listener: its own set
  bool accepted_ = false;
  std::string key_;  // accepted connection: "address:port" of the peer
  std::string mode_;
  std::string localIp_;
  std::int32_t localPort_ = 0;
  std::string remoteIp_;
  std::string remoteName_;  // the host name the user gave, when remoteIp_ was resolved from it
  std::int32_t remotePort_ = 0;
  ConnectError lastError_ = ConnectError::kNone;
  bool listenFailed_ = false;        // listener: the last Listen failed
  std::unique_ptr<TrafficLog> log_;  // client: open and close lines and every byte
  std::atomic<bool> isOpen_{false};
  // Connected socket: the pump receives on it and sends what is queued; a writer sends on it
  // directly only under sendLock_ with nothing queued. Listening socket: only the accept
  // thread. The owning thread touches either only before the thread starts or after it ends.
  Socket socket_;  // listener only; the accept thread alone uses it while listening
  std::int32_t listeningPort_ = -1;
  std::unique_ptr<Thread> acceptThread_;
  bool stopAccept_ = false;
  Lock acceptLock_;
  std::unique_ptr<Thread> pumpThread_;
  bool stopPump_ = false;
  Lock stopLock_;
  Wakeup wake_;  // rouses the pump or the accept thread
  ByteQueue receiveQueue_;
  ByteQueue sendQueue_;
  Lock queueLock_;
  // A write with nothing ahead of it goes straight to the socket from the writer's thread, so
  // a short command costs no hand-off to the pump. sendLock_ orders those sends with the
  // pump's and with the socket's close.
  Lock sendLock_;
  bool socketLive_ = false;   // the pump runs and the socket is open
  bool pumpHolding_ = false;  // the pump holds bytes it has taken but not yet sent
  // The pump saw the peer close or the connection fail (not a stop, not a stalled send).
  std::atomic<bool> peerGone_{false};
};

}  // namespace zorbent
