#pragma once

// The metadata of a firmware repository: root, timestamp, snapshot and targets (with
// delegations), read strictly from the bytes a repository serves and written back as JSON for
// the publisher. Fields this program does not know are kept, so the signatures over them
// still verify and a rewrite does not lose them.

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/signature.h"

namespace zorbent::tuf {

inline constexpr std::string_view kFormatVersion = "1.0.31";  // what this program writes
inline constexpr std::string_view kRoot = "root";
inline constexpr std::string_view kTimestamp = "timestamp";
inline constexpr std::string_view kSnapshot = "snapshot";
inline constexpr std::string_view kTargets = "targets";

struct Key {
  std::string keytype;      // "ed25519", "ecdsa" (or "ecdsa-sha2-nistp256"), "rsa"
  std::string scheme;       // "ed25519", "ecdsa-sha2-nistp256", "rsassa-pss-sha256"
  std::string publicValue;  // keyval.public
  nlohmann::json unrecognized = nlohmann::json::object();
};
// The kind of signature key verifies, or nullopt for a key this program cannot use.
std::optional<KeyScheme> SchemeOf(const Key& key);
// The key's id: SHA-256 hex of the canonical JSON of {keytype, scheme, keyval}.
std::string KeyId(const Key& key);
// A key of that scheme with that public value, named as the scheme's usual keytype.
Key MakeKey(KeyScheme scheme, std::string publicValue);

struct RoleKeys {
  std::vector<std::string> keyids;
  int threshold = 1;
};

// A file one role lists for another: "snapshot.json" in timestamp, "targets.json" and
// "<role>.json" in snapshot.
struct MetaFile {
  std::int64_t version = 1;
  std::optional<std::int64_t> length;
  std::map<std::string, std::string> hashes;  // algorithm -> hex; may be empty
};

struct TargetFile {
  std::int64_t length = 0;
  std::map<std::string, std::string> hashes;  // algorithm -> hex, never empty
  nlohmann::json custom;                      // null when absent
  nlohmann::json unrecognized = nlohmann::json::object();
};

struct DelegatedRole {
  std::string name;
  RoleKeys keys;
  bool terminating = false;
  // Exactly one of the two is given: shell-style patterns over the target's path, or
  // prefixes of the SHA-256 hex of the path.
  std::optional<std::vector<std::string>> paths;
  std::optional<std::vector<std::string>> pathHashPrefixes;
  nlohmann::json unrecognized = nlohmann::json::object();
};

struct Delegations {
  std::map<std::string, Key> keys;
  std::vector<DelegatedRole> roles;  // in the order listed: the search's order
};

// What every role's signed part holds.
struct Common {
  std::string specVersion = std::string(kFormatVersion);
  std::int64_t version = 1;
  std::string expires;         // "2027-01-09T10:00:00Z"
  std::int64_t expiresAt = 0;  // the same in seconds since 1970 UTC
  nlohmann::json unrecognized = nlohmann::json::object();
};

struct Root : Common {
  bool consistentSnapshot = true;
  std::map<std::string, Key> keys;
  std::map<std::string, RoleKeys> roles;  // exactly root, timestamp, snapshot, targets
};

struct Timestamp : Common {
  MetaFile snapshot;  // meta["snapshot.json"]
};

struct Snapshot : Common {
  std::map<std::string, MetaFile> meta;  // "targets.json", "<role>.json"
};

struct Targets : Common {
  std::map<std::string, TargetFile> targets;
  std::optional<Delegations> delegations;
};

struct Signature {
  std::string keyid;
  std::string sig;  // hex
};

// Metadata as read: the signed part as it came, its canonical bytes (what was signed) and the
// signatures.
struct Envelope {
  nlohmann::json signedPart;
  std::string canonical;
  std::vector<Signature> signatures;
};

// bytes as a signed envelope whose "_type" is role's kind ("root", "timestamp", "snapshot",
// "targets" for delegated roles too). False with why naming what is wrong.
bool ReadEnvelope(std::string_view bytes, std::string_view type, Envelope& envelope,
                  std::string& why);
bool ReadRoot(const nlohmann::json& signedPart, Root& root, std::string& why);
bool ReadTimestamp(const nlohmann::json& signedPart, Timestamp& timestamp, std::string& why);
bool ReadSnapshot(const nlohmann::json& signedPart, Snapshot& snapshot, std::string& why);
bool ReadTargets(const nlohmann::json& signedPart, Targets& targets, std::string& why);

// "2027-01-09T10:00:00Z" in seconds since 1970 UTC; false for any other form.
bool ParseExpiry(std::string_view text, std::int64_t& seconds);
std::string ExpiryText(std::int64_t seconds);

// The signed parts as JSON, for signing and publishing.
nlohmann::json ToJson(const Root& root);
nlohmann::json ToJson(const Timestamp& timestamp);
nlohmann::json ToJson(const Snapshot& snapshot);
nlohmann::json ToJson(const Targets& targets);

// One signature over signedPart's canonical form with a private key (PEM).
bool SignMetadata(const nlohmann::json& signedPart, const Key& key, std::string_view privateKeyPem,
                  Signature& signature, std::string& why);
// The file a repository serves: {"signatures": [...], "signed": {...}}, compact JSON.
std::string WriteEnvelope(const nlohmann::json& signedPart,
                          const std::vector<Signature>& signatures);

// Whether at least threshold of the keys named by keyids signed the envelope. Each key counts
// once however often it signed or is named; signatures by keys not named, by keys of a kind
// this program cannot use, or that do not verify, count for nothing. why says how many of how
// many when short.
bool VerifyThreshold(const Envelope& envelope, const std::map<std::string, Key>& keys,
                     const RoleKeys& role, std::string& why);

}  // namespace zorbent::tuf
