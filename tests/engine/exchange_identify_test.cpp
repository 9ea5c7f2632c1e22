// Exchange, identification, version gates and reports against a scripted pty adapter.

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <mutex>
#include <string>

#include "engine/exchange.h"
#include "engine/identify.h"
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
  // The line-end variant ends at the carriage return after the echo.
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

// Three attempts, the port purged before each: the third may answer, none makes a fourth.
TEST_F(ExchangeTest, RetrySendsThreeTimesAtMost) {
  int seen = 0;
  peer_.StartResponder([&](const std::string&) { return ++seen < 3 ? Chunks{} : Chunks{"OK\r>"}; });
  EXPECT_EQ(SendCommandRetry(*port_, "QKUPDT03\r", reply_, 300, 300), 4);
  EXPECT_EQ(peer_.Commands().size(), 3u);
  peer_.StartResponder([](const std::string&) { return Chunks{}; });
  EXPECT_LT(SendCommandRetry(*port_, "QKBL00\r", reply_, 200, 200), 0);
  EXPECT_EQ(peer_.Commands().size(), 6u);  // the responder keeps counting
}

// Without an echo the command is asked again: two different answers mean one came late.
TEST_F(ExchangeTest, OwnReplyWithoutEchoAsksTwiceAndComparesTheAnswers) {
  int seen = 0;
  peer_.StartResponder([&](const std::string&) { return Chunks{++seen == 1 ? "OK>" : "KTR>"}; });
  EXPECT_EQ(SendCommandOwnReply(*port_, "ATI\r", reply_, 2000, 2000), -4);
  EXPECT_EQ(peer_.Commands(), (std::vector<std::string>{"ATI\r", "ATI\r"}));
  peer_.StartResponder([&](const std::string&) { return Chunks{"KTR>"}; });
  EXPECT_EQ(SendCommandOwnReply(*port_, "ATI\r", reply_, 2000, 2000), 4);
  EXPECT_EQ(peer_.Commands().size(), 4u);  // the responder keeps counting
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

// An adapter that echoes each command and answers from a table; unknown commands get "?".
class IdentifyTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    engine_.Init(&reports_, [](void* context, std::int32_t kind, std::intptr_t value) {
      if (kind == kReportText)
        *static_cast<std::string*>(context) += reinterpret_cast<const char*>(value);
    });
    peer_.StartResponder([this](const std::string& cmd) {
      std::lock_guard lock(answersMutex_);
      const auto it = answers_.find(cmd);
      const std::string answer = it == answers_.end() ? "?" : it->second;
      return test::Chunks{cmd + "\n" + answer + "\r\n>"};
    });
  }
  void Answer(const std::string& cmd, const std::string& answer) {
    std::lock_guard lock(answersMutex_);
    answers_[cmd + "\r"] = answer;
  }
  // The answers outlive the responder thread that reads them.
  void TearDown() override { peer_.StopResponder(); }

  std::mutex answersMutex_;
  std::map<std::string, std::string> answers_;
  std::string reports_;
  UpdateEngine engine_;
};

TEST_F(IdentifyTest, IdentifiesEachLineModelAndChecksTheProductId) {
  const std::vector<std::pair<int, std::string>> cases = {
      {0, "RuvoPro v2.3"},       {1, "Z_Orbe01 v2.2.2X"},   {1, "zOrbent MC v2.2.2X"},
      {1, "zOrbent-MC v2.2.2X"}, {2, "zOrbent BM v2.2.2X"}, {3, "zOrbent FD v2.2.2X"},
      {4, "Ruvo01 v2.1"}};
  Answer("QKPROI", "OBDZ-1000 rev B");
  engine_.file.productId = "OBDZ-1000";
  for (const auto& [code, qki] : cases) {
    Answer("QKI", qki);
    engine_.adapterModel = 99;
    EXPECT_EQ(IdentifyAdapter(engine_, *port_, code), 0) << qki;
    EXPECT_EQ(engine_.adapterModel, code);
    EXPECT_EQ(IdentifyAdapter(engine_, *port_, (code + 2) % 5), -1) << qki;
  }
  engine_.file.productId = "OTHER";
  EXPECT_EQ(IdentifyAdapter(engine_, *port_, 4), -1);
  engine_.file.productId = "";  // an empty product ID never matches
  EXPECT_EQ(IdentifyAdapter(engine_, *port_, 4), -1);
  EXPECT_EQ(IdentifyAdapter(engine_, *port_, 7), -1);
}

TEST_F(IdentifyTest, ElmVersionLimitDependsOnTheModel) {
  Answer("ATI", "ELM327 v2.3");
  engine_.adapterModel = 0;
  EXPECT_EQ(CheckElmVersion(engine_, *port_), 0);
  for (int model = 1; model <= 4; ++model) {
    engine_.adapterModel = model;
    EXPECT_EQ(CheckElmVersion(engine_, *port_), -5);
  }
  Answer("ATI", "ELM327 v2.2");
  EXPECT_EQ(CheckElmVersion(engine_, *port_), 0);
}

