#include "firmware/tuf/publisher.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <span>

#include "firmware/tuf/canonical_json.h"
#include "firmware/tuf/metadata.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "platform/signature.h"

namespace zorbent::tuf {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr std::string_view kRoles[] = {kRoot, kTargets, kSnapshot, kTimestamp};
constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;
constexpr std::int64_t kMaxMetadataBytes = 16 * 1024 * 1024;
constexpr std::int64_t kMaxKeyBytes = 64 * 1024;
constexpr std::size_t kKeyIdDigitsInName = 12;
constexpr std::size_t kMinKeyIdDigits = 8;  // a shorter start of a key id names no key
constexpr std::string_view kSettingsFile = "settings.json";
constexpr std::string_view kStagedFile = "staged.json";
constexpr std::string_view kRetired = ".retired";

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string Join(const std::string& folder, std::string_view name) {
  return (fs::path(folder) / fs::path(std::string(name))).string();
}

std::string MetadataPath(const RepositoryPlaces& places, std::string_view name) {
  return Join(Join(places.published, "metadata"), name);
}

std::string Versioned(std::int64_t version, std::string_view role) {
  return std::to_string(version) + "." + std::string(role) + ".json";
}

bool IsRole(std::string_view role) {
  return std::find(std::begin(kRoles), std::end(kRoles), role) != std::end(kRoles);
}

bool MakeFolder(const std::string& path, std::string& why) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec || !fs::is_directory(path, ec)) {
    why = "cannot make the folder " + path + (ec ? ": " + ec.message() : "");
    return false;
  }
  return true;
}

// A private key of KEYDIR with the public key it belongs to.
struct PrivateKey {
  std::string keyid;
  Key key;
  std::string pem;
  std::string file;
};

// Every <role>-*.pem of folder. A key of no kind this program signs with is an error: a
// publisher should hear of a key it thought it had.
bool ReadRoleKeys(const std::string& folder, std::string_view role, std::vector<PrivateKey>& keys,
                  std::string& why) {
  keys.clear();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return true;
  const std::string prefix = std::string(role) + "-";
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(".pem")) continue;
    PrivateKey key;
    key.file = entry.path().string();
    if (!ReadSmallFile(key.file, kMaxKeyBytes, key.pem, why)) return false;
    bool known = false;
    for (const KeyScheme scheme :
         {KeyScheme::kEcdsaP256Sha256, KeyScheme::kEd25519, KeyScheme::kRsaPssSha256}) {
      std::string publicKey, problem;
      if (!PublicKeyOf(scheme, key.pem, publicKey, problem)) continue;
      key.key = MakeKey(scheme, publicKey);
      known = true;
      break;
    }
    if (!known) {
      why = key.file +
            " is no private key this program signs with: give ECDSA P-256, ed25519 or RSA keys "
            "as PEM without a password";
      return false;
    }
    key.keyid = KeyId(key.key);
    keys.push_back(std::move(key));
  }
  if (ec) {
    why = "cannot list the keys in " + folder + ": " + ec.message();
    return false;
  }
  std::sort(keys.begin(), keys.end(),
            [](const PrivateKey& a, const PrivateKey& b) { return a.file < b.file; });
  return true;
}

bool Listed(const RoleKeys& role, std::string_view keyid) {
  return std::find(role.keyids.begin(), role.keyids.end(), keyid) != role.keyids.end();
}

// Of pool, the keys root lists for role, each once; false unless they reach its threshold.
bool KeysListed(const std::vector<PrivateKey>& pool, const Root& root, std::string_view role,
                const std::string& folder, std::vector<PrivateKey>& keys, std::string& why) {
  const RoleKeys& listed = root.roles.at(std::string(role));
  keys.clear();
  std::set<std::string> seen;
  for (const PrivateKey& key : pool)
    if (Listed(listed, key.keyid) && seen.insert(key.keyid).second) keys.push_back(key);
  if (static_cast<int>(keys.size()) >= listed.threshold) return true;
  why = "signing " + std::string(role) + " needs " + std::to_string(listed.threshold) +
        " of its keys, and " + folder + " holds " + std::to_string(keys.size()) + " of them (" +
        std::string(role) + "-*.pem): give --keys the folder that holds the " + std::string(role) +
        " keys";
  return false;
}

