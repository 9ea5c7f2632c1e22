#include "engine/update_engine.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

// Bytes this process has taken in through read calls so far (/proc/self/io's rchar).
std::int64_t BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::int64_t value = -1;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

class EngineSpine : public ::testing::Test {
 protected:
  struct Reports {
    std::vector<std::string> texts;
    std::vector<int> progress;
  };
  static void Callback(void* context, std::int32_t kind, std::intptr_t value) {
    auto* self = static_cast<Reports*>(context);
    if (kind == kReportText) self->texts.emplace_back(reinterpret_cast<const char*>(value));
    if (kind == kReportProgress) self->progress.push_back(static_cast<int>(value));
  }
  void SetUp() override { engine_.Init(&reports_, &Callback); }
  // A file of `size` bytes that takes no room on the disc: it reads as zeros.
  std::string File(std::int64_t size) {
    const fs::path p = fs::temp_directory_path() /
                       ("zorbent-" + std::to_string(::getpid()) + "-" + std::to_string(size));
    std::ofstream{p};
    fs::resize_file(p, static_cast<std::uintmax_t>(size));
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
  // Free slots cost little: a tray runs one engine per adapter.
  EXPECT_LT(sizeof(UpdateEngine), 32u * 1024);
}

// An overlong firmware path is refused, not cut; a bad connection string gets the forms it takes.
TEST_F(EngineSpine, OverlongPathsAndBadConnectionStringsAreRefused) {
  test::PtyPair pty;
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), std::string(1024, 'p')), -1);
  EXPECT_EQ(reports_.texts.back().rfind("**Failed** ", 0), 0u);
  EXPECT_EQ(engine_.ChannelPort(0), nullptr);  // no channel claimed
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), std::string(1023, 'p')), 0);
  reports_ = {};
  EXPECT_EQ(engine_.OpenPort("com|/dev/ttyUSB0:0", ""), -1);
  EXPECT_EQ(reports_.texts,
            (std::vector<std::string>{
                "**Failed** Port parameter error!\r\n",
                "Expected com|DEVICE:BAUD (a serial adapter, e.g. com|/dev/ttyUSB0:115200) or "
                "tcp|HOST:PORT (a WiFi adapter, e.g. tcp|192.168.0.10:35000).\r\n"}));
  // Every refused open leaves its account: what was wrong, nothing reached, what to do.
  const std::pair<std::string, FailureKind> refused[] = {
      {"com|/dev/ttyUSB0:0", FailureKind::kPortUnavailable},
      {"com|/nonexistent/tty:115200", FailureKind::kPortUnavailable}};
  for (const auto& [config, kind] : refused) {
    EXPECT_EQ(engine_.OpenPort(config, ""), -1);
    EXPECT_EQ(engine_.outcome.kind, kind) << config;
    EXPECT_EQ(engine_.outcome.stage, Stage::kConnect);
    EXPECT_EQ(engine_.outcome.state, AdapterState::kNotReached);
    EXPECT_EQ(engine_.outcome.recovery, Recovery::kCheckConnection);
  }
  EXPECT_EQ(engine_.OpenPort(pty.ConfigString(), std::string(1024, 'p')), -1);
  EXPECT_EQ(engine_.outcome.recovery, Recovery::kAnotherFile);
}

