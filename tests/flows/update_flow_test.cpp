// Update and read jobs end to end against a simulated adapter: commands sent, texts, outcome.

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/sim_job.h"

namespace zorbent::testing {
namespace {

using sim::SimulatorOptions;

void ExpectOutcome(const JobOutcome& outcome, FailureKind kind, AdapterState state,
                   Recovery recovery) {
  EXPECT_EQ(outcome.kind, kind) << outcome.cause;
  EXPECT_EQ(outcome.state, state) << outcome.cause;
  EXPECT_EQ(outcome.recovery, recovery) << outcome.cause;
}

struct ModelCase {
  int model;
  const char* fromFirmware;  // the commands of an update from the firmware / download mode
  const char* fromDownloadMode;
};

void PrintTo(const ModelCase& c, std::ostream* out) {
  *out << "model " << c.model;
}

class EveryModel : public ::testing::TestWithParam<ModelCase> {};

// The whole command sequence (ELM327 level raised to 2.1/2.2), every progress value, the file.
TEST_P(EveryModel, UpdateSendsTheFlowsCommandsAndDeliversExactlyTheFile) {
  const ModelCase& c = GetParam();
  SimulatorOptions options = AdapterOf(c.model);
  options.adapter.elmVersion = "2.0";
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  const sim::BuiltImage image = ImageFor(c.model, 12);
  ASSERT_TRUE(image.ok()) << image.error;
  UpdateEngine engine;
  const JobRun run = adapter.Update(image, engine);
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_FALSE(run.Failed()) << run.text;
  ExpectOutcome(engine.outcome, FailureKind::kNone, AdapterState::kUpdatedConfirmed,
                Recovery::kNothing);
  EXPECT_EQ(engine.outcome.stage, Stage::kDone);
  EXPECT_EQ(engine.outcome.versionBefore, AdapterOf(c.model).adapter.deviceVersion);
  EXPECT_EQ(engine.outcome.versionAfter, adapter.simulator.DeviceVersion());
  EXPECT_EQ(Trace(adapter.simulator, image, true), c.fromFirmware);
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(c.model)));
  EXPECT_EQ(adapter.simulator.Flashes(), 1);
  if (IsBlockModel(c.model)) {  // 12 records and the trailer
    EXPECT_EQ(run.progress,
              (std::vector<int>{1, 2, 3, 4, 11, 18, 25, 32, 39, 46, 53, 60, 67, 74, 81, 88, 100}));
    EXPECT_TRUE(run.SaidInOrder({"Port is opened!\r\n", "Change the baud rate to 2Mbps!\r\n",
                                 "File download finished!\r\n"}))
        << run.text;
    // The adapter restarts into its new firmware before the next command.
    EXPECT_GE(SecondsAfter(adapter.simulator, "QKDLED\r"), 1.8);
  } else {  // 13 lines and the trailer, in pairs
    EXPECT_EQ(run.progress, (std::vector<int>{1, 2, 3, 4, 5, 17, 30, 43, 56, 69, 82, 95, 99, 100}));
    EXPECT_TRUE(run.SaidInOrder({"Port is opened!\r\n", "device version:",
                                 "Device connection ok!\r\n", "File download finished!\r\n"}))
        << run.text;
  }
  const JobRun read = RunRead(adapter.simulator.ConfigString());
  EXPECT_EQ(read.result, 0) << read.text;
  EXPECT_TRUE(read.Said("device version:")) << read.text;
  EXPECT_TRUE(read.Said(adapter.simulator.DeviceVersion())) << read.text;
}

// The file ends in blank lines and a Ctrl-Z, which the adapter never sees.
void UpdateOfAdapterInDownloadMode(const ModelCase& c, const SimulatorOptions& options) {
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  sim::BuiltImage image = ImageFor(c.model);
  image.text += "\r\n \t\r\n\x1A";
  UpdateEngine engine;
  engine.recover = true;  // the user's word: finish an interrupted update
  const JobRun run = adapter.Update(image, engine);
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(run.Said("Warning: the adapter did not identify itself")) << run.text;
  EXPECT_TRUE(engine.outcome.foundInDownloadMode);
  EXPECT_EQ(engine.outcome.versionAfter, adapter.simulator.DeviceVersion());
  EXPECT_EQ(Trace(adapter.simulator, image, true), c.fromDownloadMode);
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(c.model)));
}

// A block boot loader may answer ATI with its name, "?" or an ELM327 banner: its QKVERS answer
// and the user's word decide.
TEST_P(EveryModel, UpdateOfAnAdapterLeftInDownloadModeSkipsTheChecksAndSucceeds) {
  const ModelCase& c = GetParam();
  for (const char* boot : {"", "?", "ELM327 v2.2"}) {
    if (!IsBlockModel(c.model) && *boot != '\0') break;
    SCOPED_TRACE(boot);
    SimulatorOptions options = AdapterOf(c.model);
    options.adapter.startInDownloadMode = true;
    options.adapter.bootBanner = boot;
    UpdateOfAdapterInDownloadMode(c, options);
  }
}

