#include "firmware/latest.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <span>

#include "firmware/built_in_root.h"
#include "firmware/text_lines.h"
#include "firmware/tuf/directory_store.h"
#include "firmware/tuf/metadata.h"
#include "firmware/tuf/words.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/user_folders.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kConfigFile = "config";
// The trusted metadata of each repository: <data>/repositories/<hash of its URL>/<role>.json.
constexpr std::string_view kStoreFolder = "repositories";
constexpr std::string_view kMetadataFolder = "metadata/";
constexpr std::string_view kTargetsFolder = "targets/";
// Enough of a URL's SHA-256 to name its folder.
constexpr std::size_t kUrlHashChars = 24;
#ifndef _WIN32
constexpr std::string_view kSystemRoot = "/etc/zorbent-fw/root.json";
#endif

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Trimmed(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string_view::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t\r");
  return std::string(text.substr(start, end - start + 1));
}

std::string ConfigPath() {
  std::string error;
  const std::string config = UserConfigFolder(error);
  return config.empty() ? std::string() : config + kFolderSeparator + std::string(kConfigFile);
}

// The config file's settings: "repository = URL" and "root = PATH" lines, '#' comments.
bool ReadConfig(const std::string& path, FirmwareSource& source, std::string& problem) {
  std::string text;
  std::string why;
  bool missing = false;
  if (!ReadSmallFile(path, kMaxConfigBytes, text, why, &missing)) {
    if (missing) return true;
    problem = "the settings file " + why;
    return false;
  }
  TextLines lines(text);
  for (std::string_view line; lines.Next(line);) {
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos)
      line = line.substr(0, hash);
    if (Trimmed(line).empty()) continue;
    const std::string where = path + " line " + std::to_string(lines.Number());
    const std::size_t equals = line.find('=');
    const std::string name = Trimmed(line.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : Trimmed(line.substr(equals + 1));
    if (equals == std::string_view::npos || (name != "repository" && name != "root")) {
      problem = where + ": \"" + Trimmed(line) +
                "\" is not a setting; the file takes \"repository = URL\" and \"root = PATH\" "
                "(and # comments)";
      return false;
    }
    if (value.empty()) {
      problem = where + ": nothing after \"" + name + " =\"";
      return false;
    }
    (name == "root" ? source.rootFile : source.repositoryUrl) = value;
  }
  return true;
}

// One repository's trusted metadata in a folder of its own. Until the first refresh succeeds
// the root it starts from is only held here (seed), so a root that turns out wrong is not
// kept.
class SeededStore : public tuf::DirectoryStore {
 public:
  SeededStore(std::string folder, std::string seed)
      : DirectoryStore(std::move(folder)), seed_(std::move(seed)) {}
  // A forgotten role's file is empty: that counts as none.
  bool HasKept(std::string_view role) const {
    const PathFacts facts = LookAtPath(PathOf(role));
    return facts.kind == PathKind::kRegular && facts.size > 0;
  }
  bool Load(std::string_view role, std::string& bytes) override {
    if (DirectoryStore::Load(role, bytes) && !bytes.empty()) return true;
    if (role != tuf::kRoot || seed_.empty() || HasKept(role)) return false;
    bytes = seed_;
    return true;
  }
  // Keeps the root it started from, once a refresh has verified it.
  bool KeepSeed(std::string& why) {
    return HasKept(tuf::kRoot) || seed_.empty() || Save(tuf::kRoot, seed_, why);
  }

 private:
  std::string seed_;
};

// Downloads through platform/http, bounded as the client asks.
class HttpFetcher : public tuf::Fetcher {
 public:
  explicit HttpFetcher(const FirmwareSource& source) {
    limits_.caFile = source.caFile;
    limits_.stallTimeoutMs = source.stallTimeoutMs;
  }
  FetchResult Fetch(std::string_view url, std::size_t maxBytes) override {
    FetchLimits limits = limits_;
    limits.maxBytes = maxBytes;
    return zorbent::Fetch(url, limits, progress);
  }
  FetchProgress progress;  // for the download of a target

 private:
  FetchLimits limits_;
};

// A delegated role's name as its URL holds it (%XX for the bytes tuf::PercentEncode escapes).
std::string Decoded(std::string_view text) {
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned value = 0;
    if (text[i] == '%' && i + 2 < text.size() &&
        std::sscanf(std::string(text.substr(i + 1, 2)).c_str(), "%2x", &value) == 1) {
      name += static_cast<char>(value);
      i += 2;
    } else {
      name += text[i];
    }
  }
  return name;
}