// The version gates decide by generation: each refusal says why.
TEST_F(IdentifyTest, VersionGatesDecideByGeneration) {
  const std::string higher =
      "The device firmware version number is higher, please use the latest firmware file.!\r\n";
  const std::string noUpgrade = "There is no upgrade function for this product!\r\n";
  // A refusal without a message of its own still says why.
  const std::string noVersion = "**Failed** The device did not report its version!\r\n";
  const struct {
    int code;
    std::string query, answer;
    int fileVersion, result;
    std::string message;
  } cases[] = {{1, "QKI", "Z_Orbe01 v2.2.2X", 2230, 2, ""},
               {1, "QKI", "Z_Orbe01 v2.2.2X", 2229, -1, higher},
               {1, "QKI", "zOrbent MC v2.2.1X", 2229, 3, ""},
               {1, "QKI", "zOrbent-MC v2.2.1X", 2230, -1,
                "Please upgrade to version zOrbent_MC_V2.2.2X first!\r\n"},
               {2, "QKI", "zOrbent BM v2.2.1X", 2300, -1,
                "Please upgrade to version zOrbent_BM_V2.2.2X first!\r\n"},
               {3, "QKI", "zOrbent FD v2.3.0X", 2301, 2, ""},
               {3, "QKI", "something else", 2301, -1, noVersion},
               {0, "QKVERS", "RuvoXX V4.0.0X", 4006, 2, ""},
               {0, "QKVERS", "RuvoXX V3.9.9X", 4006, -1,
                "Please upgrade to version rUvoPro_V4.0.0X first!\r\n"},
               {0, "QKVERS", "Ruvo V3.1", 4006, -1,
                "This product is too old, please contact the \r\ntechnical team for assistance in "
                "upgrading: \r\n[see the adapter's documentation].\r\n"},
               {0, "QKVERS", "Other V4", 4006, -1, noVersion},
               {4, "QKVERS", "RuvoXX V3.9.9X", 4000, -1, noUpgrade},
               {4, "QKVERS", "RuvoXX V4.0.1X", 4005, -1, higher},
               {4, "QKVERS", "RuvoXX V4.0.1X", 4100, 2, ""},
               {4, "QKVERS", "Ruvo01 v2.1", 4100, -1, noUpgrade}};
  for (const auto& c : cases) {
    Answer(c.query, c.answer);
    reports_.clear();
    EXPECT_EQ(CheckVersionGates(engine_, *port_, c.code, c.fileVersion), c.result) << c.answer;
    EXPECT_EQ(reports_, c.message) << c.answer;
  }
}

// The ELM327 level announced after an update: "QKVADJ" on Ruvo models, else "QK UCS_ATI".
TEST_F(IdentifyTest, AdjustElmVersionSetsTheLevelPerModel) {
  const struct {
    int code;
    const char *query, *answer;
    const char* command;  // nullptr: none is sent
    int result;
  } cases[] = {{0, "QKI", "RuvoPro v1.5", "QKVADJ v2.2", 1},
               {0, "QKI", "RuvoPro v2.1", "QKVADJ v2.2", 1},
               {0, "QKI", "RuvoPro v2.3", "QKVADJ v2.3", 1},
               {4, "QKI", "Ruvo01 v1.5", "QKVADJ v2.1", 1},
               {4, "QKI", "Ruvo01 v2.0", "QKVADJ v2.1", 1},
               {4, "QKI", "Ruvo01 v2.2", "QKVADJ v2.2", 1},
               {2, "QKVERS", "BM V2.1", "QK UCS_ATI ELM327 v2.2", 1},
               {2, "QKVERS", "BM V2.3", "QK UCS_ATI ELM327 v2.3", 1},
               {5, "QKVERS", "KTR558 V2.0", "QK UCS_ATI ELM327 v2.2", 1},
               {2, "QKVERS", "BM V2.3.01", nullptr, -3},
               {2, "QKVERS", "no version", nullptr, -2},
               // Past "Ruvo", the first "V" starts the version, digit or not.
               {2, "QKVERS", "VB V2.3", nullptr, -3}};
  Answer("QKVADJ v2.1", "ELM327 v2.1");
  Answer("QKVADJ v2.2", "ELM327 v2.2");
  Answer("QKVADJ v2.3", "ELM327 v2.3");
  for (const char* level : {"2.2", "2.3"}) Answer(std::string("QK UCS_ATI ELM327 v") + level, "OK");
  for (const auto& c : cases) {
    Answer(c.query, c.answer);
    engine_.adapterModel = c.code;
    const std::size_t before = peer_.Commands().size();
    EXPECT_EQ(AdjustElmVersion(engine_, *port_, c.code), c.result) << c.answer;
    const std::vector<std::string> sent = peer_.Commands();
    EXPECT_EQ(sent.size() - before, c.command == nullptr ? 1u : 2u) << c.answer;
    if (c.command != nullptr) {
      EXPECT_EQ(sent.back(), c.command + std::string("\r"));
    }
  }
  EXPECT_EQ(AdjustElmVersion(engine_, *port_, 9), -1);
}

// Without a usable device version only the adapter version is shown.
TEST_F(IdentifyTest, VersionReportsWithoutADeviceVersion) {
  Answer("QKVERS", "KTR5588 V1.0.3");
  Answer("QKI", "zOrbent FS v2.3.00");
  EXPECT_EQ(ReportDeviceVersion(engine_, *port_, 7), -1);
  Answer("QKVERS", "none");
  reports_.clear();
  engine_.channels[0].port = link_.TakePort();
  EXPECT_EQ(engine_.ReadVersions(0), 0);
  EXPECT_EQ(reports_, "Adapter version:zOrbent FS v2.3.00\r\n");
}

}  // namespace
}  // namespace zorbent
