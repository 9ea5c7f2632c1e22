#include "cli/verdict.h"

#include <cstdio>

#include "engine/device_table.h"
#include "engine/port_line.h"
#include "engine/text.h"

namespace zorbent::cli {
namespace {

using K = FailureKind;

std::string Adapter(const JobOutcome& outcome) {
  if (outcome.adapterModel.empty()) return "the adapter";
  std::string text = outcome.adapterModel;
  if (!outcome.adapterName.empty()) text += " (" + outcome.adapterName + ")";
  return text;
}

std::string FileModel(const JobOutcome& outcome) {
  return outcome.fileModel.empty() ? std::string("this file's model") : outcome.fileModel;
}

constexpr const char* kNothingSent = "Nothing was sent that changes the adapter.";

std::string StateSentence(const JobOutcome& outcome) {
  switch (outcome.state) {
    case AdapterState::kNotReached:
      return "Nothing was sent to the adapter.";
    case AdapterState::kInDownloadMode:
      return "The adapter is in download mode.";
    case AdapterState::kMayBeInDownloadMode:
      return "The adapter did not answer " +
             (outcome.unanswered.empty() ? std::string("the last command") : outcome.unanswered) +
             ", so it may be in download mode.";
    default:
      return kNothingSent;
  }
}

std::string CheckConnection(const JobOutcome& outcome) {
  if (outcome.port.tcp) {
    return "Check that the adapter is on and that this computer is on the adapter's WiFi "
           "network.";
  }
  if (outcome.line.garbled) {
    return "A wrong rate gives that: the adapters answer at 115200 baud (--baud 115200).";
  }
  return "Check that it is powered and plugged in and that this is its port (`zorbent-fw "
         "detect` finds it).";
}

// A read has no file: the way to finish an interrupted update names the command and the
// file to give it.
constexpr const char* kUpdateRecover =
    "run `zorbent-fw update FILE --recover` with the firmware file that was being installed.";

std::string RecoverySentence(const JobOutcome& outcome, bool checkOnly, bool read) {
  const bool inDownloadMode = outcome.state == AdapterState::kInDownloadMode;
  if (read && outcome.recovery == Recovery::kRecoverIfDownloadMode) {
    return "If an interrupted update left it in download mode, power it off and on if it is a "
           "block-mode adapter (" +
           ModelNames(Family::kBlock) + "), then " + kUpdateRecover;
  }
  if (read && outcome.recovery == Recovery::kPowerCycleThenUpdate && inDownloadMode) {
    return "To finish the update: power the adapter off and on" +
           std::string(outcome.family == 1 ? " (it may still run at 2,000,000 baud)" : "") +
           ", then " + kUpdateRecover;
  }
  switch (outcome.recovery) {
    case Recovery::kNothing:
      return {};
    case Recovery::kCheckConnection:
      return CheckConnection(outcome);
    case Recovery::kRunAgain:
      return "Run the same command again.";
    case Recovery::kPowerCycleThenUpdate:
      if (!inDownloadMode) return "Power the adapter off and on, then run the same update again.";
      return "To finish the update: " + RecoveryAdvice(outcome.family) + ".";
    case Recovery::kAnotherFile:
      if (outcome.kind == K::kUpgradeFirst)
        return "Install the firmware the message names first, then this file.";
      if (outcome.kind == K::kFirmwareHigher)
        return "Use a newer file for " + FileModel(outcome) + ".";
      if (outcome.kind == K::kModelMismatch) {
        return "Use a file for " +
               (outcome.adapterModel.empty() ? std::string("this adapter") : outcome.adapterModel) +
               " (`zorbent-fw inspect FILE` tells which adapter a file is for).";
      }
      return "Use a sound firmware file for the adapter.";
    case Recovery::kAnotherFileRecover:
      if (outcome.kind == K::kOddFileNotClosed) {
        return "This adapter does not close a download without the file's last line, which a "
               "file with an odd number of lines never sends: update it with another file for " +
               FileModel(outcome) + " and --recover.";
      }
      return "Update it with a file for " +
             (outcome.adapterModel.empty() ? FileModel(outcome) : outcome.adapterModel) +
             " and --recover.";
    case Recovery::kRecoverIfDownloadMode:
      return "If it is a " + FileModel(outcome) +
             " left in download mode by an interrupted update, finish that update with " +
             (checkOnly ? "`zorbent-fw update` without --check and with --recover." : "--recover.");
    case Recovery::kAllowOlder:
      if (outcome.versionUnknown) return "To install the file anyway, add --allow-older.";
      return "To install the older file anyway, add --allow-older.";
    case Recovery::kReadToTell:
      return "`zorbent-fw read` tells.";
    case Recovery::kContactMaker:
      return "This program cannot update it.";
    case Recovery::kNewerProgram:
      return "This adapter needs a newer version of this program.";
  }
  return {};
}

}  // namespace

std::string Reason(const JobOutcome& outcome) {
  if (outcome.kind != K::kPortUnavailable) return CauseInBrief(outcome);
  std::string facts = PortFactsLine(outcome.port);  // "/dev/ttyUSB9: no such device."
  if (facts.ends_with('.')) facts.pop_back();
  return facts;
}

std::string StateInBrief(const JobOutcome& outcome) {
  switch (outcome.state) {
    case AdapterState::kNotReached:
      return "not reached";
    case AdapterState::kUnchanged:
      return "unchanged";
    case AdapterState::kInDownloadMode:
      return "in download mode";
    case AdapterState::kMayBeInDownloadMode:
      return "may be in download mode";
    case AdapterState::kUpdatedConfirmed:
      return "updated";
    case AdapterState::kUpdatedNotConfirmed:
      return "not confirmed";
  }
  return {};
}

std::string RecoveryAdvice(int family) {
  if (family == 1) {
    return "power the adapter off and on (it may still run at 2,000,000 baud), then run the same "
           "update again with --recover";
  }
  return "power the adapter off and on, then run the same update again with --recover";
}

std::string VersionChange(const JobOutcome& outcome) {
  const std::string before = outcome.foundInDownloadMode ? std::string("(was in download mode)")
                                                         : Version(outcome.versionBefore);
  return Adapter(outcome) + " " + before + " -> " + Version(outcome.versionAfter);
}

std::string VerdictLine(const JobOutcome& outcome, bool opened, bool checkOnly, double seconds) {
  const std::string job = checkOnly ? "Check" : "Update";
  if (!opened) return job + " failed: the adapter could not be reached. Nothing was sent to it.";
  if (checkOnly && outcome.succeeded) {
    const std::string how = outcome.sameVersion ? " would be reinstalled at "
                            : outcome.olderFile ? " would be downgraded to "
                                                : " would be updated to ";
    // Passed only on --allow-older: say that the order was not checked.
    const std::string unchecked =
        outcome.versionUnknown ? ", but the order of the versions could not be checked" : "";
    return "Check passed: " + Adapter(outcome) + " " + Version(outcome.versionBefore) + how +
           Version(outcome.fileVersion) + unchecked + ". " + kNothingSent;
  }
  if (outcome.succeeded && outcome.kind == K::kNotConfirmed) {
    if (outcome.versionAfter.empty()) {
      return "Update not confirmed: the download finished, but the adapter did not report its "
             "new version (file " +
             Version(outcome.fileVersion) + "); check with `zorbent-fw read`.";
    }
    const bool unchanged = outcome.versionAfter == outcome.versionBefore;
    return "Update not confirmed: the adapter " + std::string(unchanged ? "still " : "") +
           "reports " + Version(outcome.versionAfter) + " (file " + Version(outcome.fileVersion) +
           "); check with `zorbent-fw read`.";
  }
  if (outcome.succeeded) {
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    return "Update succeeded: " + VersionChange(outcome) + " in " + time;
  }
  std::string line = job + " failed: " + Reason(outcome) + ". " + StateSentence(outcome);
  const std::string next = RecoverySentence(outcome, checkOnly, false);
  return next.empty() ? line : line + " " + next;
}

std::string ReadVerdictLine(const JobOutcome& outcome) {
  if (outcome.succeeded) return {};
  const std::string line = "Read failed: " + Reason(outcome) + ". " + StateSentence(outcome);
  const std::string next = RecoverySentence(outcome, false, true);
  return next.empty() ? line : line + " " + next;
}

}  // namespace zorbent::cli
