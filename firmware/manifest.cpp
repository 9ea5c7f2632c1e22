#include "firmware/manifest.h"

#include <array>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/firmware_file.h"
#include "engine/identify.h"

namespace zorbent {

namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 5> kTopFields = {"format", "product", "publisher",
                                                        "published", "builds"};
constexpr std::array<std::string_view, 7> kBuildFields = {"model", "file",   "family", "version",
                                                          "size",  "sha256", "notes"};
constexpr std::size_t kSha256HexDigits = 64;
constexpr std::size_t kMaxPathChars = 1024;

// Refusals name where they are: "builds[2].size: ...".
class Checker {
 public:
  explicit Checker(std::string& problem) : problem_(problem) {}

  bool Fail(const std::string& where, const std::string& what) {
    problem_ = where + ": " + what;
    return false;
  }

  template <std::size_t N>
  bool OnlyKnownFields(const Json& object, const std::string& where,
                       const std::array<std::string_view, N>& known) {
    for (const auto& item : object.items()) {
      bool found = false;
      for (const std::string_view name : known) found = found || item.key() == name;
      if (!found)
        return Fail(where.empty() ? item.key() : where + "." + item.key(),
                    "not a field of this manifest format");
    }
    return true;
  }

  // A string field; empty only when allowEmpty.
  bool Text(const Json& object, const std::string& where, std::string_view name, std::string& out,
            bool allowEmpty = false) {
    const std::string here = where.empty() ? std::string(name) : where + "." + std::string(name);
    const auto it = object.find(name);
    if (it == object.end()) return Fail(here, "missing");
    if (!it->is_string()) return Fail(here, "must be a text in quotes");
    out = it->get<std::string>();
    if (out.empty() && !allowEmpty) return Fail(here, "empty");
    return true;
  }

  bool Whole(const Json& object, const std::string& where, std::string_view name, std::int64_t low,
             std::int64_t high, std::int64_t& out) {
    const std::string here = where.empty() ? std::string(name) : where + "." + std::string(name);
    const auto it = object.find(name);
    if (it == object.end()) return Fail(here, "missing");
    if (!it->is_number_integer()) return Fail(here, "must be a whole number");
    const bool tooLarge =
        it->is_number_unsigned() && it->get<std::uint64_t>() > static_cast<std::uint64_t>(high);
    out = tooLarge ? high : it->get<std::int64_t>();
    if (tooLarge || out < low || out > high)
      return Fail(
          here, it->dump() + " is not from " + std::to_string(low) + " to " + std::to_string(high));
    return true;
  }

