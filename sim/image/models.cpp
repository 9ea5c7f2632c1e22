#include "sim/image/models.h"

#include <cctype>

namespace zorbent::sim {

std::optional<int> SimModelOfName(std::string_view name) {
  for (std::size_t i = 0; i < kSimModels.size(); ++i)
    if (kSimModels[i].name == name) return static_cast<int>(i);
  return std::nullopt;
}

std::optional<int> SimModelOfDeviceName(std::string_view deviceName) {
  // The longer block prefix first: "zOrbent FS BT v" is not a KTR558 name with version "BT v".
  std::optional<int> found;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < kSimModels.size(); ++i) {
    const SimModel& m = kSimModels[i];
    if (!m.block) {
      if (m.fileName == deviceName) return static_cast<int>(i);
      continue;
    }
    if (deviceName.size() > m.fileName.size() && deviceName.starts_with(m.fileName) &&
        std::isdigit(static_cast<unsigned char>(deviceName[m.fileName.size()])) &&
        m.fileName.size() > longest) {
      found = static_cast<int>(i);
      longest = m.fileName.size();
    }
  }
  return found;
}

std::string DeviceNameFor(int model, std::string_view version) {
  const SimModel& m = kSimModels.at(static_cast<std::size_t>(model));
  if (!m.block) return std::string(m.fileName);
  if (version.starts_with('V') || version.starts_with('v')) version.remove_prefix(1);
  return std::string(m.fileName) + std::string(version);
}

std::string SimModelNames() {
  std::string out;
  for (const SimModel& m : kSimModels) out += (out.empty() ? "" : ", ") + std::string(m.name);
  return out;
}

std::string DeviceNamesThatWork() {
  std::string out;
  for (const SimModel& m : kSimModels) {
    out += out.empty() ? "" : ", ";
    out += m.block ? "\"" + std::string(m.fileName) + "<version>\"" : std::string(m.fileName);
  }
  return out;
}

}  // namespace zorbent::sim
