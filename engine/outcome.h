#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "port/port_facts.h"

namespace zorbent {

// How far a job got. Each stage is entered before its first exchange, so a failure's stage
// says what was being done when it happened.
enum class Stage : std::uint8_t {
  kFile,             // loading and checking the firmware file
  kConnect,          // opening the port
  kIdentify,         // asking the adapter what it is (read-only)
  kGates,            // model, version and download-mode decisions (read-only)
  kDownloadStarted,  // the first command that changes the adapter went out
  kTransfer,         // sending the image
  kClose,            // ending the download
  kReadBack,         // asking for the new version
  kDone,
};

// What went wrong, first and most specific; kNone for a success.
enum class FailureKind : std::uint8_t {
  kNone,
  kStopped,           // a stop request
  kFileUnusable,      // the file rule: missing, not a regular file, size, unreadable
  kFileFormat,        // the image check refused the content
  kPortUnavailable,   // the port could not be opened or connected (see PortFacts)
  kPortGone,          // the port went away during the job (unplugged, connection closed)
  kSilent,            // no answer at all to the first question
  kOutOfTurn,         // answers that did not belong to their commands (a late answer)
  kUnanswered,        // a question a decision rests on got no answer of its own
  kNotIdentified,     // no model and no ELM327 banner: download mode not assumed
  kModelMismatch,     // the adapter is not the file's model or product
  kNotUpdatable,      // an adapter this program cannot update ("no upgrade function")
  kNoVersion,         // the adapter did not report its version
  kProgramTooOld,     // the adapter's ELM327 version is above what this program knows
  kAdapterTooOld,     // the adapter needs help from the maker
  kUpgradeFirst,      // an intermediate firmware must be installed first
  kFirmwareHigher,    // the adapter's firmware is past the file's gate
  kOlderFile,         // the file is older than the adapter's firmware
  kDownloadRefused,   // the adapter did not accept the download command
  kNotAcknowledged,   // a record or line was not acknowledged
  kRejected,          // the adapter rejected the image
  kCloseFailed,       // the adapter refused to end the download
  kCloseUnanswered,   // the end of the download got no answer
  kOddFileNotClosed,  // an odd line count: the adapter waits for a line never sent
  kNotConfirmed,      // finished, but the version read back is not the file's (or none)
};

// The adapter's state as far as the job saw it.
enum class AdapterState : std::uint8_t {
  kNotReached,           // no exchange happened
  kUnchanged,            // nothing that changes it was sent
  kInDownloadMode,       // its firmware is gone; an update must finish
  kMayBeInDownloadMode,  // a change was sent but its effect is not known
  kUpdatedConfirmed,     // it reports the file's version
  kUpdatedNotConfirmed,  // the download finished but the version read back is not the file's
};

// What the user can do next, for the family and the cause; front ends word it.
enum class Recovery : std::uint8_t {
  kNothing,                // done, or nothing would help from here (a stop on request)
  kCheckConnection,        // the port, cable, power, rate or network
  kRunAgain,               // the same command again (a late answer, a busy line)
  kPowerCycleThenUpdate,   // power the adapter off and on, then update again (with recover)
  kAnotherFile,            // this file cannot go to this adapter
  kAnotherFileRecover,     // in download mode, and only another file can finish it
  kRecoverIfDownloadMode,  // it did not name itself: if it was left in download mode, recover
  kAllowOlder,             // the file is older: only on the user's word
  kReadToTell,             // its state is unknown: a version read tells
  kContactMaker,           // the adapter cannot be updated by this program
  kNewerProgram,           // the adapter is newer than this program knows
};

// What the job heard from the adapter when it heard nothing useful: a wrong rate shows as
// bytes that are not text.
struct LineFacts {
  std::int32_t bytesSeen = 0;  // bytes received in answer to the first question
  bool garbled = false;        // they were not text: the rate is likely wrong
  bool late = false;           // answers came, but none in its time (a slow link)
};

// How a job ended: the one account every front end words (verdict lines, tray rows, exit
// status, colours, windows). The engine's text reports stay as they are; nothing is parsed
// back out of them.
struct JobOutcome {
  Stage stage = Stage::kFile;  // the last stage entered
  FailureKind kind = FailureKind::kNone;
  AdapterState state = AdapterState::kNotReached;
  Recovery recovery = Recovery::kNothing;
  bool succeeded = false;  // finished (for a check: would go ahead); see kind kNotConfirmed
  bool stoppedBeforeChange = false;  // stopped before the first command that changes the adapter
  std::string cause;                 // the first specific failure reported, as one line without
                                     // "**Failed** " ("Sending error on 5 line!")
  std::string detail;                // what the engine said about it on the next line, when it did
  std::string unanswered;            // the question a decision waited for in vain ("QKI")
  PortFacts port;                    // for kPortUnavailable and kPortGone
  LineFacts line;                    // for kSilent
  std::uint8_t family = 0;           // the file's: 1 block mode, 2 line mode, 0 unknown
  std::string adapterModel;          // "KTR5577", empty when not known
  std::string adapterName;           // what the adapter calls itself ("zOrbent BM")
  std::string versionBefore;         // the adapter's firmware version before the job
  std::string versionAfter;          // ... after it, read back once the update finished
  std::string fileVersion;           // the version the file holds
  std::string fileModel;             // the model the file is for ("KTR5577")
  bool foundInDownloadMode = false;  // taken to be in download mode before this job
  bool adapterChanged = false;       // a download was started: the old firmware is gone
  bool notIdentified = false;        // the adapter did not name itself
  bool olderFile = false;            // the file is older than the adapter's firmware
  bool sameVersion = false;          // ... the same version: a reinstall
  bool versionUnknown = false;       // the file's or the running version is not known, so
                                     // their order could not be checked
  bool rateSwitchFailed = false;     // the switch to the fast rate failed
  std::string banner;                // the adapter's answer to "ATI"
  std::string qkiAnswer;             // ... to "QKI"
  std::string qkversAnswer;          // ... to "QKVERS"
};

// Why a job failed, in a few words and no advice ("Sending error on 5 line", "stopped on
// request"): the cause every front end states before its own words on what to do.
std::string CauseInBrief(const JobOutcome& outcome);

// Fills state and recovery from what the outcome records (kind, stage, family, what was
// sent): one table for every front end.
void Conclude(JobOutcome& outcome);

}  // namespace zorbent
