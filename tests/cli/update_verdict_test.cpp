// How an update ends, as the user reads it: the file is checked before any adapter is
// touched, every update ends with one verdict line, and --check stops before the first
// command that changes the adapter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/flows/flow_harness.h"

namespace zorbent::cli_test {
namespace {

struct Adapter {
  explicit Adapter(sim::SimulatorOptions options) : simulator(std::move(options)) {
    std::string error;
    EXPECT_TRUE(simulator.Start(&error)) << error;
  }
  sim::AdapterSimulator simulator;
};

// A bad file is refused with its reason and touches no adapter: the device named here does
// not exist, and no connection failure is reported.
TEST(FilesFirst, ABadFileNeverOpensAPort) {
  TempDir dir;
  sim::LineImageOptions damaged;
  damaged.deviceName = "KTR5577";
  damaged.corruption = sim::Corruption::kBadCheckByte;
  damaged.corruptIndex = 2;
  const struct {
    std::string file;
    const char* says;
  } cases[] = {{dir.path() + "/missing.txt", "No such file or directory"},
               {dir.Write("short.txt", "0000"), "is too short (4 bytes)"},
               {dir.Write("bad.txt", sim::BuildLineImage(damaged).text), "line 3: bytes sum to"}};
  for (const auto& c : cases) {
    const ProgramResult r = RunProgram({"update", "--port", "/dev/zorbent-none", c.file});
    EXPECT_EQ(r.exitCode, 1) << r.both();
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Update failed: the firmware file is not usable. Nothing was sent"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.both().find("Port"), std::string::npos) << r.both();
  }
}

TEST(Verdict, SuccessNamesTheModelAndBothVersionsAndFailureSaysWhatToDo) {
  TempDir dir;
  const std::string file = dir.Write("fw.txt", testing::ImageFor(2).text);
  Adapter good(testing::AdapterOf(2));
  const ProgramResult ok =
      RunProgram({"-q", "update", "--connect", good.simulator.ConfigString(), file});
  EXPECT_EQ(ok.exitCode, 0) << ok.both();
  EXPECT_NE(ok.out.find("Update succeeded: KTR5577 (zOrbent BM) v2.2.2X -> v2.2.3X in "),
            std::string::npos)
      << ok.out;

  // A pair that is never acknowledged: the adapter is left in download mode.
  sim::SimulatorOptions options = testing::AdapterOf(2);
  options.faults.repPack[3] = 100;
  Adapter stuck(options);
  const ProgramResult failed =
      RunProgram({"-q", "update", "--connect", stuck.simulator.ConfigString(), file});
  EXPECT_EQ(failed.exitCode, 1) << failed.both();
  EXPECT_NE(failed.out.find("Update failed: Request stop download fail,Upgrade again after power "
                            "on. The adapter is in download mode: run the same update again"),
            std::string::npos)
      << failed.out;

  // Block mode: the advice is to power the adapter off and on first.
  const std::string blockFile = dir.Write("block.txt", testing::ImageFor(5).text);
  sim::SimulatorOptions blockOptions = testing::AdapterOf(5);
  blockOptions.faults.err02[2] = 1;
  Adapter rejecting(blockOptions);
  const ProgramResult block =
      RunProgram({"-q", "update", "--connect", rejecting.simulator.ConfigString(), blockFile});
  EXPECT_EQ(block.exitCode, 1) << block.both();
  EXPECT_NE(block.out.find("The adapter is in download mode: power the adapter off and on"),
            std::string::npos)
      << block.out;
}

TEST(Check, SaysWhetherTheUpdateWouldGoAheadAndChangesNothing) {
  TempDir dir;
  const std::string file = dir.Write("fw.txt", testing::ImageFor(2).text);
  Adapter adapter(testing::AdapterOf(2));
  const ProgramResult yes =
      RunProgram({"-q", "update", "--check", "--connect", adapter.simulator.ConfigString(), file});
  EXPECT_EQ(yes.exitCode, 0) << yes.both();
  EXPECT_NE(yes.out.find("Check passed: KTR5577 (zOrbent BM) v2.2.2X would be updated to v2.2.3X"),
            std::string::npos)
      << yes.out;

  // A file of the old generation for an adapter of the new one.
  sim::LineImageOptions old;
  old.deviceName = "KTR5577";
  old.versionText = "V2.2.1X";
  const std::string oldFile = dir.Write("old.txt", sim::BuildLineImage(old).text);
  Adapter ahead(testing::AdapterOf(2));
  const ProgramResult no = RunProgram(
      {"-q", "update", "--check", "--connect", ahead.simulator.ConfigString(), oldFile});
  EXPECT_EQ(no.exitCode, 1) << no.both();
  EXPECT_NE(no.out.find("Check failed: The device firmware version number is higher"),
            std::string::npos)
      << no.out;
  for (const Adapter* a : {&adapter, &ahead}) {
    EXPECT_EQ(a->simulator.Flashes(), 0);
    EXPECT_FALSE(a->simulator.InDownloadMode());
  }
}

}  // namespace
}  // namespace zorbent::cli_test
