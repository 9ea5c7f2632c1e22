#include "firmware/tuf/metadata.h"

#include <array>
#include <climits>
#include <cstdio>
#include <set>

#include "firmware/tuf/canonical_json.h"
#include "platform/digest.h"

namespace zorbent::tuf {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kTopRoles[] = {kRoot, kTimestamp, kSnapshot, kTargets};
constexpr std::string_view kSupportedMajor = "1";
constexpr int kMaxSignaturesPerKey = 4;

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Reads the fields of one JSON object, naming the first problem with the field's place
// ("signed.roles.root.threshold").
class Fields {
 public:
  Fields(const Json& object, std::string place, std::string& why)
      : object_(object), place_(std::move(place)), why_(why) {}

  bool IsObject() {
    if (object_.is_object()) return true;
    return Fail(place_.empty() ? "the file" : place_, "must be an object {...}");
  }
  bool Fail(const std::string& place, const std::string& what) {
    why_ = place + " " + what;
    return false;
  }
  std::string Place(std::string_view name) const {
    return place_.empty() ? std::string(name) : place_ + "." + std::string(name);
  }
  const Json* Find(std::string_view name) const {
    const auto found = object_.find(std::string(name));
    return found == object_.end() ? nullptr : &*found;
  }
  bool Has(std::string_view name) const { return Find(name) != nullptr; }
  const Json* Need(std::string_view name) {
    const Json* value = Find(name);
    if (value == nullptr) Fail(Place(name), "is missing");
    return value;
  }
  bool Text(std::string_view name, std::string& out) {
    const Json* value = Need(name);
    if (value == nullptr) return false;
    if (!value->is_string()) return Fail(Place(name), "must be a string");
    out = value->get<std::string>();
    return true;
  }
  bool Whole(std::string_view name, std::int64_t low, std::int64_t high, std::int64_t& out) {
    const Json* value = Need(name);
    if (value == nullptr) return false;
    return WholeValue(*value, Place(name), low, high, out);
  }
  bool WholeValue(const Json& value, const std::string& place, std::int64_t low, std::int64_t high,
                  std::int64_t& out) {
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX)
      return Fail(place, "is too large");
    if (!value.is_number_integer()) return Fail(place, "must be a whole number");
    out = value.get<std::int64_t>();
    if (out < low || out > high)
      return Fail(place, "must be from " + std::to_string(low) + " to " + std::to_string(high));
    return true;
  }
  bool Flag(std::string_view name, bool& out) {
    const Json* value = Need(name);
    if (value == nullptr) return false;
    if (!value->is_boolean()) return Fail(Place(name), "must be true or false");
    out = value->get<bool>();
    return true;
  }
  bool TextList(std::string_view name, std::vector<std::string>& out, bool unique) {
    const Json* value = Need(name);
    if (value == nullptr) return false;
    if (!value->is_array()) return Fail(Place(name), "must be a list [...]");
    out.clear();
    std::set<std::string> seen;
    for (const Json& item : *value) {
      if (!item.is_string()) return Fail(Place(name), "must hold only strings");
      if (unique && !seen.insert(item.get<std::string>()).second)
        return Fail(Place(name), "names \"" + item.get<std::string>() + "\" twice");
      out.push_back(item.get<std::string>());
    }
    return true;
  }
  // The fields not in known, to keep.
  Json Unrecognized(std::initializer_list<std::string_view> known) const {
    Json rest = Json::object();
    for (const auto& [key, value] : object_.items()) {
      bool isKnown = false;
      for (const std::string_view name : known) isKnown = isKnown || key == name;
      if (!isKnown) rest[key] = value;
    }
    return rest;
  }

 private:
  const Json& object_;
  std::string place_;
  std::string& why_;
};

void Merge(Json& out, const Json& unrecognized) {
  if (!unrecognized.is_object()) return;
  for (const auto& [key, value] : unrecognized.items())
    if (!out.contains(key)) out[key] = value;
}

