#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent::cli {

// The terminal shared by every job of one run. Messages go to stdout ("\r\n" as "\n"),
// progress to stderr: on a terminal a live bar per job, redrawn below the messages;
// otherwise one "progress N%" line per change. A stream whose write failed for good (a closed
// pipe, a terminal gone) is not written again: the jobs go on without it.
class Console {
 public:
  Console(bool quiet, std::FILE* out = stdout, std::FILE* err = stderr);
  // Adds a job; its lines carry prefix (empty for a single job). Returns its index.
  std::size_t AddJob(std::string prefix);
  void Line(std::size_t job, std::string_view line);
  void Progress(std::size_t job, int percent);
  // Plain text for the user (hints, summaries), kept clear of the progress bars.
  void WriteMessage(std::string_view text);
  void Finish();

 private:
  void EraseBoard();
  void DrawBoard();
  // After writes to file: marks it dead once a write failed for good.
  static void Settle(std::FILE* file, bool& dead);

  std::mutex mutex_;
  bool quiet_;
  bool terminal_;
  std::FILE* out_;
  std::FILE* err_;
  bool outDead_ = false;
  bool errDead_ = false;
  struct Job {
    std::string prefix;
    int percent = -1;
  };
  std::vector<Job> jobs_;
  int boardLines_ = 0;
};

// One job's engine callback target: collects the engine's texts into lines for the console
// and keeps a transcript of everything reported.
class ConsoleReport {
 public:
  ConsoleReport(Console& console, std::size_t job) : console_(console), job_(job) {}
  static void Callback(void* context, std::int32_t kind, std::intptr_t value);

  void Text(std::string_view text);
  void Progress(int percent);
  void Finish();

  int LastProgress() const { return lastProgress_; }
  const std::string& Transcript() const { return transcript_; }

 private:
  Console& console_;
  std::size_t job_;
  int lastProgress_ = -1;
  std::string pending_;
  std::string transcript_;
};

}  // namespace zorbent::cli
