#include "cli/latest_commands.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "cli/console_report.h"
#include "cli/firmware_info.h"
#include "cli/port_advice.h"
#include "engine/device_table.h"
#include "engine/identify.h"
#include "engine/text.h"
#include "engine/update_engine.h"
#include "firmware/outcome_json.h"

namespace zorbent::cli {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kPercent = 100;

// Shows a download's percentage the way the update shows its own (a bar on a terminal, else a
// line per change; nothing when quiet).
class DownloadProgress {
 public:
  DownloadProgress(bool quiet, std::FILE* text, const std::string& what)
      : console_(quiet, text), job_(console_.AddJob(what + ": ")) {}
  ~DownloadProgress() { console_.Finish(); }
  FetchProgress Callback() {
    return [this](std::size_t done, std::size_t total) {
      if (total > 0) console_.Progress(job_, static_cast<int>(done * kPercent / total));
      return true;
    };
  }

 private:
  Console console_;
  std::size_t job_;
};

std::string ModelsIn(const std::vector<ReleaseBuild>& builds) {
  std::string models;
  for (const ReleaseBuild& build : builds)
    if (models.find(build.model) == std::string::npos)
      models += (models.empty() ? "" : ", ") + build.model;
  return models.empty() ? std::string("none") : models;
}

std::string Sha256Of(const ReleaseBuild& build) {
  const auto hash = build.target.hashes.find("sha256");
  return hash == build.target.hashes.end() ? std::string() : hash->second;
}

// The repository refreshed, or false with the refusal said on text.
bool OpenRepository(const SourceOptions& options, std::unique_ptr<FirmwareRepository>& repository,
                    std::string& problem, bool offlineToo = false, bool* offline = nullptr) {
  FirmwareSource source;
  if (!CommandLineSource(options, source, problem)) return false;
  repository = std::make_unique<FirmwareRepository>(std::move(source));
  return repository->Open(problem, offlineToo, offline);
}

// What the adapter is and runs, asked with read-only questions; the engine's own lines on
// the console. False when it could not be read (said); opened tells whether the port was.
bool ReadAdapter(const JobOptions& job, JobOutcome& outcome, bool& opened) {
  std::FILE* const text = job.json ? stderr : stdout;
  Console console(job.quiet, text);
  ConsoleReport report(console, console.AddJob(""));
  UpdateEngine engine;
  engine.Init(&report, &ConsoleReport::Callback);
  const std::int32_t channel = engine.OpenPort(job.connections.front(), "");
  std::int32_t result = -1;
  opened = channel >= 0;
  if (channel < 0) {
    const std::string advice = PortAdvice(engine.outcome.port);
    if (!advice.empty()) report.Text(advice + "\n");
  } else {
    result = engine.ReadVersions(channel);
    engine.ClosePort(channel);
  }
  report.Finish();
  console.Finish();
  outcome = engine.outcome;
  return result >= 0;
}

// The account of an update --latest that installed nothing, for --json.
void ShowUnchanged(const LatestPlan& plan, const JobOptions& job, const JobOutcome& outcome,
                   const ReleaseBuild* newest, std::string_view result) {
  if (!job.json) return;
  WriteJsonLine(
      {{"command", "latest"},
       {"connection", job.connections.front()},
       {"model", TextOrNull(outcome.adapterModel)},
       {"version_before", TextOrNull(outcome.versionBefore)},
       {"repository", plan.repository->Url()},
       {"newest_version", newest == nullptr ? nlohmann::json() : nlohmann::json(newest->version)},
       {"result", result}});
}

}  // namespace

bool CommandLineSource(const SourceOptions& options, FirmwareSource& source, std::string& problem) {
  if (!DefaultFirmwareSource(source, problem)) return false;
  if (!options.repository.empty()) source.repositoryUrl = options.repository;
  if (!options.root.empty()) source.rootFile = options.root;
  if (!options.caFile.empty()) source.caFile = options.caFile;
  source.allowHttp = source.allowHttp || options.allowHttp;
  return true;
}

