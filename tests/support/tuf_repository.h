#pragma once

// A small firmware repository built in a test from the metadata structs and fresh keys: one
// key per role, versions and expiries the test sets, each role signed as asked. Publish writes
// the folder layout a repository serves (metadata/<N>.root.json, timestamp.json,
// <N>.snapshot.json, <N>.targets.json, <N>.<role>.json; targets/<dir>/<sha256>.<name>).

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "firmware/tuf/directory_store.h"
#include "firmware/tuf/metadata.h"
#include "platform/digest.h"

namespace zorbent::testing {

inline constexpr std::int64_t kNow = 1'800'000'000;  // 2027-01-15T08:00:00Z
inline constexpr std::int64_t kDay = 86'400;

inline std::span<const std::uint8_t> TufBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct TufKey {
  tuf::Key key;
  std::string id, privatePem;
};

inline TufKey NewTufKey(KeyScheme scheme = KeyScheme::kEd25519) {
  TufKey made;
  std::string publicValue, problem;
  MakeKeyPair(scheme, made.privatePem, publicValue, problem);
  made.key = tuf::MakeKey(scheme, publicValue);
  made.id = tuf::KeyId(made.key);
  return made;
}

inline std::string SignedBy(const nlohmann::json& part, const std::vector<const TufKey*>& keys) {
  std::vector<tuf::Signature> signatures;
  for (const TufKey* key : keys) {
    tuf::Signature signature;
    std::string why;
    tuf::SignMetadata(part, key->key, key->privatePem, signature, why);
    signatures.push_back(signature);
  }
  return tuf::WriteEnvelope(part, signatures);
}

inline void Trust(tuf::Root& root, std::string_view role, const std::vector<const TufKey*>& keys,
                  int threshold = 1) {
  tuf::RoleKeys& entry = root.roles[std::string(role)];
  entry = {{}, threshold};
  for (const TufKey* key : keys) {
    root.keys[key->id] = key->key;
    entry.keyids.push_back(key->id);
  }
}

struct TufRepository {
  TufKey rootKey = NewTufKey(KeyScheme::kEcdsaP256Sha256), timestampKey = NewTufKey(),
         snapshotKey = NewTufKey(), targetsKey = NewTufKey();
  tuf::Root root;
  tuf::Timestamp timestamp;
  tuf::Snapshot snapshot;
  tuf::Targets targets;
  std::map<std::string, tuf::Targets> delegated;        // by role name
  std::map<std::string, std::string> contents;          // target path -> bytes
  std::vector<const TufKey*> rootSigners = {&rootKey};  // who signs the next root
  std::map<std::string, const TufKey*> delegatedKeys;

  // Every role expires 30 days after now.
  explicit TufRepository(std::int64_t now = kNow) {
    for (tuf::Common* common :
         std::initializer_list<tuf::Common*>{&root, &timestamp, &snapshot, &targets})
      common->expiresAt = now + 30 * kDay;
    Trust(root, tuf::kRoot, {&rootKey});
    Trust(root, tuf::kTimestamp, {&timestampKey});
    Trust(root, tuf::kSnapshot, {&snapshotKey});
    Trust(root, tuf::kTargets, {&targetsKey});
  }

  void AddTarget(tuf::Targets& role, const std::string& path, const std::string& bytes) {
    role.targets[path] = {static_cast<std::int64_t>(bytes.size()),
                          {{"sha256", Sha256Hex(TufBytes(bytes))}},
                          {{"model", path.substr(0, path.find('/'))}},
                          nlohmann::json::object()};
    contents[path] = bytes;
  }

  std::string Root() const { return SignedBy(tuf::ToJson(root), rootSigners); }
  std::string Targets() const { return SignedBy(tuf::ToJson(targets), {&targetsKey}); }
  std::string Delegated(const std::string& name) const {
    return SignedBy(tuf::ToJson(delegated.at(name)), {delegatedKeys.at(name)});
  }
  // The snapshot listing the targets roles' current versions (and the snapshot's version
  // incremented by the caller when it changes).
  std::string Snapshot() {
    snapshot.meta["targets.json"] = {targets.version, std::nullopt, {}};
    for (const auto& [name, role] : delegated)
      snapshot.meta[name + ".json"] = {role.version, std::nullopt, {}};
    return SignedBy(tuf::ToJson(snapshot), {&snapshotKey});
  }
  std::string Timestamp(const std::string& snapshotBytes) {
    timestamp.snapshot = {snapshot.version,
                          static_cast<std::int64_t>(snapshotBytes.size()),
                          {{"sha256", Sha256Hex(TufBytes(snapshotBytes))}}};
    return SignedBy(tuf::ToJson(timestamp), {&timestampKey});
  }

  static void Write(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  // Everything as it stands, into folder/metadata and folder/targets.
  void Publish(const std::filesystem::path& folder) {
    const std::filesystem::path metadata = folder / "metadata";
    Write(metadata / (std::to_string(root.version) + ".root.json"), Root());
    Write(metadata / (std::to_string(targets.version) + ".targets.json"), Targets());
    for (const auto& [name, role] : delegated)
      Write(metadata / (std::to_string(role.version) + "." + tuf::PercentEncode(name) + ".json"),
            Delegated(name));
    const std::string snapshotBytes = Snapshot();
    Write(metadata / (std::to_string(snapshot.version) + ".snapshot.json"), snapshotBytes);
    Write(metadata / "timestamp.json", Timestamp(snapshotBytes));
    for (const auto& [path, bytes] : contents) {
      const std::size_t slash = path.rfind('/');
      Write(folder / "targets" / path.substr(0, slash + 1) /
                (Sha256Hex(TufBytes(bytes)) + "." + path.substr(slash + 1)),
            bytes);
    }
  }
};

}  // namespace zorbent::testing
