#include "firmware/history.h"

#include <cmath>
#include <cstdio>

#include "firmware/outcome_json.h"
#include "firmware/text_lines.h"
#include "platform/record_file.h"
#include "platform/user_folders.h"

namespace zorbent {
std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss clock{seconds - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

nlohmann::json HistoryEntry(const JobRecord& record, const JobOutcome& outcome) {
  // Tenths of a millisecond are more than any job's timing means.
  const double seconds = std::round(record.seconds * 10000.0) / 10000.0;
  return {{"time", UtcTimeText(record.ended)},
          {"command", record.command},
          {"connection", record.connection},
          {"model", TextOrNull(outcome.adapterModel)},
          {"adapter_name", TextOrNull(outcome.adapterName)},
          {"version_before", TextOrNull(outcome.versionBefore)},
          {"version_after", TextOrNull(outcome.versionAfter)},
          {"file", TextOrNull(record.file)},
          {"file_sha256", TextOrNull(record.fileSha256)},
          {"file_version", TextOrNull(outcome.fileVersion)},
          {"file_model", TextOrNull(outcome.fileModel)},
          {"repository", TextOrNull(record.repository)},
          {"outcome", OutcomeJson(outcome)},
          {"cause", TextOrNull(record.cause)},
          {"duration_s", seconds}};
}

std::string JobCause(const JobOutcome& outcome) {
  if (!outcome.succeeded) return CauseInBrief(outcome);
  if (outcome.kind != FailureKind::kNotConfirmed) return {};
  if (outcome.versionAfter.empty()) return "the adapter did not report its new version";
  return "the adapter reports v" + outcome.versionAfter +
         (outcome.fileVersion.empty() ? std::string(", the file names no version")
                                      : ", not the file's v" + outcome.fileVersion);
}

std::string HistoryPath(std::string& error) {
  const std::string folder = UserDataFolder(error);
  return folder.empty() ? std::string() : folder + kFolderSeparator + "history.jsonl";
}

bool AppendHistory(const std::string& path, const std::vector<nlohmann::json>& entries,
                   std::string& error) {
  std::string lines;
  for (const nlohmann::json& entry : entries) lines += JsonLine(entry);
  return lines.empty() || AppendLines(path, lines, error);
}

bool ReadHistory(const std::string& path, HistoryContents& contents, std::string& error) {
  contents = HistoryContents{};
  std::string text;
  if (!ReadLines(path, text, kMaxHistoryBytes, error)) return false;
  TextLines lines(text);
  for (std::string_view line; lines.Next(line);) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object()) {
      contents.warnings.push_back(
          path + " line " + std::to_string(lines.Number()) + " is damaged (" +
          (entry.is_discarded() ? "not JSON" : "not a JSON object") + "): skipped");
      continue;
    }
    contents.entries.push_back(std::move(entry));
  }
  return true;
}

}  // namespace zorbent
