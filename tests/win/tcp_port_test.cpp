// What the Windows socket layer alone can get wrong: its wake-up, how it names connect
// failures, and the sends, receives and closes of a connection as TcpPort sees them. The
// port's own rules are the POSIX port contract's; tools/test-windows runs whole updates over
// this layer.
#include "port/tcp_port.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "port/port_config.h"

namespace zorbent {
namespace {

constexpr std::int32_t kWaitMs = 5000;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string ReadText(Port& port, std::size_t count, std::int32_t timeoutMs) {
  std::string out(count, '\0');
  if (!port.Read({reinterpret_cast<std::uint8_t*>(out.data()), count}, timeoutMs)) return {};
  return out;
}

PortConfig Client(std::int32_t port, const std::string& ip = "127.0.0.1") {
  PortConfig config;
  config.Set("mode", "client");
  config.Set("remote_ip", ip);
  config.Set("remote_port", std::to_string(port));
  return config;
}

// A port free of listeners.
std::int32_t ClosedPort() {
  return Socket::Listen("127.0.0.1", 0, 1).LocalPort();
}

TEST(WinSocket, WakeupRousesAWaiterAndDrains) {
  const Socket listener = Socket::Listen("127.0.0.1", 0, 4);
  ConnectError error = ConnectError::kFailed;
  Socket client = Socket::Connect("127.0.0.1", listener.LocalPort(), kWaitMs, &error);
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

// The line after the connection error says why, as on every system.
TEST(WinTcpPort, FailedConnectionsSayWhy) {
  const std::int32_t closedPort = ClosedPort();
  ConnectError error = ConnectError::kNone;
  EXPECT_FALSE(Socket::Connect("127.0.0.1", closedPort, kWaitMs, &error).IsValid());
  EXPECT_EQ(error, ConnectError::kRefused);
  EXPECT_FALSE(Socket::Connect("999.1.1.1", 35000, kWaitMs, &error).IsValid());
  EXPECT_EQ(error, ConnectError::kBadAddress);
  EXPECT_FALSE(Socket::Connect("127.0.0.1", 70000, kWaitMs, &error).IsValid());
  EXPECT_EQ(error, ConnectError::kBadAddress);

  bool ok = true;
  TcpPort refused(Client(closedPort), ok);
  EXPECT_FALSE(ok || refused.IsOpen());
  EXPECT_EQ(refused.OpenFacts().problem, PortFacts::Problem::kRefused);
  EXPECT_EQ(refused.OpenFacts().device, "127.0.0.1:" + std::to_string(closedPort));
  TcpPort unknown(Client(35000, "no-such-host.invalid"), ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(unknown.OpenFacts().problem, PortFacts::Problem::kHostUnknown);
  EXPECT_EQ(unknown.OpenFacts().device, "no-such-host.invalid:35000");
}

// A listener's connection and its client: whole writes however large, reads of exact counts,
// and the bytes sent before one end left still read at the other.
TEST(WinTcpPort, ListenerAndClientTradeBytesUntilOneLeaves) {
  PortConfig server;
  server.Set("mode", "server");
  server.Set("local_ip", "127.0.0.1");
  server.Set("local_port", "0");
  bool ok = false;
  TcpPort listener(server, ok);
  ASSERT_TRUE(ok);
  TcpPort client(Client(listener.ListeningPort()), ok);
  ASSERT_TRUE(ok);
  std::unique_ptr<Port> accepted = listener.AcceptClient(PortConfig(), kWaitMs);
  ASSERT_NE(accepted, nullptr);

  std::string big(100000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + i % 26);
  std::string got;
  std::thread reader([&] { got = ReadText(*accepted, big.size(), 30000); });
  EXPECT_TRUE(client.Write(Bytes(big), 30000));
  reader.join();
  EXPECT_EQ(got, big);

  ASSERT_TRUE(accepted->Write(Bytes("OK\r>"), kWaitMs));
  EXPECT_EQ(ReadText(client, 8, 200), "");  // only 4 arrive: nothing is taken
  EXPECT_EQ(ReadText(client, 4, kWaitMs), "OK\r>");

  ASSERT_TRUE(accepted->Write(Bytes("AB"), kWaitMs));
  accepted->Close();
  EXPECT_EQ(ReadText(client, 2, kWaitMs), "AB");
  EXPECT_EQ(ReadText(client, 1, 100), "");
  EXPECT_EQ(client.Available(), 0);
  client.Close();
  EXPECT_FALSE(client.IsOpen());
  listener.Close();
  EXPECT_FALSE(listener.IsOpen());
}

}  // namespace
}  // namespace zorbent
