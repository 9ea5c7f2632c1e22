// The command exchange against a scripted adapter across a pseudo-terminal; that a socket
// reads and writes the same way is the port contract's concern.

#include "engine/exchange.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/support/scripted_link.h"

namespace zorbent {
namespace {

using test::Chunks;

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(port_, nullptr); }
  std::string Text() const { return reply_.data(); }
  test::ScriptedLink link_{"direct"};
  test::StreamPeer& peer_ = link_.peer();
  Port* port_ = link_.port();
  std::array<char, 2048> reply_{};
};

// The echo is dropped whether on, off, or split across reads with NUL bytes in between.
TEST_F(ExchangeTest, SendCommandDropsTheEcho) {
  const std::pair<Chunks, std::string> cases[] = {
      {{"ATI\rELM327 v2.2\r\r>"}, "ELM327 v2.2\r\r>"},
      {{"ELM327 v2.2\r\r>"}, "ELM327 v2.2\r\r>"},
      {{"A", "T", "I", std::string("\r\0O", 3), std::string("K\0>", 3)}, "OK>"}};
  for (const auto& [chunks, reply] : cases) {
    peer_.StartResponder([&](const std::string&) { return chunks; });
    EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 2000, 2000), std::ssize(reply));
    EXPECT_EQ(Text(), reply);
    peer_.StopResponder();
  }
}

TEST_F(ExchangeTest, LineEndVariantEndsAtCarriageReturnAfterEcho) {
  peer_.StartResponder([](const std::string& cmd) { return Chunks{cmd + "OK\r>"}; });
  EXPECT_EQ(SendCommandToLineEnd(*port_, "QKDLED\r", reply_, 2000, 2000), 3);
  EXPECT_EQ(Text(), "OK\r");
}

TEST_F(ExchangeTest, NoPromptTimesOutAndEmptyCommandIsRefused) {
  EXPECT_EQ(SendCommand(*port_, "", reply_, 200, 200), -1);
  EXPECT_TRUE(peer_.ReadFor(100).empty());  // nothing was written
  // Silence: the single read runs out first.
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 200, 200), -3);
  // A trickle without '>' runs into the overall time-out.
  peer_.StartResponder([](const std::string&) { return Chunks(40, "x"); }, 10);
  EXPECT_EQ(SendCommand(*port_, "ATI\r", reply_, 150, 200), -1);
}

TEST_F(ExchangeTest, ReplyLongerThanTheBufferFailsInsteadOfOverflowing) {
  std::array<char, 16> small{};
  peer_.StartResponder([](const std::string&) { return Chunks{std::string(64, 'y') + ">"}; });
  EXPECT_EQ(SendCommand(*port_, "ATI\r", small, 2000, 2000), -3);
  peer_.StopResponder();
  port_->Purge();
  peer_.StartResponder([](const std::string&) { return Chunks{std::string(64, 'y') + ">"}; });
  ASSERT_EQ(SendText(*port_, "QKI\r", 2000), 0);
  EXPECT_EQ(ReadReply(*port_, small, 2000), -1);
}

// Three attempts, the port purged before each: an answer to the third counts, and a
// command never answered goes out exactly three times.
TEST_F(ExchangeTest, RetrySendsThreeTimesAtMost) {
  int seen = 0;
  peer_.StartResponder([&](const std::string&) { return ++seen < 3 ? Chunks{} : Chunks{"OK\r>"}; });
  EXPECT_EQ(SendCommandRetry(*port_, "QKUPDT03\r", reply_, 300, 300), 4);
  EXPECT_EQ(peer_.Commands().size(), 3u);
  peer_.StopResponder();
  peer_.StartResponder([](const std::string&) { return Chunks{}; });
  EXPECT_LT(SendCommandRetry(*port_, "QKBL00\r", reply_, 200, 200), 0);
  EXPECT_EQ(peer_.Commands().size(), 6u);  // the responder keeps counting
}

// Without an echo the same command is asked once more; two different answers mean one was an
// earlier command's late answer.
TEST_F(ExchangeTest, OwnReplyWithoutEchoAsksTwiceAndComparesTheAnswers) {
  int seen = 0;
  peer_.StartResponder([&](const std::string&) { return Chunks{++seen == 1 ? "OK>" : "KTR>"}; });
  EXPECT_EQ(SendCommandOwnReply(*port_, "ATI\r", reply_, 2000, 2000), -4);
  EXPECT_EQ(peer_.Commands(), (std::vector<std::string>{"ATI\r", "ATI\r"}));
  peer_.StopResponder();
  peer_.StartResponder([&](const std::string&) { return Chunks{"KTR>"}; });
  EXPECT_EQ(SendCommandOwnReply(*port_, "ATI\r", reply_, 2000, 2000), 4);
  EXPECT_EQ(peer_.Commands().size(), 4u);  // the responder keeps counting
  peer_.StopResponder();
  peer_.StartResponder([&](const std::string& cmd) { return Chunks{cmd + "KTR>"}; });
  EXPECT_EQ(SendCommandOwnReply(*port_, "ATI\r", reply_, 2000, 2000), 4);
  EXPECT_EQ(peer_.Commands().size(), 5u);
}

TEST_F(ExchangeTest, ReadReplyKeepsEchoAndSkipPrefixFindsTheAnswer) {
  peer_.StartResponder([](const std::string&) { return Chunks{"QKVERS\r\n4.00\r\n>"}; });
  ASSERT_EQ(SendText(*port_, "QKVERS\r", 2000), 0);
  EXPECT_EQ(ReadReply(*port_, reply_, 2000), 11);
  EXPECT_EQ(Text(), "QKVERS4.00>");
  EXPECT_EQ(SkipPrefix(Text(), "QKVERS", 255), "4.00>");
  EXPECT_EQ(SkipPrefix("4.00>", "QKVERS", 255), "4.00>");
  EXPECT_EQ(SkipPrefix("QKVE", "QKVERS", 255), "");
  EXPECT_EQ(SkipPrefix("QKVERS", "QKVERS", 3), "ERS");
}

TEST_F(ExchangeTest, ReadLineRules) {
  peer_.Write("\r");
  EXPECT_EQ(ReadLine(*port_, reply_, 2000), 1);
  EXPECT_EQ(Text(), "");
  peer_.Write("A\nB>");
  EXPECT_EQ(ReadLine(*port_, reply_, 2000), 4);
  EXPECT_EQ(Text(), "AB>");
  // A stream without an end is bounded by the overall time-out.
  peer_.StartResponder([](const std::string&) { return Chunks(100, "z"); }, 10);
  ASSERT_EQ(SendText(*port_, "go\r", 200), 0);
  EXPECT_EQ(ReadLine(*port_, reply_, 150), -1);
}

}  // namespace
}  // namespace zorbent
