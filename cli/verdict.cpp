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
  std::string reason = outcome.failure.empty() ? outcome.lastMessage : outcome.failure;
  while (!reason.empty() && (reason.back() == '!' || reason.back() == '.')) reason.pop_back();
  return reason.empty() ? std::string("the adapter did not answer") : reason;
}

}  // namespace

std::string RecoveryAdvice(int family) {
  if (family == 1) {
    return "power the adapter off and on (it may still run at 2,000,000 baud), then run the same "
           "update again";
  }
  return "run the same update again to finish it";
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
      return "Check passed: " + Adapter(outcome) + " " + Version(outcome.versionBefore) +
             " would be updated to " + Version(outcome.fileVersion) +
             ". Nothing was sent that changes the adapter.";
    }
    return "Check failed: " + Reason(outcome) + ". Nothing was sent that changes the adapter.";
  }
  if (outcome.succeeded) {
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    return "Update succeeded: " + VersionChange(outcome) + " in " + time;
  }
  const std::string head = "Update failed: " + Reason(outcome) + ". ";
  if (outcome.foundInDownloadMode || outcome.adapterChanged) {
    return head + "The adapter is in download mode: " + RecoveryAdvice(outcome.family) + ".";
  }
  return head + "Nothing was sent that changes the adapter.";
}

}  // namespace zorbent::cli
