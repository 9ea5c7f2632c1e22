#include "firmware/tuf/trusted_set.h"

#include <algorithm>
#include <vector>

#include "platform/digest.h"

namespace zorbent::tuf {

namespace {

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool Fail(Problem& problem, Failure failure, std::string_view role, std::string detail) {
  problem = Problem{};
  problem.failure = failure;
  problem.role = role;
  problem.detail = std::move(detail);
  return false;
}

std::string Version(std::int64_t version) {
  return "version " + std::to_string(version);
}

// The version as a referrer lists it: the file must carry exactly that one.
bool ListedVersion(std::int64_t version, std::int64_t listed, std::string_view role,
                   std::string_view referrer, Problem& problem) {
  if (version == listed) return true;
  return Fail(
      problem, Failure::kMismatch, role,
      Version(version) + " came where " + std::string(referrer) + " lists " + Version(listed));
}

bool Listing(std::string_view bytes, const MetaFile& listed, std::string_view role,
             std::string_view referrer, Problem& problem) {
  if (listed.length && static_cast<std::int64_t>(bytes.size()) != *listed.length)
    return Fail(problem, Failure::kMismatch, role,
                std::to_string(bytes.size()) + " bytes came where " + std::string(referrer) +
                    " lists " + std::to_string(*listed.length));
  if (!MatchesListing(Bytes(bytes), std::nullopt, listed.hashes))
    return Fail(problem, Failure::kMismatch, role,
                "its hashes differ from what " + std::string(referrer) + " lists");
  return true;
}

bool SameKeys(const Root& a, const Root& b, std::string_view role) {
  const RoleKeys& left = a.roles.at(std::string(role));
  const RoleKeys& right = b.roles.at(std::string(role));
  if (left.threshold != right.threshold || left.keyids.size() != right.keyids.size()) return false;
  for (const std::string& keyid : left.keyids) {
    const auto inA = a.keys.find(keyid);
    const auto inB = b.keys.find(keyid);
    if (inA == a.keys.end() || inB == b.keys.end() ||
        inA->second.publicValue != inB->second.publicValue ||
        std::find(right.keyids.begin(), right.keyids.end(), keyid) == right.keyids.end())
      return false;
  }
  return true;
}

// fnmatch(3) without flags on one path segment: *, ?, [set], [!set].
bool MatchSegment(std::string_view pattern, std::string_view text) {
  std::size_t p = 0, t = 0;
  std::size_t starP = std::string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
      continue;
    }
    bool matched = false;
    std::size_t next = p + 1;
    if (p < pattern.size() && pattern[p] == '[') {
      std::size_t q = p + 1;
      const bool negate = q < pattern.size() && (pattern[q] == '!' || pattern[q] == '^');
      if (negate) ++q;
      bool inSet = false;
      const std::size_t first = q;
      while (q < pattern.size() && (pattern[q] != ']' || q == first)) {
        if (q + 2 < pattern.size() && pattern[q + 1] == '-' && pattern[q + 2] != ']') {
          inSet = inSet || (pattern[q] <= text[t] && text[t] <= pattern[q + 2]);
          q += 3;
        } else {
          inSet = inSet || pattern[q] == text[t];
          ++q;
        }
      }
      if (q < pattern.size()) {
        matched = inSet != negate;
        next = q + 1;
      } else {
        matched = text[t] == '[';  // no closing bracket: a plain '['
      }
    } else if (p < pattern.size()) {
      matched = pattern[p] == '?' || pattern[p] == text[t];
    }
    if (matched) {
      p = next;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string_view> Segments(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    out.push_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos) return out;
    start = slash + 1;
  }
}

}  // namespace

bool MatchesListing(std::span<const std::uint8_t> bytes, std::optional<std::int64_t> length,
                    const std::map<std::string, std::string>& hashes) {
  if (length && static_cast<std::int64_t>(bytes.size()) != *length) return false;
  for (const auto& [algorithm, digest] : hashes)
    if (algorithm != "sha256" || Sha256Hex(bytes) != digest) return false;
  return true;
}