// The metadata kept from the last refresh, served in place of the repository's, so that the
// client checks it again (signatures, versions, expiry) against this run's time. No newer
// root is there.
class KeptFetcher : public tuf::Fetcher {
 public:
  KeptFetcher(std::string metadataUrl, SeededStore& store)
      : metadataUrl_(std::move(metadataUrl)), store_(store) {}
  FetchResult Fetch(std::string_view url, std::size_t maxBytes) override {
    FetchResult result;
    result.url = std::string(url);
    result.kind = FetchResult::Problem::kNotFound;
    std::string_view name = url;
    if (!name.starts_with(metadataUrl_) || !name.ends_with(".json")) return result;
    name = name.substr(metadataUrl_.size(), name.size() - metadataUrl_.size() - 5);
    // "timestamp", or "<version>.<role>" with consistent snapshots.
    if (const std::size_t dot = name.find('.');
        dot != std::string_view::npos &&
        name.substr(0, dot).find_first_not_of("0123456789") == std::string_view::npos)
      name = name.substr(dot + 1);
    std::string bytes;
    if (name == tuf::kRoot || !store_.Load(Decoded(name), bytes)) return result;
    if (bytes.size() > maxBytes) {
      result.kind = FetchResult::Problem::kTooLarge;
      result.limit = maxBytes;
      return result;
    }
    result = {};
    result.ok = true;
    result.body.assign(bytes.begin(), bytes.end());
    return result;
  }

 private:
  std::string metadataUrl_;
  SeededStore& store_;
};

// The root to start from when the store has none: the one named for this repository, else the
// maker's. False with a sentence when there is none or it cannot be read.
bool SeedRoot(const FirmwareSource& source, std::string& root, std::string& problem) {
  std::string why;
  if (!source.rootFile.empty()) {
    if (ReadSmallFile(source.rootFile, static_cast<std::int64_t>(tuf::Limits{}.rootBytes), root,
                      why))
      return true;
    problem = "the trusted root " + why + ". Give the repository's root.json with --root FILE.";
    return false;
  }
  root = kBuiltInRoot;
  if (!root.empty()) return true;
#ifndef _WIN32
  bool missing = false;
  if (ReadSmallFile(std::string(kSystemRoot), static_cast<std::int64_t>(tuf::Limits{}.rootBytes),
                    root, why, &missing))
    return true;
  if (!missing) {
    problem = "the trusted root " + why;
    return false;
  }
#endif
  const std::string config = ConfigPath();
  problem = "no root is trusted for " + source.repositoryUrl +
            " yet: give the repository's root.json (from its publisher) with --root FILE, or as a "
            "\"root = PATH\" line in " +
            (config.empty() ? std::string("the settings file") : config) +
#ifndef _WIN32
            "; for the maker's repository, install its root as " + std::string(kSystemRoot) +
#endif
            ". It is read on the first run only: the root kept then counts afterwards.";
  return false;
}

std::string StoreFolder(const std::string& url, std::string& problem) {
  std::string error;
  const std::string data = UserDataFolder(error);
  if (data.empty()) {
    problem = "no folder to keep the repository's trusted metadata in: " + error + " (" +
              kDataFolderVariable + " names another)";
    return {};
  }
  const fs::path folder =
      fs::path(data) / kStoreFolder / Sha256Hex(Bytes(url)).substr(0, kUrlHashChars);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    problem = "cannot make the folder " + folder.string() + ": " + ec.message() + " (" +
              kDataFolderVariable + " names another)";
    return {};
  }
  // Which repository the folder is for, for a person looking into it.
  std::string why;
  if (LookAtPath((folder / "url").string()).kind == PathKind::kNone)
    WriteFileAtomically((folder / "url").string(), url + "\n", why);
  return folder.string();
}

std::string Host(std::string_view url) {
  std::string host = UrlHost(url);
  if (host.starts_with('[')) return host.substr(1, host.find(']') - 1);
  return host.substr(0, host.rfind(':'));
}

}  // namespace

struct FirmwareRepository::Client {
  explicit Client(const FirmwareSource& source) : fetcher(source) {}
  std::unique_ptr<SeededStore> store;
  HttpFetcher fetcher;
  std::unique_ptr<KeptFetcher> kept;
  std::unique_ptr<tuf::Updater> updater;
};

std::string RepositoryUrlProblem(std::string_view url, bool allowHttp) {
  if (url.empty()) {
    const std::string config = ConfigPath();
    return "no firmware repository is configured: give its URL with --repository, in " +
           std::string(kRepositoryVariable) + ", or as a \"repository = URL\" line in " +
           (config.empty() ? std::string("the settings file") : config);
  }
  if (UrlScheme(url) != "http" || allowHttp) return {};
  const std::string host = Host(url);
  if (host == "127.0.0.1" || host == "::1" || host == "localhost") return {};
  return "the repository " + std::string(url) +
         " is refused: http:// protects nothing on the way, so anyone on the network path could "
         "hold back new firmware. Use its https:// address, or give --allow-http if this network "
         "is yours.";
}

