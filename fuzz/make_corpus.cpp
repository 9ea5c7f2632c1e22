// Writes the starting corpus of the fuzz targets into DIR/image, DIR/config and DIR/identify:
// valid and corrupted firmware files of both families, connection strings, adapter answers.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/identify_input.h"
#include "sim/image/image_builder.h"

namespace {

namespace fs = std::filesystem;
using zorbent::sim::Corruption;
using zorbent::sim::LineEnd;

bool Write(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string Name(std::string_view stem, int n) {
  return std::string(stem) + "-" + std::to_string(n);
}

int Images(const fs::path& dir) {
  int n = 0;
  int failures = 0;
  auto keep = [&](std::string_view stem, const zorbent::sim::BuiltImage& image) {
    if (!image.ok()) return;  // options this family refuses
    failures += !Write(dir / Name(stem, n++), image.text);
  };
  const std::vector<LineEnd> ends = {LineEnd::kCrLf, LineEnd::kLf, LineEnd::kCr};
  for (const Corruption corruption : zorbent::sim::AllCorruptions()) {
    const std::string stem(zorbent::sim::CorruptionName(corruption));
    for (const char* device : {"zOrbent FS v2.0", "zOrbent FS BT 1.0"}) {
      zorbent::sim::BlockImageOptions o;
      o.deviceName = device;
      o.records = 4;
      o.recordLen = 24;
      o.corruption = corruption;
      o.corruptIndex = 1;
      keep("block-" + stem, BuildBlockImage(o));
    }
    for (const char* device : {"Ruvo03", "KTR5575", "KTR5577", "KTR5578", "Ruvo01"}) {
      zorbent::sim::LineImageOptions o;
      o.deviceName = device;
      o.versionText = std::string_view(device).starts_with("Ruvo") ? "V4.0.1X" : "V2.2.3X";
      o.records = 3;
      o.corruption = corruption;
      o.corruptIndex = 1;
      keep("line-" + stem, BuildLineImage(o));
    }
  }
  // The decorations a valid file may carry, and those a line-mode file must not.
  for (const LineEnd end : ends) {
    zorbent::sim::BlockImageOptions b;
    b.records = 3;
    b.recordLen = 121;
    b.lineEnd = end;
    b.blankLines = end != LineEnd::kCr;
    b.spaces = end == LineEnd::kLf;
    b.lowerCase = end == LineEnd::kCrLf;
    b.afterTrailer = "00\r\n";
    keep("block-decorated", BuildBlockImage(b));
    zorbent::sim::LineImageOptions l;
    l.records = 2;
    l.lineEnd = end;
    l.lowerCase = true;
    l.trailerLineEnd = end != LineEnd::kLf;
    keep("line-ends", BuildLineImage(l));
    l.spaces = true;
    keep("line-spaces", BuildLineImage(l));
    l.spaces = false;
    l.blankLines = true;
    keep("line-blank", BuildLineImage(l));
  }
  zorbent::sim::BlockImageOptions empty;
  empty.records = 0;
  keep("block-trailer-only", BuildBlockImage(empty));
  zorbent::sim::LineImageOptions bare;
  bare.records = 0;
  bare.versionText = "2.2.01";
  keep("line-no-v", BuildLineImage(bare));
  return failures;
}

int Configs(const fs::path& dir) {
  const std::vector<std::string> strings = {
      "com|COM3:115200",
      "tcp|192.168.0.10:35000",
      "com|COM3:115200|x",
      "com|COM3:115200:x",
      "com|COM3",
      "com",
      "serial|COM3:9600",
      "COM|COM3:9600",
      "",
      "com|:115200",
      "com|ttyUSB0:abc",
      "com|/dev/null:-9600",
      "tcp|[::1]:35000",
      "tcp|host:",
      "com||:",
      "com|x:99999999999999",
      "com|x:115200\nfw.txt",
      "com|x:1\n" + std::string(1100, 'p'),
  };
  int n = 0;
  int failures = 0;
  for (const auto& s : strings) failures += !Write(dir / Name("config", n++), s);
  return failures;
}

int Answers(const fs::path& dir) {
  using zorbent::fuzz::EncodeIdentifyInput;
  // One script per model: identification, the two product answers, ELM327 and versions.
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
  int n = 0;
  int failures = 0;
  for (const auto& script : scripts) {
    for (std::uint8_t version = 0; version < zorbent::fuzz::kFileVersions.size(); version += 3) {
      failures += !Write(dir / Name("answers", n++),
                         EncodeIdentifyInput(version, version == 6 ? "" : "OBDZ-1000", script));
    }
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus DIR\n");
    return 2;
  }
  const fs::path root(argv[1]);
  std::error_code error;
  for (const char* sub : {"image", "config", "identify"}) {
    fs::create_directories(root / sub, error);
    if (error) {
      std::fprintf(stderr, "fuzz_make_corpus: cannot create %s: %s\n",
                   (root / sub).string().c_str(), error.message().c_str());
      return 1;
    }
  }
  const int failures =
      Images(root / "image") + Configs(root / "config") + Answers(root / "identify");
  if (failures > 0) {
    std::fprintf(stderr, "fuzz_make_corpus: %d files could not be written\n", failures);
    return 1;
  }
  return 0;
}
