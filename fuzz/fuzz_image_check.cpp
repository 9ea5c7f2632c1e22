// Any bytes as a firmware file: accepted or refused cleanly, whatever an earlier job left.

#include <algorithm>

#include "engine/image_format.h"
#include "engine/update_engine.h"
#include "fuzz/fuzz_check.h"

namespace {

using zorbent::fuzz::Require;

struct Outcome {
  std::int32_t result = 0;
  std::uint8_t family = 0;
  std::int32_t records = 0;
  std::int32_t version = 0;
  std::string productId, deviceName, versionText;
  bool operator==(const Outcome&) const = default;
};

bool Terminated(std::span<const char> field) {
  return std::find(field.begin(), field.end(), '\0') != field.end();
}

Outcome Check(zorbent::UpdateEngine& engine, std::span<const std::uint8_t> bytes) {
  zorbent::fuzz::Reports reports;
  engine.Init(&reports, &zorbent::fuzz::Reports::Callback);
  engine.image = bytes;
  Outcome o;
  o.result = engine.CheckImageFormat();
  Require(o.result == 1 || o.result < 0, "result is 1 or negative");
  Require(reports.progress == 1 && reports.lastProgress == 2, "progress 2 reported once");
  Require(engine.file.recordCount >= 0, "record count");
  if (o.result < 0) {
    Require(reports.texts == 2 && reports.last.starts_with("line ") &&
                engine.outcome.kind == zorbent::FailureKind::kFileFormat &&
                engine.outcome.cause == "update file format error!",
            "the format error message and the line it names");
    Require(engine.file.problem.line >= 1, "a refusal names a line");
    Require(engine.image.empty(), "a refused image is released");
    return o;
  }
  Require(reports.texts == 0, "an accepted image reports no text");
  Require(engine.image.size() == engine.file.imageEnd && engine.image.size() <= bytes.size() &&
              std::equal(engine.image.begin(), engine.image.end(), bytes.begin()),
          "an accepted image stays loaded up to its trailer");
  const zorbent::ImageFacts& file = engine.file;
  Require(file.family == zorbent::Family::kBlock || file.family == zorbent::Family::kLine,
          "family");
  Require(file.recordCount >= 1, "the trailer line counts");
  Require(engine.progressStep == 90.0 / file.recordCount, "progress step");
  Require(file.productId.size() < zorbent::kNameCapacity &&
              file.deviceName.size() < zorbent::kNameCapacity &&
              file.versionText.size() < zorbent::kNameCapacity,
          "names bounded");
  Require(file.model == zorbent::ModelOfFile(file.family, file.deviceName), "model of the names");
  o.family = static_cast<std::uint8_t>(file.family);
  o.records = file.recordCount;
  o.productId = file.productId;
  o.deviceName = file.deviceName;
  if (o.family == 2) {
    o.versionText = file.versionText;
    o.version = file.versionNumber;
    Require(o.versionText.find('V') != std::string::npos, "a line-mode version text has a V");
  }
  return o;
}

// The line reader and hex conversion with buffers of every awkward size.
void CheckHelpers(std::span<const std::uint8_t> bytes) {
  std::array<char, 5> tiny{};
  std::array<char, zorbent::kImageLineCapacity> line{};
  std::size_t position = 0;
  for (int lines = 0; lines < 64 && position < bytes.size(); ++lines) {
    const std::size_t next = zorbent::ReadImageLine(bytes, position, line);
    Require(next > position && next <= bytes.size(), "ReadImageLine moves forward");
    Require(zorbent::ReadImageLine(bytes, position, tiny) == next, "line end buffer-independent");
    Require(Terminated(tiny), "short line buffer terminated");
    std::array<std::uint8_t, 3> out{};
    Require(zorbent::HexTextToBytes(zorbent::BufferText(line), out) <= out.size(),
            "HexTextToBytes stays in its buffer");
    position = next;
  }
  Require(zorbent::ReadImageLine(bytes, bytes.size(), std::span<char>()) == bytes.size(),
          "reading at the end stays there");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  CheckHelpers(bytes);
  zorbent::UpdateEngine engine;
  const Outcome first = Check(engine, bytes);
  Require(Check(engine, bytes) == first, "the same file twice gives the same outcome");
  // The file without its first line, once after the whole file and once on a fresh engine.
  const auto cut = std::find_if(bytes.begin(), bytes.end(),
                                [](std::uint8_t c) { return c == '\r' || c == '\n'; });
  const auto rest = bytes.subspan(static_cast<std::size_t>(cut - bytes.begin()));
  const Outcome afterJob = Check(engine, rest);
  zorbent::UpdateEngine fresh;
  Require(Check(fresh, rest) == afterJob, "a check does not depend on an earlier job");
  return 0;
}
