#include "cli/jobs.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/console_report.h"
#include "cli/firmware_info.h"
#include "cli/json_output.h"
#include "cli/port_advice.h"
#include "cli/verdict.h"
#include "engine/update_engine.h"
#include "firmware/history.h"
#include "firmware/outcome_json.h"
#include "platform/clock.h"
#include "platform/interrupt_watcher.h"
#include "platform/open_files.h"
#include "platform/serial_device.h"
#include "platform/thread.h"
#include "platform/user_folders.h"
#include "port/port_config.h"

namespace zorbent::cli {
namespace {

constexpr std::size_t kFilesPerAdapter = 4;
constexpr std::size_t kFilesReserved = 64;  // the program's own

struct Job {
  std::string connection;
  std::unique_ptr<ConsoleReport> report;
  UpdateEngine engine;  // each job owns its file and adapter fields
  int result = -1;
  bool opened = false;
  std::atomic<bool> done{false};
  double seconds = 0;
  std::chrono::system_clock::time_point ended = std::chrono::system_clock::now();
};

// image: the run's firmware, shared read-only by every job of a tray.
void RunOne(Job& job, const JobOptions& options, std::span<const std::uint8_t> image,
            StopSignal& stop) {
  const std::uint32_t start = TickCount();
  job.engine.Init(job.report.get(), &ConsoleReport::Callback);
  job.engine.UseStopSignal(stop);
  job.engine.checkOnly = options.checkOnly;
  job.engine.recover = options.recover;
  job.engine.allowOlder = options.allowOlder;
  const std::int32_t channel =
      job.engine.OpenPort(job.connection, options.update ? options.firmwareFile : "");
  job.opened = channel >= 0;
  if (channel < 0) {
    // The engine said what happened to the port; what to do about it is said here.
    const std::string advice = PortAdvice(job.engine.outcome.port);
    if (!advice.empty()) job.report->Text(advice + "\n");
  }
  if (channel >= 0) {
    job.result =
        options.update ? job.engine.Update(channel, image) : job.engine.ReadVersions(channel);
    job.engine.ClosePort(channel);
  }
  job.report->Finish();
  job.seconds = TicksSince(start) / 1000.0;
  job.ended = std::chrono::system_clock::now();
  if (options.update) {
    job.report->Text(VerdictLine(job.engine.outcome, job.opened, options.checkOnly, job.seconds) +
                     "\n");
  } else if (const std::string read = ReadVerdictLine(job.engine.outcome);
             job.opened && !read.empty()) {
    job.report->Text(read + "\n");
  }
}

// How one job ended, for its JSON object and its history entry.
struct FinishedJob {
  std::string connection;
  const JobOutcome& outcome;
  bool ok = false;
  double seconds = 0;
  std::chrono::system_clock::time_point ended;
};

// Why a job did not end as asked, in a few words (a port's problem named as the verdict names
// it); empty when it did.
std::string CauseOf(const FinishedJob& job) {
  return job.ok ? JobCause(job.outcome) : Reason(job.outcome);
}

// Each job's record: one JSON object per adapter on stdout with --json, and for an update or
// a check one history entry each, all in one append. A history that cannot be written is
// warned about in one line and changes nothing else.
void WriteJobRecords(const JobOptions& options, const FirmwareFacts& facts,
                     const std::vector<FinishedJob>& jobs) {
  JobRecord record;
  record.command = !options.update ? "read" : options.checkOnly ? "check" : "update";
  if (options.update) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(options.firmwareFile, ec);
    record.file = ec ? options.firmwareFile : absolute.string();
    record.fileSha256 = facts.sha256;
    record.repository = options.repository;
  }
  std::vector<nlohmann::json> entries;
  for (const FinishedJob& job : jobs) {
    record.connection = job.connection;
    record.cause = CauseOf(job);
    record.seconds = job.seconds;
    record.ended = job.ended;
    nlohmann::json entry = HistoryEntry(record, job.outcome);
    if (options.json) {
      nlohmann::json shown = entry;
      if (!options.update) {
        // A read has no before and after, and no file: the version it read, with the answers.
        for (const char* key : {"version_before", "version_after", "file", "file_sha256",
                                "file_version", "file_model", "repository"})
          shown.erase(key);
        shown["version"] = TextOrNull(job.outcome.versionBefore);
        shown["qkvers"] = TextOrNull(job.outcome.qkversAnswer);
        shown["qki"] = TextOrNull(job.outcome.qkiAnswer);
      }
      WriteJsonLine(shown);
    }
    entries.push_back(std::move(entry));
  }
  if (!options.update || !options.keepHistory) return;
  std::string error;
  const std::string path = HistoryPath(error);
  if (path.empty() || !AppendHistory(path, entries, error)) {
    std::fprintf(stderr,
                 "zorbent-fw: warning: this run was not recorded in the update history: %s (%s "
                 "names another folder for it)\n",
                 error.c_str(), kDataFolderVariable);
  }
}

// What the first Ctrl-C does, in the terms of the running command.
std::string StopHint(const JobOptions& options, bool downloading, int family) {
  const std::string again = " Press Ctrl-C again to quit at once.\n";
  if (!options.update) return "\nStopping: a version read changes nothing on the adapter." + again;
  if (options.checkOnly || !downloading) {
    return "\nStopping before the download begins: nothing that changes the adapter will be "
           "sent." +
           again;
  }
  return "\nStopping at the next transfer step. An adapter stopped in the middle of a download "
         "stays in download mode:\n" +
         RecoveryAdvice(family) + "." + again;
}

// The file gate, once for the whole tray: a bad file never reaches an adapter. True, said on
// text and in every adapter's record, when the file is refused.
bool FileRefused(const JobOptions& options, const CheckedFirmware& firmware, std::FILE* text) {
  const FirmwareFacts& facts = firmware.facts;
  if (firmware.usable) {
    if (facts.oddLines) {
      std::fprintf(text, "Note: %s has %s.\n", options.firmwareFile.c_str(),
                   OddLinesNote(facts).c_str());
    }
    return false;
  }
  std::fprintf(text, "**Failed** %s\n", firmware.why.c_str());
  std::fprintf(text,
               "%s failed: the firmware file is not usable. Nothing was sent to any "
               "adapter.\n",
               options.checkOnly ? "Check" : "Update");
  std::fflush(text);
  // Every adapter's record says so, though none was reached.
  JobOutcome refused;
  refused.kind = facts.loaded ? FailureKind::kFileFormat : FailureKind::kFileUnusable;
  refused.cause = firmware.why;
  refused.fileVersion = facts.version;  // what could be read of it
  refused.family = static_cast<std::uint8_t>(facts.family);
  Conclude(refused);
  std::vector<FinishedJob> ended;
  for (const std::string& connection : options.connections)
    ended.push_back({connection, refused, false, 0, std::chrono::system_clock::now()});
  WriteJobRecords(options, facts, ended);
  return true;
}

// A tray of adapters needs a device or socket, a wake-up and perhaps a traffic log each:
// 256 of them go past the usual soft limit of 1024 open files.
void RaiseOpenFilesFor(std::size_t adapters, std::FILE* text) {
  const std::size_t needed = kFilesReserved + kFilesPerAdapter * adapters;
  if (const std::size_t limit = RaiseOpenFileLimit(needed); limit < needed) {
    std::fprintf(
        text,
        "Warning: %zu adapters need about %zu open files, but this system allows this program "
        "%zu: some adapters may fail to open. Raise the limit (ulimit -n %zu) or update fewer "
        "adapters at once.\n",
        adapters, needed, limit, needed);
  }
}

// Ctrl-C and a hang-up, from before the first job starts to the run's end: the first Ctrl-C
// stops every job at its next step (StopHint says how), a second quits at once; a hang-up stops
// the jobs not yet downloading and lets the process end once no download is under way.
class TrayInterrupts {
 public:
  TrayInterrupts(const std::vector<std::unique_ptr<Job>>& jobs, const JobOptions& options,
                 int family, Console& console)
      : jobs_(jobs), watcher_([this, &options, family, &console](Interruption kind, int count) {
          if (kind == Interruption::kHangUp) {
            // The terminal is gone, so no hint. Jobs not yet downloading stop before their
            // first change; downloads under way are carried to their end (a closed Windows
            // console ends the process once none is left, or when the system no longer waits).
            stop_.Raise(StopLevel::kBeforeChange);
            hungUp_ = true;
            if (!MidDownload()) watcher_.EndWouldBeHarmless();
            return;
          }
          if (count == 1) {
            stop_.Raise(StopLevel::kNow);
            bool downloading = false;
            for (const auto& job : jobs_)
              downloading = downloading || job->engine.DownloadStarted();
            console.WriteMessage(StopHint(options, downloading, family));
          } else {
            console.WriteMessage("\nQuitting at once.\n");
            std::_Exit(130);
          }
        }) {}