bool RoleCovers(const DelegatedRole& role, std::string_view path) {
  if (role.paths) {
    const std::vector<std::string_view> segments = Segments(path);
    for (const std::string& pattern : *role.paths) {
      const std::vector<std::string_view> patterns = Segments(pattern);
      if (patterns.size() != segments.size()) continue;
      bool all = true;
      for (std::size_t i = 0; all && i < patterns.size(); ++i)
        all = MatchSegment(patterns[i], segments[i]);
      if (all) return true;
    }
    return false;
  }
  if (role.pathHashPrefixes) {
    const std::string hash = Sha256Hex(Bytes(path));
    for (const std::string& prefix : *role.pathHashPrefixes)
      if (hash.starts_with(prefix)) return true;
  }
  return false;
}

bool TrustedSet::Read(std::string_view bytes, std::string_view role, std::string_view type,
                      Envelope& envelope, Problem& problem) const {
  std::string why;
  if (!ReadEnvelope(bytes, type, envelope, why))
    return Fail(problem, Failure::kMalformed, role, why);
  return true;
}

bool TrustedSet::Expired(const Common& common, std::string_view role, Problem& problem) const {
  if (common.expiresAt > now_) return false;
  Fail(problem, Failure::kExpired, role, common.expires);
  return true;
}

bool TrustedSet::StartFromRoot(std::string_view bytes, Problem& problem) {
  Envelope envelope;
  Root root;
  std::string why;
  if (!Read(bytes, kRoot, kRoot, envelope, problem)) return false;
  if (!ReadRoot(envelope.signedPart, root, why))
    return Fail(problem, Failure::kMalformed, kRoot, why);
  if (!VerifyThreshold(envelope, root.keys, root.roles.at(std::string(kRoot)), why))
    return Fail(problem, Failure::kUnsigned, kRoot, why);
  root_ = std::move(root);
  return true;
}

bool TrustedSet::UpdateRoot(std::string_view bytes, Problem& problem) {
  rotatedTimestampOrSnapshot_ = false;
  if (timestamp_)  // the roles below were checked against the root before it
    return Fail(problem, Failure::kMalformed, kRoot, "a new root came after the timestamp");
  Envelope envelope;
  Root root;
  std::string why;
  if (!Read(bytes, kRoot, kRoot, envelope, problem)) return false;
  if (!VerifyThreshold(envelope, root_.keys, root_.roles.at(std::string(kRoot)), why))
    return Fail(problem, Failure::kUnsigned, kRoot, why + " (of the trusted root)");
  if (!ReadRoot(envelope.signedPart, root, why))
    return Fail(problem, Failure::kMalformed, kRoot, why);
  if (!VerifyThreshold(envelope, root.keys, root.roles.at(std::string(kRoot)), why))
    return Fail(problem, Failure::kUnsigned, kRoot, why + " (of the new root)");
  if (root.version <= root_.version)
    return Fail(problem, Failure::kRollback, kRoot,
                Version(root.version) + " is not newer than the trusted " + Version(root_.version));
  if (root.version != root_.version + 1)
    return Fail(
        problem, Failure::kMismatch, kRoot,
        Version(root.version) + " came where " + Version(root_.version + 1) + " was expected");
  rotatedTimestampOrSnapshot_ =
      !SameKeys(root_, root, kTimestamp) || !SameKeys(root_, root, kSnapshot);
  root_ = std::move(root);
  return true;
}

bool TrustedSet::FinishRoots(Problem& problem) {
  return !Expired(root_, kRoot, problem);
}

bool TrustedSet::UpdateTimestamp(std::string_view bytes, bool& unchanged, Problem& problem) {
  unchanged = false;
  Envelope envelope;
  Timestamp timestamp;
  std::string why;
  if (!Read(bytes, kTimestamp, kTimestamp, envelope, problem)) return false;
  if (!VerifyThreshold(envelope, root_.keys, root_.roles.at(std::string(kTimestamp)), why))
    return Fail(problem, Failure::kUnsigned, kTimestamp, why);
  if (!ReadTimestamp(envelope.signedPart, timestamp, why))
    return Fail(problem, Failure::kMalformed, kTimestamp, why);
  if (timestamp_) {
    if (timestamp.version < timestamp_->version)
      return Fail(problem, Failure::kRollback, kTimestamp,
                  Version(timestamp.version) + " is older than the trusted " +
                      Version(timestamp_->version));
    if (timestamp.version == timestamp_->version) {
      unchanged = true;
      return !Expired(*timestamp_, kTimestamp, problem);
    }
    if (timestamp.snapshot.version < timestamp_->snapshot.version)
      return Fail(problem, Failure::kRollback, kSnapshot,
                  "timestamp lists snapshot " + Version(timestamp.snapshot.version) +
                      ", older than the trusted " + Version(timestamp_->snapshot.version));
  }
  timestamp_ = std::move(timestamp);
  return !Expired(*timestamp_, kTimestamp, problem);
}

