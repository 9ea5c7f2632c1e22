// zorbent-tuf-client: the repository client alone, in the command shape TUF client test
// suites drive. Trusted metadata lives in --metadata-dir as root.json, timestamp.json, ...;
// a downloaded target is saved in --target-dir under its name percent-encoded into one file
// name ("KTR5577%2Fktr5577-2.2.3X.txt"). Exit 0 on success, 1 on any failure with one
// line on stderr saying what failed and what to do.

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/tuf/directory_store.h"
#include "firmware/tuf/platform_fetcher.h"
#include "firmware/tuf/trusted_set.h"
#include "firmware/tuf/updater.h"
#include "firmware/tuf/words.h"
#include "platform/files.h"
#include "zorbent_version.h"

namespace {

using namespace zorbent;
using namespace zorbent::tuf;

constexpr int kExitFailed = 1;

struct Options {
  std::string metadataDir, metadataUrl, targetName, targetBaseUrl, targetDir, trustedRoot, caFile;
};

int Fail(const std::string& sentence) {
  std::fprintf(stderr, "%s\n", sentence.c_str());
  return kExitFailed;
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string_view Text(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool MakeFolder(const std::string& folder, std::string& why) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!error) return true;
  why = "Cannot create the folder " + folder + ": " + error.message() + ".";
  return false;
}

// Copies the root after checking it is a root signed by its own threshold; nothing is fetched.
int Init(const Options& options) {
  std::string bytes, why;
  if (!ReadSmallFile(options.trustedRoot, static_cast<std::int64_t>(Limits{}.rootBytes), bytes,
                     why))
    return Fail("Cannot use the trusted root: " + why + ". Check the path.");
  TrustedSet trusted(Now());
  Problem problem;
  if (!trusted.StartFromRoot(bytes, problem)) return Fail(ProblemSentence(problem));
  DirectoryStore store(options.metadataDir);
  if (!MakeFolder(options.metadataDir, why) || !store.Save(kRoot, bytes, why)) return Fail(why);
  return 0;
}

int Run(const Options& options, bool download) {
  if (options.metadataUrl.empty())
    return Fail("Give the repository's metadata with --metadata-url URL.");
  FetchLimits limits;
  limits.caFile = options.caFile;
  PlatformFetcher fetcher(limits);
  DirectoryStore store(options.metadataDir);
  UpdaterConfig config;
  config.metadataUrl = options.metadataUrl;
  config.targetsUrl = options.targetBaseUrl;
  config.now = Now();
  Updater updater(config, fetcher, store);
  Problem problem;
  if (!updater.Refresh(problem)) return Fail(ProblemSentence(problem));
  if (!download) return 0;
  if (options.targetName.empty() || options.targetBaseUrl.empty() || options.targetDir.empty())
    return Fail("Give --target-name, --target-base-url and --target-dir to download a target.");
  Target target;
  if (!updater.FindTarget(options.targetName, target, problem))
    return Fail(ProblemSentence(problem));
  const std::string path = options.targetDir + "/" + PercentEncode(target.path);
  std::vector<std::uint8_t> held;
  if (LoadWholeFile(path, held, target.length) >= 0 && Updater::Matches(target, held)) return 0;
  std::vector<std::uint8_t> bytes;
  if (!updater.DownloadTarget(target, bytes, problem)) return Fail(ProblemSentence(problem));
  std::string why;
  if (!MakeFolder(options.targetDir, why) || !WriteFileAtomically(path, Text(bytes), why))
    return Fail(why);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "The firmware repository client alone: trust a root, refresh the metadata, "
      "download and verify one target.",
      "zorbent-tuf-client"};
  app.set_version_flag("--version", std::string("zorbent-tuf-client ") + ZORBENT_VERSION);
  Options options;
  app.add_option("--metadata-dir", options.metadataDir, "Folder of the trusted metadata")
      ->required();
  app.add_option("--metadata-url", options.metadataUrl, "The repository's metadata folder (URL)");
  app.add_option("--target-name", options.targetName, "The target's name in the repository");
  app.add_option("--target-base-url", options.targetBaseUrl,
                 "The repository's targets folder (URL)");
  app.add_option("--target-dir", options.targetDir, "Folder to save the target in");
  app.add_option("--ca-file", options.caFile, "CA certificate (PEM) of a private https server");
  CLI::App* init = app.add_subcommand("init", "Trust a root.json for this metadata folder");
  init->add_option("TRUSTED_ROOT", options.trustedRoot, "The root.json to trust")->required();
  CLI::App* refresh = app.add_subcommand("refresh", "Refresh and verify the metadata");
  CLI::App* download = app.add_subcommand("download", "Refresh, then download and verify a target");
  app.require_subcommand(1);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : kExitFailed;
  }
  if (init->parsed()) return Init(options);
  return Run(options, download->parsed() && !refresh->parsed());
}
