// Updates cut off part-way: the adapter losing power mid-download, and the program killed
// mid-download. Running the same update again must leave the adapter with exactly the file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sim_job.h"
#ifdef ZORBENT_FW_PATH
#include "tests/cli/run_program.h"
#endif

namespace zorbent::testing {
namespace {

struct Case {
  const char* name;
  int model;
  bool tcp;
  bool between;  // power lost between records (else while the adapter takes one)
};

const auto kCases =
    ::testing::Values(Case{"LinePty", 2, false, false}, Case{"LineTcp", 0, true, true},
                      Case{"BlockPty", 5, false, true}, Case{"BlockTcp", 6, true, false});

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

sim::SimulatorOptions OptionsFor(const Case& c) {
  sim::SimulatorOptions options = AdapterOf(c.model);
  options.tcp = c.tcp;
  if (!c.between) options.faults.powerLossAtRecord = 5;
  return options;
}

class PowerLoss : public ::testing::TestWithParam<Case> {};

// The adapter restarts in download mode with its partial image gone; the first run fails and
// says so, the second finds the adapter in download mode and delivers the whole file.
TEST_P(PowerLoss, FailsThenTheNextUpdateDeliversExactlyTheFile) {
  const Case& c = GetParam();
  Started adapter(OptionsFor(c));
  ASSERT_TRUE(adapter.started) << adapter.error;
  const sim::BuiltImage image = ImageFor(c.model, 24);
  FirmwareFile file(image.text);

  // Between records the power goes once the transfer is under way, by the engine's own report.
  bool cut = false;
  UpdateEngine engine;
  const JobRun first = RunJob(engine, adapter.simulator.ConfigString(), file.Path(), true,
                              [&](std::int32_t kind, std::intptr_t value) {
                                if (!c.between || cut || kind != kReportProgress || value < 30)
                                  return;
                                cut = true;
                                adapter.simulator.PowerLoss();
                              });
  EXPECT_LT(first.result, 0);
  EXPECT_EQ(cut, c.between);
  EXPECT_TRUE(first.Failed()) << first.text;
  EXPECT_FALSE(first.Finished()) << first.text;
  EXPECT_TRUE(adapter.simulator.InDownloadMode());
  EXPECT_EQ(adapter.simulator.Flashes(), 0);

  const JobRun second = RunJob(engine, adapter.simulator.ConfigString(), file.Path(), true);
  EXPECT_EQ(second.result, 0) << second.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(second.Finished()) << second.text;
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(c.model)));
  EXPECT_EQ(adapter.simulator.Flashes(), 1);
  EXPECT_FALSE(adapter.simulator.InDownloadMode());
}

INSTANTIATE_TEST_SUITE_P(Links, PowerLoss, kCases, CaseName);

#ifdef ZORBENT_FW_PATH
class KilledMidDownload : public ::testing::TestWithParam<Case> {};

TEST_P(KilledMidDownload, RunningTheUpdateAgainDeliversExactlyTheFile) {
  const Case& c = GetParam();
  sim::SimulatorOptions options = AdapterOf(c.model);
  options.tcp = c.tcp;
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  // Large enough that the transfer is still running when the kill lands.
  const sim::BuiltImage image = ImageFor(c.model, 400);
  cli_test::TempDir dir;
  const std::string path = dir.Write("firmware.txt", image.text);
  std::vector<std::string> args = {ZORBENT_FW_PATH, "update", "--connect",
                                   adapter.simulator.ConfigString(), path};

  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  for (int i = 0; i < 3000 && adapter.simulator.Records().size() < 40; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status)) << "finished before the kill";
  EXPECT_TRUE(adapter.simulator.InDownloadMode());
  EXPECT_EQ(adapter.simulator.Flashes(), 0);

  args.erase(args.begin());
  cli_test::ProgramResult again = cli_test::RunProgram(args);
  if (IsBlockModel(c.model) && !c.tcp) {
    // The adapter still runs at the transfer's fast rate and the new run hears only noise: it
    // must say what to do, and after that power cycle the update goes through.
    EXPECT_EQ(again.exitCode, 1) << again.both();
    EXPECT_NE(again.out.find("**Failed** Please power on the device again!"), std::string::npos)
        << again.both();
    adapter.simulator.PowerLoss();
    again = cli_test::RunProgram(args);
  }
  EXPECT_EQ(again.exitCode, 0) << again.both() << adapter.simulator.TranscriptText();
  EXPECT_NE(again.out.find("File download finished!"), std::string::npos) << again.both();
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(c.model)));
  EXPECT_EQ(adapter.simulator.Flashes(), 1);
}

INSTANTIATE_TEST_SUITE_P(Links, KilledMidDownload, kCases, CaseName);
#endif  // ZORBENT_FW_PATH

}  // namespace
}  // namespace zorbent::testing
