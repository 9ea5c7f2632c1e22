#pragma once

// How a job ended, in words, for every front end: the verdict line, the adapter's state, what
// to do next, the question before finishing an interrupted update and the line while a job
// waits. One decision table; each front end brings only the names of its own commands,
// options, buttons and fields (its Terms). Free of any toolkit: the command line, both windows
// and the page's WebAssembly engine build it.

#include <string>
#include <string_view>

#include "engine/link.h"
#include "engine/outcome.h"
#include "ui/main_view.h"

namespace zorbent::ui {

// A front end's own words. "{}" in a term stands for the file it is said about.
struct Terms {
  std::string_view program;                  // "this program"
  std::string_view checkVersion;             // after an unconfirmed update: how to read the version
  std::string_view repeatUpdate;             // the same update again, after a passing problem
  std::string_view repeatRead;               // ... the same read again
  std::string_view updateAgain;              // an update again, after a power cycle
  std::string_view finishInterrupted;        // the same update again, finishing the interrupted one
  std::string_view finishUnnamed;            // finishing it on an adapter that did not name itself
  std::string_view finishUnnamedAfterCheck;  // ... after a check, which finishes nothing
  std::string_view finishFromRead;           // finishing it after a read, which had no file
  std::string_view useFile;                  // another file: "use {}"
  std::string_view recoverWith;              // another file finishing the interrupted update
  std::string_view whichFile;                // how to tell which adapter a file is for, or empty
  std::string_view installFirst;             // the sentence for a file that needs another one first
  std::string_view installAnyway;            // an older file on the user's word
  std::string_view readVersions;             // a version read
  std::string_view checkWifi;                // the sentences for a silent adapter, by connection
  std::string_view checkSerial;
  std::string_view checkRate;  // ... one that answered with bytes that are not text
  std::string_view portName;   // the port a connection wait opens; empty: the engine's
};

extern const Terms kCommandLineTerms;  // names commands and options
extern const Terms kWindowTerms;       // names buttons, lists and fields
extern const Terms kPageTerms;         // names the page's buttons

// The job whose outcome is worded.
struct JobFacts {
  bool update = true;      // an update (or its check), not a version read
  bool checkOnly = false;  // the command line's `update --check`
  bool opened = true;      // the connection was made at all
  double seconds = 0;      // the job's time
};

// The line that closes a job: what happened, the adapter's state and what to do next.
std::string Verdict(const JobOutcome& outcome, const Terms& terms, const JobFacts& job);
// The adapter's state after a failed job ("The adapter is in download mode: ...").
std::string StateSentence(const JobOutcome& outcome);
// What to do next after a failed job; empty when nothing would help.
std::string RecoverySentence(const JobOutcome& outcome, const Terms& terms, const JobFacts& job);
// How to finish an update that stopped half-way, by the file's family (1 block, 2 line):
// "power the adapter off and on, then ...".
std::string FinishAfterPowerCycle(int family, const Terms& terms);
// The question after an adapter that did not name itself: whether this file may finish an
// interrupted update; empty when there is nothing to ask.
std::string RecoverQuestion(const JobOutcome& outcome, const JobFacts& job);

// How the job looks at a glance: a finished update whose version is not the file's is neither
// a success nor a failure.
OutcomeLook LookOf(const JobOutcome& outcome, bool opened);

// "KTR5577 (zOrbent BM) v2.2.30 -> v2.2.4X".
std::string VersionChange(const JobOutcome& outcome);

// The line under the bar while a job waits: what for and how long at most, so a silent
// adapter's seconds do not look like a program that hangs.
std::string WaitWords(const WaitReport& wait, const Terms& terms);
// The same line while the firmware goes out.
std::string ProgressWords(int percent);

}  // namespace zorbent::ui
