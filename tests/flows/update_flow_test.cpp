// The update and read jobs end to end: the engine against a simulated adapter on a
// pseudo-terminal, checking what the user is told and what the adapter ends up holding.

#include <gtest/gtest.h>

#include "tests/flows/flow_harness.h"

namespace zorbent::testing {
namespace {

using sim::AdapterSimulator;
using sim::SimulatorOptions;

bool Sent(const AdapterSimulator& simulator, std::string_view command) {
  for (const sim::TranscriptEntry& entry : simulator.Transcript())
    if (entry.command.find(command) != std::string::npos) return true;
  return false;
}

int Count(const AdapterSimulator& simulator, std::string_view command) {
  int count = 0;
  for (const sim::TranscriptEntry& entry : simulator.Transcript())
    count += entry.command == command;
  return count;
}

struct Started {
  explicit Started(SimulatorOptions options) : simulator(std::move(options)) {
    std::string error;
    started = simulator.Start(&error);
    EXPECT_TRUE(started) << error;
  }
  AdapterSimulator simulator;
  bool started = false;
};

class EveryModel : public ::testing::TestWithParam<int> {};

TEST_P(EveryModel, UpdateDeliversExactlyTheFileAndReadShowsTheNewVersion) {
  const int model = GetParam();
  Started adapter(AdapterOf(model));
  ASSERT_TRUE(adapter.started);
  const sim::BuiltImage image = ImageFor(model, 12);
  ASSERT_TRUE(image.ok()) << image.error;
  FirmwareFile file(image.text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_FALSE(run.Failed()) << run.text;
  EXPECT_TRUE(run.SaidInOrder({"Port is opened!\r\n", "File download finished!\r\n"})) << run.text;
  if (!IsBlockModel(model)) {
    EXPECT_TRUE(run.Said("Device connection ok!\r\n")) << run.text;
  }
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(model)));
  EXPECT_EQ(adapter.simulator.Flashes(), 1);
  ASSERT_GE(run.progress.size(), 4u);
  EXPECT_EQ(run.progress[0], 1);
  EXPECT_EQ(run.progress[1], 2);
  EXPECT_EQ(run.progress.back(), 100);
  EXPECT_TRUE(run.ProgressRises());

  if (!IsBlockModel(model)) {
    // With the echo on, "QKFL" is answered "QKFLOK": the first close succeeds, no end record
    // and no second "QKFL" follow.
    EXPECT_EQ(Count(adapter.simulator, "QKFL\r"), 1) << adapter.simulator.TranscriptText();
  }
  if (model == 0 || model == 4) {
    // "RuvoPro v..." and "Ruvo01 v...": the version is found past the "v" inside "Ruvo".
    EXPECT_TRUE(Sent(adapter.simulator, "QKVADJ v")) << adapter.simulator.TranscriptText();
  }

  const JobRun read = RunRead(adapter.simulator.ConfigString());
  EXPECT_EQ(read.result, 0) << read.text;
  EXPECT_TRUE(read.Said("device version:")) << read.text;
  EXPECT_TRUE(read.Said(adapter.simulator.DeviceVersion())) << read.text;
}

TEST_P(EveryModel, UpdateOfAnAdapterLeftInDownloadModeSucceeds) {
  const int model = GetParam();
  SimulatorOptions options = AdapterOf(model);
  options.adapter.startInDownloadMode = true;
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  const sim::BuiltImage image = ImageFor(model);
  FirmwareFile file(image.text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(run.Finished()) << run.text;
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(model)));
}

TEST_P(EveryModel, SilentAdapterFailsWithoutHanging) {
  const int model = GetParam();
  SimulatorOptions options = AdapterOf(model);
  options.link.silent = true;
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(ImageFor(model).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Failed()) << run.text;
  EXPECT_FALSE(run.Finished());
  EXPECT_NE(run.progress.back(), 100);
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModel, ::testing::Range(0, 7));

// Refusals: each with its message, and no download started.
struct Refusal {
  const char* name;
  int adapterModel;
  int fileModel;
  void (*adjust)(SimulatorOptions&);
  const char* message;
};

