#include "cli/firmware_info.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <system_error>
#include <vector>

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

// Reads at most limit + 1 bytes, so an oversized file is told apart without reading it all.
bool ReadBounded(const std::string& path, std::int64_t limit, std::vector<std::uint8_t>& out,
                 std::string& why) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read " + path + ": " + std::strerror(errno != 0 ? errno : ENOENT);
    return false;
  }
  // In pieces, so a small file costs its own size, not the limit's.
  constexpr std::size_t kPiece = 64 * 1024;
  out.clear();
  while (in && out.size() <= static_cast<std::size_t>(limit)) {
    const std::size_t at = out.size();
    out.resize(at + kPiece);
    in.read(reinterpret_cast<char*>(out.data() + at), static_cast<std::streamsize>(kPiece));
    out.resize(at + static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) {
    why = "cannot read " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

}  // namespace

bool CheckFirmwareFile(const std::string& path, FirmwareFacts& facts, std::string& why) {
  facts = FirmwareFacts{};
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    why = path + " is a directory: give the firmware file itself";
    return false;
  }
  UpdateEngine engine;
  if (!ReadBounded(path, kMaxFirmwareBytes, engine.image, why)) return false;
  const std::int64_t size = static_cast<std::int64_t>(engine.image.size());
  facts.size = size;
  if (size == 0) {
    why = path + " is empty: it is not a firmware file";
    return false;
  }
  if (size < kMinimumImageSize) {
    why = path + " is too short (" + std::to_string(size) + " bytes) to hold a firmware image (" +
          std::to_string(kMinimumImageSize) + " bytes at least)";
    return false;
  }
  if (size > kMaxFirmwareBytes) {
    why = path + " is larger than any adapter firmware (more than 16 MiB): is it the right file?";
    return false;
  }
  engine.imageSize = static_cast<std::int32_t>(size);
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
  if (facts.oddLines) {
    std::fprintf(out,
                 "warning:      %d lines: the last line has no partner and is never sent, so "
                 "the adapter will refuse to close the download\n",
                 static_cast<int>(facts.records));
  }
  return 0;
}

}  // namespace zorbent::cli
