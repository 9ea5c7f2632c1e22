// zorbent-fw inspect, run as a program on files the image builder made.

#include <gtest/gtest.h>

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
  EXPECT_NE(r.out.find("file:         " + path + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::string("family:       ") + (f.block ? "block mode" : "line mode")),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("product ID:   OBDZ-2000\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::string("device name:  ") + f.deviceName + "\n"), std::string::npos)
      << r.out;
  if (f.block) {
    EXPECT_EQ(r.out.find("version:"), std::string::npos) << r.out;
  } else {
    EXPECT_NE(r.out.find(std::string("version:      ") + f.versionText + " (number " +
                         std::to_string(f.versionNumber) + ")\n"),
              std::string::npos)
        << r.out;
  }
  EXPECT_NE(r.out.find("records:      10 (trailer included)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("size:         " + std::to_string(text.size()) + " bytes\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("for adapter:  model " + std::to_string(f.model) + ", "), std::string::npos)
      << r.out;
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
    EXPECT_NE(r.out.find("for adapter:  none known: no adapter takes this file"), std::string::npos)
        << r.out;
  }
}

struct BadFile {
  bool block;
  Corruption corruption;
};

class InspectCorruptFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(InspectCorruptFile, ReportsTheFormatErrorAndFails) {
  const BadFile& f = GetParam();
  sim::BuiltImage image;
  if (f.block) {
    sim::BlockImageOptions o;
    o.corruption = f.corruption;
    o.corruptIndex = 2;
    image = sim::BuildBlockImage(o);
  } else {
    sim::LineImageOptions o;
    o.corruption = f.corruption;
    o.corruptIndex = 2;
    image = sim::BuildLineImage(o);
  }
  ASSERT_TRUE(image.ok()) << image.error;
  TempDir dir;
  const ProgramResult r = RunProgram({"inspect", dir.Write("fw.txt", image.text)});
  EXPECT_EQ(r.exitCode, 1) << r.both();
  EXPECT_EQ(r.out, "**Failed** update file format error!\n");
}

std::vector<BadFile> BadFiles() {
  std::vector<BadFile> all;
  for (const Corruption c :
       {Corruption::kBadSum, Corruption::kBadTotal, Corruption::kNoTrailer,
        Corruption::kShortTrailerLen, Corruption::kLongName, Corruption::kNameOverrun,
        Corruption::kLenOverrun, Corruption::kNoHexLine, Corruption::kLongRecord,
        Corruption::kLongTrailer}) {
    all.push_back({true, c});
  }
  for (const Corruption c : {Corruption::kBadCheckByte, Corruption::kBadTotal,
                             Corruption::kNoTrailer, Corruption::kBadSpan, Corruption::kLongName,
                             Corruption::kNameOverrun, Corruption::kNoHexLine}) {
    all.push_back({false, c});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(EveryFault, InspectCorruptFile, ::testing::ValuesIn(BadFiles()),
                         [](const auto& info) {
                           std::string name = std::string(info.param.block ? "block_" : "line_") +
                                              std::string(CorruptionName(info.param.corruption));
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

TEST(InspectUnreadable, MissingFileDirectoryAndShortFileFail) {
  TempDir dir;
  const ProgramResult missing = RunProgram({"inspect", dir.path() + "/none.txt"});
  EXPECT_EQ(missing.exitCode, 1) << missing.both();
  EXPECT_NE(missing.out.find("**Failed** cannot read " + dir.path() + "/none.txt"),
            std::string::npos)
      << missing.both();

  const ProgramResult directory = RunProgram({"inspect", dir.path()});
  EXPECT_EQ(directory.exitCode, 1) << directory.both();
  EXPECT_NE(directory.out.find("**Failed** "), std::string::npos) << directory.both();

  // One byte short of the smallest file that can hold a record and a trailer.
  const ProgramResult shortFile =
      RunProgram({"inspect", dir.Write("short.txt", std::string(137, '0'))});
  EXPECT_EQ(shortFile.exitCode, 1) << shortFile.both();
  EXPECT_EQ(shortFile.out, "**Failed** File is Invalid!\n");
}

}  // namespace
}  // namespace zorbent::cli_test
