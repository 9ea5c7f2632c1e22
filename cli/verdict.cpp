#include "cli/verdict.h"

#include "engine/port_line.h"
#include "ui/outcome_words.h"

namespace zorbent::cli {

using ui::kCommandLineTerms;

std::string Reason(const JobOutcome& outcome) {
  if (outcome.kind != FailureKind::kPortUnavailable) return CauseInBrief(outcome);
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
  return ui::FinishAfterPowerCycle(family, kCommandLineTerms);
}

std::string VersionChange(const JobOutcome& outcome) {
  return ui::VersionChange(outcome);
}

std::string VerdictLine(const JobOutcome& outcome, bool opened, bool checkOnly, double seconds) {
  return ui::Verdict(outcome, kCommandLineTerms, {true, checkOnly, opened, seconds});
}

std::string ReadVerdictLine(const JobOutcome& outcome) {
  if (outcome.succeeded) return {};
  return ui::Verdict(outcome, kCommandLineTerms, {.update = false});
}

}  // namespace zorbent::cli
