#include "port/tcp_port.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine/exchange.h"
#include "platform/socket.h"
#include "port/port_config.h"

namespace zorbent {
namespace {

constexpr std::int32_t kWaitMs = 5000;

// The far end of a loopback connection, played over the platform's own sockets.
class Peer {
 public:
  Peer() : listener_(Socket::Listen("127.0.0.1", 0, 4)) {}
  std::int32_t Port() const { return listener_.LocalPort(); }

  bool Accept() {
    if (!listener_.Wait(true, false, nullptr, kWaitMs).readable) return false;
    std::string key;
    conn_ = listener_.Accept(key);
    return conn_.IsValid();
  }
  bool Send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      if (!conn_.Wait(false, true, nullptr, kWaitMs).writable) return false;
      const int n = conn_.Send(
          std::span(reinterpret_cast<const std::uint8_t*>(text.data()) + done, text.size() - done));
      if (n < 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  std::string Receive(std::size_t count) {
    std::string got;
    std::array<std::uint8_t, 4096> buffer{};
    while (got.size() < count) {
      if (!conn_.Wait(true, false, nullptr, kWaitMs).readable) break;
      const int n =
          conn_.Receive(std::span(buffer).first(std::min(buffer.size(), count - got.size())));
      if (n < 0) break;
      got.append(reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(n));
    }
    return got;
  }
  void HangUp() { conn_.Close(); }
  void StopListening() { listener_.Close(); }

 private:
  Socket listener_;
  Socket conn_;
};

PortConfig Client(std::int32_t port, const std::string& ip = "127.0.0.1") {
  PortConfig config;
  config.Set("mode", "client");
  config.Set("remote_ip", ip);
  config.Set("remote_port", std::to_string(port));
  return config;
}

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(WinSocket, WakeupRousesAWaiterAndDrains) {
  Peer peer;
  ASSERT_GT(peer.Port(), 0);
  ConnectError error = ConnectError::kFailed;
  Socket client = Socket::Connect("127.0.0.1", peer.Port(), kWaitMs, &error);
  ASSERT_TRUE(client.IsValid());
  EXPECT_EQ(error, ConnectError::kNone);
  Wakeup wake;
  ASSERT_TRUE(wake.IsValid());
  std::thread signaller([&] { wake.Signal(); });
  const SocketEvents woken = client.Wait(true, false, &wake, -1);
  signaller.join();
  EXPECT_TRUE(woken.woken);
  EXPECT_FALSE(woken.readable);
  wake.Drain();
  const SocketEvents quiet = client.Wait(true, false, &wake, 20);
  EXPECT_TRUE(quiet.timedOut);
  EXPECT_FALSE(quiet.woken);
}

TEST(WinSocket, RefusedAndMalformedAddressesFail) {
  std::int32_t closedPort = 0;
  {
    Peer gone;
    closedPort = gone.Port();
  }
  ConnectError error = ConnectError::kNone;
  EXPECT_FALSE(Socket::Connect("127.0.0.1", closedPort, kWaitMs, &error).IsValid());
  EXPECT_EQ(error, ConnectError::kRefused);
  EXPECT_FALSE(Socket::Connect("999.1.1.1", 35000, kWaitMs, &error).IsValid());
  EXPECT_EQ(error, ConnectError::kBadAddress);
  EXPECT_FALSE(Socket::Connect("127.0.0.1", 70000, kWaitMs, &error).IsValid());
  EXPECT_EQ(error, ConnectError::kBadAddress);
}

// The line after the connection error says why, as on every system.
TEST(WinTcpPort, FailedConnectionsSayWhy) {
  std::int32_t closedPort = 0;
  {
    Peer gone;
    closedPort = gone.Port();
  }
  PortConfig config;
  config.Set("remote_ip", "127.0.0.1");
  config.Set("remote_port", std::to_string(closedPort));
  bool ok = true;
  TcpPort refused(config, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(refused.OpenFailure().rfind(
                "127.0.0.1:" + std::to_string(closedPort) + " refused the connection", 0),
            0u);
  config.Set("remote_ip", "no-such-host.invalid");
  TcpPort unknown(config, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(unknown.OpenFailure().rfind("no-such-host.invalid: host not found", 0), 0u);
}

TEST(WinTcpPort, RoundTripAndPartialReadKeepsBytes) {
  Peer peer;
  bool ok = false;
  TcpPort port(Client(peer.Port()), ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(peer.Accept());
  EXPECT_TRUE(port.Write(Bytes("ATZ\r"), kWaitMs));
  EXPECT_EQ(peer.Receive(4), "ATZ\r");
  ASSERT_TRUE(peer.Send("OK\r>"));
  std::array<std::uint8_t, 8> tooMany{};
  EXPECT_FALSE(port.Read(tooMany, 200));  // only 4 arrive: nothing is taken
  std::array<std::uint8_t, 4> four{};
  ASSERT_TRUE(port.Read(four, kWaitMs));
  EXPECT_EQ(std::string(four.begin(), four.end()), "OK\r>");
  std::array<std::uint8_t, 0> none{};
  EXPECT_TRUE(port.Read(none, 0));
  EXPECT_EQ(port.SetBaud(9600), 1);
}

TEST(WinTcpPort, LargeWriteArrivesWholeAndInOrder) {
  Peer peer;
  bool ok = false;
  TcpPort port(Client(peer.Port()), ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(peer.Accept());
  std::string big(100000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 26);
  std::string got;
  std::thread reader([&] { got = peer.Receive(big.size()); });
  EXPECT_TRUE(port.Write(Bytes(big), 30000));
  reader.join();
  EXPECT_EQ(got, big);
}

TEST(WinTcpPort, PeerCloseMakesReadsFailWithoutHanging) {
  Peer peer;
  bool ok = false;
  TcpPort port(Client(peer.Port()), ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(peer.Send("AB"));
  peer.HangUp();
  std::array<std::uint8_t, 2> two{};
  EXPECT_TRUE(port.Read(two, kWaitMs));  // bytes sent before the close are not lost
  std::array<std::uint8_t, 1> one{};
  EXPECT_FALSE(port.Read(one, 100));
  EXPECT_EQ(port.Available(), 0);
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  port.Close();
}

TEST(WinTcpPort, NoListenerOrBadAddressReportsNotOk) {
  std::int32_t closedPort = 0;
  {
    Peer gone;
    closedPort = gone.Port();
  }
  bool ok = true;
  TcpPort refused(Client(closedPort), ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(refused.IsOpen());
  ok = true;
  TcpPort malformed(Client(35000, "not an address"), ok);
  EXPECT_FALSE(ok);
}

TEST(WinTcpPort, ListenerHandsOutTheConnectionOfTheAskedPeer) {
  PortConfig server;
  server.Set("mode", "server");
  server.Set("local_ip", "127.0.0.1");
  server.Set("local_port", "0");
  bool ok = false;
  TcpPort listener(server, ok);
  ASSERT_TRUE(ok);
  ASSERT_GT(listener.ListeningPort(), 0);
  TcpPort client(Client(listener.ListeningPort()), ok);
  ASSERT_TRUE(ok);
  PortConfig any;
  std::unique_ptr<Port> accepted = listener.AcceptClient(any, kWaitMs);
  ASSERT_NE(accepted, nullptr);
  EXPECT_TRUE(client.Write(Bytes("ping"), kWaitMs));
  std::array<std::uint8_t, 4> got{};
  ASSERT_TRUE(accepted->Read(got, kWaitMs));
  EXPECT_EQ(std::string(got.begin(), got.end()), "ping");
  accepted->Close();
  listener.Close();
  EXPECT_FALSE(listener.IsOpen());
}

// The command exchange of the engine against a scripted adapter on the far end.
TEST(WinExchange, CommandAnswerOverTcp) {
  Peer peer;
  bool ok = false;
  TcpPort port(Client(peer.Port()), ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(peer.Accept());
  std::thread adapter([&] {
    if (peer.Receive(4) == "ATI\r") peer.Send("ATI\rELM327 v1.5\r\r>");
  });
  std::array<char, 64> reply{};
  const std::int32_t n = SendCommand(port, "ATI\r", reply, kWaitMs, kWaitMs);
  adapter.join();
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(reply.data()).find("ELM327 v1.5"), std::string::npos);
}

TEST(WinExchange, SilentAdapterTimesOut) {
  Peer peer;
  bool ok = false;
  TcpPort port(Client(peer.Port()), ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(peer.Accept());
  std::array<char, 64> reply{};
  EXPECT_LT(SendCommand(port, "ATI\r", reply, 100, kWaitMs), 0);
}

}  // namespace
}  // namespace zorbent
