#pragma once

// The trusted metadata of one refresh, and the checks each new file must pass before it
// joins: the root chain, then timestamp, snapshot and targets roles in that order, each
// against the roles already trusted and one start time. Pure: bytes in, a verdict out.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "firmware/tuf/metadata.h"
#include "firmware/tuf/updater.h"

namespace zorbent::tuf {

class TrustedSet {
 public:
  explicit TrustedSet(std::int64_t now) : now_(now) {}

  // The root the client already trusts: well formed and signed by its own threshold. Its
  // expiry is checked only after any newer root (FinishRoots).
  bool StartFromRoot(std::string_view bytes, Problem& problem);
  // The next root version: signed by the trusted root's threshold of its root keys and by its
  // own, its version exactly one more.
  bool UpdateRoot(std::string_view bytes, Problem& problem);
  // Whether the last UpdateRoot changed the timestamp or snapshot role's keys or threshold:
  // the timestamp and snapshot trusted before then are no longer evidence of anything (a
  // compromised key may have pushed their versions up).
  bool LastRootRotatedTimestampOrSnapshot() const { return rotatedTimestampOrSnapshot_; }
  // The final root: not expired.
  bool FinishRoots(Problem& problem);

  // A timestamp signed by the root's timestamp keys, not older than the trusted one and not
  // listing an older snapshot. A timestamp of the trusted version is left out: unchanged
  // (true) is then set and the trusted one stays. An expired one is kept (a newer version
  // than it is still needed) but refused.
  bool UpdateTimestamp(std::string_view bytes, bool& unchanged, Problem& problem);
  // A snapshot matching the timestamp's listing (length and hashes; not for one from the
  // store, which the new timestamp may have moved past), signed by the root's snapshot keys,
  // listing no role older than the trusted snapshot does, of the version the timestamp lists
  // and not expired. One that fails only the last two checks is still kept as the reference
  // for the next one.
  bool UpdateSnapshot(std::string_view bytes, bool fromStore, Problem& problem);
  // Targets of role ("targets" or a delegated role) delegated by delegator ("root" for
  // "targets"): matching the snapshot's listing, signed by the delegator's keys for role, of
  // the listed version and not expired.
  bool UpdateTargets(std::string_view role, std::string_view delegator, std::string_view bytes,
                     Problem& problem);

  const Root& root() const { return root_; }
  const Timestamp* timestamp() const { return timestamp_ ? &*timestamp_ : nullptr; }
  const Snapshot* snapshot() const { return snapshot_ ? &*snapshot_ : nullptr; }
  const Targets* targets(std::string_view role) const;

 private:
  bool Read(std::string_view bytes, std::string_view role, std::string_view type,
            Envelope& envelope, Problem& problem) const;
  bool Expired(const Common& common, std::string_view role, Problem& problem) const;
  // A snapshot that passes its final checks: not expired, of the timestamp's version.
  bool SnapshotIsFinal(Problem& problem) const;

  std::int64_t now_;
  Root root_;
  bool rotatedTimestampOrSnapshot_ = false;
  std::optional<Timestamp> timestamp_;
  std::optional<Snapshot> snapshot_;
  std::map<std::string, Targets, std::less<>> targets_;
};

// Whether bytes are what listing says: its length and, when it lists them, its hashes (only
// sha256 is known; a listing naming another algorithm never matches).
bool MatchesListing(std::span<const std::uint8_t> bytes, std::optional<std::int64_t> length,
                    const std::map<std::string, std::string>& hashes);

// Whether a delegated role may sign for path: its path patterns (shell patterns matched
// segment by segment) or its prefixes of the SHA-256 hex of path.
bool RoleCovers(const DelegatedRole& role, std::string_view path);

}  // namespace zorbent::tuf
