#include "engine/outcome.h"

namespace zorbent {
namespace {

using K = FailureKind;
using S = AdapterState;
using R = Recovery;

AdapterState StateOf(const JobOutcome& o) {
  if (o.kind == K::kNotConfirmed) return S::kUpdatedNotConfirmed;
  if (o.succeeded) return o.stoppedBeforeChange ? S::kUnchanged : S::kUpdatedConfirmed;
  if (o.stage <= Stage::kConnect) return S::kNotReached;
  if (!o.adapterChanged) return o.foundInDownloadMode ? S::kInDownloadMode : S::kUnchanged;
  // A download command or the close that got no answer: it may have been taken or not.
  const bool unknown = o.kind == K::kCloseUnanswered ||
                       (o.kind == K::kDownloadRefused && !o.unanswered.empty()) ||
                       (o.kind == K::kPortGone && o.stage >= Stage::kClose);
  if (unknown) return S::kMayBeInDownloadMode;
  // A refused download command leaves an adapter that ran its firmware as it was.
  if (o.kind == K::kDownloadRefused && !o.foundInDownloadMode) return S::kUnchanged;
  return S::kInDownloadMode;
}

Recovery RecoveryOf(const JobOutcome& o) {
  if (o.state == S::kUpdatedNotConfirmed || o.state == S::kMayBeInDownloadMode)
    return R::kReadToTell;
  switch (o.kind) {
    case K::kNone:
    case K::kNotConfirmed:
      return R::kNothing;
    case K::kFileUnusable:
    case K::kFileFormat:
    case K::kModelMismatch:
    case K::kRejected:
    case K::kOddFileNotClosed:
    case K::kUpgradeFirst:
    case K::kFirmwareHigher:
      return o.state == S::kInDownloadMode ? R::kAnotherFileRecover : R::kAnotherFile;
    case K::kPortUnavailable:
      return R::kCheckConnection;
    case K::kSilent:  // silent at the normal rate, answering at the fast: a cut block download
      return o.state == S::kInDownloadMode ? R::kPowerCycleThenUpdate : R::kCheckConnection;
    case K::kOutOfTurn:
    case K::kUnanswered:
    case K::kNoVersion:
      return R::kRunAgain;
    case K::kNotIdentified:
      return R::kRecoverIfDownloadMode;
    case K::kNotUpdatable:
    case K::kAdapterTooOld:
      return R::kContactMaker;
    case K::kProgramTooOld:
      return R::kNewerProgram;
    case K::kOlderFile:
      return R::kAllowOlder;
    case K::kStopped:
    case K::kPortGone:
      return o.state == S::kInDownloadMode ? R::kPowerCycleThenUpdate
             : o.kind == K::kPortGone      ? R::kCheckConnection
                                           : R::kNothing;
    case K::kDownloadRefused:
    case K::kNotAcknowledged:
    case K::kCloseFailed:
    case K::kCloseUnanswered:
      return R::kPowerCycleThenUpdate;
  }
  return R::kNothing;
}

}  // namespace

std::string CauseInBrief(const JobOutcome& o) {
  switch (o.kind) {
    case K::kStopped:
      return "stopped on request";
    case K::kPortGone:
      return o.port.tcp ? "the connection to the adapter closed"
                        : "the adapter's device went away (unplugged?)";
    case K::kNotIdentified:
      return "the adapter did not identify itself";
    case K::kSilent:
      return o.line.garbled ? "the adapter answered with bytes that are not text"
             : o.line.late  ? "the adapter answered only late"
                            : "the adapter did not answer";
    case K::kOutOfTurn:
      return "the adapter's answers did not belong to their commands (a late answer)";
    default:
      break;
  }
  std::string reason = o.cause;
  while (!reason.empty() && (reason.back() == '!' || reason.back() == '.')) reason.pop_back();
  return reason.empty() ? std::string("the adapter did not answer") : reason;
}

void Conclude(JobOutcome& outcome) {
  outcome.state = StateOf(outcome);
  outcome.recovery = RecoveryOf(outcome);
}

}  // namespace zorbent