bool SigningKeys(const std::string& folder, const Root& root, std::string_view role,
                 std::vector<PrivateKey>& keys, std::string& why,
                 const std::vector<PrivateKey>& extra = {}) {
  std::vector<PrivateKey> pool;
  if (!ReadRoleKeys(folder, role, pool, why)) return false;
  pool.insert(pool.end(), extra.begin(), extra.end());
  return KeysListed(pool, root, role, folder, keys, why);
}

bool NewKey(std::string_view role, const std::string& folder, PrivateKey& key, std::string& why) {
  std::string publicKey, problem;
  if (!MakeKeyPair(KeyScheme::kEcdsaP256Sha256, key.pem, publicKey, problem)) {
    why = "cannot make a new " + std::string(role) + " key: " + problem;
    return false;
  }
  key.key = MakeKey(KeyScheme::kEcdsaP256Sha256, publicKey);
  key.keyid = KeyId(key.key);
  key.file =
      Join(folder, std::string(role) + "-" + key.keyid.substr(0, kKeyIdDigitsInName) + ".pem");
  return true;
}

bool WriteKeys(const std::vector<PrivateKey>& keys, Written& written, std::string& why) {
  for (const PrivateKey& key : keys) {
    if (!WriteFileAtomically(key.file, key.pem, why, FileAccess::kOwnerOnly)) return false;
    written.push_back(key.file);
  }
  return true;
}

// The signed file of signedPart, signed by each key.
bool SignedFile(const Json& signedPart, const std::vector<PrivateKey>& keys, std::string& file,
                std::string& why) {
  std::vector<Signature> signatures;
  for (const PrivateKey& key : keys) {
    Signature signature;
    if (!SignMetadata(signedPart, key.key, key.pem, signature, why)) {
      why = "cannot sign with " + key.file + ": " + why;
      return false;
    }
    signatures.push_back(std::move(signature));
  }
  file = WriteEnvelope(signedPart, signatures);
  return true;
}

MetaFile MetaOf(std::int64_t version, std::string_view file) {
  MetaFile meta;
  meta.version = version;
  meta.length = static_cast<std::int64_t>(file.size());
  meta.hashes["sha256"] = Sha256Hex(Bytes(file));
  return meta;
}

bool ReadJsonFile(const std::string& path, Json& value, std::string& why, bool* missing) {
  std::string text;
  return ReadSmallFile(path, kMaxMetadataBytes, text, why, missing) &&
         ReadJsonStrict(text, value, why);
}

// One role's published file as its signed part.
bool ReadPublished(const std::string& path, std::string_view type, Json& signedPart,
                   std::string& why, bool* missing = nullptr) {
  std::string text;
  Envelope envelope;
  if (!ReadSmallFile(path, kMaxMetadataBytes, text, why, missing)) return false;
  if (!ReadEnvelope(text, type, envelope, why)) {
    why = path + ": " + why;
    return false;
  }
  signedPart = std::move(envelope.signedPart);
  return true;
}

}  // namespace

// What a repository has published, with the settings it is kept by.
struct Publisher::State {
  Root root;
  Targets targets;
  Snapshot snapshot;
  Timestamp timestamp;
  std::map<std::string, int> expiryDays;
};