bool ReadHashes(const Json& value, const std::string& place, bool required,
                std::map<std::string, std::string>& hashes, std::string& why) {
  if (!value.is_object() || (required && value.empty())) {
    why = place + " must be an object of at least one algorithm and its hex digest";
    return false;
  }
  for (const auto& [algorithm, digest] : value.items()) {
    std::vector<std::uint8_t> bytes;
    if (!digest.is_string() || digest.get<std::string>().empty() ||
        !FromHex(digest.get<std::string>(), bytes)) {
      why = place + "." + algorithm + " must be a hex digest";
      return false;
    }
    hashes[algorithm] = Hex(bytes);  // lower case, for comparing
  }
  return true;
}

bool ReadKey(const Json& value, const std::string& place, Key& key, std::string& why) {
  Fields fields(value, place, why);
  if (!fields.IsObject() || !fields.Text("keytype", key.keytype) ||
      !fields.Text("scheme", key.scheme))
    return false;
  const Json* keyval = fields.Need("keyval");
  if (keyval == nullptr) return false;
  Fields values(*keyval, fields.Place("keyval"), why);
  if (!values.IsObject() || !values.Text("public", key.publicValue)) return false;
  key.unrecognized = fields.Unrecognized({"keytype", "scheme", "keyval"});
  const Json otherValues = values.Unrecognized({"public"});
  if (!otherValues.empty()) key.unrecognized["keyval"] = otherValues;
  return true;
}

bool ReadKeys(const Json& value, const std::string& place, std::map<std::string, Key>& keys,
              std::string& why) {
  if (!value.is_object()) {
    why = place + " must be an object {...}";
    return false;
  }
  for (const auto& [keyid, item] : value.items()) {
    Key key;
    if (!ReadKey(item, place + "." + keyid, key, why)) return false;
    keys[keyid] = std::move(key);
  }
  return true;
}

bool ReadRoleKeys(Fields& fields, RoleKeys& role) {
  std::int64_t threshold = 0;
  if (!fields.TextList("keyids", role.keyids, true) ||
      !fields.Whole("threshold", 1, INT_MAX, threshold))
    return false;
  role.threshold = static_cast<int>(threshold);
  return true;
}

bool ReadMetaFile(const Json& value, const std::string& place, MetaFile& file, std::string& why) {
  Fields fields(value, place, why);
  if (!fields.IsObject() || !fields.Whole("version", 1, INT64_MAX - 1, file.version)) return false;
  if (fields.Has("length")) {
    std::int64_t length = 0;
    if (!fields.Whole("length", 0, INT64_MAX, length)) return false;
    file.length = length;
  }
  if (const Json* hashes = fields.Find("hashes"))
    if (!ReadHashes(*hashes, fields.Place("hashes"), true, file.hashes, why)) return false;
  return true;
}

bool ReadCommon(const Json& signedPart, std::string_view type, Common& common,
                std::initializer_list<std::string_view> known, std::string& why) {
  Fields fields(signedPart, "signed", why);
  std::string typeText;
  if (!fields.IsObject() || !fields.Text("_type", typeText)) return false;
  if (typeText != type)
    return fields.Fail("signed._type",
                       "is \"" + typeText + "\", not \"" + std::string(type) + "\"");
  if (!fields.Text("spec_version", common.specVersion)) return false;
  const std::size_t dot = common.specVersion.find('.');
  if (dot == std::string::npos || common.specVersion.substr(0, dot) != kSupportedMajor)
    return fields.Fail(
        "signed.spec_version",
        "\"" + common.specVersion + "\" is not a version 1 format this program reads");
  if (!fields.Whole("version", 1, INT64_MAX - 1, common.version) ||
      !fields.Text("expires", common.expires))
    return false;
  if (!ParseExpiry(common.expires, common.expiresAt))
    return fields.Fail(
        "signed.expires",
        "\"" + common.expires + "\" is not a UTC time such as \"2027-01-09T10:00:00Z\"");
  std::vector<std::string_view> all = {"_type", "spec_version", "version", "expires"};
  all.insert(all.end(), known.begin(), known.end());
  Json rest = Json::object();
  for (const auto& [key, value] : signedPart.items()) {
    bool isKnown = false;
    for (const std::string_view name : all) isKnown = isKnown || key == name;
    if (!isKnown) rest[key] = value;
  }
  common.unrecognized = std::move(rest);
  return true;
}

