#include "engine/exchange.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

#include "engine/update_engine.h"
#include "port/serial_port.h"
#include "port/tcp_port.h"
#include "tests/support/pty_pair.h"
#include "tests/support/tcp_peer.h"

namespace zorbent {
namespace {

using Chunks = std::vector<std::string>;
using Responder = std::function<Chunks(const std::string&)>;

// The adapter's end of the wire, whichever kind of port the engine talks through.
class Wire {
 public:
  virtual ~Wire() = default;
  virtual std::unique_ptr<Port> Open(bool& opened) = 0;
  virtual void Write(const std::string& bytes) = 0;
  virtual std::string ReadFor(int timeoutMs) = 0;
  virtual void StartResponder(Responder respond, int pauseMs = 2) = 0;
  virtual void StopResponder() = 0;
  virtual std::vector<std::string> Commands() = 0;
};

template <typename Peer>
class PeerWire : public Wire {
 public:
  void Write(const std::string& bytes) override { peer_.Write(bytes); }
  std::string ReadFor(int timeoutMs) override { return peer_.ReadFor(timeoutMs); }
  void StartResponder(Responder respond, int pauseMs) override {
    peer_.StartResponder(std::move(respond), pauseMs);
  }
  void StopResponder() override { peer_.StopResponder(); }
  std::vector<std::string> Commands() override { return peer_.Commands(); }

 protected:
  Peer peer_;
};

class PtyWire : public PeerWire<test::PtyPair> {
 public:
  std::unique_ptr<Port> Open(bool& opened) override {
    PortConfig c;
    c.Set("mode", "direct");
    c.Set("name", peer_.SlavePath());
    c.Set("baud", "115200");
    return std::make_unique<SerialPort>(c, opened);
  }
};

class TcpWire : public PeerWire<test::TcpPeer> {
 public:
  std::unique_ptr<Port> Open(bool& opened) override {
    PortConfig c;
    c.Set("mode", "client");
    c.Set("remote_ip", "127.0.0.1");
    c.Set("remote_port", std::to_string(peer_.Port()));
    return std::make_unique<TcpPort>(c, opened);
  }
};

enum class WireKind { kPty, kTcp };
void PrintTo(WireKind kind, std::ostream* out) {
  *out << (kind == WireKind::kPty ? "pty" : "tcp");
}

// An exchange against a scripted adapter across a pseudo-terminal or a loopback socket: the
// engine must see the same behaviour through either port.
class ExchangeTest : public ::testing::TestWithParam<WireKind> {
 protected:
  void SetUp() override {
    if (GetParam() == WireKind::kPty) {
      wire_ = std::make_unique<PtyWire>();
    } else {
      wire_ = std::make_unique<TcpWire>();
    }
    bool opened = false;
    port_ = wire_->Open(opened);
    ASSERT_TRUE(opened);
  }
  std::string Text() const { return std::string(BufferText(reply_)); }
  static std::string_view BufferText(std::span<const char> b) {
    return {b.data(), std::char_traits<char>::length(b.data())};
  }

  std::unique_ptr<Wire> wire_;
  std::unique_ptr<Port> port_;
  std::array<char, 2048> reply_{};
};

TEST_P(ExchangeTest, SendCommandDropsEchoWhetherOnOrOff) {
  for (const bool echo : {true, false}) {
    wire_->StartResponder(
        [&](const std::string& cmd) { return Chunks{(echo ? cmd : "") + "ELM327 v2.2\r\r>"}; });
    EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 2000, 2000), 14);
    EXPECT_EQ(Text(), "ELM327 v2.2\r\r>");
    wire_->StopResponder();
  }
}

TEST_P(ExchangeTest, EchoSplitAcrossReadsAndNulBytes) {
  wire_->StartResponder([](const std::string&) {
    return Chunks{"A", "T", "I", std::string("\r\0O", 3), std::string("K\0>", 3)};
  });
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 2000, 2000), 3);
  EXPECT_EQ(Text(), "OK>");
}

TEST_P(ExchangeTest, LineEndVariantEndsAtCarriageReturnAfterEcho) {
  wire_->StartResponder([](const std::string& cmd) { return Chunks{cmd + "OK\r>"}; });
  EXPECT_EQ(SendCommandToLineEnd(*port_, "QKDLED\r", reply_, 2000, 2000), 3);
  EXPECT_EQ(Text(), "OK\r");
}

TEST_P(ExchangeTest, NoPromptTimesOutAndEmptyCommandIsRefused) {
  EXPECT_EQ(SendCommand(*port_, "", reply_, 200, 200), -1);
  EXPECT_TRUE(wire_->ReadFor(100).empty());  // nothing was written
  // Silence: the single read runs out first.
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 200, 200), -3);
  // A trickle without '>' runs into the overall time-out.
  wire_->StartResponder([](const std::string&) { return Chunks(40, "x"); }, 10);
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 150, 200), -1);
}

TEST_P(ExchangeTest, ReplyLongerThanTheBufferFailsInsteadOfOverflowing) {
  std::array<char, 16> small{};
  small.fill('#');
  wire_->StartResponder([](const std::string&) { return Chunks{std::string(64, 'y') + ">"}; });
  EXPECT_EQ(SendCommand(*port_, "ATI\r", small, 2000, 2000), -3);
  wire_->StopResponder();
  port_->Purge();
  wire_->StartResponder([](const std::string&) { return Chunks{std::string(64, 'y') + ">"}; });
  ASSERT_EQ(SendText(*port_, "QKI\r", 2000), 0);
  EXPECT_EQ(ReadReply(*port_, small, 2000), -1);
}