namespace {

using State = Publisher::State;

std::int64_t DaysOf(const State& state, std::string_view role) {
  const auto days = state.expiryDays.find(std::string(role));
  return days != state.expiryDays.end() ? days->second : DefaultExpiryDays(role);
}

void Renew(Common& common, const State& state, std::string_view role, std::int64_t now) {
  ++common.version;
  common.expiresAt = now + DaysOf(state, role) * kSecondsPerDay;
  common.expires = ExpiryText(common.expiresAt);
}

bool WriteMetadata(const RepositoryPlaces& places, std::string_view name, std::string_view file,
                   Written& written, std::string& why) {
  const std::string path = MetadataPath(places, name);
  if (!WriteFileAtomically(path, file, why)) return false;
  written.push_back(path);
  return true;
}

// The keys each role is signed with in one step.
using Signers = std::map<std::string, std::vector<PrivateKey>>;

// New versions of targets (when asked), snapshot (when asked or targets is new) and timestamp,
// written in that order, so whatever a reader fetches meanwhile lists only files already there.
bool WriteChain(const RepositoryPlaces& places, std::int64_t now, State& state, bool newTargets,
                bool newSnapshot, const Signers& signers, Written& written, std::string& why) {
  std::string file;
  if (newTargets) {
    Renew(state.targets, state, kTargets, now);
    if (!SignedFile(ToJson(state.targets), signers.at(std::string(kTargets)), file, why) ||
        !WriteMetadata(places, Versioned(state.targets.version, kTargets), file, written, why))
      return false;
    state.snapshot.meta["targets.json"] = MetaOf(state.targets.version, file);
  }
  if (newTargets || newSnapshot) {
    Renew(state.snapshot, state, kSnapshot, now);
    if (!SignedFile(ToJson(state.snapshot), signers.at(std::string(kSnapshot)), file, why) ||
        !WriteMetadata(places, Versioned(state.snapshot.version, kSnapshot), file, written, why))
      return false;
    state.timestamp.snapshot = MetaOf(state.snapshot.version, file);
  }
  Renew(state.timestamp, state, kTimestamp, now);
  return SignedFile(ToJson(state.timestamp), signers.at(std::string(kTimestamp)), file, why) &&
         WriteMetadata(places, "timestamp.json", file, written, why);
}

bool ReadSettings(const RepositoryPlaces& places, std::map<std::string, int>& expiryDays,
                  std::string& why) {
  const std::string path = Join(places.work, kSettingsFile);
  Json settings;
  bool missing = false;
  if (!ReadJsonFile(path, settings, why, &missing)) return missing;  // defaults without one
  const Json* expires =
      settings.is_object() && settings.contains("expires") && settings["expires"].is_object()
          ? &settings["expires"]
          : nullptr;
  for (const std::string_view role : kRoles) {
    if (expires == nullptr || !expires->contains(role)) continue;
    const Json& days = (*expires)[std::string(role)];
    if (!days.is_number_integer() || days.get<std::int64_t>() < 1 ||
        days.get<std::int64_t>() > kMaxExpiryDays) {
      why = path + ": expires." + std::string(role) + " is not a number of days from 1 to " +
            std::to_string(kMaxExpiryDays);
      return false;
    }
    expiryDays[std::string(role)] = days.get<int>();
  }
  return true;
}

// Targets added since the last publish: unsigned targets metadata in REPO.work.
bool ReadStaged(const RepositoryPlaces& places, Targets& staged, std::string& why) {
  const std::string path = Join(places.work, kStagedFile);
  Json signedPart;
  bool missing = false;
  if (!ReadJsonFile(path, signedPart, why, &missing)) {
    staged = Targets{};
    return missing;
  }
  if (!ReadTargets(signedPart, staged, why)) {
    why = path + ": " + why;
    return false;
  }
  return true;
}

bool WriteStaged(const RepositoryPlaces& places, Targets staged, std::int64_t now, Written& written,
                 std::string& why) {
  staged.expiresAt = now;
  staged.expires = ExpiryText(now);
  std::string text;
  const std::string path = Join(places.work, kStagedFile);
  if (!CanonicalJson(ToJson(staged), text) || !WriteFileAtomically(path, text, why)) return false;
  written.push_back(path);
  return true;
}

// The newest root, and the timestamp, snapshot and targets it leads to.
bool LoadState(const RepositoryPlaces& places, State& state, std::string& why) {
  Json part;
  bool missing = false;
  if (!ReadPublished(MetadataPath(places, "1.root.json"), kRoot, part, why, &missing)) {
    if (missing)
      why = places.published +
            " holds no repository (no metadata/1.root.json): make one with "
            "`zorbent-fw repo init`";
    return false;
  }
  for (std::int64_t version = 2;; ++version) {
    if (!ReadRoot(part, state.root, why)) return false;
    Json next;
    if (!ReadPublished(MetadataPath(places, Versioned(version, kRoot)), kRoot, next, why,
                       &missing)) {
      if (missing) break;
      return false;
    }
    part = std::move(next);
  }
  if (!ReadPublished(MetadataPath(places, "timestamp.json"), kTimestamp, part, why) ||
      !ReadTimestamp(part, state.timestamp, why) ||
      !ReadPublished(MetadataPath(places, Versioned(state.timestamp.snapshot.version, kSnapshot)),
                     kSnapshot, part, why) ||
      !ReadSnapshot(part, state.snapshot, why))
    return false;
  const auto targets = state.snapshot.meta.find("targets.json");
  if (targets == state.snapshot.meta.end()) {
    why = "the published snapshot lists no targets.json";
    return false;
  }
  return ReadPublished(MetadataPath(places, Versioned(targets->second.version, kTargets)), kTargets,
                       part, why) &&
         ReadTargets(part, state.targets, why) && ReadSettings(places, state.expiryDays, why);
}

bool GatherSigners(const std::string& folder, const Root& root,
                   std::initializer_list<std::string_view> roles, Signers& signers,
                   std::string& why) {
  for (const std::string_view role : roles)
    if (!SigningKeys(folder, root, role, signers[std::string(role)], why)) return false;
  return true;
}

// A target's name part: letters, digits and ".-_+", not starting with a dot, so it is one
// plain segment of a URL and of a file name on every system.
bool PlainName(std::string_view name) {
  return !name.empty() && name.front() != '.' && name.size() <= 200 &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_' || c == '+';
         });
}

