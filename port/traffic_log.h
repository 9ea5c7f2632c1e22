#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent {

// Process-wide level; above 2 every serial port writes its traffic to a dated file.
int GetLogLevel();
void SetLogLevel(int level);

// Directory the dated log files go to (relative to the current directory by default).
std::string LogDirectory();
void SetLogDirectory(std::string directory);

// The files traffic logs of this process wrote to, and the ones they could not open
// ("path: reason"), each once, for a closing note to the user.
std::vector<std::string> TrafficLogFiles();
std::vector<std::string> TrafficLogFailures();

// One port's traffic log: open/close lines and every byte read and written.
class TrafficLog {
 public:
  // With an empty path the log has no file and discards every line.
  explicit TrafficLog(const std::string& path);
  virtual ~TrafficLog() = default;
  TrafficLog(const TrafficLog&) = delete;
  TrafficLog& operator=(const TrafficLog&) = delete;

  // Each returns the characters written, or -1 without a file.
  virtual int LogData(std::span<const std::uint8_t> bytes, std::string_view label,
                      std::string_view suffix);
  virtual int LogText(std::string_view text, std::string_view prefix, std::string_view suffix);
  virtual int LogRaw(std::string_view text);

  bool HasFile() const { return file_ != nullptr; }

  // Creates the log directory and returns today's file path, when logging is on; else "".
  static std::string PathForToday();

 private:
  int WriteLine(std::string_view prefix, std::size_t length, std::string_view body,
                std::string_view suffix);

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
};

}  // namespace zorbent