TEST_P(ExchangeTest, RetryAnswersOnTheThirdAttemptAfterPurging) {
  int seen = 0;
  wire_->StartResponder(
      [&](const std::string&) { return ++seen < 3 ? Chunks{} : Chunks{"OK\r>"}; });
  EXPECT_EQ(SendCommandRetry(*port_, "QKUPDT03\r", reply_, 300, 300), 4);
  EXPECT_EQ(wire_->Commands().size(), 3u);
}

TEST_P(ExchangeTest, ReadReplyKeepsEchoAndSkipPrefixFindsTheAnswer) {
  wire_->StartResponder([](const std::string&) { return Chunks{"QKVERS\r\n4.00\r\n>"}; });
  ASSERT_EQ(SendText(*port_, "QKVERS\r", 2000), 0);
  EXPECT_EQ(ReadReply(*port_, reply_, 2000), 11);
  EXPECT_EQ(Text(), "QKVERS4.00>");
  EXPECT_EQ(SkipPrefix(Text(), "QKVERS", 255), "4.00>");
  EXPECT_EQ(SkipPrefix("4.00>", "QKVERS", 255), "4.00>");
  EXPECT_EQ(SkipPrefix("QKVE", "QKVERS", 255), "");
  EXPECT_EQ(SkipPrefix("QKVERS", "QKVERS", 3), "ERS");
}

TEST_P(ExchangeTest, ReadLineRules) {
  wire_->Write("\r");
  EXPECT_EQ(ReadLine(*port_, reply_, 2000), 1);
  EXPECT_EQ(Text(), "");
  wire_->Write("A\nB>");
  EXPECT_EQ(ReadLine(*port_, reply_, 2000), 4);
  EXPECT_EQ(Text(), "AB>");
  // A stream without an end is bounded by the overall time-out.
  wire_->StartResponder([](const std::string&) { return Chunks(100, "z"); }, 10);
  ASSERT_EQ(SendText(*port_, "go\r", 200), 0);
  EXPECT_EQ(ReadLine(*port_, reply_, 150), -1);
}

TEST_P(ExchangeTest, RateSwitchIsAcceptedAndTheLinkStillAnswers) {
  wire_->StartResponder([](const std::string& cmd) { return Chunks{cmd + "OK\r\r>"}; });
  EXPECT_EQ(SendCommand(*port_, "QK DLBD 02\r", reply_, 2000, 2000), 5);
  EXPECT_EQ(port_->SetBaud(2000000), 1);
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 2000, 2000), 5);
  EXPECT_EQ(Text(), "OK\r\r>");
}

INSTANTIATE_TEST_SUITE_P(PtyAndTcp, ExchangeTest, ::testing::Values(WireKind::kPty, WireKind::kTcp),
                         [](const ::testing::TestParamInfo<WireKind>& info) {
                           return info.param == WireKind::kPty ? "Pty" : "Tcp";
                         });

struct Reports {
  std::vector<std::string> texts;
  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    if (kind == kReportText)
      static_cast<Reports*>(context)->texts.emplace_back(reinterpret_cast<const char*>(value));
  }
};

TEST(OpenPortOverTcp, OpensAnAnsweringAdapterAndReportsARefusedOne) {
  Reports reports;
  UpdateEngine engine;
  engine.Init(&reports, &Reports::Callback);
  test::TcpPeer adapter;
  const std::int32_t channel = engine.OpenPort(adapter.ConfigString(), "fw.bin");
  ASSERT_GE(channel, 0);
  ASSERT_FALSE(reports.texts.empty());
  EXPECT_EQ(reports.texts.back(), "Port is opened!\r\n");
  adapter.StartResponder([](const std::string& cmd) { return Chunks{cmd + "ELM327 v2.2\r\r>"}; });
  ASSERT_NE(engine.ChannelPort(channel), nullptr);
  std::array<char, 64> reply{};
  EXPECT_EQ(SendCommand(*engine.ChannelPort(channel), "ATI\r", reply, 2000, 2000), 14);
  engine.ClosePort(channel);

  std::string refused;
  {
    test::TcpPeer gone;
    refused = gone.ConfigString();
  }
  reports.texts.clear();
  EXPECT_EQ(engine.OpenPort(refused, "fw.bin"), -1);
  ASSERT_EQ(reports.texts.size(), 2u);
  EXPECT_EQ(reports.texts[0], "**Failed** Port connection error!\r\n");
  EXPECT_NE(reports.texts[1].find("refused the connection"), std::string::npos) << reports.texts[1];
  reports.texts.clear();
  EXPECT_EQ(engine.OpenPort("tcp|127.0.0.1:", "fw.bin"), -1);
  ASSERT_FALSE(reports.texts.empty());
  EXPECT_EQ(reports.texts[0], "**Failed** Port connection error!\r\n");
}

TEST(RemoveChar, DeletesEveryOccurrence) {
  std::array<char, 16> text{};
  std::copy_n("2.2.1>", 7, text.begin());
  RemoveChar(text, '.');
  EXPECT_STREQ(text.data(), "221>");
  RemoveChar(text, '>');
  EXPECT_STREQ(text.data(), "221");
}

}  // namespace
}  // namespace zorbent
