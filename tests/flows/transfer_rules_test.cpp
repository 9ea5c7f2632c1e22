// The repeat and retry rules of both transfers: exact records, answers, failures, progress.

#include <gtest/gtest.h>

#include "tests/support/sim_job.h"

namespace zorbent::testing {
namespace {

using sim::SimulatorOptions;

// "word word ... " n times.
std::string Times(int n, const std::string& word) {
  std::string out;
  for (int i = 0; i < n; ++i) out += word + " ";
  return out;
}

std::string Line(const char* what, int n) {
  return std::string("**Failed** ") + what + " on " + std::to_string(n) + " line!\r\n";
}

const std::string kStopFail =
    "**Failed** Request stop download fail,Upgrade again after power on!\r\n";
const std::string kPowerOn = "**Failed** Please power on the device again!\r\n";
const std::string kLineEnd = "QKFL QKVERS QK UCS_ATI ELM327 v2.2 QKVERS QKI";
const std::string kBlockEnd = "QKDLED QKVERS QKVERS";
const std::string kEndRecord = "QKBLFFF1" + std::string(129, '0') + "F";

struct Rule {
  const char* name;
  int model;  // 2: six lines in three pairs; 5: four records
  void (*adjust)(SimulatorOptions&);
  std::string records;  // the trace after the download was opened
  std::vector<std::string> failures;
  std::vector<int> progress;
  bool succeeds;
  std::uint8_t trailerType = 1;
};

class Rules : public ::testing::TestWithParam<Rule> {};

TEST_P(Rules, HoldExactly) {
  const Rule& rule = GetParam();
  SimulatorOptions options = AdapterOf(rule.model);
  rule.adjust(options);
  Started adapter(options);
  ASSERT_TRUE(adapter.started) << adapter.error;
  sim::BuiltImage image = ImageFor(rule.model, rule.model == 2 ? 5 : 4);
  if (rule.trailerType != 1) {
    sim::LineImageOptions o;
    o.deviceName = LineDeviceName(rule.model);
    o.records = 5;
    o.trailerType = rule.trailerType;
    image = sim::BuildLineImage(o);
  }
  const bool fromDownloadMode = options.adapter.startInDownloadMode;
  UpdateEngine engine;
  engine.recover = fromDownloadMode;  // the user finishes an interrupted update
  const JobRun run = adapter.Update(image, engine);
  const char* opened =
      rule.model == 2
          ? (fromDownloadMode ? "ATE1 ATI ATI QKUPDT03 QKUPDT03 "
                              : "ATE1 ATI QKVERS QKI QKPROI ATI QKI QKUPDT03 ")
          : (fromDownloadMode ? "ATE1 QKVERS QKVERS QKDLKTR558 QK DLBD 02 (banner) CR "
                              : "ATE1 QKVERS QKVERS QKI QKDLKTR558 QK DLBD 02 (banner) CR ");
  std::string records = rule.records;
  if (records.ends_with(' ')) records.pop_back();
  EXPECT_EQ(Trace(adapter.simulator, image), opened + records);
  EXPECT_EQ(run.Failures(), rule.failures) << run.text;
  EXPECT_EQ(run.progress, rule.progress);
  EXPECT_EQ(run.result >= 0, rule.succeeds) << run.text;
  EXPECT_EQ(run.Finished(), rule.succeeds) << run.text;
  // A refused "QKFL" is followed by the end record after 200 ms, as the adapter sees it.
  const auto transcript = adapter.simulator.Transcript();
  for (std::size_t i = 0; i + 1 < transcript.size(); ++i) {
    if (transcript[i + 1].command != kEndRecord + "\r") continue;
    EXPECT_GE(transcript[i + 1].seconds - transcript[i].seconds, 0.18);
  }
}

void None(SimulatorOptions&) {}
template <int record, int times>
void RepPack(SimulatorOptions& o) {
  o.faults.repPack = {{record, times}};
}
template <int record, int times>
void RepBlock(SimulatorOptions& o) {
  o.faults.repBlock = {{record, times}};
}
template <int record>
void Err02(SimulatorOptions& o) {
  o.faults.err02 = {{record, 1}};
}
void Err02InDownloadMode(SimulatorOptions& o) {
  Err02<3>(o);
  o.adapter.startInDownloadMode = true;
}
template <int times>
void RefuseEnd(SimulatorOptions& o) {
  o.faults.refuseEnd = times;
}
// "QKFL" refused (a file for another product): the end record follows, then "QKFL" again.
void CloseRefused(SimulatorOptions& o) {
  o.adapter.startInDownloadMode = true;
  o.adapter.productId = "OBDZ-2000";
}

const std::vector<int> kLineDone = {1, 2, 3, 4, 5, 35, 65, 95, 99, 100};
const std::vector<int> kBlockDone = {1, 2, 3, 4, 23, 41, 59, 77, 100};
const std::string kPair1 = "L1=... L2=OK ";
const std::string kPairs23 = "L3=... L4=OK L5=... L6=OK ";

const auto kName = [](const ::testing::TestParamInfo<Rule>& info) { return info.param.name; };

INSTANTIATE_TEST_SUITE_P(
    LineMode, Rules,
    ::testing::Values(
        // A first line is asked again up to three times; then the pair goes again, whole.
        Rule("FirstLineRepPackThreeTimes", 2, RepPack<3, 3>,
             kPair1 + Times(3, "L3=RepPack") + kPairs23 + kLineEnd, {}, kLineDone, true),
        Rule("FirstLineRepPackFourTimes", 2, RepPack<3, 4>,
             kPair1 + Times(4, "L3=RepPack") + "L3=... " + kPairs23 + kLineEnd,
             {Line("Sending error", 2)}, kLineDone, true),
        Rule("FirstLineRepPackSixTimes", 2, RepPack<3, 6>,
             kPair1 + Times(6, "L3=RepPack") + kPairs23 + kLineEnd, {Line("Sending error", 2)},
             kLineDone, true),
        Rule("SecondLineRepPackTwice", 2, RepPack<4, 2>,
             kPair1 + "L3=... " + Times(2, "L4=RepPack") + "L4=OK L5=... L6=OK " + kLineEnd, {},
             kLineDone, true),
        // "RepBlock" sends the pair again; the third ends the transfer.
        Rule("RepBlockTwice", 2, RepBlock<3, 2>,
             kPair1 + Times(2, "L3=... L4=RepBlock") + kPairs23 + kLineEnd, {}, kLineDone, true),
        Rule("RepBlockThreeTimes", 2, RepBlock<3, 3>, kPair1 + Times(3, "L3=... L4=RepBlock"),
             {Line("Repeat three times error", 2), kStopFail}, {1, 2, 3, 4, 5, 35}, false),
        // A pair is tried four times.
        Rule("PairFailsThreeTimes", 2, RepPack<3, 18>,
             kPair1 + Times(18, "L3=RepPack") + kPairs23 + kLineEnd,
             {Line("Sending error", 2), Line("Sending error", 2), Line("Sending error", 2)},
             kLineDone, true),
        Rule("PairFailsFourTimes", 2, RepPack<3, 24>, kPair1 + Times(24, "L3=RepPack"),
             {Line("Sending error", 2), Line("Sending error", 2), Line("Sending error", 2),
              Line("Sending error", 2), kStopFail},
             {1, 2, 3, 4, 5, 35}, false),
        Rule("ReplyError", 2, Err02<5>, kPair1 + "L3=... L4=OK L5=ERR02 L5=... L6=OK " + kLineEnd,
             {Line("Reply error", 4)}, kLineDone, true),
        // A line of type 03 is never sent; the last pair failing fails the transfer too.
        Rule("DeviceTypeError", 2, None, kPair1 + "L3=... L4=OK " + Times(4, "L5=..."),
             {Line("Device type error", 4), Line("Device type error", 4),
              Line("Device type error", 4), Line("Device type error", 4), kStopFail},
             {1, 2, 3, 4, 5, 35, 65}, false, 3),
        Rule("CloseRefused", 2, CloseRefused, kPair1 + kPairs23 + "QKFL " + kEndRecord + " QKFL",
             {kStopFail}, {1, 2, 3, 4, 5, 35, 65, 95, 99}, false)),
    kName);

INSTANTIATE_TEST_SUITE_P(
    BlockMode, Rules,
    ::testing::Values(
        // A record is sent three times at most.
        Rule("RecordAnsweredAtTheThirdAttempt", 5, RepPack<3, 2>,
             "L1=OK L2=OK L3=ERR01 L3=ERR01 L3=OK L4=OK " + kBlockEnd, {}, kBlockDone, true),
        Rule("RecordUnansweredThreeTimes", 5, RepPack<3, 3>,
             "L1=OK L2=OK L3=ERR01 L3=ERR01 L3=ERR01", {Line("Sending error", 3), kPowerOn},
             {1, 2, 3, 4, 23, 41}, false),
        // "ERR02" from the firmware rejects the image (closed all the same); not in download mode.
        Rule("Err02FromFirmware", 5, Err02<3>, "L1=OK L2=OK L3=ERR02 QKDLED QKVERS",
             {"**Failed** File is Invalid!\r\n", kPowerOn}, {1, 2, 3, 4, 23, 41}, false),
        Rule("Err02InDownloadMode", 5, Err02InDownloadMode,
             "L1=OK L2=OK L3=ERR02 L3=OK L4=OK " + kBlockEnd, {}, kBlockDone, true),
        // "QKDLED" is sent three times at most.
        Rule("EndAnsweredAtTheThirdAttempt", 5, RefuseEnd<2>,
             "L1=OK L2=OK L3=OK L4=OK QKDLED QKDLED " + kBlockEnd, {}, kBlockDone, true),
        Rule("EndRefusedThreeTimes", 5, RefuseEnd<3>,
             "L1=OK L2=OK L3=OK L4=OK " + Times(3, "QKDLED"),
             {"**Failed** Request stop download fail!\r\n", kPowerOn}, {1, 2, 3, 4, 23, 41, 59, 77},
             false)),
    kName);

}  // namespace
}  // namespace zorbent::testing
