#include "cli/firmware_info.h"

#include <string_view>

#include "engine/firmware_file.h"
#include "engine/identify.h"
#include "engine/image_format.h"
#include "engine/update_engine.h"

namespace zorbent::cli {
namespace {

// What a user recognises the adapter by: the answer that identifies it.
std::string_view AdapterOfModel(int model) {
  switch (model) {
    case 0:
      return "Ruvo03 (the adapter answers \"RuvoPro v...\")";
    case 1:
      return "KTR5575 (the adapter answers \"zOrbent MC v...\")";
    case 2:
      return "KTR5577 (the adapter answers \"zOrbent BM v...\")";
    case 3:
      return "KTR5578 (the adapter answers \"zOrbent FD v...\")";
    case 4:
      return "Ruvo01 (the adapter answers \"Ruvo01 v...\")";
    case 5:
      return "zOrbent FS (the adapter answers \"KTR558...\" to QKVERS)";
    case 6:
      return "zOrbent FS BT (the adapter answers \"KTR568...\" to QKVERS)";
    default:
      return "none known: no adapter takes this file";
  }
}

}  // namespace

bool CheckFirmwareFile(const std::string& path, FirmwareFacts& facts, std::string& why) {
  facts = FirmwareFacts{};
  UpdateEngine engine;
  // The engine's own rule, so a file passed here is one its update job loads.
  if (!LoadFirmwareFile(path, engine.image, why)) return false;
  facts.size = static_cast<std::int64_t>(engine.image.size());
  engine.imageSize = static_cast<std::int32_t>(facts.size);
  const std::string problem = DescribeFormatProblem(engine.image);
  if (!problem.empty()) {
    why = path + " is not a valid firmware file: " + problem;
    return false;
  }
  engine.CheckImageFormat();  // fills the identity fields
  facts.family = engine.fileFamily;
  facts.model = facts.family == 1 ? ClassifyBlockFile(engine)
                                  : LookupLineModel(BufferText(engine.fileDeviceName));
  if (facts.model < 0 || facts.model > 6) facts.model = -1;
  facts.modelName = facts.model >= 0 ? std::string(ModelName(facts.model)) : std::string();
  facts.productId = BufferText(engine.fileProductId);
  facts.deviceName = BufferText(engine.fileDeviceName);
  facts.versionText = BufferText(engine.fileVersionText);
  facts.versionNumber = engine.fileVersion;
  facts.records = engine.recordCount;
  facts.oddLines = facts.family == 2 && engine.recordCount % 2 != 0;
  if (facts.model < 0) {
    why = path + " is for device \"" + facts.deviceName +
          "\", which is none of the adapter models this program updates";
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
  }
  std::fprintf(out, "records:      %d (trailer included)\n", static_cast<int>(facts.records));
  std::fprintf(out, "size:         %lld bytes\n", static_cast<long long>(facts.size));
  std::fprintf(out, "for adapter:  model %d, %.*s\n", facts.model,
               static_cast<int>(AdapterOfModel(facts.model).size()),
               AdapterOfModel(facts.model).data());
  if (facts.oddLines) std::fprintf(out, "note:         %s\n", OddLinesNote(facts).c_str());
  return 0;
}

}  // namespace zorbent::cli
