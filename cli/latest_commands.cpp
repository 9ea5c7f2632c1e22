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

// The builds of a manifest per model, in the device table's order, each newest first.
std::vector<const ManifestBuild*> ByModelNewestFirst(const Manifest& manifest) {
  std::vector<const ManifestBuild*> builds;
  for (const ManifestBuild& build : manifest.builds) builds.push_back(&build);
  const auto rank = [](const ManifestBuild* b) {
    const DeviceModel* model = ModelByName(b->model);
    return model == nullptr ? INT32_MAX : model->code;
  };
  std::stable_sort(builds.begin(), builds.end(), [&rank](const auto* a, const auto* b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    const DeviceModel* model = ModelByName(a->model);
    return CompareVersions(a->version, b->version, model == nullptr ? '0' : model->xDigit) > 0;
  });
  return builds;
}

std::string ModelsIn(const Manifest& manifest) {
  std::string models;
  for (const ManifestBuild* build : ByModelNewestFirst(manifest))
    if (models.find(build->model) == std::string::npos)
      models += (models.empty() ? "" : ", ") + build->model;
  return models.empty() ? std::string("none") : models;
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
                   const ManifestBuild* newest, std::string_view result) {
  if (!job.json) return;
  WriteJsonLine(
      {{"command", "latest"},
       {"connection", job.connections.front()},
       {"model", TextOrNull(outcome.adapterModel)},
       {"version_before", TextOrNull(outcome.versionBefore)},
       {"manifest", plan.manifest.url},
       {"signed_by", plan.manifest.signedBy},
       {"newest_version", newest == nullptr ? nlohmann::json() : nlohmann::json(newest->version)},
       {"result", result}});
}

}  // namespace

bool CommandLineSource(const SourceOptions& options, FirmwareSource& source, std::string& problem) {
  if (!DefaultFirmwareSource(source, problem)) return false;
  if (!options.manifest.empty()) source.manifestUrl = options.manifest;
  if (!options.caFile.empty()) source.caFile = options.caFile;
  for (const std::string& key : options.trust)
    if (!AddTrustedKeyFile(source, key, problem)) return false;
  return true;
}

int ListFirmware(const SourceOptions& options, OutputFormat format) {
  std::FILE* const text = format == OutputFormat::kJson ? stderr : stdout;
  FirmwareSource source;
  VerifiedManifest verified;
  std::string problem;
  if (!CommandLineSource(options, source, problem) ||
      !FetchVerifiedManifest(source, verified, problem)) {
    std::fprintf(text, "**Failed** %s\n", problem.c_str());
    return kExitFailed;
  }
  const Manifest& manifest = verified.manifest;
  if (format == OutputFormat::kText) {
    std::fprintf(text, "%s\nsigned by %s; published %s by %s\n", verified.url.c_str(),
                 verified.signedBy.c_str(), manifest.published.c_str(), manifest.publisher.c_str());
    if (manifest.builds.empty()) std::fprintf(text, "It lists no firmware.\n");
  }
  std::string model;
  for (const ManifestBuild* build : ByModelNewestFirst(manifest)) {
    const bool newest = build->model != model;
    model = build->model;
    if (format == OutputFormat::kJson) {
      WriteJsonLine({{"manifest", verified.url},
                     {"signed_by", verified.signedBy},
                     {"model", build->model},
                     {"family", FamilyWord(build->family)},
                     {"version", build->version},
                     {"newest", newest},
                     {"file", build->file},
                     {"url", ResolveRelativeUrl(verified.url, build->file)},
                     {"size", build->size},
                     {"sha256", build->sha256},
                     {"notes", build->notes}});
      continue;
    }
    std::fprintf(text, "%-8s %-10s %-5s %s (%lld bytes)%s\n", newest ? build->model.c_str() : "",
                 ("v" + build->version).c_str(), std::string(FamilyWord(build->family)).c_str(),
                 build->file.c_str(), static_cast<long long>(build->size),
                 newest ? "  newest" : "");
  }
  std::fflush(text);
  return kExitOk;
}

