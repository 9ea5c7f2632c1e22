// The tray of adapters run in this process, where a thread start can be made to fail.
#include "cli/jobs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "tests/support/sim_adapter.h"

namespace zorbent::cli {
namespace {

using test::AdapterModel;
using test::NewerImage;
using test::RunningAdapter;

// The system refuses the second job its thread: that adapter fails as not started and is
// never touched, the others update, and the run ends with status 1.
TEST(Jobs, AJobWithoutAThreadFailsAloneAndIsNamed) {
  constexpr std::size_t kAdapters = 3;
  const std::string file = std::filesystem::temp_directory_path() / "zorbent-jobs-fw.txt";
  std::ofstream(file) << NewerImage(1).text;
  JobOptions options;
  options.update = true;
  options.quiet = true;
  options.firmwareFile = file;
  std::vector<std::unique_ptr<RunningAdapter>> adapters;
  for (std::size_t i = 0; i < kAdapters; ++i) {
    adapters.push_back(std::make_unique<RunningAdapter>(AdapterModel(1)));
    options.connections.push_back(adapters.back()->Config());
  }
  FailThreadStartForTesting(2);
  ::testing::internal::CaptureStdout();
  const int status = RunJobs(options);
  const std::string out = ::testing::internal::GetCapturedStdout();
  FailThreadStartForTesting(0);
  std::filesystem::remove(file);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find(options.connections[1] +
                     ": **Failed** could not start: the system refused a new thread."),
            std::string::npos)
      << out;
  EXPECT_NE(out.find(options.connections[1] +
                     ": Update failed: could not start. Nothing was sent to the adapter."),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("3 adapters: 2 succeeded, 1 failed"), std::string::npos) << out;
  for (std::size_t i = 0; i < kAdapters; ++i) {
    std::string row;  // the summary line that starts with its connection
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
      if (line.rfind(options.connections[i] + " ", 0) == 0) row = line;
    RunningAdapter& adapter = *adapters[i];
    adapter->Stop();
    SCOPED_TRACE(row);
    const bool refused = i == 1;
    EXPECT_NE(row.find(refused ? "FAILED      **Failed** could not start" : " ok "),
              std::string::npos);
    EXPECT_EQ(adapter->Flashes(), refused ? 0 : 1);
    if (refused) {
      EXPECT_TRUE(adapter->Records().empty());
    }
  }
}

}  // namespace
}  // namespace zorbent::cli