// The three KTR557x line models go alike.
constexpr const char* kKtrFromFirmware =
    "ATE1 ATI QKVERS QKI QKPROI ATI QKI QKUPDT03 QKBL*14 QKFL QKVERS QK UCS_ATI ELM327 v2.2 QKVERS "
    "QKI";
constexpr const char* kKtrFromDownloadMode = "ATE1 ATI ATI QKUPDT03 QKUPDT03 QKBL*10 QKFL QKI";

INSTANTIATE_TEST_SUITE_P(
    Models, EveryModel,
    ::testing::Values(
        ModelCase{0,
                  "ATE1 ATI QKVERS QKI QKPROI ATI QKVERS QKUPDT03 QKBL*14 QKFL QKI QKVADJ v2.2 "
                  "QKVERS QKVERS",
                  "ATE1 ATI ATI QKUPDT03 QKUPDT03 QKBL*10 QKFL QKVERS"},
        ModelCase{1, kKtrFromFirmware, kKtrFromDownloadMode},
        ModelCase{2, kKtrFromFirmware, kKtrFromDownloadMode},
        ModelCase{3, kKtrFromFirmware, kKtrFromDownloadMode},
        ModelCase{4,
                  "ATE1 ATI QKVERS QKI QKPROI ATI QKVERS QKUPDT03 QKBL*14 QKFL QKI QKVADJ v2.1 "
                  "QKVERS QKVERS",
                  "ATE1 ATI ATI QKUPDT03 QKUPDT03 QKBL*10 QKFL QKVERS"},
        ModelCase{5,
                  "ATE1 QKVERS QKVERS QKI QKDLKTR558 QK DLBD 02 (banner) CR QKDLDT*12 QKDLED "
                  "QKVERS QKVERS",
                  "ATE1 QKVERS QKVERS QKDLKTR558 QK DLBD 02 (banner) CR QKDLDT*8 QKDLED QKVERS "
                  "QKVERS"},
        ModelCase{6,
                  "ATE1 QKVERS QKVERS QKI QKDLKTR5688 QK DLBD 02 (banner) CR QKDLDT*12 QKDLED "
                  "QKVERS QKVERS",
                  "ATE1 QKVERS QKVERS QKDLKTR5688 QK DLBD 02 (banner) CR QKDLDT*8 QKDLED QKVERS "
                  "QKVERS"}));

// Cut off: silent, hung up, stopped or without power part-way, on a line and a block model.
class Cut : public ::testing::TestWithParam<int> {};

// A silent adapter fails update and read without hanging; one pulled out mid-transfer too.
TEST_P(Cut, SilentOrHungUpAdapterFailsTheUpdate) {
  SimulatorOptions options = AdapterOf(GetParam());
  options.link.silent = true;
  Started silent(options);
  ASSERT_TRUE(silent.started) << silent.error;
  const JobRun run = silent.Update(ImageFor(GetParam()));
  EXPECT_LT(run.result, 0);
  EXPECT_EQ(run.Failures(),
            std::vector<std::string>{"**Failed** Please power on the device again!\r\n"});
  EXPECT_TRUE(run.Said("The adapter did not answer")) << run.text;
  EXPECT_EQ(run.progress, (std::vector<int>{1, 2}));
  EXPECT_EQ(run.outcome.kind, FailureKind::kSilent);
  EXPECT_EQ(run.outcome.recovery, Recovery::kCheckConnection);
  EXPECT_TRUE(RunRead(silent.simulator.ConfigString()).Said("does not answer at 115200 or"));
  options = AdapterOf(GetParam());
  options.faults.disconnectAtRecord = 6;
  Started pulled(options);
  ASSERT_TRUE(pulled.started) << pulled.error;
  const JobRun cut = pulled.Update(ImageFor(GetParam(), 16));
  EXPECT_LT(cut.result, 0);
  // Said once, instead of a sending error for every try of the record.
  EXPECT_TRUE(cut.Said("**Failed** The adapter's port went away: unplugged?\r\n")) << cut.text;
  EXPECT_FALSE(cut.Said("Sending error")) << cut.text;
  EXPECT_FALSE(cut.Finished());
  ExpectOutcome(cut.outcome, FailureKind::kPortGone, AdapterState::kInDownloadMode,
                Recovery::kPowerCycleThenUpdate);
  EXPECT_EQ(cut.outcome.stage, Stage::kTransfer);
  EXPECT_EQ(pulled.simulator.Flashes(), 0);
}

// Refusals: each with its message, and no download command sent.
struct Refusal {
  const char* name;
  int adapterModel;
  int fileModel;
  void (*adjust)(SimulatorOptions&);
  const char* message;
  const char* detail = "";            // said after the message
  const char* fileVersion = nullptr;  // a line-mode file of this version instead
};

// "ATE1" lost and the echo off: the gates must read bare answers, not take version 0.
void EchoOff(SimulatorOptions& o) {
  o.adapter.echo = false;
  o.link.loseAnswerAt = 1;
}