Json CommonJson(const Common& common, std::string_view type) {
  Json out = Json::object();
  out["_type"] = type;
  out["spec_version"] = common.specVersion;
  out["version"] = common.version;
  out["expires"] = common.expires.empty() ? ExpiryText(common.expiresAt) : common.expires;
  Merge(out, common.unrecognized);
  return out;
}

Json KeyJson(const Key& key) {
  Json out = {
      {"keytype", key.keytype}, {"scheme", key.scheme}, {"keyval", {{"public", key.publicValue}}}};
  Merge(out["keyval"], key.unrecognized.value("keyval", Json::object()));
  Json rest = key.unrecognized;
  rest.erase("keyval");
  Merge(out, rest);
  return out;
}

Json KeysJson(const std::map<std::string, Key>& keys) {
  Json out = Json::object();
  for (const auto& [keyid, key] : keys) out[keyid] = KeyJson(key);
  return out;
}

Json MetaFileJson(const MetaFile& file) {
  Json out = {{"version", file.version}};
  if (file.length) out["length"] = *file.length;
  if (!file.hashes.empty()) out["hashes"] = file.hashes;
  return out;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::optional<KeyScheme> SchemeOf(const Key& key) {
  if (key.keytype == "ed25519" && key.scheme == "ed25519") return KeyScheme::kEd25519;
  if ((key.keytype == "ecdsa" || key.keytype == "ecdsa-sha2-nistp256") &&
      key.scheme == "ecdsa-sha2-nistp256")
    return KeyScheme::kEcdsaP256Sha256;
  if (key.keytype == "rsa" && key.scheme == "rsassa-pss-sha256") return KeyScheme::kRsaPssSha256;
  return std::nullopt;
}

std::string KeyId(const Key& key) {
  std::string canonical;
  CanonicalJson(KeyJson(key), canonical);
  return Sha256Hex(Bytes(canonical));
}

Key MakeKey(KeyScheme scheme, std::string publicValue) {
  Key key;
  switch (scheme) {
    case KeyScheme::kEd25519:
      key.keytype = key.scheme = "ed25519";
      break;
    case KeyScheme::kEcdsaP256Sha256:
      key.keytype = "ecdsa";
      key.scheme = "ecdsa-sha2-nistp256";
      break;
    case KeyScheme::kRsaPssSha256:
      key.keytype = "rsa";
      key.scheme = "rsassa-pss-sha256";
      break;
  }
  key.publicValue = std::move(publicValue);
  return key;
}

bool ParseExpiry(std::string_view text, std::int64_t& seconds) {
  // YYYY-MM-DDTHH:MM:SSZ; a fraction of a second (as JavaScript's toISOString writes) is
  // dropped, which can only make the metadata expire sooner.
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  static constexpr std::size_t kMaxFractionDigits = 9;
  std::string whole(text);
  if (whole.size() > kShape.size() && whole[kShape.size() - 1] == '.' && whole.ends_with('Z')) {
    const std::string fraction = whole.substr(kShape.size(), whole.size() - kShape.size() - 1);
    if (fraction.empty() || fraction.size() > kMaxFractionDigits ||
        fraction.find_first_not_of("0123456789") != std::string::npos)
      return false;
    whole = whole.substr(0, kShape.size() - 1) + "Z";
  }
  text = whole;
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return false;
  }
  const auto number = [&](std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  static constexpr std::array<int, 12> kDays = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59)
    return false;
  seconds = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
            hour * 3600 + minute * 60 + second;
  return true;
}