  StopSignal& Stop() { return stop_; }  // the run's: a job starting later must not drop it

  void JobDone(Job& job) {
    job.done = true;
    if (hungUp_ && !MidDownload()) watcher_.EndWouldBeHarmless();
  }

 private:
  bool MidDownload() const {
    for (const auto& job : jobs_)
      if (!job->done && job->engine.DownloadStarted()) return true;
    return false;
  }

  const std::vector<std::unique_ptr<Job>>& jobs_;
  StopSignal stop_;
  std::atomic<bool> hungUp_{false};
  InterruptWatcher watcher_;  // last: it calls on the members above until it is gone
};

// Runs every job, each on a thread of its own when there are several.
void RunAll(const std::vector<std::unique_ptr<Job>>& jobs, const JobOptions& options,
            std::span<const std::uint8_t> image, TrayInterrupts& interrupts) {
  const auto runOne = [&](Job& job) {
    RunOne(job, options, image, interrupts.Stop());
    interrupts.JobDone(job);
  };
  if (jobs.size() == 1) {
    runOne(*jobs.front());
    return;
  }
  std::vector<std::unique_ptr<Thread>> workers;
  for (const auto& job : jobs) {
    workers.push_back(std::make_unique<Thread>([&job, &runOne] { runOne(*job); }));
    // A job the system gives no thread fails alone; the others are already running.
    if (!workers.back()->Started()) {
      job->engine.outcome.cause = "could not start";
      job->report->Text(
          "**Failed** could not start: the system refused a new thread. Nothing was sent to "
          "this adapter: run it again with fewer adapters at once.\n");
      if (options.update) {
        job->report->Text(std::string(options.checkOnly ? "Check" : "Update") +
                          " failed: could not start. Nothing was sent to the adapter.\n");
      }
    }
  }
  workers.clear();  // joins every worker
}

// A tray's table: one row per adapter, then the counts.
void PrintSummary(const std::vector<std::unique_ptr<Job>>& jobs, const JobOptions& options,
                  int failed, int unconfirmed, std::FILE* text) {
  std::fprintf(text, "\n%-40s %-11s %s\n", "adapter", "result", "detail");
  for (const auto& job : jobs) {
    const bool ok = job->result >= 0;
    const JobOutcome& outcome = job->engine.outcome;
    const bool notConfirmed = ok && outcome.kind == FailureKind::kNotConfirmed;
    std::string detail = !ok                 ? Reason(outcome) + " (" + StateInBrief(outcome) + ")"
                         : options.checkOnly ? std::string("the update would go ahead")
                         : options.update    ? VersionChange(outcome)
                                             : std::string("read");
    if (!job->opened) detail = Reason(outcome) + " (not reached)";
    if (notConfirmed) detail += " (file v" + outcome.fileVersion + ")";
    const char* result = !ok ? "FAILED" : notConfirmed ? "unconfirmed" : "ok";
    std::fprintf(text, "%-40s %-11s %s\n", job->connection.c_str(), result, detail.c_str());
  }
  std::fprintf(text, "%zu adapters: %zu succeeded, %d failed", jobs.size(),
               jobs.size() - static_cast<std::size_t>(failed + unconfirmed), failed);
  if (unconfirmed > 0) std::fprintf(text, ", %d not confirmed", unconfirmed);
  std::fprintf(text, "\n");
}

}  // namespace

