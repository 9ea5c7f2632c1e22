#pragma once

#include <string>

#include "engine/outcome.h"

namespace zorbent::cli {

// The outcome's words (ui/outcome_words.h) in the command line's terms.

// The one line that says how an update (or `update --check`) ended and what to do next,
// from the job's outcome: "Update succeeded: ...", "Update failed: ...", "Check passed: ...",
// "Check failed: ...". opened: the connection was made at all.
std::string VerdictLine(const JobOutcome& outcome, bool opened, bool checkOnly, double seconds);
// The line after a version read that failed, "Read failed: ...", with what to do next (for an
// adapter left in download mode, how to finish the update); empty after a good read.
std::string ReadVerdictLine(const JobOutcome& outcome);

// Why a job failed, in a few words ("Sending error on 5 line", "stopped on request").
std::string Reason(const JobOutcome& outcome);
// The adapter's state in a word or two, for table rows ("in download mode").
std::string StateInBrief(const JobOutcome& outcome);

// What to do after an update stopped half-way, by the file's family (1 block, 2 line).
std::string RecoveryAdvice(int family);

// "KTR5577 (zOrbent BM) v2.2.30 -> v2.2.4X", for summaries.
std::string VersionChange(const JobOutcome& outcome);

}  // namespace zorbent::cli
