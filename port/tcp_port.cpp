#include "port/tcp_port.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "port/port_config.h"
#include "port/port_observer.h"

namespace zorbent {
namespace {

constexpr std::size_t kChunk = 2048;
// A send that makes no progress for this long means the peer is gone.
constexpr std::uint32_t kSendStallMs = 5000;
constexpr int kBacklog = 5;
// After a failed accept (out of descriptors, say) the listening socket stays readable:
// pause before the next try instead of spinning.
constexpr std::int32_t kAcceptBackoffMs = 100;

std::string PeerKey(const std::string& ip, std::int32_t port) {
  if (ip.empty()) return {};
  std::string host = ip;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  return host + ":" + std::to_string(port);
}

}  // namespace

struct TcpPort::Connections {
  Lock lock;  // guards everything below
  std::condition_variable_any arrived;
  std::map<std::string, std::unique_ptr<TcpPort>> waiting;
  std::multimap<std::string, TcpPort*> handedOut;
  bool listening = false;
};

TcpPort::TcpPort(const PortConfig& config, bool& ok) {
  mode_ = config.Get("mode");
  receiveQueue_.Shut();  // closed until a start succeeds: reads fail at once
  sendQueue_.Shut();
  if (mode_ == "server") {
    localIp_ = config.Get("local_ip");
    localPort_ = AtoiLike(config.Get("local_port"));
    connections_ = std::make_shared<Connections>();
    ok = Listen();
  } else {
    remoteIp_ = config.Get("remote_ip");
    remoteName_ = config.Get("remote_name");
    remotePort_ = AtoiLike(config.Get("remote_port"));
    log_ = std::make_unique<TrafficLog>(TrafficLog::PathForToday());
    ok = Connect();
  }
}

TcpPort::TcpPort(AcceptedTag, std::shared_ptr<Connections> owner, Socket socket, std::string key)
    : owner_(std::move(owner)), accepted_(true), key_(std::move(key)) {
  socket_ = std::move(socket);
  // Without its wake-up (no descriptor left for it) the pump could never be told to stop:
  // such a connection is refused, and its peer sees the close at once.
  if (!wake_.IsValid() || !StartPump()) {
    socket_.Close();
    receiveQueue_.Shut();
    sendQueue_.Shut();
  }
}

TcpPort::~TcpPort() {
  Close();
}

void TcpPort::Close() {
  if (accepted_) {
    LeaveOwner();
    StopPump();
  } else if (IsListener()) {
    StopListening();
  } else {
    Disconnect();
  }
}

bool TcpPort::Open() {
  if (accepted_) return isOpen_;
  if (IsListener()) {
    StopListening();
    return Listen();
  }
  Disconnect();
  return Connect();
}

bool TcpPort::Connect() {
  isOpen_ = false;
  if (!wake_.IsValid()) {
    lastError_ = ConnectError::kFailed;
    return false;
  }
  socket_ = Socket::Connect(remoteIp_, remotePort_, kConnectTimeoutMs, &lastError_);
  if (!socket_.IsValid()) return false;
  if (!StartPump()) {
    socket_.Close();
    lastError_ = ConnectError::kFailed;
    return false;
  }
  const std::string where = Connection().substr(4);
  if (log_) log_->LogText(where, "TcpPort:", " Is Opened!");
  if (PortObserver* observer = GetPortObserver()) observer->OnOpen(Connection());
  return true;
}

void TcpPort::Disconnect() {
  const bool wasOpen = isOpen_ || pumpThread_ != nullptr;
  StopPump();
  if (!wasOpen) return;
  if (log_) log_->LogText(Connection().substr(4), "TcpPort:", " Is Closed!");
  if (PortObserver* observer = GetPortObserver()) observer->OnClose(Connection());
}

std::string TcpPort::Connection() const {
  return "tcp|" + (remoteName_.empty() ? remoteIp_ : remoteName_) + ":" +
         std::to_string(remotePort_);
}

void TcpPort::Observe(bool in, std::span<const std::uint8_t> bytes) {
  if (!log_) return;  // only a client is traced: it is the link to an adapter
  log_->LogData(bytes, in ? "  Data[in]:" : "  Data[out]:", "");
  if (PortObserver* observer = GetPortObserver()) {
    observer->OnData(Connection(),
                     in ? PortObserver::Direction::kIn : PortObserver::Direction::kOut, bytes);
  }
}

PortFacts TcpPort::OpenFacts() const {
  using P = PortFacts::Problem;
  PortFacts facts;
  facts.tcp = true;
  facts.attempts = 1;
  if (mode_ == "server" && !accepted_) {
    facts.device =
        (localIp_.empty() ? std::string("*") : localIp_) + ":" + std::to_string(localPort_);
    if (listenFailed_) facts.problem = P::kListenFailed;
    return facts;
  }
  facts.device = Connection().substr(4);
  switch (lastError_) {
    case ConnectError::kNone:
      break;
    case ConnectError::kBadAddress:
      facts.problem = P::kBadAddress;
      break;
    case ConnectError::kHostNotFound:
      facts.problem = P::kHostUnknown;
      break;
    case ConnectError::kRefused:
      facts.problem = P::kRefused;
      break;
    case ConnectError::kTimedOut:
      facts.problem = P::kTimedOut;
      break;
    case ConnectError::kUnreachable:
      facts.problem = P::kUnreachable;
      break;
    case ConnectError::kFailed:
      facts.problem = P::kOther;
      break;
  }
  // A connect that timed out waited its whole time-out; other faults come sooner.
  facts.attemptLimitMs = kConnectTimeoutMs;
  if (facts.problem == P::kTimedOut) facts.waitedMs = kConnectTimeoutMs;
  return facts;
}

bool TcpPort::StartPump() {
  {
    LockHolder hold(stopLock_);
    stopPump_ = false;
  }
  wake_.Drain();
  receiveQueue_.Clear();
  sendQueue_.Clear();
  receiveQueue_.Reopen();
  sendQueue_.Reopen();
  peerGone_ = false;
  isOpen_ = true;
  {
    LockHolder hold(sendLock_);
    socketLive_ = true;
    pumpHolding_ = false;
  }
  pumpThread_ = std::make_unique<Thread>([this] { PumpLoop(); });
  if (!pumpThread_->Started()) {
    pumpThread_.reset();
    isOpen_ = false;
    return false;
  }
  return true;
}

void TcpPort::RequestPumpStop() {
  {
    LockHolder hold(stopLock_);
    stopPump_ = true;
  }
  wake_.Signal();
}

void TcpPort::StopPump() {
  if (pumpThread_) {
    RequestPumpStop();
    pumpThread_.reset();  // joins
  }
  EndConnection();
}

void TcpPort::EndConnection() {
  {
    LockHolder send(sendLock_);
    socketLive_ = false;
    socket_.Close();
  }
  isOpen_ = false;
  receiveQueue_.Shut();
  sendQueue_.Shut();
}

bool TcpPort::Stopping() {
  LockHolder hold(stopLock_);
  return stopPump_;
}

void TcpPort::PumpLoop() {
  std::array<std::uint8_t, kChunk> in{};
  std::array<std::uint8_t, kChunk> out{};
  std::size_t outLen = 0;
  std::size_t outPos = 0;
  std::uint32_t lastProgress = 0;
  while (!Stopping()) {
    bool sendFailed = false;
    {
      LockHolder send(sendLock_);
      if (outPos == outLen) {
        LockHolder hold(queueLock_);
        outLen = sendQueue_.TakeSome(out);
        outPos = 0;
        lastProgress = TickCount();
      }
      // A socket almost always has room: send at once, and wait for room only when it has none.
      if (outPos < outLen) {
        const int n = socket_.Send(std::span(out).subspan(outPos, outLen - outPos));
        if (n < 0) {
          sendFailed = true;
        } else if (n > 0) {
          outPos += static_cast<std::size_t>(n);
          lastProgress = TickCount();
        }
      }
      pumpHolding_ = outPos < outLen;
    }
    if (sendFailed) {
      peerGone_ = true;
      break;
    }
    const bool sending = outPos < outLen;
    std::int32_t waitMs = -1;  // idle: sleep in poll until a byte, a write or a stop
    if (!sending && !sendQueue_.IsEmpty()) {
      waitMs = 0;  // more was queued (its wake-up may be spent): look at input, then take it
    } else if (sending) {
      const std::uint32_t stalled = TicksSince(lastProgress);
      if (stalled >= kSendStallMs) break;  // a stall is no proof of a close: not gone
      waitMs = static_cast<std::int32_t>(kSendStallMs - stalled);
    }
    const SocketEvents events = socket_.Wait(true, sending, &wake_, waitMs);
    if (events.woken) wake_.Drain();
    if (events.readable) {
      const int n = socket_.Receive(in);
      if (n < 0) {  // the peer closed or the connection failed
        peerGone_ = true;
        break;
      }
      if (n > 0) {
        LockHolder hold(queueLock_);
        receiveQueue_.Append(std::span(in).first(static_cast<std::size_t>(n)));
      }
    } else if (events.failed) {
      peerGone_ = true;
      break;
    }
  }
  // Ended for good: the socket goes now, so the peer sees the close, and waiting reads and
  // writes end at once instead of running out their time.
  EndConnection();
}

bool TcpPort::Read(std::span<std::uint8_t> buffer, std::int32_t timeoutMs) {
  if (buffer.empty()) return true;
  // Bytes that came before a close can still be read; then a shut queue fails at once.
  if (!receiveQueue_.WaitForCount(buffer.size(), timeoutMs)) return false;
  bool ok = false;
  {
    LockHolder hold(queueLock_);
    ok = receiveQueue_.TakeExactly(buffer);
  }
  if (ok) Observe(true, buffer);
  return ok;
}

bool TcpPort::Write(std::span<const std::uint8_t> bytes, std::int32_t timeoutMs) {
  if (bytes.empty()) return true;
  if (!isOpen_ || IsListener()) return false;
  const std::span<const std::uint8_t> whole = bytes;
  {
    LockHolder send(sendLock_);
    if (socketLive_ && !pumpHolding_ && sendQueue_.IsEmpty()) {
      // A failed send is left to the pump, which finds the socket broken and ends the port.
      const int n = socket_.Send(bytes);
      if (n > 0) bytes = bytes.subspan(static_cast<std::size_t>(n));
      if (bytes.empty()) {
        Observe(false, whole);
        return true;
      }
    }
    LockHolder hold(queueLock_);
    sendQueue_.Append(bytes);
  }
  wake_.Signal();
  // On a time-out the bytes stay queued and the pump still sends them.
  if (!sendQueue_.WaitForEmpty(timeoutMs)) return false;
  Observe(false, whole);
  return true;
}

bool TcpPort::Gone() const {
  // Set before the queues are shut, after the last bytes were queued: bytes that came before
  // the close can still be read, and the port is gone once they have been.
  return peerGone_ && receiveQueue_.IsEmpty();
}

void TcpPort::Purge() {
  receiveQueue_.Clear();
}

std::int32_t TcpPort::Available() {
  return static_cast<std::int32_t>(receiveQueue_.Count());
}

bool TcpPort::Listen() {
  isOpen_ = false;
  listenFailed_ = true;
  if (!wake_.IsValid()) return false;
  socket_ = Socket::Listen(localIp_, localPort_, kBacklog);
  if (!socket_.IsValid()) return false;
  listeningPort_ = socket_.LocalPort();
  {
    LockHolder hold(acceptLock_);
    stopAccept_ = false;
  }
  wake_.Drain();
  {
    LockHolder hold(connections_->lock);
    connections_->listening = true;
  }
  isOpen_ = true;
  acceptThread_ = std::make_unique<Thread>([this] { AcceptLoop(); });
  if (!acceptThread_->Started()) {
    acceptThread_.reset();
    StopListening();
    return false;
  }
  listenFailed_ = false;
  return true;
}

bool TcpPort::AcceptStopping() {
  LockHolder hold(acceptLock_);
  return stopAccept_;
}

void TcpPort::AcceptLoop() {
  while (!AcceptStopping()) {
    const SocketEvents events = socket_.Wait(true, false, &wake_, -1);
    if (events.woken) wake_.Drain();
    if (!events.readable) {
      if (events.failed) socket_.Wait(false, false, &wake_, kAcceptBackoffMs);
      continue;
    }
    std::string key;
    Socket accepted = socket_.Accept(key);
    if (!accepted.IsValid()) {
      socket_.Wait(false, false, &wake_, kAcceptBackoffMs);
      continue;
    }
    auto connection =
        std::make_unique<TcpPort>(AcceptedTag{}, connections_, std::move(accepted), key);
    if (!connection->IsOpen()) continue;  // refused: it ends here and replaces nobody
    std::unique_ptr<TcpPort> replaced;    // destroyed below, outside the lock
    {
      LockHolder hold(connections_->lock);
      auto& slot = connections_->waiting[key];
      replaced = std::move(slot);
      slot = std::move(connection);
    }
    connections_->arrived.notify_all();
  }
}

std::unique_ptr<Port> TcpPort::AcceptClient(const PortConfig& config, std::int32_t timeoutMs) {
  if (!IsListener() || !isOpen_) return nullptr;
  const std::string wanted = PeerKey(config.Get("remote_ip"), AtoiLike(config.Get("remote_port")));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
  std::vector<std::unique_ptr<TcpPort>> ended;  // destroyed after the lock is released
  std::unique_lock hold(connections_->lock);
  auto& set = *connections_;
  bool lastLook = false;
  while (true) {
    auto it = wanted.empty() ? set.waiting.begin() : set.waiting.find(wanted);
    while (it != set.waiting.end()) {
      TcpPort& candidate = *it->second;
      // A connection whose peer left without sending anything is of no use to anyone.
      if (candidate.IsOpen() || candidate.Available() > 0) break;
      ended.push_back(std::move(it->second));
      it = set.waiting.erase(it);
      if (!wanted.empty()) it = set.waiting.end();
    }
    if (it != set.waiting.end()) {
      set.handedOut.emplace(it->first, it->second.get());
      std::unique_ptr<Port> out = std::move(it->second);
      set.waiting.erase(it);
      return out;
    }
    if (!set.listening || lastLook) return nullptr;
    // Woken by each stored connection and by StopListening; one more look after the time.
    lastLook = set.arrived.wait_until(hold, deadline) == std::cv_status::timeout;
  }
}

void TcpPort::LeaveOwner() {
  if (!owner_) return;
  LockHolder hold(owner_->lock);
  auto [first, last] = owner_->handedOut.equal_range(key_);
  for (auto it = first; it != last; ++it) {
    if (it->second == this) {
      owner_->handedOut.erase(it);
      break;
    }
  }
}

void TcpPort::StopListening() {
  if (acceptThread_) {
    {
      LockHolder hold(acceptLock_);
      stopAccept_ = true;
    }
    wake_.Signal();
    acceptThread_.reset();  // joins
  }
  socket_.Close();
  listeningPort_ = -1;
  isOpen_ = false;
  if (!connections_) return;
  std::map<std::string, std::unique_ptr<TcpPort>> ending;
  {
    LockHolder hold(connections_->lock);
    connections_->listening = false;
    ending.swap(connections_->waiting);
    // Handed-out connections belong to their holders, who destroy them. End them here; a
    // holder's destructor takes this lock before anything else, so each one is whole now.
    for (auto& entry : connections_->handedOut) entry.second->RequestPumpStop();
    connections_->handedOut.clear();
  }
  connections_->arrived.notify_all();
  ending.clear();  // each waiting connection is destroyed once, outside the lock
}

}  // namespace zorbent