// The key of role that keyid (or its first digits) names.
bool FindKeyId(const Root& root, std::string_view role, std::string_view keyid, std::string& full,
               std::string& why) {
  std::vector<std::string> found;
  if (keyid.size() >= kMinKeyIdDigits)
    for (const std::string& id : root.roles.at(std::string(role)).keyids)
      if (id.starts_with(keyid)) found.push_back(id);
  if (found.size() == 1) {
    full = found.front();
    return true;
  }
  std::string ids;
  for (const std::string& id : root.roles.at(std::string(role)).keyids) ids += " " + id;
  why = found.empty() ? "no " + std::string(role) + " key has the id " + std::string(keyid) +
                            " (give at least " + std::to_string(kMinKeyIdDigits) +
                            " digits): the " + std::string(role) + " keys are" + ids
                      : std::string(keyid) + " names more than one " + std::string(role) +
                            " key: give more of its digits";
  return false;
}

}  // namespace

int DefaultExpiryDays(std::string_view role) {
  if (role == kRoot) return 365;
  if (role == kTargets) return 90;
  if (role == kSnapshot) return 30;
  return 1;
}

bool PlacesOf(const std::string& repository, const std::string& keys, RepositoryPlaces& places,
              std::string& why) {
  std::error_code ec;
  fs::path published = fs::path(repository).lexically_normal();
  if (!published.has_filename()) published = published.parent_path();
  const fs::path absolute = fs::weakly_canonical(fs::absolute(published, ec), ec);
  if (repository.empty() || ec || !absolute.has_parent_path() || absolute.filename().empty() ||
      absolute == absolute.root_path()) {
    why = "\"" + repository + "\" names no folder to publish in";
    return false;
  }
  const fs::path keyFolder = fs::weakly_canonical(fs::absolute(keys, ec), ec);
  const fs::path inside = keyFolder.lexically_relative(absolute);
  if (!keys.empty() && (ec || (!inside.empty() && *inside.begin() != ".."))) {
    why = "the key folder " + keys + " is inside the repository " + repository +
          ", where a web server would serve the private keys: keep them in a folder of their own";
    return false;
  }
  places.published = published.string();
  places.work = places.published + ".work";
  places.keys = keys;
  return true;
}

namespace {

// Thresholds and expiries only for the four roles, each in its range.
bool SettingsUsable(const RoleSettings& settings, std::string& why) {
  for (const auto& [name, values, top] :
       {std::tuple{"threshold", &settings.thresholds, kMaxThreshold},
        std::tuple{"expiry", &settings.expiryDays, kMaxExpiryDays}})
    for (const auto& [role, value] : *values) {
      if (!IsRole(role)) {
        why = "a " + std::string(name) + " for \"" + role +
              "\": the roles are root, targets, snapshot and timestamp";
        return false;
      }
      if (value < 1 || value > top) {
        why = "the " + role + " " + name + " " + std::to_string(value) + " is not from 1 to " +
              std::to_string(top);
        return false;
      }
    }
  return true;
}

}  // namespace

Publisher::Publisher(RepositoryPlaces places, std::int64_t now)
    : places_(std::move(places)), now_(now) {}

