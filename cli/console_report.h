#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace zorbent::cli {

// Renders engine reports for a terminal: messages on stdout ("\r\n" as "\n"), progress on
// stderr (a bar on a terminal, one "progress N%" line per change otherwise).
class ConsoleReport {
 public:
  ConsoleReport(bool quiet, std::string prefix = {});
  static void Callback(void* context, std::int32_t kind, std::intptr_t value);

  void Text(std::string_view text);
  void Progress(int percent);
  // Ends a progress bar line so the next output starts on a fresh line.
  void Finish();

  int LastProgress() const { return lastProgress_; }
  const std::string& Transcript() const { return transcript_; }

 private:
  bool quiet_;
  bool barOnTerminal_;
  bool barDrawn_ = false;
  int lastProgress_ = -1;
  std::string prefix_;
  std::string pending_;  // text of a line not ended yet
  std::string transcript_;
};

}  // namespace zorbent::cli
