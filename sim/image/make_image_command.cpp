#include "sim/image/make_image_command.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The command line as given.
struct MakeImageArgs {
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
};

void AddMakeImageOptions(CLI::App& app, MakeImageArgs& a) {
  app.add_option("--model", a.modelName,
                 "the model the file is for: " + SimModelNames() +
                     "; sets the family and device name (default KTR5575)");
  app.add_option("--family", a.family, "block or line (default: the model's)")
      ->check(CLI::IsMember({"block", "line"}));
  app.add_option("--product-id", a.productId, "product ID text")->capture_default_str();
  app.add_option("--device-name", a.deviceName,
                 "device name, one of " + DeviceNamesThatWork() + " (default: the model's)");
  app.add_option("--version", a.versionText,
                 "the file's version, e.g. V2.2.4X (default: newer than the simulated model "
                 "runs by default)");
  app.add_option("--records", a.records,
                 "data records before the trailer (default 16 block, 15 line)")
      ->check(CLI::Range(0, 10000000));
  app.add_option("--record-size", a.recordLen, "DATA bytes per block-mode record")
      ->check(CLI::Range(0, kMaxBlockRecordLen))
      ->capture_default_str();
  app.add_option("--line-end", a.lineEnd, "crlf, lf or cr")
      ->check(CLI::IsMember({"crlf", "lf", "cr"}))
      ->capture_default_str();
  std::vector<std::string> corruptionNames;
  for (Corruption c : AllCorruptions()) corruptionNames.emplace_back(CorruptionName(c));
  app.add_option("--corrupt", a.corruption, "fault to build in")
      ->check(CLI::IsMember(corruptionNames))
      ->capture_default_str();
  app.add_option("--corrupt-index", a.corruptIndex, "data record the fault hits")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--seed", a.seed, "seed of the record bytes")->capture_default_str();
  app.add_option("-o,--output", a.output, "file to write")->required();
  app.footer(
      "A file made with --model alone updates \"adapter-sim --model\" of the same name: its "
      "version is newer than the one the simulator runs, and the simulator runs the file's "
      "version after the download.");
}

// The model decides the family, the device name and the default version; a name that no
// model's files carry would make a file no adapter takes. The model and the file's version, or
// nullopt when the options do not fit together (said on stderr).
std::optional<std::pair<int, std::string>> ModelAndVersion(MakeImageArgs& a) {
  std::optional<int> model;
  if (!a.modelName.empty() && !(model = SimModelOfName(a.modelName))) {
    std::cerr << "make-image: unknown model '" << a.modelName << "': use one of " << SimModelNames()
              << "\n";
    return std::nullopt;
  }
  if (!a.deviceName.empty()) {
    const std::optional<int> named = SimModelOfDeviceName(a.deviceName);
    if (!named) {
      std::cerr << "make-image: no model's files carry the device name '" << a.deviceName
                << "': use one of " << DeviceNamesThatWork() << "\n";
      return std::nullopt;
    }
    if (model && *model != *named) {
      std::cerr << "make-image: the device name '" << a.deviceName << "' is for "
                << Facts(*named).name << ", not --model " << a.modelName << "\n";
      return std::nullopt;
    }
    model = named;
  }
  if (!model) model = a.family == "block" ? 5 : 1;
  const DeviceModel& facts = Facts(*model);
  const bool block = facts.family == Family::kBlock;
  if (!a.family.empty() && (a.family == "block") != block) {
    std::cerr << "make-image: --family " << a.family << " does not fit " << facts.name << ", a "
              << (block ? "block" : "line") << "-mode model\n";
    return std::nullopt;
  }
  if (block && !a.versionText.empty() && !a.deviceName.empty()) {
    std::cerr << "make-image: a block-mode device name holds the version: give --version or "
                 "--device-name, not both\n";
    return std::nullopt;
  }
  std::optional<std::string> version;
  if (block && !a.deviceName.empty()) {
    version = VersionAfterLetter(a.deviceName);
  } else if (!(version = VersionDigits(
                   a.versionText.empty() ? kSimModels[static_cast<std::size_t>(*model)].imageVersion
                                         : std::string_view(a.versionText)))) {
    std::cerr << "make-image: --version '" << a.versionText
              << "' is not a version such as V2.2.4X (a digit after the V)\n";
    return std::nullopt;
  }
  return std::pair{*model, *version};
}

BuiltImage Build(const MakeImageArgs& a, bool block, const std::string& version, LineEnd end,
                 Corruption fault) {
  if (block) {
    BlockImageOptions o;
    o.productId = a.productId;
    o.deviceName = a.deviceName;
    o.nameInData = true;
    if (a.records >= 0) o.records = a.records;
    o.recordLen = a.recordLen;
    o.seed = a.seed;
    o.lineEnd = end;
    o.corruption = fault;
    o.corruptIndex = a.corruptIndex;
    return BuildBlockImage(o);
  }
  LineImageOptions o;
  o.productId = a.productId;
  o.deviceName = a.deviceName;
  o.versionText = "V" + version;
  if (a.records >= 0) o.records = a.records;
  o.seed = a.seed;
  o.lineEnd = end;
  o.corruption = fault;
  o.corruptIndex = a.corruptIndex;
  return BuildLineImage(o);
}

}  // namespace

int MakeImageMain(int argc, char** argv) {
  CLI::App app{"Writes a firmware image file for a simulated adapter (or a faulty one)",
               "adapter-sim make-image"};
  MakeImageArgs a;
  AddMakeImageOptions(app, a);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  const auto modelAndVersion = ModelAndVersion(a);
  if (!modelAndVersion) return 2;
  const auto& [model, version] = *modelAndVersion;
  const DeviceModel& facts = Facts(model);
  const bool block = facts.family == Family::kBlock;
  if (a.deviceName.empty()) a.deviceName = DeviceNameFor(model, version);

  const LineEnd end = ParseLineEnd(a.lineEnd).value_or(LineEnd::kCrLf);
  const Corruption fault = ParseCorruption(a.corruption).value_or(Corruption::kNone);
  // A fault the image cannot carry would leave a clean file under a faulty name: a usage error.
  const int recordCount = a.records >= 0
                              ? a.records
                              : (block ? BlockImageOptions{}.records : LineImageOptions{}.records);
  if (const std::string why = CorruptionRefusal(
          fault, block ? ImageFamily::kBlock : ImageFamily::kLine, recordCount, a.corruptIndex);
      !why.empty()) {
    std::cerr << "make-image: " << why << "\n";
    return 2;
  }
  const BuiltImage image = Build(a, block, version, end, fault);
  if (!image.ok()) {
    std::cerr << "make-image: " << image.error << "\n";
    return 1;
  }
  std::ofstream file(a.output, std::ios::binary | std::ios::trunc);
  if (!file || !file.write(image.text.data(), static_cast<std::streamsize>(image.text.size())) ||
      !file.flush()) {
    std::cerr << "make-image: cannot write " << a.output << "\n";
    return 1;
  }
  std::cout << a.output << ": " << image.lines.size() << " lines, " << image.text.size()
            << " bytes, for " << facts.name << " (" << a.deviceName << ", version " << version
            << ")\n";
  return 0;
}

}  // namespace zorbent::sim
