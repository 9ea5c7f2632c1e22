#include "cli/repository_commands.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/firmware_info.h"
#include "firmware/tuf/publisher.h"
#include "platform/files.h"

namespace zorbent::cli {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr std::int64_t kMaxNotesBytes = 64 * 1024;

struct RepoOptions {
  std::string repository;
  std::string keys;
  std::vector<std::string> thresholds;  // ROLE=N
  std::vector<std::string> expiries;    // ROLE=DAYS
  std::vector<std::string> files;
  std::string role;
  std::string keyid;
};

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Lists what was written, then the outcome.
int Report(const tuf::Written& written, bool done, const std::string& why,
           const std::string& next) {
  for (const std::string& path : written) std::printf("wrote %s\n", path.c_str());
  if (!done) {
    std::printf("**Failed** %s\n%s", why.c_str(),
                written.empty() ? "Nothing was written.\n"
                                : "Clients still read the repository as it was before the "
                                  "metadata above; run the command again once the cause is "
                                  "fixed.\n");
    return kExitFailed;
  }
  if (!next.empty()) std::printf("%s\n", next.c_str());
  return kExitOk;
}

bool Places(const RepoOptions& options, tuf::RepositoryPlaces& places) {
  std::string why;
  if (tuf::PlacesOf(options.repository, options.keys, places, why)) return true;
  Report({}, false, why, "");
  return false;
}

// "ROLE=N" values of an option.
bool RoleNumbers(const std::vector<std::string>& given, const char* option,
                 std::map<std::string, int>& out) {
  for (const std::string& pair : given) {
    const auto equals = pair.find('=');
    char* end = nullptr;
    const std::string digits = equals == std::string::npos ? "" : pair.substr(equals + 1);
    const long value = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0' || value < 1 || value > 100000) {
      std::printf("**Failed** %s \"%s\": give ROLE=NUMBER, e.g. root=2\nNothing was written.\n",
                  option, pair.c_str());
      return false;
    }
    out[pair.substr(0, equals)] = static_cast<int>(value);
  }
  return true;
}

int RunInit(const RepoOptions& options) {
  tuf::RepositoryPlaces places;
  tuf::RoleSettings settings;
  if (!Places(options, places) ||
      !RoleNumbers(options.thresholds, "--threshold", settings.thresholds) ||
      !RoleNumbers(options.expiries, "--expires", settings.expiryDays))
    return kExitFailed;
  tuf::Written written;
  std::string why;
  const bool done = tuf::Publisher(places, Now()).Init(settings, written, why);
  return Report(written, done, why,
                "Made the repository " + places.published +
                    " (version 1 of root, targets, snapshot and timestamp).\nClients start "
                    "from " +
                    places.published +
                    "/metadata/1.root.json. Keep the root-*.pem and targets-*.pem keys "
                    "offline; timestamp-*.pem renews the timestamp (`repo timestamp`).");
}

// NAME.notes.txt beside NAME.txt: that build's release notes, "\n" line ends, no trailing
// blank space.
bool Notes(const std::string& path, std::string& notes, std::string& why) {
  const std::filesystem::path file(path);
  const std::string notesPath =
      (file.parent_path() / (file.stem().string() + ".notes.txt")).string();
  std::string text;
  bool missing = false;
  notes.clear();
  if (!ReadSmallFile(notesPath, kMaxNotesBytes, text, why, &missing)) return missing;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) notes.push_back(text[i]);
  while (!notes.empty() && std::string_view(" \t\r\n").find(notes.back()) != std::string::npos)
    notes.pop_back();
  return true;
}

