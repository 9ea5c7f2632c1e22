#include "sim/image/models.h"

#include <cctype>

namespace zorbent::sim {
namespace {

// A block-mode device name's text before its version: "zOrbent FS v", "zOrbent FS BT v".
std::string BlockNameBeforeVersion(const DeviceModel& model) {
  std::string name(model.fileDeviceName);
  if (!name.ends_with('v')) name += " v";
  return name;
}

}  // namespace

const DeviceModel& Facts(int model) {
  return DeviceModels()[static_cast<std::size_t>(model)];
}

bool IsBlock(int model) {
  return model >= 0 && model < kModelCount && Facts(model).family == Family::kBlock;
}

std::optional<int> SimModelOfName(std::string_view name) {
  const DeviceModel* model = ModelByName(name);
  if (model == nullptr) return std::nullopt;
  return model->code;
}

std::optional<int> SimModelOfDeviceName(std::string_view deviceName) {
  if (const std::int32_t line = ModelOfFile(Family::kLine, deviceName); line >= 0) return line;
  const std::int32_t block = ModelOfFile(Family::kBlock, deviceName);
  if (block < 0 || VersionAfterLetter(deviceName).empty()) return std::nullopt;
  return block;
}

std::string VersionAfterLetter(std::string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if ((text[i] == 'v' || text[i] == 'V') && std::isdigit(static_cast<unsigned char>(text[i + 1])))
      return std::string(text.substr(i + 1));
  }
  return {};
}

std::string DeviceNameFor(int model, std::string_view version) {
  const DeviceModel& facts = Facts(model);
  if (facts.family != Family::kBlock) return std::string(facts.fileDeviceName);
  if (version.starts_with('V') || version.starts_with('v')) version.remove_prefix(1);
  return BlockNameBeforeVersion(facts) + std::string(version);
}

std::string SimModelNames() {
  std::string out;
  for (const DeviceModel& m : DeviceModels())
    out += (out.empty() ? "" : ", ") + std::string(m.name);
  return out;
}

std::string DeviceNamesThatWork() {
  std::string out;
  for (const DeviceModel& m : DeviceModels()) {
    out += out.empty() ? "" : ", ";
    out += m.family == Family::kBlock ? "\"" + BlockNameBeforeVersion(m) + "<version>\""
                                      : std::string(m.fileDeviceName);
  }
  return out;
}

}  // namespace zorbent::sim