bool TrustedSet::SnapshotIsFinal(Problem& problem) const {
  if (Expired(*snapshot_, kSnapshot, problem)) return false;
  return ListedVersion(snapshot_->version, timestamp_->snapshot.version, kSnapshot, kTimestamp,
                       problem);
}

bool TrustedSet::UpdateSnapshot(std::string_view bytes, bool fromStore, Problem& problem) {
  if (!timestamp_) return Fail(problem, Failure::kMalformed, kSnapshot, "no trusted timestamp");
  if (Expired(*timestamp_, kTimestamp, problem)) return false;
  if (!fromStore && !Listing(bytes, timestamp_->snapshot, kSnapshot, kTimestamp, problem))
    return false;
  Envelope envelope;
  Snapshot snapshot;
  std::string why;
  if (!Read(bytes, kSnapshot, kSnapshot, envelope, problem)) return false;
  if (!VerifyThreshold(envelope, root_.keys, root_.roles.at(std::string(kSnapshot)), why))
    return Fail(problem, Failure::kUnsigned, kSnapshot, why);
  if (!ReadSnapshot(envelope.signedPart, snapshot, why))
    return Fail(problem, Failure::kMalformed, kSnapshot, why);
  if (snapshot_) {
    for (const auto& [name, old] : snapshot_->meta) {
      const std::string role = name.ends_with(".json") ? name.substr(0, name.size() - 5) : name;
      const auto now = snapshot.meta.find(name);
      if (now == snapshot.meta.end())
        return Fail(problem, Failure::kRollback, role,
                    "snapshot no longer lists it (the trusted snapshot lists " +
                        Version(old.version) + ")");
      if (now->second.version < old.version)
        return Fail(problem, Failure::kRollback, role,
                    "snapshot lists " + Version(now->second.version) + ", older than the trusted " +
                        Version(old.version));
    }
  }
  snapshot_ = std::move(snapshot);
  targets_.clear();  // each refresh loads the targets the new snapshot lists
  return SnapshotIsFinal(problem);
}

bool TrustedSet::UpdateTargets(std::string_view role, std::string_view delegator,
                               std::string_view bytes, Problem& problem) {
  if (!snapshot_) return Fail(problem, Failure::kMalformed, role, "no trusted snapshot");
  if (!SnapshotIsFinal(problem)) return false;
  // The delegator's keys for role.
  const std::map<std::string, Key>* keys = nullptr;
  const RoleKeys* roleKeys = nullptr;
  if (delegator == kRoot) {
    keys = &root_.keys;
    roleKeys = &root_.roles.at(std::string(kTargets));
  } else {
    const Targets* parent = targets(delegator);
    if (parent != nullptr && parent->delegations) {
      keys = &parent->delegations->keys;
      for (const DelegatedRole& child : parent->delegations->roles)
        if (child.name == role) roleKeys = &child.keys;
    }
  }
  if (keys == nullptr || roleKeys == nullptr)
    return Fail(problem, Failure::kMalformed, role,
                std::string(delegator) + " does not delegate to it");
  const auto listed = snapshot_->meta.find(std::string(role) + ".json");
  if (listed == snapshot_->meta.end())
    return Fail(problem, Failure::kMismatch, role, "snapshot does not list it");
  if (!Listing(bytes, listed->second, role, kSnapshot, problem)) return false;
  Envelope envelope;
  Targets targets;
  std::string why;
  if (!Read(bytes, role, kTargets, envelope, problem)) return false;
  if (!VerifyThreshold(envelope, *keys, *roleKeys, why))
    return Fail(problem, Failure::kUnsigned, role, why);
  if (!ReadTargets(envelope.signedPart, targets, why))
    return Fail(problem, Failure::kMalformed, role, why);
  if (!ListedVersion(targets.version, listed->second.version, role, kSnapshot, problem) ||
      Expired(targets, role, problem))
    return false;
  targets_.insert_or_assign(std::string(role), std::move(targets));
  return true;
}

const Targets* TrustedSet::targets(std::string_view role) const {
  const auto found = targets_.find(role);
  return found == targets_.end() ? nullptr : &found->second;
}

}  // namespace zorbent::tuf
