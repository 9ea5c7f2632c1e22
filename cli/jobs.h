#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/firmware_info.h"

namespace zorbent::cli {

struct JobOptions {
  std::vector<std::string> connections;  // configuration strings, one adapter each
  std::string firmwareFile;              // empty for a version read
  // The file as the run read it, once: what every job sends and the history records. RunJobs
  // reads firmwareFile itself when it is null.
  std::shared_ptr<const CheckedFirmware> firmware;
  bool update = false;
  bool checkOnly = false;   // update --check: stop before the first command that changes it
  bool recover = false;     // update --recover: finish an interrupted update of the file's model
  bool allowOlder = false;  // update --allow-older: a file older than the adapter's may go
  bool quiet = false;
  bool json = false;         // --json: one object per adapter on stdout, the messages on stderr
  std::string repository;    // the repository the file is listed in (a URL), for the history
  bool keepHistory = false;  // record each update and check in the user's history
};

// Runs an update or a version read on every connection at once, one engine and one worker
// per adapter; one adapter's failure never stops the others. An update checks the file
// first and touches no adapter when it is bad. Each update ends with a verdict line. Ctrl-C
// asks every job to stop at its next transfer step; a hang-up only stops those that have not
// begun to change their adapter. Returns the exit status: 0 all succeeded, 1 any failed,
// kExitNotConfirmed when none failed but an update's new version was not read back as the
// file's. With keepHistory each update and check, on every adapter, leaves an entry in the
// history (one that cannot be written is warned about and changes nothing else).
inline constexpr int kExitNotConfirmed = 3;
int RunJobs(const JobOptions& options);

// Reads a list of configuration strings, one per line, each one's origin ("tray.txt line 3")
// into origins; blank lines and "#" comments (a whole line, or after an entry and a blank)
// are skipped. False (with a message in error) when the file cannot be read.
bool ReadConnectionList(const std::string& path, std::vector<std::string>& out,
                        std::vector<std::string>& origins, std::string& error);

// False, with a message naming both origins in error, when two connections reach one adapter:
// the same serial device however its path is spelled (a link, a bare name), or the same host
// and port. Two jobs on one adapter would garble each other's commands.
bool EachAdapterOnce(const std::vector<std::string>& connections,
                     const std::vector<std::string>& origins, std::string& error);

}  // namespace zorbent::cli
