#include "sim/image/make_image_command.h"

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <string>

#include "sim/image/image_builder.h"

namespace zorbent::sim {

int MakeImageMain(int argc, char** argv) {
  CLI::App app{"Writes a firmware image file", "make-image"};
  std::string family = "line";
  std::string productId = "OBDZ-1000";
  std::string deviceName;
  std::string versionText = "V2.2.3X";
  int records = -1;
  int recordLen = 64;
  std::string lineEnd = "crlf";
  std::string corruption = "none";
  int corruptIndex = 0;
  std::uint32_t seed = 1;
  std::string output;

  app.add_option("--family", family, "block or line")
      ->check(CLI::IsMember({"block", "line"}))
      ->capture_default_str();
  app.add_option("--product-id", productId, "product ID text")->capture_default_str();
  app.add_option("--device-name", deviceName,
                 "device name (default zOrbent FS v2.0 for block, KTR5575 for line)");
  app.add_option("--version", versionText, "version text (line mode)")->capture_default_str();
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

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  BuiltImage image;
  const LineEnd end = ParseLineEnd(lineEnd).value_or(LineEnd::kCrLf);
  const Corruption fault = ParseCorruption(corruption).value_or(Corruption::kNone);
  // A fault the image cannot carry would leave a clean file under a faulty name: a usage error.
  const bool block = family == "block";
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
    if (!deviceName.empty()) o.deviceName = deviceName;
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
    if (!deviceName.empty()) o.deviceName = deviceName;
    o.versionText = versionText;
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
            << " bytes\n";
  return 0;
}

}  // namespace zorbent::sim
