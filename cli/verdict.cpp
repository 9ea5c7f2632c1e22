#include "cli/verdict.h"

#include <cstdio>

namespace zorbent::cli {
namespace {

std::string Adapter(const JobOutcome& outcome) {
  if (outcome.adapterModel.empty()) return "the adapter";
  std::string text = outcome.adapterModel;
  if (!outcome.adapterName.empty()) text += " (" + outcome.adapterName + ")";
  return text;
}

std::string Version(const std::string& version) {
  return version.empty() ? std::string("an unknown version") : "v" + version;
}

std::string Reason(const JobOutcome& outcome) {
  if (outcome.stopped) return "stopped on request";
  if (outcome.portGone) return "the adapter's port went away (unplugged?)";
  if (outcome.notIdentified && !outcome.foundInDownloadMode)
    return "the adapter did not identify itself";
  std::string reason = outcome.failure.empty() ? outcome.lastMessage : outcome.failure;
  while (!reason.empty() && (reason.back() == '!' || reason.back() == '.')) reason.pop_back();
  return reason.empty() ? std::string("the adapter did not answer") : reason;
}

std::string FileModel(const JobOutcome& outcome) {
  return outcome.fileModel.empty() ? std::string("this file's model") : outcome.fileModel;
}

constexpr const char* kNothingSent = "Nothing was sent that changes the adapter.";

// What else the user can do after a refusal that changed nothing.
std::string NextStep(const JobOutcome& outcome) {
  if (outcome.notIdentified && !outcome.foundInDownloadMode) {
    return " If it is a " + FileModel(outcome) +
           " left in download mode by an interrupted update, finish that update with "
           "--recover.";
  }
  if (outcome.olderFile) return " To install the older file anyway, add --allow-older.";
  return "";
}

}  // namespace

std::string RecoveryAdvice(int family) {
  if (family == 1) {
    return "power the adapter off and on (it may still run at 2,000,000 baud), then run the same "
           "update again with --recover";
  }
  return "run the same update again with --recover to finish it";
}

std::string VersionChange(const JobOutcome& outcome) {
  const std::string before = outcome.foundInDownloadMode ? std::string("(was in download mode)")
                                                         : Version(outcome.versionBefore);
  return Adapter(outcome) + " " + before + " -> " + Version(outcome.versionAfter);
}

std::string VerdictLine(const JobOutcome& outcome, bool opened, bool checkOnly, double seconds) {
  if (!opened) {
    return std::string(checkOnly ? "Check" : "Update") +
           " failed: the adapter could not be reached. Nothing was sent to it.";
  }
  if (checkOnly) {
    if (outcome.succeeded) {
      const std::string how = outcome.sameVersion ? " would be reinstalled at "
                              : outcome.olderFile ? " would be downgraded to "
                                                  : " would be updated to ";
      return "Check passed: " + Adapter(outcome) + " " + Version(outcome.versionBefore) + how +
             Version(outcome.fileVersion) + ". " + kNothingSent;
    }
    return "Check failed: " + Reason(outcome) + ". " + kNothingSent + NextStep(outcome);
  }
  if (outcome.succeeded && outcome.versionNotConfirmed) {
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
  const std::string head = "Update failed: " + Reason(outcome) + ". ";
  if (outcome.closeUnanswered) {
    return head +
           "The adapter did not answer the close of the download, so it may be in download "
           "mode: `zorbent-fw read` tells.";
  }
  if (outcome.oddFileNotClosed) {
    return head +
           "This adapter does not close a download without the file's last line, which a file "
           "with an odd number of lines never sends: this file cannot finish, another file is "
           "needed. The adapter is in download mode: update it with another file for " +
           FileModel(outcome) + " and --recover.";
  }
  if (outcome.foundInDownloadMode || outcome.adapterChanged) {
    return head + "The adapter is in download mode: " + RecoveryAdvice(outcome.family) + ".";
  }
  return head + kNothingSent + NextStep(outcome);
}

}  // namespace zorbent::cli
