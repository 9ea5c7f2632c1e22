// Updates cut off part-way: the adapter losing power mid-download, and the program killed
// mid-download. Running the same update again must leave the adapter with exactly the file.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/flows/flow_harness.h"
#ifdef ZORBENT_FW_PATH
#include "tests/cli/run_program.h"
#endif

namespace zorbent::testing {
namespace {

using sim::AdapterSimulator;
using sim::SimulatorOptions;

struct Case {
  const char* name;
  int model;
  bool tcp;
};

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

const auto kCases = ::testing::Values(Case{"LinePty", 2, false}, Case{"LineTcp", 0, true},
                                      Case{"BlockPty", 5, false}, Case{"BlockTcp", 6, true});

SimulatorOptions OptionsFor(const Case& c) {
  SimulatorOptions options = AdapterOf(c.model);
  options.tcp = c.tcp;
  return options;
}

class PowerLossAtRecord : public ::testing::TestWithParam<Case> {};

// The adapter restarts in download mode with its partial image gone; the first run fails and
// says so, the second finds the adapter in download mode and delivers the whole file.
TEST_P(PowerLossAtRecord, FailsThenTheNextUpdateDeliversExactlyTheFile) {
  const Case& c = GetParam();
  SimulatorOptions options = OptionsFor(c);
  options.faults.powerLossAtRecord = 5;
  AdapterSimulator adapter(options);
  std::string error;
  ASSERT_TRUE(adapter.Start(&error)) << error;
  const sim::BuiltImage image = ImageFor(c.model, 12);
  FirmwareFile file(image.text);

  UpdateEngine engine;
  const JobRun first = RunJob(engine, adapter.ConfigString(), file.Path(), true);
  EXPECT_LT(first.result, 0);
  EXPECT_TRUE(first.Failed()) << first.text;
  EXPECT_FALSE(first.Finished()) << first.text;
  EXPECT_TRUE(adapter.InDownloadMode());
  EXPECT_EQ(adapter.Flashes(), 0);

  const JobRun second = RunJob(engine, adapter.ConfigString(), file.Path(), true);
  EXPECT_EQ(second.result, 0) << second.text << adapter.TranscriptText();
  EXPECT_TRUE(second.Finished()) << second.text;
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.Records(), image, IsBlockModel(c.model)));
  EXPECT_EQ(adapter.Flashes(), 1);
  EXPECT_FALSE(adapter.InDownloadMode());
}

INSTANTIATE_TEST_SUITE_P(Links, PowerLossAtRecord, kCases, CaseName);

// Cuts the adapter's power from the engine's own report once the transfer is under way.
struct PowerCut {
  JobRun run;
  AdapterSimulator* adapter = nullptr;
  bool cut = false;
};

void CutAtThirty(void* context, std::int32_t kind, std::intptr_t value) {
  auto* cut = static_cast<PowerCut*>(context);
  Record(&cut->run, kind, value);
  if (kind == kReportProgress && value >= 30 && !cut->cut) {
    cut->cut = true;
    cut->adapter->PowerLoss();
  }
}

class PowerLossBetweenRecords : public ::testing::TestWithParam<Case> {};

TEST_P(PowerLossBetweenRecords, FailsThenTheNextUpdateDeliversExactlyTheFile) {
  const Case& c = GetParam();
  AdapterSimulator adapter(OptionsFor(c));
  std::string error;
  ASSERT_TRUE(adapter.Start(&error)) << error;
  const sim::BuiltImage image = ImageFor(c.model, 24);
  FirmwareFile file(image.text);

  UpdateEngine engine;
  PowerCut cut;
  cut.adapter = &adapter;
  engine.Init(&cut, &CutAtThirty);
  const std::int32_t channel = engine.OpenPort(adapter.ConfigString(), file.Path());
  ASSERT_GE(channel, 0) << cut.run.text;
  const std::int32_t result = engine.Update(channel);
  engine.ClosePort(channel);
  EXPECT_TRUE(cut.cut);
  EXPECT_LT(result, 0);
  EXPECT_TRUE(cut.run.Failed()) << cut.run.text;
  EXPECT_FALSE(cut.run.Finished()) << cut.run.text;
  EXPECT_EQ(adapter.Flashes(), 0);

  const JobRun second = RunJob(engine, adapter.ConfigString(), file.Path(), true);
  EXPECT_EQ(second.result, 0) << second.text << adapter.TranscriptText();
  EXPECT_TRUE(second.Finished()) << second.text;
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.Records(), image, IsBlockModel(c.model)));
  EXPECT_EQ(adapter.Flashes(), 1);
}

