#include "sim/image/make_image_command.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "sim/image/image_builder.h"
#include "sim/image/models.h"

namespace zorbent::sim {

namespace {

// "V2.2.4X" or "2.2.4X": a version starting with a digit, any leading "V" or "v" dropped.
std::optional<std::string> VersionDigits(std::string_view text) {
  if (text.starts_with('V') || text.starts_with('v')) text.remove_prefix(1);
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front()))) return std::nullopt;
  return std::string(text);
}

}  // namespace

int MakeImageMain(int argc, char** argv) {
  CLI::App app{"Writes a firmware image file for a simulated adapter (or a faulty one)",
               "adapter-sim make-image"};
  std::string modelName;
  std::string family;
  std::string productId = "OBDZ-1000";
  std::string deviceName;
  std::string versionText;
  int records = -1;
  int recordLen = 64;
  std::string lineEnd = "crlf";
  std::string corruption = "none";
  int corruptIndex = 0;
  std::uint32_t seed = 1;
  std::string output;

  app.add_option("--model", modelName,
                 "the model the file is for: " + SimModelNames() +
                     "; sets the family and device name (default KTR5575)");
  app.add_option("--family", family, "block or line (default: the model's)")
      ->check(CLI::IsMember({"block", "line"}));
  app.add_option("--product-id", productId, "product ID text")->capture_default_str();
  app.add_option("--device-name", deviceName,
                 "device name, one of " + DeviceNamesThatWork() + " (default: the model's)");
  app.add_option("--version", versionText,
                 "the file's version, e.g. V2.2.4X (default: newer than the simulated model "
                 "runs by default)");
  app.add_option("--records", records,
                 "data records before the trailer (default 16 block, 15 line)")
      ->check(CLI::Range(0, 10000000));
  app.add_option("--record-size", recordLen, "DATA bytes per block-mode record")
      ->check(CLI::Range(0, kMaxBlockRecordLen))
      ->capture_default_str();
  app.add_option("--line-end", lineEnd, "crlf, lf or cr")
      ->check(CLI::IsMember({"crlf", "lf", "cr"}))
      ->capture_default_str();
  std::vector<std::string> corruptionNames;
  for (Corruption c : AllCorruptions()) corruptionNames.emplace_back(CorruptionName(c));
  app.add_option("--corrupt", corruption, "fault to build in")
      ->check(CLI::IsMember(corruptionNames))
      ->capture_default_str();
  app.add_option("--corrupt-index", corruptIndex, "data record the fault hits")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--seed", seed, "seed of the record bytes")->capture_default_str();
  app.add_option("-o,--output", output, "file to write")->required();
  app.footer(
      "A file made with --model alone updates \"adapter-sim --model\" of the same name: its "
      "version is newer than the one the simulator runs, and the simulator runs the file's "
      "version after the download.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  // The model decides the family, the device name and the default version; a name that no
  // model's files carry would make a file no adapter takes.
  std::optional<int> model;
  if (!modelName.empty() && !(model = SimModelOfName(modelName))) {
    std::cerr << "make-image: unknown model '" << modelName << "': use one of " << SimModelNames()
              << "\n";
    return 2;
  }
  if (!deviceName.empty()) {
    const std::optional<int> named = SimModelOfDeviceName(deviceName);
    if (!named) {
      std::cerr << "make-image: no model's files carry the device name '" << deviceName
                << "': use one of " << DeviceNamesThatWork() << "\n";
      return 2;
    }
    if (model && *model != *named) {
      std::cerr << "make-image: the device name '" << deviceName << "' is for "
                << Facts(*named).name << ", not --model " << modelName << "\n";
      return 2;
    }
    model = named;
  }
  if (!model) model = family == "block" ? 5 : 1;
  const DeviceModel& facts = Facts(*model);
  const bool block = facts.family == Family::kBlock;
  if (!family.empty() && (family == "block") != block) {
    std::cerr << "make-image: --family " << family << " does not fit " << facts.name << ", a "
              << (block ? "block" : "line") << "-mode model\n";
    return 2;
  }
  if (block && !versionText.empty() && !deviceName.empty()) {
    std::cerr << "make-image: a block-mode device name holds the version: give --version or "
                 "--device-name, not both\n";
    return 2;
  }
  std::optional<std::string> version;
  if (block && !deviceName.empty()) {
    version = VersionAfterLetter(deviceName);
  } else if (!(version = VersionDigits(
                   versionText.empty() ? kSimModels[static_cast<std::size_t>(*model)].imageVersion
                                       : std::string_view(versionText)))) {
    std::cerr << "make-image: --version '" << versionText
              << "' is not a version such as V2.2.4X (a digit after the V)\n";
    return 2;
  }
  if (deviceName.empty()) deviceName = DeviceNameFor(*model, *version);

  BuiltImage image;
  const LineEnd end = ParseLineEnd(lineEnd).value_or(LineEnd::kCrLf);
  const Corruption fault = ParseCorruption(corruption).value_or(Corruption::kNone);
  // A fault the image cannot carry would leave a clean file under a faulty name: a usage error.
  const int recordCount =
      records >= 0 ? records : (block ? BlockImageOptions{}.records : LineImageOptions{}.records);
  if (const std::string why = CorruptionRefusal(
          fault, block ? ImageFamily::kBlock : ImageFamily::kLine, recordCount, corruptIndex);
      !why.empty()) {
    std::cerr << "make-image: " << why << "\n";
    return 2;
  }
  if (block) {
    BlockImageOptions o;
    o.productId = productId;
    o.deviceName = deviceName;
    o.nameInData = true;
    if (records >= 0) o.records = records;
    o.recordLen = recordLen;
    o.seed = seed;
    o.lineEnd = end;
    o.corruption = fault;
    o.corruptIndex = corruptIndex;
    image = BuildBlockImage(o);
  } else {
    LineImageOptions o;
    o.productId = productId;
    o.deviceName = deviceName;
    o.versionText = "V" + *version;
    if (records >= 0) o.records = records;
    o.seed = seed;
    o.lineEnd = end;
    o.corruption = fault;
    o.corruptIndex = corruptIndex;
    image = BuildLineImage(o);
  }
  if (!image.ok()) {
    std::cerr << "make-image: " << image.error << "\n";
    return 1;
  }
  std::ofstream file(output, std::ios::binary | std::ios::trunc);
  if (!file || !file.write(image.text.data(), static_cast<std::streamsize>(image.text.size())) ||
      !file.flush()) {
    std::cerr << "make-image: cannot write " << output << "\n";
    return 1;
  }
  std::cout << output << ": " << image.lines.size() << " lines, " << image.text.size()
            << " bytes, for " << facts.name << " (" << deviceName << ", version " << *version
            << ")\n";
  return 0;
}

}  // namespace zorbent::sim