constexpr const char* kGaveNoAnswer = "**Failed** The adapter gave no answer of its own to ";
constexpr const char* kNotIdentified = "**Failed** The adapter did not identify itself";
constexpr const char* kMismatch =
    "**Failed** The upgrade file does not match the device model!\r\n";
constexpr const char* kPowerOn = "**Failed** Please power on the device again!\r\n";

class Refusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refusals, AreReportedAndStartNoDownload) {
  const Refusal& refusal = GetParam();
  SimulatorOptions options = AdapterOf(refusal.adapterModel);
  refusal.adjust(options);
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  sim::BuiltImage image = ImageFor(refusal.fileModel);
  if (refusal.fileVersion != nullptr) {
    sim::LineImageOptions old;
    old.deviceName = LineDeviceName(refusal.fileModel);
    old.versionText = refusal.fileVersion;
    image = sim::BuildLineImage(old);
  }
  UpdateEngine engine;
  const JobRun run = adapter.Update(image, engine);
  EXPECT_LT(run.result, 0);
  EXPECT_TRUE(run.SaidInOrder({refusal.message, refusal.detail})) << run.text;
  EXPECT_FALSE(run.Finished());
  EXPECT_EQ(FirstOf(adapter.simulator, kDownloadCommands), -1)
      << adapter.simulator.TranscriptText();
  // Every refusal is read-only: told by its kind, the adapter unchanged.
  const std::string_view message = refusal.message;
  const FailureKind kind = message == kMismatch        ? FailureKind::kModelMismatch
                           : message == kPowerOn       ? FailureKind::kOutOfTurn
                           : message == kGaveNoAnswer  ? FailureKind::kUnanswered
                           : message == kNotIdentified ? FailureKind::kNotIdentified
                           : message.find("upgrade to") != message.npos ? FailureKind::kUpgradeFirst
                           : message.find("higher") != message.npos  ? FailureKind::kFirmwareHigher
                           : message.find("too low") != message.npos ? FailureKind::kProgramTooOld
                           : message.find("no upgrade") != message.npos ? FailureKind::kNotUpdatable
                           : message.find("too old") != message.npos ? FailureKind::kAdapterTooOld
                           : message.find("its version") != message.npos ? FailureKind::kNoVersion
                                                                         : FailureKind::kOlderFile;
  EXPECT_EQ(engine.outcome.kind, kind) << engine.outcome.cause;
  EXPECT_EQ(engine.outcome.state, AdapterState::kUnchanged);
  // Which adapter it is comes first, then the version gates.
  const bool identity = kind == FailureKind::kModelMismatch ||
                        kind == FailureKind::kNotIdentified || kind == FailureKind::kOutOfTurn;
  if (kind != FailureKind::kUnanswered) {
    EXPECT_EQ(engine.outcome.stage, identity ? Stage::kIdentify : Stage::kGates);
  }
  EXPECT_FALSE(engine.outcome.adapterChanged);
  EXPECT_EQ(adapter.simulator.InDownloadMode(), options.adapter.startInDownloadMode);
  EXPECT_TRUE(adapter.simulator.Records().empty());
  // Each wait was said with its limit and ended, none inside another: the connection first,
  // then every question, the unanswered one too.
  EXPECT_EQ(run.waitsOpen, 0);
  EXPECT_FALSE(run.waitInWait);
  ASSERT_FALSE(run.waits.empty());
  // "com|DEVICE:RATE" (a device opens at once) or "tcp|HOST:PORT" (a connection may take long)
  const std::string config = adapter.simulator.ConfigString();
  const bool tcp = config.starts_with("tcp|");
  EXPECT_EQ(run.waits.front(),
            tcp ? config.substr(4) + "/3000" : config.substr(4, config.rfind(':') - 4) + "/0");
  const std::string_view detail = refusal.detail;
  if (kind == FailureKind::kUnanswered && detail.ends_with(" within 2 s")) {
    const std::string asked(detail.substr(0, detail.find(' ')));
    EXPECT_NE(std::find(run.waits.begin(), run.waits.end(), asked + "/2000"), run.waits.end());
  }
}

