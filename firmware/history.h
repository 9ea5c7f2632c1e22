#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/outcome.h"

namespace zorbent {

// One job on one adapter, besides its outcome, as the history keeps it and --json shows it.
struct JobRecord {
  std::string command;     // "update", "check" (update --check) or "read"
  std::string connection;  // the configuration string ("com|/dev/ttyUSB0:115200")
  std::string file;        // the firmware file's path; empty for a read
  std::string fileSha256;  // its SHA-256 in hex, when it was read
  std::string repository;  // the repository (a URL) listing the file; empty when none
  std::string cause;       // why it failed, in a few words; empty when it did not
  double seconds = 0;      // how long the job took
  std::chrono::system_clock::time_point ended = std::chrono::system_clock::now();
};

// The history entry of a job: time (UTC, ISO 8601), command, connection, model, adapter_name,
// version_before, version_after, file, file_sha256, file_version, file_model, repository,
// outcome (OutcomeJson), cause and duration_s; facts not known are null.
nlohmann::json HistoryEntry(const JobRecord& record, const JobOutcome& outcome);

// Why a job did not end as asked, in a few words, for its entry; empty when it did.
std::string JobCause(const JobOutcome& outcome);

// "2026-12-09T08:37:50Z".
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// The history file in the user's data folder (history.jsonl), the folder made when missing.
// Empty, with a sentence in error, when there is no such folder.
std::string HistoryPath(std::string& error);

// Appends the entries, one JSON object per line, in one locked write flushed to the disk, so
// runs at the same time never mix their lines. False with a sentence in error.
bool AppendHistory(const std::string& path, const std::vector<nlohmann::json>& entries,
                   std::string& error);

// What a history file holds: its entries, oldest first, and a warning for each damaged line
// (not JSON, or not an object), which is skipped.
struct HistoryContents {
  std::vector<nlohmann::json> entries;
  std::vector<std::string> warnings;
};
// False with a sentence in error when the file cannot be read; a missing one holds nothing.
bool ReadHistory(const std::string& path, HistoryContents& contents, std::string& error);

// The largest history read; a longer one is to be moved away.
inline constexpr std::int64_t kMaxHistoryBytes = std::int64_t{64} * 1024 * 1024;

}  // namespace zorbent