INSTANTIATE_TEST_SUITE_P(Links, PowerLossBetweenRecords, kCases, CaseName);

#ifdef ZORBENT_FW_PATH
// zorbent-fw as a child whose progress lines come through a pipe, so the test can wait in
// poll for the transfer to be under way and then kill it.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDERR_FILENO);
      const int devNull = ::open("/dev/null", O_RDWR);
      if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
      }
      std::vector<std::string> copies = args;
      std::string program = ZORBENT_FW_PATH;
      std::vector<char*> argv{program.data()};
      for (std::string& a : copies) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(fds[1]);
    err_ = fds[0];
  }
  ~Child() {
    Kill();
    if (err_ >= 0) ::close(err_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads the child's standard error until text appears; false when it ended first or nothing
  // came for timeoutMs.
  bool WaitFor(const std::string& text, int timeoutMs) {
    while (seen_.find(text) == std::string::npos) {
      struct pollfd pfd {
        err_, POLLIN, 0
      };
      if (::poll(&pfd, 1, timeoutMs) <= 0) return false;
      char buffer[512];
      const ssize_t n = ::read(err_, buffer, sizeof buffer);
      if (n <= 0) return false;
      seen_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  // SIGKILL and reap; true when the signal ended it (it had not finished by itself).
  bool Kill() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGKILL);
    int status = 0;
    const bool reaped = ::waitpid(pid_, &status, 0) == pid_;
    pid_ = -1;
    return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  const std::string& Seen() const { return seen_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  std::string seen_;
};

class KilledMidDownload : public ::testing::TestWithParam<Case> {};

TEST_P(KilledMidDownload, RunningTheUpdateAgainDeliversExactlyTheFile) {
  const Case& c = GetParam();
  AdapterSimulator adapter(OptionsFor(c));
  std::string error;
  ASSERT_TRUE(adapter.Start(&error)) << error;
  // Large enough that the transfer is still running when the kill lands.
  const sim::BuiltImage image = ImageFor(c.model, 400);
  ASSERT_TRUE(image.ok()) << image.error;
  cli_test::TempDir dir;
  const std::string path = dir.Write("firmware.txt", image.text);
  const std::vector<std::string> args = {"update", "--connect", adapter.ConfigString(), path};

  {
    Child child(args);
    ASSERT_TRUE(child.WaitFor("progress 20%", 30000)) << child.Seen();
    EXPECT_TRUE(child.Kill()) << "finished before the kill\n" << child.Seen();
  }
  EXPECT_TRUE(adapter.InDownloadMode());
  EXPECT_EQ(adapter.Flashes(), 0);
  EXPECT_FALSE(sim::RecordsMatchImage(adapter.Records(), image, IsBlockModel(c.model)));

  cli_test::ProgramResult again = cli_test::RunProgram(args);
  if (IsBlockModel(c.model) && !c.tcp) {
    // The adapter still runs at the transfer's fast rate and the new run hears only noise: it
    // must say what to do, and after that power cycle the update goes through.
    EXPECT_EQ(again.exitCode, 1) << again.both();
    EXPECT_NE(again.out.find("**Failed** Please power on the device again!"), std::string::npos)
        << again.both();
    adapter.PowerLoss();
    again = cli_test::RunProgram(args);
  }
  EXPECT_EQ(again.exitCode, 0) << again.both() << adapter.TranscriptText();
  EXPECT_NE(again.out.find("File download finished!"), std::string::npos) << again.both();
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.Records(), image, IsBlockModel(c.model)));
  EXPECT_EQ(adapter.Flashes(), 1);
}

INSTANTIATE_TEST_SUITE_P(Links, KilledMidDownload, kCases, CaseName);
#endif  // ZORBENT_FW_PATH

}  // namespace
}  // namespace zorbent::testing
