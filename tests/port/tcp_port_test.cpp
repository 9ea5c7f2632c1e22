#include "port/tcp_port.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/thread.h"
#include "tests/support/child_process.h"
#include "tests/support/port_text.h"
#include "tests/support/tcp_peer.h"
#include "tests/support/thread_starts.h"

namespace zorbent {
namespace {

using test::Bytes;
using test::ReadText;
using test::TcpClientConfig;

PortConfig PeerOf(int port) {
  return TcpClientConfig("127.0.0.1", std::to_string(port));
}

PortConfig ListenerConfig(const std::string& port = "0") {
  PortConfig c;
  c.Set("mode", "server");
  c.Set("local_ip", "127.0.0.1");
  c.Set("local_port", port);
  return c;
}

// Refused, unknown and malformed addresses fail construction, and the port refuses at once.
TEST(TcpPort, RefusedUnknownAndMalformedAddressesFailConstruction) {
  const std::string closed = std::to_string(test::TcpPeer().Port());  // gone at once
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"127.0.0.1", closed},  {"", closed},          {"127.0.0.1", "0"},    {"127.0.0.1", "abc"},
      {"127.0.0.1", "70000"}, {"999.1.1.1", closed}, {"1.2.3.4.5", closed}, {"127.0.0.1", "-5"}};
  for (const auto& [ip, port] : cases) {
    SCOPED_TRACE(ip + ":" + port);
    bool ok = true;
    TcpPort tcp(TcpClientConfig(ip, port), ok);
    EXPECT_FALSE(ok || tcp.IsOpen());
    EXPECT_EQ(ReadText(tcp, 1, 120000), "");
    EXPECT_FALSE(tcp.Write(Bytes("x"), 10));
    EXPECT_EQ(tcp.Available(), 0);
  }
}

// A full listener queue leaves the handshake unanswered, like an address where no host is.
TEST(TcpPort, ConnectThatGetsNoAnswerGivesUpByItself) {
  test::TcpPeer full(0);
  full.FillBacklog();
  bool ok = true;
  TcpPort port(PeerOf(full.Port()), ok);
  if (ok) GTEST_SKIP() << "this system answered the handshake anyway";
  EXPECT_FALSE(port.IsOpen());
  const PortFacts facts = port.OpenFacts();
  EXPECT_EQ(facts.problem, PortFacts::Problem::kTimedOut);
  EXPECT_EQ(facts.device, "127.0.0.1:" + std::to_string(full.Port()));
  EXPECT_EQ(facts.waitedMs, TcpPort::kConnectTimeoutMs);
}

// Host names resolve, Open connects again, a client has no rate and no clients, and writes to
// a peer that left never raise SIGPIPE: the port closes instead.
TEST(TcpPort, HostNamesAreResolvedAndOpenConnectsAgain) {
  test::TcpPeer peer;
  bool ok = false;
  TcpPort port(TcpClientConfig("localhost", std::to_string(peer.Port())), ok);
  ASSERT_TRUE(ok);
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(port.Open());
  peer.HangUp();  // the first connection
  ASSERT_TRUE(peer.Accept());
  ASSERT_TRUE(port.Write(Bytes("ATI\r"), 1000));
  EXPECT_EQ(peer.ReadCount(4, 2000), "ATI\r");
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  ASSERT_TRUE(port.Open());
  EXPECT_EQ(port.SetBaud(9600), 1);
  EXPECT_EQ(port.AcceptClient(PortConfig(), 0), nullptr);

  peer.HangUp();  // the second connection
  ASSERT_TRUE(peer.Accept());
  peer.Write("unread");  // closing with unread input makes the peer's side reset
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  peer.HangUp();
  for (int writes = 0; port.IsOpen() && writes < 1000; ++writes)
    port.Write(Bytes(std::string(4096, 'w')), 100);
  EXPECT_FALSE(port.IsOpen());
}

// A port the system gives no thread (its pump, its accept loop) fails to open, throwing
// nothing, and opens once threads are to be had.
TEST(TcpPort, NoThreadForThePumpOrTheAcceptLoopFailsTheOpen) {
  test::TcpPeer peer;
  bool ok = true;
  FailThreadStartForTesting(1);
  TcpPort client(PeerOf(peer.Port()), ok);
  EXPECT_FALSE(ok || client.IsOpen());
  FailThreadStartForTesting(1);
  TcpPort listener(ListenerConfig(), ok);
  EXPECT_FALSE(ok || listener.IsOpen());
  EXPECT_TRUE(client.Open());
  EXPECT_TRUE(listener.Open());
}

