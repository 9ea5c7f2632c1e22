#include "cli/firmware_info.h"

#include <string_view>

#include "engine/device_table.h"
#include "engine/firmware_file.h"
#include "engine/image_format.h"

namespace zorbent::cli {

bool CheckFirmwareFile(const std::string& path, FirmwareFacts& facts, std::string& why,
                       std::vector<std::uint8_t>* bytes) {
  facts = FirmwareFacts{};
  std::vector<std::uint8_t> own;
  std::vector<std::uint8_t>& image = bytes != nullptr ? *bytes : own;
  // The engine's own rule and check, so a file passed here is one its update job takes.
  if (!LoadFirmwareFile(path, image, why)) return false;
  facts.size = static_cast<std::int64_t>(image.size());
  const ImageFacts read = CheckImage(image);
  if (read.result < 0) {
    why = path + " is not a valid firmware file: line " + std::to_string(read.problem.line) + ": " +
          read.problem.what;
    return false;
  }
  facts.family = static_cast<int>(read.family);
  facts.model = read.model;
  facts.modelName = std::string(ModelName(read.model));
  facts.productId = read.productId;
  facts.deviceName = read.deviceName;
  facts.versionText = read.versionText;
  facts.version = read.version;
  facts.versionNumber = read.versionNumber;
  facts.records = read.recordCount;
  facts.oddLines = read.family == Family::kLine && read.recordCount % 2 != 0;
  if (facts.model < 0) {
    why = path + " is for device \"" + facts.deviceName +
          "\", which is none of the adapter models this program updates; files carry one of: " +
          FileDeviceNames(read.family);
    return false;
  }
  return true;
}

std::string OddLinesNote(const FirmwareFacts& facts) {
  return std::to_string(facts.records) +
         " lines: the last line has no partner and is not sent; the download is closed with the "
         "end record";
}

int ShowFirmwareInfo(const std::string& path, std::FILE* out) {
  FirmwareFacts facts;
  std::string why;
  if (!CheckFirmwareFile(path, facts, why)) {
    std::fprintf(out, "**Failed** %s\n", why.c_str());
    return 1;
  }
  const bool block = facts.family == 1;
  std::fprintf(out, "file:         %s\n", path.c_str());
  std::fprintf(out, "family:       %s\n", block ? "block mode" : "line mode");
  std::fprintf(out, "product ID:   %s\n", facts.productId.c_str());
  std::fprintf(out, "device name:  %s\n", facts.deviceName.c_str());
  if (!facts.versionText.empty()) {
    std::fprintf(out, "version:      %s (number %d)\n", facts.versionText.c_str(),
                 static_cast<int>(facts.versionNumber));
  } else if (!facts.version.empty()) {
    std::fprintf(out, "version:      %s\n", facts.version.c_str());
  }
  std::fprintf(out, "records:      %d (trailer included)\n", static_cast<int>(facts.records));
  std::fprintf(out, "size:         %lld bytes\n", static_cast<long long>(facts.size));
  const DeviceModel* model = ModelByCode(facts.model);
  std::fprintf(out, "for adapter:  %s (the adapter %s)\n", facts.modelName.c_str(),
               model == nullptr ? "" : IdentifyingAnswer(*model).c_str());
  if (facts.oddLines) std::fprintf(out, "note:         %s\n", OddLinesNote(facts).c_str());
  return 0;
}

}  // namespace zorbent::cli
