#include "port/traffic_log.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>

#include "platform/clock.h"
#include "platform/files.h"

namespace zorbent {
namespace {
std::atomic<int> logLevel{0};
std::mutex directoryMutex;
std::string& Directory() {
  static std::string dir = "DorezavarIrivirlog";
  return dir;
}

std::mutex filesMutex;
std::set<std::string> filesWritten;
std::set<std::string> filesFailed;

std::vector<std::string> Listed(const std::set<std::string>& set) {
  std::lock_guard lock(filesMutex);
  return {set.begin(), set.end()};
}

std::string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                LocalMilliseconds());
  return text;
}
}  // namespace

int GetLogLevel() {
  return logLevel.load();
}
void SetLogLevel(int level) {
  logLevel.store(level);
}

std::string LogDirectory() {
  std::lock_guard lock(directoryMutex);
  return Directory();
}

void SetLogDirectory(std::string directory) {
  std::lock_guard lock(directoryMutex);
  Directory() = std::move(directory);
}

std::string TrafficLog::PathForToday() {
  if (GetLogLevel() <= 2) return {};
  const std::string dir = LogDirectory();
  MakeDirectory(dir);  // it usually exists already; that is fine
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char date[32];
  std::snprintf(date, sizeof date, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return dir + "/port" + date + ".log";
}

std::vector<std::string> TrafficLogFiles() {
  return Listed(filesWritten);
}
std::vector<std::string> TrafficLogFailures() {
  return Listed(filesFailed);
}

TrafficLog::TrafficLog(const std::string& path) {
  if (path.empty()) return;
  file_.reset(std::fopen(path.c_str(), "a+"));
  const std::string why = file_ ? std::string() : std::strerror(errno);
  std::lock_guard lock(filesMutex);
  if (file_) {
    filesWritten.insert(path);
  } else {
    filesFailed.insert(path + ": " + why);
  }
}

int TrafficLog::WriteLine(std::string_view prefix, std::size_t length, std::string_view body,
                          std::string_view suffix) {
  if (!file_) return -1;
  const std::string stamp = TimeStamp();
  const int n = std::fprintf(file_.get(), "[time:%s]%.*s[len:%zu]%.*s%.*s\n", stamp.c_str(),
                             static_cast<int>(prefix.size()), prefix.data(), length,
                             static_cast<int>(body.size()), body.data(),
                             static_cast<int>(suffix.size()), suffix.data());
  std::fflush(file_.get());
  return n;
}

int TrafficLog::LogData(std::span<const std::uint8_t> bytes, std::string_view label,
                        std::string_view suffix) {
  if (!file_) return -1;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return WriteLine(label, bytes.size(), hex, suffix);
}

int TrafficLog::LogText(std::string_view text, std::string_view prefix, std::string_view suffix) {
  return WriteLine(prefix, text.size(), text, suffix);
}

int TrafficLog::LogRaw(std::string_view text) {
  if (!file_) return -1;
  const std::size_t n = std::fwrite(text.data(), 1, text.size(), file_.get());
  std::fflush(file_.get());
  return static_cast<int>(n);
}

}  // namespace zorbent
