// Replies belong to their commands: late answers, checks that change nothing, and what a job's
// outcome says about how it ended.

#include <gtest/gtest.h>

#include "tests/support/sim_job.h"

namespace zorbent::testing {
namespace {

using sim::SimulatorOptions;

struct LateCase {
  const char* label;
  int model;
  const char* slowCommand;
  int delayMs;
};

class LateAnswer : public ::testing::TestWithParam<LateCase> {};

// A late answer may make the job fail, never send a download command before the adapter was
// identified: either the update went through the gates and succeeded, or the adapter still
// runs its firmware.
TEST_P(LateAnswer, NeverLeadsToADownloadCommandBeforeTheGates) {
  const LateCase& c = GetParam();
  SimulatorOptions options = AdapterOf(c.model);
  options.link.slowAnswers[c.slowCommand] = c.delayMs;
  Started adapter(options);
  UpdateEngine engine;
  const JobRun run = adapter.Update(ImageFor(c.model), engine);
  const std::string transcript = adapter.simulator.TranscriptText();

  const int download = FirstOf(adapter.simulator, kDownloadCommands);
  if (run.result == 0) {
    EXPECT_EQ(adapter.simulator.Flashes(), 1) << transcript;
    // Identification came first: QKPROI (line mode) or the QKI probe (block mode).
    const int identified = FirstOf(adapter.simulator, {IsBlockModel(c.model) ? "QKI" : "QKPROI"});
    EXPECT_GE(identified, 0) << transcript;
    EXPECT_LT(identified, download) << transcript;
    EXPECT_TRUE(engine.outcome.succeeded);
  } else {
    EXPECT_EQ(download, -1) << run.text << transcript;
    EXPECT_FALSE(adapter.simulator.InDownloadMode()) << transcript;
    EXPECT_FALSE(engine.outcome.adapterChanged);
  }
}

INSTANTIATE_TEST_SUITE_P(Flows, LateAnswer,
                         ::testing::Values(LateCase{"LineAte1", 2, "ATE1", 2500},
                                           LateCase{"LineAte1AfterTheQuietPeriod", 2, "ATE1", 3500},
                                           LateCase{"LineAti", 2, "ATI", 2500},
                                           LateCase{"BlockAte1", 6, "ATE1", 3500},
                                           LateCase{"BlockQkvers", 5, "QKVERS", 2500}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(CheckOnly, StopsBeforeTheFirstCommandThatChangesTheAdapter) {
  // zorbent-fw's check of a line-mode adapter is in tests/cli; a block-mode one here.
  {
    Started adapter(AdapterOf(6));
    UpdateEngine engine;
    engine.checkOnly = true;
    const JobRun run = adapter.Update(ImageFor(6), engine);
    EXPECT_EQ(run.result, 0) << run.text;
    EXPECT_FALSE(run.Finished()) << run.text;
    EXPECT_TRUE(engine.outcome.checkOnly);
    EXPECT_EQ(engine.outcome.adapterModel, "KTR5688");
    EXPECT_EQ(engine.outcome.versionBefore, "2.1");
    EXPECT_EQ(FirstOf(adapter.simulator, kDownloadCommands), -1)
        << adapter.simulator.TranscriptText();
  }
  // In download mode the model cannot be checked: a check refuses, without the update's warning.
  SimulatorOptions options = AdapterOf(2);
  options.adapter.startInDownloadMode = true;
  Started adapter(options);
  UpdateEngine engine;
  engine.checkOnly = true;
  const JobRun check = adapter.Update(ImageFor(2), engine);
  EXPECT_LT(check.result, 0);
  EXPECT_TRUE(check.Said("cannot be checked against it")) << check.text;
  EXPECT_FALSE(check.Said("Warning:")) << check.text;
  EXPECT_EQ(adapter.simulator.Flashes(), 0);
}

TEST(Outcome, SuccessReadsTheNewVersionBackAndWarnsWhenItIsNotTheFiles) {
  SimulatorOptions options = AdapterOf(5);
  options.adapter.flashedVersion = "2.1.9";  // not what the file holds
  Started adapter(options);
  UpdateEngine engine;
  const JobRun run = adapter.Update(ImageFor(5), engine);
  EXPECT_EQ(run.result, 0) << run.text;
  EXPECT_TRUE(engine.outcome.succeeded);
  EXPECT_EQ(engine.outcome.versionBefore, "2.1");
  EXPECT_EQ(engine.outcome.versionAfter, "2.1.9");
  EXPECT_TRUE(run.SaidInOrder({"File download finished!\r\n",
                               "Warning: the adapter reports version 2.1.9, but the file holds "
                               "2.2.\r\n"}))
      << run.text;
}

// A version read tells an adapter in download mode from a silent one.
TEST(ReadStates, DownloadModeAndSilenceAreTold) {
  SimulatorOptions options = AdapterOf(3);
  options.adapter.startInDownloadMode = true;
  Started line(options);
  EXPECT_TRUE(RunRead(line.simulator.ConfigString()).Said("is in download mode")) << "line";

  options.link.silent = true;
  Started silent(options);
  EXPECT_TRUE(RunRead(silent.simulator.ConfigString()).Said("does not answer at 115200 or"));
}

}  // namespace
}  // namespace zorbent::testing
