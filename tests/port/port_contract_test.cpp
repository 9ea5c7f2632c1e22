// What the engine relies on from every port, serial (direct, queued) on a pseudo-terminal and
// TCP on loopback: exact-count reads, whole writes, and a Purge of exactly what came before it.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <thread>

#include "port/port_factory.h"
#include "port/tcp_port.h"
#include "tests/support/port_text.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_link.h"
#include "tests/support/tcp_peer.h"

namespace zorbent {
namespace {

using test::Bytes;
using test::ReadText;

double CpuSeconds() {
  struct rusage u {};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The port under test and the peer at the other end of its line.
class PortContract : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ASSERT_TRUE(port_ != nullptr && port_->IsOpen()); }
  bool Tcp() const { return std::string(GetParam()) == "tcp"; }
  bool Direct() const { return std::string(GetParam()) == "direct"; }
  std::string PeerRead(std::size_t n) { return peer_.ReadCount(n, 10000); }
  // Lets written bytes reach the port's own queue, or the device's input where it has none.
  void Settle(int queued) {
    if (Direct()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      return;
    }
    for (int i = 0; i < 1000 && port_->Available() < queued; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(port_->Available(), queued);
  }

  test::ScriptedLink link_{GetParam()};
  test::StreamPeer& peer_ = link_.peer();
  Port* const port_ = link_.port();
};

// Exact counts, one byte at a time, and a time-out that sleeps.
TEST_P(PortContract, ReadsExactCountsOneByteAtATimeAndTimesOut) {
  ASSERT_TRUE(port_->Write(Bytes("ATI\r"), 1000));
  EXPECT_EQ(PeerRead(4), "ATI\r");
  EXPECT_TRUE(port_->Read({}, 0) && port_->Write({}, 0));  // count 0 succeeds at once

  peer_.Write("hello>");
  EXPECT_EQ(ReadText(*port_, 5, 2000), "hello");
  EXPECT_EQ(ReadText(*port_, 1, 2000), ">");
  // Nothing more: a one-byte read fails, and so does one with time-out 0.
  const double cpuBefore = CpuSeconds();
  EXPECT_EQ(ReadText(*port_, 1, 300), "");
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.2);  // it slept; a polling read burns its time
  EXPECT_FALSE(port_->Gone());               // a time-out is not the line going away
  EXPECT_EQ(ReadText(*port_, 1, 0), "");

