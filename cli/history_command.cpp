#include "cli/history_command.h"

#include <cstdio>
#include <vector>

#include "firmware/history.h"
#include "platform/user_folders.h"

namespace zorbent::cli {
namespace {

std::string TextOf(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// "com|/dev/ttyUSB0:115200" as "/dev/ttyUSB0 at 115200", "tcp|HOST:PORT" as "HOST:PORT".
std::string Readable(const std::string& connection) {
  const std::size_t colon = connection.rfind(':');
  if (connection.starts_with("com|") && colon != std::string::npos && colon > 4)
    return connection.substr(4, colon - 4) + " at " + connection.substr(colon + 1);
  if (connection.starts_with("tcp|")) return connection.substr(4);
  return connection.empty() ? std::string("?") : connection;
}

std::string Version(const std::string& version) {
  return version.empty() ? std::string("?") : "v" + version;
}

// What came of it: the versions when it went as asked, else why not.
std::string Result(const nlohmann::json& entry) {
  const auto outcome = entry.find("outcome");
  bool succeeded = false;
  std::string kind;
  if (outcome != entry.end() && outcome->is_object()) {
    const auto flag = outcome->find("succeeded");
    succeeded = flag != outcome->end() && flag->is_boolean() && flag->get<bool>();
    kind = TextOf(*outcome, "kind");
  }
  const std::string command = TextOf(entry, "command");
  const std::string cause = TextOf(entry, "cause");
  const std::string before = Version(TextOf(entry, "version_before"));
  if (succeeded && command == "check")
    return "check passed: " + before + " → " + Version(TextOf(entry, "file_version"));
  if (succeeded && kind != "not_confirmed")
    return before + " → " + Version(TextOf(entry, "version_after"));
  if (succeeded) return "not confirmed: " + (cause.empty() ? std::string("?") : cause);
  return (command == "check" ? "check failed: " : "failed: ") +
         (cause.empty() ? std::string("?") : cause);
}

}  // namespace

std::string HistoryLine(const nlohmann::json& entry) {
  std::string time = TextOf(entry, "time");
  std::string model = TextOf(entry, "model");
  const auto duration = entry.find("duration_s");
  char seconds[32] = "?";
  if (duration != entry.end() && duration->is_number())
    std::snprintf(seconds, sizeof seconds, "%.1f s", duration->get<double>());
  std::string command = TextOf(entry, "command");
  return (time.empty() ? "?" : time) + "  " + (command.empty() ? "?" : command) + "  " +
         Readable(TextOf(entry, "connection")) + "  " + (model.empty() ? "?" : model) + "  " +
         Result(entry) + "  " + seconds;
}

int ShowHistory(std::size_t limit, OutputFormat format) {
  std::string error;
  const std::string path = HistoryPath(error);
  HistoryContents contents;
  if (path.empty() || !ReadHistory(path, contents, error)) {
    std::fprintf(stderr,
                 "zorbent-fw: the update history cannot be read: %s (%s names another folder "
                 "for it)\n",
                 error.c_str(), kDataFolderVariable);
    return 1;
  }
  for (const std::string& warning : contents.warnings)
    std::fprintf(stderr, "zorbent-fw: warning: %s\n", warning.c_str());
  const std::vector<nlohmann::json>& entries = contents.entries;
  const std::size_t first = limit > 0 && limit < entries.size() ? entries.size() - limit : 0;
  if (format == OutputFormat::kJson) {
    for (std::size_t i = first; i < entries.size(); ++i) WriteJsonLine(entries[i]);
    return 0;
  }
  if (entries.empty()) {
    std::printf("No update recorded yet in %s.\n", path.c_str());
    return 0;
  }
  for (std::size_t i = first; i < entries.size(); ++i)
    std::printf("%s\n", HistoryLine(entries[i]).c_str());
  return 0;
}

}  // namespace zorbent::cli
