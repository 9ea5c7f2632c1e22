#include "firmware/release_builds.h"

#include "engine/text.h"

#include <algorithm>
#include <climits>

#include "engine/identify.h"
#include "engine/image_format.h"

namespace zorbent {
namespace {

bool IsVersion(std::string_view text) {
  if (text.empty() || text.size() > kMaxVersionChars || text.front() < '0' || text.front() > '9')
    return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.';
  });
}

std::string TextField(const nlohmann::json& custom, const char* name) {
  const auto it = custom.find(name);
  return it != custom.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The build a target is, or false when its custom fields do not make one.
bool ReadBuild(const tuf::Target& target, ReleaseBuild& build) {
  if (!target.custom.is_object()) return false;
  build.model = TextField(target.custom, "model");
  build.version = TextField(target.custom, "version");
  const std::string family = TextField(target.custom, "family");
  const DeviceModel* model = ModelByName(build.model);
  const std::string folder = build.model + "/";
  if (model == nullptr || FamilyWord(model->family) != family || !IsVersion(build.version) ||
      !target.path.starts_with(folder) || target.path.size() == folder.size())
    return false;
  build.family = model->family;
  build.notes = TextField(target.custom, "notes").substr(0, kMaxNotesBytes);
  build.file = target.path.substr(folder.size());
  build.target = target;
  return true;
}

char XDigitOf(std::string_view name) {
  const DeviceModel* model = ModelByName(name);
  return model == nullptr ? '0' : model->xDigit;
}

}  // namespace

std::vector<ReleaseBuild> BuildsOf(const std::vector<tuf::Target>& targets, int* ignored) {
  std::vector<ReleaseBuild> builds;
  int others = 0;
  for (const tuf::Target& target : targets) {
    ReleaseBuild build;
    if (ReadBuild(target, build)) {
      builds.push_back(std::move(build));
    } else {
      ++others;
    }
  }
  if (ignored != nullptr) *ignored = others;
  const auto rank = [](const ReleaseBuild& b) {
    const DeviceModel* model = ModelByName(b.model);
    return model == nullptr ? INT_MAX : model->code;
  };
  std::stable_sort(builds.begin(), builds.end(), [&rank](const auto& a, const auto& b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    return CompareVersions(a.version, b.version, XDigitOf(a.model)) > 0;
  });
  return builds;
}

BuildChoice ChooseBuild(const std::vector<ReleaseBuild>& builds, std::string_view model,
                        std::string_view adapterVersion, bool allowOlder) {
  BuildChoice choice;
  const char xDigit = XDigitOf(model);
  for (const ReleaseBuild& build : builds) {
    if (build.model != model) continue;
    if (choice.build == nullptr ||
        CompareVersions(build.version, choice.build->version, xDigit) > 0)
      choice.build = &build;
  }
  if (choice.build == nullptr) return choice;
  const int order =
      adapterVersion.empty() ? 1 : CompareVersions(choice.build->version, adapterVersion, xDigit);
  choice.pick = order > 0    ? Pick::kNewer
                : order == 0 ? Pick::kUpToDate
                : allowOlder ? Pick::kNewer
                             : Pick::kOnlyOlder;
  return choice;
}

bool FileIsTheListedBuild(const ReleaseBuild& build, std::span<const std::uint8_t> bytes,
                          std::string& problem) {
  const ImageFacts facts = CheckImage(bytes);
  const std::string listed = build.model + " " + Version(build.version);
  if (facts.result < 0) {
    problem = build.target.path + " is refused: it is listed as " + listed +
              ", but it is no firmware file this program can use (line " +
              std::to_string(facts.problem.line) + ": " + facts.problem.what +
              "). Nothing was installed; tell the repository's publisher.";
    return false;
  }
  const std::string model(ModelName(facts.model));
  if (model == build.model && facts.family == build.family && facts.version == build.version)
    return true;
  problem = build.target.path + " is refused: it is listed as " + listed +
            ", but the file itself says it is " + (model.empty() ? "no known model" : model) + " " +
            Version(facts.version) + ". Nothing was installed; tell the repository's publisher.";
  return false;
}

std::string_view FamilyWord(Family family) {
  return family == Family::kLine ? "line" : family == Family::kBlock ? "block" : "none";
}

}  // namespace zorbent