 private:
  std::string& problem_;
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "2026-12-09T10:00:00Z": UTC to the second, as make writes it.
bool IsUtcTime(std::string_view text) {
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < kShape.size(); ++i)
    if (kShape[i] == 'd' ? !IsDigit(text[i]) : text[i] != kShape[i]) return false;
  const auto number = [text](std::size_t at) {
    return (text[at] - '0') * 10 + (text[at + 1] - '0');
  };
  return number(5) >= 1 && number(5) <= 12 && number(8) >= 1 && number(8) <= 31 &&
         number(11) <= 23 && number(14) <= 59 && number(17) <= 60;
}

bool IsVersion(std::string_view text) {
  if (text.empty() || text.size() > kMaxVersionChars || !IsDigit(text.front())) return false;
  for (const char c : text)
    if (!IsDigit(c) && !IsLetter(c) && c != '.') return false;
  return true;
}

bool IsLowerHex(std::string_view text) {
  if (text.size() != kSha256HexDigits) return false;
  for (const char c : text)
    if (!IsDigit(c) && (c < 'a' || c > 'f')) return false;
  return true;
}

std::string ModelNames() {
  std::vector<std::string> names;
  for (const DeviceModel& model : DeviceModels()) names.emplace_back(model.name);
  return JoinWithCommas(names);
}

char XDigitOfModel(std::string_view name) {
  const DeviceModel* model = ModelByName(name);
  return model == nullptr ? '0' : model->xDigit;
}

bool ParseBuild(const Json& item, const std::string& where, Checker& check, ManifestBuild& build) {
  if (!item.is_object()) return check.Fail(where, "must be an object {...}");
  if (!check.OnlyKnownFields(item, where, kBuildFields)) return false;
  std::string family;
  if (!check.Text(item, where, "model", build.model) ||
      !check.Text(item, where, "family", family) ||
      !check.Text(item, where, "version", build.version) ||
      !check.Text(item, where, "file", build.file) ||
      !check.Whole(item, where, "size", 1, kMaxFirmwareBytes, build.size) ||
      !check.Text(item, where, "sha256", build.sha256) ||
      !check.Text(item, where, "notes", build.notes, true))
    return false;
  const DeviceModel* model = ModelByName(build.model);
  if (model == nullptr)
    return check.Fail(where + ".model", "\"" + build.model +
                                            "\" is no adapter model this program updates; "
                                            "the models are " +
                                            ModelNames());
  if (family != "line" && family != "block")
    return check.Fail(where + ".family", "\"" + family + "\" is neither \"line\" nor \"block\"");
  build.family = family == "line" ? Family::kLine : Family::kBlock;
  if (build.family != model->family)
    return check.Fail(where + ".family",
                      "\"" + family + "\" does not fit the model: " + build.model + " takes " +
                          std::string(FamilyWord(model->family)) + "-mode files");
  if (!IsVersion(build.version))
    return check.Fail(where + ".version", "\"" + build.version +
                                              "\" is not a version (digits, letters and dots, " +
                                              "starting with a digit, at most " +
                                              std::to_string(kMaxVersionChars) + " characters)");
  std::string why;
  if (!ManifestPathUsable(build.file, why)) return check.Fail(where + ".file", why);
  if (!IsLowerHex(build.sha256))
    return check.Fail(where + ".sha256", "must be 64 lower-case hex digits (0-9, a-f)");
  if (build.notes.size() > kMaxNotesBytes)
    return check.Fail(where + ".notes", "longer than " + std::to_string(kMaxNotesBytes) + " bytes");
  return true;
}

}  // namespace

std::string_view FamilyWord(Family family) {
  return family == Family::kLine ? "line" : family == Family::kBlock ? "block" : "none";
}

bool ManifestPathUsable(std::string_view path, std::string& why) {
  if (path.empty()) {
    why = "empty";
    return false;
  }
  const std::string quoted = "\"" + std::string(path) + "\"";
  if (path.size() > kMaxPathChars) {
    why = "longer than " + std::to_string(kMaxPathChars) + " characters";
    return false;
  }
  if (path.front() == '/') {
    why = quoted + " is an absolute path; give it relative to the manifest";
    return false;
  }
  for (const char c : path) {
    if (c == ':') {
      why = quoted + " has a scheme or drive; give a path relative to the manifest";
      return false;
    }
    if (c == '\\') {
      why = quoted + " has \"\\\"; separate folders with \"/\"";
      return false;
    }
    if (!IsDigit(c) && !IsLetter(c) && c != '.' && c != '_' && c != '~' && c != '-' && c != '/') {
      why = quoted + " has a character a manifest path cannot hold (" +
            (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F
                 ? std::string("a control or non-ASCII character")
                 : "\"" + std::string(1, c) + "\"") +
            "); file names may have letters, digits, \".\", \"_\", \"~\" and \"-\"";
      return false;
    }
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, slash - start);
    if (segment.empty() || segment == "." || segment == "..") {
      why = quoted + (segment == ".." ? " goes above the manifest's folder"
                                      : " has an empty or \".\" folder name");
      return false;
    }
    start = slash + 1;
  }
  return true;
}