int ListFirmware(const SourceOptions& options, OutputFormat format) {
  std::FILE* const text = format == OutputFormat::kJson ? stderr : stdout;
  std::unique_ptr<FirmwareRepository> repository;
  std::string problem;
  if (!OpenRepository(options, repository, problem)) {
    std::fprintf(text, "**Failed** %s\n", problem.c_str());
    return kExitFailed;
  }
  const std::string& url = repository->Url();
  const std::vector<ReleaseBuild>& builds = repository->Builds();
  if (format == OutputFormat::kText) {
    std::fprintf(text, "%s (verified)\n", url.c_str());
    if (builds.empty()) std::fprintf(text, "It lists no firmware.\n");
  }
  std::string model;
  for (const ReleaseBuild& build : builds) {
    const bool newest = build.model != model;
    model = build.model;
    if (format == OutputFormat::kJson) {
      WriteJsonLine({{"repository", url},
                     {"model", build.model},
                     {"family", FamilyWord(build.family)},
                     {"version", build.version},
                     {"newest", newest},
                     {"target", build.target.path},
                     {"size", build.target.length},
                     {"sha256", Sha256Of(build)},
                     {"notes", build.notes},
                     {"role", build.target.role}});
      continue;
    }
    std::fprintf(text, "%-8s %-10s %-5s %s (%lld bytes)%s\n", newest ? build.model.c_str() : "",
                 ("v" + build.version).c_str(), std::string(FamilyWord(build.family)).c_str(),
                 build.target.path.c_str(), static_cast<long long>(build.target.length),
                 newest ? "  newest" : "");
  }
  if (format == OutputFormat::kText && repository->Ignored() > 0)
    std::fprintf(text, "(%d other files are no firmware this program updates.)\n",
                 repository->Ignored());
  std::fflush(text);
  return kExitOk;
}

int PrepareLatest(const SourceOptions& options, const JobOptions& job, LatestPlan& plan) {
  std::FILE* const text = job.json ? stderr : stdout;
  std::string problem;
  if (OpenRepository(options, plan.repository, problem)) return -1;
  std::fprintf(text,
               "**Failed** %s\nUpdate failed: no firmware could be chosen. Nothing was sent "
               "to the adapter.\n",
               problem.c_str());
  return kExitFailed;
}

// What a choice that installs nothing says, and its exit status; -1 for a build to install.
int RefusedChoice(const LatestPlan& plan, const JobOptions& job, const JobOutcome& outcome,
                  const BuildChoice& choice) {
  std::FILE* const text = job.json ? stderr : stdout;
  FirmwareRepository& repository = *plan.repository;
  const std::string& url = repository.Url();
  const std::string& model = outcome.adapterModel;
  const ReleaseBuild* build = choice.build;
  switch (choice.pick) {
    case Pick::kNoBuild:
      std::fprintf(text,
                   "Update failed: %s has no firmware for %s (it has %s). Nothing was sent that "
                   "changes the adapter.\n",
                   url.c_str(), model.c_str(), ModelsIn(repository.Builds()).c_str());
      ShowUnchanged(plan, job, outcome, nullptr, "no_build");
      return kExitFailed;
    case Pick::kUpToDate:
      std::fprintf(text, "already up to date: %s runs %s, the newest in %s\n", model.c_str(),
                   Version(outcome.versionBefore).c_str(), url.c_str());
      ShowUnchanged(plan, job, outcome, build, "up_to_date");
      return kExitOk;
    case Pick::kOnlyOlder:
      // Newer firmware was seen somewhere: a repository listing only older may be held back.
      std::fprintf(text,
                   "Update failed: %s lists only older firmware for %s (newest v%s; the adapter "
                   "runs %s): the repository may be stale. Ask its publisher, or try again "
                   "later. Nothing was sent that changes the adapter.\n",
                   url.c_str(), model.c_str(), build->version.c_str(),
                   Version(outcome.versionBefore).c_str());
      ShowUnchanged(plan, job, outcome, build, "only_older");
      return kExitFailed;
    case Pick::kNewer:
      break;
  }
  return -1;
}

