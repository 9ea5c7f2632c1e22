#include "engine/exchange.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "port/serial_port.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

using Chunks = std::vector<std::string>;

// An exchange against a scripted adapter on the other end of a pseudo-terminal.
class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bool opened = false;
    PortConfig c;
    c.Set("mode", "direct");
    c.Set("name", pty_.SlavePath());
    c.Set("baud", "115200");
    port_ = std::make_unique<SerialPort>(c, opened);
    ASSERT_TRUE(opened);
  }
  std::string Text() const { return std::string(BufferText(reply_)); }
  static std::string_view BufferText(std::span<const char> b) {
    return {b.data(), std::char_traits<char>::length(b.data())};
  }

  test::PtyPair pty_;
  std::unique_ptr<SerialPort> port_;
  std::array<char, 2048> reply_{};
};

TEST_F(ExchangeTest, SendCommandDropsEchoWhetherOnOrOff) {
  for (const bool echo : {true, false}) {
    pty_.StartResponder([&](const std::string& cmd) {
      return Chunks{(echo ? cmd : "") + "ELM327 v2.2\r\r>"};
    });
    EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 2000, 2000), 14);
    EXPECT_EQ(Text(), "ELM327 v2.2\r\r>");
    pty_.StopResponder();
  }
}

TEST_F(ExchangeTest, EchoSplitAcrossReadsAndNulBytes) {
  pty_.StartResponder([](const std::string&) {
    return Chunks{"A", "T", "I", std::string("\r\0O", 3), std::string("K\0>", 3)};
  });
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 2000, 2000), 3);
  EXPECT_EQ(Text(), "OK>");
}

TEST_F(ExchangeTest, LineEndVariantEndsAtCarriageReturnAfterEcho) {
  pty_.StartResponder([](const std::string& cmd) { return Chunks{cmd + "OK\r>"}; });
  EXPECT_EQ(SendCommandToLineEnd(*port_, "QKDLED\r", reply_, 2000, 2000), 3);
  EXPECT_EQ(Text(), "OK\r");
}

TEST_F(ExchangeTest, NoPromptTimesOutAndEmptyCommandIsRefused) {
  EXPECT_EQ(SendCommand(*port_, "", reply_, 200, 200), -1);
  EXPECT_TRUE(pty_.ReadFor(100).empty());  // nothing was written
  // Silence: the single read runs out first.
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 200, 200), -3);
  // A trickle without '>' runs into the overall time-out.
  pty_.StartResponder([](const std::string&) { return Chunks(40, "x"); }, 10);
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 150, 200), -1);
}

TEST_F(ExchangeTest, ReplyLongerThanTheBufferFailsInsteadOfOverflowing) {
  std::array<char, 16> small{};
  small.fill('#');
  pty_.StartResponder([](const std::string&) { return Chunks{std::string(64, 'y') + ">"}; });
  EXPECT_EQ(SendCommand(*port_, "ATI\r", small, 2000, 2000), -3);
  pty_.StopResponder();
  port_->Purge();
  pty_.StartResponder([](const std::string&) { return Chunks{std::string(64, 'y') + ">"}; });
  ASSERT_EQ(SendText(*port_, "QKI\r", 2000), 0);
  EXPECT_EQ(ReadReply(*port_, small, 2000), -1);
}

TEST_F(ExchangeTest, RetryAnswersOnTheThirdAttemptAfterPurging) {
  int seen = 0;
  pty_.StartResponder([&](const std::string&) {
    return ++seen < 3 ? Chunks{} : Chunks{"OK\r>"};
  });
  EXPECT_EQ(SendCommandRetry(*port_, "QKUPDT03\r", reply_, 300, 300), 4);
  EXPECT_EQ(pty_.Commands().size(), 3u);
}

TEST_F(ExchangeTest, ReadReplyKeepsEchoAndSkipPrefixFindsTheAnswer) {
  pty_.StartResponder([](const std::string&) { return Chunks{"QKVERS\r\n4.00\r\n>"}; });
  ASSERT_EQ(SendText(*port_, "QKVERS\r", 2000), 0);
  EXPECT_EQ(ReadReply(*port_, reply_, 2000), 11);
  EXPECT_EQ(Text(), "QKVERS4.00>");
  EXPECT_EQ(SkipPrefix(Text(), "QKVERS", 255), "4.00>");
  EXPECT_EQ(SkipPrefix("4.00>", "QKVERS", 255), "4.00>");
  EXPECT_EQ(SkipPrefix("QKVE", "QKVERS", 255), "");
  EXPECT_EQ(SkipPrefix("QKVERS", "QKVERS", 3), "ERS");
}

TEST_F(ExchangeTest, ReadLineRules) {
  pty_.Write("\r");
  EXPECT_EQ(ReadLine(*port_, reply_, 2000), 1);
  EXPECT_EQ(Text(), "");
  pty_.Write("A\nB>");
  EXPECT_EQ(ReadLine(*port_, reply_, 2000), 4);
  EXPECT_EQ(Text(), "AB>");
  // A stream without an end is bounded by the overall time-out.
  pty_.StartResponder([](const std::string&) { return Chunks(100, "z"); }, 10);
  ASSERT_EQ(SendText(*port_, "go\r", 200), 0);
  EXPECT_EQ(ReadLine(*port_, reply_, 150), -1);
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