bool ParseManifest(std::string_view json, Manifest& manifest, std::string& problem) {
  manifest = Manifest{};
  Checker check(problem);
  // JSON lets a key repeat and keeps the last; a manifest says each thing once.
  std::vector<std::set<std::string>> keys;
  std::string repeated;
  const Json::parser_callback_t noteKeys = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) keys.emplace_back();
    if (event == Json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == Json::parse_event_t::key && !keys.empty() &&
        !keys.back().insert(parsed.get<std::string>()).second && repeated.empty())
      repeated = parsed.get<std::string>();
    return true;
  };
  Json root;
  try {
    root = Json::parse(json.begin(), json.end(), noteKeys);
  } catch (const Json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    const std::string what = e.what();
    const std::size_t bracket = what.find("] ");
    return check.Fail(
        "manifest",
        "not JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2)));
  }
  if (!repeated.empty()) return check.Fail(repeated, "given twice in one object");
  if (!root.is_object()) return check.Fail("manifest", "must be a JSON object {...}");
  std::int64_t format = 0;
  if (!check.Whole(root, "", "format", 0, INT32_MAX, format)) return false;
  if (format != kManifestFormat)
    return check.Fail("format", std::to_string(format) +
                                    " is not a manifest format this program reads (it reads " +
                                    std::to_string(kManifestFormat) +
                                    "); a newer zorbent-fw may read it");
  manifest.format = static_cast<int>(format);
  if (!check.OnlyKnownFields(root, "", kTopFields) ||
      !check.Text(root, "", "product", manifest.product) ||
      !check.Text(root, "", "publisher", manifest.publisher, true) ||
      !check.Text(root, "", "published", manifest.published))
    return false;
  if (!IsUtcTime(manifest.published))
    return check.Fail("published", "\"" + manifest.published +
                                       "\" is not a UTC time such as \"2026-12-09T10:00:00Z\"");
  const auto builds = root.find("builds");
  if (builds == root.end()) return check.Fail("builds", "missing");
  if (!builds->is_array()) return check.Fail("builds", "must be a list [...]");
  if (builds->empty()) return check.Fail("builds", "empty: a manifest lists at least one build");
  for (std::size_t i = 0; i < builds->size(); ++i) {
    const std::string where = "builds[" + std::to_string(i) + "]";
    ManifestBuild build;
    if (!ParseBuild((*builds)[i], where, check, build)) return false;
    for (std::size_t j = 0; j < manifest.builds.size(); ++j) {
      const ManifestBuild& earlier = manifest.builds[j];
      const std::string other = "builds[" + std::to_string(j) + "]";
      if (earlier.model == build.model &&
          CompareVersions(earlier.version, build.version, XDigitOfModel(build.model)) == 0)
        return check.Fail(where + ".version", build.model + " " + build.version +
                                                  " is listed twice (also " + other + ", " +
                                                  earlier.version + ")");
      if (earlier.file == build.file)
        return check.Fail(where + ".file", "\"" + build.file + "\" is also " + other + "'s file");
    }
    manifest.builds.push_back(std::move(build));
  }
  return true;
}

std::string ManifestJson(const Manifest& manifest) {
  nlohmann::ordered_json root;
  root["format"] = manifest.format;
  root["product"] = manifest.product;
  root["publisher"] = manifest.publisher;
  root["published"] = manifest.published;
  root["builds"] = nlohmann::ordered_json::array();
  for (const ManifestBuild& build : manifest.builds) {
    nlohmann::ordered_json item;
    item["model"] = build.model;
    item["family"] = FamilyWord(build.family);
    item["version"] = build.version;
    item["file"] = build.file;
    item["size"] = build.size;
    item["sha256"] = build.sha256;
    item["notes"] = build.notes;
    root["builds"].push_back(std::move(item));
  }
  // Bytes that are not UTF-8 become U+FFFD rather than an exception; callers check notes.
  return root.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

const ManifestBuild* NewestFor(const Manifest& manifest, std::string_view model) {
  const ManifestBuild* newest = nullptr;
  const char xDigit = XDigitOfModel(model);
  for (const ManifestBuild& build : manifest.builds) {
    if (build.model != model) continue;
    if (newest == nullptr || CompareVersions(build.version, newest->version, xDigit) > 0)
      newest = &build;
  }
  return newest;
}

BuildChoice ChooseBuild(const Manifest& manifest, std::string_view model,
                        std::string_view adapterVersion, bool allowOlder) {
  BuildChoice choice;
  choice.build = NewestFor(manifest, model);
  if (choice.build == nullptr) return choice;
  const DeviceModel* known = ModelByName(model);
  const int order = adapterVersion.empty()
                        ? 1
                        : CompareVersions(choice.build->version, adapterVersion,
                                          known == nullptr ? '0' : known->xDigit);
  choice.pick = order > 0    ? Pick::kNewer
                : order == 0 ? Pick::kUpToDate
                : allowOlder ? Pick::kNewer
                             : Pick::kOnlyOlder;
  return choice;
}

}  // namespace zorbent
