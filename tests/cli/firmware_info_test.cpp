// zorbent-fw inspect, run as a program on files the image builder made.

#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <vector>

#include "sim/image/image_builder.h"
#include "tests/cli/run_program.h"

namespace zorbent::cli_test {
namespace {

using sim::Corruption;

struct GoodFile {
  const char* label;
  bool block;
  const char* deviceName;
  const char* versionText;  // line mode only
  int model;
  int versionNumber;
};

std::string BuildFile(const GoodFile& f, int records) {
  if (f.block) {
    sim::BlockImageOptions o;
    o.deviceName = f.deviceName;
    o.productId = "OBDZ-2000";
    o.records = records;
    return sim::BuildBlockImage(o).text;
  }
  sim::LineImageOptions o;
  o.deviceName = f.deviceName;
  o.productId = "OBDZ-2000";
  o.versionText = f.versionText;
  o.records = records;
  return sim::BuildLineImage(o).text;
}

class InspectGoodFile : public ::testing::TestWithParam<GoodFile> {};

TEST_P(InspectGoodFile, ShowsWhatTheFileIsFor) {
  const GoodFile& f = GetParam();
  TempDir dir;
  const std::string text = BuildFile(f, 9);
  ASSERT_FALSE(text.empty());
  const std::string path = dir.Write("fw.txt", text);

  const ProgramResult r = RunProgram({"inspect", path});
  EXPECT_EQ(r.exitCode, 0) << r.both();
  std::vector<std::string> lines = {
      "file:         " + path + "\n",
      std::string("family:       ") + (f.block ? "block mode" : "line mode"),
      "product ID:   OBDZ-2000\n",
      std::string("device name:  ") + f.deviceName + "\n",
      "records:      10 (trailer included)\n",
      "size:         " + std::to_string(text.size()) + " bytes\n",
      "for adapter:  model " + std::to_string(f.model) + ", "};
  if (!f.block) {
    lines.push_back(std::string("version:      ") + f.versionText + " (number " +
                    std::to_string(f.versionNumber) + ")\n");
  }
  for (const std::string& line : lines) EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
  if (f.block) {
    EXPECT_EQ(r.out.find("version:"), std::string::npos) << r.out;
  }
}

// The final "X" of a version follows the file's own model: 5 for Ruvo03 and Ruvo01, else 9.
INSTANTIATE_TEST_SUITE_P(
    EveryModel, InspectGoodFile,
    ::testing::Values(GoodFile{"FS", true, "zOrbent FS v2.0", "", 5, 0},
                      GoodFile{"FSBT", true, "zOrbent FS BT 1.2", "", 6, 0},
                      GoodFile{"Ruvo03", false, "Ruvo03", "V4.0.0X", 0, 4005},
                      GoodFile{"KTR5575", false, "KTR5575", "V2.2.3X", 1, 2239},
                      GoodFile{"KTR5577", false, "KTR5577", "V2.2.2X", 2, 2229},
                      GoodFile{"KTR5578", false, "KTR5578", "zOrbent V2.2.01", 3, 2201},
                      GoodFile{"Ruvo01", false, "Ruvo01", "V4.0.1X", 4, 4015}),
    [](const auto& info) { return std::string(info.param.label); });

// A well-formed file that no adapter takes is a failure the user must see.
TEST(InspectUnknownModel, SaysNoAdapterTakesItAndFails) {
  TempDir dir;
  const std::vector<GoodFile> files = {{"block", true, "Other FS v1", "", -1, 0},
                                       {"line", false, "KTR9999", "V1.0", -1, 10}};
  for (const auto& f : files) {
    const ProgramResult r = RunProgram({"inspect", dir.Write(f.label, BuildFile(f, 3))});
    EXPECT_EQ(r.exitCode, 1) << f.label << ": " << r.both();
    EXPECT_NE(r.out.find("\"" + std::string(f.deviceName) +
                         "\", which is none of the adapter models this program updates"),
              std::string::npos)
        << r.out;
  }
}

// Every kind of damage is a unit case of the format check; here the program's report of
// damaged files of each family: the first bad line and the check that failed.
TEST(InspectCorruptFile, ReportsTheLineAndTheCheckThatFailed) {
  struct Damage {
    bool block;
    Corruption corruption;
    const char* says;
  };
  for (const Damage& d : {Damage{true, Corruption::kLenOverrun, "line 3: LEN says"},
                          Damage{true, Corruption::kBadSum, "line 3: data bytes sum to 0x"},
                          Damage{false, Corruption::kBadCheckByte, "line 3: bytes sum to 0x"},
                          Damage{false, Corruption::kNameOverrun, "trailer names run past"}}) {
    sim::BlockImageOptions block;
    block.corruption = d.corruption;
    block.corruptIndex = 2;
    sim::LineImageOptions line;
    line.corruption = d.corruption;
    line.corruptIndex = 2;
    const sim::BuiltImage image = d.block ? sim::BuildBlockImage(block) : sim::BuildLineImage(line);
    ASSERT_TRUE(image.ok()) << image.error;
    TempDir dir;
    const ProgramResult r = RunProgram({"inspect", dir.Write("fw.txt", image.text)});
    EXPECT_EQ(r.exitCode, 1) << r.both();
    EXPECT_NE(r.out.find("is not a valid firmware file: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(d.says), std::string::npos) << r.out;
  }
}

TEST(InspectOddLines, WarnsThatTheLastLineIsNeverSent) {
  sim::LineImageOptions line;
  line.deviceName = "KTR5577";
  line.records = 4;  // with the trailer: five lines
  TempDir dir;
  const ProgramResult r =
      RunProgram({"inspect", dir.Write("fw.txt", sim::BuildLineImage(line).text)});
  EXPECT_EQ(r.exitCode, 0) << r.both();
  EXPECT_NE(r.out.find("5 lines: the last line has no partner and is never sent"),
            std::string::npos)
      << r.out;
}

TEST(InspectUnreadable, MissingFileDirectoryAndShortFileFail) {
  TempDir dir;
  const ProgramResult missing = RunProgram({"inspect", dir.path() + "/none.txt"});
  EXPECT_EQ(missing.exitCode, 1) << missing.both();
  EXPECT_NE(missing.out.find("**Failed** cannot read " + dir.path() + "/none.txt"),
            std::string::npos)
      << missing.both();

  EXPECT_NE(missing.out.find("No such file or directory"), std::string::npos) << missing.out;

  const ProgramResult directory = RunProgram({"inspect", dir.path()});
  EXPECT_EQ(directory.exitCode, 1) << directory.both();
  EXPECT_NE(directory.out.find("is a directory"), std::string::npos) << directory.both();

  const ProgramResult empty = RunProgram({"inspect", dir.Write("empty.txt", "")});
  EXPECT_NE(empty.out.find("is empty"), std::string::npos) << empty.both();

  // One byte short of the smallest file that can hold a record and a trailer.
  const ProgramResult shortFile =
      RunProgram({"inspect", dir.Write("short.txt", std::string(137, '0'))});
  EXPECT_EQ(shortFile.exitCode, 1) << shortFile.both();
  EXPECT_NE(shortFile.out.find("is too short (137 bytes)"), std::string::npos) << shortFile.out;

  // Larger than any firmware: refused without reading it all (a sparse file costs no disk).
  const std::string huge = dir.Write("huge.txt", "");
  std::filesystem::resize_file(huge, 200u * 1024 * 1024);
  const ProgramResult large = RunProgram({"inspect", huge});
  EXPECT_EQ(large.exitCode, 1) << large.both();
  EXPECT_NE(large.out.find("larger than any adapter firmware"), std::string::npos) << large.out;
}

}  // namespace
}  // namespace zorbent::cli_test