  // Three of four bytes: the read fails. A queue keeps them for the next read; what a
  // direct read does with them is its own affair.
  peer_.Write("abc");
  EXPECT_EQ(ReadText(*port_, 4, 200), "");
  if (Direct()) return;
  peer_.Write("Z");
  EXPECT_EQ(ReadText(*port_, 1, 2000), "a");
  EXPECT_EQ(ReadText(*port_, 3, 2000), "bcZ");
}

// Purge drops what came before it, read ahead or not, and nothing after.
TEST_P(PortContract, PurgeDropsWhatCameBeforeItAndNothingAfter) {
  // The port may have read "defgh" ahead.
  peer_.Write("abcdefgh");
  EXPECT_EQ(ReadText(*port_, 3, 2000), "abc");
  peer_.Write("stale");
  Settle(10);
  ASSERT_TRUE(!Tcp() || port_->Write(Bytes("keep"), 1000));
  port_->Purge();
  EXPECT_EQ(port_->Available(), 0);
  EXPECT_TRUE(!Tcp() || PeerRead(4) == "keep");  // a socket's purge never drops what goes out
  peer_.Write("x");
  EXPECT_EQ(ReadText(*port_, 1, 2000), "x");
  EXPECT_EQ(ReadText(*port_, 1, 100), "");
  // Twice in a row, and with nothing there, is harmless.
  port_->Purge();
  port_->Purge();
  peer_.Write("yz");
  EXPECT_EQ(ReadText(*port_, 2, 2000), "yz");
}

// Large writes arrive whole both ways.
TEST_P(PortContract, LargeWritesArriveWholeBothWays) {
  std::string big(Tcp() ? 300000 : 5000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('A' + (i * 7) % 26);
  std::string got;
  std::thread reader([&] { got = PeerRead(big.size()); });
  EXPECT_TRUE(port_->Write(Bytes(big), 10000));
  reader.join();
  EXPECT_EQ(got, big);
  std::thread writer([&] { peer_.Write(big); });
  EXPECT_EQ(ReadText(*port_, big.size(), 10000), big);
  writer.join();
}

// The line going away: what the port took in before can still be read; then the port is gone,
// and long reads and writes end at once, without spinning.
TEST_P(PortContract, HangUpEndsAWaitingReadInsteadOfItsTimeOut) {
  // A pseudo-terminal's hang-up drops what its slave has not read: the bytes must be in the
  // port's queue, or in a direct port's read-ahead, before it.
  peer_.Write("bye!");
  Settle(4);
  EXPECT_EQ(ReadText(*port_, 1, 2000), "b");
  peer_.HangUp();
  EXPECT_FALSE(port_->Gone());
  EXPECT_EQ(ReadText(*port_, 3, 2000), "ye!");
  const double cpuBefore = CpuSeconds();
  EXPECT_EQ(ReadText(*port_, 1, 120000), "");
  EXPECT_LT(CpuSeconds() - cpuBefore, 0.5);
  EXPECT_TRUE(port_->Gone());
  EXPECT_FALSE(port_->Write(Bytes("ATI\r"), 120000));
  EXPECT_FALSE(Tcp() && port_->IsOpen());
  port_->Close();
  port_->Close();
  EXPECT_FALSE(port_->IsOpen());
  EXPECT_EQ(ReadText(*port_, 1, 120000), "");  // closed: at once
  EXPECT_EQ(port_->Available(), 0);
}

INSTANTIATE_TEST_SUITE_P(SerialAndTcp, PortContract, ::testing::Values("direct", "queued", "tcp"),
                         [](const auto& info) { return std::string(info.param); });

// Each way an open fails reaches the facts a front end words, with the device as the user
// named it and the rate that was tried; the same way the engine opens (name lookup first).
TEST(OpenFacts, EachFailureReachesItsProblem) {
  using P = PortFacts::Problem;
  test::TcpPeer closed;
  closed.StopListening();
  const std::string refused = closed.ConfigString().substr(4);
  test::PtyPair pty;
  bool held = false;
  const auto holder = CreatePort(PortKind::kSerial, test::SerialConfig(pty.SlavePath()), held);
  ASSERT_TRUE(held);
  bool listening = false;
  PortConfig server;
  server.Set("mode", "server");
  server.Set("local_ip", "127.0.0.1");
  server.Set("local_port", "0");
  const TcpPort listener(server, listening);
  ASSERT_TRUE(listening);
  const std::string taken = "127.0.0.1:" + std::to_string(listener.ListeningPort());
  server.Set("local_port", std::to_string(listener.ListeningPort()));
  struct Case {
    std::string connection;  // empty: the listener on a taken port
    P problem;
    std::string device;
  };
  const Case cases[] = {
      {"com|/dev/ttyNoSuchAdapter9:9600", P::kNoSuchDevice, "/dev/ttyNoSuchAdapter9"},
      {"com|/dev/null:9600", P::kNotSerial, "/dev/null"},
      {"com|" + ::testing::TempDir() + ":9600", P::kNotSerial, ::testing::TempDir()},
      {"com|" + pty.SlavePath() + ":9600", P::kBusy, pty.SlavePath()},
      {"tcp|" + refused, P::kRefused, refused},
      {"tcp|no-such-host.invalid:35000", P::kHostUnknown, "no-such-host.invalid:35000"},
      {"", P::kListenFailed, taken}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connection);
    ParsedConfig parsed{PortKind::kTcp, server};
    ASSERT_TRUE(c.connection.empty() || ParseConfigString(c.connection, parsed));
    PortFacts facts;
    bool opened = false;
    if (ResolvePortAddress(parsed.kind, parsed.config, facts)) {
      const auto port = CreatePort(parsed.kind, parsed.config, opened);
      facts = port->OpenFacts();
    }
    EXPECT_FALSE(opened);
    EXPECT_EQ(facts.problem, c.problem);
    EXPECT_EQ(facts.device, c.device);
    EXPECT_EQ(facts.tcp, parsed.kind == PortKind::kTcp);
    EXPECT_EQ(facts.rate, facts.tcp ? 0 : 9600);
    EXPECT_TRUE(facts.holder.empty());  // this process holds it: named only for others
  }
  EXPECT_EQ(holder->OpenFacts().problem, P::kNone);
}

}  // namespace
}  // namespace zorbent