void NoChange(SimulatorOptions&) {}
void Generic(SimulatorOptions& o) {
  o.adapter.model = sim::kGenericModel;
}
void InDownloadMode(SimulatorOptions& o) {
  o.adapter.startInDownloadMode = true;
}
void Clone(SimulatorOptions& o) {
  Generic(o);
  o.adapter.banner = "OBDII v1.5";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(
        Refusal{"LineFileForAnotherModel", 2, 1, NoChange, kMismatch},
        Refusal{"BlockFileForAnotherModel", 5, 6, NoChange, kMismatch},
        // An ordinary ELM327, or a line adapter offered a block file, is told what answered.
        Refusal{"GenericElmLineFile", 2, 2, Generic, kMismatch, "\"ELM327 v1.5\" to ATI"},
        Refusal{"GenericElmBlockFile", 2, 6, Generic, kMismatch, "\"ELM327 v1.5\" to ATI"},
        Refusal{"LineAdapterBlockFile", 2, 5, NoChange, kMismatch,
                "The adapter is a KTR5577 (it answers \"KTR5577 V2.2\")"},
        Refusal{"BelowThreshold", 2, 2,
                [](SimulatorOptions& o) { o.adapter.deviceVersion = "2.2.1X"; },
                "Please upgrade to version zOrbent_BM_V2.2.2X first!\r\n"},
        Refusal{"RuvoBelowThreshold", 0, 0,
                [](SimulatorOptions& o) { o.adapter.deviceVersion = "3.9.9X"; },
                "Please upgrade to version rUvoPro_V4.0.0X first!\r\n"},
        Refusal{"RuvoNoUpgrade", 4, 4,
                [](SimulatorOptions& o) { o.adapter.deviceVersion = "3.9.9X"; },
                "There is no upgrade function for this product!\r\n"},
        Refusal{"RuvoTooOld", 0, 0, [](SimulatorOptions& o) { o.adapter.qkversText = "Ruvo V3.1"; },
                "This product is too old"},
        Refusal{"RuvoNoVersion", 0, 0, [](SimulatorOptions& o) { o.adapter.qkversText = "V?"; },
                "**Failed** The device did not report its version!\r\n"},
        Refusal{"BlockProbeRefuses", 5, 5,
                [](SimulatorOptions& o) { o.adapter.qkiText = "zOrbent FS v2.2.01"; }, kMismatch},
        // 2219: not above the threshold the adapter has reached
        Refusal{"EchoOffFileNotNewer", 2, 2, EchoOff,
                "The device firmware version number is higher", "", "V2.2.1X"},
        Refusal{"EchoOffElmVersionTooNew", 1, 1,
                [](SimulatorOptions& o) {
                  EchoOff(o);
                  o.adapter.elmVersion = "2.4";
                },
                "This software version is too low"},
        // Gates fail closed: a lost or late answer is no pass and no mismatch.
        Refusal{"BlockProbeLost", 5, 5,
                [](SimulatorOptions& o) {
                  o.adapter.qkiText = "zOrbent FS v2.2.01";
                  o.link.loseAnswerAt = 4;  // ATE1 QKVERS QKVERS QKI
                },
                kGaveNoAnswer, "QKI within 2 s"},
        Refusal{"ElmCheckLost", 2, 2, [](SimulatorOptions& o) { o.link.loseAnswerAt = 6; },
                kGaveNoAnswer, "ATI within 2 s"},
        Refusal{"IdentityLate", 2, 2, [](SimulatorOptions& o) { o.link.slowAnswers["QKI"] = 2500; },
                kGaveNoAnswer, "QKI within 2 s"},
        // Unidentified (a clone, or in download mode): no download without recover.
        Refusal{"CloneBanner", 2, 2, Clone, kNotIdentified, "\"OBDII v1.5\" to ATI"},
        Refusal{"CloneBannerBlockFile", 2, 5, Clone, kNotIdentified},
        Refusal{"LineInDownloadMode", 2, 2, InDownloadMode, kNotIdentified},
        Refusal{"BlockInDownloadMode", 5, 5, InDownloadMode, kNotIdentified},
        Refusal{
            "Downgrade", 2, 2, [](SimulatorOptions& o) { o.adapter.deviceVersion = "2.2.40"; },
            "**Failed** The file holds v2.2.3X, older than the adapter's firmware v2.2.40.\r\n"},
        // The running version comes from the gate's own answer, not from the lost report.
        Refusal{"RuvoReportLost", 0, 0,
                [](SimulatorOptions& o) {
                  o.adapter.deviceVersion = "4.0.09";
                  o.link.loseAnswerAt = 3;  // ATE1 ATI QKVERS
                },
                "**Failed** The file holds v4.0.06, older than the adapter's firmware v4.0.09.",
                "", "V4.0.06"},
        Refusal{"BlockVersionUnknown", 5, 5,
                [](SimulatorOptions& o) { o.adapter.qkversText = "KTR558"; },
                "**Failed** The order of the versions could not be checked: the adapter did not "
                "report the version it runs.\r\n"},
        // The ELM327 level wherever the banner names it, and none readable fails closed.
        Refusal{"ElmBannerNotFirst", 2, 2,
                [](SimulatorOptions& o) { o.adapter.banner = "OBDII ELM327 v9.9"; },
                "This software version is too low"},
        Refusal{"ElmBannerWithoutVersion", 2, 2,
                [](SimulatorOptions& o) { o.adapter.banner = "OBDII ELM327 v"; },
                "**Failed** The device did not report its version!\r\n",
                "\"OBDII ELM327 v\", holds no ELM327 version"},
        // A late answer makes the two answers to QKVERS disagree: neither is taken.
        Refusal{"BlockAnswersDisagree", 5, 5,
                [](SimulatorOptions& o) {
                  InDownloadMode(o);
                  o.link.echoWhileBusy["ATE1"] = 3500;
                },
                kPowerOn, "did not belong to their commands"},
        Refusal{"BlockDowngrade", 5, 5,
                [](SimulatorOptions& o) { o.adapter.deviceVersion = "2.3.01"; },
                "**Failed** The file holds v2.2, older than the adapter's firmware v2.3.01.\r\n"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return info.param.name; });

// The user's word lets an older file go, given up front or asked for before anything changes
// the adapter; a reinstall goes with a line saying so and asks nothing.
TEST(Refusals, OlderFilesGoOnlyWhenAllowedAndTheSameVersionIsAReinstall) {
  for (const auto& [model, version] : {std::pair{2, "2.2.40"}, {5, "2.3.01"}, {2, "2.2.3X"}}) {
    SimulatorOptions options = AdapterOf(model);
    options.adapter.deviceVersion = version;
    Started adapter(options);
    UpdateEngine engine;
    const bool same = std::string_view(version) == "2.2.3X";
    engine.allowOlder = model == 2 && !same;
    std::string asked;
    const JobRun run =
        adapter.Update(ImageFor(model), engine, [&](std::int32_t kind, std::intptr_t value) {
          if (kind != kReportQuestion) return;
          auto& question = *reinterpret_cast<UserQuestion*>(value);
          asked = question.text;
          question.yes = true;
          EXPECT_EQ(FirstOf(adapter.simulator, kDownloadCommands), -1);
        });
    EXPECT_EQ(asked.empty(), model == 2) << asked;
    if (!asked.empty()) {
      EXPECT_EQ(asked,
                "The file holds v2.2, older than the adapter's firmware v2.3.01. Install "
                "the older firmware anyway?");
    }
    EXPECT_EQ(run.result, 0) << run.text;
    EXPECT_TRUE(run.Said(same ? "The adapter already runs v2.2.3X: this file installs the same "
                                "version again.\r\n"
                              : "older than the adapter's"))
        << run.text;
    EXPECT_EQ(engine.outcome.olderFile, !same);
    EXPECT_EQ(engine.outcome.sameVersion, same);
  }
}

// Repeats, lost answers and an echo that stays off are absorbed: the adapter gets the file.
struct Resilience {
  const char* name;
  int model;
  void (*adjust)(SimulatorOptions&);
  const char* lost = nullptr;  // this command's answer is lost: its resend waits for the
  double waitSeconds = 0;      // reply time-out and the quiet line, as the adapter sees it
};

// The paced link model: bytes take their time on the wire, the adapter its time to answer.
void Paced(SimulatorOptions& o) {
  o.linkModel = true;
  o.processingUs = 100;
}

class Recoveries : public ::testing::TestWithParam<Resilience> {};

TEST_P(Recoveries, StillDeliverExactlyTheFile) {
  const Resilience& recovery = GetParam();
  SimulatorOptions options = AdapterOf(recovery.model);
  recovery.adjust(options);
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  const sim::BuiltImage image = ImageFor(recovery.model, 12);
  UpdateEngine engine;
  const JobRun run = adapter.Update(image, engine);
  EXPECT_EQ(run.result, 0) << run.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(run.Finished()) << run.text;
  EXPECT_TRUE(engine.outcome.succeeded);
  EXPECT_EQ(engine.outcome.versionAfter, adapter.simulator.DeviceVersion());
  EXPECT_TRUE(
      sim::RecordsMatchImage(adapter.simulator.Records(), image, IsBlockModel(recovery.model)));
  if (recovery.lost == nullptr) return;
  const auto transcript = adapter.simulator.Transcript();
  std::size_t at = 0;
  while (at + 1 < transcript.size() && !transcript[at].answer.empty()) ++at;
  ASSERT_LT(at + 1, transcript.size());
  EXPECT_TRUE(transcript[at].command.starts_with(recovery.lost));
  EXPECT_EQ(transcript[at + 1].command, transcript[at].command);
  EXPECT_GE(transcript[at + 1].seconds - transcript[at].seconds, recovery.waitSeconds);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Recoveries,
    ::testing::Values(
        // 2000 ms for the line, 500 ms of quiet
        Resilience{"LineLostAnswer", 3, [](SimulatorOptions& o) { o.link.loseAnswerAt = 14; },
                   "QKBL", 2.3},
        // 5000 ms for the record, 500 ms of quiet
        Resilience{"BlockLostAnswer", 6, [](SimulatorOptions& o) { o.link.loseAnswerAt = 10; },
                   "QKDLDT", 5.3},
        Resilience{"SplitAnswers", 0, [](SimulatorOptions& o) { o.link.splitAnswers = true; }},
        Resilience{"PacedLine", 2, Paced}, Resilience{"PacedBlock", 5, Paced},
        // The KTR557x models share one flow.
        Resilience{"EchoOff0", 0, EchoOff}, Resilience{"EchoOff2", 2, EchoOff},
        Resilience{"EchoOff4", 4, EchoOff}, Resilience{"EchoOff5", 5, EchoOff},
        Resilience{"EchoOff6", 6, EchoOff}),
    [](const ::testing::TestParamInfo<Resilience>& info) { return info.param.name; });

// A stop request during the transfer is seen before the next pair or record; no close is sent.
TEST_P(Cut, StopRequestEndsTheTransferWithoutSuccess) {
  Started adapter(AdapterOf(GetParam()));
  ASSERT_TRUE(adapter.started) << adapter.error;
  const sim::BuiltImage image = ImageFor(GetParam(), 40);
  UpdateEngine engine;
  const JobRun run = adapter.Update(image, engine, [](std::int32_t kind, std::intptr_t value) {
    if (kind == kReportProgress && value >= 20) RequestStop();
  });
  EXPECT_GE(run.channel, 0) << run.text;
  EXPECT_LT(run.result, 0);
  EXPECT_FALSE(run.Finished());
  const std::string trace = Trace(adapter.simulator, image);
  const bool block = IsBlockModel(GetParam());
  // 20 % comes with the 8th line (8 x 90/42 + 5) or the 7th record (7 x 90/41 + 5).
  EXPECT_TRUE(trace.ends_with(block ? "L7=OK" : "L8=OK")) << trace;
  EXPECT_EQ(run.Failures(),
            std::vector<std::string>{block ? "**Failed** Please power on the device again!\r\n"
                                           : "**Failed** Request stop download fail,Upgrade again "
                                             "after power on!\r\n"});
  EXPECT_EQ(adapter.simulator.Flashes(), 0);
  ExpectOutcome(engine.outcome, FailureKind::kStopped, AdapterState::kInDownloadMode,
                Recovery::kPowerCycleThenUpdate);
  if (!block) return;
  // The adapter is left at 2,000,000 baud, and a version read finds it there.
  ASSERT_EQ(adapter.simulator.Rate(), 2000000);
  const JobRun fast = RunRead(adapter.simulator.ConfigString());
  EXPECT_TRUE(fast.SaidInOrder(
      {"**Failed** The device did not report its version!\r\n", "answers at 2,000,000 baud"}))
      << fast.text;
  ExpectOutcome(fast.outcome, FailureKind::kSilent, AdapterState::kInDownloadMode,
                Recovery::kPowerCycleThenUpdate);
}

// Power lost mid-download: the run fails, a rerun with recover delivers the whole file.
TEST_P(Cut, PowerLossFailsThenTheNextUpdateDeliversExactlyTheFile) {
  const bool block = IsBlockModel(GetParam());
  SimulatorOptions options = AdapterOf(GetParam());
  options.tcp = block;
  if (!block) options.faults.powerLossAtRecord = 5;
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  const sim::BuiltImage image = ImageFor(GetParam(), 24);
  bool cut = false;
  UpdateEngine engine;
  const JobRun first = adapter.Update(image, engine, [&](std::int32_t kind, std::intptr_t value) {
    if (!block || cut || kind != kReportProgress || value < 30) return;
    cut = true;
    adapter.simulator.PowerCycle();
  });
  EXPECT_LT(first.result, 0);
  EXPECT_EQ(cut, block);
  EXPECT_TRUE(first.Failed()) << first.text;
  EXPECT_FALSE(first.Finished()) << first.text;
  EXPECT_TRUE(adapter.simulator.InDownloadMode());
  EXPECT_EQ(adapter.simulator.Flashes(), 0);
  // A version read tells a line-mode adapter in download mode from a silent one.
  EXPECT_TRUE(block || RunRead(adapter.simulator.ConfigString()).Said("did not identify itself"));
  engine.recover = true;
  const JobRun second = adapter.Update(image, engine);
  EXPECT_EQ(second.result, 0) << second.text << adapter.simulator.TranscriptText();
  EXPECT_TRUE(second.Finished()) << second.text;
  EXPECT_TRUE(sim::RecordsMatchImage(adapter.simulator.Records(), image, block));
  EXPECT_EQ(adapter.simulator.Flashes(), 1);
  EXPECT_FALSE(adapter.simulator.InDownloadMode());
}

// A stop before the download changes nothing; a hang-up once it runs lets it finish.
TEST_P(Cut, StopBeforeTheDownloadChangesNothingAndAHangUpAfterItFinishes) {
  Started adapter(AdapterOf(GetParam()));
  const sim::BuiltImage image = ImageFor(GetParam());
  UpdateEngine engine;
  const JobRun stopped = adapter.Update(image, engine, [](std::int32_t kind, std::intptr_t value) {
    if (kind == kReportProgress && value == 2) RequestStop();
  });
  EXPECT_EQ(stopped.Failures(), std::vector<std::string>{"**Failed** Stopped on request before "
                                                         "the download began.\r\n"})
      << stopped.text;
  EXPECT_EQ(FirstOf(adapter.simulator, kDownloadCommands), -1);
  ExpectOutcome(engine.outcome, FailureKind::kStopped, AdapterState::kUnchanged,
                Recovery::kNothing);
  StopSignal run;
  engine.UseStopSignal(run);
  const JobRun hungUp = adapter.Update(image, engine, [&](std::int32_t kind, std::intptr_t value) {
    if (kind == kReportProgress && value >= 20) run.Raise(StopLevel::kBeforeChange);
  });
  EXPECT_EQ(hungUp.result, 0) << hungUp.text;
  EXPECT_EQ(adapter.simulator.Flashes(), 1);
  // Finishing an interrupted update: at 4 % the first download command has gone out (a line
  // adapter's first "QKUPDT03"), so a hang-up lets it finish too.
  SimulatorOptions options = AdapterOf(GetParam());
  options.adapter.startInDownloadMode = true;
  Started left(options);
  StopSignal later;
  engine.UseStopSignal(later);
  engine.recover = true;
  const JobRun recovered = left.Update(image, engine, [&](std::int32_t kind, std::intptr_t value) {
    if (kind == kReportProgress && value == 4) later.Raise(StopLevel::kBeforeChange);
  });
  EXPECT_EQ(recovered.result, 0) << recovered.text;
  EXPECT_EQ(left.simulator.Flashes(), 1);
}

INSTANTIATE_TEST_SUITE_P(Models, Cut, ::testing::Values(2, 6), ::testing::PrintToStringParamName());

// An odd-line file closes with the end record unless strict; a late close claims no state.
TEST(Close, OddFilesCloseWithTheEndRecordAndALateAnswerClaimsNoState) {
  const sim::BuiltImage odd = sim::BuildLineImage({.deviceName = "KTR5577", .records = 4});
  for (const bool strict : {false, true}) {
    SimulatorOptions options = AdapterOf(2);
    options.faults.strictClose = strict;
    options.adapter.flashedVersion = "2.2.3X";
    Started adapter(options);
    UpdateEngine engine;
    const JobRun run = adapter.Update(odd, engine);
    EXPECT_EQ(run.result >= 0, !strict) << run.text;
    if (strict) {
      ExpectOutcome(engine.outcome, FailureKind::kOddFileNotClosed, AdapterState::kInDownloadMode,
                    Recovery::kAnotherFileRecover);
    }
    EXPECT_EQ(adapter.simulator.Flashes(), strict ? 0 : 1);
  }
  SimulatorOptions options = AdapterOf(2);
  options.link.slowAnswers["QKFL"] = 2500;
  Started late(options);
  UpdateEngine engine;
  const JobRun run = late.Update(ImageFor(2), engine);
  EXPECT_LT(run.result, 0);
  ExpectOutcome(engine.outcome, FailureKind::kCloseUnanswered, AdapterState::kMayBeInDownloadMode,
                Recovery::kReadToTell);
  EXPECT_EQ(engine.outcome.stage, Stage::kClose);
  EXPECT_FALSE(late.simulator.InDownloadMode());
}

// A failed switch to the fast rate is named: its answer came too late, or (on a port that
// keeps what arrives while its rate changes) the adapter's first line at the new rate did.
TEST(Close, AFailedRateSwitchIsNamed) {
  for (const bool lateLine : {false, true}) {
    SimulatorOptions options = AdapterOf(5);
    if (lateLine) {
      options.rateLineDelayMs = 6000;
    } else {
      options.link.slowAnswers["QK DLBD 02"] = 6000;
    }
    Started adapter(options);
    UpdateEngine engine;
    // Once named, the records that would fail at the wrong rate need not be tried.
    const JobRun run =
        adapter.Update(ImageFor(5, 2), engine, [](std::int32_t kind, std::intptr_t value) {
          if (kind == kReportText && std::strstr(reinterpret_cast<const char*>(value), "2,000,000"))
            RequestStop();
        });
    EXPECT_LT(run.result, 0);
    EXPECT_TRUE(run.Said(lateLine
                             ? "The adapter did not answer at 2,000,000 baud after the switch"
                             : "The adapter did not answer the switch to 2,000,000 baud in time"))
        << run.text;
    EXPECT_TRUE(engine.outcome.rateSwitchFailed);
  }
}

// A read missing one answer fails naming it; another version read back is not confirmed.
TEST(Read, AMissingAnswerFailsAndAnotherVersionAfterIsNotConfirmed) {
  SimulatorOptions options = AdapterOf(2);
  options.link.slowAnswers["QKI"] = 2500;
  Started slow(options);
  const JobRun read = RunRead(slow.simulator.ConfigString());
  EXPECT_LT(read.result, 0);
  EXPECT_TRUE(read.Said("**Failed** The adapter gave no answer of its own to QKI within 2 s.\r\n"))
      << read.text;
  SimulatorOptions other = AdapterOf(5);
  other.adapter.flashedVersion = "2.1.9";
  Started adapter(other);
  const JobRun whole = RunRead(adapter.simulator.ConfigString());  // names what it read
  EXPECT_EQ(whole.outcome.adapterModel + " " + whole.outcome.versionBefore, "KTR558 2.1");
  UpdateEngine engine;
  const JobRun run = adapter.Update(ImageFor(5), engine);
  EXPECT_EQ(run.result, 0);
  EXPECT_TRUE(run.Said("Warning: the adapter reports version 2.1.9, but the file holds 2.2.\r\n"))
      << run.text;
  ExpectOutcome(engine.outcome, FailureKind::kNotConfirmed, AdapterState::kUpdatedNotConfirmed,
                Recovery::kReadToTell);
  EXPECT_EQ(engine.outcome.stage, Stage::kReadBack);
  // A file that names no version (below the gate it goes) has nothing to be confirmed by;
  // closed with the end record, the adapter reports a version of its own.
  SimulatorOptions below = AdapterOf(2);
  below.adapter.deviceVersion = "2.2.1X";
  below.adapter.flashedVersion = "2.2.40";
  Started unnamed(below);
  UpdateEngine taken;
  taken.allowOlder = true;
  const JobRun beta = unnamed.Update(
      sim::BuildLineImage({.deviceName = "KTR5577", .versionText = "Vbeta", .records = 4}), taken,
      [](std::int32_t kind, std::intptr_t value) {
        if (kind == kReportQuestion) reinterpret_cast<UserQuestion*>(value)->yes = true;
      });
  EXPECT_EQ(beta.result, 0) << beta.text;
  EXPECT_TRUE(beta.Said("but the file names no version to compare it with.\r\n")) << beta.text;
  ExpectOutcome(taken.outcome, FailureKind::kNotConfirmed, AdapterState::kUpdatedNotConfirmed,
                Recovery::kReadToTell);
}

// Every answer 3 s late on a link that ignores the host's rate: a late answer at 2,000,000 baud
// is not an interrupted block download's.
TEST(Read, ASlowLinkIsNotTakenForAnInterruptedBlockDownload) {
  SimulatorOptions options = AdapterOf(2);
  options.link.everyAnswerLateMs = 3000;
  options.link.rateBlind = true;
  Started slow(options);
  const JobRun read = RunRead(slow.simulator.ConfigString());
  EXPECT_FALSE(read.Said("answers at 2,000,000 baud")) << read.text;
  EXPECT_EQ(CauseInBrief(read.outcome), "the adapter answered only late");
  ExpectOutcome(read.outcome, FailureKind::kSilent, AdapterState::kUnchanged,
                Recovery::kCheckConnection);
}

// A late answer may fail the job but never lets a download command precede identification.
struct LateCase {
  const char* label;
  int model;
  const char* slowCommand;
  int delayMs;
  bool echoWhileBusy = false;  // the next command's echo comes before the late answer
};

class LateAnswer : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateAnswer, NeverLeadsToADownloadCommandBeforeTheGates) {
  const LateCase& c = GetParam();
  SimulatorOptions options = AdapterOf(c.model);
  (c.echoWhileBusy ? options.link.echoWhileBusy : options.link.slowAnswers)[c.slowCommand] =
      c.delayMs;
  Started adapter(options);
  UpdateEngine engine;
  const JobRun run = adapter.Update(ImageFor(c.model), engine);
  const std::string transcript = adapter.simulator.TranscriptText();
  const int download = FirstOf(adapter.simulator, kDownloadCommands);
  if (run.result == 0) {
    EXPECT_EQ(adapter.simulator.Flashes(), 1) << transcript;
    // Identified first: QKPROI (line mode) or the QKI probe (block mode).
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
                                           LateCase{"BlockQkvers", 5, "QKVERS", 2500},
                                           LateCase{"LineBusyAte1", 2, "ATE1", 800, true},
                                           LateCase{"BlockBusyAte1", 5, "ATE1", 800, true},
                                           LateCase{"LineBusyAti", 2, "ATI", 800, true}),
                         [](const auto& info) { return std::string(info.param.label); });