// Files that cannot be updates are refused with the reason, unread, before the adapter.
TEST_F(EngineSpine, FilesThatCannotBeUpdatesFailBeforeTheAdapterIsTouched) {
  const std::string invalid = "**Failed** File is Invalid!\r\n";
  const std::string tiny = File(137), huge = File(std::int64_t{INT32_MAX} + 1);
  const std::string fifo =
      (fs::temp_directory_path() / ("zorbent-fifo-" + std::to_string(::getpid()))).string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  files_.push_back(fifo);
  const std::string dir = fs::temp_directory_path().string();
  const std::pair<std::string, std::string> cases[] = {
      {tiny, tiny + " is too short (137 bytes) to hold a firmware image (138 bytes at least)"},
      {"/no/such/file", "cannot read /no/such/file: No such file or directory"},
      {huge,
       huge + " is larger than any adapter firmware (more than 16 MiB): is it the right file?"},
      {fifo,
       fifo + " is a pipe, not a file: save the firmware to a file and give that file's path"},
      {dir, dir + " is a directory: give the firmware file itself"},
      {File(138), ""}};  // long enough: the format check refuses it
  test::PtyPair pty;
  for (const auto& [path, reason] : cases) {
    const std::vector<std::string> texts =
        reason.empty() ? std::vector<std::string>{"**Failed** update file format error!\r\n"}
                       : std::vector<std::string>{invalid, reason + "\r\n"};
    const int ch = engine_.OpenPort(pty.ConfigString(), path);
    ASSERT_GE(ch, 0);
    reports_ = {};
    const std::int64_t readBefore = BytesReadSoFar();
    ASSERT_GE(readBefore, 0);
    EXPECT_LT(engine_.Update(ch), 0);
    EXPECT_LT(BytesReadSoFar() - readBefore, 1 << 20) << path;  // never a whole 2 GiB file
    EXPECT_EQ(reports_.progress, (reason.empty() ? std::vector<int>{1, 2} : std::vector<int>{1}));
    if (reason.empty()) {
      EXPECT_EQ(reports_.texts.front(), texts.front());
      EXPECT_EQ(engine_.outcome.kind, FailureKind::kFileFormat);
    } else {
      EXPECT_EQ(reports_.texts, texts);
      EXPECT_EQ(engine_.outcome.kind, FailureKind::kFileUnusable);
    }
    EXPECT_EQ(engine_.outcome.cause, VisibleText(texts[0].substr(11)));  // not the reason
    EXPECT_EQ(engine_.outcome.state, AdapterState::kNotReached);
    EXPECT_EQ(engine_.outcome.recovery, Recovery::kAnotherFile);
    EXPECT_TRUE(engine_.image.empty());
    engine_.ClosePort(ch);
    EXPECT_TRUE(pty.ReadFor(100).empty()) << path;
  }
}

// A file far past the bound is refused by its size, without a buffer, where memory is short.
TEST_F(EngineSpine, AFileTooBigForMemoryIsInvalidAndEndsNothing) {
  if (test::kSanitizedBuild) GTEST_SKIP() << "the address space limit does not apply";
  test::PtyPair pty;
  const std::string big = File(std::int64_t{1} << 30);  // under the 2 GiB cap
  const int code = test::RunInChild([&] {
    const int ch = engine_.OpenPort(pty.ConfigString(), big);
    if (ch < 0) return 10;
    reports_ = {};
    if (!test::LimitAddressSpace(std::size_t{256} << 20)) return 11;
    if (engine_.Update(ch) != -1) return 12;
    if (reports_.progress != std::vector<int>{1}) return 13;
    if (reports_.texts.size() != 2 || reports_.texts[0] != "**Failed** File is Invalid!\r\n")
      return 14;
    if (!engine_.image.empty()) return 15;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

// The process-wide stop lasts until Init; a run's own outlasts it and is never lowered.
TEST_F(EngineSpine, StopRequestStaysUntilInitAndARunsOwnOutlastsIt) {
  RequestStop();
  EXPECT_EQ(ProcessStopSignal().Level(), StopLevel::kNow);
  engine_.Init(&reports_, &Callback);
  EXPECT_EQ(ProcessStopSignal().Level(), StopLevel::kNone);
  StopSignal run;
  engine_.UseStopSignal(run);
  run.Raise(StopLevel::kNow);
  run.Raise(StopLevel::kBeforeChange);
  engine_.Init(&reports_, &Callback);
  EXPECT_TRUE(engine_.StopNow());
}

}  // namespace
}  // namespace zorbent
