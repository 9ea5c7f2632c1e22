#include "cli/firmware_info.h"

#include <string_view>

#include "engine/device_table.h"
#include "engine/firmware_file.h"
#include "engine/image_format.h"
#include "firmware/outcome_json.h"
#include "platform/digest.h"

namespace zorbent::cli {

bool CheckFirmwareFile(const std::string& path, FirmwareFacts& facts, std::string& why,
                       std::vector<std::uint8_t>* bytes) {
  facts = FirmwareFacts{};
  std::vector<std::uint8_t> own;
  std::vector<std::uint8_t>& image = bytes != nullptr ? *bytes : own;
  // The engine's own rule and check, so a file passed here is one its update job takes.
  return LoadFirmwareFile(path, image, why) && CheckFirmwareImage(path, image, facts, why);
}

bool CheckFirmwareImage(const std::string& path, std::span<const std::uint8_t> image,
                        FirmwareFacts& facts, std::string& why) {
  facts = FirmwareFacts{};
  why = FirmwareSizeProblem(path, static_cast<std::int64_t>(image.size()));
  if (!why.empty()) return false;
  facts.loaded = true;
  facts.sha256 = Sha256Hex(image);
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
  if (const std::string refusal = UnknownModelRefusal(read); !refusal.empty()) {
    why = path + " " + refusal;
    return false;
  }
  return true;
}

std::shared_ptr<const CheckedFirmware> ReadFirmware(const std::string& path) {
  auto read = std::make_shared<CheckedFirmware>();
  read->usable = CheckFirmwareFile(path, read->facts, read->why, &read->image);
  return read;
}

std::shared_ptr<const CheckedFirmware> CheckedBytes(const std::string& path,
                                                    std::vector<std::uint8_t> image) {
  auto read = std::make_shared<CheckedFirmware>();
  read->image = std::move(image);
  read->usable = CheckFirmwareImage(path, read->image, read->facts, read->why);
  return read;
}

std::string OddLinesNote(const FirmwareFacts& facts) {
  return std::to_string(facts.records) +
         " lines: the last line has no partner and is not sent; the download is closed with the "
         "end record";
}

nlohmann::json FirmwareJson(const std::string& path, const FirmwareFacts& facts, bool valid,
                            const std::string& why) {
  const auto numberOrNull = [&](std::int64_t n) {
    return facts.family == 0 ? nlohmann::json(nullptr) : nlohmann::json(n);
  };
  return {{"file", path},
          {"valid", valid},
          {"error", TextOrNull(why)},
          {"file_sha256", TextOrNull(facts.sha256)},
          {"family", facts.family == 1   ? nlohmann::json("block")
                     : facts.family == 2 ? nlohmann::json("line")
                                         : nlohmann::json(nullptr)},
          {"product_id", TextOrNull(facts.productId)},
          {"device_name", TextOrNull(facts.deviceName)},
          {"file_version", TextOrNull(facts.version)},
          {"version_text", TextOrNull(facts.versionText)},
          {"version_number", numberOrNull(facts.versionNumber)},
          {"records", numberOrNull(facts.records)},
          {"size", facts.loaded ? nlohmann::json(facts.size) : nlohmann::json(nullptr)},
          {"file_model", TextOrNull(facts.model < 0 ? std::string() : facts.modelName)},
          {"odd_lines", facts.oddLines}};
}

int ShowFirmwareInfo(const std::string& path, std::FILE* out, OutputFormat format) {
  FirmwareFacts facts;
  std::string why;
  const bool valid = CheckFirmwareFile(path, facts, why);
  if (format == OutputFormat::kJson) {
    WriteJsonLine(FirmwareJson(path, facts, valid, why), out);
    if (!valid) std::fprintf(stderr, "**Failed** %s\n", why.c_str());
    return valid ? 0 : 1;
  }
  if (!valid) {
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