bool ReadConnectionList(const std::string& path, std::vector<std::string>& out,
                        std::vector<std::string>& origins, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read connection list " + path;
    return false;
  }
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    // A "#" after a blank starts a comment; one inside a word (a device name) does not.
    for (std::size_t hash = line.find('#'); hash != std::string::npos;
         hash = line.find('#', hash + 1)) {
      if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
        line.resize(hash);
        break;
      }
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    const auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos) continue;
    out.push_back(line.substr(start));
    origins.push_back(path + " line " + std::to_string(number));
  }
  return true;
}

bool EachAdapterOnce(const std::vector<std::string>& connections,
                     const std::vector<std::string>& origins, std::string& error) {
  // What identifies the adapter behind each: the device as the system resolves it, or the
  // host (names are not case-sensitive) and port.
  std::vector<std::string> targets;
  for (const std::string& connection : connections) {
    ParsedConfig parsed;
    if (!ParseConfigString(connection, parsed)) {
      targets.emplace_back();  // refused on its own
      continue;
    }
    if (parsed.kind == PortKind::kTcp) {
      std::string host = parsed.config.Get("remote_ip");
      for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      targets.push_back(host + ":" + parsed.config.Get("remote_port"));
      continue;
    }
    const std::string path = SerialDevicePath(parsed.config.Get("name"));
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    targets.push_back(ec ? path : resolved.string());
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (targets[i].empty() || targets[i] != targets[j]) continue;
      error = origins[j] + " (\"" + connections[j] + "\") and " + origins[i] + " (\"" +
              connections[i] + "\") name the same adapter, " + targets[i] +
              ": give each adapter once";
      return false;
    }
  }
  return true;
}

