#include "ui/outcome_words.h"
#include "engine/text.h"

#include <cctype>
#include <cstdio>

#include "engine/device_table.h"

namespace zorbent::ui {

const Terms kCommandLineTerms = {
    .program = "this program",
    .checkVersion = "check with `zorbent-fw read`",
    .repeatUpdate = "run the same command again",
    .repeatRead = "run the same command again",
    .updateAgain = "run the same update again",
    .finishInterrupted = "run the same update again with --recover",
    .finishUnnamed = "finish that update with --recover",
    .finishUnnamedAfterCheck =
        "finish that update with `zorbent-fw update` without --check and "
        "with --recover",
    .finishFromRead =
        "then run `zorbent-fw update FILE --recover` with the firmware file that "
        "was being installed",
    .useFile = "use {}",
    .recoverWith = "update it with {} and --recover",
    .whichFile = " (`zorbent-fw inspect FILE` tells which adapter a file is for)",
    .installFirst = "Install the firmware the message names first, then this file.",
    .installAnyway = "add --allow-older",
    .readVersions = "run `zorbent-fw read`",
    .checkWifi =
        "Check that the adapter is on and that this computer is on the adapter's WiFi "
        "network.",
    .checkSerial =
        "Check that it is powered and plugged in and that this is its port "
        "(`zorbent-fw detect` finds it).",
    .checkRate = "A wrong rate gives that: the adapters answer at 115200 baud (--baud 115200).",
    .portName = {},
};

// The window and the page finish an interrupted update with Update and the user's Yes.
constexpr std::string_view kPressUpdateToFinish =
    "press Update again; answer Yes when asked to finish the interrupted update";
constexpr std::string_view kChooseFileToFinish =
    "choose its firmware file, then press Update and answer Yes when asked to finish the "
    "interrupted update";

const Terms kWindowTerms = {
    .program = "this program",
    .checkVersion = "press Read to check",
    .repeatUpdate = "press Update again",
    .repeatRead = "press Read again",
    .updateAgain = "press Update again",
    .finishInterrupted = kPressUpdateToFinish,
    .finishUnnamed = kPressUpdateToFinish,
    .finishUnnamedAfterCheck = kPressUpdateToFinish,
    .finishFromRead = kChooseFileToFinish,
    .useFile = "choose {} and press Update again",
    .recoverWith =
        "choose {}, then press Update again; answer Yes when asked to finish the interrupted "
        "update",
    .whichFile = {},
    .installFirst = "Choose the firmware the message above names, install it, then this file.",
    .installAnyway = "press Update again and answer Yes when asked",
    .readVersions = "press Read",
    .checkWifi =
        "Check that the adapter is on, that this computer is on its WiFi network, and "
        "the IP Address and IP Port fields.",
    .checkSerial =
        "Check that it is powered and plugged in and that the Name list shows its "
        "device (Refresh lists the devices present).",
    .checkRate =
        "Its answer was not text, which a wrong rate gives: choose 115200 in the "
        "Baudrate list.",
    .portName = {},
};

// The page reaches its adapter over Web Serial only, which the browser chooses.
constexpr std::string_view kPageCheckPort =
    "Check that it is powered and plugged in (a Bluetooth adapter paired and on), then press "
    "Choose adapter and pick it again.";

const Terms kPageTerms = {
    .program = "this page",
    .checkVersion = "press Read to check",
    .repeatUpdate = "press Update again",
    .repeatRead = "press Read again",
    .updateAgain = "press Update again",
    .finishInterrupted = kPressUpdateToFinish,
    .finishUnnamed = kPressUpdateToFinish,
    .finishUnnamedAfterCheck = kPressUpdateToFinish,
    .finishFromRead = kChooseFileToFinish,
    .useFile = "choose {} and press Update again",
    .recoverWith =
        "choose {}, then press Update again; answer Yes when asked to finish the interrupted "
        "update",
    .whichFile = " (Choose file, or Newest firmware after a Read)",
    .installFirst = "Choose the firmware the message above names, install it, then this file.",
    .installAnyway = "press Update again and answer Yes when asked",
    .readVersions = "press Read",
    .checkWifi = kPageCheckPort,
    .checkSerial = kPageCheckPort,
    .checkRate =
        "Its answer was not text, which a wrong rate or another device gives: check "
        "that the adapter chosen is the adapter (Choose adapter).",
    .portName = "the adapter's port",
};

namespace {

using K = FailureKind;
using S = AdapterState;

constexpr std::string_view kNothingSent = "Nothing was sent that changes the adapter.";

// term with its "{}" replaced by what.
std::string Put(std::string_view term, std::string_view what) {
  std::string text(term);
  if (const std::size_t at = text.find("{}"); at != std::string::npos) text.replace(at, 2, what);
  return text;
}

std::string Capitalized(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

std::string Or(const std::string& text, std::string_view otherwise) {
  return text.empty() ? std::string(otherwise) : text;
}

// A block-mode adapter left in download mode may still talk at its download rate.
std::string PowerOffAndOn(int family) {
  return family == 1 ? "power the adapter off and on (it may still run at 2,000,000 baud)"
                     : "power the adapter off and on";
}

// "KTR5577 (zOrbent BM)"
std::string Adapter(const JobOutcome& o) {
  if (o.adapterModel.empty()) return "the adapter";
  return o.adapterName.empty() ? o.adapterModel : o.adapterModel + " (" + o.adapterName + ")";
}

std::string CheckConnection(const JobOutcome& o, const Terms& terms) {
  if (o.port.tcp) return std::string(terms.checkWifi);
  return std::string(o.line.garbled ? terms.checkRate : terms.checkSerial);
}

std::string AnotherFile(const JobOutcome& o, const Terms& terms) {
  switch (o.kind) {
    case K::kUpgradeFirst:
      return std::string(terms.installFirst);
    case K::kFirmwareHigher:
      return Capitalized(
                 Put(terms.useFile, "a newer file for " + Or(o.fileModel, "this adapter"))) +
             ".";
    case K::kModelMismatch:
      return Capitalized(Put(terms.useFile, "a file for " + Or(o.adapterModel, "this adapter") +
                                                std::string(terms.whichFile))) +
             ".";
    default:
      return Capitalized(Put(terms.useFile, "a sound firmware file for the adapter")) + ".";
  }
}

std::string AnotherFileRecover(const JobOutcome& o, const Terms& terms) {
  const std::string model = Or(Or(o.adapterModel, o.fileModel), "this adapter");
  if (o.kind == K::kOddFileNotClosed) {
    return "This adapter does not close a download without the file's last line, which a file "
           "with an odd number of lines never sends: " +
           Put(terms.recoverWith, "another file for " + model) + ".";
  }
  return Capitalized(Put(terms.recoverWith, "a file for " + model)) + ".";
}

std::string RecoverIfDownloadMode(const JobOutcome& o, const Terms& terms, const JobFacts& job) {
  if (!job.update) {
    return "If an interrupted update left it in download mode, power it off and on if it is a "
           "block-mode adapter (" +
           ModelNames(Family::kBlock) + "), " + std::string(terms.finishFromRead) + ".";
  }
  const std::string model =
      o.fileModel.empty() ? std::string("an adapter of this file's model") : "a " + o.fileModel;
  return "If it is " + model + " left in download mode by an interrupted update, " +
         std::string(job.checkOnly ? terms.finishUnnamedAfterCheck : terms.finishUnnamed) + ".";
}

std::string PowerCycle(const JobOutcome& o, const Terms& terms, const JobFacts& job) {
  if (o.state != S::kInDownloadMode)
    return "Power the adapter off and on, then " + std::string(terms.updateAgain) + ".";
  if (!job.update)
    return "To finish the update: " + PowerOffAndOn(o.family) + ", " +
           std::string(terms.finishFromRead) + ".";
  return "To finish the update: " + FinishAfterPowerCycle(o.family, terms) + ".";
}

std::string Succeeded(const JobOutcome& o, const Terms& terms, const JobFacts& job) {
  if (!job.update) {
    if (o.adapterModel.empty()) {
      return "Read: " + Version(o.versionBefore) + ", from a model " + std::string(terms.program) +
             " does not know";
    }
    if (o.versionBefore.empty())
      return "Read: " + o.adapterModel + ", which did not report its firmware version";
    return "Read: " + o.adapterModel + " v" + o.versionBefore;
  }
  if (job.checkOnly) {
    const std::string how = o.sameVersion ? " would be reinstalled at "
                            : o.olderFile ? " would be downgraded to "
                                          : " would be updated to ";
    // Passed only on the user's word to take an older file: the order was not checked.
    const std::string unchecked =
        o.versionUnknown ? ", but the order of the versions could not be checked" : "";
    return "Check passed: " + Adapter(o) + " " + Version(o.versionBefore) + how +
           Version(o.fileVersion) + unchecked + ". " + std::string(kNothingSent);
  }
  const std::string file =
      " (file " + Version(o.fileVersion) + "); " + std::string(terms.checkVersion) + ".";
  if (o.kind == K::kNotConfirmed && o.versionAfter.empty()) {
    return "Update not confirmed: the download finished, but the adapter did not report its "
           "new version" +
           file;
  }
  if (o.kind == K::kNotConfirmed) {
    const bool unchanged = o.versionAfter == o.versionBefore;
    return "Update not confirmed: the adapter " + std::string(unchanged ? "still " : "") +
           "reports " + Version(o.versionAfter) + file;
  }
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", job.seconds);
  return "Update succeeded: " + VersionChange(o) + " in " + time;
}

}  // namespace

std::string StateSentence(const JobOutcome& o) {
  switch (o.state) {
    case S::kNotReached:
      return "Nothing was sent to the adapter.";
    case S::kUnchanged:
      return std::string(kNothingSent);
    case S::kInDownloadMode:
      return "The adapter is in download mode: it has no working firmware until an update "
             "finishes.";
    case S::kMayBeInDownloadMode:
      return "The adapter did not answer " + Or(o.unanswered, "the last command") +
             ", so it may be in download mode.";
    case S::kUpdatedConfirmed:
      return "The adapter reports the file's version.";
    case S::kUpdatedNotConfirmed:
      return "The download finished, but the adapter does not report the file's version.";
  }
  return {};
}

std::string RecoverySentence(const JobOutcome& o, const Terms& terms, const JobFacts& job) {
  switch (o.recovery) {
    case Recovery::kNothing:
      return {};
    case Recovery::kCheckConnection:
      return CheckConnection(o, terms);
    case Recovery::kRunAgain:
      return Capitalized(std::string(job.update ? terms.repeatUpdate : terms.repeatRead)) + ".";
    case Recovery::kPowerCycleThenUpdate:
      return PowerCycle(o, terms, job);
    case Recovery::kAnotherFile:
      return AnotherFile(o, terms);
    case Recovery::kAnotherFileRecover:
      return AnotherFileRecover(o, terms);
    case Recovery::kRecoverIfDownloadMode:
      return RecoverIfDownloadMode(o, terms, job);
    case Recovery::kAllowOlder:
      return std::string("To install the ") + (o.versionUnknown ? "" : "older ") + "file anyway, " +
             std::string(terms.installAnyway) + ".";
    case Recovery::kReadToTell:
      return "To find out, " + std::string(terms.readVersions) + ": it tells.";
    case Recovery::kContactMaker:
      return Capitalized(std::string(terms.program)) + " cannot update it.";
    case Recovery::kNewerProgram:
      return "This adapter needs a newer version of " + std::string(terms.program) + ".";
  }
  return {};
}

std::string FinishAfterPowerCycle(int family, const Terms& terms) {
  return PowerOffAndOn(family) + ", then " + std::string(terms.finishInterrupted);
}

std::string Verdict(const JobOutcome& o, const Terms& terms, const JobFacts& job) {
  const std::string name = !job.update ? "Read" : job.checkOnly ? "Check" : "Update";
  if (!job.opened) {
    // Said after what to do about the port, which each front end words on its own.
    return name +
           (o.kind == K::kPortUnavailable
                ? " failed: the adapter could not be reached. Nothing was sent to it."
                : " failed: the connection was not opened. Nothing was sent to the adapter.");
  }
  if (o.succeeded) return Succeeded(o, terms, job);
  const std::string line = name + " failed: " + CauseInBrief(o) + ". " + StateSentence(o);
  const std::string next = RecoverySentence(o, terms, job);
  return next.empty() ? line : line + " " + next;
}

std::string RecoverQuestion(const JobOutcome& o, const JobFacts& job) {
  if (!job.update || !job.opened || o.succeeded || o.recovery != Recovery::kRecoverIfDownloadMode)
    return {};
  return "The adapter did not identify itself (it answered \"" + o.banner +
         "\" to ATI). If it is a " + Or(o.fileModel, "this file's model") +
         " left in download mode by an interrupted update, this file can finish that update, "
         "without model and version checks. Finish the interrupted update?";
}

OutcomeLook LookOf(const JobOutcome& o, bool opened) {
  if (!opened || !o.succeeded) return OutcomeLook::kFailed;
  return o.kind == K::kNotConfirmed ? OutcomeLook::kNotConfirmed : OutcomeLook::kSucceeded;
}

std::string VersionChange(const JobOutcome& o) {
  const std::string before =
      o.foundInDownloadMode ? std::string("(was in download mode)") : Version(o.versionBefore);
  return Adapter(o) + " " + before + " -> " + Version(o.versionAfter);
}

std::string WaitWords(const WaitReport& wait, const Terms& terms) {
  const std::string limit = std::to_string((wait.limitMs + 999) / 1000) + " s";
  const std::string subject(wait.subject);
  switch (wait.what) {
    case WaitFor::kNothing:
      return {};
    case WaitFor::kConnection: {
      std::string text = (wait.limitMs > 0 ? "Connecting to " : "Opening ") +
                         (terms.portName.empty() ? subject : std::string(terms.portName));
      if (wait.attempt > 1 || wait.limitMs > 0) {
        text += " (";
        if (wait.attempt > 1)
          text +=
              "attempt " + std::to_string(wait.attempt) + " of " + std::to_string(wait.attempts);
        if (wait.attempt > 1 && wait.limitMs > 0) text += ", ";
        if (wait.limitMs > 0) text += "up to " + limit;
        text += ")";
      }
      return text + " ...";
    }
    case WaitFor::kAnswer:
      return "Waiting for the adapter's answer" + (subject.empty() ? "" : " to " + subject) + " (" +
             limit + ") ...";
    case WaitFor::kQuietLine:
      return "Waiting for a late answer to pass (up to " + limit + ") ...";
    case WaitFor::kRestart:
      return "Waiting for the adapter to restart (" + limit + ") ...";
  }
  return {};
}

std::string ProgressWords(int percent) {
  return "Sending the firmware: " + std::to_string(percent) + "%";
}

}  // namespace zorbent::ui