// A check stops before the first change; in download mode it refuses, without a warning.
TEST(CheckOnly, StopsBeforeTheFirstCommandThatChangesTheAdapter) {
  Started block(AdapterOf(6));
  UpdateEngine engine;
  engine.checkOnly = true;
  const JobRun run = block.Update(ImageFor(6), engine);
  EXPECT_EQ(run.result, 0) << run.text;
  EXPECT_FALSE(run.Finished()) << run.text;
  EXPECT_TRUE(engine.outcome.stoppedBeforeChange);
  EXPECT_EQ(engine.outcome.adapterModel, "KTR5688");
  EXPECT_EQ(engine.outcome.versionBefore, "2.1");
  EXPECT_EQ(FirstOf(block.simulator, kDownloadCommands), -1) << block.simulator.TranscriptText();
  SimulatorOptions options = AdapterOf(2);
  options.adapter.startInDownloadMode = true;
  Started line(options);
  const JobRun check = line.Update(ImageFor(2), engine);
  EXPECT_LT(check.result, 0);
  EXPECT_TRUE(check.Said("did not identify itself")) << check.text;
  EXPECT_FALSE(check.Said("Warning:")) << check.text;
  EXPECT_EQ(line.simulator.Flashes(), 0);
}

}  // namespace
}  // namespace zorbent::testing
