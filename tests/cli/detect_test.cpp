// zorbent-fw detect: simulated adapters on pseudo-terminals, each probed read-only at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/cli/run_program.h"
#include "tests/flows/flow_harness.h"

namespace zorbent::cli_test {
namespace {

std::string Device(const sim::AdapterSimulator& adapter) {
  const std::string config = adapter.ConfigString();
  return config.substr(4, config.rfind(':') - 4);
}

TEST(Detect, NamesEachAdapterAndChangesNone) {
  std::vector<std::unique_ptr<sim::AdapterSimulator>> adapters;
  const auto add = [&](int model, bool silent = false) {
    sim::SimulatorOptions options = testing::AdapterOf(2);
    options.adapter.model = model;
    options.link.silent = silent;
    adapters.push_back(std::make_unique<sim::AdapterSimulator>(options));
    EXPECT_TRUE(adapters.back()->Start());
    return Device(*adapters.back());
  };
  const std::string ours1 = add(2), ours2 = add(6), generic = add(sim::kGenericModel),
                    silent = add(2, true);
  const ProgramResult r =
      RunProgram({"detect", ours1, ours2, generic, silent, "/dev/zorbent-none"});
  EXPECT_EQ(r.exitCode, 0) << r.both();
  for (const std::string& expected :
       {ours1 + " KTR5577: \"zOrbent BM v", ours2 + " KTR5688: ",
        generic + " an ELM327-compatible adapter, not one of ours (\"ELM327 v1.5\")",
        silent + " no answer at 115200", std::string("/dev/zorbent-none cannot open: ")}) {
    const std::string squeezed = expected.substr(0, expected.find(' '));
    const std::size_t at = r.out.find(squeezed);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(expected.substr(expected.find(' ') + 1), at), std::string::npos)
        << expected << "\n"
        << r.out;
  }
  for (const auto& adapter : adapters) {
    for (const sim::TranscriptEntry& entry : adapter->Transcript()) {
      EXPECT_TRUE(entry.command == "QKVERS\r" || entry.command == "QKI\r" ||
                  entry.command == "ATI\r")
          << entry.command;
    }
  }
  EXPECT_EQ(RunProgram({"detect", generic, silent}).exitCode, 1);
}

}  // namespace
}  // namespace zorbent::cli_test
