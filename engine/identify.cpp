#include "engine/identify.h"

namespace zorbent {

std::uint8_t ClassifyBlockAdapter(std::string_view answer) {
  if (answer.starts_with("KTR558")) return 5;
  if (answer.starts_with(std::string_view("KTR5688").substr(0, 6))) return 6;
  return kNoModel;
}

std::uint8_t ClassifyBlockFile(const UpdateEngine& engine) {
  const std::string_view name = BufferText(engine.fileDeviceName);
  if (name.starts_with("zOrbent FS BT")) return 6;
  if (name.starts_with(std::string_view("zOrbent FS v").substr(0, 6))) return 5;
  return kNoModel;
}

std::int32_t ReportDeviceVersion(UpdateEngine&, Port&, std::int32_t) { return -2; }
std::int32_t ReportAdapterVersion(UpdateEngine&, Port&, std::int32_t) { return -2; }

}  // namespace zorbent