bool Publisher::Init(const RoleSettings& settings, Written& written, std::string& why) {
  State state;
  if (!SettingsUsable(settings, why)) return false;
  bool missing = false;
  std::string ignored;
  if (ReadSmallFile(MetadataPath(places_, "1.root.json"), kMaxMetadataBytes, ignored, why,
                    &missing) ||
      !missing) {
    why = places_.published +
          " already holds a repository (metadata/1.root.json): add to it "
          "with `repo add` and `repo publish`, or give a new folder";
    return false;
  }
  for (const std::string_view role : kRoles) {
    std::vector<PrivateKey> old;
    if (!ReadRoleKeys(places_.keys, role, old, why)) return false;
    if (!old.empty()) {
      why = places_.keys + " already holds " + std::string(role) + " keys (" + old.front().file +
            "): give a new folder for the new repository's keys";
      return false;
    }
  }
  state.expiryDays = settings.expiryDays;
  state.root.version = 0;
  Signers signers;
  std::vector<PrivateKey> all;
  for (const std::string_view role : kRoles) {
    const auto given = settings.thresholds.find(std::string(role));
    RoleKeys& keys = state.root.roles[std::string(role)];
    keys.threshold = given != settings.thresholds.end() ? given->second : 1;
    for (int i = 0; i < keys.threshold; ++i) {
      PrivateKey key;
      if (!NewKey(role, places_.keys, key, why)) return false;
      keys.keyids.push_back(key.keyid);
      state.root.keys[key.keyid] = key.key;
      signers[std::string(role)].push_back(key);
      all.push_back(key);
    }
  }
  const bool keyFolderNew = !fs::exists(places_.keys);
  if (!MakeFolder(places_.keys, why)) return false;
  if (keyFolderNew) {
    std::error_code ec;
    fs::permissions(places_.keys, fs::perms::owner_all, ec);
  }
  Json settingsJson = {{"expires", Json::object()}};
  for (const std::string_view role : kRoles)
    settingsJson["expires"][std::string(role)] = DaysOf(state, role);
  const std::string settingsPath = Join(places_.work, kSettingsFile);
  std::string file;
  if (!WriteKeys(all, written, why) || !MakeFolder(places_.work, why) ||
      !WriteFileAtomically(settingsPath, settingsJson.dump(2) + "\n", why) ||
      !MakeFolder(Join(places_.published, "metadata"), why) ||
      !MakeFolder(Join(places_.published, "targets"), why))
    return false;
  written.push_back(settingsPath);
  // Nothing staged for an earlier repository of the same name is published into this one.
  if (!WriteStaged(places_, Targets{}, now_, written, why)) return false;
  Renew(state.root, state, kRoot, now_);
  state.targets.version = state.snapshot.version = state.timestamp.version = 0;
  return SignedFile(ToJson(state.root), signers[std::string(kRoot)], file, why) &&
         WriteMetadata(places_, Versioned(1, kRoot), file, written, why) &&
         WriteChain(places_, now_, state, true, true, signers, written, why);
}

bool Publisher::Add(const std::vector<NewTarget>& files, Written& written, std::string& why) {
  State state;
  Targets staged;
  if (!LoadState(places_, state, why) || !ReadStaged(places_, staged, why)) return false;
  std::set<std::string> names;
  for (const NewTarget& file : files) {
    const std::string name = file.model + "/" + file.fileName;
    if (!PlainName(file.model) || !PlainName(file.fileName)) {
      why = "\"" + file.fileName + "\" cannot name a target: rename the file with letters, " +
            "digits and \".-_+\" only";
      return false;
    }
    if (!names.insert(name).second) {
      why = name + " is given twice: add one file of each name";
      return false;
    }
  }
  for (const NewTarget& file : files) {
    const std::string sha256 = Sha256Hex(file.bytes);
    const std::string folder = Join(Join(places_.published, "targets"), file.model);
    const std::string path = Join(folder, sha256 + "." + file.fileName);
    if (!MakeFolder(folder, why) || !WriteFileAtomically(path, file.bytes, why)) return false;
    written.push_back(path);
    TargetFile& target = staged.targets[file.model + "/" + file.fileName];
    target.length = static_cast<std::int64_t>(file.bytes.size());
    target.hashes = {{"sha256", sha256}};
    target.custom = {{"model", file.model}, {"family", file.family}, {"version", file.version}};
    if (!file.notes.empty()) target.custom["notes"] = file.notes;
  }
  return MakeFolder(places_.work, why) && WriteStaged(places_, staged, now_, written, why);
}

bool Publisher::Publish(Written& written, std::string& why) {
  State state;
  Targets staged;
  if (!LoadState(places_, state, why) || !ReadStaged(places_, staged, why)) return false;
  // Targets keys are the ones kept offline: targets is signed again only when it changed or
  // has lived half its time.
  const bool newTargets =
      !staged.targets.empty() ||
      state.targets.expiresAt - now_ < DaysOf(state, kTargets) * kSecondsPerDay / 2;
  Signers signers;
  if (newTargets && !GatherSigners(places_.keys, state.root, {kTargets}, signers, why))
    return false;
  if (!GatherSigners(places_.keys, state.root, {kSnapshot, kTimestamp}, signers, why)) return false;
  for (auto& [name, target] : staged.targets) state.targets.targets[name] = std::move(target);
  return WriteChain(places_, now_, state, newTargets, true, signers, written, why) &&
         (!newTargets || WriteStaged(places_, Targets{}, now_, written, why));
}

