#include "firmware/tuf/updater.h"

#include <algorithm>
#include <set>

#include "firmware/tuf/directory_store.h"
#include "firmware/tuf/trusted_set.h"

namespace zorbent::tuf {

namespace {

std::string Folder(std::string url) {
  if (!url.empty() && !url.ends_with('/') && !url.ends_with('\\')) url += '/';
  return url;
}

std::string_view Text(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool FetchFailed(const FetchResult& result, std::string_view url, std::string_view role,
                 std::size_t limit, Problem& problem) {
  problem = Problem{};
  problem.role = role;
  problem.url = url;
  problem.fetch = result.kind;
  if (result.kind == FetchResult::Problem::kTooLarge) {
    problem.failure = Failure::kTooLarge;
    problem.detail = std::to_string(limit);
  } else {
    problem.failure = Failure::kFetch;
    problem.detail = result.problem;
  }
  return false;
}

bool StorageFailed(std::string_view role, std::string why, Problem& problem) {
  problem = Problem{};
  problem.failure = Failure::kStorage;
  problem.role = role;
  problem.detail = std::move(why);
  return false;
}

// The end of the root chain: no next version to fetch.
bool NoSuchFile(const FetchResult& result) {
  return result.kind == FetchResult::Problem::kNotFound ||
         (result.kind == FetchResult::Problem::kHttpStatus && result.httpStatus == 403);
}

}  // namespace

struct Updater::State {
  explicit State(std::int64_t now) : trusted(now) {}
  TrustedSet trusted;
  bool refreshed = false;
};

Updater::Updater(UpdaterConfig config, Fetcher& fetcher, MetadataStore& store)
    : config_(std::move(config)), fetcher_(fetcher), store_(store) {
  config_.metadataUrl = Folder(config_.metadataUrl);
  config_.targetsUrl = Folder(config_.targetsUrl);
}

Updater::~Updater() = default;

bool Updater::Refresh(Problem& problem) {
  state_ = std::make_unique<State>(config_.now);
  TrustedSet& trusted = state_->trusted;
  const Limits& limits = config_.limits;
  std::string bytes, why;
  if (!store_.Load(kRoot, bytes)) {
    problem = Problem{Failure::kNoTrustedRoot, std::string(kRoot), "", {}, ""};
    return false;
  }
  if (!trusted.StartFromRoot(bytes, problem)) return false;

  // Each newer root in turn, until the repository has no next one.
  for (int i = 0; i < limits.maxRootRotations; ++i) {
    const std::string url =
        config_.metadataUrl + std::to_string(trusted.root().version + 1) + ".root.json";
    const FetchResult fetched = fetcher_.Fetch(url, limits.rootBytes);
    if (!fetched.ok && NoSuchFile(fetched)) break;
    if (!fetched.ok) return FetchFailed(fetched, url, kRoot, limits.rootBytes, problem);
    if (!trusted.UpdateRoot(Text(fetched.body), problem)) return false;
    // Fast-forward recovery: versions signed by rotated keys are no reference any more.
    if (trusted.LastRootRotatedTimestampOrSnapshot() &&
        (!store_.Forget(kTimestamp, why) || !store_.Forget(kSnapshot, why)))
      return StorageFailed(kTimestamp, why, problem);
    if (!store_.Save(kRoot, Text(fetched.body), why)) return StorageFailed(kRoot, why, problem);
  }
  if (!trusted.FinishRoots(problem)) return false;

  // Timestamp: the kept one as the reference for rollback, then the repository's.
  bool unchanged = false;
  Problem ignored;
  if (store_.Load(kTimestamp, bytes)) trusted.UpdateTimestamp(bytes, unchanged, ignored);
  {
    const std::string url = config_.metadataUrl + "timestamp.json";
    const FetchResult fetched = fetcher_.Fetch(url, limits.timestampBytes);
    if (!fetched.ok) return FetchFailed(fetched, url, kTimestamp, limits.timestampBytes, problem);
    if (!trusted.UpdateTimestamp(Text(fetched.body), unchanged, problem)) return false;
    if (!unchanged && !store_.Save(kTimestamp, Text(fetched.body), why))
      return StorageFailed(kTimestamp, why, problem);
  }

  // Snapshot: the kept one when it is still the one the timestamp lists.
  bool haveSnapshot = store_.Load(kSnapshot, bytes) && trusted.UpdateSnapshot(bytes, true, ignored);
  if (!haveSnapshot) {
    const MetaFile& listed = trusted.timestamp()->snapshot;
    const std::string url =
        config_.metadataUrl +
        (trusted.root().consistentSnapshot ? std::to_string(listed.version) + "." : "") +
        "snapshot.json";
    const std::size_t limit =
        listed.length ? static_cast<std::size_t>(*listed.length) : limits.snapshotBytes;
    const FetchResult fetched = fetcher_.Fetch(url, limit);
    if (!fetched.ok) return FetchFailed(fetched, url, kSnapshot, limit, problem);
    if (!trusted.UpdateSnapshot(Text(fetched.body), false, problem)) return false;
    if (!store_.Save(kSnapshot, Text(fetched.body), why))
      return StorageFailed(kSnapshot, why, problem);
  }

  if (!LoadTargets(std::string(kTargets), std::string(kRoot), problem)) return false;
  state_->refreshed = true;
  return true;
}

bool Updater::LoadTargets(const std::string& role, const std::string& delegator, Problem& problem) {
  TrustedSet& trusted = state_->trusted;
  if (trusted.targets(role) != nullptr) return true;
  std::string bytes, why;
  Problem ignored;
  if (store_.Load(role, bytes) && trusted.UpdateTargets(role, delegator, bytes, ignored))
    return true;
  const auto listed = trusted.snapshot()->meta.find(role + ".json");
  if (listed == trusted.snapshot()->meta.end()) {
    problem = Problem{Failure::kMismatch, role, "snapshot does not list it", {}, ""};
    return false;
  }
  const std::string url =
      config_.metadataUrl +
      (trusted.root().consistentSnapshot ? std::to_string(listed->second.version) + "." : "") +
      PercentEncode(role) + ".json";
  const std::size_t limit = listed->second.length ? static_cast<std::size_t>(*listed->second.length)
                                                  : config_.limits.targetsBytes;
  const FetchResult fetched = fetcher_.Fetch(url, limit);
  if (!fetched.ok) return FetchFailed(fetched, url, role, limit, problem);
  if (!trusted.UpdateTargets(role, delegator, Text(fetched.body), problem)) return false;
  if (!store_.Save(role, Text(fetched.body), why)) return StorageFailed(role, why, problem);
  return true;
}

bool Updater::FindTarget(std::string_view path, Target& target, Problem& problem) {
  if (!state_ || !state_->refreshed) {
    if (!Refresh(problem)) return false;
  }
  // Pre-order: a role's own targets, then its delegations in order, each before the next.
  std::vector<std::pair<std::string, std::string>> toVisit = {
      {std::string(kTargets), std::string(kRoot)}};
  std::set<std::string> visited;
  while (!toVisit.empty() && static_cast<int>(visited.size()) < config_.limits.maxDelegations) {
    auto [role, delegator] = std::move(toVisit.back());
    toVisit.pop_back();
    if (visited.contains(role)) continue;
    if (!LoadTargets(role, delegator, problem)) return false;
    const Targets& targets = *state_->trusted.targets(role);
    const auto found = targets.targets.find(std::string(path));
    if (found != targets.targets.end()) {
      target = Target{found->first, found->second.length, found->second.hashes,
                      found->second.custom, role};
      return true;
    }
    visited.insert(role);
    if (!targets.delegations) continue;
    std::vector<std::pair<std::string, std::string>> children;
    for (const DelegatedRole& child : targets.delegations->roles) {
      if (!RoleCovers(child, path)) continue;
      children.emplace_back(child.name, role);
      if (child.terminating) {
        toVisit.clear();  // nothing after a terminating role is searched
        break;
      }
    }
    toVisit.insert(toVisit.end(), children.rbegin(), children.rend());
  }
  problem = Problem{Failure::kTargetUnknown, std::string(kTargets), std::string(path), {}, ""};
  return false;
}

bool Updater::ListTargets(std::vector<Target>& list, Problem& problem) {
  list.clear();
  if (!state_ || !state_->refreshed) {
    if (!Refresh(problem)) return false;
  }
  // The same order as the search: where two roles list one name, the first one's entry wins.
  std::vector<std::pair<std::string, std::string>> toVisit = {
      {std::string(kTargets), std::string(kRoot)}};
  std::set<std::string> visited, names;
  while (!toVisit.empty() && static_cast<int>(visited.size()) < config_.limits.maxDelegations) {
    auto [role, delegator] = std::move(toVisit.back());
    toVisit.pop_back();
    if (!visited.insert(role).second) continue;
    if (!LoadTargets(role, delegator, problem)) return false;
    const Targets& targets = *state_->trusted.targets(role);
    const DelegatedRole* self = nullptr;
    if (const Targets* parent = state_->trusted.targets(delegator);
        parent != nullptr && parent->delegations)
      for (const DelegatedRole& child : parent->delegations->roles)
        if (child.name == role) self = &child;
    for (const auto& [path, file] : targets.targets) {
      // A delegated role's entries count only for paths delegated to it.
      if (self != nullptr && !RoleCovers(*self, path)) continue;
      if (names.insert(path).second)
        list.push_back(Target{path, file.length, file.hashes, file.custom, role});
    }
    if (!targets.delegations) continue;
    const auto& roles = targets.delegations->roles;
    for (auto child = roles.rbegin(); child != roles.rend(); ++child)
      toVisit.emplace_back(child->name, role);
  }
  return true;
}

bool Updater::DownloadTarget(const Target& target, std::vector<std::uint8_t>& bytes,
                             Problem& problem) {
  bytes.clear();
  std::string name = target.path;
  if (state_ && state_->trusted.root().consistentSnapshot && !target.hashes.empty()) {
    // "<dir>/<hash>.<file name>": a publish never overwrites a file a reader may be fetching.
    const auto sha256 = target.hashes.find("sha256");
    const std::string& hash =
        sha256 != target.hashes.end() ? sha256->second : target.hashes.begin()->second;
    const std::size_t slash = name.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    name = name.substr(0, base) + hash + "." + name.substr(base);
  }
  const std::string url = config_.targetsUrl + name;
  const auto limit = static_cast<std::size_t>(target.length);
  FetchResult fetched = fetcher_.Fetch(url, limit);
  // A target's problems name no role: the file is the subject.
  if (!fetched.ok) return FetchFailed(fetched, url, "", limit, problem);
  if (!Matches(target, fetched.body)) {
    problem = Problem{Failure::kTargetMismatch, "", target.path, {}, url};
    return false;
  }
  bytes = std::move(fetched.body);
  return true;
}

bool Updater::Matches(const Target& target, std::span<const std::uint8_t> bytes) {
  return !target.hashes.empty() && MatchesListing(bytes, target.length, target.hashes);
}

}  // namespace zorbent::tuf
