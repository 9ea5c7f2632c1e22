// zorbent-fw update with eight --connect adapters at once, one of which fails: the program run
// as a child against simulated adapters on pseudo-terminals served by this process.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/flows/flow_harness.h"

namespace zorbent::cli_test {
namespace {

constexpr int kAdapters = 8;
constexpr int kModel = 1;

struct Failure {
  const char* name;
  int index;                                // which adapter fails
  void (*spoil)(sim::SimulatorOptions& o);  // what is wrong with it
  const char* detail;                       // in its summary row
};

void Silent(sim::SimulatorOptions& o) {
  o.link.silent = true;
}
void OtherProduct(sim::SimulatorOptions& o) {
  o.adapter.productId = "OBDZ-2000";
}

class ParallelUpdate : public ::testing::TestWithParam<Failure> {};

// The summary row of one connection: the line that starts with it.
std::string RowOf(const std::string& out, const std::string& connection) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(connection + " ", 0) == 0) return line;
  }
  return {};
}

TEST_P(ParallelUpdate, OthersFinishAndTheFailureIsReported) {
  const Failure& failure = GetParam();
  const sim::BuiltImage image = testing::ImageFor(kModel, 9);
  ASSERT_TRUE(image.ok()) << image.error;
  TempDir dir;
  const std::string file = dir.Write("firmware.txt", image.text);

  std::vector<std::unique_ptr<sim::AdapterSimulator>> adapters;
  std::vector<std::string> args = {"--quiet", "update", file};
  for (int i = 0; i < kAdapters; ++i) {
    sim::SimulatorOptions options = testing::AdapterOf(kModel);
    if (i == failure.index) failure.spoil(options);
    adapters.push_back(std::make_unique<sim::AdapterSimulator>(options));
    std::string error;
    ASSERT_TRUE(adapters.back()->Start(&error)) << error;
    args.push_back("--connect");
    args.push_back(adapters.back()->ConfigString());
  }

  const ProgramResult result = RunProgram(args);
  EXPECT_EQ(result.exitCode, 1) << result.both();
  EXPECT_NE(result.out.find("8 adapters: 7 succeeded, 1 failed"), std::string::npos)
      << result.both();

  for (int i = 0; i < kAdapters; ++i) {
    sim::AdapterSimulator& adapter = *adapters[static_cast<std::size_t>(i)];
    const std::string row = RowOf(result.out, adapter.ConfigString());
    adapter.Stop();
    SCOPED_TRACE("adapter " + std::to_string(i) + ": " + row);
    ASSERT_FALSE(row.empty()) << result.both();
    if (i == failure.index) {
      EXPECT_NE(row.find("FAILED"), std::string::npos);
      EXPECT_NE(row.find(failure.detail), std::string::npos);
      EXPECT_EQ(adapter.Flashes(), 0);
      EXPECT_TRUE(adapter.Records().empty());
    } else {
      EXPECT_NE(row.find(" ok "), std::string::npos);
      EXPECT_NE(row.find("KTR5575 (zOrbent MC) v2.2.2X -> v2.2.3X"), std::string::npos);
      EXPECT_EQ(adapter.Flashes(), 1) << adapter.TranscriptText();
      EXPECT_TRUE(sim::RecordsMatchImage(adapter.Records(), image, false));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParallelUpdate,
    ::testing::Values(
        Failure{"FirstSilent", 0, Silent, "power on the device again"},
        Failure{"LastOtherProduct", kAdapters - 1, OtherProduct, "does not match the device model"},
        Failure{"MiddleOtherProduct", 3, OtherProduct, "does not match the device model"}),
    [](const ::testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zorbent::cli_test