int PrepareLatest(const SourceOptions& options, const JobOptions& job, LatestPlan& plan) {
  std::FILE* const text = job.json ? stderr : stdout;
  std::string problem;
  if (CommandLineSource(options, plan.source, problem) &&
      FetchVerifiedManifest(plan.source, plan.manifest, problem))
    return -1;
  std::fprintf(text,
               "**Failed** %s\nUpdate failed: no firmware could be chosen. Nothing was sent "
               "to the adapter.\n",
               problem.c_str());
  return kExitFailed;
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
  const std::string& url = plan.manifest.url;
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
      ChooseBuild(plan.manifest.manifest, model, outcome.versionBefore, job.allowOlder);
  const ManifestBuild* build = choice.build;
  switch (choice.pick) {
    case Pick::kNoBuild:
      std::fprintf(text,
                   "Update failed: %s has no firmware for %s (it has %s). Nothing was sent that "
                   "changes the adapter.\n",
                   url.c_str(), model.c_str(), ModelsIn(plan.manifest.manifest).c_str());
      ShowUnchanged(plan, job, outcome, nullptr, "no_build");
      return kExitFailed;
    case Pick::kUpToDate:
      std::fprintf(text, "already up to date: %s runs %s, the newest in %s\n", model.c_str(),
                   Version(outcome.versionBefore).c_str(), url.c_str());
      ShowUnchanged(plan, job, outcome, build, "up_to_date");
      return kExitOk;
    case Pick::kOnlyOlder:
      std::fprintf(text,
                   "already up to date: %s runs %s, newer than the newest in %s (v%s); "
                   "--allow-older installs that one\n",
                   model.c_str(), Version(outcome.versionBefore).c_str(), url.c_str(),
                   build->version.c_str());
      ShowUnchanged(plan, job, outcome, build, "up_to_date");
      return kExitOk;
    case Pick::kNewer:
      break;
  }
  std::fprintf(text, "%s runs %s; the newest in %s is v%s (signed by %s)\n", model.c_str(),
               Version(outcome.versionBefore).c_str(), url.c_str(), build->version.c_str(),
               plan.manifest.signedBy.c_str());
  std::fflush(text);
  std::string path;
  std::string problem;
  std::vector<std::uint8_t> bytes;  // the verified bytes: what the update sends
  bool fetched = false;
  {
    DownloadProgress progress(job.quiet, stderr, "download " + build->file);
    fetched =
        FetchBuild(plan.manifest, *build, plan.source, path, problem, progress.Callback(), &bytes);
  }
  if (!fetched) {
    std::fprintf(text,
                 "**Failed** %s\nUpdate failed: the firmware file was not installed. "
                 "Nothing was sent that changes the adapter.\n",
                 problem.c_str());
    ShowUnchanged(plan, job, outcome, build, "file_refused");
    return kExitFailed;
  }
  std::fprintf(text, "verified: %s is %s v%s in the signed manifest %s\n",
               std::filesystem::path(path).filename().string().c_str(), build->model.c_str(),
               build->version.c_str(), url.c_str());
  std::fflush(text);
  job.firmwareFile = path;
  job.firmware = CheckedBytes(path, std::move(bytes));
  job.manifest = url;
  job.update = true;
  return RunJobs(job);
}

bool NoteFileSignature(const SourceOptions& options, bool requireSigned, JobOptions& job) {
  std::FILE* const text = job.json ? stderr : stdout;
  // An unusable file is refused by the update itself, with its reason.
  if (job.firmware == nullptr || !job.firmware->usable) return true;
  const FirmwareFacts& facts = job.firmware->facts;
  FirmwareSource source;
  std::string problem;
  std::string url;
  ManifestBuild build;
  const bool sourced = CommandLineSource(options, source, problem);
  if (!sourced) std::fprintf(text, "Warning: %s\n", problem.c_str());
  bool found = sourced && FindInTrustedManifests(source, facts.sha256, url, build);
  // Required, so worth a download: the configured manifest may be newer than the cached one.
  VerifiedManifest fetched;
  if (!found && sourced && requireSigned && !source.manifestUrl.empty() &&
      FetchVerifiedManifest(source, fetched, problem))
    found = FindInTrustedManifests(source, facts.sha256, url, build);
  if (found) {
    std::fprintf(text, "verified: %s is %s v%s in the signed manifest %s\n",
                 std::filesystem::path(job.firmwareFile).filename().string().c_str(),
                 build.model.c_str(), build.version.c_str(), url.c_str());
    job.manifest = url;
    return true;
  }
  std::fprintf(text, "not verified: this file is in no signed manifest\n");
  if (!requireSigned) return true;
  std::fprintf(text,
               "%s failed: --require-signed takes only a file of a signed manifest (get it with "
               "`zorbent-fw update --latest`, or see `zorbent-fw firmware list`). Nothing was sent "
               "to any adapter.\n",
               job.checkOnly ? "Check" : "Update");
  return false;
}

}  // namespace zorbent::cli