bool Publisher::RenewTimestamp(Written& written, std::string& why) {
  State state;
  Signers signers;
  return LoadState(places_, state, why) &&
         GatherSigners(places_.keys, state.root, {kTimestamp}, signers, why) &&
         WriteChain(places_, now_, state, false, false, signers, written, why);
}

bool Publisher::RotateKeys(std::string_view role, Written& written, std::string& why) {
  State state;
  if (!IsRole(role)) {
    why = "no role \"" + std::string(role) + "\": the roles are root, targets, snapshot, timestamp";
    return false;
  }
  return LoadState(places_, state, why) &&
         ReplaceKeys(state, role, state.root.roles.at(std::string(role)).keyids, written, why);
}

bool Publisher::RevokeKey(std::string_view role, std::string_view keyid, Written& written,
                          std::string& why) {
  State state;
  std::string full;
  if (!IsRole(role)) {
    why = "no role \"" + std::string(role) + "\": the roles are root, targets, snapshot, timestamp";
    return false;
  }
  return LoadState(places_, state, why) && FindKeyId(state.root, role, keyid, full, why) &&
         ReplaceKeys(state, role, {full}, written, why);
}

bool Publisher::ReplaceKeys(State& state, std::string_view role, std::vector<std::string> old,
                            Written& written, std::string& why) {
  const std::string name(role);
  // The old root's keys sign the new root: a client holding the old one checks that first.
  std::vector<PrivateKey> oldRoot, fresh;
  if (!SigningKeys(places_.keys, state.root, kRoot, oldRoot, why)) return false;
  Root next = state.root;
  Renew(next, state, kRoot, now_);
  for (std::string& keyid : next.roles[name].keyids) {
    if (std::find(old.begin(), old.end(), keyid) == old.end()) continue;
    PrivateKey key;
    if (!NewKey(role, places_.keys, key, why)) return false;
    keyid = key.keyid;
    next.keys[key.keyid] = key.key;
    fresh.push_back(std::move(key));
  }
  for (const std::string& keyid : old) {
    const bool used = std::any_of(next.roles.begin(), next.roles.end(),
                                  [&](const auto& entry) { return Listed(entry.second, keyid); });
    if (!used) next.keys.erase(keyid);
  }
  // The new root also carries its own threshold of signatures, from its keys in KEYDIR and
  // the new ones.
  std::vector<PrivateKey> rootSigners;
  Signers signers;
  if (!SigningKeys(places_.keys, next, kRoot, rootSigners, why,
                   role == kRoot ? fresh : std::vector<PrivateKey>{}))
    return false;
  for (const PrivateKey& key : oldRoot)
    if (std::none_of(rootSigners.begin(), rootSigners.end(),
                     [&](const PrivateKey& k) { return k.keyid == key.keyid; }))
      rootSigners.push_back(key);
  const bool newTargets = role == kTargets;
  const bool newSnapshot = newTargets || role == kSnapshot;
  const bool newTimestamp = role != kRoot;
  for (const std::string_view below : {kTargets, kSnapshot, kTimestamp}) {
    const bool needed = below == kTargets    ? newTargets
                        : below == kSnapshot ? newSnapshot
                                             : newTimestamp;
    if (needed && !SigningKeys(places_.keys, next, below, signers[std::string(below)], why,
                               below == role ? fresh : std::vector<PrivateKey>{}))
      return false;
  }
  std::string file;
  if (!WriteKeys(fresh, written, why) || !SignedFile(ToJson(next), rootSigners, file, why) ||
      !WriteMetadata(places_, Versioned(next.version, kRoot), file, written, why))
    return false;
  state.root = std::move(next);
  if (newTimestamp &&
      !WriteChain(places_, now_, state, newTargets, newSnapshot, signers, written, why))
    return false;
  // The replaced keys sign nothing any more; kept beside, renamed, rather than destroyed.
  std::vector<PrivateKey> held;
  if (!ReadRoleKeys(places_.keys, role, held, why)) return false;
  for (const PrivateKey& key : held) {
    if (std::find(old.begin(), old.end(), key.keyid) == old.end()) continue;
    std::error_code ec;
    fs::rename(key.file, key.file + std::string(kRetired), ec);
    if (!ec) written.push_back(key.file + std::string(kRetired));
  }
  return true;
}

}  // namespace zorbent::tuf