int RunJobs(const JobOptions& options) {
  // With --json the messages go to stderr, and stdout carries the objects alone.
  std::FILE* const text = options.json ? stderr : stdout;
  std::shared_ptr<const CheckedFirmware> firmware = options.firmware;
  if (options.update && firmware == nullptr) firmware = ReadFirmware(options.firmwareFile);
  if (options.update && FileRefused(options, *firmware, text)) return 1;
  RaiseOpenFilesFor(options.connections.size(), text);
  Console console(options.quiet, text);
  const bool several = options.connections.size() > 1;
  std::vector<std::unique_ptr<Job>> jobs;
  for (const std::string& connection : options.connections) {
    auto job = std::make_unique<Job>();
    job->connection = connection;
    job->report =
        std::make_unique<ConsoleReport>(console, console.AddJob(several ? connection + ": " : ""));
    jobs.push_back(std::move(job));
  }
  const FirmwareFacts facts = firmware != nullptr ? firmware->facts : FirmwareFacts{};
  TrayInterrupts interrupts(jobs, options, facts.family, console);
  const std::span<const std::uint8_t> image = firmware != nullptr
                                                  ? std::span<const std::uint8_t>(firmware->image)
                                                  : std::span<const std::uint8_t>();
  if (!jobs.empty()) RunAll(jobs, options, image, interrupts);
  console.Finish();

  int failed = 0;
  int unconfirmed = 0;
  for (const auto& job : jobs) {
    failed += job->result < 0 ? 1 : 0;
    unconfirmed +=
        job->result >= 0 && job->engine.outcome.kind == FailureKind::kNotConfirmed ? 1 : 0;
  }
  if (several) PrintSummary(jobs, options, failed, unconfirmed, text);
  std::fflush(text);
  std::vector<FinishedJob> ended;
  for (const auto& job : jobs)
    ended.push_back(
        {job->connection, job->engine.outcome, job->result >= 0, job->seconds, job->ended});
  WriteJobRecords(options, facts, ended);
  if (failed > 0) return 1;
  return unconfirmed > 0 ? kExitNotConfirmed : 0;
}

}  // namespace zorbent::cli
