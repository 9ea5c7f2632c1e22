#include "port/traffic_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "port/serial_port.h"
#include "tests/support/pty_pair.h"

namespace zorbent {
namespace {

namespace fs = std::filesystem;

class TrafficLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zorbent-log-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    SetLogDirectory((dir_ / "DorezavarIrivirlog").string());
  }
  void TearDown() override {
    SetLogLevel(0);
    SetLogDirectory("DorezavarIrivirlog");
    fs::remove_all(dir_);
  }
  // Today's log; the path is only known with logging on.
  static std::string ReadLog() {
    SetLogLevel(3);
    std::stringstream s;
    s << std::ifstream(TrafficLog::PathForToday()).rdbuf();
    return s.str();
  }
  static PortConfig Config(const std::string& name) {
    PortConfig c;
    c.Set("mode", "direct");
    c.Set("name", name);
    c.Set("baud", "115200");
    return c;
  }
  fs::path dir_;
};

TEST_F(TrafficLogTest, LevelZeroWritesNothing) {
  test::PtyPair pty;
  bool opened = false;
  {
    SerialPort port(Config(pty.SlavePath()), opened);
    ASSERT_TRUE(opened);
    const std::array<std::uint8_t, 2> b{1, 2};
    port.Write(b, 100);
  }
  EXPECT_FALSE(fs::exists(dir_ / "DorezavarIrivirlog"));
}

TEST_F(TrafficLogTest, SessionWritesOpenCloseAndEveryByte) {
  SetLogLevel(3);
  test::PtyPair pty;
  bool opened = false;
  {
    SerialPort port(Config(pty.SlavePath()), opened);
    ASSERT_TRUE(opened);
    const std::array<std::uint8_t, 3> out{0x3E, 0x0D, 0x0A};
    ASSERT_TRUE(port.Write(out, 1000));
    pty.Write(std::string("\x00\xFF", 2));
    std::array<std::uint8_t, 2> in{};
    ASSERT_TRUE(port.Read(in, 2000));
    ASSERT_TRUE(port.Read(std::span<std::uint8_t>(), 0));
  }
  const std::string log = ReadLog();
  const std::string stamp = R"(\[time:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\])";
  const std::string name = pty.SlavePath() + ":115200";
  const std::string expected =
      stamp + "ComPort:\\[len:" + std::to_string(name.size()) + "\\]" + name + " Is Opened!\n" +
      stamp + "  Data\\[out\\]:\\[len:3\\]3E0D0A\n" + stamp + "  Data\\[in\\]:\\[len:2\\]00FF\n" +
      stamp + "  Data\\[in\\]:\\[len:0\\]\n" + stamp +
      "ComPort:\\[len:" + std::to_string(name.size()) + "\\]" + name + " Is Closed!\n";
  // The low-latency line sits between the open line and the data.
  std::string withoutLatency;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if (line.find("Low latency") == std::string::npos) withoutLatency += line + "\n";
  EXPECT_TRUE(std::regex_match(withoutLatency, std::regex(expected))) << log;
}

TEST_F(TrafficLogTest, FailedOpenStillCreatesTheFileButWritesNoLine) {
  SetLogLevel(3);
  bool opened = true;
  SerialPort port(Config("/dev/no-such-zorbent-device"), opened);
  EXPECT_FALSE(opened);
  EXPECT_TRUE(fs::exists(TrafficLog::PathForToday()));
  EXPECT_EQ(ReadLog(), "");
}

}  // namespace
}  // namespace zorbent