void NoChange(SimulatorOptions&) {}
void OtherProduct(SimulatorOptions& o) {
  o.adapter.productId = "OBDZ-2000";
}
void BelowThreshold(SimulatorOptions& o) {
  o.adapter.deviceVersion = "2.2.1X";
}
void RuvoBelowThreshold(SimulatorOptions& o) {
  o.adapter.deviceVersion = "3.9.9X";
}
void ElmTooNew(SimulatorOptions& o) {
  o.adapter.elmVersion = "2.4";
}
void ProbeRefuses(SimulatorOptions& o) {
  o.adapter.qkiText = "zOrbent FS v2.2.01";
}

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, AreReportedAndStartNoDownload) {
  const Refusal& refusal = GetParam();
  SimulatorOptions options = AdapterOf(refusal.adapterModel);
  refusal.adjust(options);
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(ImageFor(refusal.fileModel).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Said(refusal.message)) << run.text;
  EXPECT_FALSE(run.Finished());
  EXPECT_FALSE(adapter.simulator.InDownloadMode()) << adapter.simulator.TranscriptText();
  EXPECT_TRUE(adapter.simulator.Records().empty());
}

constexpr const char* kMismatch =
    "**Failed** The upgrade file does not match the device model!\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(Refusal{"LineFileForAnotherModel", 2, 1, NoChange, kMismatch},
                      Refusal{"BlockFileForAnotherModel", 5, 6, NoChange, kMismatch},
                      Refusal{"ProductIdMismatch", 3, 3, OtherProduct, kMismatch},
                      Refusal{"BelowThreshold", 2, 2, BelowThreshold,
                              "Please upgrade to version zOrbent_BM_V2.2.2X first!\r\n"},
                      Refusal{"RuvoBelowThreshold", 0, 0, RuvoBelowThreshold,
                              "Please upgrade to version rUvoPro_V4.0.0X first!\r\n"},
                      Refusal{"NoUpgradeFunction", 4, 4, RuvoBelowThreshold,
                              "There is no upgrade function for this product!\r\n"},
                      Refusal{"ElmVersionTooNew", 1, 1, ElmTooNew,
                              "This software version is too low"},
                      Refusal{"BlockProbeRefuses", 5, 5, ProbeRefuses, kMismatch}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST(Refusals, FileNotNewerThanTheAdapterIsRefused) {
  SimulatorOptions options = AdapterOf(2);
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  sim::LineImageOptions old;
  old.deviceName = "KTR5577";
  old.versionText = "V2.2.2X";  // 2229: not above the threshold the adapter has reached
  FirmwareFile file(sim::BuildLineImage(old).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Said("The device firmware version number is higher")) << run.text;
  EXPECT_TRUE(adapter.simulator.Records().empty());
}

// Repeats and lost answers are absorbed; the adapter still gets exactly the file.
struct Recovery {
  const char* name;
  int model;
  void (*adjust)(SimulatorOptions&);
};

class Recoveries : public ::testing::TestWithParam<Recovery> {};