// Clients go out by peer address or, for an empty one, first in key order, each once; the
// port is taken while listening, and a closed listener listens again.
TEST(TcpListener, HandsOutClientsByPeerAddressOrFirstInKeyOrder) {
  bool ok = false;
  TcpPort listener(ListenerConfig(), ok);
  ASSERT_TRUE(ok && listener.IsOpen());
  ASSERT_GT(listener.ListeningPort(), 0);
  EXPECT_FALSE(listener.Write(Bytes("x"), 10));
  bool second = true;
  TcpPort clash(ListenerConfig(std::to_string(listener.ListeningPort())), second);
  EXPECT_FALSE(second || clash.IsOpen());
  EXPECT_EQ(clash.AcceptClient(PortConfig(), 0), nullptr);

  // Accepted one after another: once b is in, a and c are too.
  test::TcpClient a(listener.ListeningPort());
  test::TcpClient c(listener.ListeningPort());
  test::TcpClient b(listener.ListeningPort());
  ASSERT_TRUE(a.IsConnected() && b.IsConnected() && c.IsConnected());
  auto forB = listener.AcceptClient(PeerOf(b.LocalPort()), 5000);
  ASSERT_NE(forB, nullptr);
  b.Write("from b");
  EXPECT_EQ(ReadText(*forB, 6, 2000), "from b");
  ASSERT_TRUE(forB->Write(Bytes("to b"), 1000));
  EXPECT_EQ(b.ReadCount(4, 2000), "to b");
  EXPECT_EQ(forB->SetBaud(2000000), 1);
  EXPECT_TRUE(forB->Open());  // an accepted connection only reports its state
  EXPECT_EQ(forB->AcceptClient(PortConfig(), 0), nullptr);
  EXPECT_EQ(listener.AcceptClient(PeerOf(b.LocalPort()), 50), nullptr);

  auto first = listener.AcceptClient(PortConfig(), 5000);
  auto next = listener.AcceptClient(PortConfig(), 5000);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(listener.AcceptClient(PortConfig(), 50), nullptr);
  a.Write("A");
  c.Write("C");
  // Keys are "127.0.0.1:PORT" as text.
  EXPECT_EQ(ReadText(*first, 1, 2000) + ReadText(*next, 1, 2000),
            std::to_string(a.LocalPort()) < std::to_string(c.LocalPort()) ? "AC" : "CA");

  test::TcpClient waiting(listener.ListeningPort());
  listener.Close();
  EXPECT_FALSE(listener.IsOpen());
  EXPECT_TRUE(waiting.SeesClose(5000));
  EXPECT_EQ(listener.AcceptClient(PortConfig(), 0), nullptr);
  ASSERT_TRUE(listener.Open());
  test::TcpClient again(listener.ListeningPort());
  auto conn = listener.AcceptClient(PeerOf(again.LocalPort()), 5000);
  ASSERT_NE(conn, nullptr);
  again.Write("hi");
  EXPECT_EQ(ReadText(*conn, 2, 2000), "hi");
}

// A handed-out connection that closes (or is destroyed) ends and never returns to the pool;
// one that outlives its listener stays safe; none of it leaks a descriptor or a thread.
TEST(TcpListener, ClosedHandedOutConnectionEndsAndNeverReturnsToThePool) {
  const int fdsBefore = test::OpenDescriptorCount();
  const int threadsBefore = test::ThreadCount();
  {
    bool ok = false;
    auto listener = std::make_unique<TcpPort>(ListenerConfig(), ok);
    ASSERT_TRUE(ok);
    test::TcpClient a(listener->ListeningPort());
    test::TcpClient b(listener->ListeningPort());
    test::TcpClient c(listener->ListeningPort());
    test::TcpClient d(listener->ListeningPort());
    auto forA = listener->AcceptClient(PeerOf(a.LocalPort()), 5000);
    ASSERT_NE(forA, nullptr);
    forA->Close();
    EXPECT_FALSE(forA->IsOpen() || forA->Open());
    EXPECT_TRUE(a.SeesClose(5000));
    EXPECT_EQ(listener->AcceptClient(PeerOf(a.LocalPort()), 50), nullptr);
    forA.reset();
    auto forB = listener->AcceptClient(PeerOf(b.LocalPort()), 5000);
    ASSERT_NE(forB, nullptr);
    forB.reset();
    EXPECT_TRUE(b.SeesClose(5000));
    EXPECT_EQ(listener->AcceptClient(PeerOf(b.LocalPort()), 50), nullptr);

    // The listener stops with c handed out and d waiting (or still in the system's queue).
    auto forC = listener->AcceptClient(PeerOf(c.LocalPort()), 5000);
    ASSERT_NE(forC, nullptr);
    listener.reset();
    EXPECT_TRUE(c.SeesClose(5000));
    EXPECT_TRUE(d.SeesClose(5000));
    EXPECT_EQ(ReadText(*forC, 1, 120000), "");
    EXPECT_FALSE(forC->Write(Bytes("x"), 10) || forC->IsOpen());
    forC->Close();
  }
  // A thread that has finished its work may still be on its way out on a loaded machine.
  for (int i = 0; i < 500 && test::ThreadCount() != threadsBefore; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(test::OpenDescriptorCount(), fdsBefore);
  EXPECT_EQ(test::ThreadCount(), threadsBefore);
}

// With no descriptor left for its wake-up, an accepted connection is refused at once and the
// listener stops without waiting for the peer; in a child whose descriptors are used up.
TEST(TcpListener, AcceptWithoutADescriptorForTheWakeUpFailsCleanly) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "the sanitizer runtime needs descriptors";
  const int code = test::RunInChild([] {
    bool ok = false;
    auto listener = std::make_unique<TcpPort>(ListenerConfig(), ok);
    struct rlimit saved {};
    if (!ok || ::getrlimit(RLIMIT_NOFILE, &saved) != 0) return 10;
    // Two left: the client's socket and the accepted one, none for the wake-up.
    if (!test::UseUpDescriptors(2)) return 12;
    test::TcpClient client(listener->ListeningPort());
    if (!client.IsConnected() || !client.SeesClose(5000)) return 13;
    if (listener->AcceptClient(PortConfig(), 200) != nullptr) return 15;
    if (::setrlimit(RLIMIT_NOFILE, &saved) != 0) return 16;
    test::TcpClient again(listener->ListeningPort());
    auto conn = listener->AcceptClient(PeerOf(again.LocalPort()), 5000);
    if (conn == nullptr) return 17;
    again.Write("hi");
    if (ReadText(*conn, 2, 2000) != "hi") return 18;
    conn.reset();
    listener.reset();  // client is still connected: this must not wait for it
    return 0;
  });
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace zorbent