bool DefaultFirmwareSource(FirmwareSource& source, std::string& problem) {
  const std::string config = ConfigPath();
  if (!config.empty() && !ReadConfig(config, source, problem)) return false;
  const char* chosen = std::getenv(kRepositoryVariable);
  if (chosen != nullptr && *chosen != '\0') source.repositoryUrl = chosen;
  return true;
}

FirmwareRepository::FirmwareRepository(FirmwareSource source)
    : source_(std::move(source)), client_(std::make_unique<Client>(source_)) {
  while (source_.repositoryUrl.size() > 1 && source_.repositoryUrl.ends_with('/'))
    source_.repositoryUrl.pop_back();
}

FirmwareRepository::~FirmwareRepository() = default;

bool FirmwareRepository::Open(std::string& problem, bool offlineToo, bool* offline) {
  if (offline != nullptr) *offline = false;
  problem = RepositoryUrlProblem(source_.repositoryUrl, source_.allowHttp);
  if (!problem.empty()) return false;
  const std::string& url = source_.repositoryUrl;
  const std::string folder = StoreFolder(url, problem);
  if (folder.empty()) return false;
  std::string seed;
  if (!SeededStore(folder, {}).HasKept(tuf::kRoot) && !SeedRoot(source_, seed, problem))
    return false;
  client_->store = std::make_unique<SeededStore>(folder, std::move(seed));
  SeededStore& store = *client_->store;
  tuf::UpdaterConfig config;
  config.metadataUrl = url + "/" + std::string(kMetadataFolder);
  config.targetsUrl = url + "/" + std::string(kTargetsFolder);
  config.now = static_cast<std::int64_t>(std::time(nullptr));
  client_->updater = std::make_unique<tuf::Updater>(config, client_->fetcher, store);
  tuf::Problem refused;
  bool refreshed = client_->updater->Refresh(refused);
  if (!refreshed && offlineToo && refused.failure == tuf::Failure::kFetch &&
      store.HasKept("timestamp")) {
    client_->kept = std::make_unique<KeptFetcher>(config.metadataUrl, store);
    auto keptUpdater = std::make_unique<tuf::Updater>(config, *client_->kept, store);
    tuf::Problem keptRefused;
    if (keptUpdater->Refresh(keptRefused)) {
      client_->updater = std::move(keptUpdater);
      refreshed = true;
      if (offline != nullptr) *offline = true;
    }
  }
  std::vector<tuf::Target> targets;
  if (!refreshed || !client_->updater->ListTargets(targets, refused)) {
    problem = tuf::ProblemSentence(refused);
    return false;
  }
  std::string why;
  if (!store.KeepSeed(why)) {
    problem = "cannot keep the repository's trusted root: " + why;
    return false;
  }
  builds_ = BuildsOf(targets, &ignored_);
  return true;
}

bool FirmwareRepository::Download(const ReleaseBuild& build, std::string& path,
                                  std::vector<std::uint8_t>& bytes, std::string& problem,
                                  const FetchProgress& progress) {
  const auto sha256 = build.target.hashes.find("sha256");
  std::string error;
  const std::string folder = UserCacheFolder(
      std::string("firmware") + kFolderSeparator +
          (sha256 != build.target.hashes.end() ? sha256->second : std::string("other")),
      error);
  if (folder.empty()) {
    problem = "no cache folder for downloaded firmware: " + error + " (" + kCacheFolderVariable +
              " names another)";
    return false;
  }
  const std::string name = build.file.substr(build.file.rfind('/') + 1);
  path = folder + kFolderSeparator + name;
  std::string kept;
  std::string why;
  if (ReadSmallFile(path, build.target.length, kept, why) &&
      tuf::Updater::Matches(build.target, Bytes(kept))) {
    bytes.assign(kept.begin(), kept.end());
  } else {
    tuf::Problem refused;
    client_->fetcher.progress = progress;
    const bool fetched = client_->updater != nullptr &&
                         client_->updater->DownloadTarget(build.target, bytes, refused);
    client_->fetcher.progress = {};
    if (!fetched) {
      problem = tuf::ProblemSentence(refused);
      return false;
    }
    if (!WriteFileAtomically(path, std::span<const std::uint8_t>(bytes), why)) {
      problem = "cannot keep the downloaded firmware file: " + why;
      return false;
    }
  }
  return FileIsTheListedBuild(build, bytes, problem);
}

const ReleaseBuild* FirmwareRepository::FindBySha256(std::string_view sha256) const {
  for (const ReleaseBuild& build : builds_) {
    const auto hash = build.target.hashes.find("sha256");
    if (hash != build.target.hashes.end() && hash->second == sha256) return &build;
  }
  return nullptr;
}

}  // namespace zorbent