TEST_P(Recoveries, StillDeliverExactlyTheFile) {
  const Recovery& recovery = GetParam();
  SimulatorOptions options = AdapterOf(recovery.model);
  recovery.adjust(options);
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  const sim::BuiltImage image = ImageFor(recovery.model, 12);
  FirmwareFile file(image.text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(run.Finished()) << run.text;
  EXPECT_TRUE(
      sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(recovery.model)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Recoveries,
    ::testing::Values(
        Recovery{"LineRepPack", 2,
                 [](SimulatorOptions& o) {
                   o.faults.repPack = {{3, 2}};
                 }},
        Recovery{"LineRepBlock", 1,
                 [](SimulatorOptions& o) {
                   o.faults.repBlock = {{5, 1}};
                 }},
        Recovery{"BlockRepeat", 5,
                 [](SimulatorOptions& o) {
                   o.faults.repBlock = {{4, 2}};
                 }},
        Recovery{"LineLostAnswer", 3, [](SimulatorOptions& o) { o.link.loseAnswerAt = 14; }},
        Recovery{"BlockLostAnswer", 6, [](SimulatorOptions& o) { o.link.loseAnswerAt = 10; }},
        Recovery{"SplitAnswers", 0, [](SimulatorOptions& o) { o.link.splitAnswers = true; }}),
    [](const ::testing::TestParamInfo<Recovery>& info) { return info.param.name; });

TEST(Failures, Err02RejectionClosesTheDownloadAndFails) {
  SimulatorOptions options = AdapterOf(5);
  options.faults.err02 = {{3, 1}};
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(ImageFor(5, 8).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Said("**Failed** File is Invalid!\r\n")) << run.text;
  EXPECT_FALSE(run.Finished()) << run.text;
  EXPECT_NE(run.progress.back(), 100);
  EXPECT_TRUE(Sent(adapter.simulator, "QKDLED")) << adapter.simulator.TranscriptText();
}

TEST(Failures, LastPairNeverAcknowledgedFailsTheUpdate) {
  SimulatorOptions options = AdapterOf(2);
  const sim::BuiltImage image = ImageFor(2, 9);  // 9 data lines and the trailer: 5 pairs
  options.faults.repPack = {{static_cast<int>(image.lines.size()), 100}};
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(image.text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Failed()) << run.text;
  EXPECT_FALSE(run.Finished()) << run.text;
  EXPECT_EQ(adapter.simulator.Flashes(), 0);
}

class Disconnects : public ::testing::TestWithParam<int> {};

TEST_P(Disconnects, MidDownloadFailsCleanly) {
  SimulatorOptions options = AdapterOf(GetParam());
  options.faults.disconnectAtRecord = 4;
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(ImageFor(GetParam(), 12).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Failed()) << run.text;
  EXPECT_FALSE(run.Finished());
}

INSTANTIATE_TEST_SUITE_P(Models, Disconnects, ::testing::Values(1, 5));

// Raises the stop request once the transfer is under way, as Ctrl-C or closing the window does.
void StopAtTwenty(void* context, std::int32_t kind, std::intptr_t value) {
  Record(context, kind, value);
  if (kind == kReportProgress && value >= 20) RequestStop();
}

class Stops : public ::testing::TestWithParam<int> {};

TEST_P(Stops, StopRequestEndsTheTransferWithoutSuccess) {
  Started adapter(AdapterOf(GetParam()));
  ASSERT_TRUE(adapter.started);
  const sim::BuiltImage image = ImageFor(GetParam(), 40);
  FirmwareFile file(image.text);

  UpdateEngine engine;
  JobRun run;
  engine.Init(&run, &StopAtTwenty);
  const std::int32_t channel = engine.OpenPort(adapter.simulator.ConfigString(), file.Path());
  ASSERT_GE(channel, 0) << run.text;
  run.result = engine.Update(channel);
  engine.ClosePort(channel);

  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Failed()) << run.text;
  EXPECT_FALSE(run.Finished());
  EXPECT_LT(adapter.simulator.Records().size(), image.lines.size());
  EXPECT_EQ(adapter.simulator.Flashes(), 0);
}

INSTANTIATE_TEST_SUITE_P(Models, Stops, ::testing::Values(2, 6));

}  // namespace
}  // namespace zorbent::testing

namespace zorbent::testing {
namespace {

// An adapter whose echo stays off: "ATE1" is lost on the wire, so every answer comes bare.
SimulatorOptions EchoOff(int model) {
  SimulatorOptions options = AdapterOf(model);
  options.adapter.echo = false;
  options.link.loseAnswerAt = 1;
  return options;
}

class EchoOffModel : public ::testing::TestWithParam<int> {};

TEST_P(EchoOffModel, UpdateStillSucceeds) {
  const int model = GetParam();
  Started adapter(EchoOff(model));
  ASSERT_TRUE(adapter.started);
  const sim::BuiltImage image = ImageFor(model);
  FirmwareFile file(image.text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(model)));
}

INSTANTIATE_TEST_SUITE_P(Models, EchoOffModel, ::testing::Range(0, 7));

// The gates read the adapter's version past the echo when there is one, and from the bare
// answer when there is none: version 0 would let an old file through.
TEST(EchoOffGates, FileNotNewerThanTheAdapterIsStillRefused) {
  Started adapter(EchoOff(2));
  ASSERT_TRUE(adapter.started);
  sim::LineImageOptions old;
  old.deviceName = "KTR5577";
  old.versionText = "V2.2.1X";
  FirmwareFile file(sim::BuildLineImage(old).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Said("The device firmware version number is higher")) << run.text;
  EXPECT_TRUE(adapter.simulator.Records().empty());
}

TEST(EchoOffGates, ElmVersionTooNewIsStillRefused) {
  SimulatorOptions options = EchoOff(1);
  options.adapter.elmVersion = "2.4";
  Started adapter(options);
  ASSERT_TRUE(adapter.started);
  FirmwareFile file(ImageFor(1).text);

  const JobRun run = RunUpdate(adapter.simulator.ConfigString(), file.Path());
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.Said("This software version is too low")) << run.text;
  EXPECT_TRUE(adapter.simulator.Records().empty());
}

}  // namespace
}  // namespace zorbent::testing
