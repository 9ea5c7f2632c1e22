#include "firmware/outcome_json.h"

namespace zorbent {

std::string_view StageName(Stage stage) {
  switch (stage) {
    case Stage::kFile:
      return "file";
    case Stage::kConnect:
      return "connect";
    case Stage::kIdentify:
      return "identify";
    case Stage::kGates:
      return "gates";
    case Stage::kDownloadStarted:
      return "download_started";
    case Stage::kTransfer:
      return "transfer";
    case Stage::kClose:
      return "close";
    case Stage::kReadBack:
      return "read_back";
    case Stage::kDone:
      return "done";
  }
  return "unknown";
}

std::string_view KindName(FailureKind kind) {
  using K = FailureKind;
  switch (kind) {
    case K::kNone:
      return "none";
    case K::kStopped:
      return "stopped";
    case K::kFileUnusable:
      return "file_unusable";
    case K::kFileFormat:
      return "file_format";
    case K::kPortUnavailable:
      return "port_unavailable";
    case K::kPortGone:
      return "port_gone";
    case K::kSilent:
      return "silent";
    case K::kOutOfTurn:
      return "out_of_turn";
    case K::kUnanswered:
      return "unanswered";
    case K::kNotIdentified:
      return "not_identified";
    case K::kModelMismatch:
      return "model_mismatch";
    case K::kNotUpdatable:
      return "not_updatable";
    case K::kNoVersion:
      return "no_version";
    case K::kProgramTooOld:
      return "program_too_old";
    case K::kAdapterTooOld:
      return "adapter_too_old";
    case K::kUpgradeFirst:
      return "upgrade_first";
    case K::kFirmwareHigher:
      return "firmware_higher";
    case K::kOlderFile:
      return "older_file";
    case K::kDownloadRefused:
      return "download_refused";
    case K::kNotAcknowledged:
      return "transfer";
    case K::kRejected:
      return "rejected";
    case K::kCloseFailed:
      return "close_failed";
    case K::kCloseUnanswered:
      return "close_unanswered";
    case K::kOddFileNotClosed:
      return "odd_file_not_closed";
    case K::kNotConfirmed:
      return "not_confirmed";
  }
  return "unknown";
}

std::string_view StateName(AdapterState state) {
  switch (state) {
    case AdapterState::kNotReached:
      return "not_reached";
    case AdapterState::kUnchanged:
      return "unchanged";
    case AdapterState::kInDownloadMode:
      return "in_download_mode";
    case AdapterState::kMayBeInDownloadMode:
      return "may_be_in_download_mode";
    case AdapterState::kUpdatedConfirmed:
      return "updated_confirmed";
    case AdapterState::kUpdatedNotConfirmed:
      return "updated_not_confirmed";
  }
  return "unknown";
}

std::string_view RecoveryName(Recovery recovery) {
  using R = Recovery;
  switch (recovery) {
    case R::kNothing:
      return "nothing";
    case R::kCheckConnection:
      return "check_connection";
    case R::kRunAgain:
      return "run_again";
    case R::kPowerCycleThenUpdate:
      return "power_cycle_then_update";
    case R::kAnotherFile:
      return "another_file";
    case R::kAnotherFileRecover:
      return "another_file_recover";
    case R::kRecoverIfDownloadMode:
      return "recover_if_download_mode";
    case R::kAllowOlder:
      return "allow_older";
    case R::kReadToTell:
      return "read_to_tell";
    case R::kContactMaker:
      return "contact_maker";
    case R::kNewerProgram:
      return "newer_program";
  }
  return "unknown";
}

nlohmann::json OutcomeJson(const JobOutcome& outcome) {
  return {{"succeeded", outcome.succeeded},
          {"stage", StageName(outcome.stage)},
          {"kind", KindName(outcome.kind)},
          {"state", StateName(outcome.state)},
          {"recovery", RecoveryName(outcome.recovery)}};
}

nlohmann::json TextOrNull(const std::string& text) {
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

std::string JsonLine(const nlohmann::json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace zorbent
