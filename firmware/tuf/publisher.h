#pragma once

// The publishing side of a firmware repository: one key per role (or as many as its
// threshold), targets added from checked firmware files, and new versions of the metadata
// signed and written in an order where a reader never sees half of a publish.
//
// Three places:
//   REPO/          what a web server serves: metadata/ (N.root.json, timestamp.json,
//                  N.snapshot.json, N.targets.json) and targets/<MODEL>/<sha256>.<name>
//   REPO.work/     never served: settings.json (each role's expiry in days) and staged.json
//                  (targets added since the last publish)
//   KEYDIR/        the private keys, <role>-<first 12 digits of the key id>.pem, mode 0600
// Each step reads only the keys of the roles it signs, found by their key ids, so the root and
// targets keys can stay offline while only the timestamp key is at hand for daily renewal.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zorbent::tuf {

inline constexpr int kMaxThreshold = 16;
inline constexpr int kMaxExpiryDays = 3650;

struct RepositoryPlaces {
  std::string published;  // REPO
  std::string work;       // REPO.work
  std::string keys;       // KEYDIR
};
// The places for REPO and KEYDIR; false with why when REPO names no folder or KEYDIR is inside
// it (keys would be served).
bool PlacesOf(const std::string& repository, const std::string& keys, RepositoryPlaces& places,
              std::string& why);

// Per role ("root", "targets", "snapshot", "timestamp"); roles not named keep their defaults.
struct RoleSettings {
  std::map<std::string, int> thresholds;  // default 1
  std::map<std::string, int> expiryDays;  // default root 365, targets 90, snapshot 30, timestamp 1
};
int DefaultExpiryDays(std::string_view role);

// One firmware file to list, as the engine's file check read it.
struct NewTarget {
  std::string model;     // "KTR5577": the folder and the first part of its name
  std::string family;    // "line" or "block"
  std::string version;   // "2.2.3X"
  std::string fileName;  // "ktr5577-2.2.3X.txt"
  std::string notes;     // empty: none
  std::vector<std::uint8_t> bytes;
};

// What a step wrote, in order (full paths), for the caller to list.
using Written = std::vector<std::string>;

class Publisher {
 public:
  // now: seconds since 1970 UTC, read once; every expiry counts from it.
  Publisher(RepositoryPlaces places, std::int64_t now);

  // New keys for every role, and version 1 of root, targets (empty), snapshot and timestamp.
  // Refused when REPO already holds a root or KEYDIR already holds keys of a role.
  bool Init(const RoleSettings& settings, Written& written, std::string& why);
  // Copies each file to targets/ and stages it for the next publish; no key is read.
  bool Add(const std::vector<NewTarget>& files, Written& written, std::string& why);
  // New targets (when files were staged, or it is past half its life), snapshot and timestamp.
  bool Publish(Written& written, std::string& why);
  // A new timestamp alone: the timestamp keys only.
  bool RenewTimestamp(Written& written, std::string& why);
  // Every key of role replaced by a new one; a new root signed by the old root keys and the
  // new ones, then the role's own metadata and what lists it, re-signed.
  bool RotateKeys(std::string_view role, Written& written, std::string& why);
  // One key of role replaced by a new one, the same way.
  bool RevokeKey(std::string_view role, std::string_view keyid, Written& written, std::string& why);

  // What a repository has published, with the settings it is kept by.
  struct State;

 private:
  bool ReplaceKeys(State& state, std::string_view role, std::vector<std::string> old,
                   Written& written, std::string& why);
  RepositoryPlaces places_;
  std::int64_t now_;
};

}  // namespace zorbent::tuf
