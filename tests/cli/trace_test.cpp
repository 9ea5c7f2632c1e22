// --trace and --verbose as a user runs them: a read of a WiFi adapter (the simulator on
// loopback TCP) leaves its connection and bytes in the traffic log, names that file, and
// shows the conversation on stderr.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/cli/run_program.h"
#include "tests/flows/flow_harness.h"

namespace zorbent::cli_test {
namespace {

namespace fs = std::filesystem;

TEST(Trace, TcpConnectionIsLoggedNamedAndShownReadably) {
  sim::SimulatorOptions options = testing::AdapterOf(1);
  options.tcp = true;
  sim::AdapterSimulator adapter(options);
  std::string error;
  ASSERT_TRUE(adapter.Start(&error)) << error;
  const std::string connection = adapter.ConfigString();
  TempDir dir;
  const ProgramResult run =
      RunProgram({"--trace", "-v", "read", "--connect", connection}, dir.path());
  ASSERT_EQ(run.exitCode, 0) << run.both();

  const std::string marker = "Traffic log written to ";
  const auto at = run.err.find(marker);
  ASSERT_NE(at, std::string::npos) << run.err;
  const std::string file =
      run.err.substr(at + marker.size(), run.err.find('\n', at) - at - marker.size());
  EXPECT_EQ(file.rfind("DorezavarIrivirlog/port", 0), 0u) << file;
  const std::string log = ReadFileText(dir.path() + "/" + file);
  const std::string where = connection.substr(4);  // "127.0.0.1:PORT"
  EXPECT_NE(
      log.find("]TcpPort:[len:" + std::to_string(where.size()) + "]" + where + " Is Opened!\n"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("]  Data[out]:[len:7]514B564552530D"), std::string::npos) << log;  // QKVERS
  EXPECT_NE(log.find("]TcpPort:[len:"), log.rfind("]TcpPort:[len:")) << log;  // and closed
  EXPECT_NE(log.find(where + " Is Closed!\n"), std::string::npos) << log;

  // The conversation in words: commands and answers with CR shown, the connection opened.
  EXPECT_NE(run.err.find("opened " + connection), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("-> \"QKVERS\\r\""), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("<- \"QKVERS\\r"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("closed " + connection), std::string::npos) << run.err;
}

TEST(Trace, ALogThatCannotBeWrittenIsWarnedAbout) {
  TempDir dir;
  dir.Write("DorezavarIrivirlog", "a file where the log directory should be");
  const ProgramResult run =
      RunProgram({"--trace", "read", "--connect", "com|/dev/null:115200"}, dir.path());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("zorbent-fw: warning: could not write the traffic log "
                         "DorezavarIrivirlog/port"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("Traffic log written"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace zorbent::cli_test
