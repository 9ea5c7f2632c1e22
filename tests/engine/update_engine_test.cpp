#include "engine/update_engine.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

struct Reports {
  std::vector<std::string> texts;
  std::vector<int> progress;
  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto* self = static_cast<Reports*>(context);
    if (kind == kReportText) self->texts.emplace_back(reinterpret_cast<const char*>(value));
    if (kind == kReportProgress) self->progress.push_back(static_cast<int>(value));
  }
};

class EngineSpine : public ::testing::Test {
 protected:
  void SetUp() override { engine_.Init(&reports_, &Reports::Callback); }
  std::string TempFile(std::size_t size) {
    const fs::path p = fs::temp_directory_path() /
                       ("zorbent-" + std::to_string(::getpid()) + "-" + std::to_string(size));
    std::ofstream(p, std::ios::binary) << std::string(size, 'A');
    files_.push_back(p);
    return p.string();
  }
  void TearDown() override {
    for (const auto& p : files_) fs::remove(p);
  }
  Reports reports_;
  UpdateEngine engine_;
  std::vector<fs::path> files_;
};

TEST_F(EngineSpine, OpenPortMessagesAndChannelReuse) {
  test::PtyPair pty;
  EXPECT_EQ(engine_.OpenPort("serial|x:1", ""), -1);
  EXPECT_EQ(engine_.OpenPort("com|/dev/no-such-zorbent:115200", ""), -1);
  EXPECT_EQ(engine_.OpenPort("com|:115200", ""), -1);
  // Each connection error is followed by one line saying why.
  ASSERT_EQ(reports_.texts.size(), 5u);
  EXPECT_EQ(reports_.texts[0], "**Failed** Port parameter error!\r\n");
  EXPECT_EQ(reports_.texts[1], "**Failed** Port connection error!\r\n");
  EXPECT_EQ(reports_.texts[2].rfind("/dev/no-such-zorbent: no such device. ", 0), 0u);
  EXPECT_EQ(reports_.texts[3], "**Failed** Port connection error!\r\n");
  EXPECT_EQ(reports_.texts[4].rfind("No serial device was named", 0), 0u);

  // A closed channel is free again.
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), "f"), 0);
  EXPECT_EQ(reports_.texts.back(), "Port is opened!\r\n");
  engine_.ClosePort(0);
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), "f"), 0);
  engine_.ClosePort(0);
}

TEST_F(EngineSpine, AllChannelsInUseReportsNotEnoughMemoryEvenForBadStrings) {
  // 256 pseudo-terminals take four descriptors each.
  struct rlimit limit {};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 1200) GTEST_SKIP() << "descriptor limit too low";
  std::vector<std::unique_ptr<test::PtyPair>> ptys;
  for (int i = 0; i < kChannelCount; ++i) {
    ptys.push_back(std::make_unique<test::PtyPair>());
    ASSERT_EQ(engine_.OpenPort(ptys.back()->ConfigString(), ""), i);
  }
  reports_.texts.clear();
  EXPECT_EQ(engine_.OpenPort("garbage", ""), -1);
  EXPECT_EQ(reports_.texts, std::vector<std::string>{"**Failed** Not enough memory!\r\n"});
  engine_.ClosePort(7);
  test::PtyPair extra;
  EXPECT_EQ(engine_.OpenPort(extra.ConfigString(), ""), 7);
}

TEST_F(EngineSpine, OverlongFirmwarePathIsRefusedNotCut) {
  test::PtyPair pty;
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), std::string(1024, 'p')), -1);
  EXPECT_EQ(reports_.texts.back().rfind("**Failed** ", 0), 0u);
  EXPECT_EQ(engine_.ChannelPort(0), nullptr);  // no channel claimed
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), std::string(1023, 'p')), 0);
}

// Too short or missing: invalid at once. Long enough: the format check refuses it, and a
// bad file never reaches the adapter.
TEST_F(EngineSpine, FilesThatCannotBeUpdatesFailBeforeTheAdapterIsTouched) {
  const struct {
    std::string path;
    std::vector<int> progress;
    std::string message;
  } cases[] = {{TempFile(137), {1}, "**Failed** File is Invalid!\r\n"},
               {"/no/such/file", {1}, "**Failed** File is Invalid!\r\n"},
               {TempFile(138), {1, 2}, "**Failed** update file format error!\r\n"}};
  test::PtyPair pty;
  for (const auto& c : cases) {
    const int ch = engine_.OpenPort(pty.ConfigString(), c.path);
    ASSERT_GE(ch, 0);
    reports_ = {};
    EXPECT_LT(engine_.Update(ch), 0);
    EXPECT_EQ(reports_.progress, c.progress);
    EXPECT_EQ(reports_.texts, std::vector<std::string>{c.message});
    EXPECT_TRUE(engine_.image.empty());
    engine_.ClosePort(ch);
    EXPECT_TRUE(pty.ReadFor(100).empty()) << c.path;
  }
}

TEST_F(EngineSpine, StopRequestStaysUntilInit) {
  RequestStop();
  EXPECT_TRUE(StopRequested());
  engine_.Init(&reports_, &Reports::Callback);
  EXPECT_FALSE(StopRequested());
}

}  // namespace
}  // namespace zorbent
