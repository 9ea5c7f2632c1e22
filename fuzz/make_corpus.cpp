// Writes the fuzz targets' starting corpus into DIR/image, DIR/config and DIR/identify.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "sim/image/image_builder.h"

namespace {

using namespace zorbent::sim;

std::vector<std::string> Images() {
  std::vector<std::string> seeds;
  auto keep = [&](const BuiltImage& image) {
    if (image.ok()) seeds.push_back(image.text);  // else options this family refuses
  };
  for (const Corruption c : AllCorruptions()) {
    for (const char* device : {"zOrbent FS v2.0", "zOrbent FS BT v1.0"})
      keep(BuildBlockImage({.deviceName = device,
                            .records = 4,
                            .recordLen = 24,
                            .corruption = c,
                            .corruptIndex = 1}));
    for (const std::string device : {"Ruvo03", "KTR5575", "KTR5577", "KTR5578", "Ruvo01"})
      keep(BuildLineImage({.deviceName = device,
                           .versionText = device.starts_with("Ruvo") ? "V4.0.1X" : "V2.2.3X",
                           .records = 3,
                           .corruption = c,
                           .corruptIndex = 1}));
  }
  // The decorations a valid file may carry, and those a line-mode file must not.
  for (const LineEnd end : {LineEnd::kCrLf, LineEnd::kLf, LineEnd::kCr}) {
    keep(BuildBlockImage({.records = 3,
                          .recordLen = 121,
                          .lineEnd = end,
                          .blankLines = end != LineEnd::kCr,
                          .spaces = end == LineEnd::kLf,
                          .lowerCase = end == LineEnd::kCrLf,
                          .afterTrailer = "\r\n \x1A"}));
    for (int broken = 0; broken < 3; ++broken)  // nothing, spaces, blank lines
      keep(BuildLineImage({.records = 2,
                           .lineEnd = end,
                           .blankLines = broken == 2,
                           .spaces = broken == 1,
                           .lowerCase = true,
                           .trailerLineEnd = end != LineEnd::kLf}));
  }
  keep(BuildBlockImage({.records = 0}));
  keep(BuildLineImage({.versionText = "2.2.01", .records = 0}));
  return seeds;
}

std::vector<std::string> Configs() {
  // clang-format off
  std::vector<std::string> seeds = {
      "com|COM3:115200", "tcp|192.168.0.10:35000", "com|COM3:115200|x", "com|COM3:115200:x",
      "com|COM3", "com", "serial|COM3:9600", "COM|COM3:9600", "", "com|:115200", "com|ttyUSB0:abc",
      "com|/dev/null:-9600", "tcp|[::1]:35000", "tcp|host:", "com||:", "com|x:99999999999999",
      "com|x:115200\nfw.txt"};
  // clang-format on
  seeds.push_back("com|x:1\n" + std::string(1100, 'p'));
  return seeds;
}

// One script per model: identification, the two product answers, ELM327 and versions.
std::vector<std::string> Answers() {
  const std::vector<std::vector<std::string>> scripts = {
      {"QKIRuvoPro v2.3\r\r>", "QKPROIOBDZ-1000\r\r>", "ATIELM327 v2.3\r\r>",
       "QKVERSRuvoXX V4.0.0X\r\r>", "QKVADJ v2.3\rELM327 v2.3\r\r>"},
      {"QKIZ_Orbe01 v2.2.2X\r\r>", "QKPROIOBDZ-1000\r\r>", "QKIzOrbent MC v2.2.1X\r\r>",
       "QKVERSV2.1\r\r>", "QK UCS_ATI ELM327 v2.2\rOK\r\r>"},
      {"QKIzOrbent BM v2.2.3X\r\r>", "QKPROIzOrbent OBDZ-1000\r\r>", "ATIELM327 v2.2\r\r>"},
      {"QKIzOrbent FD v2.2.1X\r>", "QKPROIOBDZ-1000>", "QKVERSV2.2.2X>"},
      {"QKIRuvo01 v1.5\r\r>", "QKPROIOBDZ-1000\r\r>", "QKVERSRuvoXX V4.0.05\r\r>",
       "QKVADJ v2.1\rELM327 v2.1\r>"},
      {"QKVERSKTR5588 V1.0\r\r>", "QKIzOrbent FS v2.2.01\r\r>", "QKVERSV2.2\r>"},
      {"QKVERSKTR5688 V3.1\r\r>", "QKIzOrbent FS v3.0\r\r>", "QKVERSELM327 v1.5\r>",
       "QKVERSV2.3\r>"},
      {"QKIRuvo V3.0\r\r>", "QKVERSRuvo V3.1\r>"},
      {"?\r\r>", "", "QKI\r", std::string(300, 'A'), std::string("\0\0>", 3)},
  };
  std::vector<std::string> seeds;
  for (const auto& script : scripts)
    for (std::uint8_t version = 0; version < zorbent::fuzz::kFileVersions.size(); version += 3)
      seeds.push_back(
          zorbent::fuzz::EncodeIdentifyInput(version, version == 6 ? "" : "OBDZ-1000", script));
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus DIR\n");
    return 2;
  }
  for (const auto& [sub, seeds] :
       {std::pair{"image", Images()}, {"config", Configs()}, {"identify", Answers()}}) {
    const std::filesystem::path dir = std::filesystem::path(argv[1]) / sub;
    std::filesystem::create_directories(dir);  // throws, and so fails, when it cannot
    for (std::size_t n = 0; n < seeds.size(); ++n) {
      if (!(std::ofstream(dir / (std::string(sub) + "-" + std::to_string(n)), std::ios::binary)
            << seeds[n])) {
        std::fprintf(stderr, "fuzz_make_corpus: cannot write into %s\n", dir.c_str());
        return 1;
      }
    }
  }
  return 0;
}
