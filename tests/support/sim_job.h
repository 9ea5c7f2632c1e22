#pragma once

// The engine's jobs against a simulated adapter: what the user is told and the adapter got.

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/update_engine.h"
#include "sim/adapter/adapter_simulator.h"
#include "sim/image/image_builder.h"

namespace zorbent::testing {

// Called after each report is kept, e.g. to stop the job or cut the power part-way.
using ReportHook = std::function<void(std::int32_t kind, std::intptr_t value)>;

struct JobRun {
  std::int32_t channel = -1;
  std::int32_t result = -1;
  std::string text;           // every reported text, in order
  std::vector<int> progress;  // every reported percentage, in order
  // Every wait said, as "SUBJECT/LIMIT" ("QKVERS/2000"), and how many were said and not ended.
  std::vector<std::string> waits;
  int waitsOpen = 0;
  bool waitInWait = false;
  ReportHook onReport;
  JobOutcome outcome;  // the engine's account of the job

  bool Said(const std::string& message) const { return text.find(message) != std::string::npos; }
  bool Failed() const { return Said("**Failed** "); }
  bool Finished() const { return Said("File download finished!\r\n"); }
  bool SaidInOrder(const std::vector<std::string>& messages) const {
    std::size_t at = 0;
    for (const std::string& m : messages) {
      at = text.find(m, at);
      if (at == std::string::npos) return false;
      at += m.size();
    }
    return true;
  }
  // Every "**Failed** " line, in order.
  std::vector<std::string> Failures() const {
    std::vector<std::string> lines;
    for (std::size_t at = text.find("**Failed** "); at != std::string::npos;
         at = text.find("**Failed** ", at + 1))
      lines.push_back(text.substr(at, text.find("\r\n", at) + 2 - at));
    return lines;
  }
};

inline void Record(void* context, std::int32_t kind, std::intptr_t value) {
  auto* run = static_cast<JobRun*>(context);
  if (kind == kReportText) {
    run->text.append(reinterpret_cast<const char*>(value));
  } else if (kind == kReportProgress) {
    run->progress.push_back(static_cast<int>(value));
  } else if (kind == kReportWait) {
    const auto& wait = *reinterpret_cast<const WaitReport*>(value);
    const bool ends = wait.what == WaitFor::kNothing;
    run->waitInWait = run->waitInWait || (!ends && run->waitsOpen > 0);
    run->waitsOpen += ends ? -1 : 1;
    if (!ends) run->waits.push_back(std::string(wait.subject) + "/" + std::to_string(wait.limitMs));
  }
  if (run->onReport) run->onReport(kind, value);
}

// A firmware file in a temporary directory of its own, removed with the object.
class FirmwareFile {
 public:
  explicit FirmwareFile(const std::string& content) {
    static std::atomic<int> serial{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("zorbent-flow-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "firmware.txt").string();
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~FirmwareFile() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  FirmwareFile(const FirmwareFile&) = delete;
  FirmwareFile& operator=(const FirmwareFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

// engine: the engine to use, so a test can run several jobs on one, as the window does.
inline JobRun RunJob(UpdateEngine& engine, const std::string& connection,
                     const std::string& firmwarePath, bool update, ReportHook onReport = {}) {
  JobRun run;
  run.onReport = std::move(onReport);
  engine.Init(&run, &Record);
  run.channel = engine.OpenPort(connection, firmwarePath);
  if (run.channel < 0) return run;
  run.result = update ? engine.Update(run.channel) : engine.ReadVersions(run.channel);
  run.outcome = engine.outcome;
  engine.ClosePort(run.channel);
  engine.Init(nullptr, nullptr);
  run.onReport = nullptr;
  return run;
}

inline JobRun RunUpdate(const std::string& connection, const std::string& firmwarePath) {
  UpdateEngine engine;
  return RunJob(engine, connection, firmwarePath, true);
}
inline JobRun RunRead(const std::string& connection) {
  UpdateEngine engine;
  return RunJob(engine, connection, "", false);
}

inline bool IsBlockModel(int model) {
  return model == 5 || model == 6;
}

// A simulated adapter of the model whose versions let a normal update through.
// The tests' adapters send their first line at 2,000,000 baud this long after the OK: a
// loaded test machine may pause a host for longer than an adapter's few milliseconds between
// taking the OK and changing its rate. The switch's own timing has tests of its own.
inline constexpr int kTestRateLineDelayMs = 100;

inline sim::SimulatorOptions AdapterOf(int model) {
  sim::SimulatorOptions options;
  options.adapter.model = model;
  options.rateLineDelayMs = kTestRateLineDelayMs;
  options.adapter.productId = "OBDZ-1000";
#ifdef _WIN32
  options.tcp = true;  // no pseudo-terminals on Windows
#endif
  options.adapter.deviceVersion = model == 0 || model == 4 ? "4.0.0X"
                                  : model <= 3             ? "2.2.2X"
                                                           : "2.1";
  return options;
}

inline const char* LineDeviceName(int model) {
  return std::array{"Ruvo03", "KTR5575", "KTR5577", "KTR5578", "Ruvo01"}[model];
}

// A small valid image for the model (line 0..4, block 5 and 6), newer than AdapterOf's.
inline sim::BuiltImage ImageFor(int model, int records = 8) {
  if (IsBlockModel(model)) {
    sim::BlockImageOptions options;
    options.deviceName = model == 5 ? "zOrbent FS v2.2" : "zOrbent FS BT v2.2";
    options.records = records;
    options.recordLen = 64;
    return sim::BuildBlockImage(options);
  }
  sim::LineImageOptions options;
  options.deviceName = LineDeviceName(model);
  options.versionText = (model == 0 || model == 4) ? "V4.0.1X" : "V2.2.3X";
  options.records = records % 2 == 0 ? records + 1 : records;  // trailer makes the count even
  return sim::BuildLineImage(options);
}

// A simulated adapter, started at once; the test checks `started` (with `error`).
struct Started {
  explicit Started(sim::SimulatorOptions options) : simulator(std::move(options)) {
    started = simulator.Start(&error);
  }
  // An update of the image on `engine` (a new one by default), through a file of its own.
  JobRun Update(const sim::BuiltImage& image, UpdateEngine& engine, ReportHook onReport = {}) {
    FirmwareFile file(image.text);
    return RunJob(engine, simulator.ConfigString(), file.Path(), true, std::move(onReport));
  }
  JobRun Update(const sim::BuiltImage& image) {
    UpdateEngine engine;
    return Update(image, engine);
  }
  sim::AdapterSimulator simulator;
  bool started = false;
  std::string error;
};

// The transcript, a word per command; a record as "L<image line>=<answer after the echo>" ("-":
// none). With collapse, a run of records is "QKBL*n" or "QKDLDT*n", without answers.
inline std::string Trace(const sim::AdapterSimulator& simulator, const sim::BuiltImage& image,
                         bool collapse = false) {
  std::map<std::string, int> lines;
  for (std::size_t i = 0; i < image.lines.size(); ++i) {
    lines["QKBL" + image.lines[i].substr(2) + "\r"] = static_cast<int>(i) + 1;
    lines["QKDLDT" + image.lines[i] + "\r"] = static_cast<int>(i) + 1;
  }
  std::string out, run;  // run: the collapsed run's command
  int count = 0;
  auto flush = [&] {
    if (count > 0) out += run + "*" + std::to_string(count) + " ";
    count = 0;
  };
  for (const sim::TranscriptEntry& entry : simulator.Transcript()) {
    const auto line = lines.find(entry.command);
    if (line == lines.end()) {
      flush();
      std::string command = entry.command;
      if (command.ends_with('\r')) command.pop_back();
      // An empty command is the adapter speaking first.
      out += (entry.command.empty() ? "(banner)" : command.empty() ? "CR" : command) + " ";
      continue;
    }
    if (collapse) {
      run = entry.command.starts_with("QKBL") ? "QKBL" : "QKDLDT";
      ++count;
      continue;
    }
    std::string answer = entry.answer.starts_with(entry.command)
                             ? entry.answer.substr(entry.command.size())
                             : entry.answer;
    std::erase(answer, '\r');
    std::erase(answer, '>');
    out += "L" + std::to_string(line->second) + "=" + (answer.empty() ? "-" : answer) + " ";
  }
  flush();
  if (!out.empty()) out.pop_back();
  return out;
}

// Index of the first command in the transcript that begins with one of the texts; -1 none.
inline int FirstOf(const sim::AdapterSimulator& simulator,
                   const std::vector<std::string_view>& texts) {
  const std::vector<sim::TranscriptEntry> transcript = simulator.Transcript();
  for (std::size_t i = 0; i < transcript.size(); ++i)
    for (const std::string_view text : texts)
      if (transcript[i].command.starts_with(text)) return static_cast<int>(i);
  return -1;
}

// The commands that open a download: none may come before the adapter was identified.
inline const std::vector<std::string_view> kDownloadCommands = {"QKUPDT03", "QKDLKTR"};

// Seconds from the last `command`'s answer to the next entry; -1 when there is none.
inline double SecondsAfter(const sim::AdapterSimulator& simulator, const std::string& command) {
  const std::vector<sim::TranscriptEntry> transcript = simulator.Transcript();
  for (std::size_t i = transcript.size(); i-- > 1;)
    if (transcript[i - 1].command == command)
      return transcript[i].seconds - transcript[i - 1].seconds;
  return -1;
}

}  // namespace zorbent::testing
