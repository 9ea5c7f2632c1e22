// The outcome's words through every front end's terms: each state, recovery and the kinds that
// split them, checked for what matters (each front end names its own controls and commands
// and none of the others', the power-cycle split, download mode's missing firmware) rather
// than restated sentence by sentence.
#include "ui/outcome_words.h"

#include <gtest/gtest.h>

#include "engine/device_table.h"

namespace zorbent::ui {
namespace {

using K = FailureKind;
using S = AdapterState;
using R = Recovery;

struct FrontEnd {
  const Terms& terms;
  std::vector<std::string> own;      // a step to take names at least one of these
  std::vector<std::string> foreign;  // ... and none of these
  std::string finish;                // how it finishes an interrupted update
};

const FrontEnd kFrontEnds[] = {
    {kCommandLineTerms,
     {"zorbent-fw", "--", "the same", "Use a", "Install"},
     {"press", "Press", "Choose", "choose", "list", "field", "answer Yes", "this page"},
     "--recover"},
    {kWindowTerms,
     {"press", "Press", "Choose", "choose"},
     {"zorbent-fw", "--", "`", "Choose adapter", "Choose file", "this page"},
     "answer Yes when asked to finish the interrupted update"},
    {kPageTerms,
     {"press", "Press", "Choose", "choose"},
     {"zorbent-fw", "--", "`", "Name list", "Baudrate", "IP Address", "Refresh", "this program"},
     "answer Yes when asked to finish the interrupted update"},
};

bool Has(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

JobOutcome Failed(S state, R recovery, K kind) {
  JobOutcome o;
  o.kind = kind, o.state = state, o.recovery = recovery;
  o.cause = "the adapter is a KTR558!";
  o.adapterModel = "KTR558";
  o.fileModel = "KTR5577";
  o.family = 1;
  o.banner = "zOrbent boot loader";
  return o;
}

TEST(OutcomeWords, EveryStateAndRecoveryInEveryFrontEndsTerms) {
  const K kinds[] = {K::kNotAcknowledged, K::kOddFileNotClosed, K::kUpgradeFirst,
                     K::kFirmwareHigher, K::kModelMismatch};
  for (const FrontEnd& front : kFrontEnds) {
    for (int s = 0; s <= static_cast<int>(S::kUpdatedNotConfirmed); ++s) {
      for (int r = 0; r <= static_cast<int>(R::kNewerProgram); ++r) {
        for (const K kind : kinds) {
          for (const bool update : {true, false}) {
            const auto state = static_cast<S>(s);
            const auto recovery = static_cast<R>(r);
            const JobOutcome o = Failed(state, recovery, kind);
            const JobFacts job{.update = update};
            const std::string line = Verdict(o, front.terms, job);
            const std::string next = RecoverySentence(o, front.terms, job);
            SCOPED_TRACE(line);
            EXPECT_EQ(line, std::string(update ? "Update" : "Read") +
                                " failed: the adapter is a KTR558. " + StateSentence(o) +
                                (next.empty() ? "" : " " + next));
            EXPECT_TRUE(line.ends_with('.') && !Has(line, "  ") && !Has(line, "{}"));
            for (const std::string& foreign : front.foreign) EXPECT_FALSE(Has(next, foreign));
            bool named = false;
            for (const std::string& own : front.own) named = named || Has(next, own);
            if (recovery != R::kCheckConnection) {  // its checks name cables and networks
              EXPECT_EQ(named, recovery != R::kNothing && recovery != R::kContactMaker &&
                                   recovery != R::kNewerProgram);
            }
            EXPECT_EQ(Has(line, "no working firmware until an update finishes"),
                      state == S::kInDownloadMode);
            const bool finishes =
                recovery == R::kAnotherFileRecover || recovery == R::kRecoverIfDownloadMode ||
                (recovery == R::kPowerCycleThenUpdate && state == S::kInDownloadMode);
            EXPECT_EQ(Has(next, front.finish), finishes);
            EXPECT_EQ(Has(next, "ower the adapter off and on"),
                      recovery == R::kPowerCycleThenUpdate);
            EXPECT_EQ(Has(next, "2,000,000 baud"),
                      recovery == R::kPowerCycleThenUpdate && state == S::kInDownloadMode);
            EXPECT_EQ(Has(next, "odd number of lines"),
                      recovery == R::kAnotherFileRecover && kind == K::kOddFileNotClosed);
            if (recovery == R::kAnotherFile) {
              EXPECT_TRUE(Has(next, kind == K::kUpgradeFirst     ? "the firmware the message"
                                    : kind == K::kFirmwareHigher ? "a newer file for KTR5577"
                                    : kind == K::kModelMismatch  ? "a file for KTR558"
                                                                 : "a sound firmware file"));
            }
            if (recovery == R::kRecoverIfDownloadMode) {
              EXPECT_EQ(Has(next, ModelNames(Family::kBlock)), !update);
              EXPECT_EQ(Has(next, "If it is a KTR5577"), update);
            }
            EXPECT_EQ(RecoverQuestion(o, job).empty(),
                      !update || recovery != R::kRecoverIfDownloadMode);
          }
        }
      }
    }
  }
}

// The headlines every front end shares, with its own way to read the version; a check is the
// command line's alone.
TEST(OutcomeWords, HeadlinesAndLooks) {
  JobOutcome o;
  o.succeeded = true;
  o.adapterModel = "KTR5577", o.adapterName = "zOrbent BM";
  o.versionBefore = "2.2.2X", o.versionAfter = o.fileVersion = "2.2.3X";
  const JobFacts update{.seconds = 41.24};
  for (const FrontEnd& front : kFrontEnds) {
    EXPECT_EQ(Verdict(o, front.terms, update),
              "Update succeeded: KTR5577 (zOrbent BM) v2.2.2X -> v2.2.3X in 41.2 s");
    EXPECT_EQ(Verdict(o, front.terms, {.update = false}), "Read: KTR5577 v2.2.2X");
    JobOutcome unconfirmed = o;
    unconfirmed.kind = K::kNotConfirmed, unconfirmed.versionAfter = o.versionBefore;
    const std::string line = Verdict(unconfirmed, front.terms, update);
    EXPECT_TRUE(line.starts_with("Update not confirmed: the adapter still reports v2.2.2X"));
    EXPECT_TRUE(Has(line, &front == kFrontEnds ? "`zorbent-fw read`" : "press Read")) << line;
    EXPECT_EQ(LookOf(unconfirmed, true), OutcomeLook::kNotConfirmed);
    JobOutcome port;
    port.kind = K::kPortUnavailable;
    EXPECT_EQ(Verdict(port, front.terms, {.opened = false}),
              "Update failed: the adapter could not be reached. Nothing was sent to it.");
    EXPECT_EQ(LookOf(port, false), OutcomeLook::kFailed);
  }
  EXPECT_EQ(LookOf(o, true), OutcomeLook::kSucceeded);
  EXPECT_TRUE(Verdict(o, kCommandLineTerms, {.checkOnly = true})
                  .starts_with("Check passed: KTR5577 (zOrbent BM) v2.2.2X would be updated"));
  o.adapterModel.clear();
  EXPECT_TRUE(Has(Verdict(o, kPageTerms, {.update = false}), "a model this page does not know"));
}

// What a job waits for, with its longest time rounded up to whole seconds; the page names no
// device, which the browser chose.
TEST(OutcomeWords, WaitsSayWhatForAndHowLongAtMost) {
  using W = WaitFor;
  EXPECT_EQ(WaitWords({W::kConnection, "192.168.0.10:35000", 3000, 2, 3}, kWindowTerms),
            "Connecting to 192.168.0.10:35000 (attempt 2 of 3, up to 3 s) ...");
  EXPECT_EQ(WaitWords({W::kConnection, "COM3", 0, 1, 3}, kWindowTerms), "Opening COM3 ...");
  EXPECT_EQ(WaitWords({W::kConnection, "web-serial", 0, 3, 3}, kPageTerms),
            "Opening the adapter's port (attempt 3 of 3) ...");
  EXPECT_EQ(WaitWords({W::kAnswer, "QKVERS", 1500}, kPageTerms),
            "Waiting for the adapter's answer to QKVERS (2 s) ...");
  EXPECT_EQ(WaitWords({}, kWindowTerms), "");
  EXPECT_EQ(ProgressWords(42), "Sending the firmware: 42%");
}

}  // namespace
}  // namespace zorbent::ui
