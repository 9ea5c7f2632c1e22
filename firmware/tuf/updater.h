#pragma once

// The client of a firmware repository in the format of The Update Framework (TUF 1.0):
// root.json, timestamp.json, snapshot.json, targets.json and delegated targets roles, each
// signed by a threshold of its role's keys. The checks are pure: they work on bytes handed to
// them against one start time, and keep the trusted set in memory; fetching, storage and the
// clock come from the caller, so the program, the windows and the page share this code and the
// tests feed it metadata without a network.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/http.h"

namespace zorbent::tuf {

// What went wrong, as facts; the front ends word them.
enum class Failure {
  kNone,
  kNoTrustedRoot,   // the store has no root to start from
  kFetch,           // a download failed (fetch says how)
  kTooLarge,        // a file over its length limit (endless data)
  kMalformed,       // not metadata of the expected role and form
  kUnsigned,        // fewer valid signatures from the role's trusted keys than its threshold
  kRollback,        // a version older than the trusted one (rollback or replay)
  kExpired,         // expired metadata (freeze)
  kMismatch,        // version, length or hash differs from what the referring role lists
  kTargetUnknown,   // no target of that name in the trusted targets
  kTargetMismatch,  // a target's length or hashes differ from its listing
  kStorage,         // the trusted metadata could not be kept
};

struct Problem {
  Failure failure = Failure::kNone;
  std::string role;    // "root", "timestamp", "snapshot", "targets", a delegated role, or ""
  std::string detail;  // facts for the words: versions, the expiry, the file's name, ...
  FetchResult::Problem fetch = FetchResult::Problem::kNone;  // with kFetch
  std::string url;                                           // with kFetch and kTooLarge
};

// Downloads one file, never more than maxBytes (the repository's limit for it).
class Fetcher {
 public:
  virtual ~Fetcher() = default;
  virtual FetchResult Fetch(std::string_view url, std::size_t maxBytes) = 0;
};

// The trusted metadata of one repository between runs, by role name ("root", "timestamp",
// "snapshot", "targets", delegated roles), as the verified bytes.
class MetadataStore {
 public:
  virtual ~MetadataStore() = default;
  // False when there is none.
  virtual bool Load(std::string_view role, std::string& bytes) = 0;
  virtual bool Save(std::string_view role, std::string_view bytes, std::string& why) = 0;
  // Drops what is kept for role (a timestamp or snapshot whose keys the root rotated); by
  // default it is overwritten with nothing, which Load's callers take as none.
  virtual bool Forget(std::string_view role, std::string& why) { return Save(role, {}, why); }
};

// Limits on what is fetched; far above any real repository of this program's.
struct Limits {
  std::size_t rootBytes = 512 * 1024;
  std::size_t timestampBytes = 16 * 1024;
  std::size_t snapshotBytes = 2 * 1024 * 1024;  // when timestamp lists no length
  std::size_t targetsBytes = 8 * 1024 * 1024;   // when snapshot lists no length
  int maxRootRotations = 256;                   // new root versions read in one refresh
  int maxDelegations = 32;                      // roles visited in one target search
};

struct UpdaterConfig {
  std::string metadataUrl;  // the folder of the metadata files
  std::string targetsUrl;   // the folder of the target files
  std::int64_t now = 0;     // seconds since 1970 UTC, read once at the start of the run
  Limits limits;
};

// One target as the trusted targets (or a delegated role) list it.
struct Target {
  std::string path;  // the target's name in the repository ("ktr5577/ktr5577-2.2.3X.txt")
  std::int64_t length = 0;
  std::map<std::string, std::string> hashes;  // algorithm -> lower-case hex ("sha256")
  nlohmann::json custom;                      // the target's "custom" object, or null
  std::string role;                           // the role that listed it
};

class Updater {
 public:
  Updater(UpdaterConfig config, Fetcher& fetcher, MetadataStore& store);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // The client workflow: the trusted root from the store, each newer root in turn, then
  // timestamp, snapshot and targets, each checked and kept in the store. False with problem
  // at the first refusal; the store then holds only verified metadata.
  bool Refresh(Problem& problem);
  // The target of that name, searching delegated roles in pre-order (after Refresh).
  bool FindTarget(std::string_view path, Target& target, Problem& problem);
  // Every target of the top-level targets and of the delegated roles, for a listing.
  bool ListTargets(std::vector<Target>& targets, Problem& problem);
  // The target's bytes from targetsUrl (the hash-prefixed name with consistent snapshots),
  // no more than its length, checked against its length and hashes before they are returned.
  bool DownloadTarget(const Target& target, std::vector<std::uint8_t>& bytes, Problem& problem);
  // Whether bytes already held are the target (its length and every listed hash).
  static bool Matches(const Target& target, std::span<const std::uint8_t> bytes);

 private:
  struct State;
  // role's targets, from the store when they are still the listed version, else fetched.
  bool LoadTargets(const std::string& role, const std::string& delegator, Problem& problem);
  UpdaterConfig config_;
  Fetcher& fetcher_;
  MetadataStore& store_;
  std::unique_ptr<State> state_;
};

}  // namespace zorbent::tuf
