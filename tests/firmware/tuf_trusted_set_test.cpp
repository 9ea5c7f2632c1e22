// The client's checks over metadata built here and signed with fresh keys: one table, each
// case ending in the failure (and the role) the trusted set gives.
#include "firmware/tuf/trusted_set.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/tuf_repository.h"

namespace zorbent::tuf {
namespace {

using testing::kDay;
using testing::kNow;
using testing::TufKey;
using testing::TufRepository;

// Root, timestamp, snapshot and targets as the repository stands; stops at the first refusal.
bool Chain(TufRepository& repo, TrustedSet& set, Problem& problem) {
  bool unchanged = false;
  const std::string snapshot = repo.Snapshot();
  return set.UpdateTimestamp(repo.Timestamp(snapshot), unchanged, problem) &&
         set.UpdateSnapshot(snapshot, false, problem) &&
         set.UpdateTargets(kTargets, kRoot, repo.Targets(), problem);
}

// The next root, with root keys replaced by next's and signed by signers.
bool RotateRoot(TufRepository& repo, TrustedSet& set, const TufKey& next,
                std::vector<const TufKey*> signers, Problem& problem) {
  repo.root.version++;
  repo.root.keys.erase(repo.rootKey.id);
  testing::Trust(repo.root, kRoot, {&next});
  repo.rootSigners = std::move(signers);
  return set.UpdateRoot(repo.Root(), problem);
}

TEST(TrustedSet, RefusesEachAttackWithItsFailure) {
  const TufKey other = testing::NewTufKey();
  const struct {
    const char* name;
    std::function<bool(TufRepository&, TrustedSet&, Problem&)> steps;
    Failure failure;
    const char* role;
  } cases[] = {
      {"a valid chain", Chain, Failure::kNone, ""},
      {"a new root signed by both roots' keys",
       [&](auto& repo, auto& set, auto& problem) {
         return RotateRoot(repo, set, other, {&repo.rootKey, &other}, problem) &&
                set.FinishRoots(problem) && Chain(repo, set, problem);
       },
       Failure::kNone, ""},
      {"a new root signed by the new keys alone",
       [&](auto& repo, auto& set, auto& problem) {
         return RotateRoot(repo, set, other, {&other}, problem);
       },
       Failure::kUnsigned, "root"},
      {"a new root signed by the old keys alone",
       [&](auto& repo, auto& set, auto& problem) {
         return RotateRoot(repo, set, other, {&repo.rootKey}, problem);
       },
       Failure::kUnsigned, "root"},
      {"a root version skipped",
       [&](auto& repo, auto& set, auto& problem) {
         repo.root.version = 3;
         return set.UpdateRoot(repo.Root(), problem);
       },
       Failure::kMismatch, "root"},
      {"the trusted root served again",
       [](auto& repo, auto& set, auto& problem) { return set.UpdateRoot(repo.Root(), problem); },
       Failure::kRollback, "root"},
      {"an expired root",
       [](auto& repo, auto& set, auto& problem) {
         repo.root.expiresAt = kNow - kDay;
         repo.root.expires.clear();
         return set.StartFromRoot(repo.Root(), problem) && set.FinishRoots(problem);
       },
       Failure::kExpired, "root"},
      {"an older timestamp",
       [](auto& repo, auto& set, auto& problem) {
         repo.timestamp.version = 2;
         bool unchanged = false;
         if (!Chain(repo, set, problem)) return false;
         repo.timestamp.version = 1;
         return set.UpdateTimestamp(repo.Timestamp(repo.Snapshot()), unchanged, problem);
       },
       Failure::kRollback, "timestamp"},
      {"a timestamp listing an older snapshot",
       [](auto& repo, auto& set, auto& problem) {
         repo.snapshot.version = 2;
         bool unchanged = false;
         if (!Chain(repo, set, problem)) return false;
         repo.snapshot.version = 1;
         repo.timestamp.version = 2;
         return set.UpdateTimestamp(repo.Timestamp(repo.Snapshot()), unchanged, problem);
       },
       Failure::kRollback, "snapshot"},
      {"a snapshot listing older targets",
       [](auto& repo, auto& set, auto& problem) {
         repo.targets.version = 2;
         if (!Chain(repo, set, problem)) return false;
         repo.targets.version = 1;
         repo.snapshot.version = repo.timestamp.version = 2;
         return Chain(repo, set, problem);
       },
       Failure::kRollback, "targets"},
      {"an expired timestamp",
       [](auto& repo, auto& set, auto& problem) {
         repo.timestamp.expiresAt = kNow;
         return Chain(repo, set, problem);
       },
       Failure::kExpired, "timestamp"},
      {"targets other than the snapshot lists (mix and match)",
       [](auto& repo, auto& set, auto& problem) {
         repo.targets.version = 2;
         const std::string snapshot = repo.Snapshot();
         repo.targets.version = 1;
         bool unchanged = false;
         return set.UpdateTimestamp(repo.Timestamp(snapshot), unchanged, problem) &&
                set.UpdateSnapshot(snapshot, false, problem) &&
                set.UpdateTargets(kTargets, kRoot, repo.Targets(), problem);
       },
       Failure::kMismatch, "targets"},
      {"a snapshot whose hash the timestamp does not list",
       [](auto& repo, auto& set, auto& problem) {
         bool unchanged = false;
         const std::string timestamp = repo.Timestamp(repo.Snapshot());
         repo.snapshot.expiresAt += kDay;
         return set.UpdateTimestamp(timestamp, unchanged, problem) &&
                set.UpdateSnapshot(repo.Snapshot(), false, problem);
       },
       Failure::kMismatch, "snapshot"},
      {"a threshold of two met by one key twice",
       [&](auto& repo, auto& set, auto& problem) {
         // The same key under a second id, both named for targets; an unknown signer too.
         repo.root.keys["alias"] = repo.targetsKey.key;
         repo.root.roles["targets"] = {{repo.targetsKey.id, "alias"}, 2};
         repo.root.version = 2;
         repo.rootSigners = {&repo.rootKey};
         const std::string snapshot = repo.Snapshot();
         bool unchanged = false;
         nlohmann::json envelope = nlohmann::json::parse(
             testing::SignedBy(ToJson(repo.targets), {&repo.targetsKey, &repo.targetsKey, &other}));
         envelope["signatures"][1]["keyid"] = "alias";
         return set.UpdateRoot(repo.Root(), problem) &&
                set.UpdateTimestamp(repo.Timestamp(snapshot), unchanged, problem) &&
                set.UpdateSnapshot(snapshot, false, problem) &&
                set.UpdateTargets(kTargets, kRoot, envelope.dump(), problem);
       },
       Failure::kUnsigned, "targets"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TufRepository repo;
    TrustedSet set(kNow);
    Problem problem;
    ASSERT_TRUE(set.StartFromRoot(repo.Root(), problem)) << problem.detail;
    EXPECT_EQ(c.steps(repo, set, problem), c.failure == Failure::kNone);
    EXPECT_EQ(problem.failure, c.failure) << problem.detail;
    EXPECT_EQ(problem.role, c.role);
  }
}

TEST(TrustedSet, DelegatedRolesCoverTheirPathsOnly) {
  DelegatedRole role;
  role.paths = std::vector<std::string>{"KTR5577/*.txt", "KTR55[0-8]?/v[!x]*"};
  for (const auto& [path, covered] : std::vector<std::pair<std::string, bool>>{
           {"KTR5577/a.txt", true},
           {"KTR5577/sub/a.txt", false},  // "*" stays within one folder
           {"KTR5588/v2", true},
           {"KTR5588/vx2", false},
           {"KTR5599/v2", false}}) {
    EXPECT_EQ(RoleCovers(role, path), covered) << path;
  }
  role.paths.reset();
  role.pathHashPrefixes =
      std::vector<std::string>{Sha256Hex(testing::TufBytes("x/y")).substr(0, 2)};
  EXPECT_TRUE(RoleCovers(role, "x/y"));
}

TEST(TrustedSet, ReadsExpiryAsUtcSeconds) {
  std::int64_t seconds = 0;
  ASSERT_TRUE(ParseExpiry("2027-01-15T08:00:00Z", seconds));
  EXPECT_EQ(seconds, kNow);
  EXPECT_EQ(ExpiryText(seconds), "2027-01-15T08:00:00Z");
  ASSERT_TRUE(ParseExpiry("2027-01-15T08:00:00.999Z", seconds));  // as toISOString writes
  EXPECT_EQ(seconds, kNow);
  for (const char* bad : {"2027-02-29T00:00:00Z", "2027-01-15T08:00:00", "2027-01-15 08:00:00Z",
                          "2027-01-15T08:00:00.Z", "2027-01-15T24:00:00Z"})
    EXPECT_FALSE(ParseExpiry(bad, seconds)) << bad;
}

}  // namespace
}  // namespace zorbent::tuf