int RunLatest(const LatestPlan& plan, JobOptions job) {
  std::FILE* const text = job.json ? stderr : stdout;
  JobOutcome outcome;
  bool opened = false;
  if (!ReadAdapter(job, outcome, opened)) {
    std::fprintf(text,
                 "Update failed: the adapter could not be read, so no firmware could be chosen "
                 "for it. Nothing was sent that changes the adapter.%s\n",
                 opened ? " An adapter left in download mode by an interrupted update does not "
                          "identify itself: finish that update with its FILE and --recover."
                        : "");
    ShowUnchanged(plan, job, outcome, nullptr, "not_read");
    return kExitFailed;
  }
  FirmwareRepository& repository = *plan.repository;
  const std::string& url = repository.Url();
  const std::string& model = outcome.adapterModel;
  if (model.empty()) {
    std::fprintf(text,
                 "Update failed: the adapter is none of the models this program updates, so "
                 "%s has no firmware for it (`zorbent-fw read` shows what it answered). Nothing "
                 "was sent that changes the adapter.\n",
                 url.c_str());
    ShowUnchanged(plan, job, outcome, nullptr, "no_build");
    return kExitFailed;
  }
  const BuildChoice choice =
      ChooseBuild(repository.Builds(), model, outcome.versionBefore, job.allowOlder);
  if (const int refused = RefusedChoice(plan, job, outcome, choice); refused >= 0) return refused;
  const ReleaseBuild* build = choice.build;
  std::fprintf(text, "%s runs %s; the newest in %s is v%s\n", model.c_str(),
               Version(outcome.versionBefore).c_str(), url.c_str(), build->version.c_str());
  std::fflush(text);
  std::string path;
  std::string problem;
  std::vector<std::uint8_t> bytes;  // the verified bytes: what the update sends
  bool fetched = false;
  {
    DownloadProgress progress(job.quiet, stderr, "download " + build->file);
    fetched = repository.Download(*build, path, bytes, problem, progress.Callback());
  }
  if (!fetched) {
    std::fprintf(text,
                 "**Failed** %s\nUpdate failed: the firmware file was not installed. "
                 "Nothing was sent that changes the adapter.\n",
                 problem.c_str());
    ShowUnchanged(plan, job, outcome, build, "file_refused");
    return kExitFailed;
  }
  std::fprintf(text, "verified: %s is %s v%s, listed in %s\n",
               std::filesystem::path(path).filename().string().c_str(), build->model.c_str(),
               build->version.c_str(), url.c_str());
  std::fflush(text);
  job.firmwareFile = path;
  job.firmware = CheckedBytes(path, std::move(bytes));
  job.repository = url;
  job.update = true;
  return RunJobs(job);
}

bool NoteFileSignature(const SourceOptions& options, bool requireSigned, JobOptions& job) {
  std::FILE* const text = job.json ? stderr : stdout;
  // An unusable file is refused by the update itself, with its reason.
  if (job.firmware == nullptr || !job.firmware->usable) return true;
  const FirmwareFacts& facts = job.firmware->facts;
  std::unique_ptr<FirmwareRepository> repository;
  std::string problem;
  bool offline = false;
  const ReleaseBuild* build = nullptr;
  FirmwareSource source;
  // Without a repository set there is nothing to look in, which is no warning.
  const bool configured =
      CommandLineSource(options, source, problem) && !source.repositoryUrl.empty();
  if (configured && OpenRepository(options, repository, problem, true, &offline)) {
    build = repository->FindBySha256(facts.sha256);
    if (offline)
      std::fprintf(text,
                   "Note: %s could not be reached; it was looked in as last verified here, "
                   "which has not expired.\n",
                   repository->Url().c_str());
  } else if (configured || requireSigned || !problem.empty()) {
    if (problem.empty()) problem = RepositoryUrlProblem({}, false);  // none configured
    std::fprintf(text, "%s %s\n", requireSigned ? "**Failed**" : "Warning:", problem.c_str());
  }
  std::string mismatch;
  if (build != nullptr && !FileIsTheListedBuild(*build, job.firmware->image, mismatch)) {
    std::fprintf(text, "**Failed** %s\n", mismatch.c_str());
    build = nullptr;
  }
  if (build != nullptr) {
    std::fprintf(text, "verified: %s is %s v%s, listed in %s\n",
                 std::filesystem::path(job.firmwareFile).filename().string().c_str(),
                 build->model.c_str(), build->version.c_str(), repository->Url().c_str());
    job.repository = repository->Url();
    return true;
  }
  std::fprintf(text, "not verified: this file is in no trusted repository\n");
  if (!requireSigned) return true;
  std::fprintf(text,
               "%s failed: --require-signed takes only a file the trusted repository lists (get "
               "it with `zorbent-fw update --latest`, or see `zorbent-fw firmware list`). Nothing "
               "was sent to any adapter.\n",
               job.checkOnly ? "Check" : "Update");
  return false;
}

}  // namespace zorbent::cli