int RunAdd(const RepoOptions& options) {
  tuf::RepositoryPlaces places;
  if (!Places(options, places)) return kExitFailed;
  std::vector<tuf::NewTarget> targets;
  std::string why;
  // Every file passes the engine's check, as `inspect` runs it, before anything is written.
  for (const std::string& path : options.files) {
    FirmwareFacts facts;
    tuf::NewTarget target;
    if (!CheckFirmwareFile(path, facts, why, &target.bytes) || !Notes(path, target.notes, why))
      return Report({}, false, why, "");
    target.model = facts.modelName;
    target.family = facts.family == 1 ? "block" : "line";
    target.version = facts.version;
    target.fileName = std::filesystem::path(path).filename().string();
    targets.push_back(std::move(target));
  }
  tuf::Written written;
  const bool done = tuf::Publisher(places, Now()).Add(targets, written, why);
  std::string staged;
  for (const tuf::NewTarget& t : targets)
    staged += "staged " + t.model + "/" + t.fileName + ": " + t.model + ", " + t.family +
              " mode, version " + t.version + "\n";
  return Report(written, done, why,
                staged + "Publish with `zorbent-fw repo publish " + options.repository +
                    " --keys KEYDIR` (targets, snapshot and timestamp keys).");
}

// Runs one publisher step that needs nothing beyond the places.
template <typename Step>
int RunStep(const RepoOptions& options, Step step, const std::string& next) {
  tuf::RepositoryPlaces places;
  if (!Places(options, places)) return kExitFailed;
  tuf::Publisher publisher(places, Now());
  tuf::Written written;
  std::string why;
  const bool done = step(publisher, written, why);
  return Report(written, done, why, next);
}

// Runs in place of main's own dispatch: the status is the process's.
template <typename Run>
void RunsAndExits(CLI::App& command, std::shared_ptr<RepoOptions> options, Run run) {
  command.callback([options, run] {
    const int status = run(*options);
    std::fflush(stdout);
    std::exit(status);
  });
}

void AddPlaces(CLI::App& command, RepoOptions& options, const char* keysHelp, bool keysRequired) {
  command.add_option("REPO", options.repository, "Repository folder (what a web server serves)")
      ->required();
  auto* keys = command.add_option("--keys", options.keys, keysHelp)->type_name("KEYDIR");
  if (keysRequired) keys->required();
}

}  // namespace

