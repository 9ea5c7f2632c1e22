// The window's closing line for every recovery and adapter state: one line, in the window's
// terms, never a command line's.
#include "ui/outcome_words.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zorbent::ui {
namespace {

using K = FailureKind;
using S = AdapterState;
using R = Recovery;
using L = OutcomeLook;

struct Row {
  bool update;
  K kind;
  S state;
  R recovery;
  void (*tweak)(JobOutcome&);
  std::string words;  // the whole line, or a part of it when it starts with "..."
  L look = L::kFailed;
};

void None(JobOutcome&) {}
void Succeeded(JobOutcome& o) {
  o.succeeded = true;
}

TEST(WindowVerdict, WordsEveryRecoveryAndStateInTheWindowsTerms) {
  const std::string finish =
      "Power the adapter off and on, then press Update again; answer Yes when asked to finish "
      "the interrupted update.";
  const Row rows[] = {
      {true, K::kNone, S::kUpdatedConfirmed, R::kNothing, Succeeded,
       "Update succeeded: KTR5577 (zOrbent BM) v2.2.2X -> v2.2.3X in 41.2 s", L::kSucceeded},
      {true, K::kNone, S::kUpdatedConfirmed, R::kNothing,
       [](JobOutcome& o) { o.succeeded = o.foundInDownloadMode = true; },
       "...(zOrbent BM) (was in download mode) -> v2.2.3X in", L::kSucceeded},
      {true, K::kNotConfirmed, S::kUpdatedNotConfirmed, R::kNothing,
       [](JobOutcome& o) { o.succeeded = true, o.versionAfter = "2.2.2X"; },
       "Update not confirmed: the adapter still reports v2.2.2X (file v2.2.3X); press Read to "
       "check.",
       L::kNotConfirmed},
      {true, K::kNotConfirmed, S::kUpdatedNotConfirmed, R::kNothing,
       [](JobOutcome& o) { o.succeeded = true, o.versionAfter.clear(); },
       "...did not report its new version (file v2.2.3X); press Read to check.", L::kNotConfirmed},
      {false, K::kNone, S::kUnchanged, R::kNothing,
       [](JobOutcome& o) {
         o = {}, o.succeeded = true, o.adapterModel = "KTR5577", o.versionBefore = "2.2.30";
       },
       "Read: KTR5577 v2.2.30", L::kSucceeded},
      {false, K::kNone, S::kUnchanged, R::kNothing,
       [](JobOutcome& o) { o = {}, o.succeeded = true, o.versionBefore = "1.4"; },
       "Read: v1.4, from a model this program does not know", L::kSucceeded},
      {true, K::kNone, S::kNotReached, R::kNothing, [](JobOutcome& o) { o = {}, o.cause = "x!"; },
       "Update failed: x. Nothing was sent to the adapter."},
      {true, K::kStopped, S::kUnchanged, R::kNothing, None,
       "Update failed: stopped on request. Nothing was sent that changes the adapter."},
      {false, K::kSilent, S::kUnchanged, R::kCheckConnection,
       [](JobOutcome& o) { o.port.tcp = true; },
       "Read failed: the adapter did not answer. Nothing was sent that changes the adapter. Check "
       "that the adapter is on, that this computer is on its WiFi network, and the IP Address "
       "and IP Port fields."},
      {false, K::kSilent, S::kUnchanged, R::kCheckConnection,
       [](JobOutcome& o) { o.line.garbled = true; }, "...choose 115200 in the Baudrate list."},
      {true, K::kPortGone, S::kUnchanged, R::kCheckConnection, None,
       "...went away (unplugged?). Nothing was sent that changes the adapter. Check that it is "
       "powered and plugged in and that the Name list shows its device"},
      {false, K::kUnanswered, S::kUnchanged, R::kRunAgain, None, "...adapter. Press Read again."},
      {true, K::kOutOfTurn, S::kUnchanged, R::kRunAgain, None, "...Press Update again."},
      {true, K::kNotAcknowledged, S::kInDownloadMode, R::kPowerCycleThenUpdate, None,
       "Update failed: Sending error on 5 line. The adapter is in download mode: it has no "
       "working firmware until an update finishes. " +
           finish},
      {true, K::kDownloadRefused, S::kUnchanged, R::kPowerCycleThenUpdate, None,
       "...changes the adapter. Power the adapter off and on, then press Update again."},
      {true, K::kModelMismatch, S::kUnchanged, R::kAnotherFile,
       [](JobOutcome& o) { o.adapterModel = "KTR558", o.adapterName.clear(); },
       "...Choose a file for KTR558 and press Update again."},
      {true, K::kFirmwareHigher, S::kUnchanged, R::kAnotherFile, None,
       "...Choose a newer file for KTR5577"},
      {true, K::kUpgradeFirst, S::kUnchanged, R::kAnotherFile, None, "...install it, then this"},
      {true, K::kFileFormat, S::kNotReached, R::kAnotherFile, None, "...a sound firmware file"},
      {true, K::kRejected, S::kInDownloadMode, R::kAnotherFileRecover, None,
       "...Choose a file for KTR5577, then press Update again; answer Yes when asked to finish "
       "the interrupted update."},
      {true, K::kOddFileNotClosed, S::kInDownloadMode, R::kAnotherFileRecover, None,
       "...an odd number of lines never sends: choose another file for KTR5577, then press"},
      {true, K::kNotIdentified, S::kUnchanged, R::kRecoverIfDownloadMode, None,
       "...If it is a KTR5577 left in download mode by an interrupted update, press Update "
       "again; answer Yes"},
      {false, K::kNotIdentified, S::kUnchanged, R::kRecoverIfDownloadMode, None,
       "...power it off and on if it is a block-mode adapter (KTR558, KTR5688), choose its "
       "firmware file, then press Update and answer Yes when asked"},
      {false, K::kSilent, S::kInDownloadMode, R::kPowerCycleThenUpdate, None,
       "...Power the adapter off and on, choose its firmware file, then press Update and"},
      {true, K::kOlderFile, S::kUnchanged, R::kAllowOlder, None,
       "...anyway, press Update again and answer Yes when asked."},
      {true, K::kCloseUnanswered, S::kMayBeInDownloadMode, R::kReadToTell,
       [](JobOutcome& o) { o.unanswered = "QKFL"; },
       "...The adapter did not answer QKFL, so it may be in download mode. To find out, press "
       "Read: it tells."},
      {true, K::kNotUpdatable, S::kUnchanged, R::kContactMaker, None, "...cannot update it."},
      {true, K::kProgramTooOld, S::kUnchanged, R::kNewerProgram, None, "...a newer version of"},
  };
  for (const Row& row : rows) {
    JobOutcome o;
    o.adapterModel = o.fileModel = "KTR5577";
    o.adapterName = "zOrbent BM";
    o.versionBefore = "2.2.2X";
    o.versionAfter = o.fileVersion = "2.2.3X";
    o.cause = "Sending error on 5 line!";
    row.tweak(o);
    o.kind = row.kind, o.state = row.state, o.recovery = row.recovery;
    const std::string line = WindowVerdict(o, row.update, true, 41.24);
    SCOPED_TRACE(line);
    if (row.words.starts_with("...")) {
      EXPECT_THAT(line, ::testing::HasSubstr(row.words.substr(3)));
    } else {
      EXPECT_EQ(line, row.words);
    }
    EXPECT_EQ(LookOf(o, true), row.look);
    EXPECT_EQ(LookOf(o, false), L::kFailed);
    for (const char* cli : {"zorbent-fw", "--", "`", "\n", "\r"})
      EXPECT_EQ(line.find(cli), std::string::npos) << cli;
  }
  JobOutcome port;
  port.kind = K::kPortUnavailable;
  EXPECT_EQ(WindowVerdict(port, true, false, 0),
            "Update failed: the adapter could not be reached. Nothing was sent to it.");
  EXPECT_EQ(WindowVerdict({}, false, false, 0),
            "Read failed: the connection was not opened. Nothing was sent to the adapter.");
}

// What a command waits for, with its longest time, rounded up to whole seconds.
TEST(WaitWords, SayWhatForAndHowLongAtMost) {
  using W = WaitFor;
  const struct {
    WaitReport wait;
    const char* words;
  } rows[] = {
      {{W::kConnection, "192.168.0.10:35000", 3000, 1, 3},
       "Connecting to 192.168.0.10:35000 (up to 3 s) ..."},
      {{W::kConnection, "192.168.0.10:35000", 3000, 2, 3},
       "Connecting to 192.168.0.10:35000 (attempt 2 of 3, up to 3 s) ..."},
      {{W::kConnection, "COM3", 0, 1, 3}, "Opening COM3 ..."},
      {{W::kConnection, "COM3", 0, 3, 3}, "Opening COM3 (attempt 3 of 3) ..."},
      {{W::kAnswer, "QKVERS", 2000}, "Waiting for the adapter's answer to QKVERS (2 s) ..."},
      {{W::kAnswer, "", 1500}, "Waiting for the adapter's answer (2 s) ..."},
      {{W::kQuietLine, "", 5000}, "Waiting for a late answer to pass (up to 5 s) ..."},
      {{W::kRestart, "", 2000}, "Waiting for the adapter to restart (2 s) ..."},
      {{}, ""},
  };
  for (const auto& row : rows) EXPECT_EQ(WaitWords(row.wait), row.words);
  EXPECT_EQ(ProgressWords(42), "Sending the firmware: 42%");
}

}  // namespace
}  // namespace zorbent::ui
