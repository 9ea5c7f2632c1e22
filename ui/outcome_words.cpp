#include "ui/outcome_words.h"

#include <cstdio>

#include "engine/device_table.h"
#include "engine/text.h"
#include "engine/update_engine.h"

namespace zorbent::ui {
namespace {

using K = FailureKind;
using S = AdapterState;

constexpr const char* kFinishInterrupted =
    "press Update again; answer Yes when asked to finish the interrupted update";
// After a Read, which had no file.
constexpr const char* kFinishFromRead =
    "choose its firmware file, then press Update and answer Yes when asked to finish the "
    "interrupted update.";

// "KTR5577 (zOrbent BM)"
std::string Adapter(const JobOutcome& o) {
  const std::string model = o.adapterModel;
  if (model.empty()) return "the adapter";
  return o.adapterName.empty() ? model : model + " (" + o.adapterName + ")";
}

std::string ModelOr(const std::string& model, const char* otherwise) {
  return model.empty() ? std::string(otherwise) : model;
}

std::string UpdateEnded(const JobOutcome& o, double seconds) {
  const std::string file = " (file " + Version(o.fileVersion) + "); press Read to check.";
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
  std::snprintf(time, sizeof time, "%.1f s", seconds);
  const std::string before =
      o.foundInDownloadMode ? std::string("(was in download mode)") : Version(o.versionBefore);
  return "Update succeeded: " + Adapter(o) + " " + before + " -> " + Version(o.versionAfter) +
         " in " + time;
}

std::string ReadEnded(const JobOutcome& o) {
  const std::string model = o.adapterModel;
  const std::string version = o.versionBefore;
  if (model.empty())
    return "Read: " + Version(version) + ", from a model this program does not know";
  if (version.empty()) return "Read: " + model + ", which did not report its firmware version";
  return "Read: " + model + " v" + version;
}

std::string StateSentence(const JobOutcome& o) {
  switch (o.state) {
    case S::kNotReached:
      return "Nothing was sent to the adapter.";
    case S::kUnchanged:
      return "Nothing was sent that changes the adapter.";
    case S::kInDownloadMode:
      return "The adapter is in download mode: it has no working firmware until an update "
             "finishes.";
    case S::kMayBeInDownloadMode:
      return "The adapter did not answer " +
             (o.unanswered.empty() ? std::string("the last command") : o.unanswered) +
             ", so it may be in download mode.";
    case S::kUpdatedConfirmed:
      return "The adapter reports the file's version.";
    case S::kUpdatedNotConfirmed:
      return "The download finished, but the adapter does not report the file's version.";
  }
  return {};
}

std::string CheckConnection(const JobOutcome& o) {
  if (o.port.tcp) {
    return "Check that the adapter is on, that this computer is on its WiFi network, and the IP "
           "Address and IP Port fields.";
  }
  if (o.line.garbled) {
    return "Its answer was not text, which a wrong rate gives: choose 115200 in the Baudrate "
           "list.";
  }
  return "Check that it is powered and plugged in and that the Name list shows its device "
         "(Refresh lists the devices present).";
}

std::string AnotherFile(const JobOutcome& o) {
  switch (o.kind) {
    case K::kUpgradeFirst:
      return "Choose the firmware the message above names, install it, then this file.";
    case K::kFirmwareHigher:
      return "Choose a newer file for " + ModelOr(o.fileModel, "this adapter") +
             " and press Update again.";
    case K::kModelMismatch:
      return "Choose a file for " + ModelOr(o.adapterModel, "this adapter") +
             " and press Update again.";
    default:
      return "Choose a sound firmware file for the adapter and press Update again.";
  }
}

// What to do next, with the window's controls.
std::string RecoverySentence(const JobOutcome& o, bool update) {
  const std::string model = ModelOr(o.adapterModel, o.fileModel.c_str());
  switch (o.recovery) {
    case Recovery::kNothing:
      return {};
    case Recovery::kCheckConnection:
      return CheckConnection(o);
    case Recovery::kRunAgain:
      return update ? "Press Update again." : "Press Read again.";
    case Recovery::kPowerCycleThenUpdate:
      if (o.state != S::kInDownloadMode)
        return "Power the adapter off and on, then press Update again.";
      if (!update) return "Power the adapter off and on, " + std::string(kFinishFromRead);
      return "Power the adapter off and on, then " + std::string(kFinishInterrupted) + ".";
    case Recovery::kAnotherFile:
      return AnotherFile(o);
    case Recovery::kAnotherFileRecover:
      if (o.kind == K::kOddFileNotClosed) {
        return "This adapter does not close a download without the file's last line, which a "
               "file with an odd number of lines never sends: choose another file for " +
               ModelOr(model, "it") + ", then " + kFinishInterrupted + ".";
      }
      return "Choose a file for " + ModelOr(model, "it") + ", then " + kFinishInterrupted + ".";
    case Recovery::kRecoverIfDownloadMode:
      if (!update) {
        return "If an interrupted update left it in download mode, power it off and on if it is "
               "a block-mode adapter (" +
               ModelNames(Family::kBlock) + "), " + kFinishFromRead;
      }
      return "If it is a " + ModelOr(o.fileModel, "adapter of this file's model") +
             " left in download mode by an interrupted update, " + kFinishInterrupted + ".";
    case Recovery::kAllowOlder:
      return std::string("To install the ") + (o.versionUnknown ? "" : "older ") +
             "file anyway, press Update again and answer Yes when asked.";
    case Recovery::kReadToTell:
      return "To find out, press Read: it tells.";
    case Recovery::kContactMaker:
      return "This program cannot update it.";
    case Recovery::kNewerProgram:
      return "This adapter needs a newer version of this program.";
  }
  return {};
}

}  // namespace

std::string WindowVerdict(const JobOutcome& outcome, bool update, bool opened, double seconds) {
  const std::string job = update ? "Update" : "Read";
  if (!opened) {
    // The line before says what to do about the port (PortAdvice).
    return job + (outcome.kind == K::kPortUnavailable
                      ? " failed: the adapter could not be reached. Nothing was sent to it."
                      : " failed: the connection was not opened. Nothing was sent to the adapter.");
  }
  if (outcome.succeeded) return update ? UpdateEnded(outcome, seconds) : ReadEnded(outcome);
  const std::string line =
      job + " failed: " + CauseInBrief(outcome) + ". " + StateSentence(outcome);
  const std::string next = RecoverySentence(outcome, update);
  return next.empty() ? line : line + " " + next;
}

OutcomeLook LookOf(const JobOutcome& outcome, bool opened) {
  if (!opened || !outcome.succeeded) return OutcomeLook::kFailed;
  return outcome.kind == K::kNotConfirmed ? OutcomeLook::kNotConfirmed : OutcomeLook::kSucceeded;
}

std::string WaitWords(const WaitReport& wait) {
  const std::string limit = std::to_string((wait.limitMs + 999) / 1000) + " s";
  const std::string subject(wait.subject);
  switch (wait.what) {
    case WaitFor::kNothing:
      return {};
    case WaitFor::kConnection: {
      std::string text = (wait.limitMs > 0 ? "Connecting to " : "Opening ") + subject;
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