namespace {

using Options = std::shared_ptr<RepoOptions>;

void AddInitCommand(CLI::App& repo, const Options& options) {
  auto* init = repo.add_subcommand(
      "init",
      "Make a new repository: a new ECDSA P-256 key per role (as many as its threshold) in "
      "KEYDIR, and version 1 of root, an empty targets, snapshot and timestamp");
  AddPlaces(*init, *options, "Folder for the new private keys (new or empty)", true);
  init->add_option("--threshold", options->thresholds,
                   "Signatures a role needs, e.g. root=2 (as many keys are made; default 1)")
      ->type_name("ROLE=N");
  init->add_option("--expires", options->expiries,
                   "Days each new version of a role stays valid (defaults: root=365, "
                   "targets=90, snapshot=30, timestamp=1)")
      ->type_name("ROLE=DAYS");
  RunsAndExits(*init, options, RunInit);
}

void AddAddCommand(CLI::App& repo, const Options& options) {
  auto* add = repo.add_subcommand(
      "add",
      "Check each firmware file as inspect does, copy it to targets/<MODEL>/<sha256>.<name> "
      "and stage it as target <MODEL>/<name> (model, family and version read from the file; "
      "NAME.notes.txt beside it becomes its notes) for the next publish. One refused file: "
      "nothing is written");
  AddPlaces(*add, *options, "Accepted like the other commands'; add reads no key", false);
  add->add_option("FILE", options->files, "Firmware files")->required();
  RunsAndExits(*add, options, RunAdd);
}

// publish and timestamp: new versions signed with the keys the repository already has.
void AddSigningCommands(CLI::App& repo, const Options& options) {
  auto* publish = repo.add_subcommand(
      "publish",
      "Sign and write new versions: targets (with the staged files), snapshot and timestamp, "
      "in that order, each with a fresh expiry");
  AddPlaces(*publish, *options, "Folder with the targets, snapshot and timestamp keys", true);
  RunsAndExits(*publish, options, [](const RepoOptions& o) {
    return RunStep(
        o, [](tuf::Publisher& p, tuf::Written& w, std::string& why) { return p.Publish(w, why); },
        "Published.");
  });

  auto* timestamp = repo.add_subcommand(
      "timestamp", "Sign and write a new timestamp alone (run it before the old one expires)");
  AddPlaces(*timestamp, *options, "Folder with the timestamp key", true);
  RunsAndExits(*timestamp, options, [](const RepoOptions& o) {
    return RunStep(
        o,
        [](tuf::Publisher& p, tuf::Written& w, std::string& why) {
          return p.RenewTimestamp(w, why);
        },
        "Timestamp renewed.");
  });
}

// rotate and revoke: new keys for a role, and a new root that lists them.
void AddKeyCommands(CLI::App& repo, const Options& options) {
  const auto roleOption = [&options](CLI::App& command) {
    command.add_option("--role", options->role, "root, targets, snapshot or timestamp")
        ->required()
        ->check(CLI::IsMember({"root", "targets", "snapshot", "timestamp"}));
  };
  auto* rotate = repo.add_subcommand(
      "rotate",
      "Replace every key of a role with a new one: a new root signed by the old root keys and "
      "the new ones, then the role's metadata and those below it signed again. The old key "
      "files are renamed to *.pem.retired");
  AddPlaces(*rotate, *options, "Folder with the root keys and those to sign again", true);
  roleOption(*rotate);
  RunsAndExits(*rotate, options, [](const RepoOptions& o) {
    return RunStep(
        o,
        [&o](tuf::Publisher& p, tuf::Written& w, std::string& why) {
          return p.RotateKeys(o.role, w, why);
        },
        "Rotated the " + o.role + " keys.");
  });

  auto* revoke = repo.add_subcommand(
      "revoke", "Replace one key of a role (a lost or exposed one) with a new one, as rotate does");
  AddPlaces(*revoke, *options, "Folder with the root keys and those to sign again", true);
  roleOption(*revoke);
  revoke->add_option("--keyid", options->keyid, "The key's id, or its first 8 or more digits")
      ->required();
  RunsAndExits(*revoke, options, [](const RepoOptions& o) {
    return RunStep(
        o,
        [&o](tuf::Publisher& p, tuf::Written& w, std::string& why) {
          return p.RevokeKey(o.role, o.keyid, w, why);
        },
        "Revoked " + o.role + " key " + o.keyid + ".");
  });
}

}  // namespace

void AddRepositoryCommands(CLI::App& app) {
  auto options = std::make_shared<RepoOptions>();
  auto* repo = app.add_subcommand(
      "repo",
      "Publish firmware as a repository of signed metadata (root, targets, snapshot, "
      "timestamp) that update --latest and firmware list read");
  repo->require_subcommand(1);
  repo->footer(
      "REPO holds metadata/ and targets/, the folder a web server serves; REPO.work beside it "
      "holds the settings and the files added since the last publish, never served. KEYDIR "
      "holds the private keys, <role>-<key id>.pem (mode 0600), and may not be inside REPO. "
      "Each command reads only the keys of the roles it signs: init makes them all; add none; "
      "publish targets-*.pem (when files were added, or targets is past half its life), "
      "snapshot-*.pem and timestamp-*.pem; timestamp only timestamp-*.pem; rotate and revoke "
      "root-*.pem and the keys of the role and of those signed again below it. So root and "
      "targets keys can stay offline. See docs/repository.md.\n"
      "Exit status: 0 done, 1 refused or failed (a bad file, a missing key, a write that "
      "failed), 2 usage error.");
  AddInitCommand(*repo, options);
  AddAddCommand(*repo, options);
  AddSigningCommands(*repo, options);
  AddKeyCommands(*repo, options);
}

}  // namespace zorbent::cli