std::string ExpiryText(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // civil_from_days
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

bool ReadEnvelope(std::string_view bytes, std::string_view type, Envelope& envelope,
                  std::string& why) {
  envelope = Envelope{};
  Json whole;
  if (!ReadJsonStrict(bytes, whole, why)) return false;
  Fields fields(whole, "", why);
  if (!fields.IsObject()) return false;
  const Json* signedPart = fields.Need("signed");
  const Json* signatures = fields.Need("signatures");
  if (signedPart == nullptr || signatures == nullptr) return false;
  if (!signedPart->is_object()) return fields.Fail("signed", "must be an object {...}");
  if (!signatures->is_array()) return fields.Fail("signatures", "must be a list [...]");
  for (const Json& item : *signatures) {
    Fields one(item, "signatures[]", why);
    Signature signature;
    if (!one.IsObject() || !one.Text("keyid", signature.keyid) || !one.Text("sig", signature.sig))
      return false;
    envelope.signatures.push_back(std::move(signature));
  }
  const auto typeValue = signedPart->find("_type");
  if (typeValue == signedPart->end() || !typeValue->is_string())
    return fields.Fail("signed._type", "is missing");
  if (typeValue->get<std::string>() != type)
    return fields.Fail("signed._type", "is \"" + typeValue->get<std::string>() + "\", not \"" +
                                           std::string(type) + "\"");
  if (!CanonicalJson(*signedPart, envelope.canonical))
    return fields.Fail("signed", "holds a number that is not a whole number");
  envelope.signedPart = *signedPart;
  return true;
}

bool ReadRoot(const Json& signedPart, Root& root, std::string& why) {
  root = Root{};
  if (!ReadCommon(signedPart, kRoot, root, {"consistent_snapshot", "keys", "roles"}, why))
    return false;
  Fields fields(signedPart, "signed", why);
  if (fields.Has("consistent_snapshot") &&
      !fields.Flag("consistent_snapshot", root.consistentSnapshot))
    return false;
  if (!fields.Has("consistent_snapshot")) root.consistentSnapshot = false;
  const Json* keys = fields.Need("keys");
  const Json* roles = fields.Need("roles");
  if (keys == nullptr || roles == nullptr || !ReadKeys(*keys, fields.Place("keys"), root.keys, why))
    return false;
  Fields roleFields(*roles, fields.Place("roles"), why);
  if (!roleFields.IsObject()) return false;
  for (const std::string_view name : kTopRoles) {
    const Json* role = roleFields.Need(name);
    if (role == nullptr) return false;
    Fields one(*role, roleFields.Place(name), why);
    RoleKeys keysOfRole;
    if (!one.IsObject() || !ReadRoleKeys(one, keysOfRole)) return false;
    root.roles[std::string(name)] = std::move(keysOfRole);
  }
  if (roles->size() != std::size(kTopRoles))
    return fields.Fail("signed.roles",
                       "names a role other than root, timestamp, snapshot, targets");
  return true;
}

bool ReadTimestamp(const Json& signedPart, Timestamp& timestamp, std::string& why) {
  timestamp = Timestamp{};
  if (!ReadCommon(signedPart, kTimestamp, timestamp, {"meta"}, why)) return false;
  Fields fields(signedPart, "signed", why);
  const Json* meta = fields.Need("meta");
  if (meta == nullptr) return false;
  Fields metaFields(*meta, "signed.meta", why);
  if (!metaFields.IsObject()) return false;
  const Json* snapshot = metaFields.Need("snapshot.json");
  return snapshot != nullptr &&
         ReadMetaFile(*snapshot, metaFields.Place("snapshot.json"), timestamp.snapshot, why);
}

bool ReadSnapshot(const Json& signedPart, Snapshot& snapshot, std::string& why) {
  snapshot = Snapshot{};
  if (!ReadCommon(signedPart, kSnapshot, snapshot, {"meta"}, why)) return false;
  Fields fields(signedPart, "signed", why);
  const Json* meta = fields.Need("meta");
  if (meta == nullptr) return false;
  if (!meta->is_object()) return fields.Fail("signed.meta", "must be an object {...}");
  for (const auto& [name, item] : meta->items()) {
    MetaFile file;
    if (!ReadMetaFile(item, "signed.meta." + name, file, why)) return false;
    snapshot.meta[name] = std::move(file);
  }
  return true;
}

bool ReadTargets(const Json& signedPart, Targets& targets, std::string& why) {
  targets = Targets{};
  if (!ReadCommon(signedPart, kTargets, targets, {"targets", "delegations"}, why)) return false;
  Fields fields(signedPart, "signed", why);
  const Json* list = fields.Need("targets");
  if (list == nullptr) return false;
  if (!list->is_object()) return fields.Fail("signed.targets", "must be an object {...}");
  for (const auto& [path, item] : list->items()) {
    const std::string place = "signed.targets." + path;
    Fields one(item, place, why);
    TargetFile file;
    const Json* hashes = nullptr;
    if (!one.IsObject() || !one.Whole("length", 0, INT64_MAX, file.length) ||
        (hashes = one.Need("hashes")) == nullptr ||
        !ReadHashes(*hashes, one.Place("hashes"), true, file.hashes, why))
      return false;
    if (const Json* custom = one.Find("custom")) file.custom = *custom;
    file.unrecognized = one.Unrecognized({"length", "hashes", "custom"});
    targets.targets[path] = std::move(file);
  }
  const Json* delegations = fields.Find("delegations");
  if (delegations == nullptr) return true;
  Fields delegationFields(*delegations, "signed.delegations", why);
  Delegations out;
  const Json* keys = nullptr;
  const Json* roles = nullptr;
  if (!delegationFields.IsObject() || (keys = delegationFields.Need("keys")) == nullptr ||
      !ReadKeys(*keys, delegationFields.Place("keys"), out.keys, why) ||
      (roles = delegationFields.Need("roles")) == nullptr)
    return false;
  if (!roles->is_array())
    return delegationFields.Fail("signed.delegations.roles", "must be a list [...]");
  std::set<std::string> names;
  for (const Json& item : *roles) {
    Fields one(item, "signed.delegations.roles[]", why);
    DelegatedRole role;
    if (!one.IsObject() || !one.Text("name", role.name)) return false;
    Fields named(item, "signed.delegations.roles." + role.name, why);
    if (!ReadRoleKeys(named, role.keys) || !named.Flag("terminating", role.terminating))
      return false;
    for (const std::string_view top : kTopRoles)
      if (role.name == top) return named.Fail(named.Place("name"), "is a top-level role's name");
    if (role.name.empty()) return named.Fail(named.Place("name"), "is empty");
    if (!names.insert(role.name).second) return named.Fail(named.Place("name"), "is given twice");
    if (named.Has("paths") == named.Has("path_hash_prefixes"))
      return named.Fail(named.Place("paths"), "or path_hash_prefixes, exactly one, must be given");
    std::vector<std::string> patterns;
    if (named.Has("paths")) {
      if (!named.TextList("paths", patterns, false)) return false;
      role.paths = std::move(patterns);
    } else {
      if (!named.TextList("path_hash_prefixes", patterns, false)) return false;
      role.pathHashPrefixes = std::move(patterns);
    }
    role.unrecognized = named.Unrecognized(
        {"name", "keyids", "threshold", "terminating", "paths", "path_hash_prefixes"});
    out.roles.push_back(std::move(role));
  }
  targets.delegations = std::move(out);
  return true;
}

Json ToJson(const Root& root) {
  Json out = CommonJson(root, kRoot);
  out["consistent_snapshot"] = root.consistentSnapshot;
  out["keys"] = KeysJson(root.keys);
  Json roles = Json::object();
  for (const auto& [name, role] : root.roles)
    roles[name] = {{"keyids", role.keyids}, {"threshold", role.threshold}};
  out["roles"] = std::move(roles);
  return out;
}

Json ToJson(const Timestamp& timestamp) {
  Json out = CommonJson(timestamp, kTimestamp);
  out["meta"] = {{"snapshot.json", MetaFileJson(timestamp.snapshot)}};
  return out;
}

Json ToJson(const Snapshot& snapshot) {
  Json out = CommonJson(snapshot, kSnapshot);
  Json meta = Json::object();
  for (const auto& [name, file] : snapshot.meta) meta[name] = MetaFileJson(file);
  out["meta"] = std::move(meta);
  return out;
}

Json ToJson(const Targets& targets) {
  Json out = CommonJson(targets, kTargets);
  Json list = Json::object();
  for (const auto& [path, file] : targets.targets) {
    Json one = {{"length", file.length}, {"hashes", file.hashes}};
    if (!file.custom.is_null()) one["custom"] = file.custom;
    Merge(one, file.unrecognized);
    list[path] = std::move(one);
  }
  out["targets"] = std::move(list);
  if (targets.delegations) {
    Json roles = Json::array();
    for (const DelegatedRole& role : targets.delegations->roles) {
      Json one = {{"name", role.name},
                  {"keyids", role.keys.keyids},
                  {"threshold", role.keys.threshold},
                  {"terminating", role.terminating}};
      if (role.paths) one["paths"] = *role.paths;
      if (role.pathHashPrefixes) one["path_hash_prefixes"] = *role.pathHashPrefixes;
      Merge(one, role.unrecognized);
      roles.push_back(std::move(one));
    }
    out["delegations"] = {{"keys", KeysJson(targets.delegations->keys)}, {"roles", roles}};
  }
  return out;
}

bool SignMetadata(const Json& signedPart, const Key& key, std::string_view privateKeyPem,
                  Signature& signature, std::string& why) {
  const std::optional<KeyScheme> scheme = SchemeOf(key);
  std::string canonical;
  if (!scheme) {
    why = "the key's kind (" + key.keytype + ", " + key.scheme +
          ") is not one this program signs with";
    return false;
  }
  if (!CanonicalJson(signedPart, canonical)) {
    why = "the metadata holds a number that is not a whole number";
    return false;
  }
  std::vector<std::uint8_t> bytes;
  if (!SignWithKey(*scheme, privateKeyPem, Bytes(canonical), bytes, why)) return false;
  signature.keyid = KeyId(key);
  signature.sig = Hex(bytes);
  return true;
}

std::string WriteEnvelope(const Json& signedPart, const std::vector<Signature>& signatures) {
  Json list = Json::array();
  for (const Signature& signature : signatures)
    list.push_back({{"keyid", signature.keyid}, {"sig", signature.sig}});
  // Plain JSON, not the canonical form: a key's PEM holds line breaks, which JSON escapes.
  return Json{{"signatures", list}, {"signed", signedPart}}.dump(-1, ' ', false,
                                                                 Json::error_handler_t::replace);
}

bool VerifyThreshold(const Envelope& envelope, const std::map<std::string, Key>& keys,
                     const RoleKeys& role, std::string& why) {
  std::set<std::string> counted;  // keyids and the keys' own values, so no key counts twice
  int valid = 0;
  for (const std::string& keyid : role.keyids) {
    const auto key = keys.find(keyid);
    if (key == keys.end() || counted.contains(keyid)) continue;
    const std::optional<KeyScheme> scheme = SchemeOf(key->second);
    const std::string value = key->second.keytype + ":" + key->second.publicValue;
    if (!scheme || counted.contains(value)) continue;
    int tries = 0;
    for (const Signature& signature : envelope.signatures) {
      std::vector<std::uint8_t> bytes;
      std::string problem;
      if (signature.keyid != keyid) continue;
      // Many signatures claiming one key cost a check each: a few are enough for any signer.
      if (++tries > kMaxSignaturesPerKey) break;
      if (!FromHex(signature.sig, bytes) || !VerifyWithKey(*scheme, key->second.publicValue, bytes,
                                                           Bytes(envelope.canonical), problem))
        continue;
      counted.insert(keyid);
      counted.insert(value);
      ++valid;
      break;
    }
  }
  if (valid >= role.threshold) return true;
  why = "signed by " + std::to_string(valid) + " of the " + std::to_string(role.threshold) +
        " trusted keys it needs";
  return false;
}

}  // namespace zorbent::tuf
