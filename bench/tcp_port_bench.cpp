// TcpPort against a bare socket, both talking to the same loopback echo peer in the same run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <list>
#include <string>
#include <thread>

#include "port/tcp_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kCommand = "ATI\r";
constexpr std::string_view kAnswer = "ATI\rELM327 v2.2\r\r>";  // with the adapter's echo

void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Answers every '\r'-terminated command with kAnswer; silent peers only accept.
class EchoPeer {
 public:
  explicit EchoPeer(bool answer) : answer_(answer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 8);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~EchoPeer() {
    stop_ = true;
    acceptor_.join();
    for (auto& t : servers_) t.join();
    ::close(listener_);
  }
  int Port() const { return port_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      NoDelay(fd);
      servers_.emplace_back([this, fd] { Serve(fd); });
    }
  }
  void Serve(int fd) {
    std::array<char, 512> buf{};
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      if (!answer_) continue;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[static_cast<std::size_t>(i)] == '\r')
          ::send(fd, kAnswer.data(), kAnswer.size(), MSG_NOSIGNAL);
      }
    }
    ::close(fd);
  }

  bool answer_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::list<std::thread> servers_;
};

int BareConnect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  NoDelay(fd);
  return fd;
}

bool BareRoundTrip(int fd) {
  if (::send(fd, kCommand.data(), kCommand.size(), MSG_NOSIGNAL) != 4) return false;
  std::array<char, 256> buf{};
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) return false;
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) return false;
    if (buf[static_cast<std::size_t>(n - 1)] == '>') return true;
  }
}

// As the engine's exchange reads a reply: one byte per Read until the prompt.
bool PortRoundTrip(zorbent::Port& port) {
  const auto* command = reinterpret_cast<const std::uint8_t*>(kCommand.data());
  if (!port.Write({command, kCommand.size()}, 2000)) return false;
  std::uint8_t byte = 0;
  do {
    if (!port.Read({&byte, 1}, 2000)) return false;
  } while (byte != '>');
  return true;
}

zorbent::PortConfig ClientConfig(int port) {
  zorbent::PortConfig c;
  c.Set("mode", "client");
  c.Set("remote_ip", "127.0.0.1");
  c.Set("remote_port", std::to_string(port));
  return c;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Each iteration runs one bare round trip and one through TcpPort, so noise hits both alike.
void BM_CommandRoundTrip(benchmark::State& state) {
  EchoPeer peer(true);
  bool ok = false;
  zorbent::TcpPort port(ClientConfig(peer.Port()), ok);
  const int bare = BareConnect(peer.Port());
  if (!ok || bare < 0) {
    state.SkipWithError("no loopback connection");
    return;
  }
  double portSeconds = 0;
  double bareSeconds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const bool b = BareRoundTrip(bare);
    const auto t1 = Clock::now();
    const bool p = PortRoundTrip(port);
    const auto t2 = Clock::now();
    if (!b || !p) {
      state.SkipWithError("round trip failed");
      break;
    }
    bareSeconds += Seconds(t1 - t0);
    portSeconds += Seconds(t2 - t1);
    state.SetIterationTime(Seconds(t2 - t1));
  }
  ::close(bare);
  const double n = static_cast<double>(state.iterations());
  if (n > 0 && bareSeconds > 0) {
    state.counters["port_us"] = portSeconds / n * 1e6;
    state.counters["bare_us"] = bareSeconds / n * 1e6;
    state.counters["port_over_bare"] = portSeconds / bareSeconds;
  }
}
BENCHMARK(BM_CommandRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond);

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU of the whole process while a Read waits out 2 s for a peer that never answers.
void BM_IdleReadCpu(benchmark::State& state) {
  EchoPeer peer(false);
  bool ok = false;
  zorbent::TcpPort port(ClientConfig(peer.Port()), ok);
  if (!ok) {
    state.SkipWithError("no loopback connection");
    return;
  }
  double cpu = 0;
  double wall = 0;
  for (auto _ : state) {
    const double before = CpuSeconds();
    const auto t0 = Clock::now();
    std::uint8_t byte = 0;
    benchmark::DoNotOptimize(port.Read({&byte, 1}, 2000));
    wall += Seconds(Clock::now() - t0);
    cpu += CpuSeconds() - before;
  }
  state.counters["cpu_pct_of_core"] = wall > 0 ? cpu / wall * 100.0 : 0;
  state.counters["cpu_ms"] = cpu * 1e3;
}
BENCHMARK(BM_IdleReadCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
