#include "cli/firmware_info.h"

#include <cstdint>
#include <string_view>

#include "engine/identify.h"
#include "engine/image_format.h"
#include "engine/update_engine.h"
#include "platform/files.h"

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

// Collects the engine's format-error message instead of showing it as it comes.
void KeepText(void* context, std::int32_t kind, std::intptr_t value) {
  if (kind != kReportText) return;
  auto* text = static_cast<std::string*>(context);
  text->append(reinterpret_cast<const char*>(value));
}

}  // namespace

int ShowFirmwareInfo(const std::string& path, std::FILE* out) {
  std::string messages;
  UpdateEngine engine;
  engine.Init(&messages, &KeepText);
  const std::int64_t size = LoadWholeFile(path, engine.image);
  if (size < 0) {
    std::fprintf(out, "**Failed** cannot read %s\n", path.c_str());
    return 1;
  }
  if (size < kMinimumImageSize || size > INT32_MAX) {
    std::fprintf(out, "**Failed** File is Invalid!\n");
    return 1;
  }
  engine.imageSize = static_cast<std::int32_t>(size);
  if (engine.CheckImageFormat() < 0) {
    for (char c : messages)
      if (c != '\r') std::fputc(c, out);
    return 1;
  }

  const bool block = engine.fileFamily == 1;
  const int model =
      block ? ClassifyBlockFile(engine) : LookupLineModel(BufferText(engine.fileDeviceName));
  std::fprintf(out, "file:         %s\n", path.c_str());
  std::fprintf(out, "family:       %s\n", block ? "block mode" : "line mode");
  std::fprintf(out, "product ID:   %.*s\n",
               static_cast<int>(BufferText(engine.fileProductId).size()),
               BufferText(engine.fileProductId).data());
  std::fprintf(out, "device name:  %.*s\n",
               static_cast<int>(BufferText(engine.fileDeviceName).size()),
               BufferText(engine.fileDeviceName).data());
  if (!BufferText(engine.fileVersionText).empty()) {
    std::fprintf(out, "version:      %.*s (number %d)\n",
                 static_cast<int>(BufferText(engine.fileVersionText).size()),
                 BufferText(engine.fileVersionText).data(), static_cast<int>(engine.fileVersion));
  }
  std::fprintf(out, "records:      %d (trailer included)\n", static_cast<int>(engine.recordCount));
  std::fprintf(out, "size:         %lld bytes\n", static_cast<long long>(size));
  if (model >= 0 && model <= 6) {
    std::fprintf(out, "for adapter:  model %d, %.*s\n", model,
                 static_cast<int>(AdapterOfModel(model).size()), AdapterOfModel(model).data());
  } else {
    std::fprintf(out, "for adapter:  %.*s\n", static_cast<int>(AdapterOfModel(model).size()),
                 AdapterOfModel(model).data());
  }
  return model >= 0 && model <= 6 ? 0 : 1;
}

}  // namespace zorbent::cli
